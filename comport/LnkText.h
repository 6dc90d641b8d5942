// Text forms of the line settings of TLNKCOMPort.
//
// The component's GetBaudRateStr, GetDataBitsStr, GetParityStr and
// GetStopBitsStr, the main window's status line and the configuration writer
// all take their texts from here, so they cannot drift apart. A value outside
// its enumeration gives the "<invalid ...>" text.
#pragma once

#include "comport/LnkTypes.h"

#include <string>

namespace QORLNK {

/// Bits per second of a baud-rate setting; 0 for a value outside TBaudRate.
inline int BaudRateValue(TBaudRate b) {
    static constexpr int values[] = {110,  300,   600,   1200,  2400,  4800,
                                     9600, 19200, 38400, 57600, 115200};
    const int i = static_cast<int>(b);
    return (i >= 0 && i <= static_cast<int>(br115200)) ? values[i] : 0;
}

/// "110" .. "115200", or "<invalid baud rate>".
inline std::string BaudRateStr(TBaudRate b) {
    const int v = BaudRateValue(b);
    return v != 0 ? std::to_string(v) : std::string("<invalid baud rate>");
}

/// "5" .. "8", or "<invalid data bits>".
inline std::string DataBitsStr(TDataBits d) {
    const int i = static_cast<int>(d);
    return (i >= 0 && i <= static_cast<int>(db8)) ? std::to_string(5 + i)
                                                  : std::string("<invalid data bits>");
}

/// "none", "odd", "even", "mark", "space", or "<invalid parity>".
inline std::string ParityStr(TParity p) {
    static constexpr const char* texts[] = {"none", "odd", "even", "mark", "space"};
    const int i = static_cast<int>(p);
    return (i >= 0 && i <= static_cast<int>(paSpace)) ? std::string(texts[i])
                                                      : std::string("<invalid parity>");
}

/// "1", "1.5", "2", or "<invalid stop bits>".
inline std::string StopBitsStr(TStopBits s) {
    static constexpr const char* texts[] = {"1", "1.5", "2"};
    const int i = static_cast<int>(s);
    return (i >= 0 && i <= static_cast<int>(sb2)) ? std::string(texts[i])
                                                  : std::string("<invalid stop bits>");
}

} // namespace QORLNK
