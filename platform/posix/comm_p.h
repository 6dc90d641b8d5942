// Internal: the device control block's translation to and from termios,
// kept apart from the I/O so it can be checked without a device.
#pragma once

#include "platform/posix/wintypes.h"

#include <termios.h>

namespace pmv::platform::detail {

/// Checks a DCB as the Windows serial driver does: 0 when usable, else
/// ERROR_INVALID_PARAMETER (impossible values or combinations) or
/// ERROR_NOT_SUPPORTED (settings Linux cannot do).
DWORD ValidateDcb(const DCB& d);

/// Raw mode plus the DCB's speed, framing and flow control. d must be valid.
void ApplyDcbToTermios(const DCB& d, termios& t);

/// The DCB a device with termios t runs. Fields termios does not hold come
/// from asked (the block last set); on a pty also data bits and parity.
DCB DcbFromTermios(const termios& t, const DCB& asked, bool isPty);

/// True when the device took every setting of wanted (got is read back).
bool DeviceTook(const termios& wanted, const termios& got, bool isPty);

} // namespace pmv::platform::detail
