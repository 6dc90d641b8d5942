// The target link on the serial port component without a window, as a
// command-line program uses it: TPortLink with a view of its own, on the
// core application only, against qxm-sim on a pseudo-terminal published as
// COM25 through a private device map.
#include "app/link/PortLink.h"
#include "app/link/PortWatch.h"
#include "comport/Lnkcomport.h"
#include "platform/DeviceMap.h"
#include "tests/support/CoreEnvironment.h"
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
#include <thread>
#include <utility>
#include <vector>

using namespace pmv;
using pmvtest::WaitUntil;
using pmvtest::WaitWithoutEvents;

namespace {

constexpr int kCom = 25;
constexpr int kReplyWindowMs = 1000; // reply timer of the tests that wait for replies

[[maybe_unused]] ::testing::Environment* const kCoreEnvironment =
    ::testing::AddGlobalTestEnvironment(new pmvtest::TCoreEnvironment);

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

// The component refuses a block handed over from inside its predecessor's
// OnTxData. The adapter sends such a frame as soon as the component takes
// it, from its own copy, with the reply time counted from then; it does not
// send it once the engine has moved on (time-out) or the port was closed.
TEST_F(PortLinkTest, AFrameTheComponentRefusedWaitsUnlessTheEngineMovedOn) {
    ASSERT_NO_FATAL_FAILURE(Connect({"--silent", "SPD,ACC"}));
    TComPortAdapter& adapter = link->Port();
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(60000);
    const QORLNK::TLNKTxDataEvent adapters = port->OnTxData;
    struct TCase {
        const char* name;
        std::function<void()> meanwhile;
        bool sent;
    };
    const TCase cases[] = {
        {"taken later", [] {}, true},
        {"reply time-out",
         [&] {
             timer.stop(); // the tick comes now
             ASSERT_TRUE(QMetaObject::invokeMethod(&timer, "timeout", Qt::DirectConnection));
         },
         false},
        {"port closed", [&] { port->Close(); }, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string first = "QXSPD\r";
        std::string second = "QXACC\r";
        auto send = [&](const std::string& f) {
            return adapter.TxData(reinterpret_cast<const std::uint8_t*>(f.data()), int(f.size()));
        };
        const auto framesBefore = SimFrames().size();
        const auto deferredBefore = adapter.Deferred();
        const auto droppedBefore = adapter.Dropped();
        QElapsedTimer sinceHandOver;
        adapter.SetHandOverHook([&] { sinceHandOver.start(); });
        int completions = 0;
        port->OnTxData = [&](QORLNK::TLNKCOMTxThread* sender, int len) {
            adapters(sender, len);
            if (++completions > 1)
                return;
            EXPECT_TRUE(send(second));
            EXPECT_TRUE(adapter.Waiting());
            second.assign("QXYYY\r"); // the caller's bytes may change at once
            c.meanwhile();
        };
        timer.start(); // as the engine does before it sends
        ASSERT_TRUE(WaitUntil([&] { return timer.remainingTime() < timer.interval() - 100; }));
        ASSERT_TRUE(send(first));
        first.assign("QXXXX\r");
        ASSERT_TRUE(WaitUntil([&] { return completions > 0 && !adapter.Waiting(); }));
        EXPECT_EQ(adapter.Deferred(), deferredBefore + 1);
        std::vector<std::string> expected = {P("QXSPD\r")};
        if (c.sent) {
            expected.push_back(P("QXACC\r"));
            ASSERT_TRUE(WaitUntil([&] { return SimFrames().size() >= framesBefore + 2; }));
            EXPECT_GE(timer.remainingTime(), timer.interval() - sinceHandOver.elapsed() - 50);
        } else {
            EXPECT_EQ(adapter.Dropped(), droppedBefore + 1);
        }
        // Every frame sent has completed before the next case.
        ASSERT_TRUE(WaitUntil([&] { return completions == (c.sent ? 2 : 1); }));
        port->OnTxData = adapters;
        adapter.SetHandOverHook({});
        timer.stop();
        ASSERT_TRUE(
            WaitUntil([&] { return SimFrames().size() >= framesBefore + expected.size(); }));
        const std::vector<std::string> frames = SimFrames();
        EXPECT_EQ(std::vector<std::string>(frames.begin() + long(framesBefore), frames.end()),
                  expected);
    }
    EXPECT_FALSE(adapter.TxData(reinterpret_cast<const std::uint8_t*>("QX\r"), 3)); // closed
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
