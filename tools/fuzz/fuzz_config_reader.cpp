// libFuzzer target for the configuration reader.
//
// The first input byte picks the mode. Raw mode reads the remaining bytes as
// a whole file. Patch mode replaces lines of a valid file: the rest of the
// input is a list of (line number: 2 bytes, length: 1 byte, bytes) records,
// so that every line rule is reached, not only the line count. A length byte
// of 255 starts a padded record instead: (pad length / 8: 2 bytes, pad byte
// selector: 1 byte, length: 1 byte, bytes), which makes the line its key,
// ": ", up to 512 KiB of blanks or zeros, and the bytes.
//
// Properties checked beyond "no crash": a failure names a line inside the
// file; a text that reads back is re-read identically after writing it; the
// read-back warnings are empty exactly when the reader accepts the text.
#include "config/ConfigFile.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace pmv;

namespace {

TConfigSet BaseSet() {
    TConfigSet s;
    s.Title = "fuzz";
    for (int i = 0; i < kSlotCount; i += 5) {
        TCmdRecord& r = s.CmdTable[i];
        r.cmd_type = static_cast<std::int8_t>(i % 6);
        r.cmd_str = "C" + std::to_string(i);
        r.cmd_descr = "slot " + std::to_string(i);
        r.val_start = i;
        r.val_max = 1000;
        r.val_inc = 1;
        r.opts = static_cast<std::uint32_t>(i % 32);
    }
    return s;
}

std::vector<std::string> BaseLines() {
    const std::string text = WriteConfig(BaseSet());
    std::vector<std::string> lines;
    std::size_t start = 0, end;
    while ((end = text.find("\r\n", start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

void Check(std::string_view bytes) {
    const TConfigReadResult r = ReadConfig(bytes);
    if (!r.Ok) {
        if (r.Message.rfind("ERROR: - ", 0) != 0 || r.Line < -1 || r.Line >= kConfigLineCount)
            std::abort();
    } else {
        const std::string again = WriteConfig(r.Set);
        const TConfigReadResult back = ReadConfig(again);
        if (!back.Ok || !(back.Set == r.Set))
            std::abort();
    }
    if (ConfigReadBackWarnings(bytes).empty() != r.Ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1) {
        Check(input);
        return 0;
    }
    static const std::vector<std::string> base = BaseLines();
    std::vector<std::string> lines = base;
    auto byte = [&input](std::size_t at) { return static_cast<unsigned char>(input[at]); };
    std::size_t i = 0;
    while (i + 3 <= input.size()) {
        const unsigned line = (byte(i) << 8 | byte(i + 1)) % kConfigLineCount;
        std::size_t len = byte(i + 2);
        i += 3;
        std::string pad;
        if (len == 255) {
            if (i + 4 > input.size())
                break;
            const std::size_t padLength = (std::size_t{byte(i)} << 8 | byte(i + 1)) * 8;
            pad = base[line].substr(0, base[line].find(": ")) + ": " +
                  std::string(padLength, (byte(i + 2) & 1) ? '0' : ' ');
            len = byte(i + 3);
            i += 4;
        }
        lines[line] = pad + std::string(input.substr(i, len));
        i += std::min(len, input.size() - i);
    }
    std::string text;
    for (const std::string& l : lines)
        text += l + "\r\n";
    Check(text);
    return 0;
}
