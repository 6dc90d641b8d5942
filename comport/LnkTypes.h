// Value types shared by the serial port component and its users.
//
// These enumerations name the line settings of TLNKCOMPort. Their ordinals and
// value names are part of the component's published interface: configuration
// files and the settings dialog refer to them.
#pragma once

namespace QORLNK {

enum TEnumMode { emAll, emPresent };

enum TBaudRate {
    br110, br300, br600, br1200, br2400, br4800, br9600, br19200, br38400, br57600, br115200
};

enum TDataBits { db5, db6, db7, db8 };

enum TParity { paNone, paOdd, paEven, paMark, paSpace };

enum TStopBits { sb1, sb1_5, sb2 };

enum TReportType { rtError = 0, rtWarning = 1 };

enum TIndicatorType { itBRK, itCD, itCTS, itDSR, itDTR, itERR, itRI, itRTS, itRX, itTX };

enum TIndicatorShape { isSquare, isCircle };

enum TCOMDlgReadOnlyAttrib { roPort, roBaudRate, roDataBits, roParity, roStopBits };

} // namespace QORLNK
