// Frame bytes for every kind and direction, the reply split, and the reply
// assembler fed one byte at a time.
#include "app/link/Frame.h"
#include "app/link/ReplyAssembler.h"
#include "config/IntText.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace pmv;

namespace {

struct FrameRow {
    const char* name;
    int kind;
    const char* cmd;
    const char* edit;
    const char* get; // expected frame for Get; nullptr: conversion fails
    const char* set; // expected frame for Set; nullptr: conversion fails
};

const FrameRow kFrameRows[] = {
    {"command", ctCommand, "RUN", "17", "QXRUN\r", "QXRUN\r"},
    {"command value 0042", ctCommandValue, "ABC", "0042", "QXABC = 42\r", "QXABC = 42\r"},
    {"command string", ctCommandString, "NAME", "pump 1 ", "QXNAME = pump 1 \r",
     "QXNAME = pump 1 \r"},
    {"command string empty", ctCommandString, "NAME", "", "QXNAME = \r", "QXNAME = \r"},
    {"command string not a number", ctCommandString, "NAME", "abc", "QXNAME = abc\r",
     "QXNAME = abc\r"},
    {"param get ignores edit", ctParamGet, "TEMP", "abc", "QXTEMP\r", "QXTEMP\r"},
    {"param set", ctParamSet, "ACC", "250", "QXACC = 250\r", "QXACC = 250\r"},
    {"param get/set", ctParamGetSet, "ABC", "0042", "QXABC\r", "QXABC = 42\r"},
    {"param get/set bad edit only fails the set", ctParamGetSet, "SPD", "fast", "QXSPD\r", nullptr},
    {"minus leading zeros", ctParamSet, "P", "-007", "QXP = -7\r", "QXP = -7\r"},
    {"plus sign dropped", ctParamSet, "P", "+5", "QXP = 5\r", "QXP = 5\r"},
    {"minus zero", ctParamSet, "P", "-0", "QXP = 0\r", "QXP = 0\r"},
    {"leading blanks", ctParamSet, "P", "  12", "QXP = 12\r", "QXP = 12\r"},
    {"hexadecimal", ctCommandValue, "P", "$1F", "QXP = 31\r", "QXP = 31\r"},
    {"hexadecimal 0x", ctCommandValue, "P", "0xff", "QXP = 255\r", "QXP = 255\r"},
    {"not clamped", ctParamSet, "P", "999999", "QXP = 999999\r", "QXP = 999999\r"},
    {"int32 max", ctParamSet, "P", "2147483647", "QXP = 2147483647\r", "QXP = 2147483647\r"},
    {"int32 min", ctParamSet, "P", "-2147483648", "QXP = -2147483648\r", "QXP = -2147483648\r"},
    {"out of range", ctParamSet, "P", "2147483648", nullptr, nullptr},
    {"trailing blank", ctCommandValue, "P", "12 ", nullptr, nullptr},
    {"empty numeric", ctParamSet, "P", "", nullptr, nullptr},
    {"letters", ctCommandValue, "P", "abc", nullptr, nullptr},
    {"unknown kind 6", 6, "X1", "5", "QXX1\r", "QXX1\r"},
    {"unknown kind -1", -1, "X1", "5", "QXX1\r", "QXX1\r"},
    {"8-bit command bytes kept", ctCommand, "T\xE4\xFF", "", "QXT\xE4\xFF\r", "QXT\xE4\xFF\r"},
};

TEST(Frame, EveryKindAndDirection) {
    for (const FrameRow& row : kFrameRows) {
        SCOPED_TRACE(row.name);
        TCmdRecord rec;
        rec.cmd_type = static_cast<std::int8_t>(row.kind);
        rec.cmd_str = row.cmd;
        for (bool get : {true, false}) {
            SCOPED_TRACE(get ? "get" : "set");
            const char* want = get ? row.get : row.set;
            std::string out = "stale";
            if (want) {
                BuildFrame(rec, row.edit, get, out);
                EXPECT_EQ(out, want);
            } else {
                try {
                    BuildFrame(rec, row.edit, get, out);
                    ADD_FAILURE() << "built " << out;
                } catch (const EConvertError& e) {
                    EXPECT_EQ(std::string(e.what()),
                              "'" + std::string(row.edit) + "' is not a valid integer value");
                }
            }
        }
    }
}

TEST(Frame, ExampleBytes) {
    TCmdRecord rec;
    rec.cmd_type = ctCommandValue;
    rec.cmd_str = "ABC";
    const std::string f = BuildFrame(rec, "0042", true);
    const std::vector<std::uint8_t> want = {'Q', 'X', 'A', 'B', 'C', ' ', '=', ' ', '4', '2', 0x0D};
    EXPECT_EQ(std::vector<std::uint8_t>(f.begin(), f.end()), want);
    EXPECT_EQ(f.size(), 11u);
}

struct SplitRow {
    const char* body;
    const char* value;
};

const SplitRow kSplitRows[] = {
    {"ABC = 12", "12"}, {"ABC", ""},  {"A = B = C", "B = C"}, {"A =5", ""},
    {"A= 5", ""},       {"A = ", ""}, {" = x", "x"},          {"", ""},
    {"A  =  5", " 5"},  {"=", ""},
};

TEST(ReplySplit, ValueAfterFirstSeparator) {
    for (const SplitRow& row : kSplitRows) {
        SCOPED_TRACE(row.body);
        EXPECT_EQ(ReplyValue(row.body), row.value);
    }
}

// Feeds bytes one at a time and writes what came out: R<body>| for a reply,
// U<byte>| for an unframed byte, O| for an overflow.
std::string Assemble(TReplyAssembler& a, std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        switch (a.Feed(static_cast<std::uint8_t>(c))) {
        case TRxEvent::None:
            break;
        case TRxEvent::Unframed:
            out += 'U';
            out += c;
            out += '|';
            break;
        case TRxEvent::Reply:
            EXPECT_EQ(a.State(), rxHunt);
            out += 'R';
            out += a.Line();
            out += '|';
            break;
        case TRxEvent::Overflow:
            out += "O|";
            break;
        }
    }
    return out;
}

struct AsmRow {
    const char* name;
    std::string in;
    std::string out;
    TRxState end;
};

const AsmRow kAsmRows[] = {
    {"reply with value", "QXABC = 12\r", "RABC = 12|", rxHunt},
    {"reply without value", "QXABC\r", "RABC|", rxHunt},
    {"empty body", "QX\r", "R|", rxHunt},
    {"second Q swallowed", "QQX1\r", "R1|", rxHunt},
    {"bytes between Q and X dropped", "QabX1\r", "R1|", rxHunt},
    {"noise before Q", "zz\x01QX1\r", "Uz|Uz|U\x01|R1|", rxHunt},
    {"LF after CR is unframed", "QX1\r\n", "R1|U\n|", rxHunt},
    {"CR and LF outside a reply", "\r\n", "U\r|U\n|", rxHunt},
    {"two replies", "QX1\rQX2 = b\r", "R1|R2 = b|", rxHunt},
    {"Q and X inside a body", "QXQX1\r", "RQX1|", rxHunt},
    {"LF inside a body", "QXA\nB\r", "RA\nB|", rxHunt},
    {"8-bit and NUL bytes kept", std::string("QX\xFF\0\x80\r", 6), std::string("R\xFF\0\x80|", 5),
     rxHunt},
    {"incomplete prefix", "Q", "", rxPrefix},
    {"incomplete body", "QXAB", "", rxBody},
    {"X alone is unframed", "X1\r", "UX|U1|U\r|", rxHunt},
};

TEST(ReplyAssembler, OneByteAtATime) {
    for (const AsmRow& row : kAsmRows) {
        SCOPED_TRACE(row.name);
        TReplyAssembler a;
        EXPECT_EQ(Assemble(a, row.in), row.out);
        EXPECT_EQ(a.State(), row.end);
    }
}

TEST(ReplyAssembler, LineClearedOnlyByPrefix) {
    TReplyAssembler a;
    Assemble(a, "QXAB");
    a.Hunt(); // the reply time-out
    EXPECT_EQ(a.State(), rxHunt);
    EXPECT_EQ(a.Line(), "AB");
    // The rest of the broken reply is unframed; a new prefix starts afresh.
    EXPECT_EQ(Assemble(a, "C\rQX9\r"), "UC|U\r|R9|");
}

TEST(ReplyAssembler, LongestBodyAccepted) {
    TReplyAssembler a;
    const std::string body(TReplyAssembler::kMaxRxLine, 'a');
    EXPECT_EQ(Assemble(a, "QX" + body + "\r"), "R" + body + "|");
    EXPECT_EQ(a.OverflowCount(), 0u);
}

TEST(ReplyAssembler, OverlongBodyDroppedAndResynchronised) {
    TReplyAssembler a;
    const std::string body(TReplyAssembler::kMaxRxLine + 1, 'a');
    // The byte past the bound drops the line; the assembler hunts for Q again.
    EXPECT_EQ(Assemble(a, "QX" + body), "O|");
    EXPECT_EQ(a.State(), rxHunt);
    EXPECT_EQ(a.OverflowCount(), 1u);
    EXPECT_EQ(Assemble(a, "b\rQXSPD = 5\r"), "Ub|U\r|RSPD = 5|");
}

TEST(ReplyAssembler, EndlessNoiseStaysBounded) {
    TReplyAssembler a;
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> byte(0, 255);
    std::size_t maxLine = 0;
    int replies = 0;
    for (int i = 0; i < 1'000'000; ++i) {
        // Mostly bytes that are never a CR, with an occasional prefix.
        int b = byte(rng);
        if (b == 0x0D)
            b = 'X';
        if (a.Feed(static_cast<std::uint8_t>(b)) == TRxEvent::Reply)
            ++replies;
        maxLine = std::max(maxLine, a.Line().size());
    }
    EXPECT_EQ(replies, 0);
    EXPECT_LE(maxLine, TReplyAssembler::kMaxRxLine);
    EXPECT_GT(a.OverflowCount(), 0u);
    // Still works afterwards.
    a.Hunt();
    EXPECT_EQ(Assemble(a, "QX1\r"), "R1|");
}

} // namespace
