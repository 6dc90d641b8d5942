// Debian's ser2net in front of a serial device, for tests and benchmarks of
// network ports: one RFC 2217 and one raw TCP listener on 127.0.0.1, on
// ports free when it starts, configured by a YAML file in a folder of the
// caller's. Start waits until both listeners answer; Kill ends it at once
// (SIGKILL, as a server that loses power); Start again serves the same ports.
// options: more YAML lines for both connections' options (indented by four).
#pragma once

#include "platform/NetPort.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pmvtest {

class TSer2net {
public:
    TSer2net(std::string folder, std::string device, std::string options = {})
        : m_folder(std::move(folder)), m_device(std::move(device)), m_options(std::move(options)) {
        m_rfc2217Port = FreePort();
        m_tcpPort = FreePort();
    }
    TSer2net(const TSer2net&) = delete;
    TSer2net& operator=(const TSer2net&) = delete;
    ~TSer2net() { Kill(); }

    std::string Rfc2217() const { return "rfc2217://127.0.0.1:" + std::to_string(m_rfc2217Port); }
    std::string Tcp() const { return "tcp://127.0.0.1:" + std::to_string(m_tcpPort); }
    int Rfc2217Port() const { return m_rfc2217Port; }

    /// False when ser2net did not start or its listeners did not answer
    /// within deadline.
    bool Start(std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
        const std::string config = m_folder + "/ser2net.yaml";
        std::ofstream(config) << Connection("rfc", "telnet(rfc2217),tcp", m_rfc2217Port)
                              << Connection("raw", "tcp", m_tcpPort);
        const std::string log = m_folder + "/ser2net.log";
        std::string args[] = {"/usr/sbin/ser2net",      "-n", "-d", "-c", config, "-P",
                              m_folder + "/ser2net.pid"};
        char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(),
                        args[4].data(), args[5].data(), args[6].data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        const int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            m_pid = -1;
            return false;
        }
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (std::chrono::steady_clock::now() < end) {
            if (pmv::platform::NetPortAnswers(Rfc2217(), 1000) &&
                pmv::platform::NetPortAnswers(Tcp(), 1000))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    void Kill() {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

    static int FreePort() {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        int port = 0;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        ::close(fd);
        return port;
    }

private:
    std::string Connection(const char* name, const char* accepter, int port) const {
        return std::string("connection: &") + name + "\n  accepter: " + accepter + ",127.0.0.1," +
               std::to_string(port) + "\n  connector: serialdev," + m_device +
               ",9600n81,local\n  options:\n    kickolduser: true\n" + m_options;
    }

    std::string m_folder, m_device, m_options;
    int m_rfc2217Port = 0, m_tcpPort = 0;
    pid_t m_pid = -1;
};

} // namespace pmvtest
