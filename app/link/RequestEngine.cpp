#include "app/link/RequestEngine.h"

#include "config/IntText.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <string>

namespace pmv {

namespace {

constexpr char kMsgPortNotOpened[] = "ERROR: - COM port not opened";
constexpr char kMsgComBusy[] = "COM is busy";

bool ValidIndex(int index) {
    return index >= 0 && index < kSlotCount;
}

// Leading and trailing blanks and control characters (bytes up to 0x20).
std::string_view TrimText(std::string_view s) {
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::int32_t Saturate(std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        v, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

} // namespace

TRequestEngine::TRequestEngine(const TCmdTable& table, TLinkPort& port, TLinkTimer& timer,
                               TLinkView& view)
    : m_table(table), m_port(port), m_timer(timer), m_view(view) {
    m_frame.reserve(128);
    m_logLine.reserve(256);
    m_number.reserve(16);
    m_value.reserve(TReplyAssembler::kMaxRxLine);
}

void TRequestEngine::StartTimer() {
    m_timer.Start();
    m_timerRunning = true;
}

void TRequestEngine::StopTimer() {
    m_timer.Stop();
    m_timerRunning = false;
}

const std::string& TRequestEngine::SlotName(int index) const {
    const TCmdRecord& rec = m_table[index];
    return rec.cmd_descr.empty() ? rec.cmd_str : rec.cmd_descr;
}

void TRequestEngine::SendCmd(int index, bool get) {
    if (!ValidIndex(index))
        return;
    if (!m_port.IsOpen()) {
        m_view.AppendLog(kMsgPortNotOpened);
        return;
    }
    const TCmdRecord& rec = m_table[index];
    if (rec.cmd_str.empty()) {
        char line[64];
        std::snprintf(line, sizeof line, "ERROR: - command %d not defined", index + 1);
        m_view.AppendLog(line);
        return;
    }
    if (m_comBusy)
        return;

    std::string& frame = m_frame;
    try {
        if (FrameValuePart(rec.cmd_type, get) == TValuePart::None)
            BuildFrame(rec, {}, get, frame);
        else
            BuildFrame(rec, m_view.EditText(index), get, frame);
    } catch (const EConvertError& e) {
        m_view.ConvertError(e.what());
        return;
    } catch (const EFrameError& e) {
        m_view.ConvertError("command " + std::to_string(index + 1) + ": " + e.what() +
                            " would end the frame early; nothing is sent");
        return;
    }

    StartTimer();
    // The success flag is not looked at: a refused frame is still counted and
    // times out like a lost one.
    m_port.TxData(reinterpret_cast<const std::uint8_t*>(frame.data()),
                  static_cast<int>(frame.size()));
    m_pendingSlot = index;
    m_comBusy = true;
    if (m_matchReplies)
        m_matcher.Sent(index, rec.cmd_str);
    if (m_view.ShowTransmissions())
        m_view.AppendLog(frame);
    ++m_txCount;
    m_view.ShowCount(TLinkCounter::Tx, m_txCount);
}

void TRequestEngine::GetButtonClick(int index) {
    m_seqLeft = 1;
    SendCmd(index, true);
}

void TRequestEngine::SetButtonClick(int index) {
    m_seqLeft = 1;
    SendCmd(index, false);
}

void TRequestEngine::GetAllParameters() {
    StartRun(true);
}

void TRequestEngine::SetAllParameters() {
    StartRun(false);
}

void TRequestEngine::StartRun(bool get) {
    if (!m_port.IsOpen()) {
        m_view.AppendLog(kMsgPortNotOpened);
        return;
    }
    if (m_comBusy) {
        m_view.AppendLog(kMsgComBusy);
        return;
    }
    m_seqLeft = 0;
    for (int i = 0; i < kSlotCount; ++i) {
        const TCmdRecord& rec = m_table[i];
        if (rec.has(Disabled) || rec.cmd_str.empty())
            continue;
        const bool kindOk = get ? (rec.cmd_type == ctParamGet || rec.cmd_type == ctParamGetSet)
                                : (rec.cmd_type == ctParamSet || rec.cmd_type == ctParamGetSet);
        if (kindOk && rec.has(get ? IncInGetAll : IncInSetAll))
            m_seqSlots[m_seqLeft++] = i;
    }
    if (m_seqLeft == 0)
        return;
    m_seqGet = get;
    m_seqPos = 0;
    SendCmd(m_seqSlots[0], m_seqGet);
}

void TRequestEngine::RxChar(std::uint8_t ch) {
    switch (m_rx.Feed(ch)) {
    case TRxEvent::None:
        return;
    case TRxEvent::Unframed:
        if (m_view.ShowUnframedReceptions()) {
            const char c = static_cast<char>(ch);
            m_view.AppendLog(std::string_view(&c, 1));
        }
        return;
    case TRxEvent::Overflow:
        if (m_view.ShowUnframedReceptions()) {
            char line[80];
            std::snprintf(line, sizeof line, "ERROR: - reply longer than %zu bytes dropped",
                          TReplyAssembler::kMaxRxLine);
            m_view.AppendLog(line);
        }
        return;
    case TRxEvent::Reply:
        ProcessReply(m_rx.Line());
        return;
    }
}

void TRequestEngine::AppendSlotRef(std::string& out, int index) const {
    out.append("command ");
    AppendDecimal(out, index + 1);
    out.append(" (");
    out.append(m_table[index].cmd_str);
    out.push_back(')');
}

// A reply the outstanding request does not take: the request keeps waiting.
void TRequestEngine::ProcessUnansweringReply(std::string_view body, const TReplyVerdict& verdict) {
    m_logLine.assign("WARNING: - ");
    if (verdict.match == TReplyMatch::Late) {
        m_logLine.append("late reply for ");
        AppendSlotRef(m_logLine, verdict.slot);
        m_logLine.append(": ");
        ++m_lateCount;
    } else {
        m_logLine.append("reply for no request: ");
        ++m_unmatchedCount;
    }
    m_logLine.append(body);
    m_view.AppendLog(m_logLine);
    ++m_rxCount;
    m_view.ShowCount(TLinkCounter::Rx, m_rxCount);
    if (verdict.match == TReplyMatch::Late) {
        m_value.assign(ReplyValue(body));
        m_view.ReplyLate(verdict.slot, m_value);
    } else {
        m_value.assign(body);
        m_view.ReplyUnmatched(m_value);
    }
}

void TRequestEngine::ProcessReply(std::string_view body) {
    if (m_matchReplies) {
        const TReplyVerdict verdict = m_matcher.Match(body);
        if (verdict.match != TReplyMatch::Answer) {
            ProcessUnansweringReply(body, verdict);
            return;
        }
    }
    StopTimer();
    const std::string_view value = ReplyValue(body);
    const int slot = m_pendingSlot;
    const TCmdRecord& rec = m_table[slot];
    m_view.ReplyReceived(slot, body);

    m_logLine.clear();
    if (!m_view.ShowCommandDescription()) {
        m_logLine.append(body);
    } else {
        m_logLine.append(SlotName(slot));
        if (!value.empty()) {
            m_logLine.append(kFrameSeparator);
            m_logLine.append(value);
        }
    }
    if ((rec.cmd_type == ctParamGet || rec.cmd_type == ctParamGetSet) && rec.has(UpdateEditOnGet))
        m_view.SetEditText(slot, value);
    m_view.AppendLog(m_logLine);
    // The slot takes the reply whatever its name; say so when the name is
    // another slot's: the values of a run may have slipped by one.
    if (!m_matchReplies && ReplyName(body) != rec.cmd_str) {
        m_logLine.assign("WARNING: - ");
        AppendSlotRef(m_logLine, slot);
        m_logLine.append(" took the reply \"");
        m_logLine.append(body);
        m_logLine.push_back('"');
        m_view.AppendLog(m_logLine);
    }
    ++m_rxCount;
    m_view.ShowCount(TLinkCounter::Rx, m_rxCount);
    m_comBusy = false;

    // The next request of a run leaves before the result is told, from a
    // copy of the value (the line buffer is only promised until then).
    m_value.assign(value);
    --m_seqLeft;
    if (m_seqLeft > 0 && m_seqPos + 1 < kSlotCount) {
        ++m_seqPos;
        SendCmd(m_seqSlots[m_seqPos], m_seqGet);
    }
    m_view.ReplyProcessed(slot, m_value);
}

void TRequestEngine::RxTimerTimer() {
    if (!m_timerRunning)
        return;
    StopTimer();
    m_logLine.assign(SlotName(m_pendingSlot));
    m_logLine.append(" - Rx timeout");
    m_view.AppendLog(m_logLine);
    ++m_rxTimeoutCount;
    m_view.ShowCount(TLinkCounter::RxTimeout, m_rxTimeoutCount);
    m_comBusy = false;
    m_rx.Hunt();
    if (m_matchReplies)
        m_matcher.TimedOut();
    m_view.ReplyTimedOut(m_pendingSlot);
}

void TRequestEngine::ResetCounters() {
    m_txCount = m_rxCount = m_rxTimeoutCount = 0;
    m_view.ShowCount(TLinkCounter::Tx, 0);
    m_view.ShowCount(TLinkCounter::Rx, 0);
    m_view.ShowCount(TLinkCounter::RxTimeout, 0);
}

void TRequestEngine::SetEditNumber(int index, std::int32_t v) {
    m_number.clear();
    AppendDecimal(m_number, v);
    m_view.SetEditText(index, m_number);
}

void TRequestEngine::CommitCmdValue(int index) {
    if (!ValidIndex(index))
        return;
    const TCmdRecord& rec = m_table[index];
    if (IsNumericKind(rec.cmd_type)) {
        SetEditNumber(index, StrToIntClamped(m_view.EditText(index), rec.val_min, rec.val_max,
                                             rec.val_start));
    } else if (rec.cmd_type == ctCommandString) {
        const std::string text = m_view.EditText(index);
        m_view.SetEditText(index, TrimText(text));
    }
}

// An arrow key step: stops at the limits without touching the edit.
void TRequestEngine::Step(int index, bool up) {
    const TCmdRecord& rec = m_table[index];
    const std::int32_t v =
        StrToIntClamped(m_view.EditText(index), rec.val_min, rec.val_max, rec.val_start);
    std::int64_t n;
    if (up) {
        if (v >= rec.val_max)
            return;
        n = std::min<std::int64_t>(std::int64_t{v} + rec.val_inc, rec.val_max);
    } else {
        if (v <= rec.val_min)
            return;
        n = std::max<std::int64_t>(std::int64_t{v} - rec.val_inc, rec.val_min);
    }
    SetEditNumber(index, Saturate(n));
    if (rec.has(TxOnValueChange)) {
        m_seqLeft = 1;
        SendCmd(index, false);
    }
}

void TRequestEngine::CmdEditKey(int index, int key) {
    if (!ValidIndex(index))
        return;
    const TCmdRecord& rec = m_table[index];
    if (IsNumericKind(rec.cmd_type)) {
        if (key == vkUp || key == vkDown) {
            Step(index, key == vkUp);
        } else if (key == vkReturn) {
            SetEditNumber(index, StrToIntClamped(m_view.EditText(index), rec.val_min, rec.val_max,
                                                 rec.val_start));
            m_seqLeft = 1;
            SendCmd(index, false);
        }
    } else if (rec.cmd_type == ctCommandString && key == vkReturn) {
        const std::string text = m_view.EditText(index);
        m_view.SetEditText(index, TrimText(text));
    }
}

// A wheel step: unlike the arrows it writes the clamped value even at a limit.
bool TRequestEngine::WheelStep(int index, bool up) {
    if (!ValidIndex(index))
        return false;
    const TCmdRecord& rec = m_table[index];
    if (rec.has(Disabled) || !IsNumericKind(rec.cmd_type))
        return false;
    const std::int32_t v =
        StrToIntClamped(m_view.EditText(index), rec.val_min, rec.val_max, rec.val_start);
    SetEditNumber(index, v);
    const bool room = up ? v < rec.val_max : v > rec.val_min;
    if (room) {
        const std::int64_t n =
            up ? std::min<std::int64_t>(std::int64_t{v} + rec.val_inc, rec.val_max)
               : std::max<std::int64_t>(std::int64_t{v} - rec.val_inc, rec.val_min);
        SetEditNumber(index, Saturate(n));
        if (rec.has(TxOnValueChange)) {
            m_seqLeft = 1;
            SendCmd(index, false);
        }
    }
    return true;
}

bool TRequestEngine::MouseWheelUp(int index) {
    return WheelStep(index, true);
}

bool TRequestEngine::MouseWheelDown(int index) {
    return WheelStep(index, false);
}

} // namespace pmv
