// The serial device map computed from /dev, sysfs and the override file.
#include "platform/DeviceMap.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
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

// Override lines in file order; a later line for the same number wins.
std::array<std::string, kMaxComNumber + 1> ReadOverrides(const std::string& file) {
    std::array<std::string, kMaxComNumber + 1> result;
    std::ifstream in(file);
    std::string line;
    int n = 0;
    std::string path;
    while (std::getline(in, line))
        if (ParseOverride(line, n, path))
            result[n] = path;
    return result;
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
bool EditOverride(int n, const std::string& device, std::string* error) {
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
    const std::string file = DeviceMapPath();
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
            if (ParseOverride(line, m, path) && m == n)
                continue;
            out << line << '\n';
        }
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
    const std::string devRoot = EnvOr("PMV_DEV_ROOT", "/dev");
    const std::string sysRoot = EnvOr("PMV_SYSFS_ROOT", "/sys");
    const auto overrides = ReadOverrides(DeviceMapPath());

    // Devices named by an override leave their default slot.
    std::vector<std::string> overridden;
    for (int n = 1; n <= kMaxComNumber; ++n)
        if (!overrides[n].empty())
            overridden.push_back(Canonical(overrides[n]));

    std::vector<DeviceMapEntry> map;
    std::vector<std::string> taken; // a device appears once, at its lowest number
    for (int n = 1; n <= kMaxComNumber; ++n) {
        if (!overrides[n].empty()) {
            const std::string canonical = Canonical(overrides[n]);
            if (Exists(overrides[n]) &&
                std::find(taken.begin(), taken.end(), canonical) == taken.end()) {
                taken.push_back(canonical);
                map.push_back({n, overrides[n]});
            }
            continue;
        }
        const std::string name = DefaultName(n);
        if (name.empty() || !DefaultPresent(name, devRoot, sysRoot))
            continue;
        const std::string device = devRoot + "/" + name;
        if (std::find(overridden.begin(), overridden.end(), Canonical(device)) != overridden.end())
            continue;
        map.push_back({n, device});
    }
    return map;
}

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
    return EditOverride(n, device, error);
}

bool RemoveDeviceMapOverride(int n, std::string* error) {
    return EditOverride(n, {}, error);
}

} // namespace pmv::platform
