// The request engine: SendCmd's checks, reply processing, the time-out, runs,
// frame lifetime and value entry, all driven without a window or real time.
#include "LinkFakes.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace pmv;
using linktest::Rig;

namespace {

using Lines = std::vector<std::string>;

// ---------------------------------------------------------------- SendCmd

TEST(SendCmd, ChecksInOrder) {
    struct Row {
        const char* name;
        int index;
        bool open;
        bool busy;
        Lines log;
    };
    // clang-format off
    const Row rows[] = {
        {"index 192", 192, true, false, {}},
        {"negative index", -1, true, false, {}},
        {"port closed comes before undefined", 4, false, false, {"ERROR: - COM port not opened"}},
        {"port closed", 0, false, false, {"ERROR: - COM port not opened"}},
        {"undefined slot 5", 4, true, false, {"ERROR: - command 5 not defined"}},
        {"undefined comes before busy", 4, true, true, {"ERROR: - command 5 not defined"}},
        {"busy is silent", 0, true, true, {}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig r;
        r.Define(0, ctParamGet, "SPD", "Speed");
        r.Define(1, ctParamGet, "ACC");
        if (row.busy)
            r.engine.GetButtonClick(1);
        const int tx = r.engine.TxCount();
        const int pending = r.engine.PendingSlot();
        r.view.log.clear();
        r.port.open = row.open;
        r.engine.SetSeqLeft(1);
        r.engine.SendCmd(row.index, true);
        EXPECT_EQ(r.view.log, row.log);
        EXPECT_EQ(r.engine.TxCount(), tx);
        EXPECT_EQ(r.engine.PendingSlot(), pending);
        EXPECT_EQ(r.engine.ComBusy(), row.busy);
        EXPECT_EQ(r.port.frames.size(), row.busy ? 1u : 0u);
    }
}

TEST(SendCmd, SuccessfulSendTimerBeforeTxData) {
    Rig r;
    r.Define(3, ctParamGetSet, "SPD", "Speed");
    r.view.edits[3] = "0042";
    r.view.showTransmissions = true;
    r.engine.SetButtonClick(3);
    EXPECT_EQ(r.trace.events, (Lines{"timer start", "tx QXSPD = 42\r", "log QXSPD = 42\r"}));
    EXPECT_TRUE(r.engine.ComBusy());
    EXPECT_TRUE(r.timer.running);
    EXPECT_EQ(r.engine.PendingSlot(), 3);
    EXPECT_EQ(r.engine.TxCount(), 1);
    EXPECT_EQ(r.view.shown[TLinkCounter::Tx], 1);
    EXPECT_EQ(r.engine.SeqLeft(), 1);
}

TEST(SendCmd, ConversionFailureSendsNothing) {
    struct Row {
        int kind;
        const char* edit;
        const char* error;
    };
    const Row rows[] = {
        {ctParamSet, "12a", "'12a' is not a valid integer value"},
        {ctCommandString, "x\rQXSPD = 99999",
         "command 1: the control character 0x0D (CR) would end the frame early; nothing is sent"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.edit);
        Rig r;
        r.Define(0, row.kind, "SPD");
        r.view.edits[0] = row.edit;
        r.engine.SetButtonClick(0);
        EXPECT_EQ(r.view.convertErrors, (Lines{row.error}));
        EXPECT_TRUE(r.port.frames.empty());
        EXPECT_FALSE(r.engine.ComBusy());
        EXPECT_FALSE(r.timer.running);
        EXPECT_EQ(r.engine.TxCount(), 0);
        EXPECT_TRUE(r.view.log.empty());
    }
}

TEST(SendCmd, RefusedHandOverStillCountsAndTimesOut) {
    Rig r;
    r.Define(0, ctParamGet, "SPD");
    r.port.holdInTransit = true;
    r.engine.GetButtonClick(0); // accepted, stays in transit
    r.engine.RxTimerTimer();
    r.engine.GetButtonClick(0); // refused by the port
    EXPECT_EQ(r.port.written.size(), 1u);
    EXPECT_EQ(r.engine.TxCount(), 2);
    EXPECT_TRUE(r.engine.ComBusy());
    r.engine.RxTimerTimer();
    EXPECT_EQ(r.engine.RxTOCount(), 2);
}

TEST(SendCmd, EveryHandOverCarriesItsWholeFrame) {
    // Frames of different lengths are built into the engine's one buffer; a
    // port busy with an earlier block refuses them, and each frame handed
    // over afterwards is whole.
    Rig r;
    r.Define(0, ctCommandString, "NAME");
    r.view.edits[0] = "first frame text";
    r.port.holdInTransit = true;
    r.engine.SetButtonClick(0);
    ASSERT_TRUE(r.port.InTransit());
    for (const char* text : {"x", "a much longer second text than the first one", "yz"}) {
        r.engine.RxTimerTimer();
        r.view.edits[0] = text;
        r.engine.SetButtonClick(0);
    }
    r.port.Complete();
    for (const char* text : {"one", "two", "three"}) {
        r.engine.RxTimerTimer();
        r.view.edits[0] = text;
        r.engine.SetButtonClick(0);
        ASSERT_TRUE(r.port.InTransit());
        r.Feed("QXNAME = ok\r"); // the reply may come before the write is reported
        r.view.edits[0] = "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzz";
        r.engine.SetButtonClick(0); // refused: the port is still writing
        r.port.Complete();
    }
    EXPECT_EQ(r.port.written, (Lines{"QXNAME = first frame text\r", "QXNAME = one\r",
                                     "QXNAME = two\r", "QXNAME = three\r"}));
    EXPECT_EQ(r.port.frames.size(), 10u);
    EXPECT_EQ(r.port.frames[2], "QXNAME = a much longer second text than the first one\r");
}

// ------------------------------------------------------- reply processing

TEST(Reply, LogLine) {
    struct Row {
        const char* name;
        const char* descr;
        bool showDescr;
        const char* reply;
        const char* line;
        const char* warning; // the line after it when the name is not the slot's
    };
    // clang-format off
    const Row rows[] = {
        {"description and value", "Speed", true, "QXSPD = 12\r", "Speed = 12", nullptr},
        {"command string when no description", "", true, "QXSPD = 12\r", "SPD = 12", nullptr},
        {"no value", "Speed", true, "QXSPD\r", "Speed", nullptr},
        {"empty value", "Speed", true, "QXSPD = \r", "Speed", nullptr},
        {"name in reply never shown", "Speed", true, "QXOTHER = 3\r", "Speed = 3",
         "WARNING: - command 1 (SPD) took the reply \"OTHER = 3\""},
        {"unchecked: body as received", "Speed", false, "QXSPD = 12\r", "SPD = 12", nullptr},
        {"unchecked: no separator", "Speed", false, "QXSPD=12\r", "SPD=12",
         "WARNING: - command 1 (SPD) took the reply \"SPD=12\""},
        {"first separator splits", "Speed", true, "QXA = B = C\r", "Speed = B = C",
         "WARNING: - command 1 (SPD) took the reply \"A = B = C\""},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig r;
        r.Define(0, ctParamGet, "SPD", row.descr);
        r.view.showDescription = row.showDescr;
        r.engine.GetButtonClick(0);
        r.Feed(row.reply);
        Lines want{row.line};
        if (row.warning)
            want.emplace_back(row.warning);
        EXPECT_EQ(r.view.log, want);
        EXPECT_EQ(r.engine.RxCount(), 1);
        EXPECT_EQ(r.view.shown[TLinkCounter::Rx], 1);
        EXPECT_FALSE(r.engine.ComBusy());
        EXPECT_FALSE(r.timer.running);
        EXPECT_EQ(r.engine.SeqLeft(), 0);
    }
}

TEST(Reply, UpdateEditOnGet) {
    struct Row {
        const char* name;
        int kind;
        std::uint32_t opts;
        bool get;
        const char* reply;
        const char* edit; // after the reply
    };
    // clang-format off
    const Row rows[] = {
        {"kind 3 with flag", ctParamGet, UpdateEditOnGet, true, "QXSPD = 77\r", "77"},
        {"kind 5 with flag", ctParamGetSet, UpdateEditOnGet, true, "QXSPD = 77\r", "77"},
        {"kind 5 set answered", ctParamGetSet, UpdateEditOnGet, false, "QXSPD = 12\r", "12"},
        {"kind 5 set answered without value", ctParamGetSet, UpdateEditOnGet, false, "QXSPD\r",
         ""},
        {"not checked or clamped", ctParamGet, UpdateEditOnGet, true, "QXSPD = 99999x\r",
         "99999x"},
        {"kind 5 without flag", ctParamGetSet, 0, true, "QXSPD = 77\r", "5"},
        {"kind 4 with flag", ctParamSet, UpdateEditOnGet, true, "QXSPD = 77\r", "5"},
        {"kind 1 with flag", ctCommandValue, UpdateEditOnGet, true, "QXSPD = 77\r", "5"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig r;
        r.Define(2, row.kind, "SPD", "Speed", row.opts);
        r.view.edits[2] = "5";
        if (row.get)
            r.engine.GetButtonClick(2);
        else
            r.engine.SetButtonClick(2);
        ASSERT_EQ(r.port.frames.size(), 1u);
        r.Feed(row.reply);
        EXPECT_EQ(r.view.edits[2], row.edit);
    }
}

TEST(Reply, TransmissionLoggedBeforeReply) {
    Rig r;
    r.Define(0, ctParamGet, "SPD", "Speed");
    r.view.showTransmissions = true;
    r.engine.GetButtonClick(0);
    r.Feed("QXSPD = 1\r");
    EXPECT_EQ(r.view.log, (Lines{"QXSPD\r", "Speed = 1"}));
}

TEST(Reply, UnsolicitedReplyGoesToSlotSentLast) {
    Rig r;
    r.Define(0, ctParamGet, "SPD", "Speed", UpdateEditOnGet);
    r.Define(5, ctParamGet, "ACC", "Accel", UpdateEditOnGet);
    // Before anything was sent the reply belongs to slot index 0.
    r.Feed("QXZZZ = 4\r");
    const std::string warning = "WARNING: - command 1 (SPD) took the reply \"ZZZ = 4\"";
    EXPECT_EQ(r.view.log, (Lines{"Speed = 4", warning}));
    EXPECT_EQ(r.view.edits[0], "4");
    EXPECT_EQ(r.engine.SeqLeft(), -1);
    r.engine.GetButtonClick(5);
    r.Feed("QXACC = 1\rQXACC = 2\r");
    EXPECT_EQ(r.view.log, (Lines{"Speed = 4", warning, "Accel = 1", "Accel = 2"}));
    EXPECT_EQ(r.view.edits[5], "2");
    EXPECT_EQ(r.engine.RxCount(), 3);
    EXPECT_EQ(r.engine.SeqLeft(), -1);
    EXPECT_EQ(r.port.frames.size(), 1u);
}

// Matching replies to their requests (programs that report values): a reply
// is a result only for the outstanding request it names; a late or stray
// reply is logged, counted and taken by no request, which goes on waiting.
// Steps: "get N", "all" (Get All), "tick" (time-out), else a reply body.
TEST(MatchReplies, EveryReplyGoesToTheRequestItNames) {
    const std::string none = "WARNING: - reply for no request: ";
    // clang-format off
    const struct { const char* name; Lines steps; Lines told; } rows[] = {
        {"another name waits for its own", {"get 0", "SN = 7", "SPD = 1500"},
         {"log " + none + "SN = 7", "unmatched SN = 7", "log Speed = 1500", "result 0 1500"}},
        {"late reply during the next request", {"get 1", "tick", "get 0", "SN = 3", "SPD = 1"},
         {"log SN - Rx timeout", "timed out 1", "log WARNING: - late reply for command 2 (SN): SN = 3",
          "late 1 3", "log Speed = 1", "result 0 1"}},
        {"a run goes on only with its own replies", {"all", "SN = 5", "SPD = 9", "SN = 2"},
         {"log " + none + "SN = 5", "unmatched SN = 5", "log Speed = 9", "result 0 9", "log SN = 2",
          "result 1 2"}},
        {"a name without separator is no answer", {"get 0", "SPD=1", "tick"},
         {"log " + none + "SPD=1", "unmatched SPD=1", "log Speed - Rx timeout", "timed out 0"}},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Rig r;
        r.Define(0, ctParamGetSet, "SPD", "Speed", IncInGetAll);
        r.Define(1, ctParamGet, "SN", "", IncInGetAll);
        r.engine.SetMatchReplies(true);
        r.view.traceResults = true;
        for (const std::string& step : row.steps) {
            if (step.starts_with("get "))
                r.engine.GetButtonClick(std::stoi(step.substr(4)));
            else if (step == "all")
                r.engine.GetAllParameters();
            else if (step == "tick")
                r.engine.RxTimerTimer();
            else
                r.Feed("QX" + step + "\r");
        }
        Lines told;
        std::copy_if(r.trace.events.begin(), r.trace.events.end(), std::back_inserter(told),
                     [](auto& e) { return !e.starts_with("tx ") && e != "timer start"; });
        EXPECT_EQ(told, row.told); // frames and timer starts left out
        EXPECT_EQ(r.engine.UnmatchedCount() + r.engine.LateCount(),
                  std::count_if(told.begin(), told.end(),
                                [](auto& e) { return e.starts_with("log WARNING"); }));
    }
}

TEST(Reply, UnframedBytesLoggedOnlyWhenAsked) {
    for (bool show : {false, true}) {
        SCOPED_TRACE(show ? "shown" : "hidden");
        Rig r;
        r.Define(0, ctParamGet, "SPD", "Speed");
        r.view.showUnframed = show;
        r.engine.GetButtonClick(0);
        r.Feed("a\rQbcXSPD = 1\r\n");
        EXPECT_EQ(r.view.log, show ? (Lines{"a", "\r", "Speed = 1", "\n"}) : Lines{"Speed = 1"});
    }
}

TEST(Reply, OverflowingLineDroppedThenRecovers) {
    for (bool show : {false, true}) {
        SCOPED_TRACE(show ? "shown" : "hidden");
        Rig r;
        r.Define(0, ctParamGet, "SPD", "Speed");
        r.view.showUnframed = show;
        r.engine.GetButtonClick(0);
        r.Feed("QX" + std::string(TReplyAssembler::kMaxRxLine, '#') + "!");
        EXPECT_EQ(r.engine.RxOverflowCount(), 1u);
        EXPECT_EQ(r.engine.RxState(), rxHunt);
        EXPECT_TRUE(r.engine.ComBusy()); // still waiting: the time-out decides
        EXPECT_EQ(r.view.log,
                  show ? Lines{"ERROR: - reply longer than 1024 bytes dropped"} : Lines{});
        r.view.log.clear();
        r.Feed("QXSPD = 3\r");
        EXPECT_EQ(r.view.log, Lines{"Speed = 3"});
    }
}

// ---------------------------------------------------------------- time-out

TEST(Timeout, LogLineCountersAndState) {
    struct Row {
        const char* descr;
        bool showDescr;
        const char* line;
    };
    // clang-format off
    const Row rows[] = {
        {"Speed", true, "Speed - Rx timeout"},
        {"Speed", false, "Speed - Rx timeout"}, // the description even when unchecked
        {"", true, "SPD - Rx timeout"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        Rig r;
        r.Define(0, ctParamGet, "SPD", row.descr);
        r.view.showDescription = row.showDescr;
        r.engine.GetButtonClick(0);
        r.Feed("QXSP"); // half a reply
        EXPECT_EQ(r.engine.RxState(), rxBody);
        r.engine.RxTimerTimer();
        EXPECT_EQ(r.view.log, Lines{row.line});
        EXPECT_EQ(r.engine.RxTOCount(), 1);
        EXPECT_EQ(r.view.shown[TLinkCounter::RxTimeout], 1);
        EXPECT_FALSE(r.engine.ComBusy());
        EXPECT_FALSE(r.timer.running);
        EXPECT_EQ(r.engine.RxState(), rxHunt);
        EXPECT_EQ(r.engine.RxLine(), "SP");
        EXPECT_EQ(r.engine.SeqLeft(), 1);
        // A second tick does nothing: the timer fires once per request.
        r.engine.RxTimerTimer();
        EXPECT_EQ(r.engine.RxTOCount(), 1);
    }
}

TEST(Timeout, LateReplyStillProcessed) {
    Rig r;
    r.Define(0, ctParamGet, "SPD", "Speed", UpdateEditOnGet);
    r.engine.GetButtonClick(0);
    r.engine.RxTimerTimer();
    r.Feed("QXSPD = 8\r");
    EXPECT_EQ(r.view.log, (Lines{"Speed - Rx timeout", "Speed = 8"}));
    EXPECT_EQ(r.engine.RxCount(), 1);
    EXPECT_EQ(r.view.edits[0], "8");
}

TEST(Timeout, ClosingThePortDoesNotCancelIt) {
    Rig r;
    r.Define(0, ctParamGet, "SPD");
    r.engine.GetButtonClick(0);
    r.port.open = false;
    EXPECT_TRUE(r.engine.ComBusy());
    r.engine.RxTimerTimer();
    EXPECT_EQ(r.view.log, Lines{"SPD - Rx timeout"});
    EXPECT_EQ(r.engine.RxTOCount(), 1);
}

TEST(Counters, ResetAndCountAgain) {
    Rig r;
    r.Define(0, ctParamGet, "SPD");
    r.engine.GetButtonClick(0);
    r.Feed("QXSPD = 1\r");
    r.engine.GetButtonClick(0);
    r.engine.RxTimerTimer();
    EXPECT_EQ(r.engine.TxCount(), 2);
    EXPECT_EQ(r.engine.RxCount(), 1);
    EXPECT_EQ(r.engine.RxTOCount(), 1);
    r.engine.ResetCounters();
    EXPECT_EQ(r.engine.TxCount() + r.engine.RxCount() + r.engine.RxTOCount(), 0);
    EXPECT_EQ(r.view.shown[TLinkCounter::Tx], 0);
    EXPECT_EQ(r.view.shown[TLinkCounter::Rx], 0);
    EXPECT_EQ(r.view.shown[TLinkCounter::RxTimeout], 0);
    r.engine.GetButtonClick(0);
    EXPECT_EQ(r.view.shown[TLinkCounter::Tx], 1);
}

TEST(Busy, ButtonWhileWaitingSendsNothing) {
    Rig r;
    r.Define(0, ctParamGet, "SPD");
    r.Define(1, ctParamSet, "ACC");
    r.view.edits[1] = "3";
    r.engine.GetButtonClick(0);
    r.engine.SetButtonClick(1);
    EXPECT_EQ(r.port.frames, Lines{"QXSPD\r"});
    EXPECT_TRUE(r.view.log.empty());
    EXPECT_EQ(r.engine.PendingSlot(), 0);
}

// -------------------------------------------------------------------- runs

// Slots 2, 7 and 40 qualify for Get All; the others are near misses.
void DefineRunTable(Rig& r) {
    r.Define(7, ctParamGet, "B7", "", IncInGetAll);
    r.Define(2, ctParamGetSet, "A2", "", IncInGetAll | IncInSetAll);
    r.Define(40, ctParamGet, "C40", "", IncInGetAll);
    r.Define(5, ctParamGet, "DIS", "", IncInGetAll | Disabled);        // disabled
    r.Define(9, ctParamGet, "", "", IncInGetAll);                      // undefined
    r.Define(10, ctCommandValue, "CV", "", IncInGetAll | IncInSetAll); // kind 1 never
    r.Define(11, ctCommand, "CMD", "", IncInGetAll | IncInSetAll);     // kind 0 never
    r.Define(12, ctParamSet, "PS", "", IncInGetAll | IncInSetAll);     // Set All only
    r.Define(13, ctParamGet, "NOFLAG");                                // not marked
    r.Define(14, ctParamGetSet, "SETONLY", "", IncInSetAll);           // Set All only
    for (int i : {2, 12, 14, 10})
        r.view.edits[i] = std::to_string(i * 10);
}

TEST(Run, GetAllSendsInSlotOrderOneAtATime) {
    Rig r;
    DefineRunTable(r);
    r.engine.GetAllParameters();
    EXPECT_EQ(r.engine.SeqLeft(), 3);
    EXPECT_EQ(r.engine.SeqSlots()[0], 2);
    EXPECT_EQ(r.engine.SeqSlots()[1], 7);
    EXPECT_EQ(r.engine.SeqSlots()[2], 40);
    EXPECT_EQ(r.port.frames, Lines{"QXA2\r"});
    r.Feed("QXA2 = 1\r");
    EXPECT_EQ(r.port.frames, (Lines{"QXA2\r", "QXB7\r"}));
    EXPECT_EQ(r.engine.SeqPos(), 1);
    r.Feed("QXB7 = 1\r");
    EXPECT_EQ(r.port.frames, (Lines{"QXA2\r", "QXB7\r", "QXC40\r"}));
    r.Feed("QXC40 = 1\r");
    EXPECT_EQ(r.port.frames.size(), 3u);
    EXPECT_EQ(r.engine.SeqLeft(), 0);
    EXPECT_FALSE(r.engine.ComBusy());
    EXPECT_EQ(r.view.log, (Lines{"A2 = 1", "B7 = 1", "C40 = 1"}));
}

TEST(Run, SetAllEveryFrameIsASet) {
    Rig r;
    DefineRunTable(r);
    r.engine.SetAllParameters();
    for (int i = 0; i < 3; ++i)
        r.Feed("QXok\r");
    EXPECT_EQ(r.port.frames, (Lines{"QXA2 = 20\r", "QXPS = 120\r", "QXSETONLY = 140\r"}));
    EXPECT_FALSE(r.engine.SeqGet());
}

TEST(Run, NextFrameLeavesFromWithinReplyProcessing) {
    Rig r;
    DefineRunTable(r);
    r.view.showTransmissions = true;
    r.engine.GetAllParameters();
    r.trace.events.clear();
    r.Feed("QXA2 = 1\r");
    EXPECT_EQ(r.trace.events, (Lines{"log A2 = 1", "timer start", "tx QXB7\r", "log QXB7\r"}));
}

// A result is told after everything its reply or time-out does, the next
// frame of a run included, and a reply's value outlives that frame.
TEST(Run, ResultsToldAfterProcessing) {
    Rig r;
    DefineRunTable(r);
    r.view.traceResults = true;
    r.engine.GetAllParameters();
    r.trace.events.clear();
    r.Feed("QXA2 = 17\r");
    EXPECT_EQ(r.trace.events, (Lines{"log A2 = 17", "timer start", "tx QXB7\r", "result 2 17"}));
    r.trace.events.clear();
    r.engine.RxTimerTimer();
    EXPECT_EQ(r.trace.events, (Lines{"log B7 - Rx timeout", "timed out 7"}));
    // A request started from the result goes out at once.
    r.trace.events.clear();
    r.engine.GetButtonClick(40);
    r.Feed("QXC40\r");
    EXPECT_EQ(r.trace.events, (Lines{"timer start", "tx QXC40\r", "log C40", "result 40 "}));
}

TEST(Run, SilentTargetStopsRun) {
    Rig r;
    for (int i = 0; i < 5; ++i)
        r.Define(i, ctParamGet, "P" + std::to_string(i), "", IncInGetAll);
    r.engine.GetAllParameters();
    r.Feed("QXP0 = 0\r");
    r.engine.RxTimerTimer(); // the target stays silent on the second
    EXPECT_EQ(r.port.frames, (Lines{"QXP0\r", "QXP1\r"}));
    EXPECT_EQ(r.view.log, (Lines{"P0 = 0", "P1 - Rx timeout"}));
    EXPECT_EQ(r.engine.SeqLeft(), 4);
    EXPECT_FALSE(r.timer.running);
    // A late reply to the second takes the run on to the third.
    r.Feed("QXP1 = 1\r");
    EXPECT_EQ(r.port.frames.back(), "QXP2\r");
    EXPECT_EQ(r.engine.SeqLeft(), 3);
}

TEST(Run, StartRefusals) {
    struct Row {
        const char* name;
        bool open;
        bool busy;
        bool anyQualifies;
        Lines log;
        size_t frames;
    };
    // clang-format off
    const Row rows[] = {
        {"port closed: one line, not one per slot", false, false, true,
         {"ERROR: - COM port not opened"}, 0},
        {"busy", true, true, true, {"COM is busy"}, 1},
        {"nothing qualifies", true, false, false, {}, 0},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig r;
        if (row.anyQualifies)
            DefineRunTable(r);
        r.Define(100, ctParamGet, "OTHER");
        if (row.busy)
            r.engine.GetButtonClick(100);
        r.port.open = row.open;
        r.view.log.clear();
        r.engine.GetAllParameters();
        EXPECT_EQ(r.view.log, row.log);
        EXPECT_EQ(r.port.frames.size(), row.frames);
        if (row.busy) {
            // The outstanding request continues and its reply ends it.
            EXPECT_EQ(r.engine.PendingSlot(), 100);
            r.Feed("QXOTHER = 1\r");
            EXPECT_EQ(r.port.frames.size(), 1u);
        }
    }
}

TEST(Run, StopsWhenSlotBecomesUnusable) {
    struct Row {
        const char* name;
        void (*spoil)(Rig&);
        Lines log;
    };
    // clang-format off
    const Row rows[] = {
        {"port closed between requests", [](Rig& r) { r.port.open = false; },
         {"A2 = 1", "ERROR: - COM port not opened"}},
        {"slot emptied between requests", [](Rig& r) { ClearRecord(r.table[7]); },
         {"A2 = 1", "ERROR: - command 8 not defined"}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig r;
        DefineRunTable(r);
        r.engine.GetAllParameters();
        row.spoil(r);
        r.Feed("QXA2 = 1\r");
        EXPECT_EQ(r.view.log, row.log);
        EXPECT_EQ(r.port.frames.size(), 1u);
        EXPECT_FALSE(r.engine.ComBusy());
    }
}

TEST(Run, SetAllStopsAtEditThatDoesNotConvert) {
    Rig r;
    DefineRunTable(r);
    r.view.edits[12] = "twelve";
    r.engine.SetAllParameters();
    r.Feed("QXok\r");
    EXPECT_EQ(r.port.frames, Lines{"QXA2 = 20\r"});
    EXPECT_EQ(r.view.convertErrors, Lines{"'twelve' is not a valid integer value"});
    EXPECT_FALSE(r.engine.ComBusy());
}

TEST(Run, SingleRequestCutsRunShort) {
    Rig r;
    DefineRunTable(r);
    r.engine.GetAllParameters();
    r.engine.GetButtonClick(13); // busy: nothing sent, but the run is cut
    EXPECT_EQ(r.engine.SeqLeft(), 1);
    r.Feed("QXA2 = 1\r");
    EXPECT_EQ(r.port.frames, Lines{"QXA2\r"});
    EXPECT_EQ(r.engine.SeqLeft(), 0);
}

TEST(Run, NewRunReplacesFinishedOne) {
    Rig r;
    DefineRunTable(r);
    r.engine.SetAllParameters();
    r.Feed("QXok\r");
    r.engine.RxTimerTimer(); // run stopped after the first reply
    r.engine.GetAllParameters();
    EXPECT_TRUE(r.engine.SeqGet());
    EXPECT_EQ(r.engine.SeqPos(), 0);
    EXPECT_EQ(r.engine.SeqLeft(), 3);
    EXPECT_EQ(r.port.frames.back(), "QXA2\r");
}

// ------------------------------------------------------------- value entry

TEST(ValueEntry, CommitNumeric) {
    struct Row {
        int min, max, start;
        const char* text;
        const char* shown;
    };
    // clang-format off
    const Row rows[] = {
        {0, 100, 50, "abc", "50"},  {0, 100, 50, "250", "100"}, {0, 100, 50, "-3", "0"},
        {0, 100, 50, "007", "7"},   {0, 100, 50, "$1F", "31"},  {0, 100, 50, "", "50"},
        {0, 100, 50, " 12", "12"},  {0, 100, 50, "12 ", "50"},  {0, 100, 500, "abc", "100"},
        // min above max: the lower bound is tested first
        {10, 5, 0, "3", "10"},      {10, 5, 0, "7", "10"},      {10, 5, 0, "10", "5"},
        {10, 5, 0, "20", "5"},      {10, 5, 0, "abc", "10"},    {10, 5, 12, "abc", "5"},
    };
    // clang-format on
    for (int kind : {ctCommandValue, ctParamSet, ctParamGetSet}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(std::to_string(kind) + " [" + row.text + "] " + std::to_string(row.min) +
                         ".." + std::to_string(row.max));
            Rig r;
            TCmdRecord& rec = r.Define(0, kind, "P", "", TxOnValueChange);
            rec.val_min = row.min;
            rec.val_max = row.max;
            rec.val_start = row.start;
            r.view.edits[0] = row.text;
            r.engine.CommitCmdValue(0);
            EXPECT_EQ(r.view.edits[0], row.shown);
            EXPECT_TRUE(r.port.frames.empty());
            EXPECT_EQ(rec.val_start, row.start); // the record is never changed
        }
    }
}

TEST(ValueEntry, CommitOtherKinds) {
    struct Row {
        int kind;
        const char* text;
        const char* shown;
    };
    // clang-format off
    const Row rows[] = {
        {ctCommandString, "  pump 1 \t", "pump 1"},
        {ctCommandString, "\x01hi\r\n", "hi"},
        {ctCommandString, "\xE4 x \xE4", "\xE4 x \xE4"}, // 8-bit letters are not blanks
        {ctCommandString, "   ", ""},
        {ctParamGet, " 12 ", " 12 "},
        {ctCommand, "abc", "abc"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        Rig r;
        r.Define(0, row.kind, "P");
        r.view.edits[0] = row.text;
        r.engine.CommitCmdValue(0);
        EXPECT_EQ(r.view.edits[0], row.shown);
        EXPECT_TRUE(r.port.frames.empty());
    }
}

// Key and wheel sequences on one slot: "U"/"D" arrow, "E" Enter, "K" another
// key, "u"/"d" wheel; what the edit shows afterwards and what was sent.
struct StepRow {
    const char* name;
    int kind;
    int min, max, inc, start;
    std::uint32_t opts;
    const char* edit;
    const char* keys;
    const char* shown;
    Lines frames;
    const char* handled; // one letter per wheel event: 'y' handled, 'n' not
};

// clang-format off
const StepRow kStepRows[] = {
    {"up to the limit then stop", ctParamSet, 0, 100, 30, 0, 0, "90", "UU", "100", {}, ""},
    {"down from 10", ctParamSet, 0, 100, 30, 0, 0, "10", "D", "0", {}, ""},
    {"down at the limit", ctParamSet, 0, 100, 30, 0, 0, "0", "D", "0", {}, ""},
    {"up above max leaves the text", ctParamSet, 0, 100, 10, 0, TxOnValueChange, "150", "U", "150",
     {}, ""},
    {"down below min leaves the text", ctParamSet, 20, 100, 10, 0, TxOnValueChange, "5", "D", "5",
     {}, ""},
    {"wheel above max writes max", ctParamSet, 0, 100, 10, 0, TxOnValueChange, "150", "u", "100",
     {}, "y"},
    {"wheel from text uses start", ctParamGetSet, 0, 100, 10, 50, 0, "abc", "d", "40", {}, "y"},
    {"wheel step raised to min sends", ctParamSet, 0, 100, 10, 50, TxOnValueChange, "007", "d",
     "0", {"QXP = 0\r"}, "y"},
    {"no TxOnValueChange: steps only edit", ctCommandValue, 0, 100, 10, 50, 0, "50", "UDud", "50",
     {}, "yy"},
    {"TxOnValueChange: each step sends", ctParamSet, 0, 100, 10, 50, TxOnValueChange, "50", "U",
     "60", {"QXP = 60\r"}, ""},
    {"TxOnValueChange with step 0 still sends", ctParamSet, 0, 100, 0, 50, TxOnValueChange, "50",
     "U", "50", {"QXP = 50\r"}, ""},
    {"TxOnValueChange at the limit sends nothing", ctParamSet, 0, 100, 10, 50, TxOnValueChange,
     "100", "U", "100", {}, ""},
    {"Enter sends without TxOnValueChange", ctParamGetSet, 0, 100, 10, 50, 0, "abc", "E", "50",
     {"QXP = 50\r"}, ""},
    {"Enter clamps before sending", ctParamSet, 0, 100, 10, 50, 0, "$FF", "E", "100",
     {"QXP = 100\r"}, ""},
    {"other key does nothing", ctParamSet, 0, 100, 10, 50, TxOnValueChange, "abc", "K", "abc", {},
     ""},
    {"step above max is lowered", ctParamSet, 0, 100, 30, 0, TxOnValueChange, "95", "U", "100",
     {"QXP = 100\r"}, ""},
    {"min above max: arrows do nothing", ctParamSet, 10, 5, 1, 0, TxOnValueChange, "7", "UD", "7",
     {}, ""},
    {"min above max: wheel writes max", ctParamSet, 10, 5, 1, 0, TxOnValueChange, "20", "u", "5",
     {}, "y"},
    {"big step saturates", ctParamSet, -2147483647, 2147483647, 2147483647, 0, 0, "2147483000",
     "U", "2147483647", {}, ""},
    {"kind 2 Enter trims and sends nothing", ctCommandString, 0, 0, 0, 0, TxOnValueChange,
     "  go  ", "E", "go", {}, ""},
    {"kind 2 arrows and wheel do nothing", ctCommandString, 0, 100, 1, 0, TxOnValueChange, " 5 ",
     "UDud", " 5 ", {}, "nn"},
    {"kind 3 ignores keys and wheel", ctParamGet, 0, 100, 1, 0, TxOnValueChange, "7", "UDEud", "7",
     {}, "nn"},
    {"disabled slot ignores the wheel", ctParamSet, 0, 100, 10, 50, TxOnValueChange | Disabled,
     "abc", "ud", "abc", {}, "nn"},
};
// clang-format on

TEST(ValueEntry, KeysAndWheel) {
    for (const StepRow& row : kStepRows) {
        SCOPED_TRACE(row.name);
        Rig r;
        TCmdRecord& rec = r.Define(0, row.kind, "P", "", row.opts);
        rec.val_min = row.min;
        rec.val_max = row.max;
        rec.val_inc = row.inc;
        rec.val_start = row.start;
        r.view.edits[0] = row.edit;
        std::string handled;
        for (const char* k = row.keys; *k; ++k) {
            switch (*k) {
            case 'U':
                r.engine.CmdEditKey(0, vkUp);
                break;
            case 'D':
                r.engine.CmdEditKey(0, vkDown);
                break;
            case 'E':
                r.engine.CmdEditKey(0, vkReturn);
                break;
            case 'K':
                r.engine.CmdEditKey(0, 0x41);
                break;
            case 'u':
                handled += r.engine.MouseWheelUp(0) ? 'y' : 'n';
                break;
            case 'd':
                handled += r.engine.MouseWheelDown(0) ? 'y' : 'n';
                break;
            }
            r.Feed("QXP\r"); // answer whatever was sent, so the next step can send
        }
        EXPECT_EQ(r.view.edits[0], row.shown);
        EXPECT_EQ(r.port.frames, row.frames);
        EXPECT_EQ(handled, row.handled);
    }
}

TEST(ValueEntry, StepWhileBusyChangesEditOnlyAndCutsRun) {
    Rig r;
    DefineRunTable(r);
    TCmdRecord& rec = r.Define(20, ctParamSet, "P", "", TxOnValueChange);
    rec.val_max = 100;
    rec.val_inc = 5;
    r.view.edits[20] = "10";
    r.engine.GetAllParameters();
    EXPECT_TRUE(r.engine.MouseWheelUp(20));
    r.engine.CmdEditKey(20, vkUp);
    EXPECT_EQ(r.view.edits[20], "20");
    EXPECT_EQ(r.port.frames, Lines{"QXA2\r"});
    EXPECT_EQ(r.engine.SeqLeft(), 1);
    r.Feed("QXA2 = 1\r");
    EXPECT_EQ(r.port.frames.size(), 1u); // the run ended with the reply in flight
}

TEST(ValueEntry, OutOfRangeIndexIgnored) {
    Rig r;
    r.engine.CommitCmdValue(192);
    r.engine.CmdEditKey(-1, vkReturn);
    EXPECT_FALSE(r.engine.MouseWheelUp(192));
    EXPECT_FALSE(r.engine.MouseWheelDown(-5));
    EXPECT_TRUE(r.view.log.empty());
    EXPECT_TRUE(r.port.frames.empty());
}

} // namespace
