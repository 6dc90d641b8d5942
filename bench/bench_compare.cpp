// Comparisons with the target, Send Selected, restores and snapshots, against
// qxm-sim on a pseudo-terminal published as COM25. Seeded: each run of a
// benchmark draws its own parameters from seed and run number.
//
//   CompareSeeded/k     64 parameters, k of them changed in the file; the
//                       simulator is started afresh each run with 0 to 2 silent
//                       and 0 to 2 late parameters (650 to 900 ms, after the
//                       time-out), drawn among the unchanged ones. The reply
//                       window is 500 ms here, as the window tests widen it: on
//                       a shared machine a reply can take longer than 200 ms,
//                       and what is measured is which row a reply reaches, not
//                       the length of the window.
//                       Counters: exact = runs that found exactly k
//                       differences; silent_same = silent or late rows shown as
//                       "same" (0 but for a late reply already received when a
//                       delayed time-out tick ran: the engine takes that as in
//                       time); spurious = answering unchanged rows not "same";
//                       each such row is named on standard error
//   SendSelected/k      the file set to the target's values, then k of them
//                       changed, ticked and sent; cost_ok = runs with
//                       exactly k Sets and k Gets; zero_after = runs whose next
//                       comparison finds no difference
//   Restore             snapshot of the target, random writes, the snapshot
//                       loaded and its differences sent: zero_after as above
//   SetAll, SnapshotSetAll  Set All of 64 parameters alone, and with the
//                       snapshot first (one Get All and the file): their ratio
//   CompareOnScreen     the window's comparison of 192 parameters: from the
//                       last reply to the comparison painted (manual time)
#include "app/CompareForm.h"
#include "app/Mainfrm.h"
#include "app/link/CompareRun.h"
#include "app/link/PortLink.h"
#include "bench/BenchSupport.h"
#include "comport/Lnkcomport.h"
#include "config/Comparison.h"
#include "config/Snapshot.h"
#include "tools/sim/SimClient.h"

#include <QAction>
#include <QApplication>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace pmv;

constexpr int kCom = 25;
constexpr int kParams = 64;
constexpr std::uint32_t kSeed = 20251207;
constexpr int kReplyWindowMs = 500;

std::string Name(int i) {
    char n[8];
    std::snprintf(n, sizeof n, "P%02d", i);
    return n;
}

// 64 parameters read and sent by Get All and Set All, all 0 (the
// simulator's value of a name it does not know).
TCmdTable Params() {
    TCmdTable t{};
    for (int i = 0; i < kParams; ++i) {
        t[i].cmd_type = ctParamGetSet;
        t[i].cmd_str = Name(i);
        t[i].val_max = 65535;
        t[i].opts = IncInGetAll | IncInSetAll;
    }
    return t;
}

// On standard error: the rows of a comparison that should have none.
void Explain(const TSetComparison& c, const char* what) {
    for (const TCompareRow& row : c.Rows())
        if (row.status != TCompareStatus::Same)
            std::fprintf(stderr, "%s: slot %d %s %s\n", what, row.slot + 1,
                         CompareStatusText(row.status), row.other.value_or("").c_str());
}

// A view that only counts: the log and the edits go nowhere.
class TQuietView : public TLinkView {
public:
    void AppendLog(std::string_view) override {}
    void ShowCount(TLinkCounter, int) override {}
    bool ShowTransmissions() const override { return false; }
    bool ShowUnframedReceptions() const override { return false; }
    bool ShowCommandDescription() const override { return true; }
    std::string EditText(int index) const override { return std::to_string(edits[index]); }
    void SetEditText(int, std::string_view) override {}
    void ConvertError(const std::string&) override {}
    std::array<std::int32_t, kSlotCount> edits{};
};

// The simulator, the port, the link and a comparison run, as the window
// wires them.
struct TRig {
    QTemporaryDir dir;
    std::string map = dir.filePath("commap").toStdString();
    qxmsim::TSimProcess sim;
    TCmdTable table = Params();
    QORLNK::TLNKCOMPort port;
    QTimer replyTimer;
    TQuietView view;
    TRunView runView{view};
    TPortLink link{table, port, replyTimer, runView, [](const std::string&) {}};
    TCompareRun run{table, link.Engine(), runView};

    TRig() { replyTimer.setInterval(kReplyWindowMs); }
    // The simulator started afresh with args, the port open on it.
    bool Start(const std::vector<std::string>& args) {
        ::setenv("PMV_COMMAP", map.c_str(), 1);
        port.Close();
        if (sim.Pid() > 0)
            sim.Stop();
        if (!sim.Start(QXM_SIM_PATH, map, kCom, args))
            return false;
        port.SetPort1(kCom);
        return OpenComPort(port).empty();
    }
    void Wait() {
        while (run.Running())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    TSetComparison Compare() {
        TSetComparison c(table);
        run.Read(c);
        Wait();
        run.Forget();
        return c;
    }
};

void BM_CompareSeeded(benchmark::State& state) {
    const int k = static_cast<int>(state.range(0));
    TRig rig;
    int run = 0, exact = 0, silentSame = 0, spurious = 0, timedOut = 0, late = 0;
    for (auto _ : state) {
        std::mt19937 rng(kSeed + static_cast<std::uint32_t>(k * 1000 + run++));
        std::vector<int> order(kParams);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), rng);
        rig.table = Params();
        for (int i = 0; i < k; ++i)
            rig.table[order[i]].val_start = std::uniform_int_distribution<int>(1, 65535)(rng);
        std::uniform_int_distribution<int> few(0, 2);
        const int silent = few(rng), lateCount = few(rng);
        std::set<int> quiet;
        std::string silentArg, lateArg;
        for (int i = 0; i < silent; ++i) {
            quiet.insert(order[k + i]);
            silentArg += (i ? "," : "") + Name(order[k + i]);
        }
        for (int i = 0; i < lateCount; ++i) {
            const int p = order[k + silent + i];
            quiet.insert(p);
            lateArg += (i ? "," : "") + Name(p) + ":" +
                       std::to_string(std::uniform_int_distribution<int>(650, 900)(rng));
        }
        std::vector<std::string> args;
        if (!silentArg.empty())
            args.insert(args.end(), {"--silent", silentArg});
        if (!lateArg.empty())
            args.insert(args.end(), {"--late", lateArg});
        if (!rig.Start(args)) {
            state.SkipWithError("no simulator");
            return;
        }
        const TSetComparison c = rig.Compare();
        exact += c.Counts().Of(TCompareStatus::Differs) == k;
        timedOut += c.Counts().Of(TCompareStatus::TimedOut);
        late += c.Counts().Of(TCompareStatus::Late);
        for (const TCompareRow& row : c.Rows()) {
            const bool same = row.status == TCompareStatus::Same;
            if (quiet.count(row.slot))
                silentSame += same;
            else if (rig.table[row.slot].val_start == 0)
                spurious += !same;
            if (quiet.count(row.slot)
                    ? same
                    : (row.status != TCompareStatus::Same && row.status != TCompareStatus::Differs))
                std::fprintf(stderr, "CompareSeeded/%d run %d: %s %s (silent %s, late %s)\n", k,
                             run, Name(row.slot).c_str(), CompareStatusText(row.status),
                             silentArg.c_str(), lateArg.c_str());
        }
    }
    state.counters["exact"] = exact;
    state.counters["runs"] = run;
    state.counters["silent_same"] = silentSame;
    state.counters["spurious"] = spurious;
    state.counters["timed_out"] = timedOut;
    state.counters["late"] = late;
}
BENCHMARK(BM_CompareSeeded)
    ->Arg(0)
    ->Arg(1)
    ->Arg(16)
    ->Arg(48)
    ->Iterations(100)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_SendSelected(benchmark::State& state) {
    const int k = static_cast<int>(state.range(0));
    TRig rig;
    if (!rig.Start({})) {
        state.SkipWithError("no simulator");
        return;
    }
    int run = 0, costOk = 0, zeroAfter = 0;
    for (auto _ : state) {
        std::mt19937 rng(kSeed + static_cast<std::uint32_t>(k * 1000 + run++));
        std::vector<int> order(kParams);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), rng);
        // The file as the target is, then k values changed in the file.
        rig.table = Params();
        TSetComparison c(rig.table);
        rig.run.Read(c);
        rig.Wait();
        for (int r = 0; r < int(c.Rows().size()); ++r) {
            const int v = std::stoi(c.Rows()[r].other.value_or("0"));
            rig.table[c.Rows()[r].slot].val_start = v;
            c.SetFileValue(r, v);
        }
        for (int i = 0; i < k; ++i) {
            const int v = std::uniform_int_distribution<int>(1, 65535)(rng);
            rig.table[order[i]].val_start = v;
            c.SetFileValue(c.RowOf(order[i]), v);
        }
        c.TickDifferences();
        rig.run.Send(c, c.TickedRows(), [] { return true; });
        rig.Wait();
        costOk += rig.run.Sets() == k && rig.run.Gets() == k;
        rig.run.Forget();
        const TSetComparison after = rig.Compare();
        zeroAfter += after.Counts().Differences() == 0;
        Explain(after, "SendSelected");
    }
    state.counters["cost_ok"] = costOk;
    state.counters["zero_after"] = zeroAfter;
    state.counters["runs"] = run;
}
BENCHMARK(BM_SendSelected)
    ->Arg(1)
    ->Arg(16)
    ->Arg(48)
    ->Iterations(100)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_Restore(benchmark::State& state) {
    TRig rig;
    if (!rig.Start({})) {
        state.SkipWithError("no simulator");
        return;
    }
    int run = 0, zeroAfter = 0;
    for (auto _ : state) {
        std::mt19937 rng(kSeed + static_cast<std::uint32_t>(run++));
        // The snapshot of the target as it is, written and read back.
        rig.table = Params();
        TConfigSet set;
        set.CmdTable = rig.table;
        const TSetComparison before = rig.Compare();
        const TSnapshotWrite w =
            WriteSnapshot(rig.dir.filePath("snapshots").toStdString(),
                          "run" + std::to_string(run) + ".ini", MakeSnapshotSet(set, before).set);
        const TConfigLoadResult snap = LoadConfigFile(w.path);
        // Random writes.
        const int writes = std::uniform_int_distribution<int>(1, kParams)(rng);
        TSetComparison c(rig.table);
        for (int i = 0; i < writes; ++i) {
            const int p = std::uniform_int_distribution<int>(0, kParams - 1)(rng);
            rig.table[p].val_start = std::uniform_int_distribution<int>(1, 65535)(rng);
            c.SetTicked(c.RowOf(p), true);
        }
        rig.run.Send(c, c.TickedRows(), [] { return true; });
        rig.Wait();
        rig.run.Forget();
        // Back: the snapshot's differences sent.
        rig.table = snap.Set.CmdTable;
        TSetComparison back(rig.table);
        rig.run.Read(back);
        rig.Wait();
        back.TickDifferences();
        if (!back.TickedRows().empty()) {
            rig.run.Send(back, back.TickedRows(), [] { return true; });
            rig.Wait();
        }
        rig.run.Forget();
        const TSetComparison after = rig.Compare();
        zeroAfter += snap.Status == TConfigLoadStatus::Ok && after.Counts().Differences() == 0;
        Explain(after, "Restore");
    }
    state.counters["zero_after"] = zeroAfter;
    state.counters["runs"] = run;
}
BENCHMARK(BM_Restore)->Iterations(100)->UseRealTime()->Unit(benchmark::kMillisecond);

void SetAll(benchmark::State& state, bool snapshot) {
    TRig rig;
    if (!rig.Start({})) {
        state.SkipWithError("no simulator");
        return;
    }
    TConfigSet set;
    set.CmdTable = rig.table;
    TRequestEngine& engine = rig.link.Engine();
    int run = 0;
    for (auto _ : state) {
        if (snapshot) {
            TSetComparison read(rig.table);
            rig.run.Read(read);
            rig.Wait();
            rig.run.Forget();
            const std::time_t now = std::time(nullptr);
            std::tm local{};
            localtime_r(&now, &local);
            const TSnapshotWrite w =
                WriteSnapshot(rig.dir.filePath("snapshots").toStdString(),
                              SnapshotFileName(local, kCom), MakeSnapshotSet(set, read).set);
            if (!w.ok) {
                state.SkipWithError("snapshot not written");
                return;
            }
        }
        engine.SetAllParameters();
        while (engine.SeqLeft() > 0 && engine.RxTOCount() == 0)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (engine.RxTOCount() != 0) {
            state.SkipWithError("reply time-out");
            return;
        }
        ++run;
    }
    state.SetItemsProcessed(state.iterations() * kParams);
}
void BM_SetAll(benchmark::State& state) {
    SetAll(state, false);
}
void BM_SnapshotSetAll(benchmark::State& state) {
    SetAll(state, true);
}
// Medians of five repetitions each, one after the other in the same run.
BENCHMARK(BM_SetAll)->Iterations(50)->Repetitions(5)->ReportAggregatesOnly()->UseRealTime()->Unit(
    benchmark::kMillisecond);
BENCHMARK(BM_SnapshotSetAll)
    ->Iterations(50)
    ->Repetitions(5)
    ->ReportAggregatesOnly()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_CompareOnScreen(benchmark::State& state) {
    QTemporaryDir dir;
    const std::string map = dir.filePath("commap").toStdString();
    qputenv("PMV_COMMAP", QByteArray::fromStdString(map));
    qxmsim::TSimProcess sim;
    if (!sim.Start(QXM_SIM_PATH, map, kCom, {})) {
        state.SkipWithError("no simulator");
        return;
    }
    TConfigSet set;
    set.ComPort = kCom;
    for (int i = 0; i < kSlotCount; ++i) {
        set.CmdTable[i] = Params()[i % kParams];
        set.CmdTable[i].cmd_str = Name(i);
        set.CmdTable[i].val_start = i % 3; // some differ
    }
    const QString path = dir.filePath("screen.ini");
    SaveConfigFile(path.toStdString(), set);
    TMainForm form;
    form.show();
    form.LoadConfigFromFile(path);
    QAction* compare = form.findChild<QAction*>(QStringLiteral("CompareWithTarget"));
    for (auto _ : state) {
        compare->trigger();
        while (form.CompareRun().Running())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const auto shown = form.CompareWindow()->ShownAt() - form.CompareRun().LastReplyAt();
        state.SetIterationTime(std::chrono::duration<double>(shown).count());
    }
    sim.Stop();
}
BENCHMARK(BM_CompareOnScreen)
    ->Iterations(30)
    ->Repetitions(5)
    ->ReportAggregatesOnly()
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    pmvbench::UseOffscreenByDefault();
    int appArgc = 1;
    QApplication app(appArgc, argv);
    return pmvbench::RunBenchmarks(argc, argv);
}
