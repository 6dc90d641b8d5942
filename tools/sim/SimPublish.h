// Publishing the simulator's pseudo-terminal as a COM number: one line
// "COMn=/dev/pts/N" in the device map override file, through the platform
// layer's device map (platform/DeviceMap.h), which writes the file
// atomically under its lock.
#pragma once

#include <string>

namespace qxmsim {

// The platform's default override file: $PMV_COMMAP when set and not empty,
// else ${XDG_CONFIG_HOME:-$HOME/.config}/pmv-host/commap.
std::string DefaultMapPath();

// Adds or replaces the line for COMn in `mapFile`. False with a message on
// failure. The file becomes this process's PMV_COMMAP.
bool PublishPort(const std::string& mapFile, int n, const std::string& device, std::string* error);

// Removes the line for COMn if it still names `device` (another simulator
// may have taken the number over meanwhile).
bool UnpublishPort(const std::string& mapFile, int n, const std::string& device,
                   std::string* error);

} // namespace qxmsim
