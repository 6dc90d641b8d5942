// Publishing the simulator's pseudo-terminal as a COM number through the
// platform layer's publication (platform/DeviceMap.h): the line
// "COMn=/dev/pts/N" lives in a file beside the device map, never in the map
// itself, and counts only while this process runs: its publication lock
// goes with the process, however it ends, so a simulator killed with
// SIGKILL leaves no port behind and the operator's own line for the number
// is in force again.
//
// The simulator also keeps the port usable for the next user when the last
// one was killed: through its own slave descriptor it clears the exclusive
// flag that user left set (TExclusiveFlagGuard in platform/PortStatus.h).
#pragma once

#include "platform/DeviceMap.h"
#include "platform/PortStatus.h"

#include <memory>
#include <string>

namespace qxmsim {

// The platform's default override file: $PMV_COMMAP when set and not empty,
// else ${XDG_CONFIG_HOME:-$HOME/.config}/pmv-host/commap.
std::string DefaultMapPath();

class TSimPublication {
public:
    // Publishes `device` as COMn beside `mapFile` (which becomes this
    // process's PMV_COMMAP); slaveFd is the simulator's own descriptor of
    // the device. False with a message on failure, also when another
    // running program has published COMn.
    bool Publish(const std::string& mapFile, int n, const std::string& device, int slaveFd,
                 std::string* error);
    // Removes the publication; the destructor does the same.
    bool Withdraw(std::string* error) { return m_publication.Withdraw(error); }

    // Readable when the device has been closed by somebody: then call
    // KeepUsable(). -1 when closes cannot be watched: call it now and then.
    int WatchFd() const { return m_guard ? m_guard->EventFd() : -1; }
    // Clears an exclusive flag whose setter has gone; true when it did.
    bool KeepUsable() { return m_guard && m_guard->Check(); }

private:
    pmv::platform::TComPublication m_publication;
    std::unique_ptr<pmv::platform::TExclusiveFlagGuard> m_guard;
};

} // namespace qxmsim
