// The request engine of the target link: one request at a time, the reply
// timer, the traffic counters, the log lines, Get All / Set All runs and value
// entry on a slot. A plain class without widgets.
//
// Data flow:
//   window handler -> engine call -> frame built into an engine-owned buffer
//   -> TLinkPort::TxData; received bytes -> RxChar -> TReplyAssembler ->
//   reply processing -> TLinkView (log line, slot edit, counters) and, within a
//   run, straight on to the next SendCmd.
//
// The engine reaches the outside only through three narrow interfaces:
// TLinkPort (the serial component), TLinkTimer (the reply timer) and
// TLinkView (log, status counters, Options check marks, slot edits). All calls
// run on the user-interface thread; nothing here locks or blocks.
//
// Frame lifetime: the engine builds every frame into one reused buffer, and
// the bytes handed to TLinkPort::TxData are valid only during that call. A
// port that writes later keeps its own copy; for the serial component that is
// TComPortAdapter (app/link/PortLink.h), the one place that knows the
// component's rule (TxData there keeps only a pointer).
//
// Wiring (app/link/PortLink.h does the port and timer part for any owner; the
// main window adds its widgets; N is the 1-based widget number, i = N - 1):
//
//   Cmd<N>GetButton clicked  -> GetButtonClick(i)
//   Cmd<N>SetButton clicked  -> SetButtonClick(i)
//   Cmd<N>Edit loses focus   -> CommitCmdValue(i)
//   Cmd<N>Edit key press     -> CmdEditKey(i, virtual key)
//        Qt::Key_Up -> vkUp, Qt::Key_Down -> vkDown,
//        Qt::Key_Return and Qt::Key_Enter -> vkReturn, anything else -> 0;
//        the key is not consumed (the edit handles it as well).
//   FormMouseWheelUp / Down -> handled = MouseWheelUp(SelectedSlot) / MouseWheelDown(...)
//        (one step per wheel event; accept the event only when handled)
//   GetAllParametersClick   -> GetAllParameters()
//   SetAllParametersClick   -> SetAllParameters()
//   the port's OnRxChar     -> RxChar(ch)          (TPortLink)
//   the reply timer's tick  -> RxTimerTimer()      (TPortLink)
//   StatusBarDblClick, successful configuration load -> ResetCounters()
//
//   TLinkPort:  TComPortAdapter over TLNKCOMPort (PortLink.h)
//   TLinkTimer: TReplyTimer, a single-shot QTimer of the reply time-out (PortLink.h)
//   TLinkView:  the owner's: AppendLog -> the log, EditText / SetEditText ->
//               Cmd<i+1>Edit text as Latin-1, ShowCount -> status panels
//               2 (Tx), 4 (Rx) and 6 (Rx TO), the three Options items ->
//               their check marks, ConvertError -> the conversion error box
//               (it may be raised while a reply is being processed, from the
//               port's receive event, so it should not block: e.g. an
//               asynchronously shown message box).
//
// Which slot a reply belongs to (app/link/ReplyMatch.h): as the window has
// it, always the slot sent last; a reply whose name is not that slot's
// command string is still taken, and one warning line follows its log line:
//   WARNING: - command 5 (SPD) took the reply "SN = 30012345"
// With SetMatchReplies(true), for programs that report values, a reply is
// taken only by the outstanding request whose command string it names; a
// late reply to a request that timed out and a reply that matches no request
// are logged and counted, and taken by no request:
//   WARNING: - late reply for command 104 (SN): SN = 30012345
//   WARNING: - reply for no request: SN = 30012345
#pragma once

#include "app/link/Frame.h"
#include "app/link/ReplyAssembler.h"
#include "app/link/ReplyMatch.h"
#include "app/link/ReplyTimeout.h"
#include "config/CmdRecord.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace pmv {

// The serial port as the engine sees it.
class TLinkPort {
public:
    virtual ~TLinkPort() = default;
    virtual bool IsOpen() const = 0;
    // Hands over `len` bytes to be written; false when refused. The bytes are
    // valid only during the call: a port that writes them later copies them.
    virtual bool TxData(const std::uint8_t* data, int len) = 0;
};

// The reply timer: Start begins a wait of the reply time-out
// (app/link/ReplyTimeout.h; it is only started when stopped), Stop cancels
// it. When the wait ends the owner calls TRequestEngine::RxTimerTimer.
class TLinkTimer {
public:
    virtual ~TLinkTimer() = default;
    virtual void Start() = 0;
    virtual void Stop() = 0;
};

enum class TLinkCounter { Tx, Rx, RxTimeout };

// The window side: log, status counters, Options check marks, slot edits.
class TLinkView {
public:
    virtual ~TLinkView() = default;
    virtual void AppendLog(std::string_view line) = 0;
    virtual void ShowCount(TLinkCounter counter, int value) = 0;
    virtual bool ShowTransmissions() const = 0;
    virtual bool ShowUnframedReceptions() const = 0;
    virtual bool ShowCommandDescription() const = 0;
    virtual std::string EditText(int index) const = 0;
    virtual void SetEditText(int index, std::string_view text) = 0;
    // An edit text that cannot be sent ended an operation: `message` is
    // "'<text>' is not a valid integer value" for a numeric edit that does
    // not convert, or says which control character a text or command string
    // holds ("command 5: the control character 0x0D (CR) ...").
    virtual void ConvertError(const std::string& message) = 0;

    // For owners that collect results (a command-line run); the window has
    // no use for them. ReplyProcessed comes once per processed reply, with
    // the slot it was attributed to (PendingSlot) and its value, after all
    // of the reply's processing, the next request of a run included; the
    // value is valid during the call. ReplyTimedOut comes once per time-out,
    // after its processing. Either may start a new request.
    virtual void ReplyProcessed(int /*slot*/, std::string_view /*value*/) {}
    // The whole body of each reply (name and value) with the slot it is
    // attributed to, as it arrives, before the rest of its processing; for
    // owners that must know which request a reply answers. It must not start
    // a request (the engine is still busy with this reply).
    virtual void ReplyReceived(int /*slot*/, std::string_view /*body*/) {}
    virtual void ReplyTimedOut(int /*slot*/) {}
    // Only while the engine matches replies: the late reply to slot's
    // request, which had timed out, and a reply that matches no request
    // (its whole body), each after its log line.
    virtual void ReplyLate(int /*slot*/, std::string_view /*value*/) {}
    virtual void ReplyUnmatched(std::string_view /*body*/) {}
};

// Virtual key codes understood by CmdEditKey.
constexpr int vkReturn = 0x0D;
constexpr int vkUp = 0x26;
constexpr int vkDown = 0x28;

class TRequestEngine {
public:
    // The default reply time-out, the window's; the one in force is
    // ReplyTimeoutMs() (app/link/ReplyTimeout.h).
    static constexpr int kReplyTimeoutMs = kDefaultReplyTimeoutMs;

    // `table` is the window's CmdTable; it is read at every call and must
    // outlive the engine, as must the three interfaces.
    TRequestEngine(const TCmdTable& table, TLinkPort& port, TLinkTimer& timer, TLinkView& view);
    TRequestEngine(const TRequestEngine&) = delete;
    TRequestEngine& operator=(const TRequestEngine&) = delete;

    // One request for slot `index`; get = true for Get. Callers set SeqLeft
    // first (SetSeqLeft, or use the button calls below).
    void SendCmd(int index, bool get);

    // The slot buttons: a run of one.
    void GetButtonClick(int index);
    void SetButtonClick(int index);

    // Get All / Set All.
    void GetAllParameters();
    void SetAllParameters();

    // One received byte (the port's receive event).
    void RxChar(std::uint8_t ch);
    // The reply timer's tick. Ignored when the timer is not running.
    void RxTimerTimer();

    // Value entry.
    void CommitCmdValue(int index);
    void CmdEditKey(int index, int key);
    // Wheel steps on a slot (the window passes SelectedSlot); true when the
    // event is handled.
    bool MouseWheelUp(int index);
    bool MouseWheelDown(int index);

    // Sets the three traffic counters to 0 and shows them.
    void ResetCounters();

    // Off (the window's rule): a reply belongs to the slot sent last. On: a
    // reply belongs only to the request it names (see above).
    void SetMatchReplies(bool on) { m_matchReplies = on; }
    bool MatchReplies() const { return m_matchReplies; }
    // While matching: late replies and replies that matched no request.
    int LateCount() const { return m_lateCount; }
    int UnmatchedCount() const { return m_unmatchedCount; }

    // State, read-only for the window and for tests.
    bool ComBusy() const { return m_comBusy; }
    int PendingSlot() const { return m_pendingSlot; }
    int SeqLeft() const { return m_seqLeft; }
    void SetSeqLeft(int n) { m_seqLeft = n; }
    int SeqPos() const { return m_seqPos; }
    bool SeqGet() const { return m_seqGet; }
    const std::array<int, kSlotCount>& SeqSlots() const { return m_seqSlots; }
    int TxCount() const { return m_txCount; }
    int RxCount() const { return m_rxCount; }
    int RxTOCount() const { return m_rxTimeoutCount; }
    bool TimerRunning() const { return m_timerRunning; }
    TRxState RxState() const { return m_rx.State(); }
    std::string_view RxLine() const { return m_rx.Line(); }
    unsigned RxOverflowCount() const { return m_rx.OverflowCount(); }

private:
    void StartRun(bool get);
    void ProcessReply(std::string_view body);
    void ProcessUnansweringReply(std::string_view body, const TReplyVerdict& verdict);
    // "command 5 (SPD)"
    void AppendSlotRef(std::string& out, int index) const;
    void StartTimer();
    void StopTimer();
    // Name used in log lines: the description, or the command string.
    const std::string& SlotName(int index) const;
    void SetEditNumber(int index, std::int32_t v);
    void Step(int index, bool up);
    bool WheelStep(int index, bool up);

    const TCmdTable& m_table;
    TLinkPort& m_port;
    TLinkTimer& m_timer;
    TLinkView& m_view;

    TReplyAssembler m_rx;
    bool m_comBusy = false;
    bool m_timerRunning = false;
    int m_pendingSlot = 0;
    int m_seqLeft = 0;
    int m_seqPos = 0;
    bool m_seqGet = false;
    std::array<int, kSlotCount> m_seqSlots{};
    int m_txCount = 0;
    int m_rxCount = 0;
    int m_rxTimeoutCount = 0;
    bool m_matchReplies = false;
    TReplyMatcher m_matcher;
    int m_lateCount = 0;
    int m_unmatchedCount = 0;

    std::string m_frame;   // reused for every frame; the port copies what it keeps
    std::string m_logLine; // reused for log lines built here
    std::string m_number;  // reused for decimal texts
    std::string m_value;   // the value of the reply being processed
};

} // namespace pmv
