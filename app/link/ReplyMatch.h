// Which request a reply answers.
//
// The wire carries no sequence number. What ties a reply to its request is
// the name the target echoes (the body before " = ", ReplyName) and the time
// the reply comes: while its request is outstanding, or after it timed out.
// The window keeps the design's rule, a reply belongs to the slot sent last,
// and only warns when the name differs. Programs that report values (the
// command-line link, and any view that lists values per slot) let the
// request engine match instead (TRequestEngine::SetMatchReplies):
//
//   Answer     the name is the outstanding request's command string: the
//              reply is that request's result;
//   Late       else the name is the command string of a request that timed
//              out and has had no reply since (the oldest such request): the
//              reply is that request's, too late to be its result;
//   Unmatched  anything else (a reply left by an earlier program, a second
//              reply, an unsolicited line): no request's.
//
// A value is therefore never reported under a slot whose command string is
// not the name the target gave it. Plain C++, no widgets; all calls come
// from the thread that runs the engine.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace pmv {

enum class TReplyMatch { Answer, Late, Unmatched };

struct TReplyVerdict {
    TReplyMatch match = TReplyMatch::Unmatched;
    int slot = -1; // the slot whose request it answers (Answer, Late)
};

class TReplyMatcher {
public:
    // Requests that timed out are remembered up to this number, the oldest
    // forgotten first: one run of every slot fits.
    static constexpr std::size_t kMaxTimedOut = 192;

    // A request for slot, whose command string is word, has gone out.
    void Sent(int slot, std::string_view word);
    // The outstanding request timed out; its reply may still come.
    void TimedOut();
    // A complete reply with this body has come. An Answer ends the
    // outstanding request; a Late reply ends the wait for that request.
    TReplyVerdict Match(std::string_view body);

    bool Outstanding() const { return m_outstanding; }
    std::size_t TimedOutCount() const { return m_timedOut.size(); }

private:
    struct TRequest {
        int slot = -1;
        std::string word;
    };
    bool m_outstanding = false;
    TRequest m_current;
    std::deque<TRequest> m_timedOut;
};

} // namespace pmv
