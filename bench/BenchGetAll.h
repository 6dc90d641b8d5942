// What the Get All benchmarks share: the parameter names of their 192 slots,
// the bare baseline (Get All's frames written and their replies read
// directly on the simulator's pty) and the pyserial baseline.
//
// These benchmarks run with repetitions. A repetition must never end with
// SkipWithError when later ones may succeed: Google Benchmark 1.7.1
// (Debian 12) then calls an unset statistics function and crashes. A reply
// time-out (a loaded machine) is therefore counted as a figure, never
// skipped; only a missing simulator or port, which fails every repetition
// alike, is skipped.
#pragma once

#include "config/CmdRecord.h"
#include "tools/sim/SimClient.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

namespace pmvbench {

inline const char* GetAllName(int slot) {
    static const char* const kNames[] = {"SPD",  "ACC",  "DEC",  "IMAX", "PSET", "PMAX",
                                         "KP",   "KI",   "KD",   "MODE", "DIR",  "RAMP",
                                         "TLIM", "VMIN", "VMAX", "ADDR", "TEMP", "VBUS",
                                         "STAT", "NACT", "PACT", "IACT", "ERR",  "VER"};
    return kNames[static_cast<std::size_t>(slot) % std::size(kNames)];
}

/// Runs the bare Get All of all slots on pty for each benchmark iteration;
/// a reply that does not come within 5 s ends the run (counted as no_reply).
/// The Get frames of all slots, in slot order.
inline std::vector<std::string> GetAllFrames() {
    std::vector<std::string> frames;
    for (int i = 0; i < pmv::kSlotCount; ++i)
        frames.push_back(std::string("QX") + GetAllName(i) + "\r");
    return frames;
}

inline void BareGetAll(benchmark::State& state, qxmsim::TPtyClient& pty) {
    const std::vector<std::string> frames = GetAllFrames();
    long requests = 0;
    long noReply = 0;
    for (auto _ : state) {
        for (const std::string& f : frames) {
            if (noReply != 0)
                break;
            if (!pty.Write(f) || pty.ReadUntil('\r', std::chrono::seconds(5)).empty())
                ++noReply;
            else
                ++requests;
        }
    }
    state.SetItemsProcessed(requests);
    state.counters["no_reply"] = double(noReply);
}

/// The pyserial baseline: bench/pyserial_get_all.py (Debian's python3-serial,
/// /usr/bin/python3) runs the Get All of config on device runs times in one
/// process and times its runs itself (start-up not included). Its own rate
/// and processor time per request are the figures.
inline void PyserialGetAll(benchmark::State& state, const std::string& script,
                           const std::string& config, const std::string& device, int runs) {
    const std::string command = "/usr/bin/python3 '" + script + "' '" + config + "' '" + device +
                                "' " + std::to_string(runs);
    for (auto _ : state) {
        std::FILE* p = ::popen(command.c_str(), "r");
        long requests = 0, timeouts = 0;
        double seconds = 0, cpuSeconds = 0;
        const bool read =
            p && std::fscanf(p, "requests=%ld seconds=%lf cpu_seconds=%lf timeouts=%ld", &requests,
                             &seconds, &cpuSeconds, &timeouts) == 4;
        if (p)
            ::pclose(p);
        if (!read || requests <= 0) {
            // Every repetition fails alike (see above).
            state.SkipWithError("the script failed (python3-serial: scripts/deps.sh bench)");
            return;
        }
        state.SetIterationTime(seconds);
        state.counters["cpu_us_per_request"] = cpuSeconds * 1e6 / double(requests);
        state.counters["timeouts"] = double(timeouts);
        state.SetItemsProcessed(requests);
    }
}

} // namespace pmvbench
