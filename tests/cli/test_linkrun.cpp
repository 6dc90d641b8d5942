// The command-line link's runner against a misbehaving simulator, inside one
// process: many operations with random late replies, unasked replies and
// replies left in the device between openings. A value is never reported
// under a slot whose command did not give it.
#include "app/link/PortLink.h"
#include "comport/Lnkcomport.h"
#include "tools/link/LinkRun.h"
#include "tools/sim/SimClient.h"
#include "tools/sim/SimTarget.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace pmv;
using namespace pmv::linkcli;

constexpr int kCom = 25;
constexpr int kRuns = 1000;
constexpr int kTimeoutMs = 25;

// Parameters whose values no other parameter of the simulator has, so that
// a value under the wrong slot shows.
const char* const kWords[] = {"SPD",  "IMAX", "PSET", "PMAX", "KP",   "KI",   "RAMP",
                              "TLIM", "VMIN", "VMAX", "SMAX", "DRYT", "TEMP", "VBUS",
                              "VER",  "SN",   "DIN",  "AIN1", "HOURS"};

TEST(LinkRunStress, NoValueUnderAWrongSlot) {
    char dir[] = "/tmp/test_linkrun.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string map = std::string(dir) + "/commap";
    ::setenv("PMV_COMMAP", map.c_str(), 1);
    qxmsim::TSimProcess sim;
    // One reply in ten waits up to twice the time-out; one in ten brings an
    // unasked reply of another parameter along.
    ASSERT_TRUE(sim.Start(
        QXM_SIM_PATH, map, kCom,
        {"--jitter", "10:" + std::to_string(2 * kTimeoutMs), "--stray", "10", "--seed", "19"}))
        << sim.Error();

    TCmdTable table{};
    const int count = static_cast<int>(std::size(kWords));
    for (int i = 0; i < count; ++i) {
        table[std::size_t(i)].cmd_type = ctParamGet;
        table[std::size_t(i)].cmd_str = kWords[i];
        table[std::size_t(i)].opts = IncInGetAll | UpdateEditOnGet;
    }
    const qxmsim::TSimTarget model;
    QORLNK::TLNKCOMPort port;
    port.SetPort1(kCom);
    QTimer replyTimer;
    TCliView view(table);
    TPortLink link(table, port, replyTimer, view,
                   [](const std::string& what) { ADD_FAILURE() << what; });
    replyTimer.setInterval(kTimeoutMs);
    TLinkRunner runner(table, link.Engine(), view);
    QEventLoop loop;
    runner.onFinished = [&] { loop.quit(); };

    std::mt19937 rng(19);
    int wrong = 0, ok = 0, late = 0, timeouts = 0;
    for (int run = 0; run < kRuns && !HasFatalFailure(); ++run) {
        // Every tenth run on a port opened anew: what waits in the device
        // from the last run is not this run's.
        if (run % 10 == 0) {
            port.Close();
            ASSERT_EQ(OpenComPort(port), "");
        }
        std::vector<int> picks;
        for (int k = 0; k < 4; ++k)
            picks.push_back(std::uniform_int_distribution<int>(0, count - 1)(rng));
        if (run % 50 == 49)
            runner.GetAll();
        else
            runner.Get(picks);
        if (!runner.Finished()) {
            QTimer::singleShot(30000, &loop, [&] { loop.quit(); });
            loop.exec();
        }
        ASSERT_TRUE(runner.Finished()) << "run " << run;
        ASSERT_EQ(runner.Error(), "");
        for (const TSlotResult& r : runner.Results()) {
            const std::string& word = table[std::size_t(r.slot)].cmd_str;
            switch (r.status) {
            case TResultStatus::Ok:
            case TResultStatus::Late:
                (r.status == TResultStatus::Ok ? ok : late) += 1;
                if (r.value != model.Value(word)) {
                    ++wrong;
                    ADD_FAILURE() << "run " << run << ": " << word << " showed " << r.value;
                }
                break;
            case TResultStatus::Timeout:
                ++timeouts;
                break;
            case TResultStatus::NotDone:
                ADD_FAILURE() << "run " << run << ": " << word << " not read";
                break;
            }
        }
    }
    const TRequestEngine& engine = link.Engine();
    std::printf("%d runs: %d values in time, %d late, %d time-outs; %d late and %d unmatched "
                "replies not taken; %d values under a wrong slot\n",
                kRuns, ok, late, timeouts, engine.LateCount(), engine.UnmatchedCount(), wrong);
    EXPECT_EQ(wrong, 0);
    // The runs met what they were meant to meet.
    EXPECT_GT(engine.UnmatchedCount(), 0);
    EXPECT_GT(timeouts + late, 0);
    EXPECT_GT(ok, kRuns);
    port.Close();
    EXPECT_EQ(sim.Stop(), 0);
    ::unsetenv("PMV_COMMAP");
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

} // namespace
