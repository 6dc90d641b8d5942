// Comparisons read and sent through the request engine, without a window or
// real time: the simulator's protocol core answers each frame at once, after
// the time-out (late) or never (silent).
#include "LinkFakes.h"
#include "app/link/CompareRun.h"
#include "config/Comparison.h"
#include "tools/sim/SimTarget.h"

#include <deque>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace pmv;
using linktest::FakePort;
using linktest::FakeTimer;
using linktest::FakeView;

namespace {

struct CompareRig {
    TCmdTable table{};
    FakePort port;
    FakeTimer timer;
    FakeView view;
    TRunView runView{view};
    TRequestEngine engine{table, port, timer, runView};
    TCompareRun run{table, engine, runView};
    qxmsim::TSimTarget sim;
    std::set<std::string> silent, late;
    std::deque<std::string> lateReplies; // delivered once the next frame is out
    std::size_t answered = 0;

    void Define(int slot, const char* cmd, std::int32_t start, std::int8_t kind = ctParamGetSet) {
        TCmdRecord& r = table[slot];
        r.cmd_type = kind;
        r.cmd_str = cmd;
        r.val_start = start;
        r.opts = IncInGetAll | IncInSetAll | UpdateEditOnGet;
    }
    void Feed(const std::string& bytes) {
        for (char c : bytes)
            engine.RxChar(static_cast<std::uint8_t>(c));
    }
    // Answers frames until the run ends; then delivers what is still late.
    void Play() {
        for (int guard = 0; guard < 10000 && (run.Running() || !lateReplies.empty()); ++guard) {
            if (answered == port.written.size()) {
                if (!lateReplies.empty()) {
                    Feed(lateReplies.front());
                    lateReplies.pop_front();
                }
                continue;
            }
            const std::string frame = port.written[answered++];
            const std::string name = frame.substr(2, frame.find_first_of(" \r") - 2);
            const auto reply = sim.Answer(frame.substr(0, frame.size() - 1));
            // Replies late from before arrive while this frame waits.
            const std::deque<std::string> earlier = std::move(lateReplies);
            lateReplies.clear();
            for (const std::string& r : earlier)
                Feed(r);
            if (!silent.count(name) && !late.count(name)) {
                Feed(reply->bytes);
                continue;
            }
            if (engine.ComBusy())
                engine.RxTimerTimer();
            if (late.count(name))
                lateReplies.push_back(reply->bytes);
        }
    }
    std::vector<std::string> Statuses(const TSetComparison& c) const {
        std::vector<std::string> s;
        for (const TCompareRow& r : c.Rows())
            s.push_back(std::string(table[r.slot].cmd_str) + " " + CompareStatusText(r.status) +
                        (r.other ? " " + *r.other : ""));
        return s;
    }
};

} // namespace

TEST(CompareRun, ReadsEveryRowAndBelievesOnlyMatchingReplies) {
    using S = std::vector<std::string>;
    struct Row {
        const char* name;
        std::set<std::string> silent, late;
        S statuses;
        int unmatched;
    };
    // clang-format off
    const Row rows[] = {
        {"all answer", {}, {}, {"SPD same 1500", "ACC differs 200", "KP same 120", "DEC same 200"}, 0},
        {"silent goes on", {"ACC"}, {}, {"SPD same 1500", "ACC timed out", "KP same 120", "DEC same 200"}, 0},
        {"late is its own", {}, {"ACC"}, {"SPD same 1500", "ACC late 200", "KP same 120", "DEC same 200"}, 0},
        {"late and silent next", {"KP"}, {"ACC"}, {"SPD same 1500", "ACC late 200", "KP timed out", "DEC same 200"}, 0},
        {"two late in a row", {}, {"ACC", "KP"}, {"SPD same 1500", "ACC late 200", "KP late 120", "DEC same 200"}, 0},
        {"late last row", {}, {"DEC"}, {"SPD same 1500", "ACC differs 200", "KP same 120", "DEC late 200"}, 0},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CompareRig r;
        r.silent = row.silent;
        r.late = row.late;
        r.Define(0, "SPD", 1500);
        r.Define(1, "ACC", 300);
        r.Define(2, "KP", 120);
        r.Define(30, "DEC", 200);
        r.Define(31, "KI", 40, ctParamSet); // not read by Get All
        TSetComparison cmp(r.table);
        ASSERT_TRUE(r.run.Read(cmp));
        r.Play();
        EXPECT_EQ(r.Statuses(cmp), row.statuses);
        EXPECT_EQ(r.run.Unmatched(), row.unmatched);
        EXPECT_EQ(r.view.edits[1], ""); // into the comparison, not the slot edits
        EXPECT_EQ(r.run.Gets(), 4);
        EXPECT_FALSE(r.engine.MatchReplies()); // the window's rule again
    }
}

TEST(CompareRun, SendSelectedCostsOneSetAndOneGetPerRow) {
    CompareRig r;
    r.Define(0, "SPD", 1700);
    r.Define(1, "ACC", 250);
    r.Define(2, "TEMP", 20, ctParamGet); // read-only: not sent
    r.Define(3, "DEC", 200);
    r.silent = {"DEC"};
    TSetComparison cmp(r.table);
    ASSERT_TRUE(r.run.Read(cmp));
    r.Play();
    r.silent.clear();
    const std::size_t before = r.port.written.size();
    int snapshots = 0;
    const auto sent = [&] { return r.port.written.size() - before; };
    ASSERT_TRUE(r.run.Send(cmp, {0, 1, 2, 3}, [&] {
        ++snapshots;
        return sent() == 1; // DEC's value was not known: read first
    }));
    r.Play();
    EXPECT_EQ(snapshots, 1);
    EXPECT_EQ(std::vector<std::string>(r.port.written.begin() + long(before), r.port.written.end()),
              (std::vector<std::string>{"QXDEC\r", "QXSPD = 1700\r", "QXSPD\r", "QXACC = 250\r",
                                        "QXACC\r", "QXDEC = 200\r", "QXDEC\r"}));
    EXPECT_EQ(cmp.Counts().Of(TCompareStatus::Same), 3);
    EXPECT_EQ(cmp.Rows()[2].note, "not sent: no Set");
    EXPECT_EQ(cmp.Rows()[0].note, "sent");

    // A snapshot that cannot be written stops the write: nothing is sent.
    r.Define(1, "ACC", 260);
    const std::size_t again = r.port.written.size();
    ASSERT_TRUE(r.run.Send(cmp, {1}, [] { return false; }));
    EXPECT_EQ(r.run.Error(), "nothing sent");
    EXPECT_EQ(r.port.written.size(), again);
}

TEST(CompareRun, RefusedWhenBusyOrClosed) {
    CompareRig r;
    r.Define(0, "SPD", 1);
    r.Define(1, "ACC", 1);
    TSetComparison cmp(r.table);
    r.engine.GetButtonClick(0);
    EXPECT_FALSE(r.run.Read(cmp));
    EXPECT_EQ(r.run.Error(), "COM is busy");
    r.engine.RxTimerTimer();
    r.port.open = false;
    EXPECT_TRUE(r.run.Read(cmp));
    EXPECT_FALSE(r.run.Running());
    EXPECT_EQ(r.run.Error(), "ERROR: - COM port not opened");
    EXPECT_EQ(cmp.Counts().Of(TCompareStatus::NotRead), 2);
}

TEST(SetComparison, TwoFilesSummaryAndFilter) {
    TCmdTable a{}, b{};
    for (int i : {0, 1, 2, 3}) {
        a[i].cmd_type = ctParamGetSet;
        a[i].cmd_str = "P" + std::to_string(i);
        a[i].opts = IncInGetAll;
        a[i].val_start = i;
    }
    b = a;
    b[1].val_start = 9;
    std::swap(b[2], b[40]); // moved: found by its word
    b[3].cmd_str = "X";     // gone
    TSetComparison c(a, b);
    EXPECT_EQ(c.Summary(), "4 compared: 2 same, 1 differ, 1 not read");
    EXPECT_EQ(c.Visible(true), (std::vector<int>{1, 3}));
    c.TickDifferences();
    EXPECT_EQ(c.TickedRows(), (std::vector<int>{1, 3}));
}
