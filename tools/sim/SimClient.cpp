#include "tools/sim/SimClient.h"

#include "platform/DeviceMap.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace qxmsim {

using Clock = std::chrono::steady_clock;

std::string PublishedDevice(const std::string& mapFile, int com) {
    return pmv::platform::PublishedDevice(mapFile, com);
}

TSimProcess::~TSimProcess() {
    if (m_pid > 0)
        Stop();
}

bool TSimProcess::Start(const std::string& program, const std::string& mapFile, int com,
                        const std::vector<std::string>& args, std::chrono::milliseconds wait) {
    std::vector<std::string> argStore = {program, "--die-with-parent", "--com",
                                         std::to_string(com)};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "PMV_COMMAP=", 11) != 0)
            envStore.emplace_back(*e);
    envStore.push_back("PMV_COMMAP=" + mapFile);
    std::vector<char*> envp;
    for (std::string& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    // The program's own stdout (its "published" line) is not wanted here.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const int rc =
        ::posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        m_pid = -1;
        m_error = "posix_spawn " + program + ": " + std::strerror(rc);
        return false;
    }
    const Clock::time_point deadline = Clock::now() + wait;
    while (Clock::now() < deadline) {
        m_device = PublishedDevice(mapFile, com);
        if (!m_device.empty() && ::access(m_device.c_str(), F_OK) == 0)
            return true;
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            m_error = program + " ended before publishing its port";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_error = program + " did not publish COM" + std::to_string(com) + " in " + mapFile;
    return false;
}

int TSimProcess::Wait(std::chrono::milliseconds wait) {
    if (m_pid <= 0)
        return -1;
    const Clock::time_point deadline = Clock::now() + wait;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (r < 0 && errno != EINTR) {
            m_pid = -1;
            return -1;
        }
        if (Clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int TSimProcess::Stop(std::chrono::milliseconds wait) {
    if (m_pid <= 0)
        return -1;
    ::kill(m_pid, SIGTERM);
    const int status = Wait(wait);
    if (m_pid > 0) { // did not end: make sure it does
        ::kill(m_pid, SIGKILL);
        int s = 0;
        ::waitpid(m_pid, &s, 0);
        m_pid = -1;
    }
    return status;
}

bool TPtyClient::Open(const std::string& device) {
    Close();
    m_fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        return false;
    termios t{};
    if (::tcgetattr(m_fd, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(m_fd, TCSANOW, &t);
    }
    return true;
}

void TPtyClient::Close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool TPtyClient::Write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
        } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{m_fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            return false;
        }
    }
    return true;
}

std::string TPtyClient::ReadUntil(char terminator, std::chrono::milliseconds wait,
                                  std::size_t min) {
    std::string got;
    const Clock::time_point deadline = Clock::now() + wait;
    char buf[512];
    for (;;) {
        if (got.size() >= min && !got.empty() && got.back() == terminator)
            return got;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return got;
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        // One byte at a time past the minimum, so nothing after the
        // terminator is consumed.
        const std::size_t want = got.size() + 1 >= min ? 1 : std::min(sizeof buf, min - got.size());
        const ssize_t n = ::read(m_fd, buf, want);
        if (n > 0)
            got.append(buf, static_cast<std::size_t>(n));
    }
}

std::string TPtyClient::ReadFor(std::chrono::milliseconds wait) {
    std::string got;
    const Clock::time_point deadline = Clock::now() + wait;
    char buf[512];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return got;
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<std::size_t>(n));
    }
}

} // namespace qxmsim
