#include "app/link/WatchRun.h"

#include "app/link/Frame.h"
#include "config/IntText.h"

#include <charconv>
#include <cmath>
#include <utility>

namespace pmv {

namespace {

// While the engine is busy with someone else's request, look again this
// often (a reply or time-out of that request also wakes the watch at once).
constexpr int kBusyRetryMs = 20;

bool Passes(std::string_view line) {
    return line.starts_with("ERROR") || line.starts_with("WARNING");
}

} // namespace

const char* WatchStatusText(TWatchStatus status) {
    switch (status) {
    case TWatchStatus::Ok:
        return "ok";
    case TWatchStatus::TimedOut:
        return "timed out";
    case TWatchStatus::Late:
        return "late";
    }
    return "";
}

std::optional<double> WatchNumber(std::string_view value) {
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.remove_suffix(1);
    if (value.empty())
        return std::nullopt;
    if (const auto i = TryStrToInt(value))
        return double(*i);
    std::string_view digits = value;
    if (digits.front() == '+')
        digits.remove_prefix(1);
    double d = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), d);
    if (ec != std::errc() || end != digits.data() + digits.size() || !std::isfinite(d))
        return std::nullopt;
    return d;
}

std::string WatchRefusal(const TCmdTable& table, int slot) {
    if (slot < 0 || slot >= kSlotCount)
        return "slot " + std::to_string(slot + 1) + " does not exist (1 to 192)";
    const TCmdRecord& rec = table[slot];
    const std::string name = "slot " + std::to_string(slot + 1);
    if (rec.cmd_str.empty())
        return name + " is not defined";
    const std::string named = name + " (" + rec.cmd_str + ")";
    if (rec.cmd_type != ctParamGet && rec.cmd_type != ctParamGetSet)
        return named + " cannot be read: only readings and parameters with Get can be watched";
    if (rec.has(Disabled))
        return named + " is disabled";
    return {};
}

std::vector<int> WatchableSlots(const TCmdTable& table) {
    std::vector<int> found;
    for (int i = 0; i < kSlotCount; ++i)
        if (WatchRefusal(table, i).empty())
            found.push_back(i);
    return found;
}

// ---- The view in front of the owner's ---------------------------------------------------

bool TWatchView::Hides() const {
    return m_quiet && m_run && (m_run->m_own || m_run->m_inOwnReply);
}

void TWatchView::AppendLog(std::string_view line) {
    if (m_run && m_run->m_own && m_run->m_sending)
        m_run->m_refusal.assign(line);
    if (Hides() && !Passes(line))
        return;
    m_inner.AppendLog(line);
}

void TWatchView::ShowCount(TLinkCounter counter, int value) {
    if (counter == TLinkCounter::Tx && value > 0)
        ++m_frames;
    m_inner.ShowCount(counter, value);
}

void TWatchView::SetEditText(int index, std::string_view text) {
    if (m_run && m_run->m_inOwnReply)
        return; // a reading goes to the watch, not into the slot
    m_inner.SetEditText(index, text);
}

void TWatchView::ReplyReceived(int slot, std::string_view body) {
    if (m_run)
        m_run->Received(slot, body);
    m_inner.ReplyReceived(slot, body);
}

void TWatchView::ReplyProcessed(int slot, std::string_view value) {
    m_inner.ReplyProcessed(slot, value);
    if (m_run)
        m_run->Processed(slot, value);
}

void TWatchView::ReplyTimedOut(int slot) {
    m_inner.ReplyTimedOut(slot);
    if (m_run)
        m_run->TimedOut(slot);
}

void TWatchView::ReplyLate(int slot, std::string_view value) {
    m_inner.ReplyLate(slot, value);
    if (m_run)
        m_run->Late(slot, value);
}

void TWatchView::ReplyUnmatched(std::string_view body) {
    m_inner.ReplyUnmatched(body);
}

// ---- The watch --------------------------------------------------------------------------

TWatchRun::TWatchRun(const TCmdTable& table, TRequestEngine& engine, TWatchView& view)
    : m_table(table), m_engine(engine), m_view(view), m_timedOut(kSlotCount, false) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { Tick(); });
    m_view.Attach(this);
}

TWatchRun::~TWatchRun() {
    m_view.Attach(nullptr);
    if (m_own)
        m_engine.SetMatchReplies(m_matchedBefore);
}

std::string TWatchRun::Start(const std::vector<int>& watched, int periodMs) {
    if (m_running)
        return "the watch is running";
    if (watched.empty())
        return "no slot chosen";
    if (periodMs < 0 || periodMs > kMaxPeriodMs)
        return "the period must lie between 0 ms and 1 h";
    std::vector<bool> seen(kSlotCount, false);
    for (int s : watched) {
        std::string why = WatchRefusal(m_table, s);
        if (!why.empty())
            return why;
        if (seen[std::size_t(s)])
            return "slot " + std::to_string(s + 1) + " is chosen twice";
        seen[std::size_t(s)] = true;
    }
    m_slots = watched;
    m_periodMs = periodMs;
    m_running = true;
    m_stopping = false;
    m_pos = m_slots.size(); // the first cycle is due now
    m_due = TClock::now();
    m_cycles = m_samples = 0;
    m_timedOut.assign(kSlotCount, false);
    Later(0);
    return {};
}

void TWatchRun::Stop() {
    if (!m_running)
        return;
    m_stopping = true;
    if (!m_own)
        Finish({});
}

void TWatchRun::WhenFree(std::function<void()> action) {
    if (!m_own) {
        action();
        return;
    }
    m_deferred.push_back(std::move(action));
}

void TWatchRun::Later(int ms) {
    m_timer.start(ms);
}

void TWatchRun::Tick() {
    // The operator's actions that waited for the watch's request go first.
    while (!m_deferred.empty() && !m_own) {
        std::vector<std::function<void()>> actions = std::move(m_deferred);
        m_deferred.clear();
        for (auto& a : actions)
            a();
    }
    if (!m_running || m_own)
        return;
    if (m_stopping) {
        Finish({});
        return;
    }
    if (m_pos >= m_slots.size()) {
        const TClock::time_point now = TClock::now();
        if (now < m_due) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(m_due - now);
            Later(int(wait.count()));
            return;
        }
        if (onCycle) {
            onCycle(m_due);
            if (!m_running || m_stopping) { // stopped there: no new cycle
                if (m_running)
                    Finish({});
                return;
            }
        }
        ++m_cycles;
        m_pos = 0;
        m_due += std::chrono::milliseconds(m_periodMs);
        if (m_due < now)
            m_due = now; // the cycle came late: the next follows it at once
    }
    SendNext();
}

void TWatchRun::SendNext() {
    if (m_engine.ComBusy()) {
        Later(kBusyRetryMs); // paused: someone else's request or run
        return;
    }
    const int slot = m_slots[m_pos];
    if (std::string why = WatchRefusal(m_table, slot); !why.empty()) {
        Finish(why); // the slot was changed while watched
        return;
    }
    m_matchedBefore = m_engine.MatchReplies();
    m_engine.SetMatchReplies(true);
    const unsigned long before = m_view.Frames();
    m_own = true;
    m_ownSlot = slot;
    m_sending = true;
    m_refusal.clear();
    m_engine.GetButtonClick(slot);
    m_sending = false;
    if (m_view.Frames() == before) {
        // Refused (the port closed); the engine has logged why.
        EndOwn();
        Finish(m_refusal.empty() ? "a request was not sent" : m_refusal);
        return;
    }
    m_ownFrame = m_view.Frames();
    ++m_pos;
}

void TWatchRun::EndOwn() {
    m_own = false;
    m_engine.SetMatchReplies(m_matchedBefore);
}

void TWatchRun::Finish(const std::string& why) {
    m_running = false;
    m_stopping = false;
    m_timer.stop();
    if (onStopped)
        onStopped(why);
}

void TWatchRun::Emit(int slot, std::string_view value, TWatchStatus status) {
    m_timedOut[std::size_t(slot)] = status == TWatchStatus::TimedOut;
    m_sample.time = std::chrono::system_clock::now();
    m_sample.slot = slot;
    m_sample.word.assign(m_table[slot].cmd_str);
    m_sample.value.assign(value);
    m_sample.number = status == TWatchStatus::TimedOut ? std::nullopt : WatchNumber(value);
    m_sample.status = status;
    ++m_samples;
    for (const TListener& l : m_listeners)
        l(m_sample);
}

// After the watch's request timed out and the engine went back to the
// window's rule, its reply may still come while nothing else was sent: the
// engine gives it to the slot sent last, the watch's. It is the slot's late
// reading only when it names the slot's command.
bool TWatchRun::OwnLateReply(int slot, std::string_view body) const {
    return !m_own && slot == m_ownSlot && m_view.Frames() == m_ownFrame &&
           m_timedOut[std::size_t(slot)] && ReplyName(body) == m_table[slot].cmd_str;
}

void TWatchRun::Received(int slot, std::string_view body) {
    // While the watch's request is outstanding the engine matches, so any
    // reply it processes as an answer is that request's.
    if (m_own || OwnLateReply(slot, body)) {
        m_inOwnReply = true;
        m_body.assign(body);
    }
}

void TWatchRun::Processed(int slot, std::string_view value) {
    if (!m_inOwnReply) {
        EngineDone();
        return;
    }
    m_inOwnReply = false;
    if (m_own) {
        EndOwn();
        Emit(slot, value, TWatchStatus::Ok);
    } else {
        Emit(slot, value, TWatchStatus::Late);
    }
    Later(0);
}

void TWatchRun::TimedOut(int slot) {
    if (!m_own) {
        EngineDone();
        return;
    }
    EndOwn();
    Emit(slot, {}, TWatchStatus::TimedOut);
    Later(0);
}

void TWatchRun::Late(int slot, std::string_view value) {
    if (slot >= 0 && slot < kSlotCount && m_timedOut[std::size_t(slot)])
        Emit(slot, value, TWatchStatus::Late);
}

void TWatchRun::EngineDone() {
    if (m_running && !m_own)
        Later(0);
}

} // namespace pmv
