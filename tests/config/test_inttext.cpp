#include "config/IntText.h"

#include <climits>
#include <optional>
#include <string>

#include <gtest/gtest.h>

using namespace pmv;

namespace {

struct IntRow {
    const char* text;
    std::optional<std::int32_t> value;
};

const IntRow kIntRows[] = {
    {"0", 0},
    {"17", 17},
    {"007", 7},
    {"+17", 17},
    {"-17", -17},
    {"  17", 17}, // leading blanks are skipped
    {" -5", -5},
    {"$11", 17},
    {"x11", 17},
    {"X11", 17},
    {"0x11", 17},
    {"0X11", 17},
    {"$1f", 31},
    {"$1F", 31},
    {"  $ff", 255},
    {"2147483647", INT32_MAX},
    {"-2147483648", INT32_MIN},
    {"+0", 0},
    {"-0", 0},
    {"$7FFFFFFF", INT32_MAX},
    {"$80000000", INT32_MIN},
    {"$FFFFFFFF", -1},  // eight digits are the 32-bit pattern
    {"$0FFFFFFFF", -1}, // leading zeros are not significant
    {"000000000000000000012", 12},
    // invalid
    {"", std::nullopt},
    {" ", std::nullopt},
    {"17 ", std::nullopt}, // nothing may follow the digits
    {"1 7", std::nullopt},
    {"\t17", std::nullopt}, // only the space counts as a blank
    {"17\r", std::nullopt},
    {"+", std::nullopt},
    {"-", std::nullopt},
    {"+-1", std::nullopt},
    {"- 1", std::nullopt},
    {"$", std::nullopt},
    {"x", std::nullopt},
    {"0x", std::nullopt},
    {"-$11", std::nullopt}, // no sign on hexadecimal numbers
    {"+0x11", std::nullopt},
    {"$ 11", std::nullopt},
    {"$1G", std::nullopt},
    {"0x0x1", std::nullopt},
    {"$100000000", std::nullopt}, // nine significant digits
    {"2147483648", std::nullopt},
    {"-2147483649", std::nullopt},
    {"99999999999999999999999", std::nullopt},
    {"abc", std::nullopt},
    {"1e3", std::nullopt},
    {"1.0", std::nullopt},
    {"h11", std::nullopt},
    {"\xB9", std::nullopt},
};

} // namespace

TEST(IntText, SyntaxTable) {
    for (const IntRow& row : kIntRows) {
        SCOPED_TRACE(std::string("text '") + row.text + "'");
        EXPECT_EQ(TryStrToInt(row.text), row.value);
        if (row.value) {
            EXPECT_EQ(StrToInt(row.text), *row.value);
        } else {
            try {
                StrToInt(row.text);
                ADD_FAILURE() << "no exception";
            } catch (const EConvertError& e) {
                EXPECT_EQ(std::string(e.what()),
                          std::string("'") + row.text + "' is not a valid integer value");
            }
        }
    }
}

TEST(IntText, TextWithEmbeddedNulIsInvalid) {
    EXPECT_EQ(TryStrToInt(std::string_view("12\0", 3)), std::nullopt);
}

TEST(IntText, ConvertErrorIsARuntimeError) {
    EXPECT_THROW(StrToInt("abc"), std::runtime_error);
}

namespace {

struct ClampRow {
    const char* text;
    std::int32_t min, max, def;
    std::int32_t expected;
};

const ClampRow kClampRows[] = {
    {"abc", 0, 100, 50, 50},
    {"250", 0, 100, 50, 100},
    {"-3", 0, 100, 50, 0},
    {"007", 0, 100, 50, 7},
    {"$1F", 0, 100, 50, 31},
    {"", 0, 100, 50, 50},
    {"17 ", 0, 100, 50, 50},        // trailing blank: not an integer
    {"9999999999", 0, 100, 50, 50}, // out of 32-bit range: not an integer
    {"abc", 0, 100, 500, 100},      // the default is clamped too
    {"abc", 10, 100, -5, 10},
    {"100", 0, 100, 50, 100},
    {"0", 0, 100, 50, 0},
    // min above max: the lower bound is tested first
    {"5", 10, 3, 7, 10},
    {"10", 10, 3, 7, 3}, // not below min, above max
    {"20", 10, 3, 7, 3},
    {"abc", 10, 3, 7, 10},
    {"abc", 10, 3, 12, 3},
    {"-2147483648", INT32_MIN, INT32_MAX, 0, INT32_MIN},
};

} // namespace

TEST(IntText, StrToIntClampedTable) {
    for (const ClampRow& r : kClampRows) {
        SCOPED_TRACE(std::string("text '") + r.text + "' min " + std::to_string(r.min) + " max " +
                     std::to_string(r.max) + " def " + std::to_string(r.def));
        EXPECT_EQ(StrToIntClamped(r.text, r.min, r.max, r.def), r.expected);
    }
}
