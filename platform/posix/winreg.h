// The registry, read only, as far as the serial device map goes.
//
// Exactly one key exists: HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM.
// Its values are computed from the file system at every RegOpenKeyExA (see
// platform/DeviceMap.h for the rule): value name = the device path (e.g.
// "/dev/ttyUSB0"), data = REG_SZ "COMn". Other keys give
// ERROR_FILE_NOT_FOUND; write access gives ERROR_ACCESS_DENIED.
#pragma once

#include "platform/posix/wintypes.h"

extern "C" {

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult);
LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData);
LONG WINAPI RegCloseKey(HKEY hKey);

} // extern "C"
