// Internal: what the port knows about a device beyond what termios says.
//
// A driver's set_termios cannot fail. A USB adapter's driver passes the
// settings to the device in a control request, and when the device refuses
// one (or the driver computes a rate the chip cannot make) the driver only
// writes a line to the kernel log: tcsetattr has returned 0 and tcgetattr
// reports the setting as asked. What a driver knows beforehand it writes
// back into termios (ftdi_sio reverts 6 data bits), and DeviceTook catches
// that. The rest is known only from the driver and the device, so the port
// reads them from sysfs at open and refuses, before asking the driver, what
// this table says the device cannot do.
#pragma once

#include "platform/posix/wintypes.h"

#include <string>
#include <sys/types.h>

namespace pmv::platform::detail {

/// The tty's driver and, for a USB device, its ids and maker, from sysfs.
struct TDeviceIds {
    std::string driver; ///< "ftdi_sio", "cdc_acm", "serial8250"; empty when unknown
    std::string vendorId;
    std::string productId;
    std::string manufacturer;
};

struct TDeviceTraits {
    DWORD minBaud = 0;          ///< slower rates are refused
    unsigned byteSizes = 0x1E0; ///< bit n set: n data bits (5..8) can be run
    unsigned parities = 0x1F;   ///< bit p set: DCB parity p can be run
    bool linesCounted = false;  ///< the driver counts every modem-line change
                                ///< (TIOCGICOUNT) and TIOCMGET costs a request
                                ///< on the bus: read the levels only on a change

    /// False when the device cannot run the block's speed or framing.
    bool Allows(const DCB& d) const;
};

/// The traits of a device by its ids (defaults: everything allowed).
TDeviceTraits TraitsOf(const TDeviceIds& ids);

/// The ids of the character device rdev, read under ${PMV_SYSFS_ROOT:-/sys}.
TDeviceIds ReadDeviceIds(dev_t rdev);

} // namespace pmv::platform::detail
