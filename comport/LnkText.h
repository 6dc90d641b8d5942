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
    const auto* row = pmv::platform::LineSettingRow(pmv::platform::kBaudRateRows, b);
    return row != nullptr ? row->number : 0;
}

/// "110" .. "115200", or "<invalid baud rate>".
inline std::string BaudRateStr(TBaudRate b) {
    const auto* row = pmv::platform::LineSettingRow(pmv::platform::kBaudRateRows, b);
    return row != nullptr ? row->text : "<invalid baud rate>";
}

/// "5" .. "8", or "<invalid data bits>".
inline std::string DataBitsStr(TDataBits d) {
    const auto* row = pmv::platform::LineSettingRow(pmv::platform::kDataBitsRows, d);
    return row != nullptr ? row->text : "<invalid data bits>";
}

/// "none", "odd", "even", "mark", "space", or "<invalid parity>".
inline std::string ParityStr(TParity p) {
    const auto* row = pmv::platform::LineSettingRow(pmv::platform::kParityRows, p);
    return row != nullptr ? row->text : "<invalid parity>";
}

/// "1", "1.5", "2", or "<invalid stop bits>".
inline std::string StopBitsStr(TStopBits s) {
    const auto* row = pmv::platform::LineSettingRow(pmv::platform::kStopBitsRows, s);
    return row != nullptr ? row->text : "<invalid stop bits>";
}

} // namespace QORLNK
