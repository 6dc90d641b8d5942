// The watch through the request engine on the serial port component, against
// qxm-sim on a pseudo-terminal (core application only), and its CSV rows.
#include "app/link/PortLink.h"
#include "app/link/WatchCsv.h"
#include "app/link/WatchRun.h"
#include "comport/Lnkcomport.h"
#include "tests/support/CoreEnvironment.h"
#include "tests/support/Wait.h"
#include "tools/sim/SimClient.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

using namespace pmv;
using pmvtest::WaitUntil;

namespace {

constexpr int kCom = 25;

[[maybe_unused]] ::testing::Environment* const kCoreEnvironment =
    ::testing::AddGlobalTestEnvironment(new pmvtest::TCoreEnvironment);

class TKeptView : public TLinkView {
public:
    std::vector<std::string> log;
    std::array<std::string, kSlotCount> edits{};
    void AppendLog(std::string_view line) override { log.emplace_back(line); }
    void ShowCount(TLinkCounter, int) override {}
    bool ShowTransmissions() const override { return true; }
    bool ShowUnframedReceptions() const override { return false; }
    bool ShowCommandDescription() const override { return true; }
    std::string EditText(int index) const override { return edits.at(std::size_t(index)); }
    void SetEditText(int index, std::string_view text) override {
        edits.at(std::size_t(index)) = text;
    }
    void ConvertError(const std::string&) override {}
};

class WatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_map = m_dir.filePath("commap").toStdString();
        m_simLog = m_dir.filePath("sim.log").toStdString();
        ::setenv("PMV_COMMAP", m_map.c_str(), 1);
    }
    void TearDown() override {
        watch.reset();
        link.reset();
        port.reset();
        if (m_sim.Pid() > 0) {
            EXPECT_EQ(m_sim.Stop(), 0);
        }
        ::unsetenv("PMV_COMMAP");
    }

    // A loaded machine may take longer than 200 ms to answer: the reply
    // window is widened, and "late" means far later than that.
    void Connect(std::vector<std::string> args) {
        args.insert(args.end(), {"--log", m_simLog});
        ASSERT_TRUE(m_sim.Start(QXM_SIM_PATH, m_map, kCom, args)) << m_sim.Error();
        port = std::make_unique<QORLNK::TLNKCOMPort>();
        link = std::make_unique<TPortLink>(table, *port, timer, watchView, [](const std::string&) {
            ADD_FAILURE() << "exception in the link";
        });
        timer.setInterval(1000);
        watch = std::make_unique<TWatchRun>(table, link->Engine(), watchView);
        watch->AddListener([this](const TWatchSample& s) {
            samples.push_back(s.word + " " + WatchStatusText(s.status) +
                              (s.value.empty() ? "" : " " + s.value));
        });
        watch->onStopped = [this](const std::string& why) {
            stopped = true;
            stopReason = why;
        };
        port->SetPort1(kCom);
        ASSERT_TRUE(port->Open());
    }
    void Define(int index, std::int8_t kind, const char* cmd, std::uint32_t opts = 0) {
        table[std::size_t(index)].cmd_type = kind;
        table[std::size_t(index)].cmd_str = cmd;
        table[std::size_t(index)].opts = opts;
    }
    std::vector<std::string> SimFrames() const {
        std::ifstream in(m_simLog);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);)
            if (line.rfind("rx ", 0) == 0)
                out.push_back(line.substr(3, line.find('\\') - 3));
        return out;
    }
    int Count(const std::string& sample) const {
        return int(std::count(samples.begin(), samples.end(), sample));
    }

    TCmdTable table{};
    QTimer timer;
    TKeptView view;
    TWatchView watchView{view};
    std::unique_ptr<QORLNK::TLNKCOMPort> port;
    std::unique_ptr<TPortLink> link;
    std::unique_ptr<TWatchRun> watch;
    std::vector<std::string> samples;
    bool stopped = false;
    std::string stopReason;

private:
    QTemporaryDir m_dir;
    std::string m_map, m_simLog;
    qxmsim::TSimProcess m_sim;
};

} // namespace

// Cycles in order; a silent slot is a gap each cycle; a reply that comes
// after its time-out is a late sample of its own slot, never the reading of
// the slot then outstanding; the window's log and edits stay clear of it.
TEST_F(WatchTest, CyclesGapsAndLateReplies) {
    Connect({"--silent", "TEMP", "--late", "ACC:1500"});
    Define(0, ctParamGetSet, "SPD", UpdateEditOnGet);
    Define(1, ctParamGetSet, "ACC", UpdateEditOnGet);
    Define(2, ctParamGet, "TEMP", UpdateEditOnGet);
    Define(3, ctCommand, "RUN");
    watchView.SetQuiet(true);
    EXPECT_EQ(watch->Start({0, 3}, 0), "slot 4 (RUN) cannot be read: only readings and parameters "
                                       "with Get can be watched");
    ASSERT_EQ(watch->Start({0, 1, 2}, 0), "");
    ASSERT_TRUE(WaitUntil([&] { return Count("ACC late 200") >= 1 && watch->Cycles() >= 3; },
                          pmvtest::Scaled(20000)));
    watch->Stop();
    ASSERT_TRUE(WaitUntil([&] { return stopped; }));
    EXPECT_EQ(stopReason, "");
    EXPECT_FALSE(link->Engine().MatchReplies()); // the window's rule again

    // Each cycle: SPD, ACC, TEMP, in order, late samples between them.
    std::vector<std::string> inOrder;
    for (const std::string& s : samples)
        if (s.find(" late ") == std::string::npos)
            inOrder.push_back(s.substr(0, s.find(' ')));
    for (std::size_t i = 0; i < inOrder.size(); ++i)
        EXPECT_EQ(inOrder[i], (std::vector<std::string>{"SPD", "ACC", "TEMP"})[i % 3]) << i;
    // Whatever a loaded machine does to the timing, a value only ever
    // appears under its own slot, and the silent slot never has one.
    const std::map<std::string, std::string> own = {{"SPD", "1500"}, {"ACC", "200"}};
    for (const std::string& s : samples) {
        SCOPED_TRACE(s);
        const std::string word = s.substr(0, s.find(' '));
        const std::size_t value = s.find_first_of("0123456789");
        if (value != std::string::npos)
            EXPECT_EQ(s.substr(value), own.at(word));
        else
            EXPECT_NE(s.find("timed out"), std::string::npos);
    }
    EXPECT_GE(Count("TEMP timed out"), 2);
    for (const std::string& line : view.log)
        EXPECT_EQ(line.rfind("WARNING: - late reply", 0), 0u) << line;
    EXPECT_EQ(view.edits[0], "");
}

// The operator's request waits only for the watch's request in flight, and
// a Get All pauses the watch: no watch frame comes between its frames.
TEST_F(WatchTest, OperatorFirstAndPausedByGetAll) {
    Connect({"--delay", "5"});
    timer.setInterval(3000); // a Get All run ends at its first time-out
    Define(0, ctParamGetSet, "SPD", IncInGetAll | UpdateEditOnGet);
    Define(1, ctParamGetSet, "ACC", IncInGetAll | UpdateEditOnGet);
    Define(2, ctParamGetSet, "DEC", IncInGetAll | UpdateEditOnGet);
    Define(3, ctParamGet, "VBUS");
    ASSERT_EQ(watch->Start({3}, 0), "");
    TRequestEngine& engine = link->Engine();
    ASSERT_TRUE(WaitUntil([&] { return watch->Holds(); }));
    watch->WhenFree([&] { engine.GetButtonClick(2); });
    ASSERT_TRUE(WaitUntil([&] { return view.edits[2] == "200"; }));
    ASSERT_TRUE(WaitUntil([&] { return watch->Holds(); }));
    const int sent = engine.TxCount();
    watch->WhenFree([&] { engine.GetAllParameters(); });
    // The run is over when its last reply is in (a time-out would end it early).
    ASSERT_TRUE(WaitUntil([&] {
        return engine.TxCount() >= sent + 3 && engine.SeqLeft() == 0 && !engine.ComBusy();
    }));
    EXPECT_EQ(engine.RxTOCount(), 0);
    const std::size_t before = samples.size();
    ASSERT_TRUE(WaitUntil([&] { return samples.size() >= before + 3; }));
    watch->Stop();
    ASSERT_TRUE(WaitUntil([&] { return stopped; }));

    const std::vector<std::string> frames = SimFrames();
    const auto first = std::find(frames.begin(), frames.end(), "QXDEC");
    ASSERT_NE(first, frames.end());
    EXPECT_EQ(*(first - 1), "QXVBUS"); // the one the operator's Get waited for
    const auto run = std::find(frames.begin(), frames.end(), "QXSPD");
    ASSERT_TRUE(run != frames.end() && run + 3 <= frames.end());
    EXPECT_EQ(std::vector<std::string>(run, run + 3),
              (std::vector<std::string>{"QXSPD", "QXACC", "QXDEC"}));
    for (const std::string& line : view.log)
        EXPECT_NE(line, "COM is busy");
    for (const std::string& s : samples)
        EXPECT_TRUE(s == "VBUS ok 241" || s == "VBUS timed out" || s == "VBUS late 241") << s;
}

TEST(WatchCsv, RowsAndQuoting) {
    ::setenv("TZ", "XST-5:30", 1);
    ::tzset();
    TWatchSample s;
    s.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1765148164007));
    s.slot = 4;
    s.word = "SPD";
    struct Row {
        const char* value;
        TWatchStatus status;
        const char* tail;
    };
    // clang-format off
    const Row rows[] = {
        {"1500",        TWatchStatus::Ok,       ",5,SPD,1500,ok\r\n"},
        {"",            TWatchStatus::TimedOut, ",5,SPD,,timed out\r\n"},
        {"1,5",         TWatchStatus::Late,     ",5,SPD,\"1,5\",late\r\n"},
        {"say \"hi\"",  TWatchStatus::Ok,       ",5,SPD,\"say \"\"hi\"\"\",ok\r\n"},
        {"a\rb",        TWatchStatus::Ok,       ",5,SPD,\"a\rb\",ok\r\n"},
        {"\xE9t\xE9",   TWatchStatus::Ok,       ",5,SPD,\xC3\xA9t\xC3\xA9,ok\r\n"},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(r.tail);
        s.value = r.value;
        s.status = r.status;
        EXPECT_EQ(WatchCsvRow(s), std::string("2025-12-08T04:26:04.007+05:30") + r.tail);
    }
    ::unsetenv("TZ");
    ::tzset();
    EXPECT_EQ(WatchNumber(" 12.5 "), 12.5);
    EXPECT_EQ(WatchNumber("$1F"), 31.0);
    EXPECT_EQ(WatchNumber("ERR"), std::nullopt);
    EXPECT_EQ(WatchNumber("nan"), std::nullopt);

    // A write that fails ends the recording and says why.
    TWatchCsv csv;
    EXPECT_FALSE(csv.Open("/dev/full"));
    EXPECT_FALSE(csv.Recording());
    EXPECT_EQ(csv.Error(), "cannot write /dev/full: No space left on device");
    EXPECT_FALSE(csv.Open("/nonexistent/x.csv"));
    EXPECT_EQ(csv.Error(), "cannot create /nonexistent/x.csv: No such file or directory");
}
