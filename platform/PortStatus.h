// Whether a COM port can be opened, and if not why, in words for the
// operator: who else has its device open, whether this user may open it,
// and why an open (or a later call of the open sequence) failed.
//
// Holders are found as fuser finds them: through /proc/PID/fd, matching the
// device number of a character device (so every name of the node counts),
// else the file's identity. Processes this user may not look into are not
// seen. The far end of a pseudo-terminal is not a holder: a process that
// also holds the pty's master (a terminal emulator, the target simulator)
// provides the device, and so does the process that published the number.
// Nothing here opens a port. PMV_PROC_ROOT (default "/proc") relocates the
// process tree for tests, as PMV_DEV_ROOT and PMV_SYSFS_ROOT do for the map.
//
// The texts are platform-neutral; on Windows these functions would give
// empty texts and ComAccess::Ok (the system's own messages serve there).
#pragma once

#include "platform/DeviceMap.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pmv::platform {

struct DeviceHolder {
    int pid = 0;
    std::string name; ///< the process's name as the kernel shows it (/proc/PID/comm)
};

enum class ComAccess {
    Ok,         ///< present, nobody else has it open, this user may open it
    Absent,     ///< not in the device map
    Permission, ///< this user may not open the node
    Busy,       ///< another process has the node open
    NotSerial,  ///< present, but the node is no serial device (/dev/null, a file)
};

/// "ok", "absent", "permission", "busy", "not-serial".
const char* ComAccessName(ComAccess access);

struct ComPortStatus {
    ComPortIdentity identity;
    ComAccess access = ComAccess::Absent;
    std::vector<DeviceHolder> holders; ///< other processes that have the node open
    std::string group;  ///< the node's group when it grants read and write ("dialout")
    std::string reason; ///< why it cannot be opened and the fix, in words; empty when Ok
};

/// Processes other than this one (and other than ignorePid, and the far
/// end of a pseudo-terminal) that have node open, ordered by pid.
std::vector<DeviceHolder> FindDeviceHolders(const std::string& node, int ignorePid = 0);

/// The status of COMn, from the map, sysfs and one look through /proc.
ComPortStatus ReadComPortStatus(int n);

/// The status of every COM number 1..kMaxComNumber (element i is COM i+1),
/// with one look through /proc for all of them.
std::vector<ComPortStatus> ReadComPortStatuses();

/// Several lines for a port list's tooltip: the node, the by-id name, the
/// description, the publisher and who holds it; for an absent port "not
/// present" and why. Element i is COM i+1, for i < count (at most
/// kMaxComNumber; numbers above give "not present").
std::vector<std::string> DescribeComPorts(int count);

/// DescribeComPorts for one number.
std::string DescribeComPort(int n);

/// For the program at the far end of a pseudo-terminal it publishes, which
/// keeps a descriptor of the slave open itself. The port's user sets the
/// slave's exclusive flag (TIOCEXCL) and clears it when it closes; killed
/// with SIGKILL it cannot, and the kernel keeps the flag as long as the
/// terminal lives, so that nobody but root could open the port again. The
/// guard learns of every close of the slave (inotify) and clears a flag
/// whose setter has gone: no lock is held on the node and no process but
/// the guard's own has it open.
class TExclusiveFlagGuard {
public:
    /// slaveFd: the publisher's own descriptor of the slave; node: its path.
    TExclusiveFlagGuard(int slaveFd, const std::string& node);
    ~TExclusiveFlagGuard();
    TExclusiveFlagGuard(const TExclusiveFlagGuard&) = delete;
    TExclusiveFlagGuard& operator=(const TExclusiveFlagGuard&) = delete;

    /// Readable when the slave has been closed somewhere: call Check() then.
    /// -1 when closes cannot be watched; Check() then serves as a poll.
    int EventFd() const { return m_eventFd; }
    /// Takes the pending events and clears an orphaned flag; true when it did.
    bool Check();

private:
    int m_slaveFd;
    std::string m_node;
    int m_eventFd = -1;
};

/// One line saying why a call on COMn failed with the Windows error
/// winError: "COM7 (/dev/ttyUSB1): in use by minicom (pid 4242)". call is
/// the failing call as the serial component reports it ("CreateFile",
/// "SetCommState", ...). After a failed CreateFile the line gives what the
/// open found (not present, permission denied with the group to join, the
/// holder's name and pid); for the other calls the device's answer in words
/// (settings refused, device gone). Never empty.
std::string ExplainComError(int n, std::uint32_t winError, const std::string& call = "CreateFile");

} // namespace pmv::platform
