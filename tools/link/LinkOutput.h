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
#include "tools/link/LinkRun.h"

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

// One line of verify's report: a compared slot whose target value differs
// from the file's, or any slot that timed out.
struct TDifference {
    int slot = 0;                             // 0-based index
    bool compared = false;                    // the slot has a file value (IsCompared)
    std::string file;                         // the file's value (compared slots)
    std::string target;                       // the target's value (Ok, Late)
    TResultStatus status = TResultStatus::Ok; // Ok: differs; else why it was not read
};

struct TComparison {
    std::vector<TDifference> differences;
    int compared = 0; // slots with a file value that were read (timed out or not)
    int read = 0;     // slots read in all (timed out or not)
    int unread = 0;   // slots the run did not get to
};

// Compares the results of a Get All with the file: a compared slot matches
// when the target's value is an integer (the file's integer syntax) equal to
// the file's val_start. Slots not read in time (timeout, late, not read) are
// differences whether compared or not.
TComparison Compare(const TCmdTable& table, const std::vector<TSlotResult>& results);

// verify: the differences (slot, command, description, file, target, status
// "differs" or "timeout"); the table ends with a summary line.
std::string FormatDifferences(const TCmdTable& table, const TComparison& comparison,
                              TFormat format);

} // namespace pmv::linkcli
