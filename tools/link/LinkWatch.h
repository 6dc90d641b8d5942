// pmv-link watch: the samples of a watch (app/link/WatchRun.h) printed as
// they come, one line each, flushed at once so that a pipe or a terminal
// sees every sample when it is taken:
//
//   table  TIME                           SLOT  COMMAND  VALUE  STATUS
//          2026-12-07T22:56:04.123+01:00     5  SPD      1500   ok
//   CSV    the header and rows of the window's recording (app/link/WatchCsv.h)
//   JSON   one object per line: {"time":"...","slot":5,"command":"SPD",
//          "value":"1500","number":1500,"status":"ok"} (number only when the
//          value reads as one)
//
// Texts are UTF-8 made from the 8-bit texts of the file and the target.
#pragma once

#include "app/link/WatchRun.h"
#include "tools/link/LinkOutput.h"

#include <cstdio>
#include <string>
#include <vector>

namespace pmv::linkcli {

class TWatchPrinter {
public:
    // watched: the slots, for the width of the table's command column.
    TWatchPrinter(const TCmdTable& table, const std::vector<int>& watched, TFormat format,
                  std::FILE* out);

    // The header (table, CSV); false when it cannot be written.
    bool Header();
    // One sample; false when it cannot be written (Error() then holds errno).
    bool Print(const TWatchSample& sample);
    int Error() const { return m_error; }

    // The line of one sample, without writing it.
    std::string Line(const TWatchSample& sample) const;

private:
    bool Write(const std::string& text);

    TFormat m_format;
    std::FILE* m_out;
    int m_wordWidth = 7;
    int m_error = 0;
};

} // namespace pmv::linkcli
