// A watch recorded to a CSV file, one row per sample as it comes:
//
//   time,slot,command,value,status
//   2026-12-07T22:56:04.123+01:00,5,SPD,1500,ok
//   2026-12-07T22:56:04.324+01:00,9,TMP,,timed out
//
// time: RFC 3339 local time with milliseconds and the offset from UTC;
// slot: 1 to 192 as the window numbers slots; command and value: UTF-8 made
// from the 8-bit texts (config/TextCodec.h); status: ok, timed out, late.
// Fields are quoted as RFC 4180 has it (a field holding a comma, a quote, a
// CR or an LF is put in quotes, quotes doubled) and rows end with CR LF.
//
// Each row is handed to the kernel with one write() as soon as its sample
// comes, so a host that ends, however it ends, loses none of the rows
// written before. A write that fails ends the recording: the file is closed
// and Error() says why; nothing more is written.
#pragma once

#include "app/link/WatchRun.h"

#include <string>

namespace pmv {

// One CSV row (with its CR LF) of a sample.
std::string WatchCsvRow(const TWatchSample& sample);
// RFC 3339 with milliseconds and the local offset: 2026-12-07T22:56:04.123+01:00.
std::string Rfc3339Millis(std::chrono::system_clock::time_point time);
// A field as RFC 4180 quotes it.
std::string CsvQuoted(std::string_view field);

class TWatchCsv {
public:
    static constexpr const char* kHeader = "time,slot,command,value,status\r\n";

    TWatchCsv() = default;
    ~TWatchCsv();
    TWatchCsv(const TWatchCsv&) = delete;
    TWatchCsv& operator=(const TWatchCsv&) = delete;

    // Creates (or empties) the file at path (bytes, as given) and writes the
    // header. False with Error() when it cannot.
    bool Open(const std::string& path);
    // Appends the sample's row; false when the recording has ended (a write
    // failed, or it was never opened).
    bool Write(const TWatchSample& sample);
    void Close();

    bool Recording() const { return m_fd >= 0; }
    const std::string& Path() const { return m_path; }
    // Why the recording ended or did not start ("cannot write /x.csv: No
    // space left on device"); empty while all is well.
    const std::string& Error() const { return m_error; }
    unsigned long Rows() const { return m_rows; }

private:
    bool WriteAll(const std::string& bytes);

    int m_fd = -1;
    std::string m_path;
    std::string m_error;
    std::string m_row; // reused for every row
    unsigned long m_rows = 0;
};

} // namespace pmv
