// Line state and line settings of an open port: the device control block
// and its termios translation, the modem lines (set, read, watched for
// events) and the line sources that report them.
#include "platform/LineSettings.h"
#include "platform/posix/comm_p.h"
#include "platform/posix/commapi.h"
#include "platform/posix/port_p.h"

#include <optional>
#include <sys/ioctl.h>
#include <termios.h>

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

} // namespace

namespace pmv::platform::detail {

DWORD SettableBauds() {
    DWORD bits = 0;
    for (const BaudEntry& e : kBauds)
        bits |= e.settable;
    return bits;
}

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

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
    auto port = FindPort(hFile);
    if (!port)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpDCB == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(port->m);
    if (port->dead)
        return Fail(kVanishedError);
    DCB got{};
    if (const int err = port->io->GetState(port->dcb, got); err != 0)
        return DeviceCallFailedLocked(*port, err);
    *lpDCB = got;
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
    if (const int err = port->io->SetState(d); err == kNotTaken)
        return Fail(ERROR_INVALID_PARAMETER); // the device took only part of it
    else if (err != 0)
        return DeviceCallFailedLocked(*port, err);
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
