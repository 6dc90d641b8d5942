// The serial device map computed from /dev, sysfs and the override file.
#include "platform/DeviceMap.h"
#include "platform/posix/portstatus_p.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
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
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0; // follows links: a dangling link is absent
}

std::string Canonical(const std::string& path) {
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

// Parses "COMn=path"; false for anything else.
bool ParseOverride(const std::string& rawLine, int& n, std::string& path) {
    const std::string line = Trim(rawLine);
    if (line.empty() || line[0] == '#')
        return false;
    const auto eq = line.find('=');
    if (eq == std::string::npos)
        return false;
    const std::string key = Trim(line.substr(0, eq));
    path = Trim(line.substr(eq + 1));
    if (key.size() < 4 || key.size() > 5 || strncasecmp(key.c_str(), "COM", 3) != 0)
        return false;
    n = 0;
    for (std::size_t i = 3; i < key.size(); ++i) {
        if (key[i] < '0' || key[i] > '9')
            return false;
        n = n * 10 + (key[i] - '0');
    }
    if (key[3] == '0' || n < 1 || n > kMaxComNumber)
        return false;
    return !path.empty() && path[0] == '/';
}

// ---- publications --------------------------------------------------------

std::string PublicationPath(const std::string& mapFile, int n) {
    return mapFile + ".COM" + std::to_string(n) + ".pub";
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

struct Publication {
    bool matches = false; ///< a .pub file names exactly this line
    bool alive = false;   ///< ... and its publisher still holds the lock
    int pid = 0;
    std::string name;
};

/// Reads "<line>\n<pid>\n<name>\n" from fd.
void ReadPublicationText(int fd, std::string& line, int& pid, std::string& name) {
    char buf[1024];
    const ssize_t r = ::pread(fd, buf, sizeof buf - 1, 0);
    std::istringstream in(std::string(buf, r > 0 ? static_cast<std::size_t>(r) : 0));
    std::string pidText;
    std::getline(in, line);
    std::getline(in, pidText);
    std::getline(in, name);
    pid = std::atoi(pidText.c_str());
}

/// True when somebody holds the publication lock on fd's file.
bool LockHeld(int fd) {
    struct flock l = WholeFileLock(F_WRLCK);
    if (::fcntl(fd, F_OFD_GETLK, &l) != 0)
        return false;
    return l.l_type != F_UNLCK;
}

Publication ReadPublication(const std::string& mapFile, int n, const std::string& device) {
    Publication p;
    const int fd = ::open(PublicationPath(mapFile, n).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return p;
    std::string line;
    ReadPublicationText(fd, line, p.pid, p.name);
    p.matches = line == OverrideLine(n, device);
    p.alive = p.matches && LockHeld(fd);
    ::close(fd);
    return p;
}

struct Override {
    std::string device; ///< empty: no line for this number
    Publication pub;
};

// Override lines in file order; a later line for the same number wins.
std::array<Override, kMaxComNumber + 1> ReadOverrides(const std::string& file) {
    std::array<Override, kMaxComNumber + 1> result;
    std::ifstream in(file);
    std::string line;
    int n = 0;
    std::string path;
    while (std::getline(in, line))
        if (ParseOverride(line, n, path))
            result[n].device = path;
    for (int i = 1; i <= kMaxComNumber; ++i)
        if (!result[i].device.empty())
            result[i].pub = ReadPublication(file, i, result[i].device);
    return result;
}

/// A line that counts: an operator line, or a publication still alive.
bool Live(const Override& o) {
    return !o.device.empty() && (!o.pub.matches || o.pub.alive);
}

// ---- the map ---------------------------------------------------------------

/// Everything the map knows about one number, before sysfs is asked.
struct Slot {
    std::string device;
    bool overridden = false;
    bool present = false;
    Publication pub;
    std::string absence;
};

std::array<Slot, kMaxComNumber + 1> ComputeMap() {
    const std::string devRoot = EnvOr("PMV_DEV_ROOT", "/dev");
    const std::string sysRoot = EnvOr("PMV_SYSFS_ROOT", "/sys");
    const auto overrides = ReadOverrides(DeviceMapPath());

    // Devices named by a live override leave their default slot.
    std::array<std::string, kMaxComNumber + 1> canonical;
    for (int n = 1; n <= kMaxComNumber; ++n)
        if (Live(overrides[n]))
            canonical[n] = Canonical(overrides[n].device);

    std::array<Slot, kMaxComNumber + 1> map;
    std::vector<std::pair<std::string, int>> taken; // a device appears once, at its lowest number
    auto takenBy = [&](const std::string& c) {
        for (const auto& t : taken)
            if (t.first == c)
                return t.second;
        return 0;
    };
    for (int n = 1; n <= kMaxComNumber; ++n) {
        Slot& slot = map[n];
        const Override& o = overrides[n];
        if (!o.device.empty()) {
            slot.device = o.device;
            slot.overridden = true;
            slot.pub = o.pub;
            if (!Live(o)) {
                slot.absence = "published by " + (o.pub.name.empty() ? "a program" : o.pub.name) +
                               " (pid " + std::to_string(o.pub.pid) + "), which has ended";
            } else if (!Exists(o.device)) {
                slot.absence = o.device + " does not exist";
            } else if (const int other = takenBy(canonical[n]); other != 0) {
                slot.absence = "its device is already COM" + std::to_string(other);
            } else {
                taken.emplace_back(canonical[n], n);
                slot.present = true;
            }
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

bool MakeDirs(const std::string& dir) {
    for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos == dir.size() || dir[pos] == '/') {
            const std::string part = dir.substr(0, pos);
            if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
                return false;
        }
    }
    return true;
}

// Rewrites the override file with the line for COMn replaced (device
// non-empty) or removed (device empty). Other lines, comments included,
// are kept. A lock file serialises concurrent editors; rename makes the
// change atomic for readers.
// When onlyIf is given, the line is removed only while it still names that
// device. A publication file of COMn whose publisher has ended goes too.
bool EditOverride(const std::string& file, int n, const std::string& device, std::string* error,
                  const std::string* onlyIf = nullptr) {
    if (n < 1 || n > kMaxComNumber) {
        if (error != nullptr)
            *error = "COM number out of range 1.." + std::to_string(kMaxComNumber);
        return false;
    }
    if (device.find('\n') != std::string::npos || (!device.empty() && device[0] != '/')) {
        if (error != nullptr)
            *error = "device must be an absolute path on one line";
        return false;
    }
    const auto slash = file.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : file.substr(0, slash);
    if (!MakeDirs(dir))
        return Failed(error, "cannot create " + dir);

    const std::string lockName = file + ".lock";
    const int lockFd = ::open(lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0)
        return Failed(error, "cannot open " + lockName);
    while (::flock(lockFd, LOCK_EX) != 0 && errno == EINTR) {
    }

    std::ostringstream out;
    {
        std::ifstream in(file);
        std::string line;
        int m = 0;
        std::string path;
        while (std::getline(in, line)) {
            if (ParseOverride(line, m, path) && m == n && (onlyIf == nullptr || path == *onlyIf))
                continue;
            out << line << '\n';
        }
    }
    if (const int pubFd = ::open(PublicationPath(file, n).c_str(), O_RDONLY | O_CLOEXEC);
        pubFd >= 0) {
        if (!LockHeld(pubFd))
            ::unlink(PublicationPath(file, n).c_str());
        ::close(pubFd);
    }
    if (!device.empty())
        out << "COM" << n << '=' << device << '\n';

    const std::string temp = file + ".tmp." + std::to_string(::getpid());
    bool ok = false;
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        Failed(error, "cannot create " + temp);
    } else {
        const bool written = WriteAll(fd, out.str()) && ::fsync(fd) == 0;
        const int savedErrno = errno;
        ::close(fd);
        errno = savedErrno;
        if (!written)
            Failed(error, "cannot write " + temp);
        else if (::rename(temp.c_str(), file.c_str()) != 0)
            Failed(error, "cannot replace " + file);
        else
            ok = true;
        if (!ok)
            ::unlink(temp.c_str());
    }
    ::close(lockFd); // releases the lock
    return ok;
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
    if (slot.pub.matches)
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
        if (slot.pub.matches) {
            id.publisherPid = slot.pub.pid;
            id.publisherName = slot.pub.name;
            id.publisherEnded = !slot.pub.alive;
        }
        if (!slot.present)
            continue;
        id.node = Canonical(slot.device);
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

ComPortIdentity ReadComPortIdentity(int n) {
    if (n < 1 || n > kMaxComNumber) {
        ComPortIdentity id;
        id.comNumber = n;
        id.absence = "COM numbers go from 1 to " + std::to_string(kMaxComNumber);
        return id;
    }
    return ReadComPortIdentities()[n - 1];
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
    const std::string mapFile = DeviceMapPath();
    const auto slash = mapFile.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : mapFile.substr(0, slash);
    if (!MakeDirs(dir))
        return Failed(error, "cannot create " + dir);
    const std::string pubFile = PublicationPath(mapFile, n);

    // Lock the file that is at the path: one removed by a publisher that
    // was just ending is tried again.
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 10; ++attempt) {
        fd = ::open(pubFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return Failed(error, "cannot create " + pubFile);
        struct flock l = WholeFileLock(F_WRLCK);
        if (::fcntl(fd, F_OFD_SETLK, &l) != 0) {
            const int err = errno;
            std::string line, name;
            int pid = 0;
            ReadPublicationText(fd, line, pid, name);
            ::close(fd);
            if (err != EAGAIN && err != EACCES) {
                errno = err;
                return Failed(error, "cannot lock " + pubFile);
            }
            if (error != nullptr)
                *error = "COM" + std::to_string(n) + " is published by " +
                         (name.empty() ? "another program" : name) + " (pid " +
                         std::to_string(pid) + ")";
            return false;
        }
        struct stat mine {
        }, there{};
        if (::fstat(fd, &mine) != 0 || ::stat(pubFile.c_str(), &there) != 0 ||
            mine.st_ino != there.st_ino || mine.st_dev != there.st_dev) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0) {
        if (error != nullptr)
            *error = "cannot take " + pubFile;
        return false;
    }
    const std::string name = ReadAttribute("/proc/self/comm");
    const std::string text =
        OverrideLine(n, device) + "\n" + std::to_string(::getpid()) + "\n" + name + "\n";
    if (::ftruncate(fd, 0) != 0 || !WriteAll(fd, text)) {
        Failed(error, "cannot write " + pubFile);
        ::unlink(pubFile.c_str());
        ::close(fd);
        return false;
    }
    if (!EditOverride(mapFile, n, device, error)) {
        ::unlink(pubFile.c_str());
        ::close(fd);
        return false;
    }
    FLockFd = fd;
    FComNumber = n;
    FDevice = device;
    FMapFile = mapFile;
    FPubFile = pubFile;
    return true;
}

bool TComPublication::Withdraw(std::string* error) {
    if (FLockFd < 0)
        return true;
    const bool removed = EditOverride(FMapFile, FComNumber, {}, error, &FDevice);
    // Without its line the file must go too, else a line an operator later
    // writes the same way would read as this (ended) publication. When the
    // line could not be removed, the file stays: with the lock dropped the
    // line reads as stale.
    if (removed) {
        struct stat mine {
        }, there{};
        if (::fstat(FLockFd, &mine) == 0 && ::stat(FPubFile.c_str(), &there) == 0 &&
            mine.st_ino == there.st_ino && mine.st_dev == there.st_dev)
            ::unlink(FPubFile.c_str());
    }
    ::close(FLockFd);
    FLockFd = -1;
    return removed;
}

} // namespace pmv::platform
