// Serial ports behind a serial server on the network.
//
// A device map line (and pmv-link --device) may name, instead of a device
// node, "rfc2217://HOST:PORT" (a Telnet connection that carries the line
// settings and modem lines, RFC 2217) or "tcp://HOST:PORT" (the bytes
// alone: baud rate, framing and modem lines stay as the server has them).
// HOST is an IPv4 address, an IPv6 address in brackets or a host name.
//
// The connection is made with a bounded time, so a program never hangs on
// an unreachable server, and with TCP keep-alive, so a connection that goes
// silent (the server's cable pulled) is found: kKeepAliveIdleS without
// traffic, then kKeepAliveCount probes kKeepAliveIntervalS apart, about 10
// seconds in all; unacknowledged output gives up after as long.
#pragma once

#include <optional>
#include <string>

namespace pmv::platform {

constexpr int kNetConnectTimeoutMs = 3000;
constexpr int kKeepAliveIdleS = 4;
constexpr int kKeepAliveIntervalS = 2;
constexpr int kKeepAliveCount = 3;

struct NetPortAddress {
    bool rfc2217 = false; ///< rfc2217:// rather than tcp://
    std::string host;     ///< without the brackets of an IPv6 address
    std::string port;     ///< decimal, 1..65535
};

/// True when text starts like a network port ("rfc2217://", "tcp://").
bool IsNetPortName(const std::string& text);

/// Parses a network port name; nullopt with the reason in *why when it is
/// malformed.
std::optional<NetPortAddress> ParseNetPort(const std::string& text, std::string* why = nullptr);

/// Connects within timeoutMs. Returns a non-blocking descriptor with
/// keep-alive and TCP_NODELAY set, or -1 with "cannot connect to HOST port
/// PORT: why" in *why.
int ConnectNetPort(const NetPortAddress& address, int timeoutMs, std::string* why);

/// True when the server of a network port name accepts a connection
/// within timeoutMs (the connection is closed at once); *why says why not.
bool NetPortAnswers(const std::string& name, int timeoutMs, std::string* why = nullptr);

} // namespace pmv::platform
