// Publishing the simulator's pseudo-terminal as a COM number: one line
// "COMn=/dev/pts/N" in the device map override file, through the platform
// layer's publication (platform/DeviceMap.h). The line is written
// atomically under the map's lock and counts only while this process runs:
// its publication lock goes with the process, however it ends, so a
// simulator killed with SIGKILL leaves no port behind.
#pragma once

#include "platform/DeviceMap.h"

#include <string>

namespace qxmsim {

// The platform's default override file: $PMV_COMMAP when set and not empty,
// else ${XDG_CONFIG_HOME:-$HOME/.config}/pmv-host/commap.
std::string DefaultMapPath();

class TSimPublication {
public:
    // Publishes `device` as COMn in `mapFile` (which becomes this process's
    // PMV_COMMAP). False with a message on failure, also when another
    // running program has published COMn.
    bool Publish(const std::string& mapFile, int n, const std::string& device, std::string* error);
    // Removes the line if it still names the device (an operator may have
    // rewritten it meanwhile); the destructor does the same.
    bool Withdraw(std::string* error) { return m_publication.Withdraw(error); }

private:
    pmv::platform::TComPublication m_publication;
};

} // namespace qxmsim
