// The record of the line's traffic: rows per frame and per received burst,
// the bound, and the texts the traffic window shows.
#include "app/link/Traffic.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace pmv;
using namespace std::chrono_literals;

namespace {

// One event at a time in milliseconds: 'T' a frame sent, 'R' bytes received
// one by one at ms, ms + 1, ...
struct TEvent {
    char kind;
    int ms;
    std::string bytes;
};

// The rows as "TX:bytes" / "RX:bytes".
std::vector<std::string> Rows(const TTrafficLog& log) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < log.Size(); ++i)
        out.push_back((log.Row(i).direction == TTrafficDirection::Tx ? "TX:" : "RX:") +
                      log.Row(i).bytes);
    return out;
}

} // namespace

TEST(TrafficLog, RowsPerFrameAndPerBurst) {
    const std::string big(300, 'x');
    struct Row {
        const char* name;
        std::size_t maxRows;
        std::vector<TEvent> events;
        std::vector<std::string> rows;
        std::uint64_t dropped;
    } rows[] = {
        // clang-format off
        {"a request and its reply", 10, {{'T', 0, "QXSPD\r"}, {'R', 5, "QXSPD = 1\r"}},
         {"TX:QXSPD\r", "RX:QXSPD = 1\r"}, 0},
        {"a carriage return ends the burst", 10, {{'R', 0, "QXA\rQXB\r"}},
         {"RX:QXA\r", "RX:QXB\r"}, 0},
        {"a pause ends the burst", 10, {{'R', 0, "QX"}, {'R', 100, "A\r"}},
         {"RX:QX", "RX:A\r"}, 0},
        {"bytes close together are one row", 10, {{'R', 0, "QX"}, {'R', 20, "A\r"}},
         {"RX:QXA\r"}, 0},
        {"a frame sent ends the burst", 10, {{'R', 0, "ab"}, {'T', 2, "QXB\r"}, {'R', 3, "cd"}},
         {"RX:ab", "TX:QXB\r", "RX:cd"}, 0},
        {"a clock that goes back ends the burst", 10, {{'R', 50, "ab"}, {'R', 10, "cd"}},
         {"RX:ab", "RX:cd"}, 0},
        {"the newest rows are kept", 2, {{'T', 0, "1"}, {'T', 1, "2"}, {'T', 2, "3"}},
         {"TX:2", "TX:3"}, 1},
        {"a long frame takes several rows", 10, {{'T', 0, big}},
         {"TX:" + big.substr(0, 256), "TX:" + big.substr(256)}, 0},
        {"a long burst takes several rows", 10, {{'R', 0, big}},
         {"RX:" + big.substr(0, 256), "RX:" + big.substr(256)}, 0},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TTrafficLog log(row.maxRows);
        int changes = 0;
        log.SetOnChange([&] { ++changes; });
        const TTrafficLog::TClock::time_point t0{};
        int events = 0;
        for (const TEvent& e : row.events) {
            if (e.kind == 'T') {
                log.Sent(reinterpret_cast<const std::uint8_t*>(e.bytes.data()), e.bytes.size(),
                         t0 + std::chrono::milliseconds(e.ms));
                ++events;
                continue;
            }
            for (std::size_t i = 0; i < e.bytes.size(); ++i, ++events)
                log.Received(static_cast<std::uint8_t>(e.bytes[i]),
                             t0 + std::chrono::milliseconds(e.ms + int(i)));
        }
        EXPECT_EQ(Rows(log), row.rows);
        EXPECT_EQ(log.Dropped(), row.dropped);
        EXPECT_EQ(changes, events);
    }
}

TEST(TrafficLog, TextsOfARow) {
    EXPECT_EQ(TTrafficLog::Hex(std::string("QX\r\0\xFF", 5)), "51 58 0D 00 FF");
    EXPECT_EQ(TTrafficLog::Printable(std::string("QX\r\0\xFF~ ", 7)), "QX...~ ");
    const TTrafficLog::TClock::time_point t = TTrafficLog::TClock::from_time_t(86399) + 7ms;
    const std::string time = TTrafficLog::TimeText(t);
    ASSERT_EQ(time.size(), 12u) << time;
    EXPECT_EQ(time.substr(5), ":59.007"); // hour and minute depend on the time zone

    TTrafficLog log;
    log.Sent(reinterpret_cast<const std::uint8_t*>("QXA\r"), 4, t);
    log.Received('Q', t);
    EXPECT_EQ(log.Lines(0, 5), time + "\tTX\t51 58 41 0D\tQXA.\n" + time + "\tRX\t51\tQ\n");
    log.Clear();
    EXPECT_EQ(log.Size(), 0u);
    EXPECT_EQ(log.Added(), 0u);
}
