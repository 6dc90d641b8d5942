// The command set as a document: its operations, what they report as
// changed, and the modified state they leave, without a window.
#include "config/CommandSet.h"
#include "config/IntText.h"
#include "config_samples.h"

#include <cstdio>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

using namespace pmv;

namespace {

TCmdRecord Def(const char* cmd, std::int8_t kind = ctParamGetSet, std::int32_t start = 7) {
    TCmdRecord r;
    r.cmd_type = kind;
    r.cmd_str = cmd;
    r.val_start = start;
    r.opts = IncInGetAll | IncInSetAll;
    return r;
}

// Slots 5 and 8 defined, as loaded from a file: nothing modified.
TCommandSet Loaded() {
    TConfigSet set;
    set.CmdTable[5] = Def("A");
    set.CmdTable[8] = Def("B");
    TCommandSet doc;
    doc.Load(set, "/tmp/x.ini");
    return doc;
}

std::vector<int> Slots(const TSlotSet& s) {
    std::vector<int> v;
    for (int i = 0; i < kSlotCount; ++i)
        if (s[i])
            v.push_back(i);
    return v;
}

} // namespace

TEST(CommandSet, Operations) {
    using V = std::vector<int>;
    struct Row {
        const char* name;
        std::function<TSetChange(TCommandSet&)> run;
        V shown, cleared;
        std::function<bool(const TCommandSet&)> after;
        bool modified;
    };
    auto cmd = [](const TCommandSet& d, int i) { return d.Record(i).cmd_str; };
    V kAll(kSlotCount);
    for (int i = 0; i < kSlotCount; ++i)
        kAll[i] = i;
    // clang-format off
    const Row rows[] = {
        {"copy changes nothing but the clipboard", [](TCommandSet& d) { return d.Copy(5); }, {}, {},
         [](const TCommandSet& d) { return d.CanPaste() && !d.CutPending(); }, false},
        {"cut then paste moves", [](TCommandSet& d) { d.Cut(5); return d.Paste(30); }, {5, 30}, {5},
         [&](const TCommandSet& d) { return cmd(d, 30) == "A" && cmd(d, 5).empty(); }, true},
        {"a second paste copies", [](TCommandSet& d) { d.Cut(5); d.Paste(30); return d.Paste(31); },
         {31}, {}, [&](const TCommandSet& d) { return cmd(d, 31) == "A" && cmd(d, 5).empty(); }, true},
        {"copy after cut cancels the move", [](TCommandSet& d) { d.Cut(5); d.Copy(8); return d.Paste(9); },
         {9}, {}, [&](const TCommandSet& d) { return cmd(d, 9) == "B" && cmd(d, 5) == "A"; }, true},
        {"cut, delete, paste", [](TCommandSet& d) { d.Cut(5); d.Delete(5); return d.Paste(9); },
         {5, 9}, {5}, [&](const TCommandSet& d) { return cmd(d, 9) == "A"; }, true},
        {"cut pasted onto itself stays", [](TCommandSet& d) { d.Cut(5); return d.Paste(5); }, {5}, {},
         [&](const TCommandSet& d) { return cmd(d, 5) == "A" && !d.CutPending(); }, false},
        {"delete keeps the disabled flag",
         [](TCommandSet& d) { d.ToggleDisabled(5); return d.Delete(5); }, {5}, {5},
         [](const TCommandSet& d) { return d.Record(5).opts == Disabled; }, true},
        {"disable twice is no change", [](TCommandSet& d) { d.ToggleDisabled(8); return d.ToggleDisabled(8); },
         {8}, {}, [](const TCommandSet&) { return true; }, false},
        {"colour shows the caption colour only", [](TCommandSet& d) { return d.SetColour(8, 255); }, {}, {},
         [](const TCommandSet& d) { return d.Record(8).colour == 255; }, true},
        {"rename and rename back", [](TCommandSet& d) { d.RenamePage(4, "X"); return d.RenamePage(4, "Cmds 5"); },
         {}, {}, [](const TCommandSet& d) { return d.PageCaptions()[4] == "Cmds 5"; }, false},
        {"empty page caption keeps", [](TCommandSet& d) { return d.RenamePage(1, ""); }, {}, {},
         [](const TCommandSet& d) { return d.PageCaptions()[1] == "Cmds 2"; }, false},
        {"data and stop bits are not compared",
         [](TCommandSet& d) { return d.SetSerial({1, QORLNK::br9600, QORLNK::db7, QORLNK::paNone, QORLNK::sb2}); },
         {}, {}, [](const TCommandSet& d) { return d.Config().DataBits == QORLNK::db7; }, false},
        {"parity is", [](TCommandSet& d) { return d.SetSerial({1, QORLNK::br9600, QORLNK::db8, QORLNK::paOdd, QORLNK::sb1}); },
         {}, {}, [](const TCommandSet&) { return true; }, true},
        {"delete all", [](TCommandSet& d) { return d.DeleteAll(); }, kAll, kAll,
         [&](const TCommandSet& d) { return cmd(d, 5).empty() && cmd(d, 8).empty(); }, true},
        {"store default of a parameter", [](TCommandSet& d) { return d.StoreDefault(5, "$10"); }, {}, {},
         [](const TCommandSet& d) { return d.Record(5).val_start == 16; }, true},
        {"store default of a command is nothing", [](TCommandSet& d) { d.SetRecord(9, Def("C", ctCommand)); return d.StoreDefault(9, "3"); },
         {}, {}, [](const TCommandSet& d) { return d.Record(9).val_start == 7; }, true},
        {"take values", [](TCommandSet& d) { return d.TakeValues({{5, "12"}, {8, "ERR"}, {40, "1"}}); }, {5}, {},
         [](const TCommandSet& d) { return d.Record(5).val_start == 12 && d.Record(8).val_start == 7; }, true},
        {"outside the table", [](TCommandSet& d) { d.Copy(192); d.Delete(-1); return d.SetColour(192, 1); }, {}, {},
         [](const TCommandSet& d) { return !d.CanPaste(); }, false},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TCommandSet doc = Loaded();
        const TSetChange c = row.run(doc);
        EXPECT_EQ(Slots(c.shown), row.shown);
        EXPECT_EQ(Slots(c.cleared), row.cleared);
        EXPECT_TRUE(row.after(doc));
        EXPECT_EQ(doc.IsModified(), row.modified);
    }
}

TEST(CommandSet, StartStateAndClipboardChanges) {
    const TCommandSet doc({25, QORLNK::br19200, QORLNK::db8, QORLNK::paEven, QORLNK::sb1});
    EXPECT_FALSE(doc.IsModified());
    EXPECT_EQ(doc.Saved().SavedPort, 25);
    EXPECT_EQ(doc.CloseQuestion(), "Create New Configuration File?");
    TCommandSet d = Loaded();
    EXPECT_TRUE(d.Copy(5).clipboard);
    EXPECT_TRUE(d.Paste(6).records[6]);
    EXPECT_FALSE(d.Paste(6).clipboard); // after a copy a paste leaves the clipboard
    d.Cut(6);
    EXPECT_TRUE(d.Paste(7).clipboard); // the move is done
}

TEST(CommandSet, StoreAllStopsAtTheFirstBadText) {
    TCommandSet doc = Loaded();
    TSlotEditTexts texts;
    texts[5] = "11";
    texts[8] = "x";
    EXPECT_THROW(doc.StoreAllDefaults(texts), EConvertError);
    EXPECT_EQ(doc.Record(5).val_start, 11);
    EXPECT_EQ(doc.Record(8).val_start, 7);
}

TEST(CommandSet, SaveTakesTheSnapshotOnlyWhenWritten) {
    char dir[] = "/tmp/pmv-doc-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string path = std::string(dir) + "/set.ini";
    TCommandSet doc = Loaded();
    doc.SetTitle("T");
    EXPECT_FALSE(doc.Save(std::string(dir) + "/no/such/dir.ini").Ok);
    EXPECT_TRUE(doc.IsModified());
    EXPECT_EQ(doc.FileName(), "/tmp/x.ini");
    TSetChange c;
    EXPECT_TRUE(doc.Save(path, &c).Ok);
    EXPECT_TRUE(c.fileName);
    EXPECT_FALSE(doc.IsModified());
    EXPECT_EQ(doc.CloseQuestion(), "Update Configuration File set.ini?");
    EXPECT_EQ(LoadConfigFile(path).Set, doc.Config());
    std::remove(path.c_str());
    ::rmdir(dir);
}
