// What pmv-link prints: the results of reads, writes and comparisons as an
// aligned table, JSON or CSV. Texts inside are 8-bit, those of the file and
// of the target; every format comes out as UTF-8 made from them
// (config/TextCodec.h), the characters the window shows. JSON is written by
// Qt's JSON classes.
//
// Status of a result: ok; timeout (no reply in time); late (timed out, and
// the reply came later: its value is shown, it is no answer in time);
// unread / unsent (the run ended first: device gone, interrupted).
#pragma once

#include "config/CmdRecord.h"
#include "config/Comparison.h"
#include "tools/link/LinkRun.h"

#include <optional>
#include <string>
#include <vector>

namespace pmv::linkcli {

enum class TFormat { Table, Json, Csv };

// get-all, get: slot, command, description, value, status.
std::string FormatReads(const TCmdTable& table, const std::vector<TSlotResult>& results,
                        TFormat format);

// set-all, set: slot, command, description, sent, value (the reply's), status.
std::string FormatWrites(const TCmdTable& table, const std::vector<TSlotResult>& results,
                         TFormat format);

// One row of verify's and diff's report: a compared parameter with its
// status (same, differs, timed out, late, not read), or a reading that was
// not read in time.
struct TDifference {
    int slot = 0;                      // 0-based index
    bool compared = false;             // the slot has a file value (IsCompared)
    std::string file;                  // the file's value (compared slots)
    std::optional<std::string> target; // the target's (or second file's) value, when known
    TCompareStatus status = TCompareStatus::Differs;
};

struct TComparison {
    std::vector<TDifference> differences; // the rows to print (with --all the same ones too)
    int compared = 0;  // slots with a file value that were read (timed out or not)
    int read = 0;      // slots read in all (timed out or not)
    int unread = 0;    // slots the run did not get to (diff: not in the second file)
    int differing = 0; // rows that are not the same
};

// Compares the results of a Get All with the file: a compared slot is the
// same when the target's value is an integer (the file's integer syntax)
// equal to the file's val_start. Slots not read in time (timed out, late,
// not read) are differences whether compared or not. all: the same rows are
// listed too.
TComparison Compare(const TCmdTable& table, const std::vector<TSlotResult>& results,
                    bool all = false);

// diff: the parameters verify compares in a, against b's value of the same
// command (the slot of that index when it holds the word, else b's first
// slot with it); a parameter b lacks is "not read".
TComparison CompareFiles(const TCmdTable& a, const TCmdTable& b, bool all = false);

// The results of a Get All as the rows of a comparison (snapshot's input).
TSetComparison ReadsAsComparison(const TCmdTable& table, const std::vector<TSlotResult>& results);

// verify, diff: the rows (slot, command, description, file, target, status);
// the table ends with a summary line that begins with what.
std::string FormatDifferences(const TCmdTable& table, const TComparison& comparison, TFormat format,
                              const char* what = "verify");

} // namespace pmv::linkcli
