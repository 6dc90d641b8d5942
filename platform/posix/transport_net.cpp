// A network connection to a serial server below a port's engine.
//
// rfc2217://: the bytes travel in a Telnet stream. Reading runs the
// received bytes through the Telnet parser (data out, option answers sent
// back at once, modem lines and line errors kept for the line source);
// writing doubles every 0xFF. Line settings and the output lines go to the
// server as serial port option commands. A write may stop between the two
// halves of a doubled 0xFF; the second half is owed and sent before
// anything else, so a command never lands inside the pair.
//
// tcp://: the bytes alone. Line settings are accepted and not sent (the
// server's own settings apply), and the port has no modem lines.
#include "platform/posix/commapi.h"
#include "platform/posix/port_p.h"
#include "platform/posix/telnet_p.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pmv::platform::detail {

namespace {

constexpr int kCommandSendMs = 1000; // a command waits this long for room in the socket
constexpr std::size_t kChunk = 4096;
constexpr std::uint8_t kIac = telnet::kIac;

class TNetTransport final : public TTransport {
public:
    TNetTransport(int fd, bool rfc2217) : FRfc2217(rfc2217) {
        FFd = fd;
        if (FRfc2217) {
            // The greeting, and notifications of every modem line and line error.
            const std::uint8_t all = 0xFF, errors = 0x1E;
            FPendingCommands = FParser.Greeting() +
                               TTelnetParser::ComPortCommand(telnet::kSetModemStateMask, &all, 1) +
                               TTelnetParser::ComPortCommand(telnet::kSetLineStateMask, &errors, 1);
        }
    }
    ~TNetTransport() override { ::close(FFd); }

    /// Sends the greeting; errno or 0.
    int Start() { return FPendingCommands.empty() ? 0 : SendCommand(std::string()); }

    ssize_t Read(BYTE* buf, std::size_t n) override {
        if (!FRfc2217)
            return ::recv(FFd, buf, n, 0);
        std::uint8_t raw[kChunk];
        for (;;) {
            const ssize_t r = ::recv(FFd, raw, std::min(n, sizeof raw), 0);
            if (r <= 0)
                return r;
            const std::size_t k = FParser.Feed(raw, static_cast<std::size_t>(r), buf);
            if (!FParser.Replies().empty()) {
                const std::string replies = std::move(FParser.Replies());
                FParser.Replies().clear();
                if (const int err = SendCommand(replies); err != 0) {
                    errno = err;
                    return -1;
                }
            }
            if (k > 0)
                return static_cast<ssize_t>(k);
            // Only Telnet commands: read on, so that an edge is not lost.
        }
    }

    ssize_t Write(const BYTE* buf, std::size_t n) override {
        if (!FRfc2217)
            return ::send(FFd, buf, n, MSG_NOSIGNAL);
        std::size_t taken = 0;
        if (FSecondHalfSent || FOweSecondHalf) {
            if (FOweSecondHalf) {
                const ssize_t w = ::send(FFd, &kIac, 1, MSG_NOSIGNAL);
                if (w <= 0)
                    return w;
                FOweSecondHalf = false;
            }
            FSecondHalfSent = false;
            taken = n > 0 && buf[0] == kIac ? 1 : 0; // that byte is out now
        }
        std::uint8_t esc[2 * kChunk];
        std::size_t e = 0;
        for (std::size_t i = taken; i < n && i - taken < kChunk; ++i) {
            esc[e++] = buf[i];
            if (buf[i] == kIac)
                esc[e++] = kIac;
        }
        if (e == 0)
            return static_cast<ssize_t>(taken);
        const ssize_t w = ::send(FFd, esc, e, MSG_NOSIGNAL);
        if (w < 0)
            return taken > 0 ? static_cast<ssize_t>(taken) : -1;
        // Count the caller's bytes that went out whole.
        std::size_t sent = 0;
        std::size_t i = taken;
        while (sent < static_cast<std::size_t>(w)) {
            if (buf[i] == kIac && sent + 1 == static_cast<std::size_t>(w)) {
                FOweSecondHalf = true;
                break;
            }
            sent += buf[i] == kIac ? 2 : 1;
            ++i;
        }
        return static_cast<ssize_t>(i);
    }

    int Purge(bool rx, bool tx) override {
        if (rx) { // what the server has sent so far is dropped
            BYTE sink[kChunk];
            ssize_t r;
            while ((r = Read(sink, sizeof sink)) > 0) {
            }
            if (r == 0)
                return ECONNRESET;
            if (errno != EAGAIN)
                return errno;
        }
        if (!FRfc2217)
            return 0;
        const std::uint8_t which = rx && tx ? 3 : (rx ? 1 : 2);
        return SendCommand(TTelnetParser::ComPortCommand(telnet::kPurgeData, &which, 1));
    }

    int GetState(const DCB& asked, DCB& got) override {
        got = asked; // the server runs what was last asked
        return 0;
    }

    int SetState(const DCB& d) override {
        if (!FRfc2217)
            return 0;
        const std::uint8_t baud[] = {static_cast<std::uint8_t>(d.BaudRate >> 24),
                                     static_cast<std::uint8_t>(d.BaudRate >> 16),
                                     static_cast<std::uint8_t>(d.BaudRate >> 8),
                                     static_cast<std::uint8_t>(d.BaudRate)};
        static constexpr std::uint8_t kParity[] = {1, 2, 3, 4, 5}; // DCB NOPARITY..SPACEPARITY
        static constexpr std::uint8_t kStopSize[] = {1, 3, 2};     // ONE, ONE5, TWO
        const std::uint8_t size = d.ByteSize;
        const std::uint8_t flow = d.fOutxCtsFlow ? 3 : (d.fOutX || d.fInX ? 2 : 1);
        return SendCommand(
            TTelnetParser::ComPortCommand(telnet::kSetBaudRate, baud, 4) +
            TTelnetParser::ComPortCommand(telnet::kSetDataSize, &size, 1) +
            TTelnetParser::ComPortCommand(telnet::kSetParity, &kParity[d.Parity], 1) +
            TTelnetParser::ComPortCommand(telnet::kSetStopSize, &kStopSize[d.StopBits], 1) +
            TTelnetParser::ComPortCommand(telnet::kSetControl, &flow, 1));
    }

    std::shared_ptr<LineSource> MakeLines(const TDeviceTraits&) override;

    DWORD TxQueue() const override {
        int size = 0;
        socklen_t len = sizeof size;
        return ::getsockopt(FFd, SOL_SOCKET, SO_SNDBUF, &size, &len) == 0 ? static_cast<DWORD>(size)
                                                                          : kChunk;
    }

    bool Rfc2217() const { return FRfc2217; }
    const TTelnetParser& Parser() const { return FParser; }

    /// Sends a SET-CONTROL command; errno or 0.
    int SetControl(std::uint8_t value) {
        return SendCommand(TTelnetParser::ComPortCommand(telnet::kSetControl, &value, 1));
    }

private:
    // Sends what is pending and then command, whole, waiting a bounded time
    // for room; errno or 0. Telnet commands are not data: they are not
    // counted in any write.
    int SendCommand(const std::string& command) {
        if (FOweSecondHalf) {
            FPendingCommands.insert(0, 1, static_cast<char>(kIac));
            FOweSecondHalf = false;
            FSecondHalfSent = true;
        }
        FPendingCommands += command;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kCommandSendMs);
        std::size_t done = 0;
        int err = 0;
        while (done < FPendingCommands.size() && err == 0) {
            const ssize_t w = ::send(FFd, FPendingCommands.data() + done,
                                     FPendingCommands.size() - done, MSG_NOSIGNAL);
            if (w > 0) {
                done += static_cast<std::size_t>(w);
            } else if (w < 0 && errno == EAGAIN) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                pollfd p{FFd, POLLOUT, 0};
                if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) == 0)
                    err = ETIMEDOUT;
            } else if (w < 0 && errno != EINTR) {
                err = errno;
            }
        }
        FPendingCommands.erase(0, done);
        if (err == ETIMEDOUT)
            FPendingCommands.clear(); // the server reads nothing: it is as good as gone
        return err;
    }

    const bool FRfc2217;
    TTelnetParser FParser;
    std::string FPendingCommands;
    bool FOweSecondHalf = false;  // the first half of a doubled 0xFF went out alone
    bool FSecondHalfSent = false; // ... and its second half went out with a command
};

/// The modem lines and line errors an RFC 2217 server notifies; a raw TCP
/// port has no lines.
class TNetLineSource final : public LineSource {
public:
    explicit TNetLineSource(TNetTransport& io) : FIo(io) {}
    int Read(LineState& state) override {
        if (!FIo.Rfc2217())
            return ENOTTY;
        const TTelnetParser& p = FIo.Parser();
        state = LineState{};
        state.modem = p.ModemState(); // the option's bits are the MS_* bits
        state.cts = p.ModemChanges()[0];
        state.dsr = p.ModemChanges()[1];
        state.ring = p.ModemChanges()[2];
        state.dcd = p.ModemChanges()[3];
        state.brk = p.Breaks();
        state.frame = p.FrameErrors();
        state.parity = p.ParityErrors();
        state.overrun = p.Overruns();
        return 0;
    }
    bool CanWatch() override { return FIo.Rfc2217(); }
    int SetOutputs(int lines, bool on) override {
        if (!FIo.Rfc2217())
            return ENOTTY;
        int err = 0;
        if ((lines & TIOCM_DTR) != 0)
            err = FIo.SetControl(on ? 8 : 9);
        if (err == 0 && (lines & TIOCM_RTS) != 0)
            err = FIo.SetControl(on ? 11 : 12);
        return err;
    }
    int SetBreak(bool on) override { return FIo.Rfc2217() ? FIo.SetControl(on ? 5 : 6) : ENOTTY; }

private:
    TNetTransport& FIo;
};

std::shared_ptr<LineSource> TNetTransport::MakeLines(const TDeviceTraits&) {
    return std::make_shared<TNetLineSource>(*this);
}

} // namespace

std::unique_ptr<TTransport> MakeNetTransport(int fd, bool rfc2217, int* err) {
    auto io = std::make_unique<TNetTransport>(fd, rfc2217);
    *err = io->Start();
    return io;
}

} // namespace pmv::platform::detail
