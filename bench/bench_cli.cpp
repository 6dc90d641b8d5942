// pmv-link against qxm-sim on a pseudo-terminal published as COM25:
//   ProcessGetAllExample   `pmv-link get-all examples/qxm300-pump.ini`, the whole
//                          process from start to exit (32 requests), output thrown
//                          away
//   ProcessPyserialExample the same requests by a plain pyserial script
//                          (bench/pyserial_get_all.py on Debian's python3-serial):
//                          the yardstick; goal: pmv-link at most its time
//   RunnerGetAll192        the program's own code path in this process (TLinkRunner,
//                          TCliView, TPortLink on the serial component, as main()
//                          wires them) over 192 parameters: requests/s
//   EngineGetAll192        the engine's own run on the same link, without the
//                          runner: what the runner adds
//   BareGetAll192          the same 192 frames written and their replies read
//                          directly on the pty: what the line itself allows; goal:
//                          RunnerGetAll192 at least 0.5 times its rate
// All of them run against one simulator in one run, so their ratios are taken
// under the same conditions.
#include "app/link/PortLink.h"
#include "bench/BenchGetAll.h"
#include "bench/BenchSupport.h"
#include "comport/Lnkcomport.h"
#include "config/ConfigFile.h"
#include "tools/link/LinkRun.h"
#include "tools/sim/SimClient.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

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

void RunProcess(benchmark::State& state, const std::vector<std::string>& args) {
    if (Sim() == nullptr) {
        state.SkipWithError("no simulator");
        return;
    }
    for (auto _ : state) {
        if (const int rc = RunQuiet(args); rc != 0) {
            state.SkipWithError(("exit status " + std::to_string(rc)).c_str());
            return;
        }
    }
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
    for (auto _ : state) {
        runner.GetAll();
        while (!runner.Finished())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (runner.Done() != kSlots || link.Engine().RxTOCount() != 0) {
            state.SkipWithError("reply time-out");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * kSlots);
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
    for (auto _ : state) {
        engine.GetAllParameters();
        while (engine.SeqLeft() > 0 && engine.RxTOCount() == 0)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (engine.RxTOCount() != 0) {
            state.SkipWithError("reply time-out");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * kSlots);
    state.counters["deferred"] = double(link.Port().Deferred());
}
BENCHMARK(BM_EngineGetAll192)->Iterations(50)->UseRealTime()->Unit(benchmark::kMillisecond);

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
