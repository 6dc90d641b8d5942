// The command-line runner inside one process, many operations against a
// simulator that answers late at random, adds unasked replies, and leaves
// replies in the device between openings: no value under a wrong slot.
#include "app/link/PortLink.h"
#include "comport/Lnkcomport.h"
#include "tools/link/LinkRun.h"
#include "tools/sim/SimClient.h"
#include "tools/sim/SimTarget.h"

#include <QEventLoop>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace {

using namespace pmv;
using namespace pmv::linkcli;

TEST(LinkRunStress, NoValueUnderAWrongSlot) {
    constexpr int kRuns = 1000, kTimeoutMs = 25;
    QTemporaryDir dir;
    const std::string map = dir.filePath("commap").toStdString();
    ::setenv("PMV_COMMAP", map.c_str(), 1);
    qxmsim::TSimProcess
        sim; // one reply in ten late up to twice the time-out, one in ten with a stray
    ASSERT_TRUE(
        sim.Start(QXM_SIM_PATH, map, 25, {"--jitter", "10:50", "--stray", "10", "--seed", "19"}))
        << sim.Error();
    // Parameters whose values no other parameter has: a value under the
    // wrong slot shows.
    const char* const words[] = {"SPD",  "IMAX", "PSET", "PMAX", "KP",   "KI",   "RAMP",
                                 "TLIM", "VMIN", "VMAX", "SMAX", "DRYT", "TEMP", "VBUS",
                                 "VER",  "SN",   "DIN",  "AIN1", "HOURS"};
    const int count = static_cast<int>(std::size(words));
    TCmdTable table{};
    for (int i = 0; i < count; ++i)
        table[std::size_t(i)] = {ctParamGet, words[i], "", "", 0, 0, 0, 0, 0, IncInGetAll};
    QORLNK::TLNKCOMPort port;
    port.SetPort1(25);
    QTimer replyTimer;
    TCliView view(table);
    TPortLink link(table, port, replyTimer, view, [](const std::string& e) { ADD_FAILURE() << e; });
    replyTimer.setInterval(kTimeoutMs);
    TLinkRunner runner(table, link.Engine(), view);
    QEventLoop loop;
    runner.onFinished = [&] { loop.quit(); };
    QTimer deadline; // generous: the machine may be busy
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);

    const qxmsim::TSimTarget model;
    std::mt19937 rng(19);
    int wrong = 0, ok = 0, late = 0, timeouts = 0;
    for (int run = 0; run < kRuns && !HasFailure(); ++run) {
        if (run % 10 == 0) { // opened anew: what waits in the device is not this run's
            port.Close();
            // Another program on the machine may have the pty open a moment.
            std::string why = OpenComPort(port);
            for (int i = 0; !why.empty() && i < 100; ++i) {
                QTest::qWait(100);
                why = OpenComPort(port);
            }
            ASSERT_EQ(why, "");
        }
        std::vector<int> picks(4);
        for (int& p : picks)
            p = std::uniform_int_distribution<int>(0, count - 1)(rng);
        run % 50 == 49 ? runner.GetAll() : runner.Get(picks);
        if (!runner.Finished()) {
            deadline.start(30000);
            loop.exec();
            deadline.stop();
        }
        ASSERT_TRUE(runner.Finished() && runner.Error().empty()) << run << runner.Error();
        for (const TSlotResult& r : runner.Results()) {
            const std::string& word = table[std::size_t(r.slot)].cmd_str;
            timeouts += r.status == TResultStatus::Timeout;
            if (r.status != TResultStatus::Ok && r.status != TResultStatus::Late)
                continue;
            (r.status == TResultStatus::Ok ? ok : late) += 1;
            wrong += r.value != model.Value(word);
            EXPECT_EQ(r.value, model.Value(word)) << "run " << run << ": " << word;
        }
    }
    const TRequestEngine& engine = link.Engine();
    std::printf("%d runs: %d values in time, %d late, %d time-outs; %d late and %d unmatched "
                "replies not taken; %d values under a wrong slot\n",
                kRuns, ok, late, timeouts, engine.LateCount(), engine.UnmatchedCount(), wrong);
    EXPECT_GT(engine.UnmatchedCount(), 0); // the runs met what they were meant to meet
    EXPECT_GT(timeouts + late, 0);
    port.Close();
    EXPECT_EQ(sim.Stop(), 0);
    ::unsetenv("PMV_COMMAP");
}

} // namespace
