#include "tools/link/LinkOutput.h"

#include "config/IntText.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace pmv::linkcli {

namespace {

constexpr char kTimeoutMark[] = "(timeout)";

// A cell: its text, or null (JSON) / empty (table, CSV).
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

std::string Render(const std::vector<TColumn>& columns, const std::vector<std::vector<TCell>>& rows,
                   TFormat format) {
    std::string out;
    switch (format) {
    case TFormat::Json: {
        out = "[";
        for (std::size_t r = 0; r < rows.size(); ++r) {
            out += r == 0 ? "{" : ",\n {";
            for (std::size_t c = 0; c < columns.size(); ++c) {
                if (c > 0)
                    out += ", ";
                out += JsonString(columns[c].key) + ": ";
                const TCell& cell = rows[r][c];
                out += !cell ? "null" : columns[c].number ? *cell : JsonString(*cell);
            }
            out += "}";
        }
        return out + "]\n";
    }
    case TFormat::Csv:
        for (std::size_t c = 0; c < columns.size(); ++c)
            out += (c > 0 ? "," : "") + std::string(columns[c].key);
        out += "\r\n";
        for (const auto& row : rows) {
            for (std::size_t c = 0; c < columns.size(); ++c)
                out += (c > 0 ? "," : "") + CsvField(row[c].value_or(""));
            out += "\r\n";
        }
        return out;
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
        return out;
    }
    }
    return out;
}

const TCmdRecord& Rec(const TCmdTable& table, int slot) {
    return table[static_cast<std::size_t>(slot)];
}

const char* StatusText(TResultStatus s) {
    return s == TResultStatus::Ok ? "ok" : "timeout";
}

} // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        } else {
            out += ch;
        }
    }
    return out + '"';
}

std::string FormatReads(const TCmdTable& table, const std::vector<TSlotResult>& results,
                        TFormat format) {
    const std::vector<TColumn> columns = {{"slot", "SLOT", true},
                                          {"command", "COMMAND", false},
                                          {"description", "DESCRIPTION", false},
                                          {"value", "VALUE", false},
                                          {"status", "STATUS", false}};
    std::vector<std::vector<TCell>> rows;
    for (const TSlotResult& r : results) {
        const TCmdRecord& rec = Rec(table, r.slot);
        const bool ok = r.status == TResultStatus::Ok;
        rows.push_back({std::to_string(r.slot + 1), rec.cmd_str, rec.cmd_descr,
                        ok ? TCell(r.value) : std::nullopt, StatusText(r.status)});
    }
    if (format == TFormat::Table) {
        // The status shows as the value of a slot that timed out.
        for (auto& row : rows) {
            if (!row[3])
                row[3] = kTimeoutMark;
            row.pop_back();
        }
        return Render({columns.begin(), columns.end() - 1}, rows, format);
    }
    return Render(columns, rows, format);
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
    for (const TSlotResult& r : results) {
        const TCmdRecord& rec = Rec(table, r.slot);
        const bool ok = r.status == TResultStatus::Ok;
        rows.push_back({std::to_string(r.slot + 1), rec.cmd_str, rec.cmd_descr, r.sent,
                        ok ? TCell(r.value) : std::nullopt, StatusText(r.status)});
    }
    if (format == TFormat::Table) {
        for (auto& row : rows) {
            if (!row[4])
                row[4] = kTimeoutMark;
            row.pop_back();
        }
        return Render({columns.begin(), columns.end() - 1}, rows, format);
    }
    return Render(columns, rows, format);
}

TComparison Compare(const TCmdTable& table, const std::vector<TSlotResult>& results) {
    TComparison c;
    for (const TSlotResult& r : results) {
        const TCmdRecord& rec = Rec(table, r.slot);
        const bool compared = IsCompared(rec);
        ++c.read;
        c.compared += compared ? 1 : 0;
        TDifference d;
        d.slot = r.slot;
        d.compared = compared;
        d.file = compared ? LoadedEditText(rec) : std::string();
        d.target = r.value;
        d.status = r.status;
        if (r.status == TResultStatus::Timeout) {
            c.differences.push_back(std::move(d));
        } else if (compared) {
            const std::optional<std::int32_t> v = TryStrToInt(r.value);
            if (!v || *v != rec.val_start)
                c.differences.push_back(std::move(d));
        }
    }
    return c;
}

std::string FormatDifferences(const TCmdTable& table, const TComparison& comparison,
                              TFormat format) {
    const std::vector<TColumn> columns = {{"slot", "SLOT", true},
                                          {"command", "COMMAND", false},
                                          {"description", "DESCRIPTION", false},
                                          {"file", "FILE", false},
                                          {"target", "TARGET", false},
                                          {"status", "STATUS", false}};
    std::vector<std::vector<TCell>> rows;
    for (const TDifference& d : comparison.differences) {
        const TCmdRecord& rec = Rec(table, d.slot);
        const bool timeout = d.status == TResultStatus::Timeout;
        rows.push_back({std::to_string(d.slot + 1), rec.cmd_str, rec.cmd_descr,
                        d.compared ? TCell(d.file) : std::nullopt,
                        timeout ? std::nullopt : TCell(d.target), timeout ? "timeout" : "differs"});
    }
    if (format != TFormat::Table)
        return Render(columns, rows, format);

    std::string out;
    if (!rows.empty()) {
        for (auto& row : rows) {
            if (!row[4])
                row[4] = kTimeoutMark;
            row.pop_back();
        }
        out = Render({columns.begin(), columns.end() - 1}, rows, format);
    }
    int differs = 0;
    for (const TDifference& d : comparison.differences)
        differs += d.status == TResultStatus::Ok ? 1 : 0;
    const int timeouts = static_cast<int>(comparison.differences.size()) - differs;
    char summary[160];
    if (comparison.differences.empty())
        std::snprintf(summary, sizeof summary,
                      "verify: all %d parameters match the file (%d read in all)\n",
                      comparison.compared, comparison.read);
    else
        std::snprintf(summary, sizeof summary,
                      "verify: %d of %d parameters differ from the file, %d of %d reads timed "
                      "out\n",
                      differs, comparison.compared, timeouts, comparison.read);
    return out + summary;
}

} // namespace pmv::linkcli
