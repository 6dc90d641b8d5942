// Port status over /proc, the node's permissions and the group database.
#include "platform/PortStatus.h"
#include "platform/NetPort.h"
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
#include <grp.h>
#include <mutex>
#include <pwd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace pmv::platform {
namespace {

std::string ProcRoot() {
    const char* v = std::getenv("PMV_PROC_ROOT");
    return (v != nullptr && *v != '\0') ? std::string(v) : std::string("/proc");
}

/// What identifies a node among the files processes have open.
struct TNodeKey {
    bool chr = false; // a character device: matched by device number
    dev_t rdev = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    int ptyIndex = -1;  // index of a pty slave, else -1
    int ignorePid = 0;  // the publisher of the line
    bool valid = false; // stat worked
};

constexpr unsigned kPtyMasterMajor = 5;
constexpr unsigned kPtmxMinor = 2;

TNodeKey KeyOf(const std::string& node, int ignorePid) {
    TNodeKey k;
    struct stat st {};
    if (::stat(node.c_str(), &st) != 0)
        return k;
    k.valid = true;
    k.chr = S_ISCHR(st.st_mode);
    k.rdev = st.st_rdev;
    k.dev = st.st_dev;
    k.ino = st.st_ino;
    k.ignorePid = ignorePid;
    if (k.chr) {
        const unsigned major = ::major(st.st_rdev);
        if (major >= 136 && major <= 143) // Unix98 pty slaves
            k.ptyIndex = static_cast<int>((major - 136) * 256 + ::minor(st.st_rdev));
    }
    return k;
}

bool Matches(const struct stat& st, const TNodeKey& k) {
    if (!k.valid)
        return false;
    // A pty slave is known by its index only within its devpts instance
    // (a container or another mount has its own /dev/pts/0): compare both.
    if (k.ptyIndex >= 0)
        return S_ISCHR(st.st_mode) && st.st_rdev == k.rdev && st.st_dev == k.dev;
    if (k.chr)
        return S_ISCHR(st.st_mode) && st.st_rdev == k.rdev;
    return st.st_dev == k.dev && st.st_ino == k.ino;
}

bool IsPtmx(const struct stat& st) {
    return S_ISCHR(st.st_mode) && ::major(st.st_rdev) == kPtyMasterMajor &&
           ::minor(st.st_rdev) == kPtmxMinor;
}

/// Reads a small file below dirFd; empty on failure.
std::string ReadSmall(int dirFd, const char* path) {
    const int fd = ::openat(dirFd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char buf[512];
    const ssize_t r = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    return std::string(buf, r > 0 ? static_cast<std::size_t>(r) : 0);
}

/// The pty index a master descriptor of process pid serves (from its
/// fdinfo "tty-index:" line), or -1.
int PtyIndexOfMaster(int procFd, const std::string& pid, const std::string& fd) {
    const std::string info = ReadSmall(procFd, (pid + "/fdinfo/" + fd).c_str());
    const auto at = info.find("tty-index:");
    if (at == std::string::npos)
        return -1;
    return std::atoi(info.c_str() + at + 10);
}

std::string ProcessName(int procFd, const std::string& pid) {
    std::string name = ReadSmall(procFd, (pid + "/comm").c_str());
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r'))
        name.pop_back();
    return name;
}

bool IsNumber(const char* s) {
    if (*s == '\0')
        return false;
    for (; *s != '\0'; ++s)
        if (*s < '0' || *s > '9')
            return false;
    return true;
}

/// Calls f(name) for each entry of the directory open on fd (read with
/// getdents64 into a buffer on the stack: this runs for every process).
template <class F> void ForEachEntry(int fd, F f) {
    alignas(8) char buf[8192];
    for (;;) {
        const long n = ::syscall(SYS_getdents64, fd, buf, sizeof buf);
        if (n <= 0)
            return;
        for (long off = 0; off < n;) {
            const auto* e = reinterpret_cast<const dirent64*>(buf + off);
            off += e->d_reclen;
            if (e->d_name[0] != '.')
                f(e->d_name);
        }
    }
}

/// Looks at the descriptors of one process: adds it to holders[i] for each
/// key i whose node it holds. A process holding a pty slave and that pty's
/// master is the device's far end, not a holder.
void ScanProcess(int procFd, int pid, const std::vector<TNodeKey>& keys,
                 std::vector<std::vector<DeviceHolder>>& holders) {
    char path[32];
    std::snprintf(path, sizeof path, "%d/fd", pid);
    const int fdDirFd = ::openat(procFd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdDirFd < 0)
        return; // gone, or not ours to look into
    std::vector<char> held(keys.size());
    bool any = false;
    std::vector<std::string> masters;
    ForEachEntry(fdDirFd, [&](const char* fdName) {
        struct stat st {};
        if (::fstatat(fdDirFd, fdName, &st, 0) != 0)
            return;
        if (IsPtmx(st)) {
            masters.emplace_back(fdName);
            return;
        }
        for (std::size_t i = 0; i < keys.size(); ++i)
            if (Matches(st, keys[i])) {
                held[i] = 1;
                any = true;
            }
    });
    ::close(fdDirFd);
    if (!any)
        return;
    const std::string pidName = std::to_string(pid);
    std::vector<int> masterIndexes;
    for (const std::string& fd : masters)
        masterIndexes.push_back(PtyIndexOfMaster(procFd, pidName, fd));
    std::string name;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (!held[i] || keys[i].ignorePid == pid)
            continue;
        if (keys[i].ptyIndex >= 0 && std::find(masterIndexes.begin(), masterIndexes.end(),
                                               keys[i].ptyIndex) != masterIndexes.end())
            continue;
        if (name.empty())
            name = ProcessName(procFd, pidName);
        holders[i].push_back({pid, name});
    }
}

/// Processes per helper thread of a scan: below this one thread does all.
constexpr std::size_t kProcessesPerThread = 64;
constexpr unsigned kMaxScanThreads = 4;

/// One pass through /proc: for each key the processes (other than this
/// one) holding its node. It costs one stat per descriptor open on the
/// machine (a few microseconds each), so many processes are split over up
/// to kMaxScanThreads threads.
std::vector<std::vector<DeviceHolder>> ScanHolders(const std::vector<TNodeKey>& keys) {
    std::vector<std::vector<DeviceHolder>> holders(keys.size());
    if (std::none_of(keys.begin(), keys.end(), [](const TNodeKey& k) { return k.valid; }))
        return holders;
    const int procFd = ::open(ProcRoot().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procFd < 0)
        return holders;
    const int self = ::getpid();
    std::vector<int> pids;
    ForEachEntry(procFd, [&](const char* name) {
        if (IsNumber(name) && std::atoi(name) != self)
            pids.push_back(std::atoi(name));
    });
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t parts =
        std::min<std::size_t>({cores, kMaxScanThreads, pids.size() / kProcessesPerThread + 1});
    std::vector<std::vector<std::vector<DeviceHolder>>> found(
        parts, std::vector<std::vector<DeviceHolder>>(keys.size()));
    auto scanPart = [&](std::size_t part) {
        for (std::size_t i = part; i < pids.size(); i += parts)
            ScanProcess(procFd, pids[i], keys, found[part]);
    };
    std::vector<std::thread> helpers;
    for (std::size_t part = 1; part < parts; ++part) {
        try {
            helpers.emplace_back(scanPart, part);
        } catch (const std::system_error&) {
            scanPart(part); // no thread to be had: do it here
        }
    }
    scanPart(0);
    for (std::thread& t : helpers)
        t.join();
    ::close(procFd);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        for (const auto& part : found)
            holders[i].insert(holders[i].end(), part[i].begin(), part[i].end());
        std::sort(holders[i].begin(), holders[i].end(),
                  [](const DeviceHolder& a, const DeviceHolder& b) { return a.pid < b.pid; });
    }
    return holders;
}

bool MayOpen(const std::string& node) {
    return ::faccessat(AT_FDCWD, node.c_str(), R_OK | W_OK, AT_EACCESS) == 0 || errno != EACCES;
}

std::string GroupName(gid_t gid, std::vector<std::string>* members = nullptr) {
    group g{};
    group* found = nullptr;
    std::vector<char> buf(16384);
    if (::getgrgid_r(gid, &g, buf.data(), buf.size(), &found) != 0 || found == nullptr)
        return std::to_string(gid);
    if (members != nullptr)
        for (char** m = g.gr_mem; m != nullptr && *m != nullptr; ++m)
            members->emplace_back(*m);
    return g.gr_name;
}

std::string UserName(uid_t uid, gid_t* primaryGroup = nullptr) {
    passwd p{};
    passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(uid, &p, buf.data(), buf.size(), &found) != 0 || found == nullptr)
        return "user " + std::to_string(uid);
    if (primaryGroup != nullptr)
        *primaryGroup = p.pw_gid;
    return p.pw_name;
}

bool InSessionGroups(gid_t gid) {
    if (::getegid() == gid)
        return true;
    const int n = ::getgroups(0, nullptr);
    if (n <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    const int got = ::getgroups(n, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

std::string ModeText(mode_t mode) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
    return buf;
}

std::string NotPresentReason(const ComPortIdentity& id) {
    return id.absence.empty() ? "not present" : "not present (" + id.absence + ")";
}

/// The node as shown to the operator: the resolved node, else the path.
std::string ShownNode(const ComPortIdentity& id) {
    return !id.node.empty() ? id.node : id.device;
}

void FillAccess(ComPortStatus& s, std::vector<DeviceHolder> holders) {
    const ComPortIdentity& id = s.identity;
    if (!id.present) {
        s.access = ComAccess::Absent;
        s.reason = NotPresentReason(id);
        return;
    }
    if (IsNetPortName(id.node)) { // nobody on this machine holds a server's port
        s.access = ComAccess::Ok;
        return;
    }
    if (std::string why = detail::NotSerialReason(id.node); !why.empty()) {
        s.access = ComAccess::NotSerial;
        s.reason = std::move(why);
        return;
    }
    s.holders = std::move(holders);
    std::string group;
    const bool mayOpen = MayOpen(id.node);
    const std::string permission =
        mayOpen ? std::string() : detail::PermissionReason(id.node, &group);
    s.group = group;
    if (!s.holders.empty()) {
        s.access = ComAccess::Busy;
        s.reason = detail::HeldReason(s.holders);
    } else if (!mayOpen) {
        s.access = ComAccess::Permission;
        s.reason = permission;
    } else {
        s.access = ComAccess::Ok;
    }
}

std::vector<ComPortStatus> Statuses(int count) {
    std::vector<ComPortIdentity> ids = ReadComPortIdentities();
    ids.resize(static_cast<std::size_t>(std::clamp(count, 0, kMaxComNumber)));
    std::vector<TNodeKey> keys;
    for (const ComPortIdentity& id : ids)
        keys.push_back(id.present && !IsNetPortName(id.node) &&
                               detail::NotSerialReason(id.node).empty()
                           ? KeyOf(id.node, id.publisherPid)
                           : TNodeKey{});
    auto holders = ScanHolders(keys);
    std::vector<ComPortStatus> out(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        out[i].identity = std::move(ids[i]);
        FillAccess(out[i], std::move(holders[i]));
    }
    return out;
}

std::string Tooltip(const ComPortStatus& s) {
    const ComPortIdentity& id = s.identity;
    std::string text;
    auto line = [&](const std::string& l) {
        if (!l.empty())
            text += (text.empty() ? "" : "\n") + l;
    };
    if (!id.present) {
        line(NotPresentReason(id));
        return text;
    }
    line(id.node == id.device || id.node.empty() ? id.device : id.device + " -> " + id.node);
    if (!id.byId.empty() && id.byId != id.device)
        line("by-id: " + id.byId.substr(id.byId.rfind('/') + 1));
    line(id.Description());
    if (id.publisherPid != 0) {
        line("published by " + id.publisherName + " (pid " + std::to_string(id.publisherPid) + ")");
        if (!id.mapDevice.empty() && id.mapDevice != id.device)
            line("in place of the map's line COM" + std::to_string(id.comNumber) + "=" +
                 id.mapDevice + " while it runs");
    }
    if (s.access != ComAccess::Ok)
        line(s.reason);
    return text;
}

/// True when a lock (flock or fcntl) is held on the file fd is open on, as
/// /proc/locks lists them: device "major:minor" in hex and the inode.
bool LockedElsewhere(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return true;
    char key[64];
    std::snprintf(key, sizeof key, " %02x:%02x:%lu ", ::major(st.st_dev), ::minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    std::ifstream locks(ProcRoot() + "/locks");
    std::string line;
    while (std::getline(locks, line))
        if (line.find(key) != std::string::npos)
            return true;
    return false;
}

struct TFailure {
    bool set = false;
    DWORD winError = 0;
    std::string node;
    std::string reason;
};

std::mutex gFailuresMutex;
std::array<TFailure, kMaxComNumber + 1> gFailures;

} // namespace

namespace detail {

std::string NotSerialReason(const std::string& node) {
    struct stat st {};
    if (::stat(node.c_str(), &st) != 0)
        return {}; // the open says why
    // A regular file is left to the open, which finds it is no terminal:
    // test trees stand one in for a device node.
    if (S_ISREG(st.st_mode))
        return {};
    const char* kind = S_ISDIR(st.st_mode)    ? "a directory"
                       : S_ISFIFO(st.st_mode) ? "a pipe"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                       : S_ISBLK(st.st_mode)  ? "a block device"
                                              : nullptr;
    if (kind != nullptr)
        return std::string("not a serial device (") + kind + ")";
    const unsigned major = ::major(st.st_rdev);
    if (major >= 136 && major <= 143) // Unix98 pty slaves: not in sysfs
        return {};
    // /dev/tty, /dev/console and /dev/ptmx are terminals, but no port.
    if (major == kPtyMasterMajor && ::minor(st.st_rdev) <= kPtmxMinor)
        return "not a serial device (a terminal of this session, not a port)";
    // Every other character device the kernel registers names its class (in
    // the machine's own sysfs: this is a real node, whatever tree the map
    // reads). Memory devices (null, zero, full, random) are known without.
    const std::string link = "/sys/dev/char/" + std::to_string(major) + ":" +
                             std::to_string(::minor(st.st_rdev)) + "/subsystem";
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    constexpr unsigned kMemoryMajor = 1;
    if (n <= 0 && major != kMemoryMajor)
        return {}; // not known here: the open finds out
    const std::string target = n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "mem";
    const std::string subsystem = target.substr(target.rfind('/') + 1);
    if (subsystem == "tty")
        return {};
    return "not a serial device (a character device of class " + subsystem + ")";
}

std::string HeldReason(const std::vector<DeviceHolder>& holders) {
    if (holders.empty())
        return "in use by another program";
    std::string text = "in use by ";
    for (std::size_t i = 0; i < holders.size(); ++i) {
        if (i > 0)
            text += i + 1 == holders.size() ? " and " : ", ";
        text += (holders[i].name.empty() ? "a program" : holders[i].name) + " (pid " +
                std::to_string(holders[i].pid) + ")";
    }
    return text;
}

std::string PermissionReason(const std::string& node, std::string* groupOut) {
    struct stat st {};
    if (::stat(node.c_str(), &st) != 0)
        return "permission denied";
    std::vector<std::string> members;
    const std::string group = GroupName(st.st_gid, &members);
    const bool groupMayOpen = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (groupMayOpen) {
        if (groupOut != nullptr)
            *groupOut = group;
        gid_t primary = static_cast<gid_t>(-1);
        const std::string user = UserName(::geteuid(), &primary);
        const bool listed = primary == st.st_gid ||
                            std::find(members.begin(), members.end(), user) != members.end();
        if (!InSessionGroups(st.st_gid)) {
            if (listed)
                return "permission denied; you were added to group " + group +
                       " after logging in: log out and in again";
            return "permission denied; join group " + group + ": sudo adduser $USER " + group +
                   ", then log in again";
        }
    }
    const std::string owner = UserName(st.st_uid);
    return "permission denied; only " + owner + " may open it (owner " + owner + ", group " +
           group + ", mode " + ModeText(st.st_mode) + ")";
}

bool HeldInThisProcess(const std::string& node, int fd) {
    const TNodeKey key = KeyOf(node, 0);
    const std::string dir = ProcRoot() + "/self/fd";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return false;
    const std::string except = std::to_string(fd);
    bool held = false;
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.' || except == e->d_name)
            continue;
        struct stat st {};
        if (::fstatat(::dirfd(d), e->d_name, &st, 0) == 0 && Matches(st, key)) {
            held = true;
            break;
        }
    }
    ::closedir(d);
    return held;
}

void RecordOpenFailure(int n, DWORD winError, const std::string& node, const std::string& reason) {
    if (n < 1 || n > kMaxComNumber)
        return;
    std::lock_guard lock(gFailuresMutex);
    gFailures[n] = {true, winError, node, reason};
}

void ClearOpenFailure(int n) {
    if (n < 1 || n > kMaxComNumber)
        return;
    std::lock_guard lock(gFailuresMutex);
    gFailures[n] = {};
}

} // namespace detail

TExclusiveFlagGuard::TExclusiveFlagGuard(int slaveFd, const std::string& node)
    : m_slaveFd(slaveFd), m_node(node) {
    m_eventFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_eventFd >= 0 &&
        ::inotify_add_watch(m_eventFd, node.c_str(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        ::close(m_eventFd);
        m_eventFd = -1;
    }
}

TExclusiveFlagGuard::~TExclusiveFlagGuard() {
    if (m_eventFd >= 0)
        ::close(m_eventFd);
}

bool TExclusiveFlagGuard::Check() {
    alignas(inotify_event) char events[4096];
    while (m_eventFd >= 0 && ::read(m_eventFd, events, sizeof events) > 0) {
    }
    int flag = 0;
    if (::ioctl(m_slaveFd, TIOCGEXCL, &flag) != 0 || flag == 0)
        return false;
    // The port's user holds its lock on the node from before it sets the
    // flag until after it has cleared it: a lock means it is still there.
    // Without one, only a look at who has the node open tells a setter that
    // does not lock from one that has gone.
    if (LockedElsewhere(m_slaveFd) || !FindDeviceHolders(m_node).empty())
        return false;
    return ::ioctl(m_slaveFd, TIOCNXCL) == 0;
}

const char* ComAccessName(ComAccess access) {
    switch (access) {
    case ComAccess::Ok:
        return "ok";
    case ComAccess::Absent:
        return "absent";
    case ComAccess::Permission:
        return "permission";
    case ComAccess::Busy:
        return "busy";
    case ComAccess::NotSerial:
        return "not-serial";
    }
    return "absent";
}

std::vector<DeviceHolder> FindDeviceHolders(const std::string& node, int ignorePid) {
    return ScanHolders({KeyOf(node, ignorePid)})[0];
}

ComPortStatus ReadComPortStatus(int n) {
    if (n < 1 || n > kMaxComNumber) {
        ComPortStatus s;
        s.identity = ReadComPortIdentity(n);
        s.reason = NotPresentReason(s.identity);
        return s;
    }
    return Statuses(n)[static_cast<std::size_t>(n - 1)];
}

std::vector<ComPortStatus> ReadComPortStatuses() {
    return Statuses(kMaxComNumber);
}

std::vector<std::string> DescribeComPorts(int count) {
    std::vector<std::string> texts;
    if (count <= 0)
        return texts;
    for (const ComPortStatus& s : Statuses(count))
        texts.push_back(Tooltip(s));
    while (static_cast<int>(texts.size()) < count)
        texts.emplace_back("not present");
    return texts;
}

std::string DescribeComPort(int n) {
    if (n < 1 || n > kMaxComNumber)
        return "not present";
    return DescribeComPorts(n).back();
}

std::string ExplainComError(int n, std::uint32_t winError, const std::string& call) {
    const std::string com = "COM" + std::to_string(n);
    if (call == "CreateFile") {
        if (n >= 1 && n <= kMaxComNumber) {
            std::lock_guard lock(gFailuresMutex);
            const TFailure& f = gFailures[n];
            if (f.set && f.winError == winError)
                return com + (f.node.empty() ? "" : " (" + f.node + ")") + ": " + f.reason;
        }
        // Not opened through this layer just now: say what holds today.
        const ComPortStatus s = ReadComPortStatus(n);
        // An absent port's reason names its path already.
        const std::string where =
            s.access == ComAccess::Absent ? std::string() : ShownNode(s.identity);
        const std::string head = com + (where.empty() ? "" : " (" + where + ")") + ": ";
        if (winError == ERROR_FILE_NOT_FOUND || winError == ERROR_PATH_NOT_FOUND)
            return head + (s.access == ComAccess::Absent ? s.reason : "not present");
        if (s.access != ComAccess::Ok)
            return head + s.reason;
        if (winError == ERROR_ACCESS_DENIED)
            return head + "access denied (another program may have had it open)";
        return head + "CreateFile failed with error " + std::to_string(winError);
    }
    const ComPortIdentity id = ReadComPortIdentity(n);
    const std::string where = ShownNode(id);
    const std::string head = com + (where.empty() ? "" : " (" + where + ")") + ": ";
    const std::string code = " (" + call + ", error " + std::to_string(winError) + ")";
    switch (winError) {
    case ERROR_BAD_COMMAND:
        return head + "the device is gone (unplugged, or the program behind it ended)";
    case ERROR_INVALID_PARAMETER:
    case ERROR_NOT_SUPPORTED:
        if (call == "SetCommState")
            return head + "the device refused the settings" + code;
        if (winError == ERROR_NOT_SUPPORTED)
            return head + "the device does not support this" + code;
        break;
    default:
        break;
    }
    return head + call + " failed with error " + std::to_string(winError);
}

} // namespace pmv::platform
