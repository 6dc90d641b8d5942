// The guest half of the UART test: runs inside the emulated machine against
// /dev/ttyS1, an emulated 16550A driven by the Linux 8250 driver, which the
// device map lists as COM2. It drives the serial component (TLNKCOMPort and
// its workers) and the platform layer through the tables of UartCases.h,
// prints one "PASS name" or "FAIL name: detail" line per check, and marks
// each step in the UART's scratch register so the host can match QEMU's
// register trace to it.
//
// Usage: uart-guest (as root: the markers need port I/O access)
#include "UartCases.h"
#include "comport/LnkText.h"
#include "comport/Lnkcomport.h"
#include "comport/Lnkindicator.h"
#include "platform/DeviceMap.h"
#include "platform/winapi.h"
#include "tests/support/Wait.h"

#include <QApplication>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace uarttest;
using namespace QORLNK;
using pmvtest::RunEventsFor;
using pmvtest::WaitUntil;

constexpr int kComNumber = 2;
constexpr const char* kDevice = "/dev/ttyS1";
constexpr unsigned short kScratchPort = 0x2F8 + kRegScr;
constexpr unsigned kNobody = 65534;
// Modem-control bits of TIOCMBIS/TIOCMBIC that glibc does not name
// (<asm-generic/termios.h>, which clashes with <termios.h>).
constexpr int kTiocmOut1 = 0x2000;
constexpr int kTiocmLoop = 0x8000;

std::string Hex(unsigned v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02X", v);
    return buf;
}

/// Opens the device as the user nobody in a child process, as another program
/// that does not lock would: empty when refused with EBUSY, else what happened.
/// The exclusive flag stops such openers unless they are root, and the guest
/// program runs as root.
std::string ForeignOpenRefused() {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(2);
        const int fd = ::open(kDevice, O_RDWR | O_NOCTTY | O_NONBLOCK);
        ::_exit(fd >= 0 ? 1 : (errno == EBUSY ? 0 : 10 + std::min(errno, 200)));
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child)
        return "fork failed";
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 2)
        return "could not become nobody";
    const int code = WEXITSTATUS(status);
    if (code == 1)
        return "the open succeeded";
    return code == 0 ? std::string()
                     : "refused with errno " + std::to_string(code - 10) + " (" +
                           std::strerror(code - 10) + ")";
}

struct TReportRecord {
    std::string func;
    std::string desc;
    int err = 0;
};

struct TLineRecord {
    int count = 0;
    bool level = false;
};

class TGuest {
public:
    TGuest();
    ~TGuest();
    /// Runs every check; the number of failed checks.
    int Run();

private:
    void CheckDeviceMap();
    void CheckOpenClose();
    void CheckBaudRates();
    void CheckFormats();
    void CheckSetterWalk();
    void CheckLevels();
    void CheckTxBreak();
    void CheckData();
    void CheckRxBreak();
    void CheckLoopback();

    void Check(bool ok, const std::string& name, const std::string& detail = {});
    /// Runs a check whose body returns an empty text on success, else why not.
    void Check(const std::string& name, const std::function<std::string()>& body);
    void Mark(int table, int row);
    bool EnsureOpen();
    void EnsureClosed();
    /// Sends a block and waits until the transmit worker reports it written.
    bool Send(const std::string& block);
    /// Compares the open port's GetCommState with the component's properties.
    std::string ReadBack();
    std::string ReportsText() const;
    bool ReportsAre(const char* func, const char* desc, int err) const;
    bool Lamp(TIndicatorType type) const { return m_lamps[type]->StateOn(); }

    TLNKCOMPort m_port;
    std::array<TLNKCOMIndicator*, IndicatorCount> m_lamps{};
    std::vector<TReportRecord> m_reports;
    int m_opens = 0;
    int m_closes = 0;
    int m_breaks = 0;
    int m_rxErrors = 0;
    int m_txDone = 0;
    int m_txLen = 0;
    std::string m_rx;
    TLineRecord m_cts;
    TLineRecord m_dsr;
    TLineRecord m_ri;
    TLineRecord m_cd;
    bool m_markers = false;
    int m_passed = 0;
    int m_failed = 0;
};

TGuest::TGuest() {
    for (int i = 0; i < IndicatorCount; ++i) {
        m_lamps[i] = new TLNKCOMIndicator();
        m_port.SetIndicator(static_cast<TIndicatorType>(i), m_lamps[i]);
    }
    // Pulses (a received break) stay visible long enough to be looked at.
    m_lamps[itBRK]->SetOnTime(5000);
    m_lamps[itERR]->SetOnTime(5000);
    m_port.OnReport = [this](TLNKCOMPort*, TReportType, const std::string& func,
                             const std::string& desc, const std::string&, int, int err) {
        m_reports.push_back({func, desc, err});
    };
    m_port.OnOpen = [this](TLNKCOMPort*) { ++m_opens; };
    m_port.OnClose = [this](TLNKCOMPort*) { ++m_closes; };
    m_port.OnRxChar = [this](TLNKCOMRxThread*, char c) { m_rx.push_back(c); };
    m_port.OnTxData = [this](TLNKCOMTxThread*, int len) {
        ++m_txDone;
        m_txLen = len;
    };
    m_port.OnRxBreak = [this](TLNKCOMStatusThread*) { ++m_breaks; };
    m_port.OnRxError = [this](TLNKCOMStatusThread*) { ++m_rxErrors; };
    auto line = [](TLineRecord& rec) {
        return [&rec](TLNKCOMStatusThread*, bool level) {
            ++rec.count;
            rec.level = level;
        };
    };
    m_port.OnCTS = line(m_cts);
    m_port.OnDSR = line(m_dsr);
    m_port.OnRI = line(m_ri);
    m_port.OnCD = line(m_cd);
    m_markers = ::ioperm(kScratchPort, 1, 1) == 0;
}

TGuest::~TGuest() {
    m_port.Close();
    for (TLNKCOMIndicator* lamp : m_lamps)
        delete lamp;
}

void TGuest::Check(bool ok, const std::string& name, const std::string& detail) {
    if (ok) {
        ++m_passed;
        std::printf("PASS %s\n", name.c_str());
    } else {
        ++m_failed;
        std::printf("FAIL %s: %s\n", name.c_str(), detail.empty() ? "failed" : detail.c_str());
    }
    std::fflush(stdout);
}

void TGuest::Check(const std::string& name, const std::function<std::string()>& body) {
    const std::string why = body();
    Check(why.empty(), name, why);
}

void TGuest::Mark(int table, int row) {
    if (!m_markers)
        return;
    ::outb(kMarkLead, kScratchPort);
    ::outb(static_cast<unsigned char>(table), kScratchPort);
    ::outb(static_cast<unsigned char>(row), kScratchPort);
}

bool TGuest::EnsureOpen() {
    return m_port.GetOpened() || m_port.Open();
}

void TGuest::EnsureClosed() {
    if (m_port.GetOpened())
        m_port.Close();
}

bool TGuest::Send(const std::string& block) {
    const int before = m_txDone;
    if (!m_port.TxData(block.data(), static_cast<int>(block.size())))
        return false;
    return WaitUntil([&] { return m_txDone > before; }) &&
           m_txLen == static_cast<int>(block.size());
}

std::string TGuest::ReadBack() {
    DCB d{};
    if (!GetCommState(m_port.GetHandle(), &d))
        return "GetCommState failed, error " + std::to_string(GetLastError());
    const unsigned baud = static_cast<unsigned>(BaudRateValue(m_port.BaudRate()));
    if (d.BaudRate != baud || d.ByteSize != 5 + m_port.DataBits() || d.Parity != m_port.Parity() ||
        d.StopBits != m_port.StopBits())
        return "GetCommState reads " + std::to_string(d.BaudRate) + " " +
               std::to_string(d.ByteSize) + "/" + std::to_string(d.Parity) + "/" +
               std::to_string(d.StopBits) + ", the component holds " + m_port.GetBaudRateStr() +
               " " + FormatName(m_port.DataBits(), m_port.Parity(), m_port.StopBits());
    return {};
}

std::string TGuest::ReportsText() const {
    std::string text;
    for (const TReportRecord& r : m_reports)
        text += (text.empty() ? "" : "; ") + r.func + "/" + r.desc + "/" + std::to_string(r.err);
    return text.empty() ? "no report" : "reports " + text;
}

bool TGuest::ReportsAre(const char* func, const char* desc, int err) const {
    return m_reports.size() == 1 && m_reports[0].func == func && m_reports[0].desc == desc &&
           m_reports[0].err == err;
}

// ---------------------------------------------------------------------------

void TGuest::CheckDeviceMap() {
    Check("device map: COM2 is /dev/ttyS1 by the default rule, no other port", [] {
        const auto map = pmv::platform::ReadDeviceMap();
        std::string text;
        for (const auto& e : map)
            text += " COM" + std::to_string(e.comNumber) + "=" + e.device;
        if (map.size() != 1 || map[0].comNumber != kComNumber || map[0].device != kDevice)
            return "map holds" + (text.empty() ? std::string(" nothing") : text);
        return std::string();
    });
    Check(m_port.Port() == kComNumber, "component: first present port is COM2",
          "Port is " + m_port.GetPortStr());
}

void TGuest::CheckOpenClose() {
    TLNKCOMPort other;
    std::vector<TReportRecord> otherReports;
    other.OnReport = [&otherReports](TLNKCOMPort*, TReportType, const std::string& func,
                                     const std::string& desc, const std::string&, int, int err) {
        otherReports.push_back({func, desc, err});
    };
    other.SetPort1(kComNumber);

    struct TStep {
        const char* name;
        std::function<std::string()> run;
    };
    const TStep steps[] = {
        {"open: Open succeeds, OnOpen once",
         [&] {
             m_reports.clear();
             if (!m_port.Open() || !m_port.GetOpened())
                 return "Open failed: " + ReportsText();
             return m_opens == 1 && m_reports.empty() ? std::string() : ReportsText();
         }},
        {"open: the lamps show the lines as read (CTS, DSR, CD on, RI off), RX TX BRK ERR off",
         [&] {
             bool cts = false, dsr = false, ri = true, cd = false;
             if (!m_port.GetCTS(cts) || !m_port.GetDSR(dsr) || !m_port.GetRI(ri) ||
                 !m_port.GetCD(cd))
                 return "line read failed: " + ReportsText();
             if (!cts || !dsr || !cd || ri)
                 return std::string("the socket's fixed lines read otherwise");
             if (Lamp(itCTS) != cts || Lamp(itDSR) != dsr || Lamp(itCD) != cd || Lamp(itRI) != ri ||
                 Lamp(itRX) || Lamp(itTX) || Lamp(itBRK) || Lamp(itERR))
                 return std::string("a lamp differs from its line");
             return std::string();
         }},
        {"open: another program's plain open() as a normal user is refused (EBUSY)",
         ForeignOpenRefused},
        {"open: a second component is refused (CreateFile, access denied)",
         [&] {
             otherReports.clear();
             if (other.Open())
                 return std::string("the second Open succeeded");
             if (otherReports.size() != 1 || otherReports[0].func != "OpenCOMPort" ||
                 otherReports[0].desc != "CreateFile" || otherReports[0].err != ERROR_ACCESS_DENIED)
                 return std::string("unexpected reports");
             return std::string();
         }},
        {"open: a second CreateFileA is refused with ERROR_ACCESS_DENIED",
         [&] {
             HANDLE h = CreateFileA("\\\\.\\COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
             if (h != INVALID_HANDLE_VALUE) {
                 CloseHandle(h);
                 return std::string("the second handle was granted");
             }
             const DWORD err = GetLastError();
             return err == ERROR_ACCESS_DENIED ? std::string() : "error " + std::to_string(err);
         }},
        {"open: after the refused openers, a normal user's plain open() is still refused",
         ForeignOpenRefused},
        {"open: Close closes, OnClose once",
         [&] {
             m_port.Close();
             return !m_port.GetOpened() && m_closes == 1 ? std::string()
                                                         : "still open or OnClose missing";
         }},
        {"open: another component opens the port once it is closed",
         [&] {
             otherReports.clear();
             if (!other.Open())
                 return std::string("refused");
             other.Close();
             return std::string();
         }},
        {"open: the port reopens, OnOpen again",
         [&] {
             m_reports.clear();
             if (!m_port.Open())
                 return "Open failed: " + ReportsText();
             return m_opens == 2 ? std::string() : std::string("OnOpen not raised");
         }},
    };
    for (const TStep& step : steps)
        Check(step.name, step.run);
}

void TGuest::CheckBaudRates() {
    if (!EnsureOpen())
        return Check(false, "baud rates", "port does not open: " + ReportsText());
    for (std::size_t i = 0; i < std::size(kBaudRows); ++i) {
        const TBaudRow& row = kBaudRows[i];
        m_reports.clear();
        Mark(kTableBaud, static_cast<int>(i));
        m_port.SetBaudRate(row.rate);
        Check("baud " + std::to_string(row.baud) + ": SetBaudRate on the open port, read back",
              [&] {
                  if (m_port.BaudRate() != row.rate)
                      return "property kept " + m_port.GetBaudRateStr() + ", " + ReportsText();
                  if (!m_reports.empty())
                      return ReportsText();
                  return ReadBack();
              });
    }
}

void TGuest::CheckFormats() {
    for (int d = 0; d < 4; ++d) {
        for (int p = 0; p < 5; ++p) {
            for (int s = 0; s < 3; ++s) {
                const TDataBitsRow& bits = kDataBitsRows[d];
                const TParityRow& parity = kParityRows[p];
                const TStopBitsRow& stop = kStopBitsRows[s];
                const bool taken = (stop.takenWithBits & (1u << (5 + bits.bits))) != 0;
                Mark(kTableFormat, kRowSetUp);
                EnsureClosed();
                m_port.SetBaudRate(br9600);
                m_port.SetDataBits(bits.bits);
                m_port.SetParity(parity.parity);
                m_port.SetStopBits(stop.stop);
                m_reports.clear();
                Mark(kTableFormat, FormatRow(d, p, s));
                const bool opened = m_port.Open();
                const std::string name = "format " +
                                         FormatName(bits.bits, parity.parity, stop.stop) +
                                         (taken ? ": Open applies it, read back"
                                                : ": Open refuses it (SetCommState, error 87)");
                Check(name, [&] {
                    if (!taken) {
                        if (opened)
                            return std::string("the port opened");
                        return ReportsAre("OpenCOMPort", "SetCommState", ERROR_INVALID_PARAMETER)
                                   ? std::string()
                                   : ReportsText();
                    }
                    if (!opened)
                        return "Open failed: " + ReportsText();
                    return m_reports.empty() ? ReadBack() : ReportsText();
                });
            }
        }
    }
}

void TGuest::CheckSetterWalk() {
    Mark(kTableWalk, kRowSetUp);
    EnsureClosed();
    m_port.SetBaudRate(br9600);
    m_port.SetDataBits(db8);
    m_port.SetParity(paNone);
    m_port.SetStopBits(sb1);
    m_port.SetRTSInitialLevel((kWalkLines & kMcrRts) != 0);
    m_port.SetDTRInitialLevel((kWalkLines & kMcrDtr) != 0);
    if (!m_port.Open())
        return Check(false, "setters", "port does not open: " + ReportsText());
    static constexpr const char* kRoutine[] = {"SetDataBits", "SetBaudParity", "SetStopBits",
                                               "SetBaudRate"};
    for (std::size_t i = 0; i < std::size(kWalkRows); ++i) {
        const TWalkRow& row = kWalkRows[i];
        auto current = [&] {
            switch (row.setter) {
            case kSetDataBits:
                return static_cast<int>(m_port.DataBits());
            case kSetParity:
                return static_cast<int>(m_port.Parity());
            case kSetStopBits:
                return static_cast<int>(m_port.StopBits());
            default:
                return static_cast<int>(m_port.BaudRate());
            }
        };
        const int before = current();
        std::string what;
        m_reports.clear();
        Mark(kTableWalk, static_cast<int>(i));
        switch (row.setter) {
        case kSetDataBits:
            what = "SetDataBits(" + DataBitsStr(static_cast<TDataBits>(row.value)) + ")";
            m_port.SetDataBits(static_cast<TDataBits>(row.value));
            break;
        case kSetParity:
            what = "SetParity(" + ParityStr(static_cast<TParity>(row.value)) + ")";
            m_port.SetParity(static_cast<TParity>(row.value));
            break;
        case kSetStopBits:
            what = "SetStopBits(" + StopBitsStr(static_cast<TStopBits>(row.value)) + ")";
            m_port.SetStopBits(static_cast<TStopBits>(row.value));
            break;
        case kSetBaudRate:
            what = "SetBaudRate(" + BaudRateStr(static_cast<TBaudRate>(row.value)) + ")";
            m_port.SetBaudRate(static_cast<TBaudRate>(row.value));
            break;
        }
        const std::string name = "setter " + std::to_string(i + 1) + " " + what +
                                 (row.taken ? " on the open port: taken, read back"
                                            : " on the open port: refused, nothing changes");
        Check(name, [&] {
            if (current() != (row.taken ? row.value : before))
                return std::string("property holds ") + std::to_string(current());
            if (row.taken
                    ? !m_reports.empty()
                    : !ReportsAre(kRoutine[row.setter], "SetCommState", ERROR_INVALID_PARAMETER))
                return ReportsText();
            if (Lamp(itRTS) != ((kWalkLines & kMcrRts) != 0) ||
                Lamp(itDTR) != ((kWalkLines & kMcrDtr) != 0))
                return std::string("RTS/DTR lamps moved");
            return ReadBack();
        });
    }
}

void TGuest::CheckLevels() {
    for (std::size_t i = 0; i < std::size(kLevelsRows); ++i) {
        const TLevelsRow& row = kLevelsRows[i];
        const int step = static_cast<int>(i) * kLevelsSteps;
        const std::string levels =
            std::string("RTS ") + (row.rts ? "on" : "off") + ", DTR " + (row.dtr ? "on" : "off");
        Mark(kTableLevels, kRowSetUp);
        EnsureClosed();
        m_port.SetRTSInitialLevel(row.rts);
        m_port.SetDTRInitialLevel(row.dtr);
        m_reports.clear();
        Mark(kTableLevels, step);
        const bool opened = m_port.Open();
        Check("levels " + levels + ": Open with these initial levels, lamps follow", [&] {
            if (!opened)
                return "Open failed: " + ReportsText();
            return Lamp(itRTS) == row.rts && Lamp(itDTR) == row.dtr ? std::string()
                                                                    : "lamps differ";
        });
        Mark(kTableLevels, step + 1);
        Check("levels " + levels + ": SetRTS(" + (row.rts ? "off" : "on") + ")", [&] {
            if (!m_port.SetRTS(!row.rts))
                return ReportsText();
            return Lamp(itRTS) == !row.rts && Lamp(itDTR) == row.dtr ? std::string()
                                                                     : "lamps differ";
        });
        Mark(kTableLevels, step + 2);
        Check("levels " + levels + ": SetDTR(" + (row.dtr ? "off" : "on") + ")", [&] {
            if (!m_port.SetDTR(!row.dtr))
                return ReportsText();
            return Lamp(itRTS) == !row.rts && Lamp(itDTR) == !row.dtr ? std::string()
                                                                      : "lamps differ";
        });
    }
}

void TGuest::CheckTxBreak() {
    if (!EnsureOpen())
        return Check(false, "breaks", "port does not open: " + ReportsText());
    for (std::size_t i = 0; i < std::size(kBreakMs); ++i) {
        const int ms = kBreakMs[i];
        m_reports.clear();
        Mark(kTableBreak, static_cast<int>(i));
        const bool on = m_port.SetTxBreak(true);
        RunEventsFor(ms);
        const bool lampDuring = Lamp(itBRK);
        const bool off = m_port.SetTxBreak(false);
        Mark(kTableBreak, kRowSetUp);
        Check("break " + std::to_string(ms) + " ms: SetTxBreak on and off, BRK lamp stays off",
              [&] {
                  if (!on || !off)
                      return ReportsText();
                  return lampDuring || Lamp(itBRK) ? std::string("BRK lamp lit") : std::string();
              });
    }
}

void TGuest::CheckData() {
    if (!EnsureOpen())
        return Check(false, "data", "port does not open: " + ReportsText());
    for (std::size_t i = 0; i < std::size(kDataRows); ++i) {
        const TDataRow& row = kDataRows[i];
        Mark(kTableData, kRowSetUp);
        m_reports.clear();
        // From any format to any other without a refused pair in between.
        m_port.SetStopBits(sb1);
        m_port.SetDataBits(row.bits);
        m_port.SetParity(row.parity);
        m_port.SetStopBits(row.stop);
        m_port.SetBaudRate(row.rate);
        const std::string name = std::string("data ") + row.name;
        Check(name + ": setters on the open port, read back", [&] {
            if (m_port.BaudRate() != row.rate || m_port.DataBits() != row.bits ||
                m_port.Parity() != row.parity || m_port.StopBits() != row.stop)
                return "properties not taken: " + ReportsText();
            return ReadBack();
        });
        const std::vector<std::uint8_t> out = GuestPayload(row);
        const std::vector<std::uint8_t> in = HostPayload(row);
        std::string block = std::string(1, kRequestLead) + "D" + std::to_string(i) + "\n";
        block.append(out.begin(), out.end());
        m_rx.clear();
        Mark(kTableData, static_cast<int>(i));
        Check(name + ": " + std::to_string(block.size()) + " bytes written (OnTxData)",
              [&] { return Send(block) ? std::string() : "not written: " + ReportsText(); });
        WaitUntil([&] { return m_rx.size() >= in.size(); });
        RunEventsFor(300); // anything beyond the answer would show now
        Check(name + ": the host's " + std::to_string(in.size()) + " bytes arrive exactly", [&] {
            const std::string want(in.begin(), in.end());
            if (m_rx == want)
                return std::string();
            std::size_t at = 0;
            while (at < m_rx.size() && at < want.size() && m_rx[at] == want[at])
                ++at;
            return std::to_string(m_rx.size()) + " bytes, first difference at " +
                   std::to_string(at);
        });
    }
}

void TGuest::CheckRxBreak() {
    Mark(kTableData, kRowSetUp);
    if (!EnsureOpen())
        return Check(false, "received break", "port does not open: " + ReportsText());
    m_port.SetParity(paNone);
    m_port.SetDataBits(db8);
    m_port.SetStopBits(sb1);
    m_port.SetBaudRate(br115200);
    m_rx.clear();
    m_breaks = 0;
    m_rxErrors = 0;
    const bool asked = Send(std::string(1, kRequestLead) + "B\n");
    const bool seen = WaitUntil([&] { return m_breaks > 0; });
    const bool lampLit = Lamp(itBRK);
    RunEventsFor(300);
    DWORD errors = 0;
    const bool cleared = ClearCommError(m_port.GetHandle(), &errors, nullptr) != 0;

    struct TExpect {
        const char* name;
        bool ok;
        std::string detail;
    };
    const TExpect expects[] = {
        {"received break: OnRxBreak raised once", asked && seen && m_breaks == 1,
         asked ? std::to_string(m_breaks) + " OnRxBreak" : "request not sent"},
        {"received break: BRK lamp lit for its on-time", lampLit, "lamp off"},
        {"received break: no OnRxError (a break is not a framing, parity or overrun error)",
         m_rxErrors == 0, std::to_string(m_rxErrors) + " OnRxError"},
        {"received break: ClearCommError reports CE_BREAK", cleared && (errors & CE_BREAK) != 0,
         cleared ? "errors " + Hex(errors) : std::string("ClearCommError failed")},
        {"received break: it reads as one 0x00 byte", m_rx == std::string(1, '\0'),
         std::to_string(m_rx.size()) + " bytes"},
    };
    for (const TExpect& e : expects)
        Check(e.ok, e.name, e.detail);
}

void TGuest::CheckLoopback() {
    Mark(kTableLoop, kRowSetUp);
    if (!EnsureOpen())
        return Check(false, "loopback", "port does not open: " + ReportsText());
    // A second descriptor for what the component has no call for: the UART's
    // loopback switch and OUT1. Opening it raises RTS and DTR (the tty layer
    // does so at every open), so the component sets them afterwards.
    const int fd = ::open(kDevice, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int loop = kTiocmLoop;
    int out1 = kTiocmOut1;
    const bool ready = fd >= 0 && ::ioctl(fd, TIOCMBIC, &out1) == 0 && m_port.SetRTS(false) &&
                       m_port.SetDTR(false) && ::ioctl(fd, TIOCMBIS, &loop) == 0;
    Check(ready, "loopback: loopback mode on (TIOCM_LOOP), RTS DTR OUT1 off",
          fd < 0 ? "second descriptor refused" : ReportsText());
    if (!ready) {
        if (fd >= 0)
            ::close(fd);
        return;
    }
    // The status worker has caught up with entering loopback once its lamps
    // show the looped-back lines, all off.
    WaitUntil([&] { return !Lamp(itCTS) && !Lamp(itDSR) && !Lamp(itRI); });
    RunEventsFor(100);
    static constexpr const char* kDriven[] = {"RTS", "DTR", "OUT1"};
    static constexpr const char* kRead[] = {"CTS", "DSR", "RI"};
    static constexpr TIndicatorType kLamp[] = {itCTS, itDSR, itRI};
    TLineRecord* const records[] = {&m_cts, &m_dsr, &m_ri};
    for (std::size_t i = 0; i < std::size(kLoopRows); ++i) {
        const TLoopRow& row = kLoopRows[i];
        int counts[3];
        for (int l = 0; l < 3; ++l)
            counts[l] = records[l]->count;
        m_reports.clear();
        Mark(kTableLoop, static_cast<int>(i));
        bool driven = false;
        if (row.drive == kLoopRts)
            driven = m_port.SetRTS(row.level);
        else if (row.drive == kLoopDtr)
            driven = m_port.SetDTR(row.level);
        else
            driven = ::ioctl(fd, row.level ? TIOCMBIS : TIOCMBIC, &out1) == 0;
        TLineRecord& rec = *records[row.drive];
        const bool seen = driven && WaitUntil([&] {
                              return rec.count > counts[row.drive] && rec.level == row.level;
                          });
        RunEventsFor(100); // an event on another line would show now
        const std::string name = std::string("loopback: ") + kDriven[row.drive] +
                                 (row.level ? " on" : " off") + " raises On" + kRead[row.drive] +
                                 "(" + (row.level ? "true" : "false") + "), " + kRead[row.drive] +
                                 " lamp and line follow";
        Check(name, [&] {
            if (!driven)
                return "not driven: " + ReportsText();
            if (!seen)
                return std::string("no event with that level");
            bool level = !row.level;
            const bool read = row.drive == kLoopRts   ? m_port.GetCTS(level)
                              : row.drive == kLoopDtr ? m_port.GetDSR(level)
                                                      : m_port.GetRI(level);
            if (!read || level != row.level)
                return std::string("line reads otherwise");
            if (Lamp(kLamp[row.drive]) != row.level)
                return std::string("lamp differs");
            for (int l = 0; l < 3; ++l)
                if (l != row.drive && records[l]->count != counts[l])
                    return std::string("an event on ") + kRead[l] + " as well";
            return std::string();
        });
    }
    Mark(kTableLoop, kRowSetUp);
    ::ioctl(fd, TIOCMBIC, &loop);
    ::close(fd);
}

int TGuest::Run() {
    Check(m_markers, "guest: port I/O for step markers", "ioperm refused");
    CheckDeviceMap();
    CheckOpenClose();
    CheckBaudRates();
    CheckFormats();
    CheckSetterWalk();
    CheckLevels();
    CheckTxBreak();
    CheckData();
    CheckRxBreak();
    CheckLoopback();
    if (EnsureOpen())
        Send(std::string(1, kRequestLead) + "E\n");
    m_port.Close();
    std::printf("guest: %d passed, %d failed\n", m_passed, m_failed);
    std::fflush(stdout);
    return m_failed;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        std::fprintf(stderr, "usage: uart-guest\n"
                             "Runs the serial checks against COM2 (/dev/ttyS1) in the test "
                             "machine.\n");
        return 2;
    }
    QApplication app(argc, argv);
    TGuest guest;
    return guest.Run() == 0 ? 0 : 1;
}
