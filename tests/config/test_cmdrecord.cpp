#include "config/CmdRecord.h"

#include <functional>

#include <gtest/gtest.h>

using namespace pmv;

namespace {

TCmdRecord sample() {
    TCmdRecord r;
    r.cmd_type = ctParamGetSet;
    r.cmd_str = "SPD";
    r.cmd_descr = "Speed";
    r.str = "abc";
    r.val_start = 100;
    r.val_min = 1;
    r.val_max = 3000;
    r.val_inc = 10;
    r.colour = 0x0000FF;
    r.opts = IncInGetAll | IncInSetAll;
    return r;
}

} // namespace

TEST(CmdRecord, EqualityTakesEveryField) {
    const TCmdRecord base = sample();
    EXPECT_EQ(base, sample());
    const std::function<void(TCmdRecord&)> changes[] = {
        [](TCmdRecord& r) { r.cmd_type = ctParamGet; },
        [](TCmdRecord& r) { r.cmd_str = "spd"; }, // letter case matters
        [](TCmdRecord& r) { r.cmd_descr = "speed"; },
        [](TCmdRecord& r) { r.str = "abd"; },
        [](TCmdRecord& r) { r.val_start = 101; },
        [](TCmdRecord& r) { r.val_min = 0; },
        [](TCmdRecord& r) { r.val_max = 2999; },
        [](TCmdRecord& r) { r.val_inc = 11; },
        [](TCmdRecord& r) { r.colour = 0xFF0000; },
        [](TCmdRecord& r) { r.opts |= 0x100; }, // the whole word, not only the low bits
    };
    int n = 0;
    for (const auto& change : changes) {
        SCOPED_TRACE(n++);
        TCmdRecord r = base;
        change(r);
        EXPECT_NE(r, base);
        TCmdRecord copy = r;
        EXPECT_EQ(copy, r);
    }
}

TEST(CmdRecord, ClearKeepsOnlyTheDisabledFlag) {
    TCmdRecord r = sample();
    r.opts |= Disabled | TxOnValueChange | UpdateEditOnGet;
    ClearRecord(r);
    TCmdRecord expected;
    expected.opts = Disabled;
    EXPECT_EQ(r, expected);
    EXPECT_FALSE(r.defined());

    TCmdRecord enabled = sample();
    ClearRecord(enabled);
    EXPECT_EQ(enabled, TCmdRecord{});
}

TEST(CmdRecord, SlotGeometry) {
    struct Row {
        int slot, page, col, row;
    } rows[] = {
        {0, 0, 0, 0}, {3, 0, 3, 0}, {4, 0, 0, 1}, {23, 0, 3, 5}, {24, 1, 0, 0}, {191, 7, 3, 5},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.slot);
        EXPECT_EQ(SlotPage(r.slot), r.page);
        EXPECT_EQ(SlotColumn(r.slot), r.col);
        EXPECT_EQ(SlotRow(r.slot), r.row);
    }
    EXPECT_EQ(DefaultPageCaptions()[0], "Cmds 1");
    EXPECT_EQ(DefaultPageCaptions()[7], "Cmds 8");
}
