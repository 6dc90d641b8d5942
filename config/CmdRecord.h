// The command set: one record per command slot, the 192-slot table, and the
// snapshot that the close query compares against.
//
// Everything here is plain data without widgets. Texts are 8-bit strings and
// are kept byte for byte as std::string (no character-set conversion).
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace pmv {

constexpr int kSlotCount = 192;
constexpr int kPageCount = 8;
constexpr int kSlotsPerPage = 24;
constexpr int kSlotColumns = 4;

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 8;

// Command kinds (cmd_type); the numbers are those of the configuration file.
enum TCmdType : std::int8_t {
    ctCommand = 0,
    ctCommandValue = 1,
    ctCommandString = 2,
    ctParamGet = 3,
    ctParamSet = 4,
    ctParamGetSet = 5,
};

// Option flags (bits of opts).
constexpr std::uint32_t IncInSetAll = 1;
constexpr std::uint32_t IncInGetAll = 2;
constexpr std::uint32_t UpdateEditOnGet = 4;
constexpr std::uint32_t TxOnValueChange = 8;
constexpr std::uint32_t Disabled = 16;

// One slot definition. A value type: copy and compare take all ten fields.
struct TCmdRecord {
    std::int8_t cmd_type = ctCommand;
    std::string cmd_str; // empty: the slot is not defined
    std::string cmd_descr;
    std::string str;
    std::int32_t val_start = 0;
    std::int32_t val_min = 0;
    std::int32_t val_max = 0;
    std::int32_t val_inc = 0;
    std::int32_t colour = 0; // 0x00BBGGRR
    std::uint32_t opts = 0;

    bool operator==(const TCmdRecord&) const = default;

    bool defined() const { return !cmd_str.empty(); }
    bool has(std::uint32_t flag) const { return (opts & flag) != 0; }
};

using TCmdTable = std::array<TCmdRecord, kSlotCount>;
using TPageCaptions = std::array<std::string, kPageCount>;

// Resets a record as ClearSlot does: everything zero or empty, the Disabled
// flag kept. Indexes outside the table are ignored by the callers.
inline void ClearRecord(TCmdRecord& r) {
    const std::uint32_t keep = r.opts & Disabled;
    r = TCmdRecord{};
    r.opts = keep;
}

// Where slot index i stands on the panel.
constexpr int SlotPage(int i) {
    return i / kSlotsPerPage;
}
constexpr int SlotColumn(int i) {
    return (i % kSlotsPerPage) % kSlotColumns;
}
constexpr int SlotRow(int i) {
    return (i % kSlotsPerPage) / kSlotColumns;
}

inline TPageCaptions DefaultPageCaptions() {
    TPageCaptions c;
    for (int p = 0; p < kPageCount; ++p)
        c[p] = "Cmds " + std::to_string(p + 1);
    return c;
}

// The state as it stood after the last successful load or save. Port, baud
// rate and parity are the serial component's settings (ordinals of
// QORLNK::TBaudRate and QORLNK::TParity); data bits and stop bits are not part of it.
struct TSavedConfig {
    std::string SavedTitle;
    TPageCaptions SavedPageCaptions = DefaultPageCaptions();
    TCmdTable SavedCmdTable{};
    int SavedPort = 0;
    int SavedBaudRate = 0;
    int SavedParity = 0;
};

} // namespace pmv
