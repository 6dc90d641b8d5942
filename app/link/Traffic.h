// What went over the serial line, byte for byte, for the traffic window.
//
// The port link taps both directions while a traffic log is attached
// (TPortLink::SetTraffic): each frame the port component accepts becomes a TX
// row, and the received bytes, one at a time as OnRxChar delivers them, are
// gathered into RX rows, one per burst. A received byte joins the RX row
// before it when
//   - that row is the newest row (no frame was sent in between),
//   - its last byte is not a carriage return (a reply ends its row),
//   - it came at most kBurstGap after the byte before it, and
//   - the row holds fewer than kMaxRowBytes bytes;
// otherwise it starts a new row. A frame longer than kMaxRowBytes takes
// several rows. The log keeps the newest maxRows rows and counts the ones it
// dropped, so that its memory stays bounded (10,000 rows of at most 256 bytes).
//
// Times are the wall clock of the first byte of a row, given by the caller
// (the link reads the clock, tests give their own). A clock that goes back
// ends the burst.
//
// Plain C++, no widgets; used on the thread that runs the port's events.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

namespace pmv {

enum class TTrafficDirection { Tx, Rx };

struct TTrafficRow {
    std::chrono::system_clock::time_point time; // of the row's first byte
    TTrafficDirection direction = TTrafficDirection::Tx;
    std::string bytes;
};

class TTrafficLog {
public:
    using TClock = std::chrono::system_clock;
    static constexpr std::size_t kMaxRows = 10000;
    static constexpr std::size_t kMaxRowBytes = 256;
    static constexpr std::chrono::milliseconds kBurstGap{20};

    explicit TTrafficLog(std::size_t maxRows = kMaxRows) : m_maxRows(maxRows ? maxRows : 1) {}

    // A frame the port accepted for writing.
    void Sent(const std::uint8_t* data, std::size_t len, TClock::time_point time);
    // One received byte.
    void Received(std::uint8_t byte, TClock::time_point time);
    // Forgets every row and the counts.
    void Clear();

    // Rows kept, oldest first.
    std::size_t Size() const { return m_rows.size(); }
    const TTrafficRow& Row(std::size_t i) const { return m_rows[i]; }
    // Rows started since the last Clear (kept and dropped), and those dropped.
    std::uint64_t Added() const { return m_added; }
    std::uint64_t Dropped() const { return m_added - m_rows.size(); }

    // Called after every change (a frame, a byte, a clear); it must not
    // change the log. The traffic window schedules its refresh here.
    void SetOnChange(std::function<void()> onChange) { m_onChange = std::move(onChange); }

    // "51 58 0D"
    static std::string Hex(std::string_view bytes);
    // The bytes 0x20..0x7E as they are, every other byte as '.'.
    static std::string Printable(std::string_view bytes);
    // Local time to the millisecond: "23:41:07.123".
    static std::string TimeText(TClock::time_point time);
    // One line per row from..to-1: time, "TX" or "RX", hex, printable text,
    // separated by tabs; each line ends with a line feed.
    std::string Lines(std::size_t from, std::size_t to) const;

private:
    TTrafficRow& StartRow(TTrafficDirection direction, TClock::time_point time);
    void Changed() {
        if (m_onChange)
            m_onChange();
    }

    std::size_t m_maxRows;
    std::deque<TTrafficRow> m_rows;
    std::uint64_t m_added = 0;
    bool m_rxOpen = false; // the newest row is an RX row that may grow
    TClock::time_point m_lastRx;
    std::function<void()> m_onChange;
};

} // namespace pmv
