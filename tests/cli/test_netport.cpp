// Network ports against Debian's ser2net on the loopback address, in front
// of qxm-sim's pseudo-terminal: pmv-link through rfc2217:// and tcp://, line
// settings that reach the terminal, a server that dies and comes back, and
// a refused connection.
#include "platform/PortStatus.h"
#include "platform/posix/commapi.h"
#include "platform/posix/synchapi.h"
#include "tests/support/Ser2net.h"
#include "tools/sim/SimClient.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <termios.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSimCom = 25;
constexpr int kNetCom = 26;
const std::string kExample = PMV_SOURCE_DIR "/examples/qxm300-pump.ini";

std::string ReadAll(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

template <class F> bool WaitFor(F cond, std::chrono::seconds deadline = std::chrono::seconds(20)) {
    const auto end = Clock::now() + deadline;
    while (!cond()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class NetPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_map = m_dir.filePath("commap").toStdString();
        ::setenv("PMV_COMMAP", m_map.c_str(), 1);
        ASSERT_TRUE(m_sim.Start(QXM_SIM_PATH, m_map, kSimCom, {})) << m_sim.Error();
        server = std::make_unique<pmvtest::TSer2net>(m_dir.path().toStdString(), m_sim.Device());
        ASSERT_TRUE(server->Start()) << ReadAll(m_dir.filePath("ser2net.log").toStdString());
    }
    void TearDown() override {
        server.reset();
        m_sim.Stop();
        ::unsetenv("PMV_COMMAP");
    }

    void MapNetCom(const std::string& name) {
        std::ofstream(m_map) << "COM" << kNetCom << "=" << name << "\n";
    }

    // pmv-link with its output in files; its exit status (-1: no exit in time).
    int Link(std::vector<std::string> args, std::string& out, std::string& err) {
        const std::string outFile = m_dir.filePath("out").toStdString();
        const std::string errFile = m_dir.filePath("err").toStdString();
        args.insert(args.begin(), PMV_LINK_PATH);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            return -1;
        int status = 0;
        const bool ended = WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; });
        if (!ended) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        out = ReadAll(outFile);
        err = ReadAll(errFile);
        return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    static HANDLE OpenNetCom(DWORD flags = 0) {
        return CreateFileA(("COM" + std::to_string(kNetCom)).c_str(), GENERIC_READ | GENERIC_WRITE,
                           0, nullptr, OPEN_EXISTING, flags, nullptr);
    }

    const std::string& SimDevice() const { return m_sim.Device(); }
    // ser2net keeps the terminal open for a moment after a client leaves,
    // and refuses the next client of either listener meanwhile.
    bool TerminalFree() const {
        return WaitFor(
            [&] { return pmv::platform::FindDeviceHolders(m_sim.Device(), m_sim.Pid()).empty(); });
    }
    std::unique_ptr<pmvtest::TSer2net> server;

private:
    QTemporaryDir m_dir;
    std::string m_map;
    qxmsim::TSimProcess m_sim;
};

TEST_F(NetPortTest, GetAllThroughTheServer) {
    struct Row {
        bool rfc2217;
        const char* note; // what stderr says
    } rows[] = {{true, ""}, {false, "raw TCP: baud rate, framing and modem lines are not sent"}};
    for (const Row& row : rows) {
        const std::string url = row.rfc2217 ? server->Rfc2217() : server->Tcp();
        SCOPED_TRACE(url);
        ASSERT_TRUE(TerminalFree());
        std::string out, err;
        ASSERT_EQ(Link({"--device", url, "--timeout=2000", "get-all", kExample}, out, err), 0)
            << err;
        EXPECT_NE(out.find("  SPD      Speed setpoint [rpm]           1500\n"), std::string::npos)
            << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 33) << out;
        if (*row.note == '\0')
            EXPECT_EQ(err, "");
        else
            EXPECT_NE(err.find(row.note), std::string::npos) << err;
    }
}

// A pseudo-terminal keeps its speed and the odd-parity flag (it clears
// PARENB and runs 8 bits whatever it is told), so those are what is seen.
TEST_F(NetPortTest, BaudAndParitySetThroughTheServerReachTheTerminal) {
    MapNetCom(server->Rfc2217());
    HANDLE h = OpenNetCom();
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << pmv::platform::ExplainComError(kNetCom, GetLastError());
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = 19200;
    dcb.Parity = ODDPARITY;
    ASSERT_TRUE(SetCommState(h, &dcb));
    const int fd = ::open(SimDevice().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios t{};
    EXPECT_TRUE(WaitFor([&] {
        return ::tcgetattr(fd, &t) == 0 && cfgetospeed(&t) == B19200 && (t.c_cflag & PARODD) != 0;
    })) << "speed "
        << cfgetospeed(&t) << " cflag " << std::hex << t.c_cflag;
    ::close(fd);
    DCB back{};
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ(back.BaudRate, 19200u);
    EXPECT_EQ(back.Parity, ODDPARITY);
    CloseHandle(h);
}

// The server killed with a read pending: the device is lost. While it is
// down an open fails naming host, port and why; started again, it opens.
TEST_F(NetPortTest, ServerKilledIsALostDeviceThenRefusedThenBack) {
    MapNetCom(server->Rfc2217());
    HANDLE h = OpenNetCom(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << pmv::platform::ExplainComError(kNetCom, GetLastError());
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    BYTE byte = 0;
    DWORD got = 0;
    ASSERT_FALSE(ReadFile(h, &byte, 1, &got, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    server->Kill();
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &got, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_COMMAND));
    CloseHandle(h);
    CloseHandle(event);

    ASSERT_EQ(OpenNetCom(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    const std::string why = pmv::platform::ExplainComError(kNetCom, ERROR_FILE_NOT_FOUND);
    EXPECT_NE(why.find("cannot connect to 127.0.0.1 port " + std::to_string(server->Rfc2217Port()) +
                       ": Connection refused"),
              std::string::npos)
        << why;

    ASSERT_TRUE(server->Start());
    h = OpenNetCom();
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << pmv::platform::ExplainComError(kNetCom, GetLastError());
    const char frame[] = "QXSPD\r";
    DWORD sent = 0;
    ASSERT_TRUE(WriteFile(h, frame, sizeof frame - 1, &sent, nullptr));
    std::string reply;
    while (reply.find('\r') == std::string::npos && ReadFile(h, &byte, 1, &got, nullptr) &&
           got == 1)
        reply += static_cast<char>(byte);
    EXPECT_EQ(reply, "QXSPD = 1500\r");
    CloseHandle(h);
}

} // namespace
