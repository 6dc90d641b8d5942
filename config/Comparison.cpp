#include "config/Comparison.h"

#include "config/IntText.h"

#include <algorithm>

namespace pmv {

const char* CompareStatusText(TCompareStatus status) {
    switch (status) {
    case TCompareStatus::NotRead:
        return "not read";
    case TCompareStatus::Same:
        return "same";
    case TCompareStatus::Differs:
        return "differs";
    case TCompareStatus::TimedOut:
        return "timed out";
    case TCompareStatus::Late:
        return "late";
    }
    return "";
}

bool IsGetAllSlot(const TCmdRecord& rec) {
    return rec.defined() && !rec.has(Disabled) && rec.has(IncInGetAll) &&
           (rec.cmd_type == ctParamGet || rec.cmd_type == ctParamGetSet);
}

bool IsSetAllSlot(const TCmdRecord& rec) {
    return rec.defined() && !rec.has(Disabled) && rec.has(IncInSetAll) &&
           (rec.cmd_type == ctParamSet || rec.cmd_type == ctParamGetSet);
}

bool IsSendableSlot(const TCmdRecord& rec) {
    return IsGetAllSlot(rec) && rec.cmd_type == ctParamGetSet;
}

int TCompareCounts::Total() const {
    int n = 0;
    for (int c : byStatus)
        n += c;
    return n;
}

TSetComparison::TSetComparison(const TCmdTable& table) {
    m_rowOf.fill(-1);
    for (int i = 0; i < kSlotCount; ++i) {
        if (!IsGetAllSlot(table[i]))
            continue;
        m_rowOf[i] = static_cast<int>(m_rows.size());
        TCompareRow row;
        row.slot = i;
        row.fileValue = table[i].val_start;
        m_rows.push_back(row);
    }
}

TSetComparison::TSetComparison(const TCmdTable& table, const TCmdTable& other)
    : TSetComparison(table) {
    for (std::size_t r = 0; r < m_rows.size(); ++r) {
        const std::string& word = table[m_rows[r].slot].cmd_str;
        const TCmdRecord* match = nullptr;
        if (other[m_rows[r].slot].cmd_str == word) {
            match = &other[m_rows[r].slot];
        } else {
            const auto it = std::find_if(other.begin(), other.end(),
                                         [&](const TCmdRecord& o) { return o.cmd_str == word; });
            if (it != other.end())
                match = &*it;
        }
        if (match)
            SetValue(static_cast<int>(r), std::to_string(match->val_start));
    }
}

int TSetComparison::RowOf(int slot) const {
    return slot >= 0 && slot < kSlotCount ? m_rowOf[slot] : -1;
}

void TSetComparison::SetValue(int row, std::string_view value) {
    TCompareRow& r = m_rows.at(static_cast<std::size_t>(row));
    r.other = std::string(value);
    const std::optional<std::int32_t> v = TryStrToInt(value);
    r.status = v && *v == r.fileValue ? TCompareStatus::Same : TCompareStatus::Differs;
}

void TSetComparison::SetLate(int row, std::string_view value) {
    TCompareRow& r = m_rows.at(static_cast<std::size_t>(row));
    r.other = std::string(value);
    r.status = TCompareStatus::Late;
}

void TSetComparison::SetFileValue(int row, std::int32_t value) {
    TCompareRow& r = m_rows.at(static_cast<std::size_t>(row));
    r.fileValue = value;
    if (r.other && (r.status == TCompareStatus::Same || r.status == TCompareStatus::Differs))
        SetValue(row, std::string(*r.other));
}

void TSetComparison::SetStatus(int row, TCompareStatus status) {
    m_rows.at(static_cast<std::size_t>(row)).status = status;
}

void TSetComparison::Clear(int row) {
    TCompareRow& r = m_rows.at(static_cast<std::size_t>(row));
    r.other.reset();
    r.status = TCompareStatus::NotRead;
    r.note.clear();
}

void TSetComparison::SetNote(int row, std::string note) {
    m_rows.at(static_cast<std::size_t>(row)).note = std::move(note);
}

void TSetComparison::SetTicked(int row, bool ticked) {
    m_rows.at(static_cast<std::size_t>(row)).ticked = ticked;
}

void TSetComparison::TickDifferences() {
    for (TCompareRow& r : m_rows)
        r.ticked = r.status != TCompareStatus::Same;
}

std::vector<int> TSetComparison::TickedRows() const {
    std::vector<int> rows;
    for (std::size_t r = 0; r < m_rows.size(); ++r)
        if (m_rows[r].ticked)
            rows.push_back(static_cast<int>(r));
    return rows;
}

TCompareCounts TSetComparison::Counts() const {
    TCompareCounts c;
    for (const TCompareRow& r : m_rows)
        ++c.byStatus[static_cast<std::size_t>(r.status)];
    return c;
}

std::string TSetComparison::Summary() const {
    const TCompareCounts c = Counts();
    std::string s = std::to_string(c.Total()) + " compared";
    const struct {
        TCompareStatus status;
        const char* text;
    } parts[] = {
        {TCompareStatus::Same, "same"},          {TCompareStatus::Differs, "differ"},
        {TCompareStatus::TimedOut, "timed out"}, {TCompareStatus::Late, "late"},
        {TCompareStatus::NotRead, "not read"},
    };
    const char* sep = ": ";
    for (const auto& p : parts) {
        if (const int n = c.Of(p.status)) {
            s += sep + std::to_string(n) + " " + p.text;
            sep = ", ";
        }
    }
    return s;
}

std::vector<int> TSetComparison::Visible(bool differencesOnly) const {
    std::vector<int> rows;
    for (std::size_t r = 0; r < m_rows.size(); ++r)
        if (!differencesOnly || m_rows[r].status != TCompareStatus::Same)
            rows.push_back(static_cast<int>(r));
    return rows;
}

std::string SlotAndPage(int slot, const TPageCaptions& captions) {
    return std::to_string(slot + 1) + " (" + captions[static_cast<std::size_t>(SlotPage(slot))] +
           ")";
}

std::string LimitsText(const TCmdRecord& rec) {
    return std::to_string(rec.val_min) + ".." + std::to_string(rec.val_max);
}

} // namespace pmv
