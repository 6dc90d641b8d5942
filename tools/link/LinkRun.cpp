#include "tools/link/LinkRun.h"

#include "app/link/Frame.h"
#include "config/IntText.h"
#include "config/TextCodec.h"

#include <cerrno>
#include <utility>

namespace pmv::linkcli {

std::string LoadedEditText(const TCmdRecord& rec) {
    if (!rec.defined())
        return {};
    switch (rec.cmd_type) {
    case ctCommandValue:
    case ctParamSet:
    case ctParamGetSet:
        return std::to_string(rec.val_start);
    case ctCommandString:
        return rec.str;
    case ctParamGet:
        return "0";
    default:
        return {};
    }
}

bool HasGet(const TCmdRecord& rec) {
    return rec.cmd_type == ctParamGet || rec.cmd_type == ctParamGetSet;
}

bool HasSet(const TCmdRecord& rec) {
    return rec.cmd_type == ctCommand || rec.cmd_type == ctCommandValue ||
           rec.cmd_type == ctCommandString || rec.cmd_type == ctParamSet ||
           rec.cmd_type == ctParamGetSet;
}

bool IsCompared(const TCmdRecord& rec) {
    return rec.defined() && rec.cmd_type == ctParamGetSet && rec.has(IncInGetAll) &&
           rec.has(IncInSetAll) && !rec.has(Disabled);
}

// ---- Choosing slots -----------------------------------------------------------------

namespace {

constexpr std::size_t kMaxStringValue = 80; // what a kind 2 edit takes

std::string SlotName(const TCmdTable& table, int slot) {
    return "slot " + std::to_string(slot + 1) + " (" +
           table[static_cast<std::size_t>(slot)].cmd_str + ")";
}

// Why the slot cannot take the operation, or empty.
std::string Unusable(const TCmdTable& table, int slot, bool set) {
    const TCmdRecord& rec = table[static_cast<std::size_t>(slot)];
    if (!rec.defined())
        return "slot " + std::to_string(slot + 1) + " is not defined";
    if (rec.has(Disabled))
        return SlotName(table, slot) + " is disabled";
    if (set && !HasSet(rec))
        return SlotName(table, slot) + " is a reading: it has no Set";
    if (!set && !HasGet(rec))
        return SlotName(table, slot) + " has no Get: send it with set";
    return {};
}

TSlotChoice Choose(const TCmdTable& table, std::string_view arg, bool set) {
    TSlotChoice c;
    if (arg.empty()) {
        c.error = "empty slot or command";
        return c;
    }
    if (arg.find_first_not_of("0123456789") == std::string_view::npos) {
        const int n = arg.size() > 3 ? 0 : std::stoi(std::string(arg));
        if (n < 1 || n > kSlotCount) {
            c.error = "there is no slot " + std::string(arg) + " (slots are 1 to " +
                      std::to_string(kSlotCount) + ")";
            return c;
        }
        c.error = Unusable(table, n - 1, set);
        if (c.error.empty())
            c.slot = n - 1;
        return c;
    }
    int first = -1;
    for (int i = 0; i < kSlotCount; ++i) {
        if (table[static_cast<std::size_t>(i)].cmd_str != arg)
            continue;
        if (Unusable(table, i, set).empty()) {
            c.slot = i;
            return c;
        }
        if (first < 0)
            first = i;
    }
    c.error = first < 0 ? "no slot has the command '" + std::string(arg) + "'"
                        : Unusable(table, first, set);
    return c;
}

} // namespace

TArgText ArgumentText(std::string_view arg) {
    TArgText t;
    const TUtf8Conversion c = Utf8ToEightBit(arg);
    switch (c.status) {
    case TUtf8Status::Ok:
        t.text = c.text;
        break;
    case TUtf8Status::NotUtf8:
        t.text.assign(arg);
        break;
    case TUtf8Status::DoesNotFit:
        t.error = "the character " + DescribeCharacter(c.unfit) +
                  " cannot be sent: the target's texts are 8-bit (Latin-1)";
        break;
    }
    return t;
}

TSlotChoice ChooseGetSlot(const TCmdTable& table, std::string_view arg) {
    return Choose(table, arg, false);
}

TSetChoice ChooseSetSlot(const TCmdTable& table, std::string_view arg) {
    TSetChoice c;
    const std::size_t eq = arg.find('=');
    const bool hasValue = eq != std::string_view::npos;
    const std::string_view word = arg.substr(0, eq);
    const std::string value(hasValue ? arg.substr(eq + 1) : std::string_view());
    const TSlotChoice slot = Choose(table, word, true);
    if (slot.slot < 0) {
        c.error = slot.error;
        return c;
    }
    const TCmdRecord& rec = table[static_cast<std::size_t>(slot.slot)];
    c.request.slot = slot.slot;
    c.request.text = value;
    const std::string name = SlotName(table, slot.slot);
    if (const int control = FirstControlCharacter(value); control >= 0) {
        c.error = name + ": the value holds " + ControlCharacterText(control) +
                  ", which would end the frame; nothing is sent";
        return c;
    }
    switch (rec.cmd_type) {
    case ctCommand:
        if (!value.empty())
            c.error = name + " is a command without a value";
        break;
    case ctCommandString:
        if (!hasValue)
            c.error = name + " needs a text: " + rec.cmd_str + "=TEXT";
        else if (value.size() > kMaxStringValue)
            c.error = name + ": the text is longer than " + std::to_string(kMaxStringValue) +
                      " characters";
        break;
    default: { // the numeric kinds
        if (!hasValue) {
            c.error = name + " needs a value: " + rec.cmd_str + "=VALUE";
            break;
        }
        const std::optional<std::int32_t> v = TryStrToInt(value);
        if (!v) {
            c.error = name + ": '" + value + "' is not a valid integer value";
            break;
        }
        const std::int32_t clamped =
            StrToIntClamped(value, rec.val_min, rec.val_max, rec.val_start);
        if (clamped != *v)
            c.note = name + ": " + value + " is outside " + std::to_string(rec.val_min) + ".." +
                     std::to_string(rec.val_max) + ", " + std::to_string(clamped) + " is sent";
    }
    }
    return c;
}

// ---- View ---------------------------------------------------------------------------

TCliView::TCliView(const TCmdTable& table) {
    LoadEdits(table);
}

void TCliView::LoadEdits(const TCmdTable& table) {
    for (int i = 0; i < kSlotCount; ++i)
        m_edits[static_cast<std::size_t>(i)] = LoadedEditText(table[static_cast<std::size_t>(i)]);
}

void TCliView::SetLog(std::FILE* log, bool transmissions) {
    m_log = log;
    m_transmissions = transmissions;
}

void TCliView::Log(std::string_view line) {
    if (m_log != nullptr)
        LogUtf8(EightBitToUtf8(line));
}

void TCliView::LogUtf8(std::string_view line) {
    if (m_log == nullptr)
        return;
    errno = 0;
    const bool written =
        std::fwrite(m_logPrefix.data(), 1, m_logPrefix.size(), m_log) == m_logPrefix.size() &&
        std::fwrite(line.data(), 1, line.size(), m_log) == line.size() &&
        std::fputc('\n', m_log) != EOF;
    if (!written && m_logError == 0)
        m_logError = errno != 0 ? errno : EIO;
}

void TCliView::AppendLog(std::string_view line) {
    // The engine's refusals; replies and time-outs never start this way.
    if (line.starts_with("ERROR: - ") || line == "COM is busy")
        m_lastError.assign(line);
    Log(line);
}

std::string TCliView::EditText(int index) const {
    return m_edits.at(static_cast<std::size_t>(index));
}

void TCliView::SetEditText(int index, std::string_view text) {
    m_edits.at(static_cast<std::size_t>(index)).assign(text);
}

void TCliView::ConvertError(const std::string& message) {
    m_lastError = message;
    Log(message);
}

void TCliView::ReplyProcessed(int slot, std::string_view value) {
    if (onReply)
        onReply(slot, value);
}

void TCliView::ReplyTimedOut(int slot) {
    if (onTimeout)
        onTimeout(slot);
}

void TCliView::ReplyLate(int slot, std::string_view value) {
    if (onLate)
        onLate(slot, value);
}

// ---- Runner -------------------------------------------------------------------------

TLinkRunner::TLinkRunner(const TCmdTable& table, TRequestEngine& engine, TCliView& view)
    : m_table(table), m_engine(engine), m_view(view) {
    // Results are reported per slot: a reply counts only for the request it
    // names. A reply or time-out the engine gives a request is then always
    // for the request sent last, which is the runner's current one.
    m_engine.SetMatchReplies(true);
    m_view.onReply = [this](int slot, std::string_view value) {
        Record(slot, TResultStatus::Ok, value);
    };
    m_view.onTimeout = [this](int slot) { Record(slot, TResultStatus::Timeout, {}); };
    m_view.onLate = [this](int slot, std::string_view value) { RecordLate(slot, value); };
}

TLinkRunner::~TLinkRunner() {
    m_view.onReply = nullptr;
    m_view.onTimeout = nullptr;
    m_view.onLate = nullptr;
}

TLinkRunner::TClock::duration TLinkRunner::Elapsed() const {
    return (m_finished ? m_end : TClock::now()) - m_start;
}

void TLinkRunner::Begin(bool get) {
    m_get = get;
    m_pos = 0;
    m_results.clear();
    m_results.reserve(m_slots.size());
    m_error.clear();
    m_finished = false;
    m_stopping = false;
    m_start = TClock::now();
}

void TLinkRunner::GetAll() {
    m_slots.clear();
    Begin(true);
    StartRun();
}

void TLinkRunner::SetAll() {
    m_slots.clear();
    Begin(false);
    StartRun();
}

void TLinkRunner::StartRun() {
    m_view.ClearError();
    if (m_get)
        m_engine.GetAllParameters();
    else
        m_engine.SetAllParameters();
    if (!m_engine.ComBusy()) {
        // Refused with a log line, or no slot qualifies (no line).
        if (!m_view.LastError().empty())
            Fail(m_view.LastError());
        else
            Finish();
        return;
    }
    // The run's slots, read before any reply can have come. The frames of a
    // Set All carry the edits as they stand now: a slot's edit changes only
    // with the reply to that slot itself.
    const int count = m_engine.SeqLeft();
    m_slots.assign(m_engine.SeqSlots().begin(), m_engine.SeqSlots().begin() + count);
    m_set.assign(m_slots.size(), std::nullopt);
    m_sent.clear();
    for (const int i : m_slots) {
        const TCmdRecord& rec = m_table[static_cast<std::size_t>(i)];
        if (m_get || FrameValuePart(rec.cmd_type, false) == TValuePart::None)
            m_sent.emplace_back();
        else
            m_sent.emplace_back(m_view.EditText(i));
    }
}

void TLinkRunner::Get(const std::vector<int>& slots) {
    m_slots = slots;
    m_set.assign(m_slots.size(), std::nullopt);
    m_sent.assign(m_slots.size(), std::nullopt);
    Begin(true);
    if (m_slots.empty())
        Finish();
    else
        SendNext();
}

void TLinkRunner::Set(const std::vector<TSetRequest>& requests) {
    m_slots.clear();
    m_set.clear();
    for (const TSetRequest& r : requests) {
        m_slots.push_back(r.slot);
        m_set.emplace_back(r.text);
    }
    m_sent.assign(m_slots.size(), std::nullopt);
    Begin(false);
    if (m_slots.empty())
        Finish();
    else
        SendNext();
}

// The next slot as a single request: its Get or Set button.
void TLinkRunner::SendNext() {
    const int i = m_slots[m_pos];
    const TCmdRecord& rec = m_table[static_cast<std::size_t>(i)];
    if (!m_get) {
        if (m_set[m_pos]) {
            m_view.SetEditText(i, *m_set[m_pos]);
            m_engine.CommitCmdValue(i);
        }
        if (FrameValuePart(rec.cmd_type, false) != TValuePart::None)
            m_sent[m_pos] = m_view.EditText(i);
    }
    m_view.ClearError();
    if (m_get)
        m_engine.GetButtonClick(i);
    else
        m_engine.SetButtonClick(i);
    if (!m_engine.ComBusy())
        Fail(m_view.LastError().empty() ? std::string("the request was not sent")
                                        : m_view.LastError());
}

void TLinkRunner::Record(int slot, TResultStatus status, std::string_view value) {
    if (m_finished || m_pos >= m_slots.size() || slot != m_slots[m_pos])
        return; // a reply nobody waits for (the operation is over)
    TSlotResult r;
    r.slot = m_slots[m_pos];
    r.sent = m_sent[m_pos];
    r.value.assign(value);
    r.status = status;
    m_results.push_back(std::move(r));
    ++m_pos;
    if (m_pos >= m_slots.size() || m_stopping) {
        Finish();
        return;
    }
    // Within an unbroken run the engine has sent the next slot already.
    if (!m_engine.ComBusy())
        SendNext();
}

// The reply to a request that timed out: the value the target gave, never
// another slot's result.
void TLinkRunner::RecordLate(int slot, std::string_view value) {
    for (TSlotResult& r : m_results) {
        if (r.slot == slot && r.status == TResultStatus::Timeout) {
            r.status = TResultStatus::Late;
            r.value.assign(value);
            return;
        }
    }
}

std::vector<TSlotResult> TLinkRunner::AllResults() const {
    std::vector<TSlotResult> all = m_results;
    for (std::size_t pos = all.size(); pos < m_slots.size(); ++pos) {
        TSlotResult r;
        r.slot = m_slots[pos];
        r.status = TResultStatus::NotDone;
        all.push_back(std::move(r));
    }
    return all;
}

void TLinkRunner::Fail(std::string why) {
    m_error = std::move(why);
    Finish();
}

void TLinkRunner::Finish() {
    if (m_finished)
        return;
    m_finished = true;
    m_end = TClock::now();
    if (onFinished)
        onFinished();
}

void TLinkRunner::Stop() {
    if (m_finished)
        return;
    m_stopping = true;
    if (!m_engine.ComBusy()) {
        Finish();
        return;
    }
    // A run of the engine ends with the reply to the request in flight, as
    // when the operator presses a button during a run.
    m_engine.SetSeqLeft(1);
}

void TLinkRunner::Abort() {
    m_stopping = true;
    m_engine.SetSeqLeft(0);
    Finish();
}

} // namespace pmv::linkcli
