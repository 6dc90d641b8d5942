// The watch (TWatchRun) through the request engine on the serial component,
// against qxm-sim on a pseudo-terminal published as COM25.
//
//   WatchRate          period 0 (as fast as the replies come), 4 slots,
//                      2,000 samples per iteration: samples per second
//   WatchRatePyserial  the same 4 parameters polled in a loop by a plain
//                      pyserial script (bench/pyserial_get_all.py, 500 rounds,
//                      /usr/bin/python3 with Debian's python3-serial) on the
//                      same simulator: its own rate
//   WatchJitter100ms   period 100 ms, 2 slots, 50 cycles: how late each cycle
//                      started against when it was due, p50 and p99 (µs)
//   WatchSilent        period 500 ms, 3 slots, the middle one silent (qxm-sim
//                      --silent), 10 cycles: time-outs per cycle, and the
//                      median period of the answering slots' samples (ms)
//   WatchMemory        period 0, 10^5 samples (10^6 with PMV_BENCH_LONG=1)
//                      recorded to a CSV file: resident memory before and
//                      after, and rows in the file against samples
//   LinkIdle, LinkIdleWithWatch  the open link on the simulator, nothing
//                      sent, 2 s: processor time per second, without and
//                      with a (stopped) watch built on it
#include "app/link/PortLink.h"
#include "app/link/WatchCsv.h"
#include "app/link/WatchRun.h"
#include "bench/BenchGetAll.h"
#include "bench/BenchSupport.h"
#include "comport/Lnkcomport.h"
#include "config/ConfigFile.h"
#include "tools/sim/SimClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace pmv;
using TClock = std::chrono::steady_clock;

constexpr int kCom = 25;

class TQuietView : public TLinkView {
public:
    void AppendLog(std::string_view) override {}
    void ShowCount(TLinkCounter, int) override {}
    bool ShowTransmissions() const override { return false; }
    bool ShowUnframedReceptions() const override { return false; }
    bool ShowCommandDescription() const override { return true; }
    std::string EditText(int) const override { return {}; }
    void SetEditText(int, std::string_view) override {}
    void ConvertError(const std::string&) override {}
};

// The simulator, the port and the link with a watch, as the window wires them.
struct TRig {
    QTemporaryDir dir;
    std::string map = dir.filePath("commap").toStdString();
    qxmsim::TSimProcess sim;
    TCmdTable table{};
    QORLNK::TLNKCOMPort port;
    QTimer replyTimer;
    TQuietView view;
    TWatchView watchView{view};
    TPortLink link{table, port, replyTimer, watchView, [](const std::string&) {}};
    std::unique_ptr<TWatchRun> watch;

    TRig() {
        const char* words[] = {"SPD", "TEMP", "ACC", "VBUS"};
        for (int i = 0; i < 4; ++i) {
            table[i].cmd_type = ctParamGetSet;
            table[i].cmd_str = words[i];
            table[i].opts = IncInGetAll;
        }
    }
    bool Start(const std::vector<std::string>& args) {
        ::setenv("PMV_COMMAP", map.c_str(), 1);
        port.Close();
        if (sim.Pid() > 0)
            sim.Stop();
        if (!sim.Start(QXM_SIM_PATH, map, kCom, args))
            return false;
        port.SetPort1(kCom);
        watch = std::make_unique<TWatchRun>(table, link.Engine(), watchView);
        return OpenComPort(port).empty();
    }
    // Runs the watch until done() or it stops.
    template <class Done> void Run(const std::vector<int>& chosen, int periodMs, Done done) {
        if (!watch->Start(chosen, periodMs).empty())
            return;
        while (!done() && watch->Running())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        watch->Stop();
        while (watch->Running())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(p * double(v.size() - 1) + 0.5))];
}

void BM_WatchRate(benchmark::State& state) {
    TRig rig;
    if (!rig.Start({})) {
        state.SkipWithError("no simulator");
        return;
    }
    unsigned long samples = 0, timeouts = 0;
    rig.watch->AddListener([&](const TWatchSample& s) {
        ++samples;
        timeouts += s.status != TWatchStatus::Ok;
    });
    for (auto _ : state) {
        const unsigned long target = samples + 2000;
        const TClock::time_point t0 = TClock::now();
        rig.Run({0, 1, 2, 3}, 0, [&] { return samples >= target; });
        state.SetIterationTime(std::chrono::duration<double>(TClock::now() - t0).count());
        state.SetItemsProcessed(2000);
    }
    state.counters["timeouts"] = double(timeouts);
}
BENCHMARK(BM_WatchRate)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_WatchRatePyserial(benchmark::State& state) {
    TRig rig;
    if (!rig.Start({})) {
        state.SkipWithError("no simulator");
        return;
    }
    rig.port.Close();
    TConfigSet set;
    set.ComPort = kCom;
    set.CmdTable = rig.table;
    const std::string config = rig.dir.filePath("watched.ini").toStdString();
    SaveConfigFile(config, set);
    pmvbench::PyserialGetAll(state, PMV_SOURCE_DIR "/bench/pyserial_get_all.py", config,
                             rig.sim.Device(), 500);
}
BENCHMARK(BM_WatchRatePyserial)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_WatchJitter100ms(benchmark::State& state) {
    TRig rig;
    if (!rig.Start({})) {
        state.SkipWithError("no simulator");
        return;
    }
    std::vector<double> lateUs;
    rig.watch->onCycle = [&](TClock::time_point due) {
        lateUs.push_back(std::chrono::duration<double, std::micro>(TClock::now() - due).count());
    };
    for (auto _ : state)
        rig.Run({0, 1}, 100, [&] { return rig.watch->Cycles() >= 50; });
    state.counters["late_p50_us"] = Percentile(lateUs, 0.5);
    state.counters["late_p99_us"] = Percentile(lateUs, 0.99);
}
BENCHMARK(BM_WatchJitter100ms)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_WatchSilent(benchmark::State& state) {
    TRig rig;
    if (!rig.Start({"--silent", "TEMP"})) {
        state.SkipWithError("no simulator");
        return;
    }
    std::vector<double> periodsMs;
    std::map<int, TClock::time_point> last;
    unsigned long timeouts = 0, otherTimeouts = 0, cycles = 0;
    rig.watch->AddListener([&](const TWatchSample& s) {
        cycles += s.slot == 2; // the last slot of a cycle
        if (s.status == TWatchStatus::TimedOut) {
            ++(s.slot == 1 ? timeouts : otherTimeouts);
            return;
        }
        const TClock::time_point now = TClock::now();
        if (last.count(s.slot))
            periodsMs.push_back(
                std::chrono::duration<double, std::milli>(now - last[s.slot]).count());
        last[s.slot] = now;
    });
    for (auto _ : state)
        rig.Run({0, 1, 2}, 500, [&] { return rig.watch->Cycles() > 10; });
    state.counters["timeouts_per_cycle"] = double(timeouts) / double(cycles);
    state.counters["other_timeouts"] = double(otherTimeouts);
    state.counters["period_p50_ms"] = Percentile(periodsMs, 0.5);
    state.counters["period_max_ms"] = Percentile(periodsMs, 1.0);
}
BENCHMARK(BM_WatchSilent)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_WatchMemory(benchmark::State& state) {
    const unsigned long total = std::getenv("PMV_BENCH_LONG") ? 1000000 : 100000;
    TRig rig;
    if (!rig.Start({})) {
        state.SkipWithError("no simulator");
        return;
    }
    TWatchCsv csv;
    const std::string path = rig.dir.filePath("watch.csv").toStdString();
    unsigned long samples = 0;
    rig.watch->AddListener([&](const TWatchSample& s) {
        ++samples;
        csv.Write(s);
    });
    long before = 0, after = 0;
    for (auto _ : state) {
        csv.Open(path);
        samples = 0;
        rig.Run({0, 1, 2, 3}, 0, [&] { return samples >= 2000; }); // warm-up
        before = pmvbench::ResidentKb();
        rig.Run({0, 1, 2, 3}, 0, [&] { return samples >= total; });
        after = pmvbench::ResidentKb();
        csv.Close();
    }
    std::ifstream in(path);
    const long lines = std::count(std::istreambuf_iterator<char>(in), {}, '\n');
    state.counters["samples"] = double(samples);
    state.counters["csv_rows"] = double(lines - 1);
    state.counters["rss_before_kb"] = double(before);
    state.counters["rss_growth_kb"] = double(after - before);
}
BENCHMARK(BM_WatchMemory)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void LinkIdle(benchmark::State& state, bool withWatch) {
    TRig rig;
    if (!rig.Start({})) {
        state.SkipWithError("no simulator");
        return;
    }
    if (!withWatch)
        rig.watch.reset();
    for (auto _ : state) {
        const double cpu0 = pmvbench::ProcessCpuSeconds();
        QElapsedTimer wall;
        wall.start();
        QEventLoop idle;
        QTimer::singleShot(2000, &idle, &QEventLoop::quit);
        idle.exec();
        state.counters["cpu_percent"] =
            100.0 * (pmvbench::ProcessCpuSeconds() - cpu0) / (double(wall.elapsed()) / 1000.0);
    }
}
void BM_LinkIdle(benchmark::State& state) {
    LinkIdle(state, false);
}
void BM_LinkIdleWithWatch(benchmark::State& state) {
    LinkIdle(state, true);
}
BENCHMARK(BM_LinkIdle)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LinkIdleWithWatch)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    int appArgc = 1;
    QCoreApplication app(appArgc, argv);
    return pmvbench::RunBenchmarks(argc, argv);
}
