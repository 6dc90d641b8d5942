#include "app/link/RequestEngine.h"

#include "config/IntText.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace pmv {

namespace {

constexpr char MsgPortNotOpened[] = "ERROR: - COM port not opened";
constexpr char MsgComBusy[] = "COM is busy";

bool ValidIndex(int index) {
    return index >= 0 && index < SlotCount;
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
    : FTable(table), FPort(port), FTimer(timer), FView(view) {
    FFrame.reserve(128);
    FLogLine.reserve(256);
    FNumber.reserve(16);
    FValue.reserve(TReplyAssembler::MaxRxLine);
}

void TRequestEngine::StartTimer() {
    FTimer.Start();
    FTimerRunning = true;
}

void TRequestEngine::StopTimer() {
    FTimer.Stop();
    FTimerRunning = false;
}

const std::string& TRequestEngine::SlotName(int index) const {
    const TCmdRecord& rec = FTable[index];
    return rec.cmd_descr.empty() ? rec.cmd_str : rec.cmd_descr;
}

void TRequestEngine::SendCmd(int index, bool get) {
    if (!ValidIndex(index))
        return;
    if (!FPort.IsOpen()) {
        FView.AppendLog(MsgPortNotOpened);
        return;
    }
    const TCmdRecord& rec = FTable[index];
    if (rec.cmd_str.empty()) {
        char line[64];
        std::snprintf(line, sizeof line, "ERROR: - command %d not defined", index + 1);
        FView.AppendLog(line);
        return;
    }
    if (FComBusy)
        return;

    std::string& frame = FFrame;
    try {
        if (FrameValuePart(rec.cmd_type, get) == TValuePart::None)
            BuildFrame(rec, {}, get, frame);
        else
            BuildFrame(rec, FView.EditText(index), get, frame);
    } catch (const EConvertError& e) {
        FView.ConvertError(e.what());
        return;
    }

    StartTimer();
    // The success flag is not looked at: a refused frame is still counted and
    // times out like a lost one.
    FPort.TxData(reinterpret_cast<const std::uint8_t*>(frame.data()),
                 static_cast<int>(frame.size()));
    FPendingSlot = index;
    FComBusy = true;
    if (FView.ShowTransmissions())
        FView.AppendLog(frame);
    ++FTxCount;
    FView.ShowCount(TLinkCounter::Tx, FTxCount);
}

void TRequestEngine::GetButtonClick(int index) {
    FSeqLeft = 1;
    SendCmd(index, true);
}

void TRequestEngine::SetButtonClick(int index) {
    FSeqLeft = 1;
    SendCmd(index, false);
}

void TRequestEngine::GetAllParameters() {
    StartRun(true);
}

void TRequestEngine::SetAllParameters() {
    StartRun(false);
}

void TRequestEngine::StartRun(bool get) {
    if (!FPort.IsOpen()) {
        FView.AppendLog(MsgPortNotOpened);
        return;
    }
    if (FComBusy) {
        FView.AppendLog(MsgComBusy);
        return;
    }
    FSeqLeft = 0;
    for (int i = 0; i < SlotCount; ++i) {
        const TCmdRecord& rec = FTable[i];
        if (rec.has(Disabled) || rec.cmd_str.empty())
            continue;
        const bool kindOk = get ? (rec.cmd_type == ctParamGet || rec.cmd_type == ctParamGetSet)
                                : (rec.cmd_type == ctParamSet || rec.cmd_type == ctParamGetSet);
        if (kindOk && rec.has(get ? IncInGetAll : IncInSetAll))
            FSeqSlots[FSeqLeft++] = i;
    }
    if (FSeqLeft == 0)
        return;
    FSeqGet = get;
    FSeqPos = 0;
    SendCmd(FSeqSlots[0], FSeqGet);
}

void TRequestEngine::RxChar(std::uint8_t ch) {
    switch (FRx.Feed(ch)) {
    case TRxEvent::None:
        return;
    case TRxEvent::Unframed:
        if (FView.ShowUnframedReceptions()) {
            const char c = static_cast<char>(ch);
            FView.AppendLog(std::string_view(&c, 1));
        }
        return;
    case TRxEvent::Overflow:
        if (FView.ShowUnframedReceptions()) {
            char line[80];
            std::snprintf(line, sizeof line, "ERROR: - reply longer than %zu bytes dropped",
                          TReplyAssembler::MaxRxLine);
            FView.AppendLog(line);
        }
        return;
    case TRxEvent::Reply:
        ProcessReply(FRx.Line());
        return;
    }
}

void TRequestEngine::ProcessReply(std::string_view body) {
    StopTimer();
    const std::string_view value = ReplyValue(body);
    const int slot = FPendingSlot;
    const TCmdRecord& rec = FTable[slot];

    FLogLine.clear();
    if (!FView.ShowCommandDescription()) {
        FLogLine.append(body);
    } else {
        FLogLine.append(SlotName(slot));
        if (!value.empty()) {
            FLogLine.append(FrameSeparator);
            FLogLine.append(value);
        }
    }
    if ((rec.cmd_type == ctParamGet || rec.cmd_type == ctParamGetSet) && rec.has(UpdateEditOnGet))
        FView.SetEditText(slot, value);
    FView.AppendLog(FLogLine);
    ++FRxCount;
    FView.ShowCount(TLinkCounter::Rx, FRxCount);
    FComBusy = false;

    // The next request of a run leaves before the result is told, from a
    // copy of the value (the line buffer is only promised until then).
    FValue.assign(value);
    --FSeqLeft;
    if (FSeqLeft > 0 && FSeqPos + 1 < SlotCount) {
        ++FSeqPos;
        SendCmd(FSeqSlots[FSeqPos], FSeqGet);
    }
    FView.ReplyProcessed(slot, FValue);
}

void TRequestEngine::RxTimerTimer() {
    if (!FTimerRunning)
        return;
    StopTimer();
    FLogLine.assign(SlotName(FPendingSlot));
    FLogLine.append(" - Rx timeout");
    FView.AppendLog(FLogLine);
    ++FRxTOCount;
    FView.ShowCount(TLinkCounter::RxTimeout, FRxTOCount);
    FComBusy = false;
    FRx.Hunt();
    FView.ReplyTimedOut(FPendingSlot);
}

void TRequestEngine::ResetCounters() {
    FTxCount = FRxCount = FRxTOCount = 0;
    FView.ShowCount(TLinkCounter::Tx, 0);
    FView.ShowCount(TLinkCounter::Rx, 0);
    FView.ShowCount(TLinkCounter::RxTimeout, 0);
}

void TRequestEngine::SetEditNumber(int index, std::int32_t v) {
    FNumber.clear();
    AppendDecimal(FNumber, v);
    FView.SetEditText(index, FNumber);
}

void TRequestEngine::CommitCmdValue(int index) {
    if (!ValidIndex(index))
        return;
    const TCmdRecord& rec = FTable[index];
    if (IsNumericKind(rec.cmd_type)) {
        SetEditNumber(
            index, StrToIntClamped(FView.EditText(index), rec.val_min, rec.val_max, rec.val_start));
    } else if (rec.cmd_type == ctCommandString) {
        const std::string text = FView.EditText(index);
        FView.SetEditText(index, TrimText(text));
    }
}

// An arrow key step: stops at the limits without touching the edit.
void TRequestEngine::Step(int index, bool up) {
    const TCmdRecord& rec = FTable[index];
    const std::int32_t v =
        StrToIntClamped(FView.EditText(index), rec.val_min, rec.val_max, rec.val_start);
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
        FSeqLeft = 1;
        SendCmd(index, false);
    }
}

void TRequestEngine::CmdEditKey(int index, int key) {
    if (!ValidIndex(index))
        return;
    const TCmdRecord& rec = FTable[index];
    if (IsNumericKind(rec.cmd_type)) {
        if (key == vkUp || key == vkDown) {
            Step(index, key == vkUp);
        } else if (key == vkReturn) {
            SetEditNumber(index, StrToIntClamped(FView.EditText(index), rec.val_min, rec.val_max,
                                                 rec.val_start));
            FSeqLeft = 1;
            SendCmd(index, false);
        }
    } else if (rec.cmd_type == ctCommandString && key == vkReturn) {
        const std::string text = FView.EditText(index);
        FView.SetEditText(index, TrimText(text));
    }
}

// A wheel step: unlike the arrows it writes the clamped value even at a limit.
bool TRequestEngine::WheelStep(int index, bool up) {
    if (!ValidIndex(index))
        return false;
    const TCmdRecord& rec = FTable[index];
    if (rec.has(Disabled) || !IsNumericKind(rec.cmd_type))
        return false;
    const std::int32_t v =
        StrToIntClamped(FView.EditText(index), rec.val_min, rec.val_max, rec.val_start);
    SetEditNumber(index, v);
    const bool room = up ? v < rec.val_max : v > rec.val_min;
    if (room) {
        const std::int64_t n =
            up ? std::min<std::int64_t>(std::int64_t{v} + rec.val_inc, rec.val_max)
               : std::max<std::int64_t>(std::int64_t{v} - rec.val_inc, rec.val_min);
        SetEditNumber(index, Saturate(n));
        if (rec.has(TxOnValueChange)) {
            FSeqLeft = 1;
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
