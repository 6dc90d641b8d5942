// The protocol side of the target simulator: a parameter table and the rules
// by which a QXM300 answers "QX" frames. No I/O here; the program feeds the
// received bytes in and schedules the replies it gets back.
//
//   get      "QX<name>\r"            -> "QX<name> = <value>\r"
//   set      "QX<name> = <value>\r"  -> stores, "QX<name> = <value>\r"
//   command  "QXRUN\r" (or with a value) -> "QXRUN = OK\r"
//   set of a read-only parameter     -> "QX<name> = ERR\r", value unchanged
// Unknown names are parameters whose value starts as 0, so every
// configuration finds an answer. Bytes before "QX" on a line are ignored; a
// line feed is ignored anywhere; a line longer than kMaxLine is dropped.
// A stray reply (strayPercent) is the reply to a random parameter of the
// table with its value, sent just before or just after the real one.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>

namespace qxmsim {

struct TSimOptions {
    int delayMs = 0;                           // every reply waits this long
    std::set<std::string> silent;              // names never answered ("*": none answered)
    std::map<std::string, int> late;           // name -> reply delay (replaces delayMs)
    bool noEquals = false;                     // replies carry "name=value", no " = "
    int noise = 0;                             // random bytes before each reply
    bool lineFeed = false;                     // LF after the CR
    std::uint32_t seed = 1;                    // for the noise bytes, jitter and stray replies
    int jitterPercent = 0;                     // this share of replies waits a random time ...
    int jitterMaxMs = 0;                       // ... of 0 to this many ms (replaces delayMs)
    int strayPercent = 0;                      // this share of replies comes with an unasked one
    std::map<std::string, std::string> values; // start values in place of the table's
};

struct TSimReply {
    std::string bytes; // noise, reply, CR, optional LF
    int delayMs = 0;
};

class TSimTarget {
public:
    static constexpr std::size_t kMaxLine = 256;

    explicit TSimTarget(TSimOptions options = {});

    // One received byte; a complete line (without CR) when it ends one.
    std::optional<std::string> Feed(std::uint8_t ch);

    // The answer to one received line, or nothing (silent name, no "QX").
    std::optional<TSimReply> Answer(std::string_view line);

    // Whether a value can be a parameter's: printable, no " = ", at most
    // kMaxLine bytes.
    static bool ValidValue(std::string_view value);

    // Current value of a parameter ("0" for names never seen).
    std::string Value(const std::string& name) const;
    bool Running() const { return m_running; }

private:
    std::string Reply(const std::string& name, const std::string& value);

    TSimOptions m_opt;
    std::map<std::string, std::string> m_values;
    std::set<std::string> m_readOnly;
    std::set<std::string> m_commands;
    std::string m_line;
    bool m_overlong = false;
    bool m_running = false;
    std::mt19937 m_rng;
};

// "QX..." with control and 8-bit bytes escaped (\r, \n, \xNN), for logs.
std::string Printable(std::string_view bytes);

} // namespace qxmsim
