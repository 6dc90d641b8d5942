#include "platform/NetworkAddress.h"

#include <arpa/inet.h>
#include <cstddef>

namespace pmv::platform {
namespace {

constexpr std::string_view kSchemes[] = {"rfc2217://", "tcp://"};
constexpr std::size_t kMaxHostName = 253;
constexpr std::size_t kMaxLabel = 63;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsLabelChar(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
}

// A host name or a dotted IPv4 address: labels of letters, digits and
// hyphens; a name made of digits alone must be a valid IPv4 address.
bool IsHostName(std::string_view host) {
    if (host.empty() || host.size() > kMaxHostName)
        return false;
    bool digitsOnly = true;
    for (std::size_t start = 0; start <= host.size();) {
        std::size_t end = host.find('.', start);
        if (end == std::string_view::npos)
            end = host.size();
        const std::string_view label = host.substr(start, end - start);
        if (label.empty() || label.size() > kMaxLabel || label.front() == '-' ||
            label.back() == '-')
            return false;
        for (char c : label) {
            if (!IsLabelChar(c))
                return false;
            digitsOnly = digitsOnly && IsDigit(c);
        }
        start = end + 1;
    }
    if (!digitsOnly)
        return true;
    in_addr v4{};
    return ::inet_pton(AF_INET, std::string(host).c_str(), &v4) == 1;
}

std::nullopt_t Refuse(std::string* why, const std::string& text) {
    if (why != nullptr)
        *why = text;
    return std::nullopt;
}

} // namespace

bool IsNetworkPortText(std::string_view text) {
    for (std::string_view scheme : kSchemes)
        if (text.starts_with(scheme))
            return true;
    return false;
}

std::optional<TNetworkAddress> ParseNetworkAddress(std::string_view text, std::string* why) {
    const std::string quoted = "'" + std::string(text) + "'";
    TNetworkAddress a;
    std::string_view rest;
    for (std::string_view scheme : kSchemes)
        if (text.starts_with(scheme)) {
            a.scheme = std::string(scheme.substr(0, scheme.size() - 3));
            rest = text.substr(scheme.size());
        }
    if (a.scheme.empty())
        return Refuse(why, quoted + " is no network port: write rfc2217://host:port or "
                                    "tcp://host:port");
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos || (rest.starts_with('[') && rest.rfind(']') > colon))
        return Refuse(why, quoted + " has no port: write " + a.scheme + "://host:port");
    std::string_view host = rest.substr(0, colon);
    const std::string_view port = rest.substr(colon + 1);
    if (port.empty() || port.size() > 5)
        return Refuse(why, quoted + ": the port must be a number from 1 to 65535");
    for (char c : port) {
        if (!IsDigit(c))
            return Refuse(why, quoted + ": the port must be a number from 1 to 65535");
        a.port = a.port * 10 + (c - '0');
    }
    if (a.port < 1 || a.port > 65535)
        return Refuse(why, quoted + ": the port must be a number from 1 to 65535");
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        in6_addr v6{};
        if (::inet_pton(AF_INET6, std::string(host).c_str(), &v6) != 1)
            return Refuse(why, quoted + ": '" + std::string(host) + "' is no IPv6 address");
    } else if (!IsHostName(host)) {
        return Refuse(why, quoted + ": '" + std::string(host) +
                               "' is no host name or address (an IPv6 address goes in [ ])");
    }
    a.host = std::string(host);
    return a;
}

} // namespace pmv::platform
