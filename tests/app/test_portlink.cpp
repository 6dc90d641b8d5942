// The target link on the serial port component without a window, as a
// command-line program uses it: TPortLink with a view of its own, on the
// core application only, against qxm-sim on a pseudo-terminal published as
// COM25 through a private device map.
#include "app/link/PortLink.h"
#include "app/link/PortWatch.h"
#include "comport/Lnkcomport.h"
#include "platform/DeviceMap.h"
#include "tests/support/Wait.h"
#include "tools/sim/SimClient.h"
#include "tools/sim/SimTarget.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using namespace pmv;
using pmvtest::WaitUntil;
using pmvtest::WaitWithoutEvents;

namespace {

constexpr int kCom = 25;
constexpr int kReplyWindowMs = 1000; // reply timer of the tests that wait for replies

// One core application for the binary: no widgets anywhere.
class TCoreEnvironment : public ::testing::Environment {
public:
    void SetUp() override { m_app = std::make_unique<QCoreApplication>(m_argc, m_argv); }
    void TearDown() override { m_app.reset(); }

private:
    int m_argc = 1;
    char m_name[14] = "test_portlink";
    char* m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QCoreApplication> m_app;
};

[[maybe_unused]] ::testing::Environment* const kCoreEnvironment =
    ::testing::AddGlobalTestEnvironment(new TCoreEnvironment);

// A view that keeps what the engine shows; its calls can be made to throw.
class TRecordingView : public TLinkView {
public:
    std::vector<std::string> log;
    std::array<std::string, kSlotCount> edits{};
    int counts[3] = {0, 0, 0};
    std::function<void(std::string_view)> onLog;
    std::function<void()> onUnframedAsked;

    void AppendLog(std::string_view line) override {
        if (onLog)
            onLog(line);
        log.emplace_back(line);
    }
    void ShowCount(TLinkCounter counter, int value) override {
        counts[static_cast<int>(counter)] = value;
    }
    bool ShowTransmissions() const override { return false; }
    bool ShowUnframedReceptions() const override {
        if (onUnframedAsked)
            onUnframedAsked();
        return true;
    }
    bool ShowCommandDescription() const override { return true; }
    std::string EditText(int index) const override { return edits.at(std::size_t(index)); }
    void SetEditText(int index, std::string_view text) override {
        edits.at(std::size_t(index)) = text;
    }
    void ConvertError(const std::string& message) override { log.push_back("box: " + message); }
};

class PortLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_map = m_dir.filePath("commap").toStdString();
        m_simLog = m_dir.filePath("sim.log").toStdString();
        ::setenv("PMV_COMMAP", m_map.c_str(), 1);
        port = std::make_unique<QORLNK::TLNKCOMPort>();
    }

    void TearDown() override {
        link.reset(); // closes the port
        port.reset();
        if (m_sim.Pid() > 0) {
            EXPECT_EQ(m_sim.Stop(), 0);
        }
        ::unsetenv("PMV_COMMAP");
    }

    // Simulator, link, port open on COM25. A loaded machine can take longer
    // than 200 ms to answer: tests that wait for replies widen the window.
    void Connect(std::vector<std::string> args = {}, bool widen = true) {
        args.insert(args.end(), {"--log", m_simLog});
        ASSERT_TRUE(m_sim.Start(QXM_SIM_PATH, m_map, kCom, args)) << m_sim.Error();
        link =
            std::make_unique<TPortLink>(table, *port, timer, view, [this](const std::string& what) {
                errors.push_back(what);
                errorsInReceive.push_back(inReceive);
            });
        if (widen)
            timer.setInterval(kReplyWindowMs);
        port->SetPort1(kCom);
        ASSERT_TRUE(port->Open());
    }

    void Define(int index, std::int8_t kind, const char* cmd, const char* descr = "",
                std::uint32_t opts = 0) {
        TCmdRecord& r = table[std::size_t(index)];
        r.cmd_type = kind;
        r.cmd_str = cmd;
        r.cmd_descr = descr;
        r.opts = opts;
    }

    // Frames the simulator received, as it logs them (control bytes escaped).
    std::vector<std::string> SimFrames() const {
        std::ifstream in(m_simLog);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);)
            if (line.rfind("rx ", 0) == 0)
                out.push_back(line.substr(3));
        return out;
    }
    static std::string P(const std::string& bytes) { return qxmsim::Printable(bytes); }
    const std::string& SimLogPath() const { return m_simLog; }

    bool WaitLog(std::size_t n) {
        return WaitUntil([&] { return view.log.size() >= n; });
    }

    TCmdTable table{};
    TRecordingView view;
    QTimer timer;
    std::unique_ptr<QORLNK::TLNKCOMPort> port;
    std::unique_ptr<TPortLink> link;
    std::vector<std::string> errors;
    std::vector<bool> errorsInReceive;
    bool inReceive = false;

private:
    QTemporaryDir m_dir;
    std::string m_map;
    std::string m_simLog;
    qxmsim::TSimProcess m_sim;
};

} // namespace

TEST_F(PortLinkTest, GetAllRunsOverThePort) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    Define(2, ctParamGet, "SPD", "Speed", IncInGetAll | UpdateEditOnGet);
    Define(7, ctParamGetSet, "ACC", "", IncInGetAll);
    Define(9, ctParamSet, "DEC", "", IncInGetAll); // a Set kind: not in a Get All
    link->Engine().GetAllParameters();
    ASSERT_TRUE(WaitLog(2));
    ASSERT_TRUE(WaitUntil([&] { return !link->Engine().ComBusy(); }));
    EXPECT_EQ(view.log, (std::vector<std::string>{"Speed = 1500", "ACC = 200"}));
    EXPECT_EQ(view.edits[2], "1500");
    EXPECT_EQ(SimFrames(), (std::vector<std::string>{P("QXSPD\r"), P("QXACC\r")}));
    EXPECT_EQ(view.counts[int(TLinkCounter::Tx)], 2);
    EXPECT_EQ(view.counts[int(TLinkCounter::Rx)], 2);
    EXPECT_EQ(link->Port().Dropped(), 0u);
    EXPECT_TRUE(errors.empty());
}

TEST_F(PortLinkTest, TheTimersTickIsTheReplyTimeout) {
    ASSERT_NO_FATAL_FAILURE(Connect({"--silent", "ACC"}, false));
    Define(0, ctParamGetSet, "ACC", "Acceleration");
    link->Engine().GetButtonClick(0);
    EXPECT_TRUE(timer.isActive());
    EXPECT_EQ(timer.interval(), TRequestEngine::kReplyTimeoutMs);
    EXPECT_TRUE(timer.isSingleShot());
    ASSERT_TRUE(WaitLog(1));
    EXPECT_EQ(view.log, std::vector<std::string>{"Acceleration - Rx timeout"});
    EXPECT_EQ(view.counts[int(TLinkCounter::RxTimeout)], 1);
    EXPECT_FALSE(link->Engine().ComBusy());
}

// A reply that reached the port before the tick is no time-out, however late
// this thread gets to the tick: the tick delivers it first, and the frame the
// run sends next keeps its own timer.
TEST_F(PortLinkTest, AReplyReceivedBeforeTheTickIsDeliveredNotTimedOut) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    Define(0, ctParamGetSet, "SPD", "Speed", IncInGetAll);
    Define(1, ctParamGetSet, "ACC", "Acceleration", IncInGetAll);
    link->Engine().GetAllParameters();
    // No events from here to the tick: the first reply stays on the receive
    // side (its first byte with the receive thread, the rest queued).
    std::string reply;
    ASSERT_TRUE(WaitWithoutEvents([&] {
        std::ifstream in(SimLogPath());
        for (std::string line; std::getline(in, line);)
            if (line.rfind("tx ", 0) == 0)
                reply = line.substr(3);
        return !reply.empty();
    }));
    const std::size_t bytes = reply.size() - 1; // "\\r" is one byte
    COMSTAT stat{};
    DWORD lineErrors = 0;
    WaitWithoutEvents([&] {
        return ClearCommError(port->GetHandle(), &lineErrors, &stat) && stat.cbInQue == bytes - 1;
    });
    ASSERT_EQ(stat.cbInQue, bytes - 1);
    EXPECT_TRUE(view.log.empty());

    timer.stop(); // the tick comes now, as from a late event loop
    ASSERT_TRUE(QMetaObject::invokeMethod(&timer, "timeout", Qt::DirectConnection));
    ASSERT_FALSE(view.log.empty());
    EXPECT_EQ(view.log[0], "Speed = 1500");
    EXPECT_EQ(view.counts[int(TLinkCounter::RxTimeout)], 0);
    // The second reply may have come within the call too; else its timer runs.
    EXPECT_TRUE(view.log.size() == 2 || timer.isActive());

    ASSERT_TRUE(WaitLog(2));
    ASSERT_TRUE(WaitUntil([&] { return !link->Engine().ComBusy(); }));
    EXPECT_EQ(view.log, (std::vector<std::string>{"Speed = 1500", "Acceleration = 200"}));
    EXPECT_EQ(view.counts[int(TLinkCounter::RxTimeout)], 0);
}

// The component takes one block at a time and only after its completion call
// has run here. A frame handed over before that is sent as soon as the
// component takes it, from the adapter's own copy.
TEST_F(PortLinkTest, AdapterSendsAFrameTheComponentFirstRefused) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    TComPortAdapter& adapter = link->Port();
    std::string first = "QXSPD\r";
    std::string second = "QXACC\r";
    // No event processing in between: the first block cannot have completed.
    ASSERT_TRUE(
        adapter.TxData(reinterpret_cast<const std::uint8_t*>(first.data()), int(first.size())));
    ASSERT_TRUE(
        adapter.TxData(reinterpret_cast<const std::uint8_t*>(second.data()), int(second.size())));
    EXPECT_EQ(adapter.Deferred(), 1u);
    EXPECT_TRUE(adapter.Waiting());
    first.assign("QXXXX\r"); // the caller's bytes may change at once
    second.assign("QXYYY\r");
    ASSERT_TRUE(WaitUntil([&] { return SimFrames().size() >= 2; }));
    EXPECT_EQ(SimFrames(), (std::vector<std::string>{P("QXSPD\r"), P("QXACC\r")}));
    EXPECT_FALSE(adapter.Waiting());
    EXPECT_EQ(adapter.Dropped(), 0u);

    // A waiting frame is dropped when the port closes.
    ASSERT_TRUE(WaitLog(2)); // both replies in
    const auto deferredBefore = adapter.Deferred();
    ASSERT_TRUE(
        adapter.TxData(reinterpret_cast<const std::uint8_t*>(first.data()), int(first.size())));
    ASSERT_TRUE(
        adapter.TxData(reinterpret_cast<const std::uint8_t*>(second.data()), int(second.size())));
    // The second waits; so does the first when the last block's completion
    // has not reached this thread yet (a busy machine).
    const auto waiting = adapter.Deferred() - deferredBefore;
    EXPECT_GE(waiting, 1u);
    port->Close();
    ASSERT_TRUE(WaitUntil([&] { return !adapter.Waiting(); }));
    EXPECT_EQ(adapter.Dropped(), waiting);
    EXPECT_FALSE(adapter.TxData(reinterpret_cast<const std::uint8_t*>(first.data()),
                                int(first.size()))); // closed: refused
}

// An exception from the engine's processing of a received byte does not reach
// the receive thread: it is reported once the receive call is over, and the
// bytes after it still arrive.
TEST_F(PortLinkTest, ExceptionInReceiveProcessingIsReportedAfterTheCall) {
    ASSERT_NO_FATAL_FAILURE(Connect({"--lf"})); // a line feed after each reply
    Define(0, ctParamGetSet, "SPD", "Speed");
    port->OnRxChar = [this](QORLNK::TLNKCOMRxThread*, char ch) {
        inReceive = true;
        link->RxChar(ch);
        inReceive = false;
    };
    int asked = 0;
    view.onUnframedAsked = [&] {
        if (++asked == 1)
            throw std::runtime_error("view failed");
    };
    link->Engine().GetButtonClick(0);
    ASSERT_TRUE(WaitUntil([&] { return !errors.empty(); }));
    EXPECT_EQ(errors, std::vector<std::string>{"view failed"});
    EXPECT_EQ(errorsInReceive, std::vector<bool>{false});

    // The link goes on: the next request is answered, its line feed shown.
    link->Engine().GetButtonClick(0);
    ASSERT_TRUE(WaitLog(3));
    EXPECT_EQ(view.log, (std::vector<std::string>{"Speed = 1500", "Speed = 1500", "\n"}));
    EXPECT_EQ(errors.size(), 1u);
}

TEST_F(PortLinkTest, ExceptionInTheTimeoutIsReported) {
    ASSERT_NO_FATAL_FAILURE(Connect({"--silent", "ACC"}));
    Define(0, ctParamGetSet, "ACC");
    view.onLog = [](std::string_view line) {
        if (line == "ACC - Rx timeout")
            throw std::runtime_error("log full");
    };
    link->Engine().GetButtonClick(0);
    ASSERT_TRUE(WaitUntil([&] { return !errors.empty(); }));
    EXPECT_EQ(errors, std::vector<std::string>{"log full"});
}

TEST_F(PortLinkTest, TheLinkClosesThePortAndUnbindsWhenItGoes) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    EXPECT_TRUE(port->OnRxChar);
    EXPECT_TRUE(port->OnTxData);
    link.reset();
    EXPECT_FALSE(port->GetOpened());
    EXPECT_FALSE(port->OnRxChar);
    EXPECT_FALSE(port->OnTxData);
    // The timer no longer reaches an engine.
    timer.start(0);
    QCoreApplication::processEvents();
    EXPECT_TRUE(view.log.empty());
}

TEST_F(PortLinkTest, AFailedOpenSaysWhichDeviceAndWhy) {
    int ownerReports = 0;
    port->OnReport = [&](QORLNK::TLNKCOMPort*, QORLNK::TReportType, const std::string&,
                         const std::string&, const std::string&, int, int) { ++ownerReports; };
    port->SetPort1(kCom); // nothing published yet
    const std::string absent = OpenComPort(*port);
    EXPECT_FALSE(port->GetOpened());
    EXPECT_EQ(absent.rfind("COM25", 0), 0u) << absent;
    EXPECT_NE(absent.find("not present"), std::string::npos) << absent;
    EXPECT_GT(ownerReports, 0) << "the owner's report handler still hears the failure";

    ASSERT_NO_FATAL_FAILURE(Connect());
    QORLNK::TLNKCOMPort second;
    second.SetPort1(kCom);
    const std::string busy = OpenComPort(second);
    EXPECT_FALSE(second.GetOpened());
    EXPECT_EQ(busy.rfind("COM25 (", 0), 0u) << busy;
    EXPECT_NE(busy.find("already open in this program"), std::string::npos) << busy;
    EXPECT_EQ(OpenComPort(*port), "") << "an open port stays open and needs no reason";
}

// Which device a lost port waits for: the by-id name when it had one (the
// node may change on the way back), else the node.
TEST(PortDevice, SameByItsByIdNameElseByItsNode) {
    const std::string usb0 = "/dev/ttyUSB0", usb1 = "/dev/ttyUSB1";
    const std::string adapterA = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0";
    const std::string adapterB = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_B2-if00-port0";
    // clang-format off
    struct TRow { const char* name; std::string lostNode, lostById; int com; bool present;
                  std::string node, byId; bool same; } rows[] = {
        {"same by-id, another node",      usb0, adapterA, 7, true,  usb1, adapterA, true},
        {"same node, another by-id",      usb0, adapterA, 7, true,  usb0, adapterB, false},
        {"same node, by-id gone",         usb0, adapterA, 7, true,  usb0, "",       false},
        {"no by-id: same node",           usb0, "",       7, true,  usb0, "",       true},
        {"no by-id: same node, has one",  usb0, "",       7, true,  usb0, adapterA, true},
        {"no by-id: another node",        usb0, "",       7, true,  usb1, "",       false},
        {"absent",                        usb0, adapterA, 7, false, "",   "",       false},
        {"another number",                usb0, adapterA, 8, true,  usb0, adapterA, false},
        {"nothing known of the lost one", "",   "",       7, true,  "",   "",       false},
    };
    // clang-format on
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        const TPortDevice lost{.com = 7, .node = row.lostNode, .byId = row.lostById};
        platform::ComPortIdentity now;
        now.comNumber = row.com;
        now.present = row.present;
        now.node = row.node;
        now.byId = row.byId;
        EXPECT_EQ(lost.IsSame(now), row.same);
    }
    EXPECT_EQ((TPortDevice{.com = 7, .node = usb0, .byId = adapterA}.Name()),
              "COM7 (/dev/ttyUSB0, usb-FTDI_FT232R_USB_UART_A1-if00-port0)");
    EXPECT_EQ((TPortDevice{.com = 25, .node = "/dev/pts/3"}.Name()), "COM25 (/dev/pts/3)");
    EXPECT_EQ((TPortDevice{.com = 25}.Name()), "COM25");
}
