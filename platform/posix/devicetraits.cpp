#include "platform/posix/devicetraits_p.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace pmv::platform::detail {
namespace {

std::string ReadLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string RealPath(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

} // namespace

bool TDeviceTraits::Allows(const DCB& d) const {
    return d.BaudRate >= minBaud && d.ByteSize < 16 && (byteSizes >> d.ByteSize & 1) != 0 &&
           d.Parity < 16 && (parities >> d.Parity & 1) != 0;
}

TDeviceTraits TraitsOf(const TDeviceIds& ids) {
    TDeviceTraits t;
    if (ids.driver == "ftdi_sio") {
        // The chips run 7 or 8 data bits (the driver reverts 6 and passes 5
        // on, which they run as 8) and divide 3 MHz by at most 16383.875;
        // for a slower rate the driver programs a wrong one (110 gives 275).
        // Every packet from the chip carries the modem status, which the
        // driver counts, while its TIOCMGET asks the chip over the bus.
        t.byteSizes = 1u << 7 | 1u << 8;
        t.minBaud = 183;
        t.linesCounted = true;
    }
    // QEMU's emulated FT232 stalls mark and space parity.
    if (ids.vendorId == "0403" && ids.productId == "6001" && ids.manufacturer == "QEMU")
        t.parities = 1u << NOPARITY | 1u << ODDPARITY | 1u << EVENPARITY;
    return t;
}

TDeviceIds ReadDeviceIds(dev_t rdev) {
    const char* env = std::getenv("PMV_SYSFS_ROOT");
    const std::string root = RealPath(env != nullptr && *env != '\0' ? env : "/sys");
    TDeviceIds ids;
    const std::string tty = RealPath(root + "/dev/char/" + std::to_string(::major(rdev)) + ":" +
                                     std::to_string(::minor(rdev)));
    const std::string device = RealPath(tty + "/device");
    if (root.empty() || tty.empty() || device.empty())
        return ids;
    const std::string driver = RealPath(device + "/driver");
    ids.driver = driver.substr(driver.rfind('/') + 1);
    // The USB device is the first folder above with the ids.
    for (std::string dir = device; dir.size() > root.size(); dir.erase(dir.rfind('/'))) {
        struct stat st {};
        if (::stat((dir + "/idVendor").c_str(), &st) != 0)
            continue;
        ids.vendorId = ReadLine(dir + "/idVendor");
        ids.productId = ReadLine(dir + "/idProduct");
        ids.manufacturer = ReadLine(dir + "/manufacturer");
        break;
    }
    return ids;
}

} // namespace pmv::platform::detail
