// CreateFileA for a COM port, as its steps: check the arguments, resolve
// the number through the device map, then for a device node refuse a held
// device, open, lock and make it raw, or for a network port connect to its
// server; last start the I/O engine. A failing step records its reason for
// ExplainComError and sets the last error.
#include "platform/DeviceMap.h"
#include "platform/NetPort.h"
#include "platform/ThreadOs_p.h"
#include "platform/posix/comm_p.h"
#include "platform/posix/commapi.h"
#include "platform/posix/port_p.h"
#include "platform/posix/portstatus_p.h"
#include "platform/posix/synchapi.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace pmv::platform;
using namespace pmv::platform::detail;

namespace {

// Parses "\\.\COMn" or "COMn" (n decimal, no leading zero); 0 otherwise.
int ComNumberOf(const char* name) {
    if (std::strncmp(name, "\\\\.\\", 4) == 0)
        name += 4;
    if (strncasecmp(name, "COM", 3) != 0)
        return 0;
    name += 3;
    if (*name < '1' || *name > '9')
        return 0;
    int n = 0;
    for (; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9' || n > 1000)
            return 0;
        n = n * 10 + (*name - '0');
    }
    return n;
}

bool IsPtySlave(const std::string& node) {
    struct stat st {};
    return ::stat(node.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && ::major(st.st_rdev) >= 136 &&
           ::major(st.st_rdev) <= 143; // Unix98 pty slaves
}

// Opens the node. A published pseudo-terminal that nobody holds but that
// refuses with EBUSY still carries the exclusive flag of a port user that
// was killed; its publisher clears such a flag as soon as it sees the
// close (TExclusiveFlagGuard), so the open is tried again for a moment.
int OpenNode(const std::string& path, int flags, bool publishedPty) {
    constexpr auto kFlagWait = std::chrono::seconds(1);
    int fd = ::open(path.c_str(), flags);
    const auto until = std::chrono::steady_clock::now() + kFlagWait;
    while (fd < 0 && errno == EBUSY && publishedPty && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        fd = ::open(path.c_str(), flags);
    }
    return fd;
}

/// A device node while it is being opened: closed again (and its exclusive
/// flag cleared, when this open set it) unless handed to a transport.
struct TOpening {
    int fd = -1;
    bool exclusiveSet = false;
    bool isPty = false;
    ~TOpening() {
        if (fd < 0)
            return;
        if (exclusiveSet)
            ::ioctl(fd, TIOCNXCL);
        ::close(fd);
    }
};

bool Failed(DWORD winError) {
    SetLastError(winError);
    return false;
}

bool Refuse(int n, DWORD winError, const std::string& node, const std::string& reason) {
    RecordOpenFailure(n, winError, node, reason);
    return Failed(winError);
}

bool OpenArgumentsValid(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                        DWORD disposition, DWORD flags, HANDLE templateFile) {
    const DWORD accessBits = GENERIC_READ | GENERIC_WRITE;
    const DWORD flagBits = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED;
    return name != nullptr && (access & accessBits) != 0 && (access & ~accessBits) == 0 &&
           shareMode == 0 && disposition == OPEN_EXISTING && (flags & ~flagBits) == 0 &&
           templateFile == nullptr && (security == nullptr || !security->bInheritHandle);
}

bool ResolveNumber(int n, TResolvedPort& resolved) {
    resolved = ResolvePort(n);
    if (!resolved.device.empty())
        return true;
    return Refuse(n, ERROR_FILE_NOT_FOUND, {},
                  resolved.absence.empty() ? "not present"
                                           : "not present (" + resolved.absence + ")");
}

// Exclusive as on Windows: any other process that has the node open,
// whether it locks or not, refuses the open before this one touches the
// device. (The far end of a pty and the number's publisher provide the
// device; they do not count.) What is plainly no serial device is named as
// such first: everybody has /dev/null open, and none of them is the reason.
bool RefuseHeldDevice(int n, const std::string& node, int publisherPid) {
    if (std::string why = detail::NotSerialReason(node); !why.empty())
        return Refuse(n, ERROR_FILE_NOT_FOUND, node, why);
    if (const auto holders = FindDeviceHolders(node, publisherPid); !holders.empty())
        return Refuse(n, ERROR_ACCESS_DENIED, node, HeldReason(holders));
    return true;
}

bool OpenDevice(int n, const TResolvedPort& resolved, const std::string& node, const Port& port,
                TOpening& opening) {
    const int mode = port.canRead && port.canWrite ? O_RDWR : (port.canRead ? O_RDONLY : O_WRONLY);
    opening.fd = OpenNode(resolved.device, mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC,
                          resolved.publisherPid != 0 && IsPtySlave(node));
    if (opening.fd < 0) {
        const int err = errno;
        // A node whose hardware is not there refuses with EIO: not found.
        const DWORD winError = err == EIO ? ERROR_FILE_NOT_FOUND : WinErrorFromErrno(err);
        std::string reason;
        if (err == EACCES || err == EPERM)
            reason = PermissionReason(node);
        else if (err == EBUSY && IsPtySlave(node)) // nobody this user can see holds it
            reason = HeldReason({}) + ", or left locked by one that was killed (restart the "
                                      "program at its far end)";
        else if (err == EBUSY) // TIOCEXCL of a process this user cannot look into
            reason = HeldReason({});
        else if (err == EIO || err == ENOENT || err == ENXIO || err == ENODEV)
            reason = "not present (the device did not answer)";
        else
            reason = std::string("cannot open: ") + std::strerror(err);
        return Refuse(n, winError, node, reason);
    }
    if (!::isatty(opening.fd))
        return Refuse(n, ERROR_FILE_NOT_FOUND, node, "not a serial device");
    return true;
}

// flock excludes every other opener that locks, root included (TIOCEXCL
// does not stop root); TIOCEXCL also stops openers that do not lock.
bool LockDevice(int n, const std::string& node, TOpening& opening) {
    if (::flock(opening.fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        const DWORD winError = err == EWOULDBLOCK ? ERROR_ACCESS_DENIED : WinErrorFromErrno(err);
        return Refuse(n, winError, node,
                      err != EWOULDBLOCK                    ? std::strerror(err)
                      : HeldInThisProcess(node, opening.fd) ? "already open in this program"
                                                            : HeldReason({}));
    }
    if (::ioctl(opening.fd, TIOCEXCL) != 0)
        return Failed(WinErrorFromErrno(errno));
    opening.exclusiveSet = true;
    return true;
}

// The line keeps its speed and framing (as a Windows port keeps the
// driver's), but is made raw: a DCB cannot describe a cooked terminal. A
// port opens with empty queues, as a Windows driver's does: what an earlier
// program left in the device (a reply it did not wait for) is not this
// program's. The flush takes the tty layer's buffers as well.
bool MakeDeviceRaw(TOpening& opening, Port& port) {
    termios t{};
    if (::tcgetattr(opening.fd, &t) != 0)
        return Failed(WinErrorFromErrno(errno));
    struct stat st {};
    if (::fstat(opening.fd, &st) == 0 && S_ISCHR(st.st_mode)) {
        const unsigned major = ::major(st.st_rdev);
        opening.isPty = major >= 136 && major <= 143; // Unix98 pty slaves
        if (!opening.isPty)
            port.traits = detail::TraitsOf(detail::ReadDeviceIds(st.st_rdev));
    }
    MakeRaw(t);
    if (::tcsetattr(opening.fd, TCSANOW, &t) != 0 || ::tcflush(opening.fd, TCIOFLUSH) != 0)
        return Failed(WinErrorFromErrno(errno));
    DCB asked{};
    asked.ByteSize = 8;
    asked.fDtrControl = DTR_CONTROL_ENABLE; // Linux raises DTR and RTS on open
    asked.fRtsControl = RTS_CONTROL_ENABLE;
    asked.XonLim = 2048;
    asked.XoffLim = 512;
    port.dcb = DcbFromTermios(t, asked, false);
    if (opening.isPty) {
        port.dcb.ByteSize = 8;
        port.dcb.Parity = NOPARITY;
    }
    return true;
}

bool OpenTerminal(int n, const TResolvedPort& resolved, Port& port) {
    char real[PATH_MAX];
    const std::string node =
        ::realpath(resolved.device.c_str(), real) != nullptr ? real : resolved.device;
    TOpening opening;
    if (!RefuseHeldDevice(n, node, resolved.publisherPid) ||
        !OpenDevice(n, resolved, node, port, opening) || !LockDevice(n, node, opening) ||
        !MakeDeviceRaw(opening, port))
        return false;
    port.io = MakeTtyTransport(opening.fd, opening.isPty, opening.exclusiveSet);
    opening.fd = -1;
    return true;
}

// A network port: the server is asked, within a bounded time; a refused or
// unreachable one is a failed open naming host, port and why. Its line
// starts as 9600 8N1 until the caller sets its own.
bool ConnectServer(int n, const std::string& device, Port& port) {
    std::string why;
    const auto address = ParseNetPort(device, &why);
    const int fd = address ? ConnectNetPort(*address, kNetConnectTimeoutMs, &why) : -1;
    if (fd < 0)
        return Refuse(n, ERROR_FILE_NOT_FOUND, device, why);
    int err = 0;
    port.io = MakeNetTransport(fd, address->rfc2217, &err);
    if (err != 0)
        return Refuse(n, ERROR_FILE_NOT_FOUND, device,
                      "the server at " + address->host + " port " + address->port +
                          " closed the connection: " + std::strerror(err));
    port.dcb.DCBlength = sizeof(DCB);
    port.dcb.BaudRate = 9600;
    port.dcb.fBinary = 1;
    port.dcb.ByteSize = 8;
    port.dcb.fDtrControl = DTR_CONTROL_ENABLE;
    port.dcb.fRtsControl = RTS_CONTROL_ENABLE;
    port.dcb.XonLim = 2048;
    port.dcb.XoffLim = 512;
    port.dcb.XonChar = 0x11;
    port.dcb.XoffChar = 0x13;
    if (!address->rfc2217)
        std::fprintf(stderr,
                     "COM%d is %s, raw TCP: baud rate, framing and modem lines are not sent; "
                     "the server's own settings apply\n",
                     n, device.c_str());
    return true;
}

HANDLE StartEngine(int n, const std::shared_ptr<Port>& port) {
    port->fd = port->io->Fd();
    port->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    port->epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event wakeEvent{};
    wakeEvent.events = EPOLLIN;
    wakeEvent.data.fd = port->wakeFd;
    epoll_event ioEvent{};
    ioEvent.events = EPOLLIN | EPOLLET | EPOLLRDHUP;
    ioEvent.data.fd = port->fd;
    if (port->wakeFd < 0 || port->epollFd < 0 ||
        ::epoll_ctl(port->epollFd, EPOLL_CTL_ADD, port->wakeFd, &wakeEvent) != 0 ||
        ::epoll_ctl(port->epollFd, EPOLL_CTL_ADD, port->fd, &ioEvent) != 0) {
        SetLastError(WinErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    try {
        port->lines = port->io->MakeLines(port->traits);
        (void)port->lines->Read(port->last);
        const detail::TCreationPriority creation(tpTimeCritical); // see EngineLoop
        port->engine = std::thread([p = port.get()] { p->EngineLoop(); });
    } catch (const std::exception&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    try {
        HANDLE h = InsertHandle(port);
        ClearOpenFailure(n);
        return h;
    } catch (const std::bad_alloc&) {
        port->Close();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
}

} // namespace

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (!OpenArgumentsValid(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                            dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const int n = ComNumberOf(lpFileName);
    TResolvedPort resolved;
    if (!ResolveNumber(n, resolved))
        return INVALID_HANDLE_VALUE;
    auto port = std::make_shared<Port>(); // from here on its destructor releases the descriptors
    port->canRead = (dwDesiredAccess & GENERIC_READ) != 0;
    port->canWrite = (dwDesiredAccess & GENERIC_WRITE) != 0;
    port->overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    const bool opened = IsNetPortName(resolved.device) ? ConnectServer(n, resolved.device, *port)
                                                       : OpenTerminal(n, resolved, *port);
    return opened ? StartEngine(n, port) : INVALID_HANDLE_VALUE;
}

} // extern "C"
