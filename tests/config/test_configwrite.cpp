// The writer's exact output and its read-back warnings.
#include "comport/LnkText.h"
#include "config/ConfigFile.h"
#include "config_samples.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace pmv;
using pmv::test::SampleSet;
using pmv::test::SplitCrLf;

namespace {

TEST(ConfigWrite, LayoutOfTheDefaultState) {
    TConfigSet s;
    s.CmdTable[7].opts = Disabled; // a cleared slot keeps its Disabled flag
    const std::string text = WriteConfig(s);
    const std::vector<std::string> lines = SplitCrLf(text);
    ASSERT_EQ(lines.size(), 2134u);
    EXPECT_EQ(pmv::test::JoinLines(lines, "\r\n"), text); // every line ends with CR LF
    const std::vector<std::string> head = {
        "QXM300 Controller Host Configuration File",
        "",
        "vers_major: 1",
        "vers_minor: 8",
        "",
        "com_port: 1",
        "baud_rate: 9600",
        "data_bits: 8",
        "parity: none",
        "stop_bits: 1",
        "",
        "title: ",
        "",
        "page1_cap: Cmds 1",
        "page2_cap: Cmds 2",
        "page3_cap: Cmds 3",
        "page4_cap: Cmds 4",
        "page5_cap: Cmds 5",
        "page6_cap: Cmds 6",
        "page7_cap: Cmds 7",
        "page8_cap: Cmds 8",
        "",
    };
    for (std::size_t i = 0; i < head.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(lines[i], head[i]);
    }
    const std::vector<std::string> block = {
        "cmd_type: 0",
        "cmd_str: ",
        "cmd_descr: ",
        "str: ",
        "val_start: 0",
        "val_min: 0",
        "val_max: 0",
        "val_inc: 0",
        "colour: 0",
        "opts: 0",
        "",
    };
    for (int k = 0; k < kSlotCount; ++k) {
        for (int o = 0; o < kConfigBlockLines; ++o) {
            SCOPED_TRACE("block " + std::to_string(k) + " offset " + std::to_string(o));
            const std::string expected = (k == 7 && o == 9) ? "opts: 16" : block[o];
            EXPECT_EQ(lines[kConfigBlockFirstLine + kConfigBlockLines * k + o], expected);
        }
    }
}

TEST(ConfigWrite, ValuesInSignedDecimal) {
    TConfigSet s = SampleSet();
    TCmdRecord& r = s.CmdTable[1];
    r = TCmdRecord{};
    r.cmd_type = ctParamGetSet;
    r.cmd_str = "SPD";
    r.cmd_descr = "Speed";
    r.str = " x ";
    r.val_start = -5;
    r.val_min = 0x7FFFFFFF;
    r.val_max = INT32_MIN;
    r.val_inc = 50;
    r.colour = -16777201;
    r.opts = 0xFFFFFFFFu;
    const std::vector<std::string> lines = SplitCrLf(WriteConfig(s));
    const std::vector<std::string> expected = {
        "cmd_type: 5",
        "cmd_str: SPD",
        "cmd_descr: Speed",
        "str:  x ",
        "val_start: -5",
        "val_min: 2147483647",
        "val_max: -2147483648",
        "val_inc: 50",
        "colour: -16777201",
        "opts: -1",
        "",
    };
    for (std::size_t o = 0; o < expected.size(); ++o)
        EXPECT_EQ(lines[33 + o], expected[o]);
}

TEST(ConfigWrite, SerialSettingsAsTheirTexts) {
    const struct {
        QORLNK::TBaudRate baud;
        QORLNK::TDataBits data;
        QORLNK::TParity parity;
        QORLNK::TStopBits stop;
        const char* lines[4];
    } cases[] = {
        {QORLNK::br115200,
         QORLNK::db7,
         QORLNK::paOdd,
         QORLNK::sb2,
         {"baud_rate: 115200", "data_bits: 7", "parity: odd", "stop_bits: 2"}},
        {QORLNK::br300,
         QORLNK::db5,
         QORLNK::paMark,
         QORLNK::sb1_5,
         {"baud_rate: 300", "data_bits: 5", "parity: mark", "stop_bits: 1.5"}},
        // Ordinals past the last value but inside each enumeration's value range
        // (TDataBits has no such ordinal: 0..3 fill its two bits).
        {static_cast<QORLNK::TBaudRate>(11),
         QORLNK::db6,
         static_cast<QORLNK::TParity>(5),
         static_cast<QORLNK::TStopBits>(3),
         {"baud_rate: <invalid baud rate>", "data_bits: 6", "parity: <invalid parity>",
          "stop_bits: <invalid stop bits>"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines[0]);
        TConfigSet s;
        s.BaudRate = c.baud;
        s.DataBits = c.data;
        s.Parity = c.parity;
        s.StopBits = c.stop;
        const std::vector<std::string> lines = SplitCrLf(WriteConfig(s));
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(lines[6 + i], c.lines[i]);
    }
}

TEST(ConfigWrite, ReadBackWarningsTable) {
    const std::string W = "WARNING: - saved file will not load again: ";
    const struct {
        const char* name;
        void (*change)(TConfigSet&);
        std::vector<std::string> warnings;
    } cases[] = {
        {"valid set", [](TConfigSet&) {}, {}},
        {"300 baud",
         [](TConfigSet& s) { s.BaudRate = QORLNK::br300; },
         {W + "invalid baud_rate: field"}},
        {"5 data bits, mark parity, 1.5 stop bits",
         [](TConfigSet& s) {
             s.DataBits = QORLNK::db5;
             s.Parity = QORLNK::paMark;
             s.StopBits = QORLNK::sb1_5;
         },
         {W + "invalid data_bits: field", W + "invalid parity: field",
          W + "invalid stop_bits: field"}},
        {"port 0 and long title",
         [](TConfigSet& s) {
             s.ComPort = 0;
             s.Title = std::string(76, 't');
         },
         {W + "invalid com_port: field", W + "invalid title: field"}},
        {"empty page caption",
         [](TConfigSet& s) { s.PageCaptions[4] = ""; },
         {W + "invalid page5_cap: field"}},
        {"stored negative default and long texts",
         [](TConfigSet& s) {
             s.CmdTable[3].val_start = -7;
             s.CmdTable[3].cmd_str = std::string(17, 'c');
             s.CmdTable[100].str = std::string(81, 's');
         },
         {W + "invalid cmd_str: field in command #3 (line #56)",
          W + "invalid val_start: field in command #3 (line #59)",
          W + "invalid str: field in command #100 (line #1125)"}},
        {"opts beyond the flags",
         [](TConfigSet& s) { s.CmdTable[0].opts = 0x100; },
         {W + "invalid opts field in command #0 (line #31)"}},
        {"line break in the title",
         [](TConfigSet& s) { s.Title = "a\nb"; },
         {W + "invalid confguration file size, got 2135 lines, expected 2134"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TConfigSet s = SampleSet();
        c.change(s);
        const std::string text = WriteConfig(s);
        EXPECT_EQ(ConfigReadBackWarnings(text), c.warnings);
        // No warning exactly when the reader accepts the text.
        EXPECT_EQ(ReadConfig(text).Ok, c.warnings.empty());
    }
}

TEST(ConfigWrite, ManyWarningsAreCut) {
    TConfigSet s = SampleSet();
    for (auto& r : s.CmdTable)
        r.val_inc = -1;
    const std::vector<std::string> w = ConfigReadBackWarnings(WriteConfig(s));
    ASSERT_EQ(w.size(), 21u);
    EXPECT_EQ(w[0], "WARNING: - saved file will not load again: invalid val_inc: field in command "
                    "#0 (line #29)");
    EXPECT_EQ(w[20], "WARNING: - saved file will not load again: 172 more invalid lines");
}

TEST(LnkText, TextForms) {
    using namespace QORLNK;
    const int bauds[] = {110, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    for (int i = 0; i <= br115200; ++i) {
        EXPECT_EQ(BaudRateValue(static_cast<TBaudRate>(i)), bauds[i]);
        EXPECT_EQ(BaudRateStr(static_cast<TBaudRate>(i)), std::to_string(bauds[i]));
    }
    EXPECT_EQ(BaudRateValue(static_cast<TBaudRate>(11)), 0);
    EXPECT_EQ(BaudRateStr(static_cast<TBaudRate>(15)), "<invalid baud rate>");
    EXPECT_EQ(DataBitsStr(db5), "5");
    EXPECT_EQ(DataBitsStr(db8), "8");
    EXPECT_EQ(ParityStr(paOdd), "odd");
    EXPECT_EQ(ParityStr(paSpace), "space");
    EXPECT_EQ(ParityStr(static_cast<TParity>(5)), "<invalid parity>");
    EXPECT_EQ(StopBitsStr(sb1_5), "1.5");
    EXPECT_EQ(StopBitsStr(sb2), "2");
    EXPECT_EQ(StopBitsStr(static_cast<TStopBits>(3)), "<invalid stop bits>");
}

} // namespace
