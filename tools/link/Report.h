// The station's report: one row per unit, as a table line, a CSV line or a
// JSON object on one line (JSON Lines), in UTF-8 made from the 8-bit texts
// of the file and the target. A row holds, in this order:
//
//   time        when the row was made, local time with its offset
//               (2025-12-07T21:45:03+01:00)
//   command     get-all, set-all, verify or program
//   port        COM25
//   device      the device node (/dev/ttyUSB0), or the path the map names
//   by_id       its /dev/serial/by-id name, or empty (JSON: null)
//   identity    the values the --identity words read, in their order (CSV and
//               table: one column per word; JSON: an object; no answer: empty,
//               null)
//   result      pass, fail, timeout, lost or absent
//   reason      why it is not a pass, in words; empty for a pass
//   differing   the slots that are not as they should be (CSV and table:
//               "SPD=1600 (1500 expected); SN (timeout)"; JSON: an array of
//               objects slot, command, expected, target, status)
//   values      what get-all read (CSV: "SPD=1500;ACC=200"; JSON: an object)
//   requests    frames sent to the unit
//   elapsed_ms  the unit's time, from its first request to its row
//
// TReportFile appends rows to a file: CSV (with its header line when the
// file is new or empty) or, for a name ending in .json or .jsonl, JSON
// Lines. Each row is one write under an exclusive lock, so several programs
// may append to one report.
#pragma once

#include "tools/link/LinkOutput.h"
#include "tools/link/Station.h"

#include <string>
#include <vector>

namespace pmv::linkcli {

class TRowFormat {
public:
    // identityWords: the --identity words (8-bit); deviceWidth: the table's
    // width for the device column.
    TRowFormat(std::vector<std::string> identityWords, std::size_t deviceWidth);

    // The header line of a table or CSV (empty for JSON), with its line end.
    std::string Header(TFormat format) const;
    // One row with its line end.
    std::string Row(const TUnitRecord& record, TFormat format) const;

private:
    std::vector<std::string> m_words;
    std::size_t m_deviceWidth;
};

// What the table shows as a unit's device: its by-id name, else its device.
std::string DeviceLabel(const std::string& device, const std::string& byId);

class TReportFile {
public:
    TReportFile() = default;
    TReportFile(const TReportFile&) = delete;
    TReportFile& operator=(const TReportFile&) = delete;
    ~TReportFile();

    // The format a report file takes from its name.
    static TFormat FormatOf(const std::string& path);

    // Opens path for appending, creating it; a CSV file gets the header when
    // it is empty. Empty when it is open, else why not. A CSV file whose
    // first line is another header is refused (headerMismatch set): its
    // columns would not fit.
    std::string Open(const std::string& path, const TRowFormat& format, bool* headerMismatch);
    // Appends one row; false (and Error() set) when it could not be written.
    bool Append(const TUnitRecord& record);
    // The errno of the first row that could not be written; 0: none.
    int Error() const { return m_error; }

private:
    bool WriteLocked(const std::string& text);

    int m_fd = -1;
    TFormat m_format = TFormat::Csv;
    const TRowFormat* m_rows = nullptr;
    int m_error = 0;
};

} // namespace pmv::linkcli
