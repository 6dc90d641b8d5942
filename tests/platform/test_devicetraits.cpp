// What the port knows about a device beyond termios: the settings its chip
// cannot run although the driver accepts them, read from a fake sysfs tree.
#include "PlatformTestSupport.h"
#include "platform/posix/devicetraits_p.h"

#include <fstream>
#include <sys/sysmacros.h>

using namespace pmvtest;
using pmv::platform::detail::ReadDeviceIds;
using pmv::platform::detail::TDeviceIds;
using pmv::platform::detail::TraitsOf;
namespace fs = std::filesystem;

namespace {

struct TraitsRow {
    const char* name;
    TDeviceIds ids;
    DWORD baud;
    BYTE bits;
    BYTE parity;
    bool allowed;
};

const TDeviceIds kFtdi{"ftdi_sio", "0403", "6001", "FTDI"};
const TDeviceIds kQemuFtdi{"ftdi_sio", "0403", "6001", "QEMU"};
const TDeviceIds kUart{"serial8250", "", "", ""};
const TDeviceIds kAcm{"cdc_acm", "1d6b", "0104", "PMV"};

// clang-format off
const TraitsRow kTraitsRows[] = {
    {"UART: anything",             kUart,     110,   5, MARKPARITY,  true},
    {"CDC-ACM: anything",          kAcm,      110,   5, SPACEPARITY, true},
    {"FTDI: 9600 8N1",             kFtdi,     9600,  8, NOPARITY,    true},
    {"FTDI: 7 data bits, mark",    kFtdi,     9600,  7, MARKPARITY,  true},
    {"FTDI: 300 baud",             kFtdi,     300,   8, NOPARITY,    true},
    {"FTDI: 110 baud",             kFtdi,     110,   8, NOPARITY,    false},
    {"FTDI: 5 data bits",          kFtdi,     9600,  5, NOPARITY,    false},
    {"FTDI: 6 data bits",          kFtdi,     9600,  6, NOPARITY,    false},
    {"QEMU's FTDI: even parity",   kQemuFtdi, 9600,  8, EVENPARITY,  true},
    {"QEMU's FTDI: mark parity",   kQemuFtdi, 9600,  8, MARKPARITY,  false},
    {"QEMU's FTDI: space parity",  kQemuFtdi, 9600,  7, SPACEPARITY, false},
};
// clang-format on

TEST(DeviceTraits, SettingsTheDeviceCanRun) {
    for (const TraitsRow& row : kTraitsRows) {
        SCOPED_TRACE(row.name);
        DCB d{};
        d.BaudRate = row.baud;
        d.ByteSize = row.bits;
        d.Parity = row.parity;
        EXPECT_EQ(TraitsOf(row.ids).Allows(d), row.allowed);
    }
    EXPECT_TRUE(TraitsOf(kFtdi).linesCounted);
    EXPECT_FALSE(TraitsOf(kUart).linesCounted);
}

TEST(DeviceTraits, IdsFromSysfs) {
    TempDir dir;
    ScopedEnv sysfs("PMV_SYSFS_ROOT", dir.Path());
    // As the kernel lays out an FTDI adapter's tty: the usb-serial port under
    // the interface under the USB device, the driver a link.
    const std::string usb = dir.Path() + "/devices/pci0000:00/usb1/1-1";
    const std::string port = usb + "/1-1:1.0/ttyUSB0";
    fs::create_directories(port + "/tty/ttyUSB0");
    fs::create_directories(dir.Path() + "/bus/usb-serial/drivers/ftdi_sio");
    fs::create_directories(dir.Path() + "/dev/char");
    fs::create_directory_symlink(dir.Path() + "/bus/usb-serial/drivers/ftdi_sio", port + "/driver");
    fs::create_directory_symlink(port, port + "/tty/ttyUSB0/device");
    fs::create_directory_symlink(port + "/tty/ttyUSB0", dir.Path() + "/dev/char/188:0");
    std::ofstream(usb + "/idVendor") << "0403\n";
    std::ofstream(usb + "/idProduct") << "6001\n";
    std::ofstream(usb + "/manufacturer") << "QEMU\n";

    const TDeviceIds ids = ReadDeviceIds(::makedev(188, 0));
    EXPECT_EQ(ids.driver, "ftdi_sio");
    EXPECT_EQ(ids.vendorId + ":" + ids.productId + " " + ids.manufacturer, "0403:6001 QEMU");
    EXPECT_EQ(ReadDeviceIds(::makedev(188, 1)).driver, ""); // no such device
}

} // namespace
