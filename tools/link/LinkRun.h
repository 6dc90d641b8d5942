// The request engine driven from the command line: a view that stands in for
// the window's slot edits and log, and a runner that starts the window's own
// operations on the engine (Get All, Set All, the Get and Set buttons) and
// collects one result per request.
//
//   TCliView view(table);                  // edits as a load leaves them
//   TPortLink link(table, port, timer, view, onError);
//   TLinkRunner runner(table, link.Engine(), view);
//   runner.onFinished = [] { QCoreApplication::quit(); };
//   runner.GetAll();                       // then run the event loop
//   for (const TSlotResult& r : runner.Results()) ...
//
// Every frame, time-out, clamp and log line is the engine's, so they are the
// window's. Two additions: a request that times out does not end the
// operation as it ends a window's run; the runner goes on with the next slot
// of the run as a single request (the same frame the run would have sent),
// so that every slot gets a result. And the engine matches replies to their
// requests (app/link/ReplyMatch.h): a result is a reply that named the
// slot's command while its request was outstanding; a reply that comes after
// its request timed out marks that result late; a stray reply is only logged
// and counted.
#pragma once

#include "app/link/RequestEngine.h"
#include "config/CmdRecord.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pmv::linkcli {

// The text a slot's edit holds right after a configuration load: val_start in
// decimal for the numeric kinds 1, 4 and 5, str for kind 2, "0" for kind 3,
// empty for kind 0 and undefined slots.
std::string LoadedEditText(const TCmdRecord& rec);

// Whether the window offers the slot's Get button (kinds 3 and 5) or its Set
// (or "Tx") button (kinds 0, 1, 2, 4 and 5).
bool HasGet(const TCmdRecord& rec);
bool HasSet(const TCmdRecord& rec);

// The slots that Get All reads and that Set All sends: the values verify
// compares (kind 5, in both runs, not disabled).
bool IsCompared(const TCmdRecord& rec);

// The window's log, Options and slot edits for the engine. Log lines go to a
// file when one is given; the Options are those of a freshly started window
// (Show Command Description checked, the other two as asked).
class TCliView : public TLinkView {
public:
    explicit TCliView(const TCmdTable& table);

    // The edits as a load of table leaves them.
    void LoadEdits(const TCmdTable& table);

    // Where log lines go (nullptr: nowhere) and whether frames are logged.
    // Lines are written as UTF-8.
    void SetLog(std::FILE* log, bool transmissions);
    // Text put before every log line (the port, when several share a log).
    void SetLogPrefix(std::string prefix) { m_logPrefix = std::move(prefix); }
    // A line of the program's own in the log (the load and open lines):
    // 8-bit text, or text that is UTF-8 already.
    void Log(std::string_view line);
    void LogUtf8(std::string_view line);
    // The errno of the first log line that could not be written; 0: none.
    int LogError() const { return m_logError; }

    // The last refusal the engine logged ("ERROR: - ...", "COM is busy") or
    // its conversion error text; ClearError forgets it.
    const std::string& LastError() const { return m_lastError; }
    void ClearError() { m_lastError.clear(); }

    std::function<void(int slot, std::string_view value)> onReply;
    std::function<void(int slot)> onTimeout;
    std::function<void(int slot, std::string_view value)> onLate;

    void AppendLog(std::string_view line) override;
    void ShowCount(TLinkCounter, int) override {}
    bool ShowTransmissions() const override { return m_transmissions; }
    bool ShowUnframedReceptions() const override { return false; }
    bool ShowCommandDescription() const override { return true; }
    std::string EditText(int index) const override;
    void SetEditText(int index, std::string_view text) override;
    void ConvertError(const std::string& message) override;
    void ReplyProcessed(int slot, std::string_view value) override;
    void ReplyTimedOut(int slot) override;
    void ReplyLate(int slot, std::string_view value) override;

private:
    std::array<std::string, kSlotCount> m_edits;
    std::FILE* m_log = nullptr;
    std::string m_logPrefix;
    bool m_transmissions = false;
    int m_logError = 0;
    std::string m_lastError;
};

// ---- Choosing slots on the command line ----------------------------------------------
//
// An argument names a slot by its number, 1 to 192 as the window numbers them
// (page p, position q is (p - 1) * 24 + q), when it is all decimal digits;
// otherwise by its command word: the lowest-numbered slot whose cmd_str is
// exactly the word (case and all) and whose button for the operation (Get,
// or Set/"Tx") the window offers and has enabled. A word that only such
// slots carry names the lowest of them, and the error says why it cannot be
// used (undefined, disabled, no such button).

struct TSlotChoice {
    int slot = -1;     // 0-based index; -1 with error
    std::string error; // why the argument names no usable slot
};

// A command-line argument as the 8-bit text the window would send: UTF-8
// (what a terminal gives) converted, bytes that are no UTF-8 taken as they
// are. error says why it cannot be: a character without an 8-bit form.
struct TArgText {
    std::string text;
    std::string error;
};
TArgText ArgumentText(std::string_view arg);

// A get argument WORD or SLOT.
TSlotChoice ChooseGetSlot(const TCmdTable& table, std::string_view arg);

// A value for a set, given as the operator would type it into the slot's edit.
struct TSetRequest {
    int slot = 0;
    std::string text;
};

struct TSetChoice {
    TSetRequest request;
    std::string error; // why the argument cannot be sent
    std::string note;  // the value will be clamped: what goes out instead
};

// A set argument WORD=VALUE or SLOT=VALUE (split at the first '='), or WORD /
// SLOT alone for a plain command (kind 0), which takes no value. The numeric
// kinds 1, 4 and 5 need an integer in the file's syntax (decimal, or
// hexadecimal after $, x or 0x); it is clamped into [val_min, val_max] as the
// window clamps a typed value. Kind 2 takes any text of up to 80 characters,
// trimmed as the window trims it. Kind 3 (a reading) cannot be set. A
// control character (a byte below 0x20) anywhere in the value is refused:
// a carriage return would end the frame and start another.
TSetChoice ChooseSetSlot(const TCmdTable& table, std::string_view arg);

// ---- Running ----------------------------------------------------------------------

enum class TResultStatus {
    Ok,      // answered while its request was outstanding
    Timeout, // no reply within the time-out
    Late,    // timed out, and its reply came later (value holds it)
    NotDone, // the operation ended before this slot was sent (or answered)
};

struct TSlotResult {
    int slot = 0;                    // 0-based index
    std::optional<std::string> sent; // a set's value part, as sent (none: no value part)
    std::string value;               // the reply's value (Ok, Late; else empty)
    TResultStatus status = TResultStatus::Ok;
};

class TLinkRunner {
public:
    using TClock = std::chrono::steady_clock;

    TLinkRunner(const TCmdTable& table, TRequestEngine& engine, TCliView& view);
    ~TLinkRunner();
    TLinkRunner(const TLinkRunner&) = delete;
    TLinkRunner& operator=(const TLinkRunner&) = delete;

    // The window's Get All / Set All (the edits as TCliView holds them).
    void GetAll();
    void SetAll();
    // The Get buttons of these slots, one after the other.
    void Get(const std::vector<int>& slots);
    // For each: the text typed into the edit, committed as when the edit
    // loses the focus (clamped for the numeric kinds, trimmed for kind 2),
    // then the Set button.
    void Set(const std::vector<TSetRequest>& requests);

    // No further request: the operation finishes with the request in flight
    // (its reply or time-out, so that no reply is left on the line for the
    // port's next user), or at once when none is.
    void Stop();
    // Ends the operation at once (the device is gone): the request in
    // flight stays without a result.
    void Abort();

    bool Finished() const { return m_finished; }
    // Why the operation ended early: the engine's refusal of a request (its
    // log line). Empty when every request was sent.
    const std::string& Error() const { return m_error; }
    const std::vector<TSlotResult>& Results() const { return m_results; }
    // Results(), then every slot of the operation that has none, NotDone.
    std::vector<TSlotResult> AllResults() const;
    int Total() const { return static_cast<int>(m_slots.size()); }
    int Done() const { return static_cast<int>(m_results.size()); }
    // From the start of the operation to its end (or to now while it runs).
    TClock::duration Elapsed() const;

    // Called once when the operation has finished by itself.
    std::function<void()> onFinished;

private:
    void Begin(bool get);
    void StartRun();
    void SendNext();
    void Record(int slot, TResultStatus status, std::string_view value);
    void RecordLate(int slot, std::string_view value);
    void Fail(std::string why);
    void Finish();

    const TCmdTable& m_table;
    TRequestEngine& m_engine;
    TCliView& m_view;
    bool m_get = true;
    std::vector<int> m_slots;                      // in sending order
    std::vector<std::optional<std::string>> m_set; // texts of Set, per position
    std::vector<std::optional<std::string>> m_sent;
    std::size_t m_pos = 0;
    std::vector<TSlotResult> m_results;
    bool m_finished = true;
    bool m_stopping = false;
    std::string m_error;
    TClock::time_point m_start{};
    TClock::time_point m_end{};
};

} // namespace pmv::linkcli
