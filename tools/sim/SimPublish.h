// Publishing the simulator's pseudo-terminal as a COM number: one line
// "COMn=/dev/pts/N" in the device map override file, written atomically
// (temporary file and rename) under the file's ".lock" lock, as the device
// map of the platform layer reads and writes it.
#pragma once

#include <string>

namespace qxmsim {

// $PMV_COMMAP when set and not empty, else
// ${XDG_CONFIG_HOME:-$HOME/.config}/pmv-host/commap.
std::string DefaultMapPath();

// Adds or replaces the line for COMn. False with a message on failure.
bool PublishPort(const std::string& mapFile, int n, const std::string& device,
                 std::string* error);

// Removes the line for COMn if it still names `device` (another simulator
// may have taken the number over meanwhile).
bool UnpublishPort(const std::string& mapFile, int n, const std::string& device,
                   std::string* error);

} // namespace qxmsim
