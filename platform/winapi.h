// The one include for code that talks to serial ports, events and the
// registry's serial device map through the Windows API.
//
// On Windows this is <windows.h>. Elsewhere it is the POSIX stand-in in
// platform/posix/: the same names, types, values and semantics, implemented
// over termios, ioctl, poll and threads, so that code written against it
// reads like (and builds as) Windows code. Only the calls the serial
// component needs are provided; see platform/posix/win32.h for the list.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include "platform/posix/win32.h"
#endif
