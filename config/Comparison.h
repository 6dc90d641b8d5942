// A comparison of a command set's parameter values with another source: the
// target (read through the link) or another configuration file, one row per
// compared slot. No widgets and no link: the rows, their statuses, ticks, the
// filter and the count summary. Whoever reads the target fills the rows in
// (app/link/CompareRun.h); a comparison of two files is complete at once.
//
// The compared slots are those Get All reads (kinds 3 and 5, IncInGetAll,
// defined, not disabled), in slot order. A slot's file value is its
// val_start; the other value is text as the target sent it (or the other
// file's val_start in decimal). Two values are the same when the other text
// is an integer in the file syntax equal to the file value.
#pragma once

#include "config/CmdRecord.h"
#include "config/ConfigFile.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pmv {

enum class TCompareStatus {
    NotRead,  // no value (yet): not asked, or the other file lacks the parameter
    Same,     // the other value equals the file value
    Differs,  // it does not
    TimedOut, // the request for it had no reply within the time-out
    Late,     // its reply came after the time-out (the value is shown, not compared)
};
constexpr int kCompareStatusCount = 5;

// "not read", "same", "differs", "timed out", "late".
const char* CompareStatusText(TCompareStatus status);

// Whether Get All reads the slot: the comparison's rows.
bool IsGetAllSlot(const TCmdRecord& rec);
// Whether Set All sends the slot (kinds 4 and 5, IncInSetAll, defined, not
// disabled).
bool IsSetAllSlot(const TCmdRecord& rec);
// Whether a Set can write it (kind 5 among the compared kinds).
bool IsSendableSlot(const TCmdRecord& rec);

struct TCompareRow {
    int slot = 0;
    std::int32_t fileValue = 0;
    std::optional<std::string> other; // the other value, once known
    TCompareStatus status = TCompareStatus::NotRead;
    bool ticked = false;
    std::string note; // what happened on a send ("sent", "not sent: ...")
};

struct TCompareCounts {
    std::array<int, kCompareStatusCount> byStatus{};
    int Of(TCompareStatus s) const { return byStatus[static_cast<std::size_t>(s)]; }
    int Total() const;
    // Rows that are not the same: differs, timed out, late, not read.
    int Differences() const { return Total() - Of(TCompareStatus::Same); }
};

class TSetComparison {
public:
    TSetComparison() = default;
    // Rows for the slots Get All reads in table, none read yet.
    explicit TSetComparison(const TCmdTable& table);
    // table against another file: a row's other value is the val_start of
    // the other file's slot with the same index when it holds the same
    // command word, else of its first slot with that word; without one the
    // row stays "not read".
    TSetComparison(const TCmdTable& table, const TCmdTable& other);

    const std::vector<TCompareRow>& Rows() const { return m_rows; }
    // The row of a slot, or -1.
    int RowOf(int slot) const;

    // The other value of a row arrived as its reply (Same or Differs), or late.
    void SetValue(int row, std::string_view value);
    void SetLate(int row, std::string_view value);
    // A new file value (taken from the other side): the status follows,
    // unless the row is late or not read.
    void SetFileValue(int row, std::int32_t value);
    void SetStatus(int row, TCompareStatus status);
    // Back to "not read", without a value or a note (the tick stays).
    void Clear(int row);
    void SetNote(int row, std::string note);
    void SetTicked(int row, bool ticked);
    // Ticks every row that is not the same and unticks the others.
    void TickDifferences();
    std::vector<int> TickedRows() const;

    TCompareCounts Counts() const;
    // "48 compared: 40 same, 5 differ, 1 timed out, 1 late, 1 not read"
    // (statuses without rows left out).
    std::string Summary() const;

    // The rows a filter shows: all, or those that are not the same.
    std::vector<int> Visible(bool differencesOnly) const;

private:
    std::vector<TCompareRow> m_rows;
    std::array<int, kSlotCount> m_rowOf{};
};

// "12" for slot index 11 on page 1, with its page: "12 (Cmds 1)".
std::string SlotAndPage(int slot, const TPageCaptions& captions);
// "0..65535"
std::string LimitsText(const TCmdRecord& rec);

} // namespace pmv
