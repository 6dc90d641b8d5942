// Turns the received byte stream, one byte at a time, into reply lines and
// stray (unframed) bytes.
//
//   rxHunt   --Q-->  rxPrefix  --X (clears RxLine)-->  rxBody  --CR-->  rxHunt
//   rxHunt   other byte: unframed
//   rxPrefix other byte: dropped silently
//   rxBody   other byte: appended to RxLine
//
// RxLine is bounded: a body that grows past MaxRxLine bytes without a carriage
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
    Overflow, // the body grew past MaxRxLine and was dropped with this byte
};

class TReplyAssembler {
public:
    static constexpr std::size_t MaxRxLine = 1024;

    TReplyAssembler() { FLine.reserve(MaxRxLine); }

    // Feeds one byte. On Reply the state is already back at rxHunt and Line()
    // holds the body until the next prefix.
    TRxEvent Feed(std::uint8_t ch) {
        switch (FState) {
        case rxHunt:
            if (ch == 'Q') {
                FState = rxPrefix;
                return TRxEvent::None;
            }
            return TRxEvent::Unframed;
        case rxPrefix:
            if (ch == 'X') {
                FLine.clear();
                FState = rxBody;
            }
            return TRxEvent::None;
        case rxBody:
            if (ch == 0x0D) {
                FState = rxHunt;
                return TRxEvent::Reply;
            }
            if (FLine.size() >= MaxRxLine) {
                FLine.clear();
                FState = rxHunt;
                ++FOverflowCount;
                return TRxEvent::Overflow;
            }
            FLine.push_back(static_cast<char>(ch));
            return TRxEvent::None;
        }
        return TRxEvent::None;
    }

    // Back to waiting for Q (the reply time-out); the line keeps its content.
    void Hunt() { FState = rxHunt; }

    TRxState State() const { return FState; }
    std::string_view Line() const { return FLine; }
    // Bodies dropped for being too long since construction.
    unsigned OverflowCount() const { return FOverflowCount; }

private:
    TRxState FState = rxHunt;
    std::string FLine;
    unsigned FOverflowCount = 0;
};

} // namespace pmv
