// Internal: what CreateFileA needs of the device map and the port status
// code, and the record of the last failed open of each COM number that
// ExplainComError reads.
#pragma once

#include "platform/PortStatus.h"
#include "platform/posix/wintypes.h"

#include <string>
#include <vector>

namespace pmv::platform::detail {

/// The device of a COM number as CreateFileA opens it.
struct TResolvedPort {
    std::string device;   ///< configured path; empty when the number is absent
    int publisherPid = 0; ///< publisher of the line, 0 for an operator line
    std::string absence;  ///< why it is absent, in words
};

/// One read of the map for COMn (1..kMaxComNumber).
TResolvedPort ResolvePort(int n);

/// Why node cannot be a serial device, from what stat and sysfs tell without
/// opening it ("not a serial device (a character device of class mem)");
/// empty when it may be one. Asked before anyone looks for holders, so
/// that /dev/null is named for what it is rather than for who has it open.
std::string NotSerialReason(const std::string& node);

/// "in use by minicom (pid 4242)" and the like.
std::string HeldReason(const std::vector<DeviceHolder>& holders);

/// "permission denied; join group dialout: ..." for node; *group gets the
/// group when it grants read and write.
std::string PermissionReason(const std::string& node, std::string* group = nullptr);

/// True when another descriptor of this process (not fd) has node open.
bool HeldInThisProcess(const std::string& node, int fd);

/// Remembers why CreateFileA failed on COMn with winError; node as opened.
void RecordOpenFailure(int n, DWORD winError, const std::string& node, const std::string& reason);

/// Forgets it again (after a successful open).
void ClearOpenFailure(int n);

} // namespace pmv::platform::detail
