#include "app/link/Traffic.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace pmv {

TTrafficRow& TTrafficLog::StartRow(TTrafficDirection direction, TClock::time_point time) {
    if (m_rows.size() == m_maxRows)
        m_rows.pop_front();
    ++m_added;
    TTrafficRow& row = m_rows.emplace_back();
    row.time = time;
    row.direction = direction;
    return row;
}

void TTrafficLog::Sent(const std::uint8_t* data, std::size_t len, TClock::time_point time) {
    m_rxOpen = false;
    const char* bytes = reinterpret_cast<const char*>(data);
    for (std::size_t at = 0; at < len; at += kMaxRowBytes)
        StartRow(TTrafficDirection::Tx, time)
            .bytes.assign(bytes + at, std::min(kMaxRowBytes, len - at));
    Changed();
}

void TTrafficLog::Received(std::uint8_t byte, TClock::time_point time) {
    const auto gap = time - m_lastRx;
    const bool joins = m_rxOpen && !m_rows.empty() && m_rows.back().bytes.size() < kMaxRowBytes &&
                       gap >= TClock::duration::zero() && gap <= kBurstGap;
    TTrafficRow& row = joins ? m_rows.back() : StartRow(TTrafficDirection::Rx, time);
    row.bytes.push_back(static_cast<char>(byte));
    m_lastRx = time;
    m_rxOpen = byte != 0x0D;
    Changed();
}

void TTrafficLog::Clear() {
    m_rows.clear();
    m_added = 0;
    m_rxOpen = false;
    Changed();
}

std::string TTrafficLog::Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (!out.empty())
            out.push_back(' ');
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0F]);
    }
    return out;
}

std::string TTrafficLog::Printable(std::string_view bytes) {
    std::string out(bytes);
    for (char& c : out) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b > 0x7E)
            c = '.';
    }
    return out;
}

std::string TTrafficLog::TimeText(TClock::time_point time) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(time.time_since_epoch());
    const auto whole = floor<seconds>(ms);
    const std::time_t seconds = static_cast<std::time_t>(whole.count());
    const long milli = static_cast<long>((ms - whole).count());
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[48]; // room for what the compiler cannot rule out
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                  local.tm_sec, milli);
    return text;
}

std::string TTrafficLog::Lines(std::size_t from, std::size_t to) const {
    std::string out;
    for (std::size_t i = from; i < std::min(to, m_rows.size()); ++i) {
        const TTrafficRow& r = m_rows[i];
        out += TimeText(r.time);
        out += r.direction == TTrafficDirection::Tx ? "\tTX\t" : "\tRX\t";
        out += Hex(r.bytes);
        out += '\t';
        out += Printable(r.bytes);
        out += '\n';
    }
    return out;
}

} // namespace pmv
