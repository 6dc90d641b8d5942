// The device map file and its publications, read and created safely.
#include "platform/posix/mapfile_p.h"

#include "platform/NetPort.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pmv::platform::detail {
namespace {

/// A file written this close to its reading may have been written again
/// within the same tick of the file system's clock, leaving its size and
/// times as they were: it is read again. The kernel's file clock ticks every
/// few milliseconds; a file system that keeps whole seconds (nanoseconds 0)
/// may round by up to two.
constexpr long long kRacyNs = 50'000'000;
constexpr long long kRacyWholeSecondsNs = 2'000'000'000;

bool Settled(const timespec& mtime, const timespec& readAt) {
    const long long age = (static_cast<long long>(readAt.tv_sec) - mtime.tv_sec) * 1'000'000'000LL +
                          (readAt.tv_nsec - mtime.tv_nsec);
    return age > (mtime.tv_nsec == 0 ? kRacyWholeSecondsNs : kRacyNs);
}

std::string Trim(const std::string& s) {
    const char* ws = " \t\r\n";
    const auto b = s.find_first_not_of(ws);
    if (b == std::string::npos)
        return {};
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

void Split(const std::string& path, std::string& dir, std::string& base) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        dir = ".";
        base = path;
    } else {
        dir = slash == 0 ? "/" : path.substr(0, slash);
        base = path.substr(slash + 1);
    }
}

std::string UserName(uid_t uid) {
    passwd p{};
    passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(uid, &p, buf.data(), buf.size(), &found) != 0 || found == nullptr)
        return "user " + std::to_string(uid);
    return std::string("user ") + p.pw_name;
}

const char* KindOf(mode_t mode) {
    switch (mode & S_IFMT) {
    case S_IFDIR:
        return "a folder";
    case S_IFIFO:
        return "a FIFO";
    case S_IFCHR:
    case S_IFBLK:
        return "a device (PMV_COMMAP names the map file, not a port)";
    case S_IFSOCK:
        return "a socket";
    default:
        return "not a regular file";
    }
}

/// Why a file or folder of the map is not to be trusted, or empty: it must
/// belong to this user or root and be writable by nobody else.
std::string Distrust(const struct stat& st, const std::string& subject) {
    if (st.st_uid != ::geteuid() && st.st_uid != 0)
        return subject + " belongs to " + UserName(st.st_uid) + ", not to you";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return subject + " is writable by other users (mode " + mode + ")";
    }
    return {};
}

std::string NotUsed(const std::string& mapPath, const std::string& why) {
    return "device map " + mapPath + " not used: " + why;
}

/// Opens and checks the folder dir; -1 without an error when it does not
/// exist.
int OpenCheckedFolder(const std::string& mapPath, const std::string& dir, std::string* error) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT && errno != ENOTDIR)
            *error =
                NotUsed(mapPath, "cannot open its folder " + dir + ": " + std::strerror(errno));
        return -1;
    }
    struct stat st {};
    std::string why = ::fstat(fd, &st) != 0 ? std::string(std::strerror(errno))
                                            : Distrust(st, "its folder " + dir);
    if (!why.empty()) {
        ::close(fd);
        *error = NotUsed(mapPath, why);
        return -1;
    }
    return fd;
}

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

/// The parsed lines of the last map file read, with what identified it.
struct TCache {
    bool valid = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{}, ctime{}, readAt{};
    std::array<std::string, kMaxComNumber + 1> lines;

    bool Matches(const struct stat& st) const {
        return valid && st.st_dev == dev && st.st_ino == ino && st.st_size == size &&
               SameTime(st.st_mtim, mtime) && SameTime(st.st_ctim, ctime) &&
               Settled(st.st_mtim, readAt);
    }
};

std::mutex gCacheMutex;
TCache gCache;

bool ReadAll(int fd, std::string& text, std::size_t limit) {
    text.resize(limit + 1);
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t r = ::read(fd, text.data() + got, text.size() - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return false;
        if (r == 0)
            break;
        got += static_cast<std::size_t>(r);
    }
    text.resize(got);
    return true;
}

/// Reads the map file base in the checked folder dirFd into r.lines.
void ReadLines(int dirFd, const std::string& dir, const std::string& base,
               const std::string& mapPath, TMapRead& r, bool followed = false) {
    struct stat st {};
    if (::fstatat(dirFd, base.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)
            r.error = NotUsed(mapPath, std::strerror(errno));
        return;
    }
    const std::string subject = followed ? "its target " + dir + "/" + base : std::string("it");
    if (S_ISLNK(st.st_mode) && !followed) {
        // An operator's link (to a file kept elsewhere): the file it names
        // and that file's folder are checked in turn.
        char real[PATH_MAX];
        if (::realpath((dir + "/" + base).c_str(), real) == nullptr)
            return; // dangling: no map
        std::string realDir, realBase;
        Split(real, realDir, realBase);
        const int realFd = OpenCheckedFolder(mapPath, realDir, &r.error);
        if (realFd >= 0) {
            ReadLines(realFd, realDir, realBase, mapPath, r, true);
            ::close(realFd);
        }
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        r.error = NotUsed(mapPath, subject + " is " + KindOf(st.st_mode));
        return;
    }
    if (std::string why = Distrust(st, subject); !why.empty()) {
        r.error = NotUsed(mapPath, why);
        return;
    }
    const auto tooLarge = [&] {
        r.error = NotUsed(mapPath, subject + " is larger than " +
                                       std::to_string(kMaxMapBytes / 1024 / 1024) + " MiB");
    };
    if (static_cast<std::size_t>(st.st_size) > kMaxMapBytes)
        return tooLarge();
    {
        std::lock_guard lock(gCacheMutex);
        if (gCache.Matches(st)) {
            r.lines = gCache.lines;
            return;
        }
    }
    timespec readAt{};
    ::clock_gettime(CLOCK_REALTIME, &readAt);
    const int fd =
        ::openat(dirFd, base.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    struct stat opened {};
    if (fd < 0 || ::fstat(fd, &opened) != 0 || opened.st_ino != st.st_ino ||
        opened.st_dev != st.st_dev) {
        r.error = NotUsed(mapPath, fd < 0 ? std::strerror(errno) : "it changed while being read");
        if (fd >= 0)
            ::close(fd);
        return;
    }
    std::string text;
    const bool read = ReadAll(fd, text, kMaxMapBytes);
    ::close(fd);
    if (!read) {
        r.error = NotUsed(mapPath, std::strerror(errno));
        return;
    }
    if (text.size() > kMaxMapBytes)
        return tooLarge();
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        int n = 0;
        std::string path;
        if (ParseMapLine(text.substr(start, end - start), n, path))
            r.lines[n] = path; // a later line for the same number wins
        start = end + 1;
    }
    std::lock_guard lock(gCacheMutex);
    gCache = {true,           opened.st_dev,  opened.st_ino, opened.st_size,
              opened.st_mtim, opened.st_ctim, readAt,        r.lines};
}

/// True when somebody holds the publication lock on fd's file.
bool LockHeld(int fd) {
    struct flock l {};
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_GETLK, &l) != 0)
        return false;
    return l.l_type != F_UNLCK;
}

TPublicationFile ReadPublication(int dirFd, const std::string& name, int n) {
    TPublicationFile p;
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        !Distrust(st, {}).empty())
        return p;
    const int fd =
        ::openat(dirFd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return p;
    char buf[4096];
    const ssize_t got = ::pread(fd, buf, sizeof buf, 0);
    const std::string text(buf, got > 0 ? static_cast<std::size_t>(got) : 0);
    std::string fields[4];
    std::size_t start = 0;
    for (std::string& field : fields) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            break;
        field = text.substr(start, end - start);
        start = end + 1;
    }
    int m = 0;
    if (ParseMapLine(fields[0], m, p.device) && m == n) {
        p.exists = true;
        p.pid = std::atoi(fields[1].c_str());
        p.name = fields[2];
        p.id = fields[3];
        p.alive = LockHeld(fd);
    }
    ::close(fd);
    return p;
}

/// The publication files of map base in the folder dirFd.
void ReadPublications(int dirFd, const std::string& base, TMapRead& r) {
    const int listFd = ::dup(dirFd);
    DIR* d = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (d == nullptr) {
        if (listFd >= 0)
            ::close(listFd);
        return;
    }
    const std::string prefix = base + ".COM";
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - 4, 4, ".pub") != 0)
            continue;
        const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - 4);
        if (digits.empty() || digits.size() > 2 || digits[0] == '0' ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const int n = std::stoi(digits);
        if (n >= 1 && n <= kMaxComNumber)
            r.pubs[n] = ReadPublication(dirFd, name, n);
    }
    ::closedir(d);
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

} // namespace

bool ParseMapLine(const std::string& rawLine, int& n, std::string& path) {
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
    if (IsNetPortName(path))
        return ParseNetPort(path).has_value();
    return !path.empty() && path[0] == '/' && path.size() < PATH_MAX;
}

bool ReadMapText(int dirFd, const std::string& dir, const std::string& name, std::string* text,
                 std::string* error) {
    text->clear();
    const std::string path = dir + "/" + name;
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT)
        return true;
    // Only a regular file is opened: a device has side effects on open.
    const int fd = S_ISREG(st.st_mode)
                       ? ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC)
                       : -1;
    std::string why;
    if (!S_ISREG(st.st_mode))
        why = std::string("it is ") + KindOf(st.st_mode);
    else if (fd < 0 || ::fstat(fd, &st) != 0)
        why = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        why = std::string("it is ") + KindOf(st.st_mode);
    else if (!ReadAll(fd, *text, kMaxMapBytes))
        why = std::strerror(errno);
    else if (text->size() > kMaxMapBytes)
        why = "it is larger than " + std::to_string(kMaxMapBytes / 1024 / 1024) + " MiB";
    if (fd >= 0)
        ::close(fd);
    if (!why.empty() && error != nullptr)
        *error = "cannot edit " + path + ": " + why;
    return why.empty();
}

std::string PublicationName(const std::string& mapBase, int n) {
    return mapBase + ".COM" + std::to_string(n) + ".pub";
}

TMapRead ReadMap(const std::string& mapPath) {
    TMapRead r;
    std::string dir, base;
    Split(mapPath, dir, base);
    if (base.empty()) {
        r.error = NotUsed(mapPath, "it names a folder");
        return r;
    }
    const int dirFd = OpenCheckedFolder(mapPath, dir, &r.error);
    if (dirFd < 0)
        return r;
    ReadLines(dirFd, dir, base, mapPath, r);
    if (r.error.empty())
        ReadPublications(dirFd, base, r);
    ::close(dirFd);
    if (!r.error.empty())
        return TMapRead{r.error, {}, {}};
    return r;
}

std::string MapError(const std::string& mapPath) {
    return ReadMap(mapPath).error;
}

int OpenMapFolder(const std::string& mapPath, std::string* dirOut, std::string* base,
                  std::string* error) {
    std::string dir, name;
    Split(mapPath, dir, name);
    std::string why;
    if (name.empty()) {
        why = NotUsed(mapPath, "it names a folder");
    } else if (!MakeDirs(dir)) {
        why = "cannot create " + dir + ": " + std::strerror(errno);
    } else if (const int fd = OpenCheckedFolder(mapPath, dir, &why); fd >= 0) {
        *dirOut = dir;
        *base = name;
        return fd;
    } else if (why.empty()) {
        why = "cannot open " + dir;
    }
    if (error != nullptr)
        *error = why;
    return -1;
}

int OpenBesideMap(int dirFd, const std::string& dir, const std::string& name, int flags,
                  std::string* error) {
    const int fd = ::openat(dirFd, name.c_str(),
                            O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | flags, 0644);
    const std::string path = dir + "/" + name;
    if (fd < 0) {
        if (error != nullptr)
            *error = "cannot create " + path + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        if (error != nullptr)
            *error = path + " is not a regular file of yours";
        errno = EPERM;
        return -1;
    }
    return fd;
}

} // namespace pmv::platform::detail
