// POSIX stand-in for the part of the Windows API the serial component uses.
//
// Data flow: a Windows call enters one of three areas, each with one header
// here and one Linux source:
//   - wintypes.h     basic types, structures and constants (no code);
//   - synchapi.h     handles, last error, events and waits (handles.cpp);
//   - commapi.h      serial devices and overlapped I/O (comm_open.cpp,
//                    comm_engine.cpp, comm_lines.cpp over the transports of
//                    port_p.h; one I/O engine thread per open port);
//   - winreg.h       the registry's serial device map, computed from /dev and
//                    sysfs plus a user override file (registry.cpp,
//                    devicemap.cpp).
// Include "platform/winapi.h", not this file.
#pragma once

#include "platform/posix/commapi.h"
#include "platform/posix/synchapi.h"
#include "platform/posix/winreg.h"
#include "platform/posix/wintypes.h"
