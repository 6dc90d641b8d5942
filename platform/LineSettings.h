// The line settings in one table: every baud rate, data bits, parity and
// stop bits value the serial component offers, one row each.
//
// Each row list below is read by all who name these values: the component's
// enumerations (comport/LnkTypes.h makes br110 .. from the baud rows, db5 ..,
// paNone .., sb1 .. from the others) and their text forms, the settings
// dialog's lists, the configuration reader (the rows marked for the file),
// the platform's termios speeds (B110 .. from the same rows) and the
// programs' help. A row's position is its enumeration ordinal. A new baud
// rate is one row here; its termios speed and its Windows BAUD_ bit must exist.
//
// Rows are macros so that one row can give an enumerator name and a termios
// constant as well as a number; the arrays below hold the same rows as data.
#pragma once

#include <cstddef>

// Baud rates: X(bits per second, accepted in a configuration file)
#define PMV_BAUD_RATE_ROWS(X)                                                                      \
    X(110, false)                                                                                  \
    X(300, false)                                                                                  \
    X(600, false)                                                                                  \
    X(1200, true)                                                                                  \
    X(2400, true)                                                                                  \
    X(4800, true)                                                                                  \
    X(9600, true)                                                                                  \
    X(19200, true)                                                                                 \
    X(38400, true)                                                                                 \
    X(57600, true)                                                                                 \
    X(115200, true)

// Data bits: X(bits, accepted in a configuration file)
#define PMV_DATA_BITS_ROWS(X) X(5, false) X(6, false) X(7, true) X(8, true)

// Parity: X(enumerator suffix, text, dialog caption, accepted in a configuration file)
#define PMV_PARITY_ROWS(X)                                                                         \
    X(None, "none", "None", true)                                                                  \
    X(Odd, "odd", "Odd", true)                                                                     \
    X(Even, "even", "Even", true)                                                                  \
    X(Mark, "mark", "Mark", false)                                                                 \
    X(Space, "space", "Space", false)

// Stop bits: X(enumerator, number in a configuration file or 0, text); the
// whole enumerator, as "sb" pasted to 1_5 is not one token to every tool.
#define PMV_STOP_BITS_ROWS(X) X(sb1, 1, "1") X(sb1_5, 0, "1.5") X(sb2, 2, "2")

namespace pmv::platform {

/// One value of a line setting.
struct TLineSettingRow {
    int number;          ///< bits per second, data bits, stop bits; 0 where none
    const char* text;    ///< the text form ("9600", "none", "1.5"), also the file's word
    const char* caption; ///< the settings dialog's list item
    bool inConfigFile;   ///< a configuration file may name it
};

#define PMV_LINE_NUMBER_ROW(n, file) {n, #n, #n, file},
#define PMV_LINE_PARITY_ROW(suffix, text, caption, file) {0, text, caption, file},
#define PMV_LINE_STOP_BITS_ROW(name, number, text) {number, text, text, number != 0},

inline constexpr TLineSettingRow kBaudRateRows[] = {PMV_BAUD_RATE_ROWS(PMV_LINE_NUMBER_ROW)};
inline constexpr TLineSettingRow kDataBitsRows[] = {PMV_DATA_BITS_ROWS(PMV_LINE_NUMBER_ROW)};
inline constexpr TLineSettingRow kParityRows[] = {PMV_PARITY_ROWS(PMV_LINE_PARITY_ROW)};
inline constexpr TLineSettingRow kStopBitsRows[] = {PMV_STOP_BITS_ROWS(PMV_LINE_STOP_BITS_ROW)};

#undef PMV_LINE_NUMBER_ROW
#undef PMV_LINE_PARITY_ROW
#undef PMV_LINE_STOP_BITS_ROW

/// The row of ordinal i in rows, or nullptr when i is outside it.
template <std::size_t N>
constexpr const TLineSettingRow* LineSettingRow(const TLineSettingRow (&rows)[N], int i) {
    return (i >= 0 && static_cast<std::size_t>(i) < N) ? &rows[i] : nullptr;
}

} // namespace pmv::platform
