// The terminal device below a port's engine: read() and write() on the
// tty, line settings through termios, modem lines through the tty's ioctls.
#include "platform/posix/comm_p.h"
#include "platform/posix/port_p.h"

#include <cerrno>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace pmv::platform::detail {

namespace {

/// Transmit queue of a pseudo-terminal: it has no transmit buffer of its
/// own; a write lands in the far end's flip buffer, which the pty driver
/// limits to 8192 bytes (tty_buffer_set_limit in pty_common_install, Linux
/// 6.1 as before; the accounting lets it run to about twice that), and
/// from there in the far end's 4096-byte read buffer.
constexpr DWORD kPtyTxQueue = 8192;

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

class TTtyTransport final : public TTransport {
public:
    TTtyTransport(int fd, bool isPty, bool exclusiveSet)
        : FIsPty(isPty), FExclusiveSet(exclusiveSet) {
        FFd = fd;
    }
    ~TTtyTransport() override {
        // A pty's exclusive flag outlives this descriptor (the tty stays while
        // the master is open), so clear it rather than rely on the last close.
        // Only the handle that set it does: a refused opener that got as far
        // as a descriptor (root passes TIOCEXCL) must leave the holder's flag.
        if (FExclusiveSet)
            ::ioctl(FFd, TIOCNXCL);
        ::close(FFd); // also drops the flock
    }
    ssize_t Read(BYTE* buf, std::size_t n) override { return ::read(FFd, buf, n); }
    ssize_t Write(const BYTE* buf, std::size_t n) override { return ::write(FFd, buf, n); }
    int Purge(bool rx, bool tx) override {
        return ::tcflush(FFd, rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH)) == 0 ? 0 : errno;
    }
    int GetState(const DCB& asked, DCB& got) override {
        termios t{};
        if (::tcgetattr(FFd, &t) != 0)
            return errno;
        got = DcbFromTermios(t, asked, FIsPty);
        return 0;
    }
    int SetState(const DCB& d) override {
        termios old{};
        if (::tcgetattr(FFd, &old) != 0)
            return errno;
        termios wanted = old;
        ApplyDcbToTermios(d, wanted);
        if (FIsPty) {
            // A pty always runs 8 data bits without parity and glibc's tcsetattr
            // fails with EINVAL when asked for anything else there; ask for what
            // the pty will do. GetCommState reports the block as asked.
            wanted.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR);
            wanted.c_cflag |= CS8;
        }
        termios got{};
        if (::tcsetattr(FFd, TCSANOW, &wanted) != 0 || ::tcgetattr(FFd, &got) != 0)
            return errno;
        if (!DeviceTook(wanted, got, FIsPty)) {
            // tcsetattr succeeds when the driver took any part of the request;
            // a UART that cannot do a setting must not look configured.
            ::tcsetattr(FFd, TCSANOW, &old);
            return kNotTaken;
        }
        return 0;
    }
    std::shared_ptr<LineSource> MakeLines(const TDeviceTraits& traits) override {
        return std::make_shared<TtyLineSource>(FFd, traits.linesCounted);
    }
    DWORD TxQueue() const override {
        // Transmit side of a real port: serial-core UART drivers keep a one-page
        // transmit ring (UART_XMIT_SIZE = PAGE_SIZE) and usb-serial a one-page
        // write FIFO; cdc-acm and others differ but report no size.
        return FIsPty ? kPtyTxQueue : static_cast<DWORD>(::sysconf(_SC_PAGESIZE));
    }

private:
    bool FIsPty;
    bool FExclusiveSet;
};

} // namespace

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

std::unique_ptr<TTransport> MakeTtyTransport(int fd, bool isPty, bool exclusiveSet) {
    return std::make_unique<TTtyTransport>(fd, isPty, exclusiveSet);
}

} // namespace pmv::platform::detail
