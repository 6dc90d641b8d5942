// The report both test machines' host programs print: one "PASS name" or
// "FAIL name: detail" line per check, grouped under "== heading" lines, and
// at the end "N passed, M failed".
#pragma once

#include <fstream>
#include <ostream>
#include <string>

namespace machinetest {

struct TTally {
    int passed = 0;
    int failed = 0;
};

inline void Emit(std::ostream& out, TTally& tally, bool ok, const std::string& name,
                 const std::string& detail = {}) {
    if (ok) {
        ++tally.passed;
        out << "PASS " << name << "\n";
    } else {
        ++tally.failed;
        out << "FAIL " << name << ": " << (detail.empty() ? "failed" : detail) << "\n";
    }
}

/// Copies the PASS/FAIL lines of a results file to out and counts them.
/// Other lines (the guest's own output) are shown indented.
inline bool CopyResults(const std::string& path, const std::string& heading, std::ostream& out,
                        TTally& tally, bool showOther) {
    std::ifstream in(path);
    if (!in)
        return false;
    out << "== " << heading << "\n";
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind("PASS ", 0) == 0) {
            ++tally.passed;
            out << line << "\n";
        } else if (line.rfind("FAIL ", 0) == 0) {
            ++tally.failed;
            out << line << "\n";
        } else if (showOther && !line.empty()) {
            out << "  | " << line << "\n";
        }
    }
    return true;
}

/// The power-off check: POWEROFF is "off:SECONDS" when the emulator ended
/// by itself, "timeout:SECONDS" when it was stopped at its limit, anything
/// else when it failed. A kernel panic also ends the emulator (-no-reboot),
/// so only the init's last line tells a power-off.
inline void EmitPowerOff(std::ostream& out, TTally& tally, const std::string& poweroff,
                         const std::string& console) {
    const auto colon = poweroff.find(':');
    const std::string how = poweroff.substr(0, colon);
    const std::string secs = colon == std::string::npos ? "?" : poweroff.substr(colon + 1);
    const bool poweredOff = console.find("guest: powering off") != std::string::npos;
    Emit(out, tally, how == "off" && poweredOff,
         "machine: the guest powered off within its time limit",
         how == "timeout" ? "stopped at the limit after " + secs + " s"
         : how == "off"   ? "the machine ended after " + secs + " s without powering off"
                          : "the emulator ended with " + how + " after " + secs + " s");
}

} // namespace machinetest
