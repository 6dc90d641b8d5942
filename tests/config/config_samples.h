// Command sets shared by the configuration tests and benchmarks.
#pragma once

#include "config/ConfigFile.h"

#include <string>
#include <vector>

namespace pmv::test {

// A set with every kind, flag and field in use, values within the reader's
// ranges, and 8-bit bytes in its texts.
inline TConfigSet SampleSet() {
    TConfigSet s;
    s.Title = "Bench rig \xB5-controller \xE4\xF6\xFC";
    s.PageCaptions = {"Motor",
                      "Pump",
                      "Limits",
                      "I/O",
                      "Status",
                      "Service",
                      "Cal \xB0"
                      "C",
                      "Misc"};
    s.ComPort = 25;
    s.BaudRate = QORLNK::br19200;
    s.DataBits = QORLNK::db7;
    s.Parity = QORLNK::paEven;
    s.StopBits = QORLNK::sb2;
    for (int i = 0; i < kSlotCount; i += 3) {
        TCmdRecord& r = s.CmdTable[i];
        r.cmd_type = static_cast<std::int8_t>(i % 6);
        r.cmd_str = "CMD" + std::to_string(i);
        r.cmd_descr = (i % 2) ? "Description of " + std::to_string(i) : "";
        r.str = (r.cmd_type == ctCommandString) ? "text \xA7 " + std::to_string(i) : "";
        r.val_start = (i * 37) % 65536;
        r.val_min = i;
        r.val_max = 65535 - i;
        r.val_inc = i % 7;
        r.colour = (i % 4 == 0) ? -16777201 : i * 0x010203; // a system colour and plain ones
        r.opts = static_cast<std::uint32_t>(i % 32);
    }
    s.CmdTable[191].opts = Disabled; // cleared but disabled slot at the end
    return s;
}

// Splits writer output (CR LF line ends) into its lines.
inline std::vector<std::string> SplitCrLf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            break;
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

inline std::string JoinLines(const std::vector<std::string>& lines, const std::string& end) {
    std::string text;
    for (const std::string& l : lines)
        text += l + end;
    return text;
}

} // namespace pmv::test
