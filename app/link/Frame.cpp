#include "app/link/Frame.h"

#include "config/IntText.h"
#include "config/TextCodec.h"

#include <charconv>
#include <cstdio>

namespace pmv {

TValuePart FrameValuePart(int cmdType, bool get) {
    switch (cmdType) {
    case ctCommandValue:
    case ctParamSet:
        return TValuePart::Number;
    case ctCommandString:
        return TValuePart::Text;
    case ctParamGetSet:
        return get ? TValuePart::None : TValuePart::Number;
    default: // ctCommand, ctParamGet and anything unknown
        return TValuePart::None;
    }
}

bool IsNumericKind(int cmdType) {
    return cmdType == ctCommandValue || cmdType == ctParamSet || cmdType == ctParamGetSet;
}

void AppendDecimal(std::string& out, std::int32_t v) {
    char buf[16];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

std::string ControlCharacterText(int ch) {
    static constexpr const char* kNames[] = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL",
                                             "BS",  "HT",  "LF",  "VT",  "FF",  "CR",  "SO",  "SI",
                                             "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB",
                                             "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
    char text[48];
    std::snprintf(text, sizeof text, "the control character 0x%02X (%s)", ch & 0x1F,
                  kNames[ch & 0x1F]);
    return text;
}

void BuildFrame(const TCmdRecord& rec, std::string_view editText, bool get, std::string& out) {
    out.clear();
    const TValuePart part = FrameValuePart(rec.cmd_type, get);
    int control = FirstControlCharacter(rec.cmd_str);
    if (control < 0 && part == TValuePart::Text)
        control = FirstControlCharacter(editText);
    if (control >= 0)
        throw EFrameError(ControlCharacterText(control));
    std::int32_t number = 0;
    if (part == TValuePart::Number)
        number = StrToInt(editText); // throws before anything is built
    out.append(kFramePrefix);
    out.append(rec.cmd_str);
    if (part != TValuePart::None) {
        out.append(kFrameSeparator);
        if (part == TValuePart::Number)
            AppendDecimal(out, number);
        else
            out.append(editText);
    }
    out.push_back(static_cast<char>(FrameTerminator));
}

std::string BuildFrame(const TCmdRecord& rec, std::string_view editText, bool get) {
    std::string out;
    BuildFrame(rec, editText, get, out);
    return out;
}

std::string_view ReplyName(std::string_view body) {
    return body.substr(0, body.find(kFrameSeparator));
}

std::string_view ReplyValue(std::string_view body) {
    const std::size_t p = body.find(kFrameSeparator);
    if (p == std::string_view::npos)
        return {};
    return body.substr(p + 3);
}

} // namespace pmv
