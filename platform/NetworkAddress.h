// A serial port reached over the network, as a device map line names it:
// "rfc2217://host:port" (Telnet with the COM port option, so the line
// settings reach the far port) or "tcp://host:port" (raw bytes). host is a
// name, a dotted IPv4 address or an IPv6 address in brackets; port 1..65535.
// Only the text is checked here; nothing is looked up or connected.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pmv::platform {

struct TNetworkAddress {
    std::string scheme; ///< "rfc2217" or "tcp"
    std::string host;   ///< without the brackets of an IPv6 address
    int port = 0;
};

/// True when text begins with one of the network schemes ("tcp://"), so
/// that it is meant as a network port rather than a device path.
bool IsNetworkPortText(std::string_view text);

/// The parts of a network port text, or nothing with the reason in *why
/// ("'tcp://host' has no port: write tcp://host:port").
std::optional<TNetworkAddress> ParseNetworkAddress(std::string_view text,
                                                   std::string* why = nullptr);

} // namespace pmv::platform
