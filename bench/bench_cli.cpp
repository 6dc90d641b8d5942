// pmv-link against qxm-sim on a pseudo-terminal published as COM25:
//   ProcessGetAllExample   `pmv-link get-all examples/qxm300-pump.ini`, the whole
//                          process from start to exit (32 requests), output thrown
//                          away; with its processor time (cpu_ms)
//   ProcessPyserialExample the same requests by a plain pyserial script
//                          (bench/pyserial_get_all.py on Debian's python3-serial):
//                          the yardstick; goal: pmv-link at most its time
//   RunnerGetAll192        the program's own code path in this process (TLinkRunner,
//                          TCliView, TPortLink on the serial component, as main()
//                          wires them) over 192 parameters: requests/s, processor
//                          time, thread hand-overs (synchronized calls plus frames
//                          handed to the transmit worker) and context switches per
//                          request, reply time-outs
//   EngineGetAll192        the engine's own run on the same link, without the
//                          runner: what the runner adds
//   PyserialGetAll192      the script's Get All of the same 192 parameters, 50 runs
//                          in one process, timed by itself: its rate and processor
//                          time per request, start-up not included
//   BareGetAll192          the same 192 frames written and their replies read
//                          directly on the pty: what the line itself allows; goal:
//                          RunnerGetAll192 at least 0.5 times its rate
// All of them run against one simulator in one run, so their ratios are taken
// under the same conditions (with --benchmark_enable_random_interleaving their
// repetitions alternate). Reply time-outs are counted, never skipped (see
// bench/BenchGetAll.h).
#include "app/link/PortLink.h"
#include "bench/BenchGetAll.h"
#include "bench/BenchSupport.h"
#include "comport/Lnkcomport.h"
#include "config/ConfigFile.h"
#include "platform/Thread.h"
#include "tools/link/LinkRun.h"
#include "tools/sim/SimClient.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

constexpr int kCom = 25;
constexpr int kSlots = pmv::kSlotCount;
const std::string kExample = PMV_SOURCE_DIR "/examples/qxm300-pump.ini";
const std::string kScript = PMV_SOURCE_DIR "/bench/pyserial_get_all.py";

struct TSim {
    QTemporaryDir dir;
    qxmsim::TSimProcess sim;
    bool up = false;

    TSim() {
        const std::string map = dir.filePath("commap").toStdString();
        ::setenv("PMV_COMMAP", map.c_str(), 1); // the children read it too
        up = sim.Start(QXM_SIM_PATH, map, kCom, {});
        if (!up)
            std::fprintf(stderr, "bench_cli: %s\n", sim.Error().c_str());
    }
};

TSim* gSim = nullptr;

TSim* Sim() {
    if (gSim == nullptr)
        gSim = new TSim;
    return gSim->up ? gSim : nullptr;
}

// Runs a program with its output thrown away; its exit status, -1 if it
// could not run or died of a signal.
int RunQuiet(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    std::vector<std::string> store = args;
    for (std::string& a : store)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// A run that fails (a reply time-out on a loaded machine) is counted.
void RunProcess(benchmark::State& state, const std::vector<std::string>& args) {
    if (Sim() == nullptr) {
        state.SkipWithError("no simulator");
        return;
    }
    int failed = 0;
    const double cpuAt = pmvbench::ChildrenCpuSeconds();
    for (auto _ : state)
        failed += RunQuiet(args) != 0 ? 1 : 0;
    state.counters["cpu_ms"] =
        (pmvbench::ChildrenCpuSeconds() - cpuAt) * 1e3 / double(state.iterations());
    state.counters["failed"] = failed;
}

void BM_ProcessGetAllExample(benchmark::State& state) {
    RunProcess(state, {PMV_LINK_PATH, "get-all", kExample});
}
BENCHMARK(BM_ProcessGetAllExample)->Iterations(30)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ProcessPyserialExample(benchmark::State& state) {
    TSim* s = Sim();
    RunProcess(state, {"/usr/bin/python3", kScript, kExample, s ? s->sim.Device() : ""});
}
BENCHMARK(BM_ProcessPyserialExample)->Iterations(30)->UseRealTime()->Unit(benchmark::kMillisecond);

// 192 marked parameters, each answered by the simulator.
pmv::TCmdTable MarkedTable() {
    pmv::TCmdTable table{};
    for (int i = 0; i < kSlots; ++i) {
        pmv::TCmdRecord& r = table[std::size_t(i)];
        r.cmd_type = pmv::ctParamGetSet;
        r.cmd_str = pmvbench::GetAllName(i);
        r.opts = pmv::IncInGetAll | pmv::UpdateEditOnGet;
    }
    return table;
}

// Processor time, hand-overs and context switches of the process over the
// runs, per request.
class TRunCost {
public:
    TRunCost()
        : m_cpuAt(pmvbench::ProcessCpuSeconds()),
          m_callsAt(pmv::platform::TThread::SynchronizedCalls()),
          m_switchesAt(pmvbench::ContextSwitches()) {}
    void Report(benchmark::State& state, long requests, int timeouts) const {
        const double n = std::max(1.0, double(requests));
        state.SetItemsProcessed(requests);
        state.counters["cpu_us_per_request"] = (pmvbench::ProcessCpuSeconds() - m_cpuAt) * 1e6 / n;
        state.counters["handovers_per_request"] =
            (double(pmv::platform::TThread::SynchronizedCalls() - m_callsAt) + n) / n;
        state.counters["switches_per_request"] =
            double(pmvbench::ContextSwitches() - m_switchesAt) / n;
        state.counters["timeouts"] = timeouts;
    }

private:
    double m_cpuAt;
    unsigned long long m_callsAt;
    long m_switchesAt;
};

void BM_RunnerGetAll192(benchmark::State& state) {
    if (Sim() == nullptr) {
        state.SkipWithError("no simulator");
        return;
    }
    const pmv::TCmdTable table = MarkedTable();
    QORLNK::TLNKCOMPort port;
    QTimer timer;
    pmv::linkcli::TCliView view(table);
    pmv::TPortLink link(table, port, timer, view, [](const std::string&) {});
    pmv::linkcli::TLinkRunner runner(table, link.Engine(), view);
    port.SetPort1(kCom);
    if (!pmv::OpenComPort(port).empty()) {
        state.SkipWithError("cannot open the port");
        return;
    }
    const int timeoutsAt = link.Engine().RxTOCount();
    const int sentAt = link.Engine().TxCount();
    const TRunCost cost;
    for (auto _ : state) {
        // A run that timed out stops there; the next one starts afresh.
        runner.GetAll();
        while (!runner.Finished())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    cost.Report(state, link.Engine().TxCount() - sentAt, link.Engine().RxTOCount() - timeoutsAt);
}
BENCHMARK(BM_RunnerGetAll192)->Iterations(50)->UseRealTime()->Unit(benchmark::kMillisecond);

// The engine's own Get All run on the same link, without the runner: what
// the runner adds.
void BM_EngineGetAll192(benchmark::State& state) {
    if (Sim() == nullptr) {
        state.SkipWithError("no simulator");
        return;
    }
    const pmv::TCmdTable table = MarkedTable();
    QORLNK::TLNKCOMPort port;
    QTimer timer;
    pmv::linkcli::TCliView view(table);
    pmv::TPortLink link(table, port, timer, view, [](const std::string&) {});
    port.SetPort1(kCom);
    if (!pmv::OpenComPort(port).empty()) {
        state.SkipWithError("cannot open the port");
        return;
    }
    pmv::TRequestEngine& engine = link.Engine();
    const TRunCost cost;
    for (auto _ : state) {
        const int timeouts = engine.RxTOCount();
        engine.GetAllParameters();
        while (engine.SeqLeft() > 0 && engine.RxTOCount() == timeouts)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    cost.Report(state, engine.TxCount(), engine.RxTOCount());
    state.counters["deferred"] = double(link.Port().Deferred());
}
BENCHMARK(BM_EngineGetAll192)->Iterations(50)->UseRealTime()->Unit(benchmark::kMillisecond);

// The script over the same 192 parameters, written to a configuration file
// as the operator would save them.
void BM_PyserialGetAll192(benchmark::State& state) {
    TSim* s = Sim();
    if (s == nullptr) {
        state.SkipWithError("no simulator");
        return;
    }
    pmv::TConfigSet set;
    set.ComPort = kCom;
    set.CmdTable = MarkedTable();
    const std::string config = s->dir.filePath("marked.ini").toStdString();
    if (!pmv::SaveConfigFile(config, set).Ok) {
        state.SkipWithError("cannot write the configuration");
        return;
    }
    pmvbench::PyserialGetAll(state, kScript, config, s->sim.Device(), 50);
}
BENCHMARK(BM_PyserialGetAll192)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_BareGetAll192(benchmark::State& state) {
    TSim* s = Sim();
    qxmsim::TPtyClient pty;
    if (s == nullptr || !pty.Open(s->sim.Device())) {
        state.SkipWithError("no simulator or pty");
        return;
    }
    pmvbench::BareGetAll(state, pty);
}
BENCHMARK(BM_BareGetAll192)->Iterations(50)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    int appArgc = 1;
    QCoreApplication app(appArgc, argv);
    const int rc = pmvbench::RunBenchmarks(argc, argv);
    delete gSim;
    return rc;
}
