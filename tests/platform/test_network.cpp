// Network port names, and the Telnet parser of network ports: one table of
// received streams, each fed whole and one byte at a time, with the data,
// answers and serial port state expected; its bounds; and the commands it
// builds.
#include "platform/NetPort.h"
#include "platform/posix/port_p.h"
#include "platform/posix/telnet_p.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <unistd.h>

using pmv::platform::detail::TTelnetParser;
using namespace std::string_literals; // the streams hold NUL bytes

namespace {

struct Fed {
    std::string data, replies;
    TTelnetParser parser;
};

Fed Feed(const std::string& in, bool bytewise) {
    Fed f;
    (void)f.parser.Greeting();
    std::string out(in.size(), '\0');
    const auto* p = reinterpret_cast<const std::uint8_t*>(in.data());
    auto* o = reinterpret_cast<std::uint8_t*>(out.data());
    std::size_t k = 0;
    if (bytewise)
        for (std::size_t i = 0; i < in.size(); ++i)
            k += f.parser.Feed(p + i, 1, o + k);
    else
        k = f.parser.Feed(p, in.size(), o);
    f.data = out.substr(0, k);
    f.replies = f.parser.Replies();
    return f;
}

TEST(TelnetParser, ReceivedStreams) {
    struct Row {
        const char* why;
        std::string in, data, replies;
        unsigned modem = 0, breaks = 0, frames = 0;
    } rows[] = {
        {"plain bytes pass", "QXSPD = 1500\r", "QXSPD = 1500\r", ""},
        {"a doubled 0xFF is one data byte",
         "a\xFF\xFF"
         "b",
         "a\xFF"
         "b",
         ""},
        {"the server agrees to the offered port option: no answer", "\xFF\xFD\x2C", "", ""},
        {"binary acknowledged: no answer", "\xFF\xFB\x00\xFF\xFD\x00"s, "", ""},
        {"echo asked of this side is refused", "\xFF\xFD\x01", "", "\xFF\xFC\x01"},
        {"echo offered by the server is refused", "\xFF\xFB\x01", "", "\xFF\xFE\x01"},
        {"an option withdrawn that was never on: no answer", "\xFF\xFC\x05", "", ""},
        {"modem state notified", "\xFF\xFA\x2C\x6B\xB3\xFF\xF0x", "x", "", 0xB0},
        {"an escaped 0xFF inside the notification", "\xFF\xFA\x2C\x6B\xFF\xFF\xFF\xF0", "", "",
         0xF0},
        {"line state: a break and a framing error", "\xFF\xFA\x2C\x6A\x18\xFF\xF0", "", "", 0, 1,
         1},
        {"an over-long subnegotiation is dropped whole",
         "\xFF\xFA\x2C\x6B" + std::string(200, '\x10') + "\xFF\xF0z", "z", ""},
        {"other commands carry nothing",
         "a\xFF\xF1"
         "b\xFF\xF9",
         "ab", ""},
        {"CR NUL is a CR outside binary mode", "a\r\0b"s, "a\rb", ""},
        {"CR NUL stays once the server sends binary", "\xFF\xFB\x00"s + "a\r\0b"s, "a\r\0b"s, ""},
    };
    for (const Row& row : rows) {
        for (const bool bytewise : {false, true}) {
            SCOPED_TRACE(std::string(row.why) + (bytewise ? ", byte by byte" : ", whole"));
            const Fed f = Feed(row.in, bytewise);
            EXPECT_EQ(f.data, row.data);
            EXPECT_EQ(f.replies, row.replies);
            EXPECT_EQ(f.parser.ModemState(), row.modem);
            EXPECT_EQ(f.parser.Breaks(), row.breaks);
            EXPECT_EQ(f.parser.FrameErrors(), row.frames);
        }
    }
}

TEST(TelnetParser, AnswersStayBoundedAndTheOptionStateHolds) {
    std::string flood;
    for (int i = 0; i < 5000; ++i)
        flood += "\xFF\xFD\x18"; // DO TERMINAL-TYPE, again and again
    const Fed f = Feed(flood + "\xFF\xFD\x2C", false);
    EXPECT_LE(f.replies.size(), TTelnetParser::kMaxReplies);
    EXPECT_TRUE(f.parser.ComPortAgreed());
    EXPECT_EQ(f.parser.ModemChanges()[0], 0u);
}

TEST(TelnetParser, CommandsDoubleTheirFFBytes) {
    const std::uint8_t baud[] = {0x00, 0x01, 0xFF, 0x00};
    EXPECT_EQ(TTelnetParser::ComPortCommand(1, baud, 4),
              "\xFF\xFA\x2C\x01\x00\x01\xFF\xFF\x00\xFF\xF0"s);
}

TEST(NetPortNames, ParsedOrRefusedWithAReason) {
    struct Row {
        const char* name;
        bool ok, rfc2217 = false;
        const char* host = "";
        const char* port = "";
    } rows[] = {
        {"rfc2217://192.0.2.7:4001", true, true, "192.0.2.7", "4001"},
        {"tcp://[2001:db8::1]:23", true, false, "2001:db8::1", "23"},
        {"tcp://bench-server.local:65535", true, false, "bench-server.local", "65535"},
        {"tcp://2001:db8::1:23", false}, // IPv6 without brackets
        {"tcp://host", false},           // no port
        {"tcp://host:0", false},         //
        {"tcp://host:65536", false},     //
        {"tcp://host:04001", false},     // a leading zero
        {"tcp://:4001", false},          // no host
        {"tcp://ho st:4001", false},     //
        {"telnet://host:23", false},     // another scheme
        {"rfc2217://[::1:4001", false},  // bracket not closed
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string why;
        const auto a = pmv::platform::ParseNetPort(row.name, &why);
        ASSERT_EQ(a.has_value(), row.ok) << why;
        if (!row.ok) {
            EXPECT_EQ(why.rfind(std::string("'") + row.name + "' is no network port: ", 0), 0u)
                << why;
            continue;
        }
        EXPECT_EQ(a->rfc2217, row.rfc2217);
        EXPECT_EQ(a->host, row.host);
        EXPECT_EQ(a->port, row.port);
    }
}

// The RFC 2217 transport over a socket pair, the test playing the server.
TEST(NetTransport, EscapesDataAnswersOptionsAndSendsLineSettings) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv), 0);
    int err = -1;
    auto io = pmv::platform::detail::MakeNetTransport(sv[0], true, &err);
    ASSERT_EQ(err, 0);
    const auto take = [&] {
        char buf[512];
        const ssize_t n = ::read(sv[1], buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
    };
    EXPECT_EQ(take().substr(0, 15), TTelnetParser().Greeting());

    const std::string data = "a\xFF"
                             "b"s;
    EXPECT_EQ(io->Write(reinterpret_cast<const BYTE*>(data.data()), data.size()), 3);
    EXPECT_EQ(take(), "a\xFF\xFF"
                      "b"s);

    const std::string in = "x\xFF\xFFy\xFF\xFB\x01"s; // data, then WILL ECHO
    ASSERT_EQ(::write(sv[1], in.data(), in.size()), static_cast<ssize_t>(in.size()));
    BYTE got[16];
    ASSERT_EQ(io->Read(got, sizeof got), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 3), "x\xFFy"s);
    EXPECT_EQ(take(), "\xFF\xFE\x01"s); // DONT ECHO

    DCB d{};
    d.BaudRate = 19200;
    d.ByteSize = 7;
    d.Parity = EVENPARITY;
    d.StopBits = TWOSTOPBITS;
    ASSERT_EQ(io->SetState(d), 0);
    const std::uint8_t baud[] = {0, 0, 0x4B, 0}, size = 7, parity = 3, stop = 2, flow = 1;
    EXPECT_EQ(take(), TTelnetParser::ComPortCommand(1, baud, 4) +
                          TTelnetParser::ComPortCommand(2, &size, 1) +
                          TTelnetParser::ComPortCommand(3, &parity, 1) +
                          TTelnetParser::ComPortCommand(4, &stop, 1) +
                          TTelnetParser::ComPortCommand(5, &flow, 1));
    io.reset();
    EXPECT_EQ(take(), ""); // closed
    ::close(sv[1]);
}

} // namespace
