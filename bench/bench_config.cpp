// Reading, writing and saving a full configuration file (all 192 slots defined).
#include "config/ConfigFile.h"

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

using namespace pmv;

namespace {

TConfigSet FullSet() {
    TConfigSet s;
    s.Title = "QXM300 pump station, all slots in use";
    s.ComPort = 25;
    for (int i = 0; i < kSlotCount; ++i) {
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

// A file whose first val_start holds 16 MiB of blanks before its number. The
// counter is the growth of the peak resident memory over the whole run: the
// reader keeps a bounded part of a line, not the line.
void BM_LoadPaddedConfigFile(benchmark::State& state) {
    const std::string path = "/tmp/pmv-bench-config-padded-" + std::to_string(::getpid()) + ".ini";
    {
        const std::string text = WriteConfig(FullSet());
        const std::size_t at = text.find("val_start: ") + 11;
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f.write(text.data(), static_cast<std::streamsize>(at));
        const std::string blanks(1 << 20, ' ');
        for (int i = 0; i < 16; ++i)
            f << blanks;
        f.write(text.data() + at, static_cast<std::streamsize>(text.size() - at));
    }
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    for (auto _ : state) {
        TConfigLoadResult r = LoadConfigFile(path);
        if (r.Status != TConfigLoadStatus::Ok)
            state.SkipWithError(r.Message.c_str());
        benchmark::DoNotOptimize(r);
    }
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    state.counters["peak_growth_kb"] = static_cast<double>(after.ru_maxrss - before.ru_maxrss);
    ::unlink(path.c_str());
}
BENCHMARK(BM_LoadPaddedConfigFile)->Unit(benchmark::kMillisecond);

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
