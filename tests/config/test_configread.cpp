// The reader: one mutation of a valid file per row, with the message it must
// give (or the value it must load), plus line ends, NUL bytes and round trips.
#include "config/ConfigFile.h"
#include "config_samples.h"

#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace pmv;
using pmv::test::JoinLines;
using pmv::test::SampleSet;
using pmv::test::SplitCrLf;

namespace {

using TLines = std::vector<std::string>;

struct MutationRow {
    const char* name;
    std::function<void(TLines&)> mutate;
    std::string message; // empty: the file loads
    int line = -1;       // the failing line (-1 with a message: the line count)
    std::function<void(const TConfigSet&)> check = nullptr;
};

// Block k's line with the given offset.
int BL(int k, int offset) {
    return kConfigBlockFirstLine + kConfigBlockLines * k + offset;
}

std::function<void(TLines&)> Set(int line, std::string text) {
    return [line, text](TLines& l) { l[line] = text; };
}

std::string BlockMsg(const char* what, int k, int offset) {
    return std::string("ERROR: - invalid ") + what + " field in command #" + std::to_string(k) +
           " (line #" + std::to_string(BL(k, offset)) + ")";
}

MutationRow Fails(const char* name, std::function<void(TLines&)> m, std::string msg, int line) {
    return {name, std::move(m), std::move(msg), line};
}

MutationRow Loads(const char* name, std::function<void(TLines&)> m,
                  std::function<void(const TConfigSet&)> check) {
    return {name, std::move(m), "", -1, std::move(check)};
}

const std::string kSizeMsg = "ERROR: - invalid confguration file size, got ";

std::vector<MutationRow> Rows() {
    std::vector<MutationRow> rows = {
        // line count
        Fails("OneLineMissing", [](TLines& l) { l.pop_back(); },
              kSizeMsg + "2133 lines, expected 2134", -1),
        Fails("OneLineExtra", [](TLines& l) { l.push_back("x"); },
              kSizeMsg + "2135 lines, expected 2134", -1),
        Fails("ExtraEmptyLineAtEnd", [](TLines& l) { l.push_back(""); },
              kSizeMsg + "2135 lines, expected 2134", -1),
        Fails("FirstBlockMissing",
              [](TLines& l) { l.erase(l.begin() + 22, l.begin() + 33); },
              kSizeMsg + "2123 lines, expected 2134", -1),
        Fails("EmptyFile", [](TLines& l) { l.clear(); }, kSizeMsg + "0 lines, expected 2134", -1),
        Fails("LineCountBeforeEverythingElse",
              [](TLines& l) {
                  l[0] = "bad";
                  l[1] = "x";
                  l.pop_back();
              },
              kSizeMsg + "2133 lines, expected 2134", -1),

        // empty separator lines, tested before the header
        Fails("Line1NotBlank", Set(1, "x"), "ERROR: - line #1 not blank", 1),
        Fails("Line1OnlyBlank", Set(1, " "), "ERROR: - line #1 not blank", 1),
        Fails("Line4NotBlank", Set(4, "x"), "ERROR: - line #4 not blank", 4),
        Fails("Line10NotBlank", Set(10, "\t"), "ERROR: - line #10 not blank", 10),
        Fails("Line12NotBlank", Set(12, "x"), "ERROR: - line #12 not blank", 12),
        Fails("Line21NotBlank", Set(21, "x"), "ERROR: - line #21 not blank", 21),
        Fails("Line1BeforeLine4",
              [](TLines& l) {
                  l[4] = "x";
                  l[1] = "x";
              },
              "ERROR: - line #1 not blank", 1),
        Fails("BadHeaderAndLine4NotBlank",
              [](TLines& l) {
                  l[0] = "QXM300 Controller Host Configuration Fil";
                  l[4] = "x";
              },
              "ERROR: - line #4 not blank", 4),

        // header
        Fails("HeaderLowerCase", Set(0, "qxm300 controller host configuration file"),
              "ERROR: - invalid header", 0),
        Fails("HeaderTrailingBlank", Set(0, "QXM300 Controller Host Configuration File "),
              "ERROR: - invalid header", 0),
        Fails("HeaderEmpty", Set(0, ""), "ERROR: - invalid header", 0),

        // version
        Fails("MajorNotANumber", Set(2, "vers_major: one"), "ERROR: - invalid vers_major: field",
              2),
        Fails("MajorWithoutBlank", Set(2, "vers_major:1"), "ERROR: - invalid vers_major: field",
              2),
        Fails("MajorKeyCapitals", Set(2, "VERS_MAJOR: 1"), "ERROR: - invalid vers_major: field",
              2),
        Fails("Major1000", Set(2, "vers_major: 1000"), "ERROR: - invalid vers_major: field", 2),
        Fails("MajorBeforeMinor",
              [](TLines& l) {
                  l[2] = "vers_major: -1";
                  l[3] = "vers_minor: -1";
              },
              "ERROR: - invalid vers_major: field", 2),
        Fails("Minor1000", Set(3, "vers_minor: 1000"), "ERROR: - invalid vers_minor: field", 3),
        Fails("Minor9", Set(3, "vers_minor: 9"),
              "ERROR: - invalid configuration file version, got V1.9, expected V1.8", 3),
        Fails("Major2", Set(2, "vers_major: 2"),
              "ERROR: - invalid configuration file version, got V2.8, expected V1.8", 3),
        Fails("Version0_0",
              [](TLines& l) {
                  l[2] = "vers_major: 0";
                  l[3] = "vers_minor: 999";
              },
              "ERROR: - invalid configuration file version, got V0.999, expected V1.8", 3),
        Fails("VersionBeforeComPort",
              [](TLines& l) {
                  l[3] = "vers_minor: 7";
                  l[5] = "com_port: 0";
              },
              "ERROR: - invalid configuration file version, got V1.7, expected V1.8", 3),
        Loads("VersionInHexAndPadded",
              [](TLines& l) {
                  l[2] = "vers_major:    $1";
                  l[3] = "vers_minor: 0x08";
              },
              [](const TConfigSet&) {}),

        // serial settings
        Fails("ComPort0", Set(5, "com_port: 0"), "ERROR: - invalid com_port: field", 5),
        Fails("ComPort33", Set(5, "com_port: 33"), "ERROR: - invalid com_port: field", 5),
        Loads("ComPort32", Set(5, "com_port: 32"),
              [](const TConfigSet& s) { EXPECT_EQ(s.ComPort, 32); }),
        Loads("ComPort1", Set(5, "com_port: 1"),
              [](const TConfigSet& s) { EXPECT_EQ(s.ComPort, 1); }),
        Fails("Baud300", Set(6, "baud_rate: 300"), "ERROR: - invalid baud_rate: field", 6),
        Fails("Baud110", Set(6, "baud_rate: 110"), "ERROR: - invalid baud_rate: field", 6),
        Fails("Baud9601", Set(6, "baud_rate: 9601"), "ERROR: - invalid baud_rate: field", 6),
        Fails("BaudText", Set(6, "baud_rate: <invalid baud rate>"),
              "ERROR: - invalid baud_rate: field", 6),
        Loads("Baud1200", Set(6, "baud_rate: 1200"),
              [](const TConfigSet& s) { EXPECT_EQ(s.BaudRate, QORLNK::br1200); }),
        Loads("Baud115200", Set(6, "baud_rate: 115200"),
              [](const TConfigSet& s) { EXPECT_EQ(s.BaudRate, QORLNK::br115200); }),
        Loads("BaudInHex", Set(6, "baud_rate: $2580"),
              [](const TConfigSet& s) { EXPECT_EQ(s.BaudRate, QORLNK::br9600); }),
        Fails("DataBits5", Set(7, "data_bits: 5"), "ERROR: - invalid data_bits: field", 7),
        Fails("DataBits6", Set(7, "data_bits: 6"), "ERROR: - invalid data_bits: field", 7),
        Loads("DataBits8", Set(7, "data_bits: 8"),
              [](const TConfigSet& s) { EXPECT_EQ(s.DataBits, QORLNK::db8); }),
        Fails("ParityMark", Set(8, "parity: mark"), "ERROR: - invalid parity: field", 8),
        Fails("ParitySpace", Set(8, "parity: space"), "ERROR: - invalid parity: field", 8),
        Fails("ParityWordCapitalised", Set(8, "parity: None"), "ERROR: - invalid parity: field",
              8),
        Fails("ParityWordCapitals", Set(8, "parity: ODD"), "ERROR: - invalid parity: field", 8),
        Fails("ParityKeyCapitals", Set(8, "Parity: none"), "ERROR: - invalid parity: field", 8),
        Fails("ParityTrailingBlank", Set(8, "parity: none "), "ERROR: - invalid parity: field",
              8),
        Fails("ParityLeadingBlank", Set(8, "parity:  none"), "ERROR: - invalid parity: field",
              8),
        Fails("ParityNumber", Set(8, "parity: 0"), "ERROR: - invalid parity: field", 8),
        Loads("ParityOdd", Set(8, "parity: odd"),
              [](const TConfigSet& s) { EXPECT_EQ(s.Parity, QORLNK::paOdd); }),
        Loads("ParityNone", Set(8, "parity: none"),
              [](const TConfigSet& s) { EXPECT_EQ(s.Parity, QORLNK::paNone); }),
        Fails("StopBits1_5", Set(9, "stop_bits: 1.5"), "ERROR: - invalid stop_bits: field", 9),
        Fails("StopBits0", Set(9, "stop_bits: 0"), "ERROR: - invalid stop_bits: field", 9),
        Loads("StopBits1", Set(9, "stop_bits: 1"),
              [](const TConfigSet& s) { EXPECT_EQ(s.StopBits, QORLNK::sb1); }),
        Fails("ComPortBeforeBaud",
              [](TLines& l) {
                  l[5] = "com_port: x";
                  l[6] = "baud_rate: x";
              },
              "ERROR: - invalid com_port: field", 5),

        // title and captions
        Loads("Title75", Set(11, "title: " + std::string(75, 'T')),
              [](const TConfigSet& s) { EXPECT_EQ(s.Title, std::string(75, 'T')); }),
        Fails("Title76", Set(11, "title: " + std::string(76, 'T')),
              "ERROR: - invalid title: field", 11),
        Loads("TitleEmpty", Set(11, "title: "),
              [](const TConfigSet& s) { EXPECT_EQ(s.Title, ""); }),
        Loads("TitleBlanksKept", Set(11, "title:   two blanks before, one after "),
              [](const TConfigSet& s) { EXPECT_EQ(s.Title, "  two blanks before, one after "); }),
        Fails("TitleWithoutBlank", Set(11, "title:"), "ERROR: - invalid title: field", 11),
        Fails("TitleKeyMissing", Set(11, "My rig"), "ERROR: - invalid title: field", 11),
        Fails("TitleBlankBeforeKey", Set(11, " title: x"), "ERROR: - invalid title: field", 11),
        Fails("Caption1Empty", Set(13, "page1_cap: "), "ERROR: - invalid page1_cap: field", 13),
        Fails("Caption3Of25", Set(15, "page3_cap: " + std::string(25, 'c')),
              "ERROR: - invalid page3_cap: field", 15),
        Loads("Caption8Of24", Set(20, "page8_cap: " + std::string(24, 'c')),
              [](const TConfigSet& s) { EXPECT_EQ(s.PageCaptions[7], std::string(24, 'c')); }),
        Fails("Caption8Empty", Set(20, "page8_cap: "), "ERROR: - invalid page8_cap: field", 20),
        Fails("CaptionKeysSwapped",
              [](TLines& l) {
                  l[13] = "page2_cap: a";
                  l[14] = "page1_cap: b";
              },
              "ERROR: - invalid page1_cap: field", 13),
        Fails("TitleBeforeCaptions",
              [](TLines& l) {
                  l[11] = "x";
                  l[13] = "x";
              },
              "ERROR: - invalid title: field", 11),

        // command blocks: each field of the first block
        Fails("CmdType6", Set(BL(0, 0), "cmd_type: 6"), BlockMsg("cmd_type:", 0, 0), BL(0, 0)),
        Fails("CmdTypeMinus1", Set(BL(0, 0), "cmd_type: -1"), BlockMsg("cmd_type:", 0, 0),
              BL(0, 0)),
        Fails("CmdStr17", Set(BL(0, 1), "cmd_str: " + std::string(17, 'S')),
              BlockMsg("cmd_str:", 0, 1), BL(0, 1)),
        Loads("CmdStr16", Set(BL(0, 1), "cmd_str: " + std::string(16, 'S')),
              [](const TConfigSet& s) { EXPECT_EQ(s.CmdTable[0].cmd_str, std::string(16, 'S')); }),
        Fails("CmdStrWithoutBlank", Set(BL(0, 1), "cmd_str:"), BlockMsg("cmd_str:", 0, 1),
              BL(0, 1)),
        Loads("CmdStrEmpty", Set(BL(0, 1), "cmd_str: "),
              [](const TConfigSet& s) { EXPECT_FALSE(s.CmdTable[0].defined()); }),
        Loads("CmdStrWithBlanksAndPunctuation", Set(BL(0, 1), "cmd_str:  A B=?;,"),
              [](const TConfigSet& s) { EXPECT_EQ(s.CmdTable[0].cmd_str, " A B=?;,"); }),
        Fails("CmdDescr33", Set(BL(0, 2), "cmd_descr: " + std::string(33, 'd')),
              BlockMsg("cmd_descr:", 0, 2), BL(0, 2)),
        Fails("Str81", Set(BL(0, 3), "str: " + std::string(81, 's')), BlockMsg("str:", 0, 3),
              BL(0, 3)),
        Loads("Str80", Set(BL(0, 3), "str: " + std::string(80, 's')),
              [](const TConfigSet& s) { EXPECT_EQ(s.CmdTable[0].str, std::string(80, 's')); }),
        Loads("ValStartTwoBlanksBefore17", Set(BL(0, 4), "val_start:   17"),
              [](const TConfigSet& s) { EXPECT_EQ(s.CmdTable[0].val_start, 17); }),
        Fails("ValStartBlankAfter17", Set(BL(0, 4), "val_start: 17 "),
              BlockMsg("val_start:", 0, 4), BL(0, 4)),
        Loads("ValStartDollar11", Set(BL(0, 4), "val_start: $11"),
              [](const TConfigSet& s) { EXPECT_EQ(s.CmdTable[0].val_start, 17); }),
        Loads("ValStart0x11", Set(BL(0, 4), "val_start: 0x11"),
              [](const TConfigSet& s) { EXPECT_EQ(s.CmdTable[0].val_start, 17); }),
        Loads("ValStart65535", Set(BL(0, 4), "val_start: 65535"),
              [](const TConfigSet& s) { EXPECT_EQ(s.CmdTable[0].val_start, 65535); }),
        Fails("ValStartMinus1", Set(BL(0, 4), "val_start: -1"), BlockMsg("val_start:", 0, 4),
              BL(0, 4)),
        Fails("ValStart65536", Set(BL(0, 4), "val_start: 65536"), BlockMsg("val_start:", 0, 4),
              BL(0, 4)),
        Fails("ValStartEmpty", Set(BL(0, 4), "val_start: "), BlockMsg("val_start:", 0, 4),
              BL(0, 4)),
        Fails("ValMinOutOfRange", Set(BL(0, 5), "val_min: 70000"), BlockMsg("val_min:", 0, 5),
              BL(0, 5)),
        Fails("ValMaxNotANumber", Set(BL(0, 6), "val_max: 1k"), BlockMsg("val_max:", 0, 6),
              BL(0, 6)),
        Fails("ValIncNegative", Set(BL(0, 7), "val_inc: -5"), BlockMsg("val_inc:", 0, 7),
              BL(0, 7)),
        Fails("ColourNotANumber", Set(BL(0, 8), "colour: red"), BlockMsg("colour:", 0, 8),
              BL(0, 8)),
        Fails("ColourOutOf32Bits", Set(BL(0, 8), "colour: 4294967295"),
              BlockMsg("colour:", 0, 8), BL(0, 8)),
        Loads("ColourNegative", Set(BL(0, 8), "colour: -16777201"),
              [](const TConfigSet& s) { EXPECT_EQ(s.CmdTable[0].colour, -16777201); }),
        Loads("ColourHexPattern", Set(BL(0, 8), "colour: $FFFFFFFF"),
              [](const TConfigSet& s) { EXPECT_EQ(s.CmdTable[0].colour, -1); }),
        Fails("Opts32InFirstBlock", Set(BL(0, 9), "opts: 32"),
              "ERROR: - invalid opts field in command #0 (line #31)", 31),
        Fails("OptsWithoutBlank", Set(BL(0, 9), "opts:5"),
              "ERROR: - invalid opts field in command #0 (line #31)", 31),
        Loads("Opts31", Set(BL(0, 9), "opts: 31"),
              [](const TConfigSet& s) { EXPECT_EQ(s.CmdTable[0].opts, 31u); }),
        Fails("ClosingLineNotBlank", Set(BL(0, 10), " "),
              "ERROR: - line not blank (line #32)", 32),
        Fails("FieldsInOffsetOrder",
              [](TLines& l) {
                  l[BL(0, 9)] = "opts: x";
                  l[BL(0, 4)] = "val_start: x";
              },
              BlockMsg("val_start:", 0, 4), BL(0, 4)),
        Fails("BlocksInOrder",
              [](TLines& l) {
                  l[BL(7, 0)] = "x";
                  l[BL(6, 10)] = "x";
              },
              "ERROR: - line not blank (line #98)", 98),
        Fails("KeysOfTwoBlocksSwapped",
              [](TLines& l) { std::swap(l[BL(3, 2)], l[BL(3, 3)]); },
              BlockMsg("cmd_descr:", 3, 2), BL(3, 2)),

        // the last block
        Fails("LastBlockCmdType", Set(BL(191, 0), "cmd_type: 9"),
              BlockMsg("cmd_type:", 191, 0), 2123),
        Fails("LastBlockOpts", Set(BL(191, 9), "opts: 64"),
              "ERROR: - invalid opts field in command #191 (line #2132)", 2132),
        Fails("LastLineNotBlank", Set(2133, "end"), "ERROR: - line not blank (line #2133)",
              2133),

        // values tested alone
        Loads("ValMinAboveValMax",
              [](TLines& l) {
                  l[BL(5, 4)] = "val_start: 9";
                  l[BL(5, 5)] = "val_min: 100";
                  l[BL(5, 6)] = "val_max: 10";
              },
              [](const TConfigSet& s) {
                  EXPECT_EQ(s.CmdTable[5].val_start, 9);
                  EXPECT_EQ(s.CmdTable[5].val_min, 100);
                  EXPECT_EQ(s.CmdTable[5].val_max, 10);
              }),
        Loads("Kind0WithValuesAndStr",
              [](TLines& l) {
                  l[BL(4, 0)] = "cmd_type: 0";
                  l[BL(4, 3)] = "str: left over";
                  l[BL(4, 4)] = "val_start: 5";
              },
              [](const TConfigSet& s) {
                  EXPECT_EQ(s.CmdTable[4].cmd_type, ctCommand);
                  EXPECT_EQ(s.CmdTable[4].str, "left over");
                  EXPECT_EQ(s.CmdTable[4].val_start, 5);
              }),
        Loads("UndefinedSlotOfAnyKindAndFlags",
              [](TLines& l) {
                  l[BL(1, 0)] = "cmd_type: 5";
                  l[BL(1, 1)] = "cmd_str: ";
                  l[BL(1, 9)] = "opts: 31";
              },
              [](const TConfigSet& s) {
                  EXPECT_EQ(s.CmdTable[1].cmd_type, ctParamGetSet);
                  EXPECT_FALSE(s.CmdTable[1].defined());
                  EXPECT_EQ(s.CmdTable[1].opts, 31u);
              }),

        // long lines: any number of leading blanks or zeros before an integer
        Loads("IntegerAfter10000Blanks", Set(BL(2, 4), "val_start: " + std::string(10000, ' ') + "17"),
              [](const TConfigSet& s) { EXPECT_EQ(s.CmdTable[2].val_start, 17); }),
        Loads("IntegerAfter10000Zeros", Set(BL(2, 5), "val_min: " + std::string(10000, '0') + "17"),
              [](const TConfigSet& s) { EXPECT_EQ(s.CmdTable[2].val_min, 17); }),
        Loads("NegativeAfterBlanksAndZeros",
              Set(BL(2, 8), "colour: " + std::string(5000, ' ') + "-" + std::string(5000, '0') + "5"),
              [](const TConfigSet& s) { EXPECT_EQ(s.CmdTable[2].colour, -5); }),
        Loads("HexAfterBlanksAndZeros",
              Set(BL(2, 8), "colour:" + std::string(7000, ' ') + "0x" + std::string(7000, '0') + "FFFFFFFF"),
              [](const TConfigSet& s) { EXPECT_EQ(s.CmdTable[2].colour, -1); }),
        Loads("VersionAndChoicesAfterBlanks",
              [](TLines& l) {
                  l[3] = "vers_minor: " + std::string(20000, ' ') + "8";
                  l[6] = "baud_rate: " + std::string(20000, ' ') + "00115200";
                  l[BL(0, 0)] = "cmd_type: " + std::string(20000, '0');
              },
              [](const TConfigSet& s) {
                  EXPECT_EQ(s.BaudRate, QORLNK::br115200);
                  EXPECT_EQ(s.CmdTable[0].cmd_type, ctCommand);
              }),
        Fails("VersionAfterZeros", Set(3, "vers_minor: " + std::string(20000, '0') + "9"),
              "ERROR: - invalid configuration file version, got V1.9, expected V1.8", 3),
        Fails("PaddedIntegerBlankAfter", Set(BL(2, 4), "val_start: " + std::string(10000, ' ') + "17 "),
              BlockMsg("val_start:", 2, 4), BL(2, 4)),
        Fails("IntegerBlanksAfter", Set(BL(2, 4), "val_start: 17" + std::string(10000, ' ')),
              BlockMsg("val_start:", 2, 4), BL(2, 4)),
        Fails("IntegerZerosAfterDigit", Set(BL(2, 8), "colour: 1" + std::string(10000, '0')),
              BlockMsg("colour:", 2, 8), BL(2, 8)),
        Fails("HexZerosAfterDigit", Set(BL(2, 8), "colour: $1" + std::string(10000, '0')),
              BlockMsg("colour:", 2, 8), BL(2, 8)),
        Fails("PaddedIntegerOutOfRange", Set(BL(2, 9), "opts: " + std::string(10000, ' ') + "32"),
              "ERROR: - invalid opts field in command #2 (line #53)", 53),
        Fails("PaddedIntegerWithoutBlankAfterColon",
              Set(BL(2, 4), "val_start:" + std::string(10000, '0') + "17"),
              BlockMsg("val_start:", 2, 4), BL(2, 4)),
        Fails("PaddedKey", Set(BL(2, 4), std::string(10000, ' ') + "val_start: 17"),
              BlockMsg("val_start:", 2, 4), BL(2, 4)),
        Fails("DigitsAndBlanksAlternating", Set(BL(2, 6), "val_max: " + JoinLines(TLines(5000, "1"), " ")),
              BlockMsg("val_max:", 2, 6), BL(2, 6)),
        // long lines: texts keep their length limits, whatever the padding
        Fails("HugeTitle", Set(11, "title: " + std::string(1 << 20, 't')),
              "ERROR: - invalid title: field", 11),
        Fails("TitleOf10000Blanks", Set(11, "title: " + std::string(10000, ' ')),
              "ERROR: - invalid title: field", 11),
        Fails("CaptionOf10000Zeros", Set(14, "page2_cap: " + std::string(10000, '0')),
              "ERROR: - invalid page2_cap: field", 14),
        Fails("CmdStrOfBlanks", Set(BL(2, 1), "cmd_str: " + std::string(10000, ' ')),
              BlockMsg("cmd_str:", 2, 1), BL(2, 1)),
        Fails("ParityAfterBlanks", Set(8, "parity: " + std::string(10000, ' ') + "none"),
              "ERROR: - invalid parity: field", 8),
        Fails("HeaderPadded", Set(0, std::string(kConfigHeader) + std::string(10000, ' ')),
              "ERROR: - invalid header", 0),
        Fails("HugeLineWhereBlankExpected", Set(21, std::string(100000, ' ')),
              "ERROR: - line #21 not blank", 21),
        Fails("HugeLineOfZerosClosingABlock", Set(BL(2, 10), std::string(100000, '0')),
              "ERROR: - line not blank (line #54)", 54),
    };
    return rows;
}

class ConfigMutation : public ::testing::TestWithParam<MutationRow> {};

TEST_P(ConfigMutation, GivesExpectedResult) {
    const MutationRow& row = GetParam();
    TLines lines = SplitCrLf(WriteConfig(SampleSet()));
    ASSERT_EQ(lines.size(), 2134u);
    row.mutate(lines);
    const TConfigReadResult r = ReadConfig(JoinLines(lines, "\r\n"));
    if (row.message.empty()) {
        ASSERT_TRUE(r.Ok) << r.Message;
        EXPECT_EQ(r.Message, "");
        if (row.check)
            row.check(r.Set);
    } else {
        EXPECT_FALSE(r.Ok);
        EXPECT_EQ(r.Message, row.message);
        EXPECT_EQ(r.Line, row.line);
    }
}

INSTANTIATE_TEST_SUITE_P(Reader, ConfigMutation, ::testing::ValuesIn(Rows()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ConfigMutation, RowNamesAreUnique) {
    std::set<std::string> names;
    for (const MutationRow& r : Rows())
        EXPECT_TRUE(names.insert(r.name).second) << r.name;
}

// ---------------------------------------------------------------------------

// Every padding length from none to far beyond any bound the reader keeps
// inside: an integer reads the same after any number of blanks and zeros, a
// run of zeros after a digit still counts, and a text keeps its length limit.
TEST(ConfigRead, PaddingOfAnyLength) {
    const TLines base = SplitCrLf(WriteConfig(SampleSet()));
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 700; n += 3)
        lengths.push_back(n);
    for (std::size_t n : {4095u, 4096u, 4097u, 70000u})
        lengths.push_back(n);
    for (std::size_t n : lengths) {
        SCOPED_TRACE(n);
        const std::string blanks(n, ' '), zeros(n, '0');
        TLines l = base;
        l[BL(3, 4)] = "val_start: " + blanks + zeros + "17";
        l[BL(3, 5)] = "val_min: " + blanks + "+" + zeros + "1" + zeros.substr(0, 4);
        l[BL(3, 8)] = "colour:" + blanks + " 0x" + zeros + "7FFFFFFF";
        TConfigReadResult r = ReadConfig(JoinLines(l, "\r\n"));
        ASSERT_TRUE(r.Ok) << r.Message;
        EXPECT_EQ(r.Set.CmdTable[3].val_start, 17);
        EXPECT_EQ(r.Set.CmdTable[3].val_min, std::stoi("1" + zeros.substr(0, 4)));
        EXPECT_EQ(r.Set.CmdTable[3].colour, INT32_MAX);

        l = base;
        l[BL(3, 8)] = "colour: " + blanks + "1" + zeros;
        r = ReadConfig(JoinLines(l, "\r\n"));
        EXPECT_EQ(r.Ok, n <= 9) << r.Message;

        l = base;
        l[BL(3, 2)] = "cmd_descr: " + blanks;
        r = ReadConfig(JoinLines(l, "\r\n"));
        EXPECT_EQ(r.Ok, n <= 32) << r.Message;
        if (r.Ok) {
            EXPECT_EQ(r.Set.CmdTable[3].cmd_descr, blanks);
        }
    }
}

TEST(ConfigRead, SampleRoundTrips) {
    const TConfigSet s = SampleSet();
    const TConfigReadResult r = ReadConfig(WriteConfig(s));
    ASSERT_TRUE(r.Ok) << r.Message;
    EXPECT_EQ(r.Set, s);
}

TEST(ConfigRead, DefaultStateRoundTrips) {
    TConfigSet s; // as at start: every slot cleared, captions "Cmds 1".."Cmds 8"
    const TConfigReadResult r = ReadConfig(WriteConfig(s));
    ASSERT_TRUE(r.Ok) << r.Message;
    EXPECT_EQ(r.Set, s);
}

TEST(ConfigRead, LimitsOfEveryRangeRoundTrip) {
    TConfigSet s;
    s.Title = std::string(75, '\xFF');
    for (auto& c : s.PageCaptions)
        c = std::string(24, '\x80');
    s.ComPort = 32;
    s.BaudRate = QORLNK::br115200;
    for (int i = 0; i < kSlotCount; ++i) {
        TCmdRecord& r = s.CmdTable[i];
        r.cmd_type = static_cast<std::int8_t>(i % 6);
        r.cmd_str = std::string(16, static_cast<char>(0x21 + i % 90));
        r.cmd_descr = std::string(32, static_cast<char>(0xA0 + i % 90));
        r.str = std::string(80, ' '); // blanks only: kept, never trimmed
        r.val_start = 65535;
        r.val_min = 0;
        r.val_max = 65535;
        r.val_inc = 65535;
        r.colour = (i % 2) ? INT32_MIN : INT32_MAX;
        r.opts = 31;
    }
    const TConfigReadResult r = ReadConfig(WriteConfig(s));
    ASSERT_TRUE(r.Ok) << r.Message;
    EXPECT_EQ(r.Set, s);
}

TEST(ConfigRead, EightBitBytesAreKept) {
    TConfigSet s = SampleSet();
    std::string all;
    for (int c = 1; c < 256; ++c) {
        if (c != '\r' && c != '\n')
            all += static_cast<char>(c);
    }
    s.Title = all.substr(0, 75);
    s.CmdTable[10].str = all.substr(75, 80);
    s.CmdTable[11].str = all.substr(155, 80);
    s.CmdTable[12].cmd_descr = all.substr(235);
    const TConfigReadResult r = ReadConfig(WriteConfig(s));
    ASSERT_TRUE(r.Ok) << r.Message;
    EXPECT_EQ(r.Set, s);
}

TEST(ConfigRead, LineEndsOfEveryKindReadTheSame) {
    const TConfigSet s = SampleSet();
    const TLines lines = SplitCrLf(WriteConfig(s));
    std::string mixed;
    const char* ends[] = {"\r\n", "\n", "\r"};
    for (std::size_t i = 0; i < lines.size(); ++i)
        mixed += lines[i] + ends[i % 3];
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"LF only", JoinLines(lines, "\n")},
        {"CR only", JoinLines(lines, "\r")},
        {"mixed", mixed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TConfigReadResult r = ReadConfig(c.text);
        ASSERT_TRUE(r.Ok) << r.Message;
        EXPECT_EQ(r.Set, s);
    }
}

TEST(ConfigRead, LineEndCountTable) {
    const TLines lines = SplitCrLf(WriteConfig(SampleSet()));
    const std::string crlf = JoinLines(lines, "\r\n");
    const struct {
        const char* name;
        std::string text;
        int lines;
    } cases[] = {
        {"LF CR is two line ends", crlf.substr(0, crlf.size() - 2) + "\n\r", 2135},
        {"CR CR LF is two line ends", crlf.substr(0, crlf.size() - 2) + "\r\r\n", 2135},
        {"trailing CR LF", crlf + "\r\n", 2135},
        {"final empty line without its end", crlf.substr(0, crlf.size() - 2), 2133},
        {"trailing blank without end", crlf + " ", 2135},
        {"single CR", "\r", 1},
        {"single LF", "\n", 1},
        {"text without end", "abc", 1},
        {"only NUL", std::string(1, '\0'), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TConfigReadResult r = ReadConfig(c.text);
        EXPECT_FALSE(r.Ok);
        EXPECT_EQ(r.Message, kSizeMsg + std::to_string(c.lines) + " lines, expected 2134");
        EXPECT_EQ(r.Line, -1);
    }
}

TEST(ConfigRead, NulByteEndsTheText) {
    const TConfigSet s = SampleSet();
    const std::string text = WriteConfig(s);
    {
        SCOPED_TRACE("NUL after the last line: the rest is ignored");
        const TConfigReadResult r = ReadConfig(text + std::string(1, '\0') + "garbage\r\nmore\r\n");
        ASSERT_TRUE(r.Ok) << r.Message;
        EXPECT_EQ(r.Set, s);
    }
    {
        SCOPED_TRACE("NUL inside line 100: 100 full lines and a partial one");
        std::size_t pos = 0;
        for (int i = 0; i < 100; ++i)
            pos = text.find("\r\n", pos) + 2;
        std::string cut = text;
        cut.insert(pos + 3, 1, '\0');
        const TConfigReadResult r = ReadConfig(cut);
        EXPECT_EQ(r.Message, kSizeMsg + "101 lines, expected 2134");
    }
    {
        SCOPED_TRACE("NUL inside a value");
        TConfigSet t = s;
        t.Title = std::string("ab\0cd", 5);
        const TConfigReadResult r = ReadConfig(WriteConfig(t));
        EXPECT_EQ(r.Message, kSizeMsg + "12 lines, expected 2134");
    }
}

TEST(ConfigRead, FailedReadReturnsNoValues) {
    TLines lines = SplitCrLf(WriteConfig(SampleSet()));
    lines[2132] = "opts: 99";
    const TConfigReadResult r = ReadConfig(JoinLines(lines, "\r\n"));
    ASSERT_FALSE(r.Ok);
    EXPECT_EQ(r.Set, TConfigSet{});
}

} // namespace
