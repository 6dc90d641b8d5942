// Which request a reply answers. The request engine gives every reply to the
// slot sent last, so a reply that comes after its time-out reaches whatever
// was sent next. A run that must never take one slot's value for another's
// asks a check before it believes a reply.
#pragma once

#include "config/CmdRecord.h"

#include <string_view>

namespace pmv {

class TReplyCheck {
public:
    virtual ~TReplyCheck() = default;
    // True when body (a reply's body, without "QX" and CR) answers a request
    // for rec.
    virtual bool Answers(const TCmdRecord& rec, std::string_view body) const = 0;
};

// The target names what it answers: the body's name (the text before the
// first " = ", or the whole body) is the request's command word.
class TNameCheck : public TReplyCheck {
public:
    bool Answers(const TCmdRecord& rec, std::string_view body) const override {
        const std::size_t eq = body.find(" = ");
        return body.substr(0, eq) == rec.cmd_str;
    }
};

} // namespace pmv
