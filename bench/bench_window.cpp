// Start-up and display costs of the main window.
//
// StartToShown starts this binary again as a child ("--child"), which runs the
// host exactly as pmv-host does and writes one line once its window has been
// shown and painted; the time is taken in the parent from the start of the
// child process to that line, and the child's peak resident memory comes from
// wait4(). The other benchmarks run in this process.
#include "app/HostApplication.h"
#include "app/HostMain.h"
#include "app/Mainfrm.h"
#include "bench/BenchSupport.h"

#include <QApplication>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr const char* kChildFlag = "--child";
constexpr const char* kShownLine = "shown\n";

int RunChild() {
    int argc = 1;
    char name[] = "pmv-host";
    char* argv[] = {name, nullptr};
    return pmv::RunHost(argc, argv, [](TMainForm&) {
        QCoreApplication::processEvents(); // anything still pending from the first show
        std::fputs(kShownLine, stdout);
        std::fflush(stdout);
        QCoreApplication::quit();
    });
}

struct TChildRun {
    double shownMs = -1;
    double peakRssMb = -1;
    int exitCode = -1;
};

TChildRun StartChild() {
    TChildRun run;
    int fds[2];
    if (pipe(fds) != 0)
        return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    char self[] = "/proc/self/exe";
    char flag[] = "--child";
    char* argv[] = {self, flag, nullptr};

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, self, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return run;
    }
    char buf[64];
    std::size_t got = 0;
    while (got < std::strlen(kShownLine)) {
        const ssize_t n = read(fds[0], buf + got, sizeof buf - got);
        if (n <= 0)
            break;
        got += std::size_t(n);
    }
    const auto shown = std::chrono::steady_clock::now();
    close(fds[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (got >= std::strlen(kShownLine) && std::memcmp(buf, kShownLine, got) == 0)
        run.shownMs = std::chrono::duration<double, std::milli>(shown - start).count();
    run.peakRssMb = double(usage.ru_maxrss) / 1024.0; // kilobytes on Linux
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

void BM_StartToShown(benchmark::State& state) {
    double peak = 0;
    for (auto _ : state) {
        const TChildRun run = StartChild();
        if (run.shownMs < 0 || run.exitCode != 0) {
            state.SkipWithError("the child did not show its window");
            return;
        }
        state.SetIterationTime(run.shownMs / 1000.0);
        peak = std::max(peak, run.peakRssMb);
    }
    state.counters["peak_rss_MB"] = peak;
}
BENCHMARK(BM_StartToShown)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

// Two command sets that differ in every slot, so that each slot's refresh
// (SetSlot: the record stored and shown) changes captions, button captions,
// edit texts, states and colours.
void FillTable(pmv::TCmdTable& t, int variant) {
    for (int i = 0; i < pmv::kSlotCount; ++i) {
        pmv::TCmdRecord& r = t[i];
        r.cmd_type = std::int8_t((i + variant) % 6);
        r.cmd_str = "CMD" + std::to_string(i);
        r.cmd_descr = (variant ? "Parameter " : "Setting ") + std::to_string(i);
        r.str = variant ? "text value" : "other";
        r.val_start = i * 10 + variant;
        r.val_max = 65535;
        r.colour = variant ? 0x0000FF : 0x008000;
        r.opts = (i % 7 == 0) ? pmv::Disabled : 0;
    }
}

void BM_ShowAllSlots(benchmark::State& state) {
    auto form = std::make_unique<TMainForm>();
    form->show();
    QCoreApplication::processEvents();
    pmv::TCmdTable tables[2];
    FillTable(tables[0], 0);
    FillTable(tables[1], 1);
    int variant = 0;
    for (auto _ : state) {
        const pmv::TCmdTable& table = tables[variant];
        for (int i = 0; i < pmv::kSlotCount; ++i)
            form->SetSlot(i, table[std::size_t(i)]);
        variant ^= 1;
    }
}
BENCHMARK(BM_ShowAllSlots)->Unit(benchmark::kMicrosecond);

void BM_ShowAllSlotsUnchanged(benchmark::State& state) {
    auto form = std::make_unique<TMainForm>();
    pmv::TCmdTable table;
    FillTable(table, 1);
    for (int i = 0; i < pmv::kSlotCount; ++i)
        form->SetSlot(i, table[std::size_t(i)]);
    // Each slot shown again with the record it holds.
    for (auto _ : state)
        for (int i = 0; i < pmv::kSlotCount; ++i)
            form->SetSlot(i, form->Slot(i));
}
BENCHMARK(BM_ShowAllSlotsUnchanged)->Unit(benchmark::kMicrosecond);

void BM_ConstructWindow(benchmark::State& state) {
    for (auto _ : state) {
        auto form = std::make_unique<TMainForm>();
        benchmark::DoNotOptimize(form.get());
    }
}
BENCHMARK(BM_ConstructWindow)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], kChildFlag) == 0)
        return RunChild();
    pmvbench::UseOffscreenWithoutDisplay();
    int appArgc = 1;
    THostApplication app(appArgc, argv);
    return pmvbench::RunBenchmarks(argc, argv);
}
