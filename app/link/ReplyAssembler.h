// Turns the received byte stream, one byte at a time, into reply lines and
// stray (unframed) bytes.
//
//   rxHunt   --Q-->  rxPrefix  --X (clears RxLine)-->  rxBody  --CR-->  rxHunt
//   rxHunt   other byte: unframed
//   rxPrefix other byte: dropped silently
//   rxBody   other byte: appended to RxLine
//
// RxLine is bounded: a body that grows past kMaxRxLine bytes without a carriage
// return (a broken or noisy line) is dropped, the assembler goes back to
// rxHunt and the overflow is reported, so memory stays bounded whatever the
// line delivers. Legal replies are a few dozen bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pmv {

enum TRxState { rxHunt, rxPrefix, rxBody };

// Outcome of one received byte.
enum class TRxEvent {
    None,     // nothing visible
    Unframed, // a byte outside any reply (only in rxHunt)
    Reply,    // a complete reply; its body is Line()
    Overflow, // the body grew past kMaxRxLine and was dropped with this byte
};

class TReplyAssembler {
public:
    static constexpr std::size_t kMaxRxLine = 1024;

    TReplyAssembler() { m_line.reserve(kMaxRxLine); }

    // Feeds one byte. On Reply the state is already back at rxHunt and Line()
    // holds the body until the next prefix.
    TRxEvent Feed(std::uint8_t ch) {
        switch (m_state) {
        case rxHunt:
            if (ch == 'Q') {
                m_state = rxPrefix;
                return TRxEvent::None;
            }
            return TRxEvent::Unframed;
        case rxPrefix:
            if (ch == 'X') {
                m_line.clear();
                m_state = rxBody;
            }
            return TRxEvent::None;
        case rxBody:
            if (ch == 0x0D) {
                m_state = rxHunt;
                return TRxEvent::Reply;
            }
            if (m_line.size() >= kMaxRxLine) {
                m_line.clear();
                m_state = rxHunt;
                ++m_overflowCount;
                return TRxEvent::Overflow;
            }
            m_line.push_back(static_cast<char>(ch));
            return TRxEvent::None;
        }
        return TRxEvent::None;
    }

    // Back to waiting for Q (the reply time-out); the line keeps its content.
    void Hunt() { m_state = rxHunt; }

    TRxState State() const { return m_state; }
    std::string_view Line() const { return m_line; }
    // Bodies dropped for being too long since construction.
    unsigned OverflowCount() const { return m_overflowCount; }

private:
    TRxState m_state = rxHunt;
    std::string m_line;
    unsigned m_overflowCount = 0;
};

} // namespace pmv
