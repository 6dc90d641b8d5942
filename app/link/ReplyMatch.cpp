#include "app/link/ReplyMatch.h"

#include "app/link/Frame.h"

#include <algorithm>

namespace pmv {

void TReplyMatcher::Sent(int slot, std::string_view word) {
    m_current.slot = slot;
    m_current.word.assign(word); // reuses its capacity
    m_outstanding = true;
}

void TReplyMatcher::TimedOut() {
    if (!m_outstanding)
        return;
    m_outstanding = false;
    if (m_timedOut.size() == kMaxTimedOut)
        m_timedOut.pop_front();
    m_timedOut.push_back(m_current);
}

TReplyVerdict TReplyMatcher::Match(std::string_view body) {
    const std::string_view name = ReplyName(body);
    if (m_outstanding && name == m_current.word) {
        m_outstanding = false;
        return {TReplyMatch::Answer, m_current.slot};
    }
    const auto late = std::find_if(m_timedOut.begin(), m_timedOut.end(),
                                   [&](const TRequest& r) { return r.word == name; });
    if (late == m_timedOut.end())
        return {};
    const TReplyVerdict v{TReplyMatch::Late, late->slot};
    m_timedOut.erase(late);
    return v;
}

} // namespace pmv
