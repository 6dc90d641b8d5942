// The serial device map: which COM number is which device node.
//
// It stands in for the registry key HARDWARE\DEVICEMAP\SERIALCOMM and is
// computed from the file system each time it is asked for, never by opening
// a port:
//   COM1-4   /dev/ttyS0-3     present only when sysfs says the UART is real
//                             (/sys/class/tty/ttySn/type is not 0)
//   COM5-12  /dev/ttyUSB0-7   present when the node and
//   COM13-20 /dev/ttyACM0-7     /sys/class/tty/<name>/device exist
//   COM21-24 /dev/ttyAMA0-3
//   COM25-32 only through the override file
// The override file (DeviceMapPath()) holds lines "COM7=/dev/serial/by-id/x";
// blank lines and '#' comments are allowed, malformed lines (also numbers
// outside 1..32 and relative paths) are ignored; a later line for the same
// number wins, and a device named twice keeps the lower number. An
// override takes the device out of its default slot and is present when its
// path exists. PMV_SYSFS_ROOT and PMV_DEV_ROOT (defaults "/sys" and "/dev")
// relocate the trees for tests.
#pragma once

#include <string>
#include <vector>

namespace pmv::platform {

/// Highest COM number the map knows.
constexpr int kMaxComNumber = 32;

struct DeviceMapEntry {
    int comNumber = 0;  ///< 1..kMaxComNumber
    std::string device; ///< path as configured (default rule or override)
};

/// Location of the override file: $PMV_COMMAP if set and not empty, else
/// ${XDG_CONFIG_HOME:-$HOME/.config}/pmv-host/commap.
std::string DeviceMapPath();

/// The present ports, ordered by COM number.
std::vector<DeviceMapEntry> ReadDeviceMap();

/// Device path of a present port, or an empty text when port n is absent.
std::string ResolveComPort(int n);

/// Adds or replaces the override line for COMn (1..kMaxComNumber) in the
/// override file, atomically (write a temporary file, then rename). Creates
/// the folder when needed. Returns false with a message in *error on failure.
bool SetDeviceMapOverride(int n, const std::string& device, std::string* error = nullptr);

/// Removes the override line for COMn; true also when there was none.
bool RemoveDeviceMapOverride(int n, std::string* error = nullptr);

} // namespace pmv::platform
