// The wire format of the target link.
//
// Host to target: "QX" + command string + optionally " = " + value + CR.
// Target to host: "QX" + body + CR, where the body is a name optionally
// followed by " = " and a value. No checksum, no length, no escaping.
#pragma once

#include "config/CmdRecord.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace pmv {

constexpr char kFramePrefix[] = "QX";
constexpr char kFrameSeparator[] = " = ";
constexpr std::uint8_t FrameTerminator = 0x0D;

// What follows the command string in a frame.
enum class TValuePart {
    None,   // nothing
    Number, // " = " and the edit text as a decimal integer
    Text,   // " = " and the edit text unchanged
};

// The value part for a command kind and direction (get = the Get button).
// Only ctParamGetSet depends on the direction; unknown kinds carry none.
TValuePart FrameValuePart(int cmdType, bool get);

// True for the kinds whose edit holds a number (1, 4 and 5).
bool IsNumericKind(int cmdType);

// Builds the frame for a slot into `out` (which is cleared first; its capacity
// is reused). A numeric edit text is converted with the strict integer syntax
// and written back in plain decimal; when it does not convert, EConvertError
// is thrown and `out` must not be sent.
void BuildFrame(const TCmdRecord& rec, std::string_view editText, bool get, std::string& out);

// Convenience form returning the frame.
std::string BuildFrame(const TCmdRecord& rec, std::string_view editText, bool get);

// The value of a reply body: the text after the first " = ", or empty.
std::string_view ReplyValue(std::string_view body);

// Appends `v` in plain decimal (minus sign only, no fill) to `out`.
void AppendDecimal(std::string& out, std::int32_t v);

} // namespace pmv
