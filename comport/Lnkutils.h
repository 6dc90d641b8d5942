// Port enumeration: which COM port numbers the system's serial device map
// lists. Nothing is cached; every call reads the map anew, so a port plugged
// in or removed shows at the next call.
#pragma once

namespace QORLNK {

/// True when port n (1..255) is listed in the serial device map
/// (HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, values "COM<n>").
/// Values that are not "COM" followed by a decimal number match nothing.
bool IsPortPres(int n);

} // namespace QORLNK
