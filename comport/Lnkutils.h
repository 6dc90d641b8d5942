// Port enumeration: which COM port numbers the system's serial device map
// lists. Nothing is cached; every call reads the map anew, so a port plugged
// in or removed shows at the next call.
#pragma once

#include <string>
#include <vector>

namespace QORLNK {

/// True when port n (1..255) is listed in the serial device map
/// (HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, values "COM<n>").
/// Values that are not "COM" followed by a decimal number match nothing.
bool IsPortPres(int n);

/// What ports 1..count are, one text each (element i is port i + 1), for
/// the settings form's tooltips: the device, its stable name, what it is
/// and who publishes or holds it, or "not present" and why. Read anew at
/// every call, from the platform layer's device information; opens no port.
std::vector<std::string> PortDescriptions(int count);

} // namespace QORLNK
