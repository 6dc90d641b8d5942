// Value types shared by the serial port component and its users.
//
// These enumerations name the line settings of TLNKCOMPort. Their ordinals and
// value names are part of the component's published interface: configuration
// files and the settings dialog refer to them.
#pragma once

#include <initializer_list>

namespace QORLNK {

// Every enumeration has int as its fixed underlying type, so an ordinal
// outside the listed values (read from a file, say) is a valid value that
// the setters and text forms can refuse, not undefined behaviour.

enum TEnumMode : int { emAll, emPresent };

enum TBaudRate : int {
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br19200,
    br38400,
    br57600,
    br115200
};

enum TDataBits : int { db5, db6, db7, db8 };

enum TParity : int { paNone, paOdd, paEven, paMark, paSpace };

enum TStopBits : int { sb1, sb1_5, sb2 };

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
