// Value types shared by the serial port component and its users.
//
// These enumerations name the line settings of TLNKCOMPort. Their ordinals and
// value names are part of the component's published interface: configuration
// files and the settings dialog refer to them.
#pragma once

#include "platform/LineSettings.h"

#include <initializer_list>
#include <span>

namespace QORLNK {

// Every enumeration has int as its fixed underlying type, so an ordinal
// outside the listed values (read from a file, say) is a valid value that
// the setters and text forms can refuse, not undefined behaviour.

enum TEnumMode : int { emAll, emPresent };

// The line settings come from the table in platform/LineSettings.h, one
// enumerator per row in its order: br110 .. br115200, db5 .. db8,
// paNone, paOdd, paEven, paMark, paSpace, and sb1, sb1_5, sb2.
#define PMV_LNK_BAUD_RATE(n, file) br##n,
#define PMV_LNK_DATA_BITS(n, file) db##n,
#define PMV_LNK_PARITY(suffix, text, caption, file) pa##suffix,
#define PMV_LNK_STOP_BITS(name, number, text) name,

enum TBaudRate : int { PMV_BAUD_RATE_ROWS(PMV_LNK_BAUD_RATE) };

enum TDataBits : int { PMV_DATA_BITS_ROWS(PMV_LNK_DATA_BITS) };

enum TParity : int { PMV_PARITY_ROWS(PMV_LNK_PARITY) };

enum TStopBits : int { PMV_STOP_BITS_ROWS(PMV_LNK_STOP_BITS) };

#undef PMV_LNK_BAUD_RATE
#undef PMV_LNK_DATA_BITS
#undef PMV_LNK_PARITY
#undef PMV_LNK_STOP_BITS

/// The table's rows of each setting; row i is the enumeration's ordinal i.
using pmv::platform::TLineSettingRow;
inline constexpr std::span<const TLineSettingRow> BaudRateRows{pmv::platform::kBaudRateRows};
inline constexpr std::span<const TLineSettingRow> DataBitsRows{pmv::platform::kDataBitsRows};
inline constexpr std::span<const TLineSettingRow> ParityRows{pmv::platform::kParityRows};
inline constexpr std::span<const TLineSettingRow> StopBitsRows{pmv::platform::kStopBitsRows};

/// Whether a value is one of its enumeration's (a row of the table).
constexpr bool IsBaudRate(TBaudRate b) {
    return pmv::platform::LineSettingRow(pmv::platform::kBaudRateRows, b) != nullptr;
}
constexpr bool IsDataBits(TDataBits d) {
    return pmv::platform::LineSettingRow(pmv::platform::kDataBitsRows, d) != nullptr;
}
constexpr bool IsParity(TParity p) {
    return pmv::platform::LineSettingRow(pmv::platform::kParityRows, p) != nullptr;
}
constexpr bool IsStopBits(TStopBits s) {
    return pmv::platform::LineSettingRow(pmv::platform::kStopBitsRows, s) != nullptr;
}

enum TReportType : int { rtError = 0, rtWarning = 1 };

enum TIndicatorType : int { itBRK, itCD, itCTS, itDSR, itDTR, itERR, itRI, itRTS, itRX, itTX };

enum TIndicatorShape : int { isSquare, isCircle };

enum TCOMDlgReadOnlyAttrib : int { roPort, roBaudRate, roDataBits, roParity, roStopBits };

/// A set of TCOMDlgReadOnlyAttrib flags (bit n is the attribute of ordinal n).
class TCOMDlgReadOnlyAttribs {
public:
    constexpr TCOMDlgReadOnlyAttribs() = default;
    constexpr TCOMDlgReadOnlyAttribs(std::initializer_list<TCOMDlgReadOnlyAttrib> items) {
        for (TCOMDlgReadOnlyAttrib a : items)
            FBits |= Bit(a);
    }
    constexpr bool Contains(TCOMDlgReadOnlyAttrib a) const { return (FBits & Bit(a)) != 0; }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr void Include(TCOMDlgReadOnlyAttrib a) { FBits |= Bit(a); }
    constexpr void Exclude(TCOMDlgReadOnlyAttrib a) { FBits &= ~Bit(a); }
    constexpr bool operator==(const TCOMDlgReadOnlyAttribs&) const = default;

private:
    static constexpr unsigned Bit(TCOMDlgReadOnlyAttrib a) {
        return (a >= roPort && a <= roStopBits) ? 1u << a : 0u;
    }
    unsigned FBits = 0;
};

/// Notice and version shown by the package's components (read-only properties).
constexpr const char* LnkCopyright = "Copyright (c) PMV Controller Host developers";
constexpr const char* LnkVersion = "1.00";

} // namespace QORLNK
