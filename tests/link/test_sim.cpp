// The real qxm-sim binary on a real pseudo-terminal: published through its
// own device map file, spoken to with plain POSIX calls, and finally driven
// by the request engine itself.
#include "LinkFakes.h"
#include "config/ConfigFile.h"
#include "tools/sim/SimClient.h"
#include "tools/sim/SimTarget.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using qxmsim::TPtyClient;
using qxmsim::TSimProcess;

namespace {

constexpr auto kReplyWait = 5000ms; // generous: the machine may be busy

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/pmv-sim-XXXXXX";
        m_path = ::mkdtemp(tmpl);
    }
    ~TempDir() {
        const std::string cmd = "rm -rf '" + m_path + "'";
        [[maybe_unused]] int rc = std::system(cmd.c_str());
    }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct SimFixture {
    TempDir dir;
    TSimProcess sim;
    TPtyClient pty;
    std::string map = dir.File("commap");

    void Start(const std::vector<std::string>& args, int com = 25) {
        std::vector<std::string> all = args;
        all.insert(all.end(), {"--log", dir.File("sim.log")});
        ASSERT_TRUE(sim.Start(QXM_SIM_PATH, map, com, all)) << sim.Error();
        ASSERT_TRUE(pty.Open(sim.Device())) << sim.Device();
    }

    std::string Ask(const std::string& frame, char end = '\r', std::size_t min = 1) {
        EXPECT_TRUE(pty.Write(frame));
        return pty.ReadUntil(end, kReplyWait, min);
    }
};

// ------------------------------------------------------- protocol exchanges

struct Exchange {
    const char* send;
    const char* reply;
};

struct SimRow {
    const char* name;
    std::vector<std::string> args;
    std::vector<Exchange> talk;
};

const std::vector<SimRow>& SimRows() {
    static const std::vector<SimRow> rows = {
        {"seeded get", {}, {{"QXSPD\r", "QXSPD = 1500\r"}, {"QXVBUS\r", "QXVBUS = 241\r"}}},
        {"set echoes and stores",
         {},
         {{"QXACC = 350\r", "QXACC = 350\r"}, {"QXACC\r", "QXACC = 350\r"}}},
        {"unknown name starts at 0",
         {},
         {{"QXFOO\r", "QXFOO = 0\r"},
          {"QXFOO = -7\r", "QXFOO = -7\r"},
          {"QXFOO\r", "QXFOO = -7\r"}}},
        {"string value", {}, {{"QXNAME = pump 1\r", "QXNAME = pump 1\r"}}},
        {"plain command",
         {},
         {{"QXSTAT\r", "QXSTAT = 0\r"},
          {"QXRUN\r", "QXRUN = OK\r"},
          {"QXSTAT\r", "QXSTAT = 1\r"},
          {"QXSTOP\r", "QXSTOP = OK\r"},
          {"QXNACT\r", "QXNACT = 0\r"}}},
        {"read-only refuses a set",
         {},
         {{"QXTEMP = 5\r", "QXTEMP = ERR\r"}, {"QXTEMP\r", "QXTEMP = 34\r"}}},
        {"bytes before QX and a line feed ignored",
         {},
         {{"\n\x01zzQXSPD\r", "QXSPD = 1500\r"}, {"\nQXDEC\r", "QXDEC = 200\r"}}},
        {"no equals", {"--no-equals"}, {{"QXSPD\r", "QXSPD=1500\r"}}},
        {"silent name dropped, next answered",
         {"--silent", "ACC,DEC"},
         {{"QXACC\rQXDEC\rQXSPD\r", "QXSPD = 1500\r"}}},
    };
    return rows;
}

TEST(Sim, Exchanges) {
    for (const SimRow& row : SimRows()) {
        SCOPED_TRACE(row.name);
        SimFixture f;
        ASSERT_NO_FATAL_FAILURE(f.Start(row.args));
        for (const Exchange& x : row.talk) {
            SCOPED_TRACE(qxmsim::Printable(x.send));
            EXPECT_EQ(f.Ask(x.send), x.reply);
        }
        EXPECT_EQ(f.sim.Stop(), 0);
    }
}

TEST(Sim, LineFeedAfterReply) {
    SimFixture f;
    ASSERT_NO_FATAL_FAILURE(f.Start({"--lf"}));
    EXPECT_EQ(f.Ask("QXSPD\r", '\n'), "QXSPD = 1500\r\n");
    EXPECT_EQ(f.Ask("QXACC\r", '\n'), "QXACC = 200\r\n");
}

TEST(Sim, NoiseBeforeEachReply) {
    SimFixture f;
    ASSERT_NO_FATAL_FAILURE(f.Start({"--noise", "6", "--seed", "42"}));
    for (int i = 0; i < 5; ++i) {
        const std::string got = f.Ask("QXSPD\r", '\r', 6 + 13);
        ASSERT_EQ(got.size(), 6u + 13u) << qxmsim::Printable(got);
        EXPECT_EQ(got.substr(6), "QXSPD = 1500\r");
        EXPECT_EQ(got.substr(0, 6).find('Q'), std::string::npos);
    }
}

TEST(Sim, LateReplyComesAfterLaterOnes) {
    SimFixture f;
    ASSERT_NO_FATAL_FAILURE(f.Start({"--late", "SPD:300"}));
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(f.pty.Write("QXSPD\rQXACC\r"));
    EXPECT_EQ(f.pty.ReadUntil('\r', kReplyWait), "QXACC = 200\r");
    EXPECT_EQ(f.pty.ReadUntil('\r', kReplyWait), "QXSPD = 1500\r");
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 300ms);
}

TEST(Sim, DelayAppliesToEveryReply) {
    SimFixture f;
    ASSERT_NO_FATAL_FAILURE(f.Start({"--delay", "120"}));
    for (const char* frame : {"QXSPD\r", "QXACC\r"}) {
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_NE(f.Ask(frame), "");
        EXPECT_GE(std::chrono::steady_clock::now() - t0, 120ms);
    }
}

TEST(Sim, SurvivesHostClosingAndReopening) {
    SimFixture f;
    ASSERT_NO_FATAL_FAILURE(f.Start({}));
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        f.pty.Close();
        ASSERT_TRUE(f.pty.Open(f.sim.Device()));
        const std::string value = std::to_string(100 + i);
        EXPECT_EQ(f.Ask("QXKP = " + value + "\r"), "QXKP = " + value + "\r");
    }
    f.pty.Close();
    EXPECT_EQ(::kill(f.sim.Pid(), 0), 0); // still running with no host attached
}

// The simulator publishes beside the operator's map and never writes it;
// a signal withdraws the publication.
TEST(Sim, PublishesBesideTheMapAndWithdrawsOnASignal) {
    TempDir dir;
    const std::string map = dir.File("commap");
    const std::string text = "# ports of this machine\nCOM7=/dev/null\n";
    std::ofstream(map) << text;
    TSimProcess sim;
    ASSERT_TRUE(sim.Start(QXM_SIM_PATH, map, 25, {"--log", dir.File("log")})) << sim.Error();
    EXPECT_EQ(qxmsim::PublishedDevice(map, 25), sim.Device());
    EXPECT_EQ(ReadFile(map), text);
    const std::string log = ReadFile(dir.File("log"));
    EXPECT_EQ(log.substr(0, log.find('\n')).find("published"), 0u) << log;
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_EQ(qxmsim::PublishedDevice(map, 25), "");
    EXPECT_EQ(ReadFile(map), text);
}

TEST(Sim, ExitAfterFrames) {
    SimFixture f;
    ASSERT_NO_FATAL_FAILURE(f.Start({"--exit-after", "2"}));
    EXPECT_EQ(f.Ask("QXSPD\r"), "QXSPD = 1500\r");
    EXPECT_EQ(f.Ask("QXACC\r"), "QXACC = 200\r");
    EXPECT_EQ(f.sim.Wait(), 0);
    EXPECT_EQ(qxmsim::PublishedDevice(f.map, 25), "");
    const std::string log = ReadFile(f.dir.File("sim.log"));
    EXPECT_NE(log.find("rx QXACC\\r"), std::string::npos) << log;
    EXPECT_NE(log.find("tx QXACC = 200\\r"), std::string::npos) << log;
}

TEST(Sim, BadArgumentsRefused) {
    const std::vector<std::vector<std::string>> rows = {
        {"--com", "0"},    {"--com", "33"},  {"--delay", "x"}, {"--late", "SPD"},
        {"--noise", "-1"}, {"--frobnicate"}, {"--map"},
    };
    for (const auto& args : rows) {
        SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
        TempDir dir;
        TSimProcess sim;
        EXPECT_FALSE(sim.Start(QXM_SIM_PATH, dir.File("commap"), 25, args, 5s));
        EXPECT_EQ(qxmsim::PublishedDevice(dir.File("commap"), 25), "");
    }
}

// Help and version on standard output with exit code 0; a bad option on
// standard error with exit code 2.
TEST(Sim, HelpAndVersion) {
    struct Row {
        const char* args;
        int exitCode;
        const char* output; // contained in standard output ("" for none)
        const char* error;  // contained in standard error ("" for none)
    };
    // clang-format off
    const Row rows[] = {
        {"--version",    0, "qxm-sim 1.8\n",               ""},
        {"-v",           0, "qxm-sim 1.8\n",               ""},
        {"--help",       0, "Usage: qxm-sim [options]\n",  ""},
        {"-h",           0, "\nExit status:\n  0  ended",   ""},
        {"--frobnicate", 2, "",                            "qxm-sim: unknown option --frobnicate\n"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args);
        TempDir dir;
        const std::string cmd = std::string("'") + QXM_SIM_PATH + "' " + row.args + " >'" +
                                dir.File("out") + "' 2>'" + dir.File("err") + "'";
        const int status = std::system(cmd.c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), row.exitCode);
        const std::string out = ReadFile(dir.File("out"));
        const std::string err = ReadFile(dir.File("err"));
        EXPECT_EQ(out.empty(), !*row.output) << out;
        EXPECT_NE(out.find(row.output), std::string::npos) << out;
        EXPECT_EQ(err.empty(), !*row.error) << err;
        EXPECT_NE(err.find(row.error), std::string::npos) << err;
    }
}

// ------------------------------------------------- the engine over the pty

// TLinkPort over the pty: TxData writes the whole frame at once, so the
// frame is no longer needed when it returns.
class PtyPort : public pmv::TLinkPort {
public:
    explicit PtyPort(TPtyClient& pty) : m_pty(pty) {}
    bool IsOpen() const override { return m_pty.IsOpen(); }
    bool TxData(const std::uint8_t* data, int len) override {
        return m_pty.Write(std::string(reinterpret_cast<const char*>(data), len));
    }

private:
    TPtyClient& m_pty;
};

// A reply timer with a deadline; the test's event loop fires it.
class DeadlineTimer : public pmv::TLinkTimer {
public:
    explicit DeadlineTimer(std::chrono::milliseconds period) : m_period(period) {}
    void Start() override {
        m_due = std::chrono::steady_clock::now() + m_period;
        m_on = true;
    }
    void Stop() override { m_on = false; }
    bool Due() const { return m_on && std::chrono::steady_clock::now() >= m_due; }
    bool On() const { return m_on; }
    int MsLeft() const {
        return static_cast<int>(
            std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                       m_due - std::chrono::steady_clock::now())
                                       .count()));
    }

private:
    std::chrono::milliseconds m_period;
    std::chrono::steady_clock::time_point m_due{};
    bool m_on = false;
};

// Runs the user-interface loop until the engine is idle: received bytes go to
// RxChar one at a time, the timer's expiry to RxTimerTimer.
void RunUntilIdle(TPtyClient& pty, DeadlineTimer& timer, pmv::TRequestEngine& engine) {
    const auto giveUp = std::chrono::steady_clock::now() + 60s;
    while (engine.ComBusy() && std::chrono::steady_clock::now() < giveUp) {
        if (timer.Due()) {
            engine.RxTimerTimer();
            continue;
        }
        pollfd p{pty.Fd(), POLLIN, 0};
        if (::poll(&p, 1, timer.On() ? timer.MsLeft() + 1 : 100) <= 0)
            continue;
        char buf[256];
        const ssize_t n = ::read(pty.Fd(), buf, sizeof buf);
        for (ssize_t i = 0; i < n; ++i)
            engine.RxChar(static_cast<std::uint8_t>(buf[i]));
    }
}

TEST(SimEngine, GetAllAndSetAllRuns) {
    SimFixture f;
    // The silent name shows the time-out path; noise and LF the assembler.
    ASSERT_NO_FATAL_FAILURE(f.Start({"--silent", "DEC", "--noise", "3", "--lf"}));
    pmv::TCmdTable table{};
    auto define = [&](int i, int kind, const char* cmd, const char* descr, std::uint32_t opts) {
        table[i].cmd_type = static_cast<std::int8_t>(kind);
        table[i].cmd_str = cmd;
        table[i].cmd_descr = descr;
        table[i].opts = opts;
    };
    using namespace pmv;
    define(0, ctParamGetSet, "SPD", "Speed", IncInGetAll | IncInSetAll | UpdateEditOnGet);
    define(1, ctParamGetSet, "ACC", "", IncInGetAll | IncInSetAll | UpdateEditOnGet);
    define(2, ctParamGet, "TEMP", "Temperature", IncInGetAll | UpdateEditOnGet);
    define(3, ctParamGetSet, "DEC", "Decel", IncInGetAll | IncInSetAll);
    define(4, ctParamGet, "VBUS", "Bus", IncInGetAll | UpdateEditOnGet);

    PtyPort port(f.pty);
    // Long enough for a busy machine; the engine does not care about the period.
    DeadlineTimer timer(1500ms);
    linktest::FakeView view;
    TRequestEngine engine(table, port, timer, view);

    engine.GetAllParameters();
    RunUntilIdle(f.pty, timer, engine);
    EXPECT_EQ(view.log, (std::vector<std::string>{"Speed = 1500", "ACC = 200", "Temperature = 34",
                                                  "Decel - Rx timeout"}));
    EXPECT_EQ(view.edits[0], "1500");
    EXPECT_EQ(view.edits[2], "34");
    EXPECT_EQ(view.edits[4], ""); // never asked: the run stopped at DEC
    EXPECT_EQ(engine.SeqLeft(), 2);

    view.log.clear();
    view.edits[0] = "1750";
    view.edits[1] = "0x20";
    view.edits[3] = "90";
    engine.SetAllParameters();
    RunUntilIdle(f.pty, timer, engine);
    EXPECT_EQ(view.log,
              (std::vector<std::string>{"Speed = 1750", "ACC = 32", "Decel - Rx timeout"}));
    EXPECT_EQ(engine.TxCount(), 7);
    EXPECT_EQ(engine.RxCount(), 5);
    EXPECT_EQ(engine.RxTOCount(), 2);
    // The target kept the values of the Set All run.
    const std::string got = f.Ask("QXACC\r", '\n', 3 + 12);
    ASSERT_EQ(got.size(), 3u + 12u) << qxmsim::Printable(got);
    EXPECT_EQ(got.substr(3), "QXACC = 32\r\n");
}

} // namespace

// The example configuration and the simulator go together: every command of
// the example is answered, and every parameter starts at the example's default.
TEST(Sim, KnowsEveryCommandOfTheExample) {
    const pmv::TConfigLoadResult r =
        pmv::LoadConfigFile(std::string(PMV_SOURCE_DIR) + "/examples/qxm300-pump.ini");
    ASSERT_EQ(r.Status, pmv::TConfigLoadStatus::Ok) << r.Message;
    qxmsim::TSimTarget target(qxmsim::TSimOptions{});
    int checked = 0;
    for (const pmv::TCmdRecord& rec : r.Set.CmdTable) {
        if (!rec.defined())
            continue;
        SCOPED_TRACE(rec.cmd_str);
        ++checked;
        if (rec.cmd_type == pmv::ctParamSet || rec.cmd_type == pmv::ctParamGetSet) {
            EXPECT_EQ(target.Value(rec.cmd_str), std::to_string(rec.val_start));
        }
        if (rec.cmd_type == pmv::ctCommandString) {
            EXPECT_EQ(target.Value(rec.cmd_str), rec.str);
        }
        const auto reply = target.Answer("QX" + rec.cmd_str);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->bytes.rfind("QX" + rec.cmd_str + " = ", 0), 0u) << reply->bytes;
        EXPECT_EQ(reply->bytes.find(" = ERR"), std::string::npos) << reply->bytes;
    }
    EXPECT_EQ(checked, 48);
}
