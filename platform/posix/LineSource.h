// Where a port's modem lines, breaks and receive errors come from.
//
// The I/O engine of an open port reads and drives its lines through a
// LineSource. By default that is the tty itself (TIOCMGET/TIOCMBIS/TIOCMBIC,
// TIOCSBRK/TIOCCBRK, TIOCGICOUNT). A pseudo-terminal has none of these, so
// tests and tools attach a ScriptedLineSource to the open port and play the
// far end's part: set CTS/DSR/RING/RLSD, count breaks and errors, and read
// back the RTS/DTR/break levels the port drives.
#pragma once

#include "platform/posix/wintypes.h"

#include <cstdint>
#include <memory>
#include <mutex>

namespace pmv::platform {

/// Snapshot of the input lines and the driver's counters (counters a device
/// cannot report stay 0). Counters only grow; they let a change between two
/// snapshots be seen even when the level is back where it was.
struct LineState {
    DWORD modem = 0;              ///< MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON
    std::uint32_t cts = 0;        ///< CTS changes so far
    std::uint32_t dsr = 0;        ///< DSR changes so far
    std::uint32_t ring = 0;       ///< ring changes so far
    std::uint32_t dcd = 0;        ///< carrier (RLSD) changes so far
    std::uint32_t brk = 0;        ///< breaks received so far
    std::uint32_t frame = 0;      ///< framing errors so far
    std::uint32_t overrun = 0;    ///< hardware overruns so far
    std::uint32_t parity = 0;     ///< parity errors so far
    std::uint32_t bufOverrun = 0; ///< input queue overflows so far
};

/// Comm events (EV_* bits, restricted to mask) caused by going from one
/// snapshot to the next: EV_CTS / EV_DSR / EV_RLSD / EV_RING when that line's
/// level or change counter differs, EV_BREAK when the break count grew,
/// EV_ERR when the frame or overrun count grew, or the parity count with
/// parity checking on. A pure function.
DWORD CommEventsBetween(const LineState& before, const LineState& after, DWORD mask,
                        bool parityChecking);

/// Error bits (CE_*) for the counter growth from before to after. CE_RXPARITY
/// is reported only when parityChecking is on.
DWORD CommErrorsBetween(const LineState& before, const LineState& after, bool parityChecking);

class LineSource {
public:
    virtual ~LineSource() = default;
    /// Reads lines and counters. Returns 0 or an errno value (ENOTTY/EINVAL
    /// when the device has no modem lines). Counters a device cannot report
    /// stay 0.
    virtual int Read(LineState& state) = 0;
    /// True when Read() can see changes at all (the engine polls only then).
    virtual bool CanWatch() = 0;
    /// Sets (on) or clears the TIOCM_RTS / TIOCM_DTR bits in lines.
    virtual int SetOutputs(int lines, bool on) = 0;
    virtual int SetBreak(bool on) = 0;
};

/// A line source the caller scripts. Thread-safe.
class ScriptedLineSource : public LineSource {
public:
    int Read(LineState& state) override;
    bool CanWatch() override { return true; }
    int SetOutputs(int lines, bool on) override;
    int SetBreak(bool on) override;

    /// Input lines, MS_* bits; a changed line also counts one change.
    void SetModem(DWORD msBits);
    /// Makes Read() fail with err (0 for success again), e.g. ENOTTY.
    void SetReadError(int err);
    void AddBreak();
    void AddFrameError();
    void AddOverrun();
    void AddParityError();
    /// Output levels as driven by the port: TIOCM_RTS / TIOCM_DTR bits.
    int Outputs() const;
    bool BreakOn() const;

private:
    mutable std::mutex FMutex;
    LineState FState;
    int FOutputs = 0;
    bool FBreak = false;
    int FReadError = 0;
};

/// Replaces the line source of an open port. Fails with FALSE and
/// ERROR_INVALID_HANDLE / ERROR_INVALID_PARAMETER.
BOOL AttachLineSource(HANDLE port, std::shared_ptr<LineSource> source);

} // namespace pmv::platform
