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

/// Snapshot of the input lines and the error counters.
struct LineState {
    DWORD modem = 0;          ///< MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON
    std::uint32_t brk = 0;    ///< breaks received so far
    std::uint32_t frame = 0;  ///< framing errors so far
    std::uint32_t overrun = 0;///< hardware overruns so far
    std::uint32_t parity = 0; ///< parity errors so far
    std::uint32_t bufOverrun = 0; ///< input queue overflows so far
};

/// Comm events (EV_* bits, restricted to mask) caused by going from one
/// snapshot to the next: EV_CTS/EV_DSR/EV_RLSD on a change of that line,
/// EV_RING when ring goes from on to off (the trailing edge, as Windows
/// reports it), EV_BREAK when the break count grew, EV_ERR when the
/// frame/overrun/parity count grew. A pure function.
DWORD CommEventsBetween(const LineState& before, const LineState& after, DWORD mask);

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

    /// Input lines, MS_* bits.
    void SetModem(DWORD msBits);
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
};

/// Replaces the line source of an open port. Fails with FALSE and
/// ERROR_INVALID_HANDLE / ERROR_INVALID_PARAMETER.
BOOL AttachLineSource(HANDLE port, std::shared_ptr<LineSource> source);

} // namespace pmv::platform
