// The serial device map computed from /dev, sysfs and the override file.
#include "platform/DeviceMap.h"
#include "platform/NetPort.h"
#include "platform/NetworkAddress.h"
#include "platform/posix/mapfile_p.h"
#include "platform/posix/portstatus_p.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace pmv::platform {
namespace {

std::string EnvOr(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return (v != nullptr && *v != '\0') ? std::string(v) : std::string(fallback);
}

bool Exists(const std::string& path) {
    if (IsNetPortName(path)) // whether its server answers is found when it opens
        return ParseNetPort(path).has_value();
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0; // follows links: a dangling link is absent
}

std::string Canonical(const std::string& path) {
    if (IsNetPortName(path))
        return path;
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : path;
}

std::string Trim(const std::string& s) {
    const char* ws = " \t\r\n";
    const auto b = s.find_first_not_of(ws);
    if (b == std::string::npos)
        return {};
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

struct DefaultSlot {
    int firstCom;
    int count;
    const char* prefix;
};
constexpr std::array<DefaultSlot, 4> kDefaults{{
    {1, 4, "ttyS"},
    {5, 8, "ttyUSB"},
    {13, 8, "ttyACM"},
    {21, 4, "ttyAMA"},
}};

// Default device name for COMn, or empty when n has no default.
std::string DefaultName(int n) {
    for (const DefaultSlot& s : kDefaults)
        if (n >= s.firstCom && n < s.firstCom + s.count)
            return s.prefix + std::to_string(n - s.firstCom);
    return {};
}

bool DefaultPresent(const std::string& name, const std::string& devRoot,
                    const std::string& sysRoot) {
    if (!Exists(devRoot + "/" + name))
        return false;
    const std::string cls = sysRoot + "/class/tty/" + name;
    if (name.rfind("ttyS", 0) == 0) {
        // The 8250 driver registers placeholder ports; only a UART whose
        // type is not 0 (PORT_UNKNOWN) is really there.
        std::ifstream in(cls + "/type");
        int type = 0;
        return static_cast<bool>(in >> type) && type != 0;
    }
    return Exists(cls + "/device");
}

std::string OverrideLine(int n, const std::string& device) {
    return "COM" + std::to_string(n) + "=" + device;
}

/// The whole-file write lock of a publication (open file description lock:
/// it conflicts between descriptions also within one process, and the
/// kernel drops it when the last descriptor of the description closes).
struct flock WholeFileLock(short type) {
    struct flock l {};
    l.l_type = type;
    l.l_whence = SEEK_SET;
    l.l_start = 0;
    l.l_len = 0;
    return l;
}

/// Everything the map knows about one number, before sysfs is asked.
struct Slot {
    std::string device;
    bool overridden = false;
    bool present = false;
    /// The publication in force, or an ended one the number is absent for.
    detail::TPublicationFile pub;
    std::string mapLine; ///< the operator's line, also when a publication shadows it
    std::string absence;
};

std::array<Slot, kMaxComNumber + 1> ComputeMap() {
    const std::string devRoot = EnvOr("PMV_DEV_ROOT", "/dev");
    const std::string sysRoot = EnvOr("PMV_SYSFS_ROOT", "/sys");
    const detail::TMapRead read = detail::ReadMap(DeviceMapPath());
    std::array<Slot, kMaxComNumber + 1> map;
    if (!read.error.empty()) {
        // A map that may have been steered by somebody else steers nothing:
        // no number is present, not even by the default rule.
        for (Slot& slot : map)
            slot.absence = read.error;
        return map;
    }

    // The line in force for each number: a live publication shadows the
    // operator's line while its publisher runs. Devices so named leave
    // their default slot.
    std::array<std::string, kMaxComNumber + 1> inForce, canonical;
    for (int n = 1; n <= kMaxComNumber; ++n) {
        inForce[n] = read.pubs[n].alive ? read.pubs[n].device : read.lines[n];
        if (!inForce[n].empty())
            canonical[n] = Canonical(inForce[n]);
    }

    std::vector<std::pair<std::string, int>> taken; // a device appears once, at its lowest number
    auto takenBy = [&](const std::string& c) {
        for (const auto& t : taken)
            if (t.first == c)
                return t.second;
        return 0;
    };
    for (int n = 1; n <= kMaxComNumber; ++n) {
        Slot& slot = map[n];
        const detail::TPublicationFile& pub = read.pubs[n];
        slot.mapLine = read.lines[n];
        if (!inForce[n].empty() || pub.exists) {
            slot.overridden = true;
            if (pub.alive || (pub.exists && inForce[n].empty()))
                slot.pub = pub;
        }
        if (!inForce[n].empty()) {
            slot.device = inForce[n];
            if (!Exists(slot.device)) {
                slot.absence = slot.device + " does not exist";
            } else if (const int other = takenBy(canonical[n]); other != 0) {
                slot.absence = "its device is already COM" + std::to_string(other);
            } else {
                taken.emplace_back(canonical[n], n);
                slot.present = true;
            }
            continue;
        }
        if (pub.exists) {
            // Whatever now sits at the ended publication's path (a
            // pseudo-terminal number given to another terminal) is not it.
            slot.device = pub.device;
            slot.absence = "published by " + (pub.name.empty() ? "a program" : pub.name) +
                           " (pid " + std::to_string(pub.pid) + "), which has ended";
            continue;
        }
        const std::string name = DefaultName(n);
        if (name.empty()) {
            slot.absence = "no device is mapped to this number";
            continue;
        }
        slot.device = devRoot + "/" + name;
        if (!DefaultPresent(name, devRoot, sysRoot)) {
            slot.absence = Exists(slot.device) ? slot.device + " has no device behind it"
                                               : slot.device + " does not exist";
            continue;
        }
        const std::string c = Canonical(slot.device);
        for (int m = 1; m <= kMaxComNumber && slot.absence.empty(); ++m)
            if (canonical[m] == c)
                slot.absence = "its device is mapped to COM" + std::to_string(m);
        slot.present = slot.absence.empty();
    }
    return map;
}

// ---- identity from sysfs -------------------------------------------------

std::string ReadAttribute(const std::string& path) {
    std::ifstream in(path);
    std::string value;
    std::getline(in, value);
    return Trim(value);
}

std::string BaseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

bool IsPtyNode(const std::string& node) {
    struct stat st {};
    if (::stat(node.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
        const unsigned major = ::major(st.st_rdev);
        return major >= 136 && major <= 143; // Unix98 pty slaves
    }
    return node.rfind("/dev/pts/", 0) == 0;
}

/// Driver and USB details of a tty, from /sys/class/tty/<name>/device: the
/// driver of that device, and the first folder above it holding idVendor
/// and idProduct (the USB device the interface belongs to).
void ReadSysfs(const std::string& sysRoot, const std::string& name, ComPortIdentity& id) {
    char buf[PATH_MAX];
    const std::string link = sysRoot + "/class/tty/" + name + "/device";
    if (::realpath(link.c_str(), buf) == nullptr)
        return;
    const std::string device = buf;
    std::string top = sysRoot;
    if (::realpath(sysRoot.c_str(), buf) != nullptr)
        top = buf;
    // The first driver that is not serial core's own port and controller
    // devices (bus serial-base, Linux 6.5 on): the UART's or adapter's.
    for (std::string dir = device; dir.size() > top.size() && id.driver.empty(); dir = DirName(dir))
        if (::realpath((dir + "/driver").c_str(), buf) != nullptr &&
            std::strstr(buf, "/bus/serial-base/") == nullptr)
            id.driver = BaseName(buf);
    for (std::string dir = device; dir.size() > top.size() && dir.rfind(top, 0) == 0;
         dir = DirName(dir)) {
        if (!Exists(dir + "/idVendor") || !Exists(dir + "/idProduct"))
            continue;
        id.vendorId = ReadAttribute(dir + "/idVendor");
        id.productId = ReadAttribute(dir + "/idProduct");
        id.manufacturer = ReadAttribute(dir + "/manufacturer");
        id.product = ReadAttribute(dir + "/product");
        id.serialNumber = ReadAttribute(dir + "/serial");
        return;
    }
}

/// The by-id links and the nodes they lead to.
std::vector<std::pair<std::string, std::string>> ByIdLinks(const std::string& devRoot) {
    std::vector<std::pair<std::string, std::string>> links;
    const std::string dir = devRoot + "/serial/by-id";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return links;
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string path = dir + "/" + e->d_name;
        char buf[PATH_MAX];
        if (::realpath(path.c_str(), buf) != nullptr)
            links.emplace_back(path, buf);
    }
    ::closedir(d);
    std::sort(links.begin(), links.end()); // the same answer whatever the folder order
    return links;
}

bool WriteAll(int fd, const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t w = ::write(fd, p, left);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        left -= static_cast<std::size_t>(w);
    }
    return true;
}

bool Failed(std::string* error, const std::string& what) {
    if (error != nullptr)
        *error = what + ": " + std::strerror(errno);
    return false;
}

// Rewrites the override file with the line for COMn replaced (device
// non-empty) or removed (device empty). Other lines, comments included,
// are kept. A lock file serialises concurrent editors; rename makes the
// change atomic for readers. Everything is done in the checked folder of
// the map, and nothing is created through a symbolic link.
bool EditOverride(const std::string& file, int n, const std::string& device, std::string* error) {
    if (n < 1 || n > kMaxComNumber) {
        if (error != nullptr)
            *error = "COM number out of range 1.." + std::to_string(kMaxComNumber);
        return false;
    }
    if (device.find('\n') != std::string::npos ||
        (!device.empty() && device[0] != '/' &&
         // written only in a form the map's reader takes
         (!ParseNetworkAddress(device) || !ParseNetPort(device)))) {
        if (error != nullptr)
            *error = "device must be an absolute path or a network port on one line";
        return false;
    }
    std::string dir, base;
    const int dirFd = detail::OpenMapFolder(file, &dir, &base, error);
    if (dirFd < 0)
        return false;
    const int lockFd = detail::OpenBesideMap(dirFd, dir, base + ".lock", O_RDWR, error);
    if (lockFd < 0) {
        ::close(dirFd);
        return false;
    }
    while (::flock(lockFd, LOCK_EX) != 0 && errno == EINTR) {
    }

    std::string text;
    bool ok = detail::ReadMapText(dirFd, dir, base, &text, error);
    std::string out;
    for (std::size_t start = 0; ok && start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        int m = 0;
        std::string path;
        if (!detail::ParseMapLine(line, m, path) || m != n)
            out += line + '\n';
        start = end + 1;
    }
    if (!device.empty())
        out += "COM" + std::to_string(n) + "=" + device + "\n";

    const std::string temp = base + ".tmp." + std::to_string(::getpid());
    int fd = -1;
    if (ok) {
        fd = detail::OpenBesideMap(dirFd, dir, temp, O_WRONLY | O_EXCL, nullptr);
        if (fd < 0 && errno == EEXIST && ::unlinkat(dirFd, temp.c_str(), 0) == 0)
            fd = detail::OpenBesideMap(dirFd, dir, temp, O_WRONLY | O_EXCL,
                                       nullptr); // a crashed editor's
        ok = fd >= 0 || Failed(error, "cannot create " + dir + "/" + temp);
    }
    if (fd >= 0) {
        const bool written = ::fchmod(fd, 0600) == 0 && WriteAll(fd, out) && ::fsync(fd) == 0;
        const int savedErrno = errno;
        ::close(fd);
        errno = savedErrno;
        if (!written)
            ok = Failed(error, "cannot write " + dir + "/" + temp);
        else if (::renameat(dirFd, temp.c_str(), dirFd, base.c_str()) != 0)
            ok = Failed(error, "cannot replace " + file);
        if (!ok)
            ::unlinkat(dirFd, temp.c_str(), 0);
    }
    ::close(lockFd); // releases the lock
    ::close(dirFd);
    return ok;
}

std::string RandomMark() {
    std::uint64_t v = 0;
    if (::getrandom(&v, sizeof v, 0) != static_cast<ssize_t>(sizeof v))
        v = static_cast<std::uint64_t>(::getpid()) << 32 ^
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    char buf[24];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

bool SameFile(int fd, int dirFd, const std::string& name) {
    struct stat mine {
    }, there{};
    return ::fstat(fd, &mine) == 0 &&
           ::fstatat(dirFd, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
           mine.st_ino == there.st_ino && mine.st_dev == there.st_dev;
}

} // namespace

std::string DeviceMapPath() {
    const char* explicitPath = std::getenv("PMV_COMMAP");
    if (explicitPath != nullptr && *explicitPath != '\0')
        return explicitPath;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg != nullptr && *xdg == '/')
        base = xdg;
    else
        base = EnvOr("HOME", "") + "/.config";
    return base + "/pmv-host/commap";
}

std::vector<DeviceMapEntry> ReadDeviceMap() {
    const auto map = ComputeMap();
    std::vector<DeviceMapEntry> entries;
    for (int n = 1; n <= kMaxComNumber; ++n)
        if (map[n].present)
            entries.push_back({n, map[n].device});
    return entries;
}

namespace detail {

TResolvedPort ResolvePort(int n) {
    TResolvedPort port;
    if (n < 1 || n > kMaxComNumber) {
        port.absence = "COM numbers go from 1 to " + std::to_string(kMaxComNumber);
        return port;
    }
    const auto map = ComputeMap();
    const Slot& slot = map[n];
    if (slot.present)
        port.device = slot.device;
    if (slot.pub.alive)
        port.publisherPid = slot.pub.pid;
    port.absence = slot.absence;
    return port;
}

} // namespace detail

std::string ResolveComPort(int n) {
    if (n < 1 || n > kMaxComNumber)
        return {};
    for (const DeviceMapEntry& e : ReadDeviceMap())
        if (e.comNumber == n)
            return e.device;
    return {};
}

bool SetDeviceMapOverride(int n, const std::string& device, std::string* error) {
    if (device.empty()) {
        if (error != nullptr)
            *error = "empty device path";
        return false;
    }
    return EditOverride(DeviceMapPath(), n, device, error);
}

bool RemoveDeviceMapOverride(int n, std::string* error) {
    return EditOverride(DeviceMapPath(), n, {}, error);
}

std::string ComPortIdentity::Description() const {
    if (!vendorId.empty()) {
        std::string text = manufacturer;
        // Many adapters repeat the maker in the product string.
        if (!product.empty() && product.rfind(manufacturer, 0) != 0)
            text += (text.empty() ? "" : " ") + product;
        else if (!product.empty())
            text = product;
        if (text.empty())
            text = "USB device";
        text += " (" + vendorId + ":" + productId;
        if (!serialNumber.empty())
            text += ", serial " + serialNumber;
        return text + ")";
    }
    if (isPty)
        return "pseudo-terminal";
    if (IsNetPortName(node))
        return node.rfind("rfc2217://", 0) == 0 ? "serial server (RFC 2217)"
                                                : "serial server (raw TCP)";
    if (!driver.empty())
        return "serial port (driver " + driver + ")";
    return {};
}

std::vector<ComPortIdentity> ReadComPortIdentities() {
    const std::string devRoot = EnvOr("PMV_DEV_ROOT", "/dev");
    const std::string sysRoot = EnvOr("PMV_SYSFS_ROOT", "/sys");
    const auto map = ComputeMap();
    std::vector<std::pair<std::string, std::string>> byId;
    bool byIdRead = false;
    std::vector<ComPortIdentity> ids(kMaxComNumber);
    for (int n = 1; n <= kMaxComNumber; ++n) {
        const Slot& slot = map[n];
        ComPortIdentity& id = ids[n - 1];
        id.comNumber = n;
        id.present = slot.present;
        id.device = slot.device;
        id.overridden = slot.overridden;
        id.absence = slot.absence;
        id.mapDevice = slot.mapLine;
        if (slot.pub.exists) {
            id.publisherPid = slot.pub.pid;
            id.publisherName = slot.pub.name;
            id.publisherEnded = !slot.pub.alive;
            id.publicationId = slot.pub.id;
        }
        if (!slot.present)
            continue;
        id.node = Canonical(slot.device);
        if (IsNetPortName(id.node))
            continue; // a network port has no node, by-id name or sysfs entry
        id.isPty = IsPtyNode(id.node);
        if (!byIdRead) {
            byId = ByIdLinks(devRoot);
            byIdRead = true;
        }
        for (const auto& [link, target] : byId)
            if (target == id.node) {
                id.byId = link;
                break;
            }
        if (!id.isPty)
            ReadSysfs(sysRoot, BaseName(id.node), id);
    }
    return ids;
}

std::vector<ComPortIdentity> ListSerialDevices() {
    const std::string devRoot = EnvOr("PMV_DEV_ROOT", "/dev");
    const std::string sysRoot = EnvOr("PMV_SYSFS_ROOT", "/sys");
    std::vector<ComPortIdentity> devices;
    auto add = [&](const std::string& node) {
        for (const ComPortIdentity& d : devices)
            if (d.node == node)
                return;
        ComPortIdentity& d = devices.emplace_back();
        d.present = true;
        d.node = node;
        d.device = node;
        d.isPty = IsPtyNode(node);
        if (!d.isPty)
            ReadSysfs(sysRoot, BaseName(node), d);
    };
    if (DIR* dir = ::opendir(devRoot.c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            for (const char* prefix : {"ttyUSB", "ttyACM", "ttyAMA", "ttyS"})
                if (name.rfind(prefix, 0) == 0 && name.size() > std::strlen(prefix) &&
                    DefaultPresent(name, devRoot, sysRoot))
                    add(Canonical(devRoot + "/" + name));
        }
        ::closedir(dir);
    }
    const auto byId = ByIdLinks(devRoot);
    for (const auto& link : byId)
        add(link.second);
    for (ComPortIdentity& d : devices)
        for (const auto& [link, target] : byId)
            if (target == d.node && d.byId.empty())
                d.byId = link;
    std::sort(devices.begin(), devices.end(),
              [](const ComPortIdentity& a, const ComPortIdentity& b) { return a.node < b.node; });
    return devices;
}

ComPortIdentity ReadComPortIdentity(int n) {
    if (n < 1 || n > kMaxComNumber) {
        ComPortIdentity id;
        id.comNumber = n;
        id.absence = "COM numbers go from 1 to " + std::to_string(kMaxComNumber);
        return id;
    }
    return ReadComPortIdentities()[n - 1];
}

std::string DeviceMapError() {
    return detail::MapError(DeviceMapPath());
}

std::string PublishedDevice(const std::string& mapFile, int n) {
    if (n < 1 || n > kMaxComNumber)
        return {};
    const detail::TPublicationFile pub = detail::ReadMap(mapFile).pubs[n];
    return pub.alive ? pub.device : std::string();
}

// ---- TComPublication ------------------------------------------------------

bool TComPublication::Publish(int n, const std::string& device, std::string* error) {
    if (!Withdraw(error))
        return false;
    if (n < 1 || n > kMaxComNumber || device.empty() || device[0] != '/' ||
        device.find('\n') != std::string::npos) {
        if (error != nullptr)
            *error = "bad COM number or device path";
        return false;
    }
    std::string dir, base;
    const int dirFd = detail::OpenMapFolder(DeviceMapPath(), &dir, &base, error);
    if (dirFd < 0)
        return false;
    // Beside a map that readers refuse, the publication would count for
    // nobody.
    if (std::string why = detail::MapError(DeviceMapPath()); !why.empty()) {
        ::close(dirFd);
        if (error != nullptr)
            *error = why;
        return false;
    }
    const std::string name = detail::PublicationName(base, n);

    // Lock the file that is at the path: one removed by a publisher that
    // was just ending is tried again.
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 10; ++attempt) {
        fd = detail::OpenBesideMap(dirFd, dir, name, O_RDWR, error);
        if (fd < 0)
            break;
        struct flock l = WholeFileLock(F_WRLCK);
        if (::fcntl(fd, F_OFD_SETLK, &l) != 0) {
            const int err = errno;
            char buf[1024];
            const ssize_t got = ::pread(fd, buf, sizeof buf, 0);
            std::istringstream in(std::string(buf, got > 0 ? static_cast<std::size_t>(got) : 0));
            std::string line, pid, who;
            std::getline(in, line);
            std::getline(in, pid);
            std::getline(in, who);
            ::close(fd);
            fd = -1;
            if (err != EAGAIN && err != EACCES) {
                errno = err;
                Failed(error, "cannot lock " + dir + "/" + name);
            } else if (error != nullptr) {
                *error = "COM" + std::to_string(n) + " is published by " +
                         (who.empty() ? "another program" : who) + " (pid " + pid + ")";
            }
            break;
        }
        if (!SameFile(fd, dirFd, name)) {
            ::close(fd);
            fd = -1;
        }
    }
    const std::string id = RandomMark();
    const std::string text = OverrideLine(n, device) + "\n" + std::to_string(::getpid()) + "\n" +
                             ReadAttribute("/proc/self/comm") + "\n" + id + "\n";
    if (fd >= 0 && (::ftruncate(fd, 0) != 0 || ::pwrite(fd, text.data(), text.size(), 0) !=
                                                   static_cast<ssize_t>(text.size()))) {
        Failed(error, "cannot write " + dir + "/" + name);
        ::unlinkat(dirFd, name.c_str(), 0);
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        ::close(dirFd);
        return false;
    }
    FLockFd = fd;
    FDirFd = dirFd;
    FComNumber = n;
    FDevice = device;
    FPubName = name;
    FId = id;
    return true;
}

bool TComPublication::Withdraw(std::string*) {
    if (FLockFd < 0)
        return true;
    // Only the file this publication locked: after a lost race another
    // publisher's may stand at the name.
    if (SameFile(FLockFd, FDirFd, FPubName))
        ::unlinkat(FDirFd, FPubName.c_str(), 0);
    ::close(FLockFd);
    ::close(FDirFd);
    FLockFd = -1;
    FDirFd = -1;
    FId.clear();
    return true;
}

} // namespace pmv::platform
