// Internal: an open serial port as the comm entry points share it, and the
// transport below its I/O engine.
//
// The engine (comm_engine.cpp) moves bytes between the callers' pending
// operations and a transport: the terminal device (transport_tty.cpp) or a
// network connection to a serial server (transport_net.cpp). Line settings
// (comm_lines.cpp) go to the transport too: termios for a terminal, the
// serial port option for an RFC 2217 server, nothing for raw TCP. The open
// (comm_open.cpp) picks the transport by what the COM number maps to.
#pragma once

#include "platform/posix/LineSource.h"
#include "platform/posix/devicetraits_p.h"
#include "platform/posix/handles_p.h"
#include "platform/posix/wintypes.h"

#include <array>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <termios.h>
#include <thread>

namespace pmv::platform::detail {

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
/// OVERLAPPED::Internal of a failed operation: this marker or'ed with the
/// Windows error code (an NTSTATUS-like value, never STATUS_PENDING).
constexpr ULONG_PTR kFailedStatus = 0xE0000000u;
/// SetState's answer when the device ran only part of the request.
constexpr int kNotTaken = -1;

/// What the engine reads, writes and polls, and where line settings go.
/// Every call runs under the port's mutex.
class TTransport {
public:
    virtual ~TTransport() = default;
    /// The descriptor the engine polls (edge-triggered input).
    int Fd() const { return FFd; }
    /// As read(2) and write(2): a count, 0 when the far end has gone, or -1
    /// with errno (EAGAIN: nothing now).
    virtual ssize_t Read(BYTE* buf, std::size_t n) = 0;
    virtual ssize_t Write(const BYTE* buf, std::size_t n) = 0;
    /// Empties the receive and/or transmit queue: 0 or an errno value.
    virtual int Purge(bool rx, bool tx) = 0;
    /// The block the device runs; asked is the block last set. 0 or errno.
    virtual int GetState(const DCB& asked, DCB& got) = 0;
    /// Runs the block's speed and framing: 0, an errno value, or kNotTaken.
    virtual int SetState(const DCB& d) = 0;
    /// The modem lines, breaks and error counters of this transport; it
    /// must outlive them.
    virtual std::shared_ptr<LineSource> MakeLines(const TDeviceTraits& traits) = 0;
    /// The transmit queue as GetCommProperties reports it.
    virtual DWORD TxQueue() const = 0;

protected:
    int FFd = -1;
};

/// True for the errno values that mean the device or connection is gone.
bool IsVanishedErrno(int err);

/// Raw mode of a terminal, see transport_tty.cpp.
void MakeRaw(termios& t);

/// The terminal device fd, opened and locked by CreateFileA; it closes fd
/// (and clears TIOCEXCL when exclusiveSet).
std::unique_ptr<TTransport> MakeTtyTransport(int fd, bool isPty, bool exclusiveSet);

/// The connected socket fd (ConnectNetPort); it closes fd. *err gets the
/// errno of sending the greeting, or 0.
std::unique_ptr<TTransport> MakeNetTransport(int fd, bool rfc2217, int* err);

/// BAUD_* bits of the rates a port runs.
DWORD SettableBauds();

struct PendingOp {
    OVERLAPPED* ov = nullptr;
    std::shared_ptr<Event> event; // the OVERLAPPED's event, if any
    BYTE* buf = nullptr;          // read target or write source
    DWORD len = 0;
    DWORD done = 0;
    DWORD* maskOut = nullptr; // event wait
};

class Port final : public KernelObject, public EventReader {
public:
    Port() : KernelObject(ObjectKind::Port) {}
    ~Port() override { ReleaseDescriptors(); }

    void Close() override;
    void EngineLoop();
    std::optional<bool> WaitReading(Event& ev, DWORD milliseconds) override;

    // Fixed after open.
    std::unique_ptr<TTransport> io; // owns fd
    int fd = -1;
    int wakeFd = -1;
    int epollFd = -1;
    bool overlapped = false;
    bool canRead = false;
    bool canWrite = false;
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
    bool inArmed = true;        // EPOLLIN is in the engine's set
    bool readerWaiting = false; // a WaitReading polls the descriptor itself

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
    void ArmOutputLocked(bool on) { WatchLocked(inArmed, on); }
    void ArmInputLocked(bool on) { WatchLocked(on, outArmed); }
    void WatchLocked(bool in, bool out);
    void CompleteLocked(std::optional<PendingOp>& op, DWORD error, DWORD waitMask = 0);
    void MarkDeadLocked();
    void ReadSomeLocked();
    void WriteSomeLocked();
    void RefreshLinesLocked();
    void ReleaseDescriptors();
};

std::shared_ptr<Port> FindPort(HANDLE h);
BOOL FailFromErrno(int err);
/// Failure of a device call: a vanished device marks the port dead.
BOOL DeviceCallFailedLocked(Port& port, int err);

} // namespace pmv::platform::detail
