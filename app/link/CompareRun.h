// Reading a comparison's values from the target, and sending the file's
// values of chosen rows, through the request engine, one request at a time.
// No widgets.
//
//   owner -> TCompareRun::Read / Send -> engine Get / Set buttons of the rows'
//   slots, one at a time; the engine's replies and time-outs come back through
//   TRunView (the engine's view, put in front of the owner's own view) ->
//   TCompareRun fills the rows of the TSetComparison -> onRow / onFinished.
//
// The requests are the engine's own: their frames, log lines, counters and
// time-outs are those of a slot button. What differs:
//   - a reply goes into the comparison, not into the slot's edit;
//   - a Set sends the row's file value (val_start), not the edit's text;
//   - a request that times out does not end the run: its row is "timed out"
//     and the run goes on with the next;
//   - while it runs, the engine matches replies to their requests
//     (TRequestEngine::SetMatchReplies, app/link/ReplyMatch.h): a row takes
//     only the reply that names its command; a reply after its time-out is
//     shown as that row's late value, a reply of no request is counted.
//     After the run the window's rule is back (a reply belongs to the slot
//     sent last); a late reply that then comes still reaches only the row
//     it names.
//
// Send: the ticked rows' values that are not known yet are read first; then
// `beforeWrite` runs (the owner writes its snapshot; false stops the run with
// nothing sent); then each row gets its Set and a Get that reads it back.
//
// Everything runs on the user-interface thread, from the engine's calls.
#pragma once

#include "app/link/RequestEngine.h"
#include "config/Comparison.h"

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pmv {

class TCompareRun;

// The engine's view in front of the owner's: passes everything on, counts
// the frames sent, and lets a run take the replies and edit texts of its own
// requests.
class TRunView : public TLinkView {
public:
    explicit TRunView(TLinkView& inner) : m_inner(inner) {}

    // Frames handed to the port so far (not reset with the counters).
    unsigned long Frames() const { return m_frames; }
    void Attach(TCompareRun* run) { m_run = run; }

    // While capturing: the last line the engine logged (why a request was
    // refused).
    void Capture(bool on);
    const std::string& LastLine() const { return m_lastLine; }

    void AppendLog(std::string_view line) override;
    void ShowCount(TLinkCounter counter, int value) override;
    bool ShowTransmissions() const override { return m_inner.ShowTransmissions(); }
    bool ShowUnframedReceptions() const override { return m_inner.ShowUnframedReceptions(); }
    bool ShowCommandDescription() const override { return m_inner.ShowCommandDescription(); }
    std::string EditText(int index) const override;
    void SetEditText(int index, std::string_view text) override;
    void ConvertError(const std::string& message) override { m_inner.ConvertError(message); }
    void ReplyReceived(int slot, std::string_view body) override;
    void ReplyProcessed(int slot, std::string_view value) override;
    void ReplyTimedOut(int slot) override;
    void ReplyLate(int slot, std::string_view value) override;
    void ReplyUnmatched(std::string_view body) override;

private:
    TLinkView& m_inner;
    TCompareRun* m_run = nullptr;
    unsigned long m_frames = 0;
    bool m_inReply = false;
    bool m_capture = false;
    std::string m_lastLine;
};

class TCompareRun {
public:
    // table: the command set whose file values are sent; view: the
    // engine's view.
    TCompareRun(const TCmdTable& table, TRequestEngine& engine, TRunView& view);
    ~TCompareRun();
    TCompareRun(const TCompareRun&) = delete;
    TCompareRun& operator=(const TCompareRun&) = delete;

    // Reads the values of these rows of comparison (all rows when empty).
    // False when the run is refused (busy, or a run is on; Error() says
    // why); otherwise onFinished comes once it has ended, also when its first
    // request is refused (Error() then holds the engine's log line). The
    // comparison must outlive the run's use of it (late replies still reach
    // it) until the next run or Forget.
    bool Read(TSetComparison& comparison, std::vector<int> rows = {});
    // Sends the file values of these rows (those a Set can write) and reads
    // each back; see above for beforeWrite.
    bool Send(TSetComparison& comparison, const std::vector<int>& rows,
              std::function<bool()> beforeWrite);
    // No further request: the run ends with the one in flight.
    void Stop();
    // Lets go of the comparison at once (its owner is going away).
    void Forget();

    bool Running() const { return m_running; }
    const std::string& Error() const { return m_error; }
    // Replies that answered no request of the run.
    int Unmatched() const { return m_unmatched; }
    // Requests the last operation sent, by kind.
    int Gets() const { return m_gets; }
    int Sets() const { return m_sets; }
    // When the last reply came (for measurements).
    std::chrono::steady_clock::time_point LastReplyAt() const { return m_lastReplyAt; }

    std::function<void(int row)> onRow;
    std::function<void()> onFinished;

private:
    friend class TRunView;
    enum class TStepKind { Get, Set, Write };
    struct TStep {
        TStepKind kind;
        int row;
    };

    bool Start(TSetComparison& comparison, std::vector<TStep> steps);
    void Next();
    void Finish();
    // The awaited request is done (answered or given up): on to the next.
    void Done(std::string_view value, bool answered);
    const TCmdRecord& RowRecord(int row) const;
    // From the view.
    bool EditText(int index, std::string& text) const;
    bool HoldsEdit() const;
    void Received(int slot, std::string_view body);
    void Processed(int slot, std::string_view value);
    void TimedOut(int slot);
    void Late(int slot, std::string_view value);
    void CountUnmatched();

    const TCmdTable& m_table;
    TRequestEngine& m_engine;
    TRunView& m_view;

    TSetComparison* m_cmp = nullptr;
    std::vector<TStep> m_steps;
    std::size_t m_pos = 0;
    std::function<bool()> m_beforeWrite;
    bool m_running = false;
    bool m_stopping = false;
    bool m_waiting = false;       // a request of the run awaits its reply
    bool m_matchedBefore = false; // the engine's matching when the run began
    int m_sendingSlot = -1;       // the slot whose Set is being built
    unsigned long m_ownFrame = 0; // frame number of the run's last request
    std::string m_body;           // the body of the reply being processed
    std::string m_error;
    int m_unmatched = 0;
    int m_gets = 0;
    int m_sets = 0;
    std::chrono::steady_clock::time_point m_lastReplyAt{};
};

} // namespace pmv
