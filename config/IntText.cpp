#include "config/IntText.h"

namespace pmv {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::optional<std::int32_t> ParseHex(std::string_view digits) {
    if (digits.empty())
        return std::nullopt;
    std::uint32_t value = 0;
    int significant = 0;
    for (char c : digits) {
        const int d = HexDigit(c);
        if (d < 0)
            return std::nullopt;
        if (significant == 0 && d == 0)
            continue; // leading zeros
        if (++significant > 8)
            return std::nullopt;
        value = (value << 4) | static_cast<std::uint32_t>(d);
    }
    return static_cast<std::int32_t>(value);
}

std::optional<std::int32_t> ParseDecimal(std::string_view digits, bool negative) {
    if (digits.empty())
        return std::nullopt;
    // Accumulate in 64 bits and stop as soon as the magnitude leaves the
    // 32-bit range, so long digit strings cannot overflow.
    const std::int64_t limit = negative ? 2147483648LL : 2147483647LL;
    std::int64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > limit)
            return std::nullopt;
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

} // namespace

std::optional<std::int32_t> TryStrToInt(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    const std::string_view s = text.substr(i);
    if (s.empty())
        return std::nullopt;
    if (s[0] == '$' || s[0] == 'x' || s[0] == 'X')
        return ParseHex(s.substr(1));
    if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        return ParseHex(s.substr(2));
    if (s[0] == '+' || s[0] == '-')
        return ParseDecimal(s.substr(1), s[0] == '-');
    return ParseDecimal(s, false);
}

std::int32_t StrToInt(std::string_view text) {
    if (auto v = TryStrToInt(text))
        return *v;
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
}

std::int32_t StrToIntClamped(std::string_view text, std::int32_t min, std::int32_t max,
                             std::int32_t def) {
    if (def < min)
        def = min;
    else if (def > max)
        def = max;
    const auto v = TryStrToInt(text);
    if (!v)
        return def;
    if (*v < min)
        return min;
    if (*v > max)
        return max;
    return *v;
}

} // namespace pmv
