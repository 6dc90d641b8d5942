// The I/O engine of an open serial port, one thread per port, and the entry
// points that move bytes and wait for events.
//
// Data flow: an entry point checks its arguments, then, under the port's
// mutex, either finishes the request at once (the bytes or events are
// already there) or records it as the pending read, write or event wait. The
// engine waits in epoll on the transport (port_p.h: the tty or a network
// connection; edge-triggered input, so a pending read
// needs no wake-up of the engine and unread input causes no busy loop;
// output only while a write is pending) and on a wake descriptor, moves
// bytes for the pending operations, samples the line source while the event
// mask asks for line events, and completes an operation by filling in the
// caller's OVERLAPPED and setting its event. Everything that touches a caller's OVERLAPPED runs
// under the port's mutex, and CloseHandle completes what is pending before
// it returns, so no record is touched after that.
//
// Receive queue: like a Windows serial driver, which completes reads from
// its own input queue, the port takes bytes off the transport in one read of up
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
//
// The reader takes its own bytes: a thread that waits (with a time limit
// other than 0) for the event of the pending read polls the device itself
// (Port::WaitReading) while the engine leaves the input alone, so a received
// byte wakes that one thread instead of the engine and then the reader. A
// completion by anyone else sets the event, which also wakes such a poll;
// a wait that ends without the read gives the input back to the engine.
#include "platform/ThreadOs_p.h"
#include "platform/posix/commapi.h"
#include "platform/posix/port_p.h"
#include "platform/posix/synchapi.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace pmv::platform::detail {

bool IsVanishedErrno(int err) {
    switch (err) {
    case EIO: // a tty hung up or its device vanished
    case ENODEV:
    case ECONNRESET: // the server went away or the connection went silent
    case ETIMEDOUT:
    case EPIPE:
    case ENOTCONN:
    case EHOSTUNREACH:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

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

void Port::WatchLocked(bool in, bool out) {
    if (dead || (in == inArmed && out == outArmed))
        return;
    // Edge-triggered: arming reports a descriptor that is ready already.
    // Hang-ups are reported whatever is armed.
    epoll_event ev{};
    ev.events = EPOLLET | EPOLLRDHUP | (in ? EPOLLIN : 0u) | (out ? EPOLLOUT : 0u);
    ev.data.fd = fd;
    if (::epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &ev) == 0) {
        inArmed = in;
        outArmed = out;
    }
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
            direct ? io->Read(op.buf + op.done, want) : io->Read(rxBuf.data(), rxBuf.size());
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
        if (r == 0) { // end of file: the tty hung up, the server closed
            MarkDeadLocked();
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN)
            break;
        if (IsVanishedErrno(errno)) {
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
        const ssize_t w = io->Write(op.buf + op.done, op.len - op.done);
        if (w > 0) {
            op.done += static_cast<DWORD>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w == 0 || errno == EAGAIN)
            return;
        if (IsVanishedErrno(errno)) {
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
    if (IsVanishedErrno(err)) {
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
            if ((ttyEvents & (EPOLLHUP | EPOLLERR | EPOLLRDHUP)) != 0) {
                if (readOp)
                    ReadSomeLocked(); // take what was still queued
                MarkDeadLocked();
            }
        }
        if (WatchingLocked())
            RefreshLinesLocked();
    }
}

std::optional<bool> Port::WaitReading(Event& ev, DWORD milliseconds) {
    using Clock = std::chrono::steady_clock;
    const bool forever = milliseconds == INFINITE;
    const Clock::time_point deadline =
        forever ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock lock(m);
    // Every way out but the read's own completion gives the input back to
    // the engine, which then takes the bytes of a read still pending.
    const auto handBack = [this](std::optional<bool> result) {
        ArmInputLocked(true);
        return result;
    };
    for (;;) {
        if (ev.TryConsume())
            return true;
        // Only the waiter of the pending read, one at a time, on a live port.
        if (!readOp || readOp->event.get() != &ev || dead || closing || readerWaiting)
            return handBack(std::nullopt);
        int timeoutMs = -1;
        if (!forever) {
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero())
                return handBack(false);
            timeoutMs =
                static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        }
        const int nudge = ev.BeginReaderWait();
        if (nudge < 0)
            return handBack(std::nullopt);
        // The engine leaves the input to this thread, so that a byte wakes
        // one thread, not two. The read was set up under this lock and any
        // completion by another thread (a purge, a close, the device gone)
        // sets the event, which makes nudge readable: no wake-up is lost.
        readerWaiting = true;
        ArmInputLocked(false);
        lock.unlock();
        pollfd fds[2] = {{fd, POLLIN | POLLRDHUP, 0}, {nudge, POLLIN, 0}};
        const int n = ::poll(fds, 2, timeoutMs);
        const int pollErr = errno;
        lock.lock();
        readerWaiting = false;
        ev.EndReaderWait(fds[1].revents != 0);
        changed.notify_all(); // a Close waits for this thread to leave the descriptor
        if (n < 0 && pollErr != EINTR)
            return handBack(std::nullopt);
        if (n <= 0 || dead || closing || !readOp)
            continue;
        // As the engine does with the same events.
        const short got = fds[0].revents;
        if ((got & POLLIN) != 0)
            ReadSomeLocked();
        if ((got & (POLLHUP | POLLERR | POLLRDHUP | POLLNVAL)) != 0 && !dead) {
            if (readOp)
                ReadSomeLocked();
            MarkDeadLocked();
        }
    }
}

void Port::Close() {
    {
        std::unique_lock lock(m);
        closing = true;
        if (readOp)
            CompleteLocked(readOp, ERROR_OPERATION_ABORTED);
        if (writeOp)
            CompleteLocked(writeOp, ERROR_OPERATION_ABORTED);
        if (waitOp)
            CompleteLocked(waitOp, ERROR_OPERATION_ABORTED);
        WakeEngineLocked();
        // A thread that waits for its read on the descriptor itself has been
        // woken by the completion; the descriptor stays open until it left.
        changed.wait(lock, [this] { return !readerWaiting; });
    }
    if (engine.joinable())
        engine.join();
    ReleaseDescriptors();
}

void Port::ReleaseDescriptors() {
    lines.reset(); // a transport's own line source goes before the transport
    io.reset();
    fd = -1;
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

BOOL FailFromErrno(int err) {
    return Fail(WinErrorFromErrno(err));
}

BOOL DeviceCallFailedLocked(Port& port, int err) {
    if (IsVanishedErrno(err)) {
        port.MarkDeadLocked();
        return Fail(kVanishedError);
    }
    return FailFromErrno(err);
}

} // namespace pmv::platform::detail

using namespace pmv::platform;
using namespace pmv::platform::detail;

namespace {

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

} // namespace

extern "C" {

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
    const DWORD txQueue = port->io->TxQueue();
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
    p.dwSettableBaud = SettableBauds();
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
    if (port->readOp) {
        // Pending: the engine watches for the bytes, unless the thread that
        // waits for the read's event takes them itself (Port::WaitReading).
        port->ArmInputLocked(true);
        if (port->readOp->event)
            port->readOp->event->SetReader(port);
    }
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
    if (rx || tx) {
        if (const int err = port->io->Purge(rx, tx); err != 0)
            return DeviceCallFailedLocked(*port, err);
    }
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
