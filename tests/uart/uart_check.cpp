// The host half of the UART test.
//
//   uart-check peer SOCKET RESULTS
//       The far end of the guest's ttyS1: connects to QEMU's socket character
//       device (telnet mode), answers the guest's requests (UartCases.h):
//       checks the bytes it is sent, sends its own, sends a break (IAC
//       BREAK), and writes one PASS/FAIL line per check to RESULTS.
//   uart-check report TRACE CONSOLE PEER POWEROFF
//       Prints the guest's results (CONSOLE), the peer's (PEER) and the checks
//       of QEMU's register trace (TRACE, "-trace serial_write" with
//       timestamps), then one "N passed, M failed" line. POWEROFF is
//       "off:SECONDS" when the guest powered off in time, "timeout:SECONDS"
//       when it was stopped at its limit, anything else when the emulator
//       failed. Exit status 0 only when every
//       check passed.
#include "UartCases.h"
#include "tests/machine/MachineReport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace uarttest;
using namespace machinetest;

constexpr std::uint8_t kIac = 0xFF;
constexpr std::uint8_t kIacBreak = 0xF3;
constexpr int kPeerConnectSeconds = 60;
constexpr int kPeerIdleSeconds = 240;

std::string Hex(unsigned v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02X", v);
    return buf;
}

// ---------------------------------------------------------------------------
// Peer

class TPeer {
public:
    TPeer(int fd, std::ostream& out) : m_fd(fd), m_out(out) {}
    /// Serves requests until the guest's end request or the connection ends.
    void Serve();
    TTally Tally() const { return m_tally; }

private:
    /// The next byte the guest sent, QEMU's telnet commands taken out; -1 at
    /// the end of the connection or after kPeerIdleSeconds without a byte.
    int Next();
    bool SendAll(const std::vector<std::uint8_t>& bytes);

    int m_fd;
    std::ostream& m_out;
    TTally m_tally;
    std::vector<std::uint8_t> m_buf;
    std::size_t m_pos = 0;
};

int TPeer::Next() {
    for (;;) {
        while (m_pos < m_buf.size()) {
            const std::uint8_t b = m_buf[m_pos];
            if (b != kIac) {
                ++m_pos;
                return b;
            }
            // QEMU's own option negotiation (IAC WILL/WONT/DO/DONT x); the
            // guest never sends 0xFF itself.
            if (m_buf.size() - m_pos < 3)
                break;
            m_pos += 3;
        }
        m_buf.erase(m_buf.begin(), m_buf.begin() + static_cast<std::ptrdiff_t>(m_pos));
        m_pos = 0;
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, kPeerIdleSeconds * 1000);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return -1;
        std::uint8_t chunk[4096];
        const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        m_buf.insert(m_buf.end(), chunk, chunk + n);
    }
}

bool TPeer::SendAll(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void TPeer::Serve() {
    std::size_t stray = 0;
    bool ended = false;
    for (;;) {
        int c = Next();
        if (c < 0)
            break;
        if (c != kRequestLead) {
            ++stray;
            continue;
        }
        std::string request;
        while ((c = Next()) >= 0 && c != '\n' && request.size() < 16)
            request.push_back(static_cast<char>(c));
        if (c != '\n') {
            Emit(m_out, m_tally, false, "host: request from the guest", "malformed: " + request);
            continue;
        }
        if (request == "E") {
            ended = true;
            break;
        }
        if (request == "B") {
            SendAll({kIac, kIacBreak});
            continue;
        }
        std::size_t row = std::size(kDataRows);
        if (request.size() == 2 && request[0] == 'D' && request[1] >= '0' && request[1] <= '9')
            row = static_cast<std::size_t>(request[1] - '0');
        if (row >= std::size(kDataRows)) {
            Emit(m_out, m_tally, false, "host: request from the guest", "unknown: " + request);
            continue;
        }
        const TDataRow& r = kDataRows[row];
        const std::vector<std::uint8_t> want = GuestPayload(r);
        std::vector<std::uint8_t> got;
        while (got.size() < want.size() && (c = Next()) >= 0)
            got.push_back(static_cast<std::uint8_t>(c));
        std::size_t at = 0;
        while (at < got.size() && at < want.size() && got[at] == want[at])
            ++at;
        Emit(m_out, m_tally, got == want,
             std::string("host: data ") + r.name + ": the guest's " + std::to_string(want.size()) +
                 " bytes arrive exactly",
             std::to_string(got.size()) + " bytes, first difference at " + std::to_string(at));
        std::vector<std::uint8_t> answer;
        for (std::uint8_t b : HostPayload(r)) {
            answer.push_back(b);
            if (b == kIac)
                answer.push_back(kIac); // telnet mode: a data 0xFF is doubled
        }
        SendAll(answer);
    }
    Emit(m_out, m_tally, ended, "host: the guest ended its requests", "connection ended first");
    Emit(m_out, m_tally, stray == 0, "host: no bytes outside requests",
         std::to_string(stray) + " stray bytes");
}

int RunPeer(const std::string& socketPath, const std::string& resultsPath) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof addr.sun_path) {
        std::cerr << "uart-check: socket path too long: " << socketPath << "\n";
        return 2;
    }
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    int fd = -1;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(kPeerConnectSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            break;
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::ofstream out(resultsPath);
    if (!out) {
        std::cerr << "uart-check: cannot write " << resultsPath << "\n";
        if (fd >= 0)
            ::close(fd);
        return 2;
    }
    TTally tally;
    if (fd < 0) {
        Emit(out, tally, false, "host: connect to the guest's ttyS1", std::strerror(errno));
        return 1;
    }
    TPeer peer(fd, out);
    peer.Serve();
    ::close(fd);
    return peer.Tally().failed == 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Register trace

struct TWrite {
    double t = 0; // seconds
    int addr = 0;
    std::uint8_t value = 0;
};

struct TUart {
    std::uint8_t lcr = 0;
    std::uint8_t mcr = 0;
    std::uint8_t dll = 0;
    std::uint8_t dlm = 0;
    unsigned Divisor() const { return static_cast<unsigned>(dlm) << 8 | dll; }
};

struct TSegment {
    int table = -1;
    int row = -1;
    TUart start;
    TUart end;
    std::vector<TWrite> lcrWrites;
    std::vector<TWrite> mcrWrites;
    std::string sent; // bytes written to the transmit register
};

/// Reads the serial_write lines ("PID@SEC.USEC:serial_write write addr 0xA
/// val 0xV"); other lines are skipped.
std::vector<TWrite> ReadTrace(const std::string& path, bool& timestamps) {
    std::vector<TWrite> writes;
    std::ifstream in(path);
    std::string line;
    timestamps = true;
    while (std::getline(in, line)) {
        const auto at = line.find("serial_write write addr ");
        if (at == std::string::npos)
            continue;
        unsigned addr = 0;
        unsigned value = 0;
        if (std::sscanf(line.c_str() + at, "serial_write write addr 0x%x val 0x%x", &addr,
                        &value) != 2)
            continue;
        TWrite w;
        w.addr = static_cast<int>(addr);
        w.value = static_cast<std::uint8_t>(value);
        unsigned long sec = 0;
        unsigned long usec = 0;
        const auto atSign = line.find('@');
        if (atSign != std::string::npos && atSign < at &&
            std::sscanf(line.c_str() + atSign, "@%lu.%lu:", &sec, &usec) == 2)
            w.t = static_cast<double>(sec) + static_cast<double>(usec) / 1e6;
        else
            timestamps = false;
        writes.push_back(w);
    }
    return writes;
}

/// Follows the register writes and cuts them at the guest's step markers.
std::vector<TSegment> Segment(const std::vector<TWrite>& writes) {
    std::vector<TSegment> segments;
    TUart uart;
    TSegment* current = nullptr;
    std::vector<std::uint8_t> marker;
    for (const TWrite& w : writes) {
        if (w.addr == kRegScr) {
            if (w.value == kMarkLead)
                marker = {w.value};
            else if (!marker.empty())
                marker.push_back(w.value);
            if (marker.size() == 3) {
                if (current != nullptr)
                    current->end = uart;
                segments.push_back(TSegment{});
                current = &segments.back();
                current->table = marker[1];
                current->row = marker[2];
                current->start = uart;
                marker.clear();
            }
            continue;
        }
        const bool dlab = (uart.lcr & kLcrDlab) != 0;
        switch (w.addr) {
        case kRegData:
            if (dlab)
                uart.dll = w.value;
            else if (current != nullptr)
                current->sent.push_back(static_cast<char>(w.value));
            break;
        case kRegIer:
            if (dlab)
                uart.dlm = w.value;
            break;
        case kRegLcr:
            uart.lcr = w.value;
            if (current != nullptr)
                current->lcrWrites.push_back(w);
            break;
        case kRegMcr:
            uart.mcr = w.value;
            if (current != nullptr)
                current->mcrWrites.push_back(w);
            break;
        default:
            break;
        }
    }
    if (current != nullptr)
        current->end = uart;
    return segments;
}

class TTraceChecks {
public:
    TTraceChecks(std::vector<TSegment> segments, std::ostream& out, TTally& tally)
        : m_segments(std::move(segments)), m_out(out), m_tally(tally) {}
    void Run();

private:
    const TSegment* Find(int table, int row) const;
    /// Emits a check of one step; body returns an empty text on success.
    template <class Body> void Step(int table, int row, const std::string& name, Body body);
    static std::string State(const TUart& u) {
        return "divisor " + std::to_string(u.Divisor()) + ", LCR " + Hex(u.lcr) + ", MCR " +
               Hex(u.mcr);
    }

    void OpenRaise(int row, const std::string& levels, std::uint8_t initial);

    std::vector<TSegment> m_segments;
    std::ostream& m_out;
    TTally& m_tally;
};

const TSegment* TTraceChecks::Find(int table, int row) const {
    for (const TSegment& s : m_segments)
        if (s.table == table && s.row == row)
            return &s;
    return nullptr;
}

template <class Body>
void TTraceChecks::Step(int table, int row, const std::string& name, Body body) {
    const TSegment* s = Find(table, row);
    if (s == nullptr) {
        Emit(m_out, m_tally, false, "trace: " + name, "step not in the trace");
        return;
    }
    const std::string why = body(*s);
    Emit(m_out, m_tally, why.empty(), "trace: " + name, why);
}

// The tty layer raises RTS and DTR when a port is opened; the open sequence
// then sets the initial levels. Checks that a raised line is back at its
// initial level soon, and names how long it was up.
void TTraceChecks::OpenRaise(int row, const std::string& levels, std::uint8_t initial) {
    const TSegment* s = Find(kTableLevels, row);
    const std::string name = "trace: levels " + levels + ": lines raised by the tty layer at open";
    if (s == nullptr) {
        Emit(m_out, m_tally, false, name, "step not in the trace");
        return;
    }
    const TWrite* raised = nullptr;
    const TWrite* settled = nullptr;
    for (const TWrite& w : s->mcrWrites) {
        const std::uint8_t lines = w.value & (kMcrRts | kMcrDtr);
        if (raised == nullptr && (lines & ~initial) != 0)
            raised = &w;
        else if (raised != nullptr && lines == initial) {
            settled = &w;
            break;
        }
    }
    if (raised == nullptr) {
        Emit(m_out, m_tally, true, name + ": none");
        return;
    }
    if (settled == nullptr) {
        Emit(m_out, m_tally, false, name, "MCR " + Hex(raised->value) + " never went back");
        return;
    }
    const double ms = (settled->t - raised->t) * 1000;
    char took[32];
    std::snprintf(took, sizeof took, "%.2f", ms);
    Emit(m_out, m_tally, ms <= kOpenRaiseLimitMs,
         name + ": MCR " + Hex(raised->value) + " for " + took + " ms (at most " +
             std::to_string(static_cast<int>(kOpenRaiseLimitMs)) + " ms), then the initial levels",
         std::string(took) + " ms");
}

void TTraceChecks::Run() {
    for (std::size_t i = 0; i < std::size(kBaudRows); ++i) {
        const TBaudRow& row = kBaudRows[i];
        Step(kTableBaud, static_cast<int>(i),
             "baud " + std::to_string(row.baud) + " programs divisor " +
                 std::to_string(row.divisor) + ", 8N1 kept",
             [&](const TSegment& s) {
                 return s.end.Divisor() == row.divisor && SameFormat(s.end.lcr, kLcr8N1)
                            ? std::string()
                            : State(s.end);
             });
    }

    for (int d = 0; d < 4; ++d) {
        for (int p = 0; p < 5; ++p) {
            for (int st = 0; st < 3; ++st) {
                const TDataBitsRow& bits = kDataBitsRows[d];
                const TParityRow& parity = kParityRows[p];
                const TStopBitsRow& stop = kStopBitsRows[st];
                const bool taken = (stop.takenWithBits & (1u << (5 + bits.bits))) != 0;
                const std::uint8_t lcr = bits.lcr | parity.lcr | stop.lcr;
                const std::string name = "format " +
                                         FormatName(bits.bits, parity.parity, stop.stop) +
                                         (taken ? " programs LCR " + Hex(lcr) + ", divisor 12"
                                                : " is not programmed (format unchanged)");
                Step(kTableFormat, FormatRow(d, p, st), name, [&](const TSegment& s) {
                    if (taken)
                        return SameFormat(s.end.lcr, lcr) && s.end.Divisor() == kFormatDivisor
                                   ? std::string()
                                   : State(s.end);
                    return SameFormat(s.end.lcr, s.start.lcr)
                               ? std::string()
                               : "LCR " + Hex(s.start.lcr) + " became " + Hex(s.end.lcr);
                });
            }
        }
    }

    for (std::size_t i = 0; i < std::size(kWalkRows); ++i) {
        const TWalkRow& row = kWalkRows[i];
        Step(kTableWalk, static_cast<int>(i),
             "setter " + std::to_string(i + 1) + " leaves LCR " + Hex(row.lcr) + ", divisor " +
                 std::to_string(row.divisor) + ", RTS and DTR untouched",
             [&](const TSegment& s) {
                 if (!SameFormat(s.end.lcr, row.lcr) || s.end.Divisor() != row.divisor ||
                     (s.end.mcr & (kMcrRts | kMcrDtr)) != kWalkLines)
                     return State(s.end);
                 for (const TWrite& w : s.mcrWrites)
                     if ((w.value & (kMcrRts | kMcrDtr)) != kWalkLines)
                         return "MCR passed through " + Hex(w.value);
                 return std::string();
             });
    }

    for (std::size_t i = 0; i < std::size(kLevelsRows); ++i) {
        const TLevelsRow& row = kLevelsRows[i];
        const int step = static_cast<int>(i) * kLevelsSteps;
        const std::string levels =
            std::string("RTS ") + (row.rts ? "on" : "off") + ", DTR " + (row.dtr ? "on" : "off");
        auto lines = [](bool rts, bool dtr) {
            return static_cast<std::uint8_t>((rts ? kMcrRts : 0) | (dtr ? kMcrDtr : 0));
        };
        const std::uint8_t afterSteps[] = {lines(row.rts, row.dtr), lines(!row.rts, row.dtr),
                                           lines(!row.rts, !row.dtr)};
        const char* const what[] = {"Open", "SetRTS", "SetDTR"};
        OpenRaise(step, levels, afterSteps[0]);
        for (int k = 0; k < kLevelsSteps; ++k) {
            Step(kTableLevels, step + k,
                 "levels " + levels + ": after " + what[k] + " MCR has RTS " +
                     ((afterSteps[k] & kMcrRts) ? "on" : "off") + ", DTR " +
                     ((afterSteps[k] & kMcrDtr) ? "on" : "off"),
                 [&](const TSegment& s) {
                     return (s.end.mcr & (kMcrRts | kMcrDtr)) == afterSteps[k] ? std::string()
                                                                               : State(s.end);
                 });
        }
    }

    double lastDuration = 0;
    for (std::size_t i = 0; i < std::size(kBreakMs); ++i) {
        const int ms = kBreakMs[i];
        Step(kTableBreak, static_cast<int>(i),
             "break " + std::to_string(ms) + " ms: LCR break bit set, then cleared " +
                 std::to_string(ms) + " ms or more later" +
                 (i > 0 ? ", longer than the shorter break" : ""),
             [&](const TSegment& s) {
                 const TWrite* on = nullptr;
                 const TWrite* off = nullptr;
                 for (const TWrite& w : s.lcrWrites) {
                     if (on == nullptr && (w.value & kLcrBreak) != 0)
                         on = &w;
                     else if (on != nullptr && off == nullptr && (w.value & kLcrBreak) == 0)
                         off = &w;
                 }
                 if (on == nullptr || off == nullptr)
                     return std::string(on == nullptr ? "break bit never set"
                                                      : "break bit never cleared");
                 if (!SameFormat(on->value, s.start.lcr))
                     return "the break write changed the format: " + Hex(on->value);
                 const double took = off->t - on->t;
                 const std::string measured =
                     "held " + std::to_string(static_cast<int>(took * 1000)) + " ms";
                 // The guest's clock runs on the host's; allow a little
                 // rounding below, and a busy machine's delays above.
                 const bool ok = took >= ms * 0.9e-3 && took <= ms * 1e-3 + 5.0 &&
                                 (i == 0 || took > lastDuration);
                 lastDuration = took;
                 return ok ? std::string() : measured;
             });
    }

    for (std::size_t i = 0; i < std::size(kDataRows); ++i) {
        const TDataRow& row = kDataRows[i];
        const std::vector<std::uint8_t> payload = GuestPayload(row);
        std::string block = std::string(1, kRequestLead) + "D" + std::to_string(i) + "\n";
        block.append(payload.begin(), payload.end());
        Step(kTableData, static_cast<int>(i),
             std::string("data ") + row.name + ": divisor " + std::to_string(row.divisor) +
                 ", LCR " + Hex(row.lcr) + ", the " + std::to_string(block.size()) +
                 " bytes written to the transmit register in order",
             [&](const TSegment& s) {
                 if (s.end.Divisor() != row.divisor || !SameFormat(s.end.lcr, row.lcr))
                     return State(s.end);
                 if (s.sent != block)
                     return std::to_string(s.sent.size()) + " bytes written, not the block";
                 return std::string();
             });
    }

    for (std::size_t i = 0; i < std::size(kLoopRows); ++i) {
        const TLoopRow& row = kLoopRows[i];
        static constexpr const char* kDriven[] = {"RTS", "DTR", "OUT1"};
        Step(kTableLoop, static_cast<int>(i),
             std::string("loopback: ") + kDriven[row.drive] + (row.level ? " on" : " off") +
                 ": MCR has LOOP and RTS/DTR/OUT1 = " + Hex(row.mcr),
             [&](const TSegment& s) {
                 const std::uint8_t lines = s.end.mcr & (kMcrRts | kMcrDtr | kMcrOut1);
                 return (s.end.mcr & kMcrLoop) != 0 && lines == row.mcr ? std::string()
                                                                        : State(s.end);
             });
    }
}

// ---------------------------------------------------------------------------
// Report

int RunReport(const std::string& tracePath, const std::string& consolePath,
              const std::string& peerPath, const std::string& poweroff) {
    TTally tally;
    std::ostream& out = std::cout;

    const bool haveConsole =
        CopyResults(consolePath, "guest (" + consolePath + ")", out, tally, true);
    if (!haveConsole)
        Emit(out, tally, false, "guest: console output", "missing: " + consolePath);
    std::ifstream consoleIn(consolePath);
    const std::string console((std::istreambuf_iterator<char>(consoleIn)),
                              std::istreambuf_iterator<char>());
    Emit(out, tally, console.find("guest: uart-guest exited with 0") != std::string::npos,
         "guest: the guest program ran to its end and exited 0",
         "no clean exit in the console output");
    if (!CopyResults(peerPath, "host peer", out, tally, false))
        Emit(out, tally, false, "host: peer results", "missing: " + peerPath);

    out << "== register trace (" << tracePath << ")\n";
    bool timestamps = true;
    const std::vector<TWrite> writes = ReadTrace(tracePath, timestamps);
    Emit(out, tally, !writes.empty() && timestamps,
         "trace: serial_write events with timestamps recorded",
         writes.empty() ? "no serial_write line" : "lines without timestamps");
    TTraceChecks checks(Segment(writes), out, tally);
    checks.Run();

    out << "== machine\n";
    EmitPowerOff(out, tally, poweroff, console);

    out << tally.passed << " passed, " << tally.failed << " failed\n";
    return tally.failed == 0 && tally.passed > 0 ? 0 : 1;
}

void Usage(std::ostream& out) {
    out << "usage: uart-check peer SOCKET RESULTS\n"
           "       uart-check report TRACE CONSOLE PEER off:SECONDS|timeout:SECONDS\n"
           "The host side of the UART test (see tests/uart/run-uart-test.sh).\n";
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        Usage(std::cout);
        return 0;
    }
    if (args.size() == 3 && args[0] == "peer")
        return RunPeer(args[1], args[2]);
    if (args.size() == 5 && args[0] == "report")
        return RunReport(args[1], args[2], args[3], args[4]);
    Usage(std::cerr);
    return 2;
}
