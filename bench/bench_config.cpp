// Reading, writing and saving a full configuration file (all 192 slots defined).
#include "config/ConfigFile.h"

#include <cstdlib>
#include <string>
#include <unistd.h>

#include <benchmark/benchmark.h>

using namespace pmv;

namespace {

TConfigSet FullSet() {
    TConfigSet s;
    s.Title = "QXM300 pump station, all slots in use";
    s.ComPort = 25;
    for (int i = 0; i < SlotCount; ++i) {
        TCmdRecord& r = s.CmdTable[i];
        r.cmd_type = static_cast<std::int8_t>(i % 6);
        r.cmd_str = "PARAM" + std::to_string(i);
        r.cmd_descr = "Parameter number " + std::to_string(i) + " [unit]";
        r.str = (r.cmd_type == ctCommandString) ? "a string value of moderate length" : "";
        r.val_start = 1000 + i;
        r.val_min = 0;
        r.val_max = 65535;
        r.val_inc = 10;
        r.colour = 0x00800000;
        r.opts = IncInSetAll | IncInGetAll | UpdateEditOnGet;
    }
    return s;
}

void BM_ReadConfig(benchmark::State& state) {
    const std::string text = WriteConfig(FullSet());
    for (auto _ : state) {
        TConfigReadResult r = ReadConfig(text);
        if (!r.Ok)
            state.SkipWithError(r.Message.c_str());
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReadConfig)->Unit(benchmark::kMicrosecond);

void BM_WriteConfig(benchmark::State& state) {
    const TConfigSet s = FullSet();
    for (auto _ : state) {
        std::string text = WriteConfig(s);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_WriteConfig)->Unit(benchmark::kMicrosecond);

// Load from a file in the temporary folder (page cache, no disk wait).
void BM_LoadConfigFile(benchmark::State& state) {
    const std::string path = "/tmp/pmv-bench-config-" + std::to_string(::getpid()) + ".ini";
    if (!SaveConfigFile(path, FullSet()).Ok) {
        state.SkipWithError("cannot write the file");
        return;
    }
    for (auto _ : state) {
        TConfigLoadResult r = LoadConfigFile(path);
        benchmark::DoNotOptimize(r);
    }
    ::unlink(path.c_str());
}
BENCHMARK(BM_LoadConfigFile)->Unit(benchmark::kMicrosecond);

// Includes the writer's read-back check and the flush to the disk.
void BM_SaveConfigFile(benchmark::State& state) {
    const std::string path = "/tmp/pmv-bench-config-save-" + std::to_string(::getpid()) + ".ini";
    const TConfigSet s = FullSet();
    for (auto _ : state) {
        TConfigSaveResult r = SaveConfigFile(path, s);
        benchmark::DoNotOptimize(r);
    }
    ::unlink(path.c_str());
}
BENCHMARK(BM_SaveConfigFile)->Unit(benchmark::kMicrosecond)->Iterations(50);

} // namespace

BENCHMARK_MAIN();
