// What the Get All benchmarks share: the parameter names of their 192 slots
// and the bare baseline, Get All's frames written and their replies read
// directly on the simulator's pty.
#pragma once

#include "config/CmdRecord.h"
#include "tools/sim/SimClient.h"

#include <benchmark/benchmark.h>

#include <chrono>
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

/// Runs the bare Get All of all slots on pty for each benchmark iteration.
inline void BareGetAll(benchmark::State& state, qxmsim::TPtyClient& pty) {
    std::vector<std::string> frames;
    for (int i = 0; i < pmv::kSlotCount; ++i)
        frames.push_back(std::string("QX") + GetAllName(i) + "\r");
    for (auto _ : state) {
        for (const std::string& f : frames) {
            if (!pty.Write(f) || pty.ReadUntil('\r', std::chrono::seconds(5)).empty()) {
                state.SkipWithError("no reply");
                return;
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * pmv::kSlotCount);
}

} // namespace pmvbench
