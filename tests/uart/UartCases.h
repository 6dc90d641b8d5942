// The tables both sides of the UART test share: the guest program walks them
// through the serial component, the host checks QEMU's register trace and
// the bytes on the socket against the same rows.
//
// Register values are those of a 16550A clocked at 1.8432 MHz as the Linux
// 8250 driver programs it: divisor = round(115200 / baud); LCR = word length
// | stop bit | parity enable | even parity | stick parity.
//
// The guest marks each step in the trace by writing kMarkLead, the table id
// and the row to the UART's scratch register (which the driver never uses
// once the port has been probed), so that the host can cut the trace into
// one segment per step.
#pragma once

#include "comport/LnkText.h"
#include "comport/LnkTypes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace uarttest {

using QORLNK::TBaudRate;
using QORLNK::TDataBits;
using QORLNK::TParity;
using QORLNK::TStopBits;

// ---- 16550 registers (offsets from the port base) and bits ----
constexpr int kRegData = 0; // THR; DLL while DLAB is set
constexpr int kRegIer = 1;  // IER; DLM while DLAB is set
constexpr int kRegLcr = 3;
constexpr int kRegMcr = 4;
constexpr int kRegScr = 7;

constexpr std::uint8_t kLcrStop = 0x04;
constexpr std::uint8_t kLcrParityEnable = 0x08;
constexpr std::uint8_t kLcrParitySelect = 0x30; // even and stick: void without parity enable
constexpr std::uint8_t kLcrBreak = 0x40;
constexpr std::uint8_t kLcrDlab = 0x80;
constexpr std::uint8_t kLcrFormat = 0x3F; // word length, stop bit, parity bits

/// True when LCR value actual programs the line format expected. Without
/// parity the driver leaves the even-parity bit set; it means nothing then.
constexpr bool SameFormat(std::uint8_t actual, std::uint8_t expected) {
    const std::uint8_t mask = (expected & kLcrParityEnable) != 0
                                  ? kLcrFormat
                                  : static_cast<std::uint8_t>(kLcrFormat & ~kLcrParitySelect);
    return (actual & mask) == (expected & mask);
}

constexpr std::uint8_t kMcrDtr = 0x01;
constexpr std::uint8_t kMcrRts = 0x02;
constexpr std::uint8_t kMcrOut1 = 0x04;
constexpr std::uint8_t kMcrLoop = 0x10;

// ---- step markers ----
constexpr std::uint8_t kMarkLead = 0xE7;
/// Row of a marker that starts set-up work no check looks at.
constexpr std::uint8_t kRowSetUp = 0xFF;
enum TTableId : std::uint8_t {
    kTableBaud = 1,
    kTableFormat = 2,
    kTableWalk = 3,
    kTableLevels = 4,
    kTableBreak = 5,
    kTableData = 6,
    kTableLoop = 7,
};

// ---- baud rates: every TBaudRate value, set on the open port ----
struct TBaudRow {
    TBaudRate rate;
    unsigned baud;    // GetCommState's BaudRate
    unsigned divisor; // DLM:DLL
};
// clang-format off
constexpr TBaudRow kBaudRows[] = {
    {QORLNK::br110,       110, 1047},
    {QORLNK::br300,       300,  384},
    {QORLNK::br600,       600,  192},
    {QORLNK::br1200,     1200,   96},
    {QORLNK::br2400,     2400,   48},
    {QORLNK::br4800,     4800,   24},
    {QORLNK::br9600,     9600,   12},
    {QORLNK::br19200,   19200,    6},
    {QORLNK::br38400,   38400,    3},
    {QORLNK::br57600,   57600,    2},
    {QORLNK::br115200, 115200,    1},
};
// clang-format on
/// The line format while the baud rates are walked: 8N1.
constexpr std::uint8_t kLcr8N1 = 0x03;

// ---- line formats: every data bits x parity x stop bits, applied by Open ----
struct TDataBitsRow {
    TDataBits bits;
    std::uint8_t lcr; // word length field
};
constexpr TDataBitsRow kDataBitsRows[] = {
    {QORLNK::db5, 0x00}, {QORLNK::db6, 0x01}, {QORLNK::db7, 0x02}, {QORLNK::db8, 0x03}};

struct TParityRow {
    TParity parity;
    std::uint8_t lcr; // parity enable, even, stick
};
constexpr TParityRow kParityRows[] = {{QORLNK::paNone, 0x00},
                                      {QORLNK::paOdd, 0x08},
                                      {QORLNK::paEven, 0x18},
                                      {QORLNK::paMark, 0x28},
                                      {QORLNK::paSpace, 0x38}};

struct TStopBitsRow {
    TStopBits stop;
    std::uint8_t lcr;       // stop bit
    unsigned takenWithBits; // bit n set: taken with n data bits
};
// One and a half stop bits exist only with 5 data bits, two only with 6 to 8
// (the UART has one stop-bit switch; Windows refuses the other pairings).
constexpr TStopBitsRow kStopBitsRows[] = {
    {QORLNK::sb1, 0x00, 0x1E0}, {QORLNK::sb1_5, 0x04, 0x020}, {QORLNK::sb2, 0x04, 0x1C0}};

constexpr int kFormatRowCount = 4 * 5 * 3;
/// Row index of a format combination (data bits outermost, stop bits innermost).
constexpr int FormatRow(int dataIndex, int parityIndex, int stopIndex) {
    return (dataIndex * 5 + parityIndex) * 3 + stopIndex;
}
/// "7 even 1.5": data bits, parity and stop bits as the component names them.
inline std::string FormatName(TDataBits bits, TParity parity, TStopBits stop) {
    return QORLNK::DataBitsStr(bits) + " " + QORLNK::ParityStr(parity) + " " +
           QORLNK::StopBitsStr(stop);
}
/// The baud rate of the format table: 9600, divisor 12.
constexpr unsigned kFormatDivisor = 12;

// ---- setters on the open port, one after the other, from 9600 8N1 ----
enum TSetter { kSetDataBits, kSetParity, kSetStopBits, kSetBaudRate };
struct TWalkRow {
    TSetter setter;
    int value;        // the enumeration ordinal
    bool taken;       // false: SetCommState refuses, nothing changes
    std::uint8_t lcr; // format after the step
    unsigned divisor; // after the step
};
// clang-format off
constexpr TWalkRow kWalkRows[] = {
    {kSetDataBits, QORLNK::db7,     true,  0x02, 12},
    {kSetParity,   QORLNK::paEven,  true,  0x1A, 12},
    {kSetStopBits, QORLNK::sb2,     true,  0x1E, 12},
    {kSetParity,   QORLNK::paSpace, true,  0x3E, 12},
    {kSetStopBits, QORLNK::sb1_5,   false, 0x3E, 12}, // 7 data bits
    {kSetDataBits, QORLNK::db5,     false, 0x3E, 12}, // 2 stop bits
    {kSetStopBits, QORLNK::sb1,     true,  0x3A, 12},
    {kSetDataBits, QORLNK::db5,     true,  0x38, 12},
    {kSetStopBits, QORLNK::sb1_5,   true,  0x3C, 12},
    {kSetParity,   QORLNK::paMark,  true,  0x2C, 12},
    {kSetParity,   QORLNK::paOdd,   true,  0x0C, 12},
    {kSetBaudRate, QORLNK::br57600, true,  0x0C, 2},
};
// clang-format on
/// Output lines held during the walk: DTR on, RTS off.
constexpr std::uint8_t kWalkLines = kMcrDtr;

// ---- RTS and DTR: initial levels at Open, then each line toggled ----
struct TLevelsRow {
    bool rts;
    bool dtr;
};
constexpr TLevelsRow kLevelsRows[] = {{false, false}, {true, false}, {false, true}, {true, true}};
/// Steps per levels row: Open, SetRTS(!rts), SetDTR(!dtr).
constexpr int kLevelsSteps = 3;
/// The tty layer raises RTS and DTR at every open; the open sequence must
/// bring them to the initial levels within this time.
constexpr double kOpenRaiseLimitMs = 1000;

// ---- transmitted breaks: how long the guest holds each ----
constexpr int kBreakMs[] = {100, 400};

// ---- bytes both ways ----
struct TDataRow {
    const char* name;
    TBaudRate rate;
    TDataBits bits;
    TParity parity;
    TStopBits stop;
    unsigned divisor;
    std::uint8_t lcr;
    int width; // bits per byte carried
};
constexpr TDataRow kDataRows[] = {
    {"115200 8N1", QORLNK::br115200, QORLNK::db8, QORLNK::paNone, QORLNK::sb1, 1, 0x03, 8},
    {"9600 7E1", QORLNK::br9600, QORLNK::db7, QORLNK::paEven, QORLNK::sb1, 12, 0x1A, 7},
};

/// What the guest sends: every byte value the width allows, in a scrambled
/// order, except 0xFF (the socket's telnet mode passes the guest's 0xFF on
/// unescaped, so the host could not tell it from a command).
inline std::vector<std::uint8_t> GuestPayload(const TDataRow& row) {
    std::vector<std::uint8_t> bytes;
    if (row.width == 8) {
        for (unsigned i = 0; i < 255; ++i)
            bytes.push_back(static_cast<std::uint8_t>((i * 97 + 11) % 255));
    } else {
        for (unsigned i = 0; i < 128; ++i)
            bytes.push_back(static_cast<std::uint8_t>((i * 37 + 5) & 0x7F));
    }
    return bytes;
}

/// What the host sends back: every byte value the width allows, 0x00 and
/// 0xFF included, in another order.
inline std::vector<std::uint8_t> HostPayload(const TDataRow& row) {
    std::vector<std::uint8_t> bytes;
    const unsigned count = row.width == 8 ? 256 : 128;
    for (unsigned i = 0; i < count; ++i)
        bytes.push_back(static_cast<std::uint8_t>((i * 167 + 13) & (count - 1)));
    return bytes;
}

// ---- modem lines in the UART's loopback mode ----
enum TLoopLine { kLoopRts, kLoopDtr, kLoopOut1 };
struct TLoopRow {
    TLoopLine drive; // output moved (RTS, DTR through the component; OUT1 by ioctl)
    bool level;
    std::uint8_t mcr; // RTS, DTR, OUT1 bits after the step (LOOP is set as well)
};
// In loopback RTS reads back as CTS, DTR as DSR and OUT1 as RI.
constexpr TLoopRow kLoopRows[] = {
    {kLoopRts, true, kMcrRts}, {kLoopRts, false, 0},        {kLoopDtr, true, kMcrDtr},
    {kLoopDtr, false, 0},      {kLoopOut1, true, kMcrOut1}, {kLoopOut1, false, 0},
};

// ---- requests from the guest to the host peer, on the UART itself ----
// "#D<row>\n" followed by GuestPayload(kDataRows[row]): the host checks the
// bytes and answers with HostPayload. "#B\n": the host sends a break. "#E\n":
// the guest is done.
constexpr char kRequestLead = '#';

} // namespace uarttest
