// The watch: a list of readable slots polled again and again through the
// window's own request engine, each reply or time-out one sample.
//
//   owner -> TWatchRun::Start(slots, period) -> cycles: each slot's Get
//   button, one request at a time, only while the engine is idle; the
//   engine's replies, time-outs and late replies come back through
//   TWatchView (the engine's view, put in front of the owner's) ->
//   TWatchSample -> every listener (a CSV file, a chart's series, a table).
//
// A cycle asks every watched slot once, in the order given; the next cycle
// starts one period after this one started (at once when the cycle took
// longer). Period 0: as fast as the replies come.
//
// Sharing the engine with the operator:
//   - the watch sends only when the engine is idle, and never from within
//     the processing of a reply: its next request leaves on a later turn of
//     the event loop, so that the operator's clicks waiting there go first;
//   - an operator's action that comes while a request of the watch is in
//     flight is kept (WhenFree) and run as soon as that request is over,
//     before the watch sends again: it is never refused as "COM is busy";
//   - while anything else runs (Get All, Set All, a comparison, a single
//     request), the engine is busy and the watch waits: it pauses.
//
// Which reply is a reading: while its own request is outstanding the watch
// lets the engine match replies (TRequestEngine::SetMatchReplies,
// app/link/ReplyMatch.h), so only a reply that names the slot's command is
// its sample; a reply after its time-out becomes a "late" sample of the slot
// it names, never a reading of another slot. Outside the watch's requests the
// window's own rule is left as it is.
//
// The watch's requests are the engine's: frames, counters and the reply
// timer. In quiet mode (the window) their reply, frame and time-out lines are
// kept out of the owner's log and their replies out of the slots' edits;
// warnings and errors still pass.
//
// Everything runs on the thread of the event loop (a QTimer schedules the
// cycles); the engine, table and view must outlive the watch.
#pragma once

#include "app/link/RequestEngine.h"

#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pmv {

enum class TWatchStatus { Ok, TimedOut, Late };

// "ok", "timed out", "late".
const char* WatchStatusText(TWatchStatus status);

struct TWatchSample {
    std::chrono::system_clock::time_point time; // when the reply or time-out came
    int slot = 0;                               // 0-based index
    std::string word;                           // the slot's command word (8-bit)
    std::string value;            // the reply's value text (8-bit); empty on a time-out
    std::optional<double> number; // the value, when it reads as a number
    TWatchStatus status = TWatchStatus::Ok;
};

// The value as a number: a decimal (with fraction and exponent) or an
// integer in the file's syntax ($1F, 0x1F), blanks around it allowed.
std::optional<double> WatchNumber(std::string_view value);

// Empty when the watch can read the slot; otherwise why not ("slot 7 is not
// defined", "slot 7 (DIR) cannot be read: only readings and parameters
// with Get can be watched", "slot 7 (DIR) is disabled").
std::string WatchRefusal(const TCmdTable& table, int slot);

// The slots the watch can read, in slot order.
std::vector<int> WatchableSlots(const TCmdTable& table);

class TWatchRun;

// The engine's view in front of the owner's: passes everything on, except,
// in quiet mode, what the watch's own requests would write to the log and
// the edits.
class TWatchView : public TLinkView {
public:
    explicit TWatchView(TLinkView& inner) : m_inner(inner) {}

    void Attach(TWatchRun* run) { m_run = run; }
    void SetQuiet(bool on) { m_quiet = on; }
    // Frames handed to the port so far.
    unsigned long Frames() const { return m_frames; }

    void AppendLog(std::string_view line) override;
    void ShowCount(TLinkCounter counter, int value) override;
    bool ShowTransmissions() const override { return m_inner.ShowTransmissions(); }
    bool ShowUnframedReceptions() const override { return m_inner.ShowUnframedReceptions(); }
    bool ShowCommandDescription() const override { return m_inner.ShowCommandDescription(); }
    std::string EditText(int index) const override { return m_inner.EditText(index); }
    void SetEditText(int index, std::string_view text) override;
    void ConvertError(const std::string& message) override { m_inner.ConvertError(message); }
    void ReplyReceived(int slot, std::string_view body) override;
    void ReplyProcessed(int slot, std::string_view value) override;
    void ReplyTimedOut(int slot) override;
    void ReplyLate(int slot, std::string_view value) override;
    void ReplyUnmatched(std::string_view body) override;

private:
    bool Hides() const;

    TLinkView& m_inner;
    TWatchRun* m_run = nullptr;
    bool m_quiet = false;
    unsigned long m_frames = 0;
};

class TWatchRun {
public:
    using TListener = std::function<void(const TWatchSample&)>;
    static constexpr int kMaxPeriodMs = 3600 * 1000;

    TWatchRun(const TCmdTable& table, TRequestEngine& engine, TWatchView& view);
    ~TWatchRun();
    TWatchRun(const TWatchRun&) = delete;
    TWatchRun& operator=(const TWatchRun&) = delete;

    // Starts watching these slots (0-based, each at most once) every
    // periodMs (0 .. kMaxPeriodMs). Empty when started; otherwise why not
    // (nothing chosen, a slot the watch cannot read, already running).
    std::string Start(const std::vector<int>& watched, int periodMs);
    // No further request: the one in flight still ends as a sample.
    // onStopped follows once it has.
    void Stop();

    bool Running() const { return m_running; }
    // A request of the watch is outstanding.
    bool Holds() const { return m_own; }
    // Runs action now, or when the watch's request in flight is over
    // (before the watch sends again). For the operator's own requests.
    void WhenFree(std::function<void()> action);

    void AddListener(TListener listener) { m_listeners.push_back(std::move(listener)); }
    // Once the watch has stopped, with why when it was not asked to (a
    // request the engine refused: "ERROR: - COM port not opened").
    std::function<void(const std::string& why)> onStopped;
    // Before each cycle, with the time it was due (for measurements, and
    // for a count of cycles: Cycles() counts those begun before it; a Stop
    // here begins no new one).
    std::function<void(std::chrono::steady_clock::time_point due)> onCycle;

    const std::vector<int>& Slots() const { return m_slots; }
    int PeriodMs() const { return m_periodMs; }
    unsigned long Cycles() const { return m_cycles; }
    unsigned long Samples() const { return m_samples; }

private:
    friend class TWatchView;
    using TClock = std::chrono::steady_clock;

    void Tick();
    void SendNext();
    void Later(int ms);
    void EndOwn();
    void Emit(int slot, std::string_view value, TWatchStatus status);
    void Finish(const std::string& why);
    bool OwnLateReply(int slot, std::string_view body) const;
    // From the view.
    void Received(int slot, std::string_view body);
    void Processed(int slot, std::string_view value);
    void TimedOut(int slot);
    void Late(int slot, std::string_view value);
    void EngineDone();

    const TCmdTable& m_table;
    TRequestEngine& m_engine;
    TWatchView& m_view;
    QTimer m_timer;
    std::vector<TListener> m_listeners;
    std::vector<std::function<void()>> m_deferred;

    std::vector<int> m_slots;
    int m_periodMs = 0;
    bool m_running = false;
    bool m_stopping = false;
    std::size_t m_pos = 0;        // next slot of the cycle; m_slots.size(): cycle done
    TClock::time_point m_due{};   // when the next cycle is due
    bool m_own = false;           // the watch's request is outstanding
    bool m_inOwnReply = false;    // the engine is processing a reply the watch takes
    bool m_sending = false;       // within the watch's Get button call
    std::string m_refusal;        // the line the engine logged while sending
    bool m_matchedBefore = false; // the engine's matching before the watch's request
    int m_ownSlot = -1;           // slot of the watch's last request
    unsigned long m_ownFrame = 0; // its frame number
    std::vector<bool> m_timedOut; // per slot: the last request timed out, no reply since
    std::string m_body;           // body of the reply being processed
    unsigned long m_cycles = 0;
    unsigned long m_samples = 0;
    TWatchSample m_sample; // reused for every sample
};

} // namespace pmv
