// Serial ports over termios, with one I/O engine thread per open port.
//
// Data flow: an entry point checks its arguments, then, under the port's
// mutex, either finishes the request at once (the bytes or events are
// already there) or records it as the pending read, write or event wait. The
// engine waits in epoll on the tty (edge-triggered input, so a pending read
// needs no wake-up of the engine and unread input causes no busy loop;
// output only while a write is pending) and on a wake descriptor, moves
// bytes for the pending operations, samples the line source while the event
// mask asks for line events, and completes an operation by filling in the
// caller's OVERLAPPED and setting its event. Everything that touches a caller's OVERLAPPED runs
// under the port's mutex, and CloseHandle completes what is pending before
// it returns, so no record is touched after that.
//
// Receive queue: like a Windows serial driver, which completes reads from
// its own input queue, the port takes bytes off the tty in one read() of up
// to kLayerRxBuffer bytes and keeps what the read in progress did not want.
// A read (one byte at a time, as the serial component reads) is then
// completed at once from that buffer, on the caller's thread, without a
// system call. The buffer is part of the receive queue: ClearCommError's
// cbInQue counts it, PurgeComm(PURGE_RXCLEAR) empties it, and
// GetCommProperties reports its size with the kernel's. A read is left
// pending only after the buffer ran empty and read() said EAGAIN, both under
// the port's mutex; every byte that arrives after that raises a new
// edge-triggered event, so no wake-up is lost when the caller's own ReadFile
// empties the queue. When the device vanishes, the bytes still in the
// buffer are dropped with the kernel's, as Windows drivers drop their queue
// on a surprise removal: every later read fails with ERROR_BAD_COMMAND.
#include "platform/DeviceMap.h"
#include "platform/LineSettings.h"
#include "platform/ThreadOs_p.h"
#include "platform/posix/LineSource.h"
#include "platform/posix/comm_p.h"
#include "platform/posix/commapi.h"
#include "platform/posix/devicetraits_p.h"
#include "platform/posix/handles_p.h"
#include "platform/posix/portstatus_p.h"
#include "platform/posix/synchapi.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <optional>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace pmv::platform {

DWORD CommEventsBetween(const LineState& before, const LineState& after, DWORD mask,
                        bool parityChecking) {
    DWORD events = 0;
    const DWORD changed = before.modem ^ after.modem;
    if ((changed & MS_CTS_ON) != 0 || before.cts != after.cts)
        events |= EV_CTS;
    if ((changed & MS_DSR_ON) != 0 || before.dsr != after.dsr)
        events |= EV_DSR;
    if ((changed & MS_RLSD_ON) != 0 || before.dcd != after.dcd)
        events |= EV_RLSD;
    if ((changed & MS_RING_ON) != 0 || before.ring != after.ring)
        events |= EV_RING;
    if (after.brk != before.brk)
        events |= EV_BREAK;
    if (after.frame != before.frame || after.overrun != before.overrun ||
        (parityChecking && after.parity != before.parity))
        events |= EV_ERR;
    return events & mask;
}

DWORD CommErrorsBetween(const LineState& before, const LineState& after, bool parityChecking) {
    DWORD errors = 0;
    if (after.bufOverrun != before.bufOverrun)
        errors |= CE_RXOVER;
    if (after.overrun != before.overrun)
        errors |= CE_OVERRUN;
    if (parityChecking && after.parity != before.parity)
        errors |= CE_RXPARITY;
    if (after.frame != before.frame)
        errors |= CE_FRAME;
    if (after.brk != before.brk)
        errors |= CE_BREAK;
    return errors;
}

int ScriptedLineSource::Read(LineState& state) {
    std::lock_guard lock(FMutex);
    if (FReadError != 0)
        return FReadError;
    state = FState;
    return 0;
}

int ScriptedLineSource::SetOutputs(int lines, bool on) {
    std::lock_guard lock(FMutex);
    if (FReadError != 0)
        return FReadError;
    FOutputs = on ? (FOutputs | lines) : (FOutputs & ~lines);
    return 0;
}

int ScriptedLineSource::SetBreak(bool on) {
    std::lock_guard lock(FMutex);
    if (FReadError != 0)
        return FReadError;
    FBreak = on;
    return 0;
}

void ScriptedLineSource::SetModem(DWORD msBits) {
    std::lock_guard lock(FMutex);
    const DWORD changed = FState.modem ^ msBits;
    FState.cts += (changed & MS_CTS_ON) != 0 ? 1 : 0;
    FState.dsr += (changed & MS_DSR_ON) != 0 ? 1 : 0;
    FState.ring += (changed & MS_RING_ON) != 0 ? 1 : 0;
    FState.dcd += (changed & MS_RLSD_ON) != 0 ? 1 : 0;
    FState.modem = msBits;
}

void ScriptedLineSource::SetReadError(int err) {
    std::lock_guard lock(FMutex);
    FReadError = err;
}

void ScriptedLineSource::AddBreak() {
    std::lock_guard lock(FMutex);
    ++FState.brk;
}

void ScriptedLineSource::AddFrameError() {
    std::lock_guard lock(FMutex);
    ++FState.frame;
}

void ScriptedLineSource::AddOverrun() {
    std::lock_guard lock(FMutex);
    ++FState.overrun;
}

void ScriptedLineSource::AddParityError() {
    std::lock_guard lock(FMutex);
    ++FState.parity;
}

int ScriptedLineSource::Outputs() const {
    std::lock_guard lock(FMutex);
    return FOutputs;
}

bool ScriptedLineSource::BreakOn() const {
    std::lock_guard lock(FMutex);
    return FBreak;
}

} // namespace pmv::platform

using namespace pmv::platform;
using namespace pmv::platform::detail;

namespace {

constexpr DWORD kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING;
constexpr DWORD kAllEvents = 0x1FFF;
constexpr int kLineWatchMs = 15;
/// The one error every operation on a vanished device fails with.
constexpr DWORD kVanishedError = ERROR_BAD_COMMAND;
/// The kernel's part of the receive queue: the N_TTY line discipline's read
/// buffer (N_TTY_BUF_SIZE, 4096 bytes, fixed); in raw mode it holds up to
/// 4095 unread bytes, then the discipline throttles the driver and the bytes
/// wait in the driver's flip buffer (a transfer area in front of it, not a
/// queue an application sizes).
constexpr DWORD kKernelRxQueue = 4096;
/// The port's own part: bytes taken off the tty in one read() and not yet
/// handed to a reader.
constexpr DWORD kLayerRxBuffer = 4096;
/// The receive queue as GetCommProperties reports it: both parts.
constexpr DWORD kRxQueue = kKernelRxQueue + kLayerRxBuffer;
/// Transmit queue of a pseudo-terminal: it has no transmit buffer of its
/// own; a write lands in the far end's flip buffer, which the pty driver
/// limits to 8192 bytes (tty_buffer_set_limit in pty_common_install, Linux
/// 6.1 as before; the accounting lets it run to about twice that), and
/// from there in the far end's 4096-byte read buffer.
constexpr DWORD kPtyTxQueue = 8192;
/// OVERLAPPED::Internal of a failed operation: this marker or'ed with the
/// Windows error code (an NTSTATUS-like value, never STATUS_PENDING).
constexpr ULONG_PTR kFailedStatus = 0xE0000000u;

struct BaudEntry {
    DWORD baud;
    speed_t speed;
    DWORD settable; // BAUD_* bit
};
// The component's rates from the line settings table, then the faster ones
// a DCB may also ask for.
#define PMV_BAUD_ENTRY(n, file) {n, B##n, BAUD_##n},
constexpr BaudEntry kBauds[] = {
    PMV_BAUD_RATE_ROWS(PMV_BAUD_ENTRY){230400, B230400, BAUD_USER},
    {460800, B460800, BAUD_USER},
    {921600, B921600, BAUD_USER},
};
#undef PMV_BAUD_ENTRY

std::optional<speed_t> SpeedOf(DWORD baud) {
    for (const BaudEntry& e : kBauds)
        if (e.baud == baud)
            return e.speed;
    return std::nullopt;
}

DWORD BaudOf(speed_t speed) {
    for (const BaudEntry& e : kBauds)
        if (e.speed == speed)
            return e.baud;
    return 0;
}

/// Normalises "this device has no modem lines" to ENOTTY.
int NoLinesErrno(int err) {
    return err == EINVAL ? ENOTTY : err;
}

/// Lines and counters of the tty itself.
class TtyLineSource final : public LineSource {
public:
    TtyLineSource(int fd, bool linesCounted) : FFd(fd), FLinesCounted(linesCounted) {
        int bits = 0;
        FHasLines = ::ioctl(fd, TIOCMGET, &bits) == 0;
    }
    int Read(LineState& state) override {
        serial_icounter_struct ic{};
        const bool counted = ::ioctl(FFd, TIOCGICOUNT, &ic) == 0; // not every driver counts
        if (!counted && (errno == EIO || errno == ENODEV))
            return errno; // hung up
        // Where each read of the levels is a request to the device, they are
        // read again only when the driver has counted a change.
        const bool moved = ic.cts != FCounts.cts || ic.dsr != FCounts.dsr ||
                           ic.rng != FCounts.rng || ic.dcd != FCounts.dcd;
        if (!FLinesCounted || !counted || !FKnown || moved) {
            int bits = 0;
            if (::ioctl(FFd, TIOCMGET, &bits) != 0)
                return NoLinesErrno(errno);
            FModem = ((bits & TIOCM_CTS) != 0 ? MS_CTS_ON : 0) |
                     ((bits & TIOCM_DSR) != 0 ? MS_DSR_ON : 0) |
                     ((bits & TIOCM_RNG) != 0 ? MS_RING_ON : 0) |
                     ((bits & TIOCM_CAR) != 0 ? MS_RLSD_ON : 0);
            FCounts = ic;
            FKnown = counted;
        }
        state = LineState{};
        state.modem = FModem;
        if (counted) {
            state.cts = static_cast<std::uint32_t>(ic.cts);
            state.dsr = static_cast<std::uint32_t>(ic.dsr);
            state.ring = static_cast<std::uint32_t>(ic.rng);
            state.dcd = static_cast<std::uint32_t>(ic.dcd);
            state.brk = static_cast<std::uint32_t>(ic.brk);
            state.frame = static_cast<std::uint32_t>(ic.frame);
            state.overrun = static_cast<std::uint32_t>(ic.overrun);
            state.parity = static_cast<std::uint32_t>(ic.parity);
            state.bufOverrun = static_cast<std::uint32_t>(ic.buf_overrun);
        }
        return 0;
    }
    bool CanWatch() override { return FHasLines; }
    int SetOutputs(int lines, bool on) override {
        if (::ioctl(FFd, on ? TIOCMBIS : TIOCMBIC, &lines) != 0)
            return NoLinesErrno(errno);
        return 0;
    }
    int SetBreak(bool on) override {
        // A pty accepts TIOCSBRK and does nothing; report it like the lines.
        if (!FHasLines)
            return ENOTTY;
        if (::ioctl(FFd, on ? TIOCSBRK : TIOCCBRK) != 0)
            return NoLinesErrno(errno);
        return 0;
    }

private:
    int FFd;
    bool FLinesCounted;
    bool FHasLines = false;
    bool FKnown = false; // FModem and FCounts were read together
    DWORD FModem = 0;
    serial_icounter_struct FCounts{};
};

void MakeRaw(termios& t) {
    // Binary and raw: no translation, no echo, no signals. IGNBRK and BRKINT
    // stay off, so a received break never flushes the input; it reads as a
    // zero byte and counts in the driver's break counter. INPCK stays off so
    // a byte with a parity error is delivered as received (the driver still
    // counts the error).
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | IMAXBEL | INPCK | IGNPAR | IUTF8);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &=
        ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | TOSTOP);
    t.c_cflag |= CREAD | CLOCAL; // CLOCAL: carrier loss is a line event, not a hang-up
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

struct PendingOp {
    OVERLAPPED* ov = nullptr;
    std::shared_ptr<Event> event; // the OVERLAPPED's event, if any
    BYTE* buf = nullptr;          // read target or write source
    DWORD len = 0;
    DWORD done = 0;
    DWORD* maskOut = nullptr; // event wait
};

class Port final : public KernelObject {
public:
    Port() : KernelObject(ObjectKind::Port) {}
    ~Port() override { ReleaseDescriptors(); }

    void Close() override;
    void EngineLoop();

    // Fixed after open.
    int fd = -1;
    int wakeFd = -1;
    int epollFd = -1;
    bool overlapped = false;
    bool canRead = false;
    bool canWrite = false;
    bool isPty = false;
    bool exclusiveSet = false; // this handle set TIOCEXCL, so it clears it
    detail::TDeviceTraits traits;
    std::thread engine;

    // Guarded by m.
    std::mutex m;
    std::condition_variable changed; // an operation completed
    std::optional<PendingOp> readOp, writeOp, waitOp;
    std::array<BYTE, kLayerRxBuffer> rxBuf; // bytes [rxPos, rxEnd) are queued
    DWORD rxPos = 0;
    DWORD rxEnd = 0;
    ULONGLONG rxTaken = 0; // bytes handed to readers since the open
    DWORD mask = 0;
    DWORD history = 0; // events in mask seen while no wait was pending
    DWORD errors = 0;  // sticky CE_* bits
    LineState last;
    std::shared_ptr<LineSource> lines;
    bool dead = false;
    bool closing = false;
    COMMTIMEOUTS timeouts{};
    DCB dcb{};                  // the block last asked for
    bool enginePolling = false; // the engine sleeps in epoll_wait
    bool pollingWatch = false;  // ... with the line-watch time-out
    bool outArmed = false;      // EPOLLOUT is in the engine's set

    bool ParityChecking() const { return dcb.fParity != 0 && dcb.Parity != NOPARITY; }
    DWORD BufferedLocked() const { return rxEnd - rxPos; }
    void DropBufferedLocked() { rxPos = rxEnd = 0; }
    bool ReadReturnsAtOnce() const {
        return timeouts.ReadIntervalTimeout == MAXDWORD &&
               timeouts.ReadTotalTimeoutMultiplier == 0 && timeouts.ReadTotalTimeoutConstant == 0;
    }
    bool WatchingLocked() const {
        return !dead && (mask & kLineEvents) != 0 && lines && lines->CanWatch();
    }
    void WakeEngineLocked();
    void ArmOutputLocked(bool on);
    void CompleteLocked(std::optional<PendingOp>& op, DWORD error, DWORD waitMask = 0);
    void MarkDeadLocked();
    void ReadSomeLocked();
    void WriteSomeLocked();
    void RefreshLinesLocked();
    void ReleaseDescriptors();
};

void Port::WakeEngineLocked() {
    // The engine recomputes its time-out whenever it comes round; it needs a
    // nudge only while it sleeps with one that no longer fits, or to close.
    if (!enginePolling)
        return;
    if (pollingWatch == WatchingLocked() && !closing)
        return;
    const std::uint64_t one = 1;
    ssize_t rc;
    do {
        rc = ::write(wakeFd, &one, sizeof one);
    } while (rc < 0 && errno == EINTR);
    // EAGAIN means the counter is already non-zero: the engine will wake.
}

void Port::ArmOutputLocked(bool on) {
    if (dead || on == outArmed)
        return;
    // Edge-triggered: arming reports a descriptor that is writable already.
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET | (on ? EPOLLOUT : 0u);
    ev.data.fd = fd;
    if (::epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &ev) == 0)
        outArmed = on;
}

void Port::CompleteLocked(std::optional<PendingOp>& op, DWORD error, DWORD waitMask) {
    PendingOp done = std::move(*op);
    op.reset();
    if (&op == &writeOp)
        ArmOutputLocked(false);
    if (done.maskOut != nullptr && error == ERROR_SUCCESS)
        *done.maskOut = waitMask;
    done.ov->InternalHigh = done.maskOut != nullptr ? 0 : done.done;
    done.ov->Internal = error == ERROR_SUCCESS ? 0 : (kFailedStatus | error);
    if (done.event)
        done.event->Set();
    changed.notify_all();
}

void Port::MarkDeadLocked() {
    if (dead)
        return;
    dead = true;
    DropBufferedLocked(); // as a driver drops its queue on a surprise removal
    // A hung-up tty reports itself ready for ever; leave it out from now on.
    ::epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
    if (readOp)
        CompleteLocked(readOp, kVanishedError);
    if (writeOp)
        CompleteLocked(writeOp, kVanishedError);
    if (waitOp)
        CompleteLocked(waitOp, kVanishedError);
}

void Port::ReadSomeLocked() {
    PendingOp& op = *readOp;
    while (op.done < op.len) {
        if (const DWORD queued = BufferedLocked(); queued > 0) {
            const DWORD n = std::min(queued, op.len - op.done);
            std::memcpy(op.buf + op.done, rxBuf.data() + rxPos, n);
            rxPos += n;
            op.done += n;
            rxTaken += n;
            continue;
        }
        // The buffer is empty: take what the tty has. A read that still
        // wants a buffer's worth or more reads straight into its own buffer.
        const DWORD want = op.len - op.done;
        const bool direct = want >= kLayerRxBuffer;
        const ssize_t r =
            direct ? ::read(fd, op.buf + op.done, want) : ::read(fd, rxBuf.data(), rxBuf.size());
        if (r > 0) {
            if (direct) {
                op.done += static_cast<DWORD>(r);
                rxTaken += static_cast<ULONGLONG>(r);
            } else {
                rxPos = 0;
                rxEnd = static_cast<DWORD>(r);
            }
            continue;
        }
        if (r == 0) { // end of file on a tty: it hung up
            MarkDeadLocked();
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN)
            break;
        if (errno == EIO || errno == ENODEV) {
            MarkDeadLocked();
            return;
        }
        CompleteLocked(readOp, WinErrorFromErrno(errno));
        return;
    }
    if (op.done == op.len || ReadReturnsAtOnce())
        CompleteLocked(readOp, ERROR_SUCCESS);
}

void Port::WriteSomeLocked() {
    PendingOp& op = *writeOp;
    while (op.done < op.len) {
        const ssize_t w = ::write(fd, op.buf + op.done, op.len - op.done);
        if (w > 0) {
            op.done += static_cast<DWORD>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w == 0 || errno == EAGAIN)
            return;
        if (errno == EIO || errno == ENODEV) {
            MarkDeadLocked();
            return;
        }
        CompleteLocked(writeOp, WinErrorFromErrno(errno));
        return;
    }
    CompleteLocked(writeOp, ERROR_SUCCESS);
}

void Port::RefreshLinesLocked() {
    if (dead || !lines || !lines->CanWatch())
        return;
    LineState now;
    const int err = lines->Read(now);
    if (err == EIO || err == ENODEV) {
        MarkDeadLocked();
        return;
    }
    if (err != 0)
        return;
    const bool parity = ParityChecking();
    errors |= CommErrorsBetween(last, now, parity);
    history |= CommEventsBetween(last, now, mask, parity);
    last = now;
    if (waitOp && history != 0) {
        const DWORD events = history;
        history = 0;
        CompleteLocked(waitOp, ERROR_SUCCESS, events);
    }
}

void Port::EngineLoop() {
    // The engine does what a serial driver does in its interrupt handling:
    // it runs at the highest priority the process may give (where the
    // system grants none, as the other threads), so that received bytes do
    // not wait behind busy processes.
    ApplyThreadPriority(CurrentNativeThreadId(), tpTimeCritical);
    std::unique_lock lock(m);
    while (!closing) {
        const bool watch = WatchingLocked();
        pollingWatch = watch;
        enginePolling = true;
        lock.unlock();
        epoll_event events[4];
        const int n = ::epoll_wait(epollFd, events, 4, watch ? kLineWatchMs : -1);
        std::uint32_t ttyEvents = 0;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == wakeFd) {
                std::uint64_t value;
                (void)!::read(wakeFd, &value, sizeof value);
            } else {
                ttyEvents |= events[i].events;
            }
        }
        lock.lock();
        enginePolling = false;
        if (closing)
            break;
        if (!dead) {
            if ((ttyEvents & EPOLLIN) != 0 && readOp)
                ReadSomeLocked();
            if ((ttyEvents & EPOLLOUT) != 0 && writeOp)
                WriteSomeLocked();
            if ((ttyEvents & (EPOLLHUP | EPOLLERR)) != 0) {
                if (readOp)
                    ReadSomeLocked(); // take what was still queued
                MarkDeadLocked();
            }
        }
        if (WatchingLocked())
            RefreshLinesLocked();
    }
}

void Port::Close() {
    {
        std::lock_guard lock(m);
        closing = true;
        if (readOp)
            CompleteLocked(readOp, ERROR_OPERATION_ABORTED);
        if (writeOp)
            CompleteLocked(writeOp, ERROR_OPERATION_ABORTED);
        if (waitOp)
            CompleteLocked(waitOp, ERROR_OPERATION_ABORTED);
        WakeEngineLocked();
    }
    if (engine.joinable())
        engine.join();
    ReleaseDescriptors();
}

void Port::ReleaseDescriptors() {
    if (fd >= 0) {
        // A pty's exclusive flag outlives this descriptor (the tty stays while
        // the master is open), so clear it rather than rely on the last close.
        // Only the handle that set it does: a refused opener that got as far
        // as a descriptor (root passes TIOCEXCL) must leave the holder's flag.
        if (exclusiveSet)
            ::ioctl(fd, TIOCNXCL);
        ::close(fd); // also drops the flock
        fd = -1;
    }
    if (wakeFd >= 0) {
        ::close(wakeFd);
        wakeFd = -1;
    }
    if (epollFd >= 0) {
        ::close(epollFd);
        epollFd = -1;
    }
}

std::shared_ptr<Port> FindPort(HANDLE h) {
    return std::static_pointer_cast<Port>(FindHandle(h, ObjectKind::Port));
}

/// Looks up the OVERLAPPED's event: NULL is allowed, anything else must be
/// an event handle.
bool EventOf(const OVERLAPPED* ov, std::shared_ptr<Event>& event) {
    event.reset();
    if (ov == nullptr || ov->hEvent == nullptr)
        return true;
    event = std::static_pointer_cast<Event>(FindHandle(ov->hEvent, ObjectKind::Event));
    return event != nullptr;
}

/// Starts an operation on the caller's record: event reset, record pending.
void BeginLocked(OVERLAPPED* ov, const std::shared_ptr<Event>& event) {
    if (event)
        event->Reset();
    ov->Internal = STATUS_PENDING;
    ov->InternalHigh = 0;
}

/// Result of an operation whose record is no longer pending.
BOOL ResultOf(const OVERLAPPED& ov, LPDWORD transferred) {
    if (transferred != nullptr)
        *transferred = static_cast<DWORD>(ov.InternalHigh);
    if (ov.Internal == 0)
        return TRUE;
    return Fail(static_cast<DWORD>(ov.Internal & ~kFailedStatus));
}

/// For a port opened without FILE_FLAG_OVERLAPPED: waits until the
/// operation on the private record ov has completed.
BOOL FinishSynchronous(Port& port, std::unique_lock<std::mutex>& lock, OVERLAPPED& ov,
                       LPDWORD transferred) {
    port.changed.wait(lock, [&] { return ov.Internal != STATUS_PENDING; });
    return ResultOf(ov, transferred);
}

/// Handles the three outcomes of starting an operation: done at once,
/// pending on the caller's record, pending on a private record.
BOOL AfterStartLocked(Port& port, std::unique_lock<std::mutex>& lock, OVERLAPPED& ov,
                      bool callerRecord, LPDWORD transferred) {
    if (ov.Internal != STATUS_PENDING)
        return ResultOf(ov, transferred);
    port.WakeEngineLocked();
    if (!callerRecord)
        return FinishSynchronous(port, lock, ov, transferred);
    if (transferred != nullptr)
        *transferred = 0;
    return Fail(ERROR_IO_PENDING);
}

/// The argument checks ReadFile and WriteFile share: a buffer unless the
/// count is 0, a record on an overlapped port, and somewhere to put the count
/// when there is no record.
bool TransferArgsValid(const Port& port, const void* buffer, DWORD count, LPDWORD transferred,
                       const OVERLAPPED* caller) {
    return (buffer != nullptr || count == 0) && (!port.overlapped || caller != nullptr) &&
           (caller != nullptr || transferred != nullptr);
}

/// The start ReadFile, WriteFile and WaitCommEvent share once their own
/// argument checks have passed. A port opened with FILE_FLAG_OVERLAPPED runs
/// the operation on the caller's record; one opened without it runs it on a
/// private record, and Finish waits for it.
class OpStart {
public:
    OpStart(Port& port, LPOVERLAPPED caller) : FPort(port), FOv(port.overlapped ? *caller : FOwn) {}
    OpStart(const OpStart&) = delete;
    OpStart& operator=(const OpStart&) = delete;

    /// Takes the port lock and puts the operation into slot with the record
    /// pending. False, with the error set and nothing started, when the
    /// record's event is no event handle, the device has gone, the slot is
    /// taken, or (for an event wait) there is no mask to wait for.
    bool Begin(std::optional<PendingOp>& slot, BYTE* buf, DWORD len, DWORD* maskOut,
               bool needsMask = false) {
        std::shared_ptr<Event> event;
        if (FPort.overlapped && !EventOf(&FOv, event))
            return Fail(ERROR_INVALID_HANDLE);
        FLock = std::unique_lock(FPort.m);
        if (FPort.dead)
            return Fail(kVanishedError);
        if (slot || (needsMask && FPort.mask == 0))
            return Fail(ERROR_INVALID_PARAMETER); // one at a time / nothing to wait for
        BeginLocked(&FOv, event);
        slot = PendingOp{&FOv, event, buf, len, 0, maskOut};
        return true;
    }
    /// After the caller's first step on the operation, still under the lock.
    BOOL Finish(LPDWORD transferred) {
        return AfterStartLocked(FPort, FLock, FOv, FPort.overlapped, transferred);
    }

private:
    Port& FPort;
    OVERLAPPED FOwn{};
    OVERLAPPED& FOv;
    std::unique_lock<std::mutex> FLock;
};

BOOL FailFromErrno(int err) {
    return Fail(WinErrorFromErrno(err));
}

/// Failure of a device call: a vanished device marks the port dead.
BOOL DeviceCallFailedLocked(Port& port, int err) {
    if (err == EIO || err == ENODEV) {
        port.MarkDeadLocked();
        return Fail(kVanishedError);
    }
    return FailFromErrno(err);
}

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

} // namespace

namespace pmv::platform::detail {

DCB DcbFromTermios(const termios& t, const DCB& asked, bool isPty) {
    DCB d{};
    d.DCBlength = sizeof(DCB);
    d.BaudRate = BaudOf(cfgetospeed(&t));
    d.fBinary = 1;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        d.ByteSize = 5;
        break;
    case CS6:
        d.ByteSize = 6;
        break;
    case CS7:
        d.ByteSize = 7;
        break;
    default:
        d.ByteSize = 8;
        break;
    }
    if ((t.c_cflag & PARENB) == 0)
        d.Parity = NOPARITY;
    else if ((t.c_cflag & CMSPAR) != 0)
        d.Parity = (t.c_cflag & PARODD) != 0 ? MARKPARITY : SPACEPARITY;
    else
        d.Parity = (t.c_cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
    if (isPty) {
        // A pty always runs 8 data bits without parity; report what was asked.
        d.ByteSize = asked.ByteSize;
        d.Parity = asked.Parity;
    }
    if ((t.c_cflag & CSTOPB) == 0)
        d.StopBits = ONESTOPBIT;
    else
        d.StopBits = d.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    d.fParity = asked.fParity;
    const bool ctsFlow = (t.c_cflag & CRTSCTS) != 0;
    d.fOutxCtsFlow = ctsFlow ? 1 : 0;
    d.fRtsControl = ctsFlow ? RTS_CONTROL_HANDSHAKE : asked.fRtsControl;
    d.fDtrControl = asked.fDtrControl;
    d.fTXContinueOnXoff = asked.fTXContinueOnXoff;
    d.fOutX = (t.c_iflag & IXON) != 0 ? 1 : 0;
    d.fInX = (t.c_iflag & IXOFF) != 0 ? 1 : 0;
    d.XonLim = asked.XonLim;
    d.XoffLim = asked.XoffLim;
    d.XonChar = static_cast<char>(t.c_cc[VSTART]);
    d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    d.ErrorChar = asked.ErrorChar;
    d.EofChar = asked.EofChar;
    d.EvtChar = asked.EvtChar;
    return d;
}

DWORD ValidateDcb(const DCB& d) {
    if (!SpeedOf(d.BaudRate) || d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > SPACEPARITY ||
        d.StopBits > TWOSTOPBITS)
        return ERROR_INVALID_PARAMETER;
    // 1.5 stop bits exist only with 5 data bits, 2 stop bits only without.
    if ((d.StopBits == ONE5STOPBITS && d.ByteSize != 5) ||
        (d.StopBits == TWOSTOPBITS && d.ByteSize == 5))
        return ERROR_INVALID_PARAMETER;
    if (d.XonChar == d.XoffChar || d.fDtrControl > DTR_CONTROL_HANDSHAKE)
        return ERROR_INVALID_PARAMETER;
    // Linux has no DSR flow control, DTR handshake, RTS toggle, error
    // replacement, null stripping or abort-on-error; RTS/CTS flow control
    // exists only as the pair (CRTSCTS).
    if (d.fOutxDsrFlow || d.fDsrSensitivity || d.fDtrControl == DTR_CONTROL_HANDSHAKE ||
        d.fRtsControl == RTS_CONTROL_TOGGLE || d.fErrorChar || d.fNull || d.fAbortOnError)
        return ERROR_NOT_SUPPORTED;
    if ((d.fOutxCtsFlow != 0) != (d.fRtsControl == RTS_CONTROL_HANDSHAKE))
        return ERROR_NOT_SUPPORTED;
    return 0;
}

void ApplyDcbToTermios(const DCB& d, termios& t) {
    MakeRaw(t);
    const speed_t speed = *SpeedOf(d.BaudRate);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[d.ByteSize - 5];
    switch (d.Parity) {
    case ODDPARITY:
        t.c_cflag |= PARENB | PARODD;
        break;
    case EVENPARITY:
        t.c_cflag |= PARENB;
        break;
    case MARKPARITY:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case SPACEPARITY:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (d.StopBits != ONESTOPBIT)
        t.c_cflag |= CSTOPB; // with 5 data bits the UART sends 1.5
    if (d.fOutxCtsFlow)
        t.c_cflag |= CRTSCTS;
    if (d.fOutX)
        t.c_iflag |= IXON;
    if (d.fInX)
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);
}

// A pty ignores data bits and parity, see commapi.h.
bool DeviceTook(const termios& wanted, const termios& got, bool isPty) {
    tcflag_t cflags = CSTOPB | CRTSCTS;
    if (!isPty)
        cflags |= CSIZE | PARENB | PARODD | CMSPAR;
    const tcflag_t iflags = IXON | IXOFF;
    return cfgetospeed(&wanted) == cfgetospeed(&got) && cfgetispeed(&wanted) == cfgetispeed(&got) &&
           (wanted.c_cflag & cflags) == (got.c_cflag & cflags) &&
           (wanted.c_iflag & iflags) == (got.c_iflag & iflags);
}

} // namespace pmv::platform::detail

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    const DWORD access = GENERIC_READ | GENERIC_WRITE;
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED;
    if (lpFileName == nullptr || (dwDesiredAccess & access) == 0 ||
        (dwDesiredAccess & ~access) != 0 || dwShareMode != 0 ||
        dwCreationDisposition != OPEN_EXISTING || (dwFlagsAndAttributes & ~flags) != 0 ||
        hTemplateFile != nullptr ||
        (lpSecurityAttributes != nullptr && lpSecurityAttributes->bInheritHandle)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const int n = ComNumberOf(lpFileName);
    const TResolvedPort resolved = ResolvePort(n);
    const std::string& path = resolved.device;
    if (path.empty()) {
        RecordOpenFailure(n, ERROR_FILE_NOT_FOUND, {},
                          resolved.absence.empty() ? "not present"
                                                   : "not present (" + resolved.absence + ")");
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    char real[PATH_MAX];
    const std::string node = ::realpath(path.c_str(), real) != nullptr ? real : path;
    // What is plainly no serial device is named as such first: everybody
    // has /dev/null open, and none of them is the reason.
    if (std::string why = detail::NotSerialReason(node); !why.empty()) {
        RecordOpenFailure(n, ERROR_FILE_NOT_FOUND, node, why);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Exclusive as on Windows: any other process that has the node open,
    // whether it locks or not, refuses the open before this one touches the
    // device. (The far end of a pty and the number's publisher provide the
    // device; they do not count.)
    if (const auto holders = FindDeviceHolders(node, resolved.publisherPid); !holders.empty()) {
        RecordOpenFailure(n, ERROR_ACCESS_DENIED, node, HeldReason(holders));
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }

    auto port = std::make_shared<Port>();
    port->canRead = (dwDesiredAccess & GENERIC_READ) != 0;
    port->canWrite = (dwDesiredAccess & GENERIC_WRITE) != 0;
    port->overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    const int mode =
        port->canRead && port->canWrite ? O_RDWR : (port->canRead ? O_RDONLY : O_WRONLY);
    port->fd = OpenNode(path, mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC,
                        resolved.publisherPid != 0 && IsPtySlave(node));
    if (port->fd < 0) {
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
        RecordOpenFailure(n, winError, node, reason);
        SetLastError(winError);
        return INVALID_HANDLE_VALUE;
    }
    // From here on the Port's destructor releases the descriptors.
    if (!::isatty(port->fd)) {
        RecordOpenFailure(n, ERROR_FILE_NOT_FOUND, node, "not a serial device");
        SetLastError(ERROR_FILE_NOT_FOUND); // not a serial device
        return INVALID_HANDLE_VALUE;
    }
    // flock excludes every other opener that locks, root included (TIOCEXCL
    // does not stop root); TIOCEXCL also stops openers that do not lock.
    if (::flock(port->fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        const DWORD winError = err == EWOULDBLOCK ? ERROR_ACCESS_DENIED : WinErrorFromErrno(err);
        RecordOpenFailure(n, winError, node,
                          err != EWOULDBLOCK                  ? std::strerror(err)
                          : HeldInThisProcess(node, port->fd) ? "already open in this program"
                                                              : HeldReason({}));
        SetLastError(winError);
        return INVALID_HANDLE_VALUE;
    }
    termios t{};
    if (::ioctl(port->fd, TIOCEXCL) != 0) {
        SetLastError(WinErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    port->exclusiveSet = true;
    if (::tcgetattr(port->fd, &t) != 0) {
        SetLastError(WinErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    struct stat st {};
    if (::fstat(port->fd, &st) == 0 && S_ISCHR(st.st_mode)) {
        const unsigned major = ::major(st.st_rdev);
        port->isPty = major >= 136 && major <= 143; // Unix98 pty slaves
        if (!port->isPty)
            port->traits = detail::TraitsOf(detail::ReadDeviceIds(st.st_rdev));
    }
    // The line keeps its speed and framing (as a Windows port keeps the
    // driver's), but is made raw: a DCB cannot describe a cooked terminal.
    MakeRaw(t);
    if (::tcsetattr(port->fd, TCSANOW, &t) != 0) {
        SetLastError(WinErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    // A port opens with empty queues, as a Windows driver's does: what an
    // earlier program left in the device (a reply it did not wait for) is
    // not this program's. The flush takes the tty layer's buffers as well.
    if (::tcflush(port->fd, TCIOFLUSH) != 0) {
        SetLastError(WinErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    DCB asked{};
    asked.ByteSize = 8;
    asked.fDtrControl = DTR_CONTROL_ENABLE; // Linux raises DTR and RTS on open
    asked.fRtsControl = RTS_CONTROL_ENABLE;
    asked.XonLim = 2048;
    asked.XoffLim = 512;
    port->dcb = DcbFromTermios(t, asked, false);
    if (port->isPty) {
        port->dcb.ByteSize = 8;
        port->dcb.Parity = NOPARITY;
    }
    port->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    port->epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event wakeEvent{};
    wakeEvent.events = EPOLLIN;
    wakeEvent.data.fd = port->wakeFd;
    epoll_event ttyEvent{};
    ttyEvent.events = EPOLLIN | EPOLLET;
    ttyEvent.data.fd = port->fd;
    if (port->wakeFd < 0 || port->epollFd < 0 ||
        ::epoll_ctl(port->epollFd, EPOLL_CTL_ADD, port->wakeFd, &wakeEvent) != 0 ||
        ::epoll_ctl(port->epollFd, EPOLL_CTL_ADD, port->fd, &ttyEvent) != 0) {
        SetLastError(WinErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    try {
        port->lines = std::make_shared<TtyLineSource>(port->fd, port->traits.linesCounted);
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

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
    auto port = FindPort(hFile);
    if (!port)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpDCB == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(port->m);
    if (port->dead)
        return Fail(kVanishedError);
    termios t{};
    if (::tcgetattr(port->fd, &t) != 0)
        return DeviceCallFailedLocked(*port, errno);
    *lpDCB = DcbFromTermios(t, port->dcb, port->isPty);
    return TRUE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
    auto port = FindPort(hFile);
    if (!port)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpDCB == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    const DCB d = *lpDCB;
    if (const DWORD err = ValidateDcb(d); err != 0)
        return Fail(err);
    if (!port->traits.Allows(d))
        return Fail(ERROR_INVALID_PARAMETER); // the device cannot, whatever its driver says
    std::lock_guard lock(port->m);
    if (port->dead)
        return Fail(kVanishedError);
    termios old{};
    if (::tcgetattr(port->fd, &old) != 0)
        return DeviceCallFailedLocked(*port, errno);
    termios wanted = old;
    ApplyDcbToTermios(d, wanted);
    if (port->isPty) {
        // A pty always runs 8 data bits without parity and glibc's tcsetattr
        // fails with EINVAL when asked for anything else there; ask for what
        // the pty will do. GetCommState reports the block as asked.
        wanted.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR);
        wanted.c_cflag |= CS8;
    }
    termios got{};
    if (::tcsetattr(port->fd, TCSANOW, &wanted) != 0 || ::tcgetattr(port->fd, &got) != 0)
        return DeviceCallFailedLocked(*port, errno);
    if (!DeviceTook(wanted, got, port->isPty)) {
        // tcsetattr succeeds when the driver took any part of the request;
        // a UART that cannot do a setting must not look configured.
        ::tcsetattr(port->fd, TCSANOW, &old);
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // DTR and RTS follow their control setting. A device without modem lines
    // (a pty) has nothing to set; that is not an error here.
    auto setLine = [&](int line, bool on) {
        const int err = port->lines->SetOutputs(line, on);
        return err == 0 || err == ENOTTY ? 0 : err;
    };
    int err = setLine(TIOCM_DTR, d.fDtrControl == DTR_CONTROL_ENABLE);
    if (err == 0 && d.fRtsControl != RTS_CONTROL_HANDSHAKE)
        err = setLine(TIOCM_RTS, d.fRtsControl == RTS_CONTROL_ENABLE);
    if (err != 0)
        return DeviceCallFailedLocked(*port, err);
    port->dcb = d;
    port->dcb.DCBlength = sizeof(DCB);
    return TRUE;
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    auto port = FindPort(hFile);
    if (!port)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpCommTimeouts == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(port->m);
    *lpCommTimeouts = port->timeouts;
    return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    auto port = FindPort(hFile);
    if (!port)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpCommTimeouts == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    const COMMTIMEOUTS c = *lpCommTimeouts;
    if (c.ReadIntervalTimeout == MAXDWORD && c.ReadTotalTimeoutMultiplier == MAXDWORD)
        return Fail(ERROR_INVALID_PARAMETER); // as Windows
    const bool waitForAll = c.ReadIntervalTimeout == 0 && c.ReadTotalTimeoutMultiplier == 0 &&
                            c.ReadTotalTimeoutConstant == 0;
    const bool returnAtOnce = c.ReadIntervalTimeout == MAXDWORD &&
                              c.ReadTotalTimeoutMultiplier == 0 && c.ReadTotalTimeoutConstant == 0;
    if ((!waitForAll && !returnAtOnce) || c.WriteTotalTimeoutMultiplier != 0 ||
        c.WriteTotalTimeoutConstant != 0)
        return Fail(ERROR_NOT_SUPPORTED); // time-limited reads and writes are not implemented
    std::lock_guard lock(port->m);
    port->timeouts = c;
    return TRUE;
}

BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
    auto port = FindPort(hFile);
    if (!port)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpCommProp == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    COMMPROP p{};
    p.wPacketLength = sizeof(COMMPROP);
    p.wPacketVersion = 2;
    p.dwServiceMask = SP_SERIALCOMM;
    // The buffers are fixed: current and maximum sizes are equal. Receive:
    // the kernel's read buffer and the port's own (see kRxQueue).
    // Transmit side of a real port: serial-core UART drivers keep a one-page
    // transmit ring (UART_XMIT_SIZE = PAGE_SIZE) and usb-serial a one-page
    // write FIFO; cdc-acm and others differ but report no size.
    const DWORD txQueue = port->isPty ? kPtyTxQueue : static_cast<DWORD>(::sysconf(_SC_PAGESIZE));
    p.dwMaxTxQueue = txQueue;
    p.dwMaxRxQueue = kRxQueue;
    p.dwCurrentTxQueue = txQueue;
    p.dwCurrentRxQueue = kRxQueue;
    p.dwMaxBaud = BAUD_USER;
    p.dwProvSubType = PST_RS232;
    p.dwProvCapabilities = PCF_DTRDSR | PCF_RTSCTS | PCF_RLSD | PCF_PARITY_CHECK | PCF_XONXOFF |
                           PCF_SETXCHAR | PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS;
    p.dwSettableParams = SP_PARITY | SP_BAUD | SP_DATABITS | SP_STOPBITS | SP_HANDSHAKING |
                         SP_PARITY_CHECK | SP_RLSD;
    for (const BaudEntry& e : kBauds)
        p.dwSettableBaud |= e.settable;
    p.wSettableData = DATABITS_5 | DATABITS_6 | DATABITS_7 | DATABITS_8;
    p.wSettableStopParity = STOPBITS_10 | STOPBITS_15 | STOPBITS_20 | PARITY_NONE | PARITY_ODD |
                            PARITY_EVEN | PARITY_MARK | PARITY_SPACE;
    *lpCommProp = p;
    return TRUE;
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    auto port = FindPort(hFile);
    if (!port)
        return Fail(ERROR_INVALID_HANDLE);
    if (dwInQueue == 0 || dwOutQueue == 0)
        return Fail(ERROR_INVALID_PARAMETER);
    // Windows takes the sizes as a recommendation; the kernel's tty buffers
    // cannot be resized, so the request is accepted and changes nothing.
    return TRUE;
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    auto port = FindPort(hFile);
    if (!port)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpEvtMask == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(port->m);
    *lpEvtMask = port->mask;
    return TRUE;
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    auto port = FindPort(hFile);
    if (!port)
        return Fail(ERROR_INVALID_HANDLE);
    if ((dwEvtMask & ~kAllEvents) != 0)
        return Fail(ERROR_INVALID_PARAMETER);
    if ((dwEvtMask & ~kLineEvents) != 0)
        return Fail(ERROR_NOT_SUPPORTED); // character and transmit events are not watched
    std::lock_guard lock(port->m);
    if (port->dead)
        return Fail(kVanishedError);
    port->RefreshLinesLocked(); // start the new mask from the current lines
    port->mask = dwEvtMask;
    port->history = 0;
    if (port->waitOp)
        port->CompleteLocked(port->waitOp, ERROR_SUCCESS, 0);
    port->WakeEngineLocked();
    return TRUE;
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    auto port = FindPort(hFile);
    if (!port)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpEvtMask == nullptr || (port->overlapped && lpOverlapped == nullptr))
        return Fail(ERROR_INVALID_PARAMETER);
    OpStart start(*port, lpOverlapped);
    if (!start.Begin(port->waitOp, nullptr, 0, lpEvtMask, true))
        return FALSE;
    port->RefreshLinesLocked();
    if (port->waitOp && port->history != 0) {
        const DWORD events = port->history;
        port->history = 0;
        port->CompleteLocked(port->waitOp, ERROR_SUCCESS, events);
    }
    return start.Finish(nullptr);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    auto port = FindPort(hFile);
    if (!port)
        return Fail(ERROR_INVALID_HANDLE);
    if (!TransferArgsValid(*port, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead,
                           lpOverlapped))
        return Fail(ERROR_INVALID_PARAMETER);
    if (!port->canRead)
        return Fail(ERROR_ACCESS_DENIED);
    OpStart start(*port, lpOverlapped);
    if (!start.Begin(port->readOp, static_cast<BYTE*>(lpBuffer), nNumberOfBytesToRead, nullptr))
        return FALSE;
    port->ReadSomeLocked(); // completes it when the bytes are already there
    return start.Finish(lpNumberOfBytesRead);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    auto port = FindPort(hFile);
    if (!port)
        return Fail(ERROR_INVALID_HANDLE);
    if (!TransferArgsValid(*port, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten,
                           lpOverlapped))
        return Fail(ERROR_INVALID_PARAMETER);
    if (!port->canWrite)
        return Fail(ERROR_ACCESS_DENIED);
    OpStart start(*port, lpOverlapped);
    // The engine only reads from the buffer; the cast serves the shared record.
    if (!start.Begin(port->writeOp, static_cast<BYTE*>(const_cast<void*>(lpBuffer)),
                     nNumberOfBytesToWrite, nullptr))
        return FALSE;
    port->WriteSomeLocked();
    if (port->writeOp)
        port->ArmOutputLocked(true); // the rest goes when the driver has room
    return start.Finish(lpNumberOfBytesWritten);
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    auto port = FindPort(hFile);
    if (!port)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpOverlapped == nullptr || lpNumberOfBytesTransferred == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    std::unique_lock lock(port->m);
    if (lpOverlapped->Internal == STATUS_PENDING) {
        if (!bWait)
            return Fail(ERROR_IO_INCOMPLETE);
        port->changed.wait(lock, [&] { return lpOverlapped->Internal != STATUS_PENDING; });
    }
    return ResultOf(*lpOverlapped, lpNumberOfBytesTransferred);
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
    auto port = FindPort(hFile);
    if (!port)
        return Fail(ERROR_INVALID_HANDLE);
    const DWORD all = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
    if (dwFlags == 0 || (dwFlags & ~all) != 0)
        return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(port->m);
    if ((dwFlags & PURGE_RXABORT) != 0 && port->readOp)
        port->CompleteLocked(port->readOp, ERROR_OPERATION_ABORTED);
    if ((dwFlags & PURGE_TXABORT) != 0 && port->writeOp)
        port->CompleteLocked(port->writeOp, ERROR_OPERATION_ABORTED);
    port->WakeEngineLocked();
    if (port->dead)
        return Fail(kVanishedError);
    const bool rx = (dwFlags & PURGE_RXCLEAR) != 0;
    const bool tx = (dwFlags & PURGE_TXCLEAR) != 0;
    if (rx)
        port->DropBufferedLocked();
    if ((rx || tx) && ::tcflush(port->fd, rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH)) != 0)
        return DeviceCallFailedLocked(*port, errno);
    return TRUE;
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    auto port = FindPort(hFile);
    if (!port)
        return Fail(ERROR_INVALID_HANDLE);
    if (dwFunc < SETXOFF || dwFunc > CLRBREAK)
        return Fail(ERROR_INVALID_PARAMETER);
    if (dwFunc == SETXOFF || dwFunc == SETXON || dwFunc == RESETDEV)
        return Fail(ERROR_NOT_SUPPORTED);
    std::lock_guard lock(port->m);
    if (port->dead)
        return Fail(kVanishedError);
    int err = 0;
    switch (dwFunc) {
    case SETRTS:
        err = port->lines->SetOutputs(TIOCM_RTS, true);
        break;
    case CLRRTS:
        err = port->lines->SetOutputs(TIOCM_RTS, false);
        break;
    case SETDTR:
        err = port->lines->SetOutputs(TIOCM_DTR, true);
        break;
    case CLRDTR:
        err = port->lines->SetOutputs(TIOCM_DTR, false);
        break;
    case SETBREAK:
        err = port->lines->SetBreak(true);
        break;
    default:
        err = port->lines->SetBreak(false);
        break;
    }
    return err == 0 ? TRUE : DeviceCallFailedLocked(*port, err);
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    auto port = FindPort(hFile);
    if (!port)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpModemStat == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(port->m);
    if (port->dead)
        return Fail(kVanishedError);
    LineState state;
    if (const int err = port->lines->Read(state); err != 0)
        return DeviceCallFailedLocked(*port, err);
    *lpModemStat = state.modem;
    return TRUE;
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    auto port = FindPort(hFile);
    if (!port)
        return Fail(ERROR_INVALID_HANDLE);
    std::lock_guard lock(port->m);
    if (port->dead)
        return Fail(kVanishedError);
    port->RefreshLinesLocked();
    COMSTAT stat{};
    if (lpStat != nullptr) {
        int inQueue = 0;
        int outQueue = 0;
        if (::ioctl(port->fd, FIONREAD, &inQueue) != 0 ||
            ::ioctl(port->fd, TIOCOUTQ, &outQueue) != 0)
            return DeviceCallFailedLocked(*port, errno);
        stat.cbInQue = static_cast<DWORD>(inQueue) + port->BufferedLocked();
        stat.cbOutQue = static_cast<DWORD>(outQueue);
        if (port->writeOp) // bytes handed over but not yet taken by the driver
            stat.cbOutQue += port->writeOp->len - port->writeOp->done;
    }
    if (lpErrors != nullptr)
        *lpErrors = port->errors;
    port->errors = 0;
    if (lpStat != nullptr)
        *lpStat = stat;
    return TRUE;
}

} // extern "C"

namespace pmv::platform {

BOOL AttachLineSource(HANDLE port, std::shared_ptr<LineSource> source) {
    auto p = FindPort(port);
    if (!p)
        return Fail(ERROR_INVALID_HANDLE);
    if (!source)
        return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(p->m);
    p->lines = std::move(source);
    p->last = LineState{};
    (void)p->lines->Read(p->last); // the new source's present state is the baseline
    p->WakeEngineLocked();
    return TRUE;
}

} // namespace pmv::platform
