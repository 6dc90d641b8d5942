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
// The override file (DeviceMapPath()) holds lines "COM7=/dev/serial/by-id/x"
// or a network port, "COM7=rfc2217://host:4001" (NetPort.h; present
// whenever it is well-formed, its node is the name itself);
// blank lines and '#' comments are allowed, malformed lines (also numbers
// outside 1..32 and relative paths) are ignored; a later line for the same
// number wins, and a device named twice keeps the lower number. An
// override takes the device out of its default slot and is present when its
// path exists. PMV_SYSFS_ROOT and PMV_DEV_ROOT (defaults "/sys" and "/dev")
// relocate the trees for tests.
//
// Only the user's own map is trusted: the file and its folder must belong
// to this user or root and be writable by nobody else, and the file must be
// a regular file of at most 1 MiB. Otherwise no number is present at all
// (not even by the default rule), and every absence names the map and why;
// nothing is opened on another user's word. The file's lines are parsed
// once and kept while its identity and times stay the same.
//
// Published lines: a running program (the target simulator, a test) may
// publish a device through TComPublication. It never writes the map file:
// its line lives in the file "<override file>.COMn.pub" beside it, which
// also names the publisher, and on which it holds an open-file-description
// write lock for as long as it runs. The kernel drops the lock when the
// process ends, however it ends (SIGKILL included). A live publication
// shadows the operator's line for the number; once its lock is free the
// operator's line is in force again, and without one the number is absent,
// whatever now sits at the published path (a pseudo-terminal number reused
// by another terminal).
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

/// What the device map and sysfs tell about one COM number. Computed from
/// the file system only; nothing is opened but sysfs attribute files and the
/// override and publication files.
struct ComPortIdentity {
    int comNumber = 0;           ///< 1..kMaxComNumber
    bool present = false;        ///< as ReadDeviceMap() lists it
    std::string device;          ///< path as configured, also for an absent number
                                 ///< (empty when the number has none)
    bool overridden = false;     ///< device comes from an override line
    std::string node;            ///< the device node the path resolves to (present ports)
    std::string byId;            ///< ".../serial/by-id/..." link to the node, or empty
    bool isPty = false;          ///< the node is a pseudo-terminal
    std::string driver;          ///< kernel driver from sysfs ("ftdi_sio", "cdc_acm", ...)
    std::string manufacturer;    ///< USB manufacturer string, empty when not USB or not given
    std::string product;         ///< USB product string, likewise
    std::string serialNumber;    ///< USB serial number string, likewise
    std::string vendorId;        ///< USB vendor id, four hex digits, empty when not USB
    std::string productId;       ///< USB product id, likewise
    int publisherPid = 0;        ///< publisher of the line in force, 0 for an operator line
    std::string publisherName;   ///< its name as the kernel shows it (/proc/PID/comm)
    bool publisherEnded = false; ///< the line is a stale publication: the number is absent
    std::string publicationId;   ///< the publication's own mark (tells two apart under one pid)
    std::string mapDevice;       ///< the operator's line for the number, also while a
                                 ///< publication shadows it; empty when there is none
    std::string absence;         ///< why an absent number is absent, in words; empty if present

    /// One line saying what the device is, e.g. "FTDI FT232R USB UART
    /// (0403:6001, serial A1B2C3)", "pseudo-terminal" or "serial port
    /// (driver serial8250)"; empty when nothing is known.
    std::string Description() const;
};

/// Location of the override file: $PMV_COMMAP if set and not empty, else
/// ${XDG_CONFIG_HOME:-$HOME/.config}/pmv-host/commap.
std::string DeviceMapPath();

/// Why the device map file is not used (it or its folder is not this
/// user's alone, it is not a regular file, it is too large), naming it; empty
/// when it is used (or there is none).
std::string DeviceMapError();

/// The device a running program publishes as COMn beside the map file
/// mapFile, or empty.
std::string PublishedDevice(const std::string& mapFile, int n);

/// The present ports, ordered by COM number.
std::vector<DeviceMapEntry> ReadDeviceMap();

/// Device path of a present port, or an empty text when port n is absent.
std::string ResolveComPort(int n);

/// Adds or replaces the override line for COMn (1..kMaxComNumber) in the
/// override file (device: an absolute path or a network port text),
/// atomically (write a temporary file, then rename). Creates
/// the folder (mode 0700) when needed. Returns false with a message in
/// *error on failure, also when the folder is not trusted.
bool SetDeviceMapOverride(int n, const std::string& device, std::string* error = nullptr);

/// Removes the override line for COMn; true also when there was none.
bool RemoveDeviceMapOverride(int n, std::string* error = nullptr);

/// Every serial device the system shows, whether or not a COM number maps
/// it: the nodes that the default rule would take (ttyUSB, ttyACM, ttyAMA
/// with a device behind them, real UARTs), of any index, and those the
/// serial/by-id links lead to, ordered by node. comNumber is 0; node, byId
/// and the sysfs details are filled in.
std::vector<ComPortIdentity> ListSerialDevices();

/// Identity of every COM number 1..kMaxComNumber, in order (element i is
/// COM i+1).
std::vector<ComPortIdentity> ReadComPortIdentities();

/// Identity of COMn; for n outside 1..kMaxComNumber an absent entry.
ComPortIdentity ReadComPortIdentity(int n);

/// A COM number published by this process: the line lives while the object
/// does (Withdraw or destruction removes it) and goes once the process has
/// ended in any way. One publisher per number at a time; the operator's
/// own line for the number is never touched.
class TComPublication {
public:
    TComPublication() = default;
    TComPublication(const TComPublication&) = delete;
    TComPublication& operator=(const TComPublication&) = delete;
    ~TComPublication() { Withdraw(); }

    /// Publishes device as COMn beside DeviceMapPath(). False with a
    /// message in *error when the number is published by another running
    /// process, the arguments are bad, the map's folder is not trusted or
    /// the file cannot be written. Withdraws an earlier publication of this
    /// object first.
    bool Publish(int n, const std::string& device, std::string* error = nullptr);
    /// Removes the .pub file and drops the lock. True (nothing can fail
    /// that a reader would see: without the lock the line is gone).
    bool Withdraw(std::string* error = nullptr);
    bool Active() const { return FLockFd >= 0; }
    /// The mark that tells this publication from any other.
    const std::string& Id() const { return FId; }

private:
    int FLockFd = -1;
    int FDirFd = -1;
    int FComNumber = 0;
    std::string FDevice;
    std::string FPubName;
    std::string FId;
};

} // namespace pmv::platform
