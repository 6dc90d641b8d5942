// The wire format of the target link.
//
// Host to target: "QX" + command string + optionally " = " + value + CR.
// Target to host: "QX" + body + CR, where the body is a name optionally
// followed by " = " and a value. No checksum, no length, no escaping.
#pragma once

#include "config/CmdRecord.h"

#include <cstdint>
#include <stdexcept>
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

// A frame that must not go out: its command string or text value holds a
// control character (a byte below 0x20). A carriage return there would end
// the frame early and make the rest a second frame that nobody checked.
// what() names the character: "the control character 0x0D (CR)".
class EFrameError : public std::runtime_error {
public:
    explicit EFrameError(const std::string& message) : std::runtime_error(message) {}
};

// The value part for a command kind and direction (get = the Get button).
// Only ctParamGetSet depends on the direction; unknown kinds carry none.
TValuePart FrameValuePart(int cmdType, bool get);

// True for the kinds whose edit holds a number (1, 4 and 5).
bool IsNumericKind(int cmdType);

// Builds the frame for a slot into `out` (which is cleared first; its capacity
// is reused). A numeric edit text is converted with the strict integer syntax
// and written back in plain decimal; when it does not convert, EConvertError
// is thrown and `out` must not be sent. A control character in the command
// string or in a text value throws EFrameError, likewise before anything is
// built.
void BuildFrame(const TCmdRecord& rec, std::string_view editText, bool get, std::string& out);

// Convenience form returning the frame.
std::string BuildFrame(const TCmdRecord& rec, std::string_view editText, bool get);

// The value of a reply body: the text after the first " = ", or empty.
std::string_view ReplyValue(std::string_view body);

// The name of a reply body: the text before the first " = ", or the whole
// body. A target echoes the command string of the request it answers.
std::string_view ReplyName(std::string_view body);

// "the control character 0x0D (CR)" for a byte below 0x20.
std::string ControlCharacterText(int ch);

// Appends `v` in plain decimal (minus sign only, no fill) to `out`.
void AppendDecimal(std::string& out, std::int32_t v);

} // namespace pmv
