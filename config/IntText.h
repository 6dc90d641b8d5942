// Integer text: the one number syntax of the program. Configuration files,
// slot edits, the command editor and the parameter-default operations all
// read integers through these functions.
//
// Syntax: any number of leading blanks (the space character only; a tab is not
// a blank), then either an optional "+" or "-" and one or more decimal digits,
// or a hexadecimal number introduced by "$", "x", "X", "0x" or "0X" (digits
// 0-9, A-F, a-f, no sign). Nothing may follow the digits, not even a blank.
// An empty text is invalid. The value must fit a signed 32-bit integer;
// hexadecimal numbers are taken as the 32-bit pattern, so "$FFFFFFFF" is -1
// and a ninth significant hexadecimal digit makes the text invalid (leading
// zeros do not count).
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace pmv {

// A text-to-integer conversion that failed; what() is
// "'<text>' is not a valid integer value".
class EConvertError : public std::runtime_error {
public:
    explicit EConvertError(const std::string& message) : std::runtime_error(message) {}
};

// The value of the text, or nothing when the text is not an integer.
std::optional<std::int32_t> TryStrToInt(std::string_view text);

// The value of the text; throws EConvertError when it is not an integer.
std::int32_t StrToInt(std::string_view text);

// The value of the text clamped into [min, max]; a text that is not an integer
// gives the default clamped into [min, max]. Both clamps test the lower bound
// first, so with min > max a value below min gives min and any other gives max.
std::int32_t StrToIntClamped(std::string_view text, std::int32_t min, std::int32_t max,
                             std::int32_t def);

} // namespace pmv
