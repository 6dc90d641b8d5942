// pmv-link end to end: the real program against qxm-sim on a pseudo-terminal
// published as COM25 through a private device map.
#include "config/ConfigFile.h"
#include "tools/sim/SimClient.h"
#include "tools/sim/SimTarget.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <filesystem>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

constexpr int kCom = 25;
constexpr auto kDeadline = std::chrono::seconds(30); // generous: the machine may be busy
const std::string kExample = PMV_SOURCE_DIR "/examples/qxm300-pump.ini";
// Replies may be slow on a loaded machine; only the time-out test keeps a short window.
const std::string kWideTimeout = "--timeout=2000";

// A program run with its two output streams collected.
class TChild {
public:
    ~TChild() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

    bool Start(const std::vector<std::string>& args) {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            return false;
        std::vector<std::string> store = args;
        std::vector<char*> argv;
        for (std::string& a : store)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        const int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        m_out = out[0];
        m_err = err[0];
        return rc == 0;
    }

    void Signal(int sig) { ::kill(m_pid, sig); }

    // Collects the output until the program ends; its exit status, or -1
    // when it did not end before the deadline or died of a signal.
    int Wait() {
        const Clock::time_point end = Clock::now() + kDeadline;
        while ((m_out >= 0 || m_err >= 0) && Clock::now() < end) {
            pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
            ::poll(fds, 2, 100);
            Drain(m_out, fds[0], out);
            Drain(m_err, fds[1], err);
        }
        int status = 0;
        while (Clock::now() < end) {
            // What it read in all, from its /proc entry before it is reaped.
            siginfo_t info{};
            if (::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) ==
                    0 &&
                info.si_pid == m_pid) {
                std::ifstream io("/proc/" + std::to_string(m_pid) + "/io");
                for (std::string key; io >> key;)
                    if (key == "rchar:")
                        io >> readBytes;
            }
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }

    std::string out, err;
    long long readBytes = -1; // bytes it read through read() and the like

private:
    static void Drain(int& fd, const pollfd& p, std::string& into) {
        if (fd < 0 || (p.revents & (POLLIN | POLLHUP)) == 0)
            return;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            into.append(buf, static_cast<std::size_t>(n));
        } else {
            ::close(fd);
            fd = -1;
        }
    }

    pid_t m_pid = -1;
    int m_out = -1, m_err = -1;
};

struct TRun {
    int status = -1;
    std::string out, err;
};

TRun RunProgram(const std::string& program, const std::vector<std::string>& args) {
    TChild c;
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    TRun r;
    if (c.Start(all)) {
        r.status = c.Wait();
        r.out = c.out;
        r.err = c.err;
    }
    return r;
}

TRun Link(const std::vector<std::string>& args) {
    return RunProgram(PMV_LINK_PATH, args);
}

// The program with at most 2 GiB of address space, so that one that reads
// without bound fails instead of filling the machine. A sanitizer's shadow
// memory needs far more address space than that: there the bound is left to
// the test's own time limit.
TRun RunBounded(const std::string& program, const std::vector<std::string>& args) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const char* const limit = "exec \"$0\" \"$@\"";
#else
    const char* const limit = "ulimit -v 2097152 && exec \"$0\" \"$@\"";
#endif
    std::vector<std::string> all = {limit, program};
    all.insert(all.end(), args.begin(), args.end());
    all.insert(all.begin(), "-c");
    return RunProgram("/bin/sh", all);
}

QJsonArray Json(const std::string& text) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << text;
    EXPECT_TRUE(doc.isArray()) << text;
    return doc.array();
}

std::string Str(const QJsonValue& v) {
    return v.toString().toStdString();
}

bool HasLine(const std::string& text, const std::string& line) {
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (l == line)
            return true;
    return false;
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/test_cli.XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        m_dir = dir;
        m_map = m_dir + "/commap";
        ::setenv("PMV_COMMAP", m_map.c_str(), 1); // the programs started read it
    }

    void TearDown() override {
        if (m_sim.Pid() > 0) {
            EXPECT_EQ(m_sim.Stop(), 0);
        }
        ::unsetenv("PMV_COMMAP");
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

    void StartSim(const std::vector<std::string>& args = {}) {
        ASSERT_TRUE(m_sim.Start(QXM_SIM_PATH, m_map, kCom, args)) << m_sim.Error();
    }

    std::string m_dir;
    std::string m_map;
    qxmsim::TSimProcess m_sim;
};

// The slots the window's Get All reads, in its order.
std::vector<int> GetAllSlots(const pmv::TCmdTable& table) {
    std::vector<int> order;
    for (int i = 0; i < pmv::kSlotCount; ++i) {
        const pmv::TCmdRecord& r = table[std::size_t(i)];
        if (r.defined() && !r.has(pmv::Disabled) && r.has(pmv::IncInGetAll) &&
            (r.cmd_type == pmv::ctParamGet || r.cmd_type == pmv::ctParamGetSet))
            order.push_back(i);
    }
    return order;
}

TEST_F(CliTest, GetAllReadsTheSimulatorsValuesInTheWindowsOrder) {
    StartSim();
    const pmv::TConfigLoadResult cfg = pmv::LoadConfigFile(kExample);
    ASSERT_EQ(cfg.Status, pmv::TConfigLoadStatus::Ok);
    const std::vector<int> order = GetAllSlots(cfg.Set.CmdTable);
    const qxmsim::TSimTarget model; // the simulator's parameter table

    const TRun r = Link({"get-all", kExample, "--json", kWideTimeout});
    ASSERT_EQ(r.status, 0) << r.err;
    const QJsonArray a = Json(r.out);
    ASSERT_EQ(a.size(), qsizetype(order.size()));
    for (qsizetype k = 0; k < a.size(); ++k) {
        const pmv::TCmdRecord& rec = cfg.Set.CmdTable[std::size_t(order[std::size_t(k)])];
        const QJsonObject o = a[k].toObject();
        SCOPED_TRACE(rec.cmd_str);
        EXPECT_EQ(o["slot"].toInt(), order[std::size_t(k)] + 1);
        EXPECT_EQ(Str(o["command"]), rec.cmd_str);
        EXPECT_EQ(Str(o["description"]), rec.cmd_descr);
        EXPECT_EQ(Str(o["value"]), model.Value(rec.cmd_str));
        EXPECT_EQ(Str(o["status"]), "ok");
    }
}

TEST_F(CliTest, SetThenVerifyReportsExactlyTheChange) {
    StartSim();
    TRun r = Link({"verify", kExample, kWideTimeout});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "verify: all 16 parameters match the file (32 read in all)\n");

    r = Link({"set", kExample, "SPD=1600", "--json", kWideTimeout});
    ASSERT_EQ(r.status, 0) << r.err;
    QJsonArray a = Json(r.out);
    ASSERT_EQ(a.size(), 1);
    EXPECT_EQ(Str(a[0].toObject()["sent"]), "1600");
    EXPECT_EQ(Str(a[0].toObject()["value"]), "1600");

    r = Link({"verify", kExample, "--json", kWideTimeout});
    EXPECT_EQ(r.status, 1);
    a = Json(r.out);
    ASSERT_EQ(a.size(), 1) << r.out;
    const QJsonObject d = a[0].toObject();
    EXPECT_EQ(d["slot"].toInt(), 5);
    EXPECT_EQ(Str(d["command"]), "SPD");
    EXPECT_EQ(Str(d["file"]), "1500");
    EXPECT_EQ(Str(d["target"]), "1600");
    EXPECT_EQ(Str(d["status"]), "differs");

    // A value outside the slot's limits goes out clamped, as the window sends it.
    r = Link({"set", kExample, "ACC=99999", "--csv", kWideTimeout});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "slot,command,description,sent,value,status\r\n"
                     "6,ACC,Acceleration [rpm/s],5000,5000,ok\r\n");
    EXPECT_EQ(r.err, "pmv-link: slot 6 (ACC): 99999 is outside 10..5000, 5000 is sent\n");

    // Set All puts the file's values back.
    r = Link({"set-all", kExample, kWideTimeout});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Link({"verify", kExample, kWideTimeout});
    EXPECT_EQ(r.status, 0) << r.out;
}

// A snapshot of the target, the file compared with it offline, and verify's
// row statuses; a parameter that is not read is left out of the snapshot.
TEST_F(CliTest, SnapshotDiffAndVerifyStatuses) {
    StartSim({"--silent", "TLIM"});
    ASSERT_EQ(Link({"set", kExample, "SPD=1600", kWideTimeout}).status, 0);
    const std::string out = m_dir + "/snap.ini";
    TRun r = Link({"snapshot", kExample, out, "--timeout=1000"});
    EXPECT_EQ(r.status, 1) << r.err; // TLIM timed out
    EXPECT_EQ(r.out, out + "\n");
    EXPECT_NE(r.err.find("values left out"), std::string::npos) << r.err;
    const pmv::TConfigLoadResult snap = pmv::LoadConfigFile(out);
    ASSERT_EQ(snap.Status, pmv::TConfigLoadStatus::Ok) << snap.Message;
    EXPECT_EQ(snap.Set.CmdTable[4].val_start, 1600); // slot 5, SPD

    r = Link({"diff", kExample, out, "--csv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "slot,command,description,file,target,status\r\n"
                     "5,SPD,Speed setpoint [rpm],1500,1600,differs\r\n");
    r = Link({"diff", kExample, kExample});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "diff: all 16 parameters match\n");

    r = Link({"verify", kExample, "--all", "--json", "--timeout=1000"});
    EXPECT_EQ(r.status, 1);
    std::map<std::string, std::string> status;
    for (const QJsonValue& v : Json(r.out))
        status[Str(v.toObject()["command"])] = Str(v.toObject()["status"]);
    EXPECT_EQ(status.size(), 16u); // the parameters compared, same ones too
    EXPECT_EQ(status["SPD"], "differs");
    EXPECT_EQ(status["TLIM"], "timed out");
    EXPECT_EQ(status["ACC"], "same");
}

// One silent parameter: its time-out line, the others still read, exit 1.
TEST_F(CliTest, SilentCommandTimesOut) {
    StartSim({"--silent", "ACC"});
    const TRun r = Link({"get-all", kExample, "--json", "--log", "-", "--timeout=1000"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(HasLine(r.err, "Acceleration [rpm/s] - Rx timeout")) << r.err;
    const QJsonArray a = Json(r.out);
    ASSERT_EQ(a.size(), 32);
    for (const QJsonValue& v : a) {
        const QJsonObject o = v.toObject();
        const bool silent = Str(o["command"]) == "ACC";
        SCOPED_TRACE(Str(o["command"]));
        EXPECT_EQ(Str(o["status"]), silent ? "timeout" : "ok");
        EXPECT_EQ(o["value"].isNull(), silent);
    }
}

// Command line and configuration file errors exit 2 with one message; a bad
// file gets exactly the checker's message.
TEST_F(CliTest, RefusedBeforeThePortOpens) {
    const std::string bad = m_dir + "/bad.ini";
    {
        std::ifstream in(kExample, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        text.replace(text.find("parity: none"), 12, "parity: None");
        std::ofstream(bad, std::ios::binary) << text;
    }
    const TRun check = RunProgram(PMV_CONFIGCHECK_PATH, {bad});
    ASSERT_EQ(check.err, "ERROR: - invalid parity: field\n");
    const std::string missing = m_dir + "/missing.ini";

    struct Row {
        std::vector<std::string> args;
        std::string err; // whole standard error
    };
    const std::string hint = "Try 'pmv-link --help' for more information.\n";
    // clang-format off
    const Row rows[] = {
        {{"verify", bad},              check.err},
        {{"get-all", missing},         RunProgram(PMV_CONFIGCHECK_PATH, {missing}).err},
        {{"frob", kExample},           "pmv-link: unknown command 'frob'\n" + hint},
        {{"diff", kExample},           "pmv-link: 'diff' needs the second FILE, and only it\n" + hint},
        {{"diff", kExample, bad},      check.err},
        {{"snapshot", kExample, "a", "b"}, "pmv-link: 'snapshot' takes one OUT file at most ('b')\n" + hint},
        {{"get-all", kExample, "--all"}, "pmv-link: --all is for verify and diff\n" + hint},
        {{"get", kExample, "RUN"},     "pmv-link: slot 1 (RUN) has no Get: send it with set\n" + hint},
        {{"get", kExample, "193"},     "pmv-link: there is no slot 193 (slots are 1 to 192)\n" + hint},
        {{"set", kExample, "NACT=5"},  "pmv-link: slot 9 (NACT) is a reading: it has no Set\n" + hint},
        {{"set", kExample, "SPD=1k"},  "pmv-link: slot 5 (SPD): '1k' is not a valid integer value\n" + hint},
        {{"set", kExample, "PURGE"},   "pmv-link: slot 33 (PURGE) is disabled\n" + hint},
        // Nothing unchecked goes out: a carriage return would start a second frame.
        {{"set", kExample, "NAME=x\rQXSPD = 99999"},
         "pmv-link: slot 121 (NAME): the value holds the control character 0x0D (CR), which would "
         "end the frame; nothing is sent\n" + hint},
        {{"set", kExample, "NAME=5 \xE2\x82\xAC"},
         "pmv-link: 'NAME=5 \xE2\x82\xAC': the character '\xE2\x82\xAC' (U+20AC) cannot be sent: the "
         "target's texts are 8-bit (Latin-1)\n" + hint},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args[0] + " " + row.args.back());
        const TRun r = Link(row.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(CliTest, PortThatDoesNotOpenExits3WithTheReason) {
    struct Row {
        std::vector<std::string> args;
        std::string err;
    };
    const Row rows[] = {
        {{"--port", "COM31"},
         "pmv-link: COM31: not present (no device is mapped to this number)\n"},
        {{"--device", m_dir + "/ttyNone"},
         "pmv-link: COM25: not present (" + m_dir + "/ttyNone does not exist)\n"},
        {{"--device", "/dev/null"},
         "pmv-link: COM25 (/dev/null): not a serial device (a character device of class mem)\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args[1]);
        std::vector<std::string> args = {"get-all", kExample};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const TRun r = Link(args);
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.out, "");
    }
}

// A run that ends early keeps what it has: every result so far is printed,
// the rest marked unread. A signal ends it after the request in flight (the
// port free and no reply left on the line for the next user); a vanished
// device ends it at once.
TEST_F(CliTest, EarlyEndPrintsEveryResultSoFar) {
    const qxmsim::TSimTarget model;
    // clang-format off
    const struct { const char* what; int signal; int exit; const char* err; } rows[] = {
        {"Ctrl-C",      SIGINT,  130, "pmv-link: interrupted after "},
        {"SIGTERM",     SIGTERM, 143, "pmv-link: interrupted after "},
        {"device gone", 0,       3,   "the device is gone"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        StartSim({"--delay", "50"});
        const std::string log = m_dir + "/run-" + std::to_string(row.exit) + ".log";
        TChild c;
        ASSERT_TRUE(
            c.Start({PMV_LINK_PATH, "get-all", kExample, "--json", "--log", log, kWideTimeout}));
        // Ended once a few replies are in.
        const auto replies = [&] {
            std::ifstream in(log);
            int n = 0;
            for (std::string l; std::getline(in, l);)
                n += l.find(" = ") != std::string::npos ? 1 : 0;
            return n;
        };
        const Clock::time_point end = Clock::now() + kDeadline;
        while (replies() < 3 && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (row.signal != 0) {
            c.Signal(row.signal);
        } else {
            ::kill(m_sim.Pid(), SIGKILL);
            m_sim.Wait();
        }
        EXPECT_EQ(c.Wait(), row.exit);
        EXPECT_NE(c.err.find(row.err), std::string::npos) << c.err;
        const QJsonArray a = Json(c.out);
        ASSERT_EQ(a.size(), 32);
        qsizetype ok = 0; // the results first, then the slots not read
        for (; ok < a.size() && Str(a[ok].toObject()["status"]) == "ok"; ++ok)
            EXPECT_EQ(Str(a[ok].toObject()["value"]),
                      model.Value(Str(a[ok].toObject()["command"])));
        EXPECT_GE(ok, 3);
        EXPECT_LT(ok, 32);
        for (qsizetype k = ok; k < a.size(); ++k)
            EXPECT_EQ(Str(a[k].toObject()["status"]), "unread") << k;
        if (row.signal == 0)
            continue;
        for (const char* word : {"VER", "SN"}) {
            const TRun r = Link({"get", kExample, word, "--csv", kWideTimeout});
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.out.find(std::string(",") + model.Value(word) + ",ok"), std::string::npos)
                << r.out;
        }
        EXPECT_EQ(m_sim.Stop(), 0);
    }
}

// File names are the bytes given; texts go out as the window's 8-bit text
// and come back as UTF-8 in every format.
TEST_F(CliTest, BytesInBytesOut) {
    const std::string simLog = m_dir + "/sim.log";
    StartSim({"--log", simLog});
    const std::string file = m_dir + "/pump\xFF.ini"; // not UTF-8
    std::filesystem::copy_file(kExample, file);
    const std::string log = m_dir + "/run.log";
    TRun r = Link({"set", file, "NAME=caf\xC3\xA9", "--csv", "--log", log, kWideTimeout});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "slot,command,description,sent,value,status\r\n"
                     "121,NAME,Station name,caf\xC3\xA9,caf\xC3\xA9,ok\r\n");
    std::ifstream in(log);
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first, "192 commands loaded from configuration file \"pump\xC3\xBF.ini\"");
    std::ifstream sim(simLog);
    EXPECT_NE(std::string(std::istreambuf_iterator<char>(sim), {}).find("rx QXNAME = caf\\xE9\\r"),
              std::string::npos);
    r = Link({"get-all", file, "--json", kWideTimeout});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Json(r.out).size(), 32);
}

// A log that cannot be written is an error, at its opening or later; the
// results still come.
TEST_F(CliTest, LogThatCannotBeWrittenIsAnError) {
    StartSim();
    // clang-format off
    const struct { std::string log; std::string err; } rows[] = {
        {"/dev/full",             "pmv-link: cannot write the log /dev/full: No space left on device\n"},
        {m_dir + "/none/run.log", "pmv-link: cannot write the log " + m_dir + "/none/run.log: No such file or directory\n"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.log);
        const TRun r = Link({"get", kExample, "VER", "--csv", "--log", row.log, kWideTimeout});
        EXPECT_EQ(r.status, 4);
        EXPECT_EQ(r.err, row.err);
    }
    const TRun r = Link({"get", kExample, "VER", "--csv", "--log", "/dev/full", kWideTimeout});
    EXPECT_EQ(r.out, "slot,command,description,value,status\r\n"
                     "102,VER,Firmware version,300,ok\r\n");
}

// The device map is opened only when it is a regular file, and read only
// when it is at most 1 MiB: a FIFO, a device or a huge file named by
// PMV_COMMAP ends each program at once with one message naming it.
TEST_F(CliTest, MapThatIsNoRegularFileEndsEveryProgramAtOnce) {
    const std::string fifo = m_dir + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string big = m_dir + "/big";
    std::ofstream(big) << std::string(2 << 20, '#') << "\nCOM25=/dev/null\n";
    // A /dev/zero of the test's own: whatever a program might write beside
    // it stays in the test's folder.
    const std::string zero = m_dir + "/zero";
    const bool haveZero = ::mknod(zero.c_str(), S_IFCHR | 0600, makedev(1, 5)) == 0;
    struct Row {
        std::string map, why;
    } rows[] = {
        {fifo, "it is a FIFO"},
        {zero, "it is a device (PMV_COMMAP names the map file, not a port)"},
        {big, "it is larger than 1 MiB"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.map);
        if (row.map == zero && !haveZero)
            continue; // making a device node needs root
        ::setenv("PMV_COMMAP", row.map.c_str(), 1);
        const std::string error = "device map " + row.map + " not used: " + row.why;
        const TRun ports = RunBounded(PMV_PORTS_PATH, {"25"});
        EXPECT_EQ(ports.status, 1);
        EXPECT_EQ(ports.err, "pmv-ports: " + error + "\n");
        const TRun link = RunBounded(PMV_LINK_PATH, {"get", kExample, "SPD"});
        EXPECT_EQ(link.status, 3);
        EXPECT_EQ(link.err, "pmv-link: COM25: not present (" + error + ")\n");
        const TRun sim = RunBounded(QXM_SIM_PATH, {"--com", "25"});
        EXPECT_EQ(sim.status, 1);
        EXPECT_EQ(sim.err, "qxm-sim: cannot publish COM25 beside " + row.map + ": " + error + "\n");
    }
    ::setenv("PMV_COMMAP", m_map.c_str(), 1);
}

// However many COM numbers a program asks about (the port component asks
// for each in turn for the first present one when it is made), it reads the
// map once.
TEST_F(CliTest, LargeMapIsReadOnce) {
    {
        std::ofstream out(m_map);
        for (int i = 0; i < 9000; ++i)
            out << "# " << std::string(98, '-') << "\n"; // 900 kB of comments
    }
    const timespec settled[2] = {{::time(nullptr) - 60, 0}, {::time(nullptr) - 60, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, m_map.c_str(), settled, 0), 0);
    const auto size = static_cast<long long>(std::filesystem::file_size(m_map));
    // No port below COM25 (this machine may have a UART as COM1).
    ::setenv("PMV_DEV_ROOT", m_dir.c_str(), 1);
    ::setenv("PMV_SYSFS_ROOT", m_dir.c_str(), 1);
    StartSim();
    TChild c;
    ASSERT_TRUE(c.Start({PMV_LINK_PATH, "get", kExample, "SPD", kWideTimeout}));
    const int status = c.Wait();
    ::unsetenv("PMV_DEV_ROOT");
    ::unsetenv("PMV_SYSFS_ROOT");
    ASSERT_EQ(status, 0) << c.err;
    EXPECT_GT(c.readBytes, size);
    EXPECT_LT(c.readBytes, 3 * size);
}

} // namespace

// watch: a count of cycles as CSV; unbounded as JSON lines until Ctrl-C,
// which ends it after the request in flight with every sample printed.
TEST_F(CliTest, WatchCountsCyclesAndEndsCleanlyOnCtrlC) {
    StartSim({"--delay", "20"});
    const TRun refused = Link({"watch", kExample, "RUN", "--interval", "0"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("slot 1 (RUN) has no Get"), std::string::npos) << refused.err;

    const TRun r = Link({"watch", kExample, "SPD", "VBUS", "--interval", "0", "--count", "3",
                         "--csv", kWideTimeout});
    EXPECT_EQ(r.status, 0) << r.err;
    std::istringstream csv(r.out);
    Lines rows;
    for (std::string l; std::getline(csv, l);)
        rows.push_back(l);
    ASSERT_EQ(rows.size(), 7u) << r.out;
    EXPECT_EQ(rows[0], "time,slot,command,value,status\r");
    const std::regex row(
        R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d,(5,SPD,1500|99,VBUS,241),ok\r)");
    for (std::size_t i = 1; i < rows.size(); ++i)
        EXPECT_TRUE(std::regex_match(rows[i], row)) << rows[i];

    const std::string log = m_dir + "/watch.log";
    TChild c;
    ASSERT_TRUE(c.Start({PMV_LINK_PATH, "watch", kExample, "SPD", "--interval", "50", "--json",
                         "--log", log, kWideTimeout}));
    const auto replies = [&] {
        std::ifstream in(log);
        int n = 0;
        for (std::string l; std::getline(in, l);)
            n += l.find(" = ") != std::string::npos ? 1 : 0;
        return n;
    };
    const Clock::time_point end = Clock::now() + kDeadline;
    while (replies() < 3 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    c.Signal(SIGINT);
    EXPECT_EQ(c.Wait(), 130);
    EXPECT_NE(c.err.find("pmv-link: watch interrupted after "), std::string::npos) << c.err;
    std::istringstream lines(c.out);
    int samples = 0;
    for (std::string l; std::getline(lines, l); ++samples) {
        const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(l)).object();
        EXPECT_EQ(Str(o["status"]), "ok") << l;
        EXPECT_EQ(o["number"].toDouble(), 1500.0) << l;
    }
    EXPECT_EQ(samples, replies()); // every reply the log shows was printed
    EXPECT_EQ(m_sim.Stop(), 0);
}
