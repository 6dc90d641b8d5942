#include "tools/link/LinkOutput.h"

#include "config/IntText.h"
#include "config/TextCodec.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <optional>

namespace pmv::linkcli {

namespace {

// A cell: its 8-bit text, or null (JSON) / empty (table, CSV).
using TCell = std::optional<std::string>;

struct TColumn {
    const char* key;   // JSON key, CSV header
    const char* title; // table header
    bool number;       // JSON number, right-aligned in the table
};

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + '"';
}

std::string Json(const std::vector<TColumn>& columns, const std::vector<std::vector<TCell>>& rows) {
    QJsonArray array;
    for (const auto& row : rows) {
        QJsonObject o;
        for (std::size_t c = 0; c < columns.size(); ++c) {
            const TCell& cell = row[c];
            const QString key = QString::fromLatin1(columns[c].key);
            if (!cell)
                o.insert(key, QJsonValue::Null);
            else if (columns[c].number)
                o.insert(key, std::stoi(*cell));
            else
                o.insert(key, QString::fromLatin1(cell->data(), qsizetype(cell->size())));
        }
        array.append(o);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Indented).toStdString();
}

// Table and CSV are laid out in 8-bit text, one byte per character, and
// converted as a whole.
std::string Render(const std::vector<TColumn>& columns, const std::vector<std::vector<TCell>>& rows,
                   TFormat format) {
    std::string out;
    switch (format) {
    case TFormat::Json:
        return Json(columns, rows);
    case TFormat::Csv:
        for (std::size_t c = 0; c < columns.size(); ++c)
            out += (c > 0 ? "," : "") + std::string(columns[c].key);
        out += "\r\n";
        for (const auto& row : rows) {
            for (std::size_t c = 0; c < columns.size(); ++c)
                out += (c > 0 ? "," : "") + CsvField(row[c].value_or(""));
            out += "\r\n";
        }
        return EightBitToUtf8(out);
    case TFormat::Table: {
        std::vector<std::size_t> width;
        for (const TColumn& col : columns)
            width.push_back(std::string(col.title).size());
        for (const auto& row : rows)
            for (std::size_t c = 0; c < columns.size(); ++c)
                width[c] = std::max(width[c], row[c].value_or("").size());
        auto line = [&](auto cellText) {
            std::string l;
            for (std::size_t c = 0; c < columns.size(); ++c) {
                const std::string text = cellText(c);
                const std::string pad(width[c] - text.size(), ' ');
                if (c > 0)
                    l += "  ";
                l += columns[c].number ? pad + text : text + pad;
            }
            while (!l.empty() && l.back() == ' ')
                l.pop_back();
            return l + "\n";
        };
        out += line([&](std::size_t c) { return std::string(columns[c].title); });
        for (const auto& row : rows)
            out += line([&](std::size_t c) { return row[c].value_or(""); });
        return EightBitToUtf8(out);
    }
    }
    return out;
}

const TCmdRecord& Rec(const TCmdTable& table, int slot) {
    return table[static_cast<std::size_t>(slot)];
}

bool HasValue(TResultStatus s) {
    return s == TResultStatus::Ok || s == TResultStatus::Late;
}

const char* StatusText(TResultStatus s, bool write) {
    switch (s) {
    case TResultStatus::Ok:
        return "ok";
    case TResultStatus::Timeout:
        return "timeout";
    case TResultStatus::Late:
        return "late";
    case TResultStatus::NotDone:
        return write ? "unsent" : "unread";
    }
    return "timeout";
}

// The table has no status column: the value cell says what is not a value.
TCell TableValue(const TCell& value, TResultStatus s, bool write) {
    switch (s) {
    case TResultStatus::Ok:
        return value;
    case TResultStatus::Timeout:
        return "(timeout)";
    case TResultStatus::Late:
        return value.value_or("") + " (late)";
    case TResultStatus::NotDone:
        return write ? "(not sent)" : "(not read)";
    }
    return value;
}

// Rows whose last two cells are the value and the status: the table folds
// the status into the value.
std::string RenderResults(std::vector<TColumn> columns, std::vector<std::vector<TCell>> rows,
                          const std::vector<TResultStatus>& statuses, bool write, TFormat format) {
    if (format != TFormat::Table)
        return Render(columns, rows, format);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        auto& row = rows[r];
        row[row.size() - 2] = TableValue(row[row.size() - 2], statuses[r], write);
        row.pop_back();
    }
    columns.pop_back();
    return Render(columns, rows, format);
}

} // namespace

std::string FormatReads(const TCmdTable& table, const std::vector<TSlotResult>& results,
                        TFormat format) {
    const std::vector<TColumn> columns = {{"slot", "SLOT", true},
                                          {"command", "COMMAND", false},
                                          {"description", "DESCRIPTION", false},
                                          {"value", "VALUE", false},
                                          {"status", "STATUS", false}};
    std::vector<std::vector<TCell>> rows;
    std::vector<TResultStatus> statuses;
    for (const TSlotResult& r : results) {
        const TCmdRecord& rec = Rec(table, r.slot);
        rows.push_back({std::to_string(r.slot + 1), rec.cmd_str, rec.cmd_descr,
                        HasValue(r.status) ? TCell(r.value) : std::nullopt,
                        StatusText(r.status, false)});
        statuses.push_back(r.status);
    }
    return RenderResults(columns, std::move(rows), statuses, false, format);
}

std::string FormatWrites(const TCmdTable& table, const std::vector<TSlotResult>& results,
                         TFormat format) {
    const std::vector<TColumn> columns = {{"slot", "SLOT", true},
                                          {"command", "COMMAND", false},
                                          {"description", "DESCRIPTION", false},
                                          {"sent", "SENT", false},
                                          {"value", "REPLY", false},
                                          {"status", "STATUS", false}};
    std::vector<std::vector<TCell>> rows;
    std::vector<TResultStatus> statuses;
    for (const TSlotResult& r : results) {
        const TCmdRecord& rec = Rec(table, r.slot);
        rows.push_back({std::to_string(r.slot + 1), rec.cmd_str, rec.cmd_descr, r.sent,
                        HasValue(r.status) ? TCell(r.value) : std::nullopt,
                        StatusText(r.status, true)});
        statuses.push_back(r.status);
    }
    return RenderResults(columns, std::move(rows), statuses, true, format);
}

namespace {

TCompareStatus RowStatus(TResultStatus s) {
    switch (s) {
    case TResultStatus::Ok:
        return TCompareStatus::Same; // until the values are compared
    case TResultStatus::Timeout:
        return TCompareStatus::TimedOut;
    case TResultStatus::Late:
        return TCompareStatus::Late;
    case TResultStatus::NotDone:
        return TCompareStatus::NotRead;
    }
    return TCompareStatus::NotRead;
}

void Add(TComparison& c, TDifference d, bool all) {
    if (d.status != TCompareStatus::Same)
        ++c.differing;
    if (all || d.status != TCompareStatus::Same)
        c.differences.push_back(std::move(d));
}

} // namespace

TComparison Compare(const TCmdTable& table, const std::vector<TSlotResult>& results, bool all) {
    TComparison c;
    for (const TSlotResult& r : results) {
        const TCmdRecord& rec = Rec(table, r.slot);
        const bool compared = IsCompared(rec);
        if (r.status == TResultStatus::NotDone)
            ++c.unread;
        else
            ++c.read;
        c.compared += compared && r.status != TResultStatus::NotDone ? 1 : 0;
        TDifference d;
        d.slot = r.slot;
        d.compared = compared;
        d.file = compared ? LoadedEditText(rec) : std::string();
        if (HasValue(r.status))
            d.target = r.value;
        d.status = RowStatus(r.status);
        if (d.status == TCompareStatus::Same) {
            if (!compared)
                continue; // a reading read in time: not compared
            const std::optional<std::int32_t> v = TryStrToInt(r.value);
            if (!v || *v != rec.val_start)
                d.status = TCompareStatus::Differs;
        }
        Add(c, std::move(d), all);
    }
    return c;
}

TComparison CompareFiles(const TCmdTable& a, const TCmdTable& b, bool all) {
    const TSetComparison rows(a, b);
    TComparison c;
    for (const TCompareRow& row : rows.Rows()) {
        const TCmdRecord& rec = Rec(a, row.slot);
        if (!IsCompared(rec))
            continue;
        ++c.compared;
        if (row.status == TCompareStatus::NotRead)
            ++c.unread;
        else
            ++c.read;
        Add(c, {row.slot, true, LoadedEditText(rec), row.other, row.status}, all);
    }
    return c;
}

TSetComparison ReadsAsComparison(const TCmdTable& table, const std::vector<TSlotResult>& results) {
    TSetComparison c(table);
    for (const TSlotResult& r : results) {
        const int row = c.RowOf(r.slot);
        if (row < 0)
            continue;
        switch (r.status) {
        case TResultStatus::Ok:
            c.SetValue(row, r.value);
            break;
        case TResultStatus::Late:
            c.SetLate(row, r.value);
            break;
        case TResultStatus::Timeout:
            c.SetStatus(row, TCompareStatus::TimedOut);
            break;
        case TResultStatus::NotDone:
            break;
        }
    }
    return c;
}

std::string FormatDifferences(const TCmdTable& table, const TComparison& comparison, TFormat format,
                              const char* what) {
    const std::vector<TColumn> columns = {{"slot", "SLOT", true},
                                          {"command", "COMMAND", false},
                                          {"description", "DESCRIPTION", false},
                                          {"file", "FILE", false},
                                          {"target", "TARGET", false},
                                          {"status", "STATUS", false}};
    std::vector<std::vector<TCell>> rows;
    int differs = 0, timeouts = 0;
    for (const TDifference& d : comparison.differences) {
        const TCmdRecord& rec = Rec(table, d.slot);
        rows.push_back({std::to_string(d.slot + 1), rec.cmd_str, rec.cmd_descr,
                        d.compared ? TCell(d.file) : std::nullopt, d.target,
                        std::string(CompareStatusText(d.status))});
        differs += d.status == TCompareStatus::Differs ? 1 : 0;
        timeouts +=
            d.status == TCompareStatus::TimedOut || d.status == TCompareStatus::Late ? 1 : 0;
    }
    if (format != TFormat::Table)
        return Render(columns, rows, format);

    std::string out;
    if (!rows.empty())
        out = Render(columns, rows, format);
    char summary[200];
    if (std::string(what) == "diff") {
        if (comparison.differing == 0)
            std::snprintf(summary, sizeof summary, "diff: all %d parameters match\n",
                          comparison.compared);
        else if (comparison.unread == 0)
            std::snprintf(summary, sizeof summary, "diff: %d of %d parameters differ\n", differs,
                          comparison.compared);
        else
            std::snprintf(summary, sizeof summary,
                          "diff: %d of %d parameters differ, %d not in the second file\n", differs,
                          comparison.compared, comparison.unread);
    } else if (comparison.differing == 0) {
        std::snprintf(summary, sizeof summary,
                      "verify: all %d parameters match the file (%d read in all)\n",
                      comparison.compared, comparison.read);
    } else if (comparison.unread == 0) {
        std::snprintf(summary, sizeof summary,
                      "verify: %d of %d parameters differ from the file, %d of %d reads timed "
                      "out\n",
                      differs, comparison.compared, timeouts, comparison.read);
    } else {
        std::snprintf(summary, sizeof summary,
                      "verify: %d of %d parameters differ from the file, %d of %d reads timed "
                      "out, %d not read\n",
                      differs, comparison.compared, timeouts, comparison.read, comparison.unread);
    }
    return out + summary;
}

} // namespace pmv::linkcli
