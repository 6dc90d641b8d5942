#include "platform/NetPort.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pmv::platform {

namespace {

constexpr char kRfc2217[] = "rfc2217://";
constexpr char kTcp[] = "tcp://";

bool StartsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

std::optional<NetPortAddress> Malformed(std::string* why, const std::string& text,
                                        const char* what) {
    if (why != nullptr)
        *why = "'" + text + "' is no network port: " + what;
    return std::nullopt;
}

void SetOptions(int fd) {
    const int on = 1;
    const int idle = kKeepAliveIdleS, interval = kKeepAliveIntervalS, count = kKeepAliveCount;
    const unsigned userTimeoutMs = (kKeepAliveIdleS + kKeepAliveIntervalS * kKeepAliveCount) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    // Keep-alive probes wait while output is unacknowledged; this bounds that case.
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on); // requests are small and waited for
}

// One address: 0 and the descriptor in fd, or an errno value.
int ConnectOne(const addrinfo& ai, std::chrono::steady_clock::time_point deadline, int& fd) {
    fd = ::socket(ai.ai_family, ai.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai.ai_protocol);
    if (fd < 0)
        return errno;
    int err = 0;
    if (::connect(fd, ai.ai_addr, ai.ai_addrlen) != 0) {
        err = errno;
        while (err == EINPROGRESS || err == EINTR) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                err = ETIMEDOUT;
                break;
            }
            pollfd p{fd, POLLOUT, 0};
            const int r = ::poll(&p, 1, static_cast<int>(left.count()));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0) {
                err = r == 0 ? ETIMEDOUT : errno;
                break;
            }
            socklen_t len = sizeof err;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
        }
    }
    if (err != 0) {
        ::close(fd);
        fd = -1;
        return err;
    }
    SetOptions(fd);
    return 0;
}

} // namespace

bool IsNetPortName(const std::string& text) {
    return StartsWith(text, kRfc2217) || StartsWith(text, kTcp);
}

std::optional<NetPortAddress> ParseNetPort(const std::string& text, std::string* why) {
    NetPortAddress a;
    std::string rest;
    if (StartsWith(text, kRfc2217)) {
        a.rfc2217 = true;
        rest = text.substr(sizeof kRfc2217 - 1);
    } else if (StartsWith(text, kTcp)) {
        rest = text.substr(sizeof kTcp - 1);
    } else {
        return Malformed(why, text, "it starts with neither rfc2217:// nor tcp://");
    }
    std::string::size_type colon;
    if (!rest.empty() && rest[0] == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return Malformed(why, text, "an IPv6 address is written [address]:port");
        a.host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos)
            return Malformed(why, text, "the port number is missing (HOST:PORT)");
        a.host = rest.substr(0, colon);
        if (a.host.find(':') != std::string::npos)
            return Malformed(why, text, "an IPv6 address is written [address]:port");
    }
    a.port = rest.substr(colon + 1);
    if (a.host.empty() || a.host.size() > 253)
        return Malformed(why, text, "the host is missing or too long");
    for (const char c : a.host)
        if (c <= ' ' || c == '/' || c == '@' || c == '[' || c == ']' || c == 0x7F)
            return Malformed(why, text, "the host has a character no host name has");
    long port = 0;
    for (const char c : a.port) {
        if (c < '0' || c > '9' || port > 65535)
            return Malformed(why, text, "the port is not a number from 1 to 65535");
        port = port * 10 + (c - '0');
    }
    if (a.port.empty() || port < 1 || port > 65535 || a.port[0] == '0')
        return Malformed(why, text, "the port is not a number from 1 to 65535");
    return a;
}

int ConnectNetPort(const NetPortAddress& address, int timeoutMs, std::string* why) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string where = "cannot connect to " + address.host + " port " + address.port + ": ";
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    addrinfo* list = nullptr;
    // Name look-up has its own resolver time-outs (resolv.conf); the connect is bounded here.
    if (const int rc = ::getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &list);
        rc != 0) {
        if (why != nullptr)
            *why = where + (rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc));
        return -1;
    }
    int err = EHOSTUNREACH;
    int fd = -1;
    for (const addrinfo* ai = list; ai != nullptr && fd < 0; ai = ai->ai_next) {
        err = ConnectOne(*ai, deadline, fd);
        if (err == ETIMEDOUT)
            break;
    }
    ::freeaddrinfo(list);
    if (fd < 0 && why != nullptr)
        *why = where + (err == ETIMEDOUT ? "no answer within " + std::to_string(timeoutMs) + " ms"
                                         : std::string(std::strerror(err)));
    return fd;
}

bool NetPortAnswers(const std::string& name, int timeoutMs, std::string* why) {
    const auto address = ParseNetPort(name, why);
    const int fd = address ? ConnectNetPort(*address, timeoutMs, why) : -1;
    if (fd >= 0)
        ::close(fd);
    return fd >= 0;
}

} // namespace pmv::platform
