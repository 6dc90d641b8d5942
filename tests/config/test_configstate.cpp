// The close-query comparison, the snapshot, and the parameter-default operations.
#include "config/ConfigState.h"
#include "config/IntText.h"
#include "config/ParamDefaults.h"
#include "config_samples.h"

#include <functional>
#include <string>

#include <gtest/gtest.h>

using namespace pmv;
using pmv::test::SampleSet;

namespace {

// The window's current state as the close query sees it.
struct Current {
    std::string title;
    TPageCaptions captions;
    int port, baud, parity;
    TCmdTable table;

    explicit Current(const TConfigSet& s)
        : title(s.Title), captions(s.PageCaptions), port(s.ComPort),
          baud(static_cast<int>(s.BaudRate)), parity(static_cast<int>(s.Parity)),
          table(s.CmdTable) {}

    TConfigModification Find(const TSavedConfig& saved) const {
        return FindConfigModification(title, captions, port, baud, parity, table, saved);
    }
};

TEST(IsConfigModified, FreshWindowAsksNothing) {
    const TSavedConfig saved{}; // as taken at start
    TConfigSet start;
    start.ComPort = 0; // the snapshot takes the component's port, 0 in this fresh snapshot
    start.BaudRate = static_cast<QORLNK::TBaudRate>(0);
    start.Parity = QORLNK::paNone;
    const Current c(start);
    EXPECT_FALSE(IsConfigModified(c.title, c.captions, c.port, c.baud, c.parity, c.table, saved));
}

TEST(IsConfigModified, ChangeTable) {
    const struct {
        const char* name;
        std::function<void(Current&)> change;
        TConfigChange expected;
        int index;
    } rows[] = {
        {"nothing", [](Current&) {}, TConfigChange::None, -1},
        {"title", [](Current& c) { c.title += "!"; }, TConfigChange::Title, -1},
        {"title cleared", [](Current& c) { c.title.clear(); }, TConfigChange::Title, -1},
        {"caption of page 6", [](Current& c) { c.captions[5] = "Other"; },
         TConfigChange::PageCaption, 5},
        {"caption renamed and back",
         [](Current& c) {
             const std::string old = c.captions[2];
             c.captions[2] = "Renamed";
             c.captions[2] = old;
         },
         TConfigChange::None, -1},
        {"port", [](Current& c) { c.port = 3; }, TConfigChange::Port, -1},
        {"baud rate", [](Current& c) { c.baud = QORLNK::br57600; }, TConfigChange::BaudRate, -1},
        {"parity", [](Current& c) { c.parity = QORLNK::paNone; }, TConfigChange::Parity, -1},
        {"letter case of cmd_str in slot 3", [](Current& c) { c.table[3].cmd_str = "cmd3"; },
         TConfigChange::CmdRecord, 3},
        {"stored default in slot 191", [](Current& c) { c.table[191].val_start = 1; },
         TConfigChange::CmdRecord, 191},
        {"opts beyond the low byte", [](Current& c) { c.table[40].opts |= 0x100; },
         TConfigChange::CmdRecord, 40},
        {"delete all commands",
         [](Current& c) {
             for (auto& r : c.table)
                 ClearRecord(r);
         },
         TConfigChange::CmdRecord, 0},
        {"title before captions",
         [](Current& c) {
             c.captions[0] = "x";
             c.title = "x";
         },
         TConfigChange::Title, -1},
        {"captions before port",
         [](Current& c) {
             c.port = 9;
             c.captions[7] = "x";
         },
         TConfigChange::PageCaption, 7},
        {"port before baud and parity",
         [](Current& c) {
             c.parity = QORLNK::paOdd;
             c.baud = QORLNK::br1200;
             c.port = 2;
         },
         TConfigChange::Port, -1},
        {"serial settings before records",
         [](Current& c) {
             c.table[0].colour = 1;
             c.parity = QORLNK::paOdd;
         },
         TConfigChange::Parity, -1},
        {"first differing record",
         [](Current& c) {
             c.table[150].val_inc = 3;
             c.table[20].cmd_descr = "x";
         },
         TConfigChange::CmdRecord, 20},
    };
    const TConfigSet s = SampleSet();
    const TSavedConfig saved = MakeSavedConfig(s);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Current c(s);
        row.change(c);
        const TConfigModification m = c.Find(saved);
        EXPECT_EQ(m.Change, row.expected);
        EXPECT_EQ(m.Index, row.index);
        EXPECT_EQ(static_cast<bool>(m), row.expected != TConfigChange::None);
        EXPECT_EQ(IsConfigModified(c.title, c.captions, c.port, c.baud, c.parity, c.table, saved),
                  row.expected != TConfigChange::None);
    }
}

TEST(IsConfigModified, DataBitsAndStopBitsAreNotCompared) {
    TConfigSet s = SampleSet();
    const TSavedConfig saved = MakeSavedConfig(s);
    s.DataBits = QORLNK::db8;
    s.StopBits = QORLNK::sb1;
    EXPECT_FALSE(Current(s).Find(saved));
    EXPECT_EQ(MakeSavedConfig(s).SavedPort, 25);
}

TEST(IsConfigModified, SnapshotOfALoadedFileMatchesIt) {
    const TConfigSet s = SampleSet();
    const TConfigReadResult r = ReadConfig(WriteConfig(s));
    ASSERT_TRUE(r.Ok);
    EXPECT_FALSE(Current(r.Set).Find(MakeSavedConfig(r.Set)));
    const TSavedConfig saved = MakeSavedConfig(r.Set);
    EXPECT_EQ(saved.SavedBaudRate, static_cast<int>(QORLNK::br19200));
    EXPECT_EQ(saved.SavedParity, static_cast<int>(QORLNK::paEven));
}

TEST(CloseQuery, Prompt) {
    EXPECT_EQ(CloseQueryPrompt(""), "Create New Configuration File?");
    EXPECT_EQ(CloseQueryPrompt("/home/op/rigs/pump.ini"), "Update Configuration File pump.ini?");
    EXPECT_EQ(CloseQueryPrompt("pump.ini"), "Update Configuration File pump.ini?");
}

// ---------------------------------------------------------------------------

TCmdRecord Slot(std::int8_t kind, const char* cmd, std::int32_t start) {
    TCmdRecord r;
    r.cmd_type = kind;
    r.cmd_str = cmd;
    r.val_start = start;
    r.val_min = 0;
    r.val_max = 100;
    r.str = "hello";
    return r;
}

TEST(ParamDefaults, EditTextOfEachKind) {
    const struct {
        TCmdRecord r;
        const char* text;
    } rows[] = {
        {Slot(ctCommand, "STOP", 5), ""},
        {Slot(ctCommandValue, "RAMP", 5), "5"},
        {Slot(ctCommandString, "NAME", 5), "hello"},
        {Slot(ctParamGet, "TEMP", 5), "0"},
        {Slot(ctParamSet, "PSET", 500), "500"}, // outside its limits: shown as it is
        {Slot(ctParamGetSet, "SPD", 7), "7"},
        {Slot(ctParamGetSet, "", 7), ""}, // undefined
        {Slot(ctCommandString, "", 7), ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.r.cmd_str + " kind " + std::to_string(row.r.cmd_type));
        EXPECT_EQ(SlotDefaultEditText(row.r), row.text);
    }
}

TEST(ParamDefaults, StoreOneSlot) {
    const struct {
        std::int8_t kind;
        const char* text;
        std::int32_t stored; // val_start afterwards, starting from 1
        bool throws;
    } rows[] = {
        {ctCommand, "55", 1, false}, // not a parameter kind: nothing happens
        {ctCommandValue, "55", 1, false}, {ctCommandString, "abc", 1, false},
        {ctParamGet, "-12", -12, false}, // no range check
        {ctParamSet, "$10", 16, false},   {ctParamGetSet, "  70000", 70000, false},
        {ctParamGetSet, "7 ", 1, true},   {ctParamGet, "", 1, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string("kind ") + std::to_string(row.kind) + " text '" + row.text + "'");
        TCmdRecord r = Slot(row.kind, "X", 1);
        if (row.throws) {
            try {
                StoreParameterDefault(r, row.text);
                ADD_FAILURE() << "no exception";
            } catch (const EConvertError& e) {
                EXPECT_EQ(std::string(e.what()),
                          std::string("'") + row.text + "' is not a valid integer value");
            }
        } else {
            StoreParameterDefault(r, row.text);
        }
        EXPECT_EQ(r.val_start, row.stored);
    }
}

TEST(ParamDefaults, StoreAllStopsAtTheFirstBadSlot) {
    TCmdTable table{};
    TSlotEditTexts texts;
    for (int i = 0; i < kSlotCount; ++i) {
        table[i] = Slot(static_cast<std::int8_t>(3 + i % 3), "P", 1);
        texts[i] = std::to_string(1000 + i);
    }
    table[10].cmd_type = ctCommandValue; // skipped whatever its text
    texts[10] = "not a number";
    table[20].opts = Disabled; // disabled slots take part
    table[30].cmd_str.clear(); // an undefined parameter slot shows an empty edit
    texts[30] = SlotDefaultEditText(table[30]);
    try {
        StoreAllParameterDefaults(table, texts);
        ADD_FAILURE() << "no exception";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'' is not a valid integer value");
    }
    for (int i = 0; i < kSlotCount; ++i) {
        SCOPED_TRACE(i);
        const bool stored = i < 30 && i != 10;
        EXPECT_EQ(table[i].val_start, stored ? 1000 + i : 1);
    }
}

TEST(ParamDefaults, StoredValueOutsideTheFileRangeWarnsOnSave) {
    TConfigSet s = SampleSet();
    s.CmdTable[3] = Slot(ctParamGet, "TEMP", 0);
    StoreParameterDefault(s.CmdTable[3], "-40");
    EXPECT_EQ(ConfigReadBackWarnings(WriteConfig(s)),
              std::vector<std::string>{"WARNING: - saved file will not load again: invalid "
                                       "val_start: field in command #3 (line #59)"});
}

TEST(ParamDefaults, SetAllBringsBackEveryDefault) {
    const TConfigSet s = SampleSet();
    const TSlotEditTexts texts = AllDefaultEditTexts(s.CmdTable);
    for (int i = 0; i < kSlotCount; ++i)
        EXPECT_EQ(texts[i], SlotDefaultEditText(s.CmdTable[i]));
    // Storing what Set All shows leaves the table as it was.
    TCmdTable table = s.CmdTable;
    for (auto& r : table) {
        if (IsParamKind(r.cmd_type) && !r.defined())
            r.cmd_type = ctCommand; // an empty edit would stop the run
    }
    const TCmdTable before = table;
    TSlotEditTexts shown = AllDefaultEditTexts(table);
    for (int i = 0; i < kSlotCount; ++i) {
        if (table[i].cmd_type == ctParamGet)
            shown[i] = std::to_string(table[i].val_start); // a reply shown there
    }
    StoreAllParameterDefaults(table, shown);
    EXPECT_EQ(table, before);
}

} // namespace
