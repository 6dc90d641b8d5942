#include "app/link/CompareRun.h"

#include "app/link/Frame.h"

#include <utility>

namespace pmv {

// ---- The view in front of the owner's ---------------------------------------------------

void TRunView::Capture(bool on) {
    m_capture = on;
    if (on)
        m_lastLine.clear();
}

void TRunView::AppendLog(std::string_view line) {
    if (m_capture)
        m_lastLine.assign(line);
    m_inner.AppendLog(line);
}

void TRunView::ShowCount(TLinkCounter counter, int value) {
    // A reset shows 0; every frame sent shows its new count.
    if (counter == TLinkCounter::Tx && value > 0)
        ++m_frames;
    m_inner.ShowCount(counter, value);
}

std::string TRunView::EditText(int index) const {
    std::string text;
    if (m_run && m_run->EditText(index, text))
        return text;
    return m_inner.EditText(index);
}

void TRunView::SetEditText(int index, std::string_view text) {
    if (m_inReply && m_run && m_run->HoldsEdit())
        return;
    m_inner.SetEditText(index, text);
}

void TRunView::ReplyReceived(int slot, std::string_view body) {
    m_inReply = true;
    if (m_run)
        m_run->Received(slot, body);
    m_inner.ReplyReceived(slot, body);
}

void TRunView::ReplyProcessed(int slot, std::string_view value) {
    m_inReply = false;
    m_inner.ReplyProcessed(slot, value);
    if (m_run)
        m_run->Processed(slot, value);
}

void TRunView::ReplyTimedOut(int slot) {
    m_inner.ReplyTimedOut(slot);
    if (m_run)
        m_run->TimedOut(slot);
}

void TRunView::ReplyLate(int slot, std::string_view value) {
    m_inner.ReplyLate(slot, value);
    if (m_run)
        m_run->Late(slot, value);
}

void TRunView::ReplyUnmatched(std::string_view body) {
    m_inner.ReplyUnmatched(body);
    if (m_run)
        m_run->CountUnmatched();
}

// ---- The run ----------------------------------------------------------------------------

TCompareRun::TCompareRun(const TCmdTable& table, TRequestEngine& engine, TRunView& view)
    : m_table(table), m_engine(engine), m_view(view) {
    m_view.Attach(this);
}

TCompareRun::~TCompareRun() {
    m_view.Attach(nullptr);
}

const TCmdRecord& TCompareRun::RowRecord(int row) const {
    return m_table[m_cmp->Rows()[static_cast<std::size_t>(row)].slot];
}

bool TCompareRun::Read(TSetComparison& comparison, std::vector<int> rows) {
    if (rows.empty())
        for (int r = 0; r < static_cast<int>(comparison.Rows().size()); ++r)
            rows.push_back(r);
    if (m_running)
        return Start(comparison, {}); // refused
    std::vector<TStep> steps;
    for (int r : rows) {
        comparison.Clear(r);
        steps.push_back({TStepKind::Get, r});
    }
    return Start(comparison, std::move(steps));
}

bool TCompareRun::Send(TSetComparison& comparison, const std::vector<int>& rows,
                       std::function<bool()> beforeWrite) {
    std::vector<TStep> reads, writes;
    for (int r : rows) {
        const TCompareRow& row = comparison.Rows()[static_cast<std::size_t>(r)];
        if (!IsSendableSlot(m_table[row.slot])) {
            comparison.SetNote(r, "not sent: no Set");
            continue;
        }
        const bool known = row.status == TCompareStatus::Same ||
                           row.status == TCompareStatus::Differs ||
                           row.status == TCompareStatus::Late;
        if (!known)
            reads.push_back({TStepKind::Get, r});
        writes.push_back({TStepKind::Set, r});
        writes.push_back({TStepKind::Get, r});
    }
    if (writes.empty()) {
        m_error = "nothing to send";
        return false;
    }
    reads.push_back({TStepKind::Write, -1});
    reads.insert(reads.end(), writes.begin(), writes.end());
    m_beforeWrite = std::move(beforeWrite);
    return Start(comparison, std::move(reads));
}

bool TCompareRun::Start(TSetComparison& comparison, std::vector<TStep> steps) {
    m_error.clear();
    if (m_running) {
        m_error = "a comparison is running";
        return false;
    }
    if (m_engine.ComBusy()) {
        m_error = "COM is busy";
        return false;
    }
    m_cmp = &comparison;
    m_steps = std::move(steps);
    m_pos = 0;
    m_running = true;
    m_stopping = false;
    m_waiting = false;
    m_matchedBefore = m_engine.MatchReplies();
    m_engine.SetMatchReplies(true);
    m_gets = m_sets = 0;
    m_unmatched = 0;
    Next();
    return true;
}

void TCompareRun::Next() {
    while (m_running) {
        if (m_stopping || m_pos >= m_steps.size()) {
            Finish();
            return;
        }
        const TStep& s = m_steps[m_pos];
        if (s.kind == TStepKind::Write) {
            if (m_beforeWrite && !m_beforeWrite()) {
                m_error = "nothing sent";
                Finish();
                return;
            }
            ++m_pos;
            continue;
        }
        const int slot = m_cmp->Rows()[static_cast<std::size_t>(s.row)].slot;
        const unsigned long before = m_view.Frames();
        m_view.Capture(true);
        if (s.kind == TStepKind::Set) {
            m_sendingSlot = slot;
            m_engine.SetButtonClick(slot);
            m_sendingSlot = -1;
        } else {
            m_engine.GetButtonClick(slot);
        }
        m_view.Capture(false);
        if (m_view.Frames() == before) {
            // Refused: the port closed, the slot emptied, a value that does
            // not convert. The engine has logged why.
            m_error = m_view.LastLine().empty() ? "a request was not sent" : m_view.LastLine();
            Finish();
            return;
        }
        ++(s.kind == TStepKind::Set ? m_sets : m_gets);
        m_ownFrame = m_view.Frames();
        m_waiting = true;
        return;
    }
}

void TCompareRun::Stop() {
    m_stopping = true;
    if (m_running && !m_waiting)
        Finish();
}

void TCompareRun::Forget() {
    if (m_running)
        m_engine.SetMatchReplies(m_matchedBefore);
    m_stopping = true;
    m_running = m_waiting = false;
    m_cmp = nullptr;
}

void TCompareRun::Finish() {
    m_running = m_waiting = false;
    m_engine.SetMatchReplies(m_matchedBefore);
    if (onFinished)
        onFinished();
}

void TCompareRun::Done(std::string_view value, bool answered) {
    m_waiting = false;
    const TStep& s = m_steps[m_pos];
    if (s.kind == TStepKind::Get) {
        if (answered)
            m_cmp->SetValue(s.row, value);
        else
            m_cmp->SetStatus(s.row, TCompareStatus::TimedOut);
    } else if (!answered) {
        m_cmp->SetNote(s.row, "no reply to the Set");
    } else {
        m_cmp->SetNote(s.row, value == "ERR" ? "refused (ERR)" : "sent");
    }
    if (onRow)
        onRow(s.row);
    ++m_pos;
    Next();
}

bool TCompareRun::EditText(int index, std::string& text) const {
    if (index != m_sendingSlot || index < 0)
        return false;
    text = std::to_string(m_table[index].val_start);
    return true;
}

bool TCompareRun::HoldsEdit() const {
    return m_ownFrame != 0 && m_view.Frames() == m_ownFrame;
}

void TCompareRun::Received(int, std::string_view body) {
    m_lastReplyAt = std::chrono::steady_clock::now();
    m_body.assign(body);
}

void TCompareRun::Processed(int, std::string_view value) {
    if (!m_cmp)
        return;
    // While the run matches, the engine processes only the answer to the
    // request outstanding: the run's.
    if (m_running) {
        if (m_waiting)
            Done(value, true);
        return;
    }
    // After the run, the slot sent last takes any reply. One that names
    // another row, whose request timed out, is that row's late value.
    if (m_view.Frames() != m_ownFrame)
        return; // someone else's request was sent since
    const std::string_view name = ReplyName(m_body);
    const std::vector<TCompareRow>& rows = m_cmp->Rows();
    for (std::size_t r = 0; r < rows.size(); ++r) {
        if (rows[r].status == TCompareStatus::TimedOut && m_table[rows[r].slot].cmd_str == name) {
            Late(rows[r].slot, value);
            return;
        }
    }
}

void TCompareRun::TimedOut(int) {
    if (m_running && m_waiting && m_view.Frames() == m_ownFrame)
        Done({}, false);
}

void TCompareRun::Late(int slot, std::string_view value) {
    const int row = m_cmp ? m_cmp->RowOf(slot) : -1;
    if (row < 0 ||
        m_cmp->Rows()[static_cast<std::size_t>(row)].status != TCompareStatus::TimedOut) {
        CountUnmatched();
        return;
    }
    m_cmp->SetLate(row, value);
    if (onRow)
        onRow(row);
}

void TCompareRun::CountUnmatched() {
    ++m_unmatched;
}

} // namespace pmv
