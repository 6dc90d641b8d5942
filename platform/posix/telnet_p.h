// Internal: the Telnet side of a network serial port (RFC 854 framing, the
// option negotiation, and the serial port option of RFC 2217).
//
// Bytes from the network go through Feed, which hands back the data bytes
// (an escaped 0xFF becomes one 0xFF) and keeps what the server said about
// its serial port: the modem lines it notifies and counters of the line
// errors it reports. What the parser must answer (option replies) collects
// in Replies() for the caller to send. The state is bounded: a
// subnegotiation longer than kMaxSubnegotiation is cut off and ignored, and
// the replies stop growing at kMaxReplies until they are taken.
//
// Options: BINARY and SUPPRESS-GO-AHEAD are accepted both ways, the serial
// port option is offered (WILL) when asked for; every other option is
// refused. A request is answered only when it changes an option's state, so
// two parties cannot talk each other into a loop.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace pmv::platform::detail {

namespace telnet {
constexpr std::uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                       kSe = 240;
constexpr std::uint8_t kBinary = 0, kSuppressGoAhead = 3, kComPort = 44;
// Serial port option commands, client to server; the server answers with
// the same command plus 100.
constexpr std::uint8_t kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4,
                       kSetControl = 5, kNotifyLineState = 6, kNotifyModemState = 7,
                       kSetLineStateMask = 10, kSetModemStateMask = 11, kPurgeData = 12;
constexpr std::uint8_t kServerOffset = 100;
} // namespace telnet

class TTelnetParser {
public:
    static constexpr std::size_t kMaxSubnegotiation = 64;
    static constexpr std::size_t kMaxReplies = 4096;

    /// Takes n bytes from the network; writes the data bytes among them to
    /// out (room for n bytes) and returns their count.
    std::size_t Feed(const std::uint8_t* in, std::size_t n, std::uint8_t* out);

    /// What the parser must send back; the caller sends and clears it.
    std::string& Replies() { return FReplies; }

    /// The first bytes a client sends: the options it wants (their
    /// acknowledgements are not answered again).
    std::string Greeting();
    /// IAC SB COM-PORT-OPTION cmd value... IAC SE, with 0xFF doubled.
    static std::string ComPortCommand(std::uint8_t cmd, const std::uint8_t* value, std::size_t n);

    /// The server agreed to serve the serial port option.
    bool ComPortAgreed() const { return FLocal[telnet::kComPort]; }
    /// Modem lines last notified: CTS 0x10, DSR 0x20, RI 0x40, CD 0x80.
    std::uint8_t ModemState() const { return FModem; }
    /// Counters of notified line events.
    std::uint32_t Breaks() const { return FBreaks; }
    std::uint32_t FrameErrors() const { return FFrameErrors; }
    std::uint32_t ParityErrors() const { return FParityErrors; }
    std::uint32_t Overruns() const { return FOverruns; }
    /// Changes of each modem line notified (CTS, DSR, RI, CD).
    const std::array<std::uint32_t, 4>& ModemChanges() const { return FModemChanges; }

private:
    enum class State { Data, Iac, Will, Wont, Do, Dont, Sb, SbIac };
    void Command(State verb, std::uint8_t option);
    void Subnegotiation();
    void Reply(std::uint8_t verb, std::uint8_t option);
    static bool Accepted(std::uint8_t option, bool local);

    State FState = State::Data;
    std::array<bool, 256> FLocal{};                      // options this side runs
    std::array<bool, 256> FRemote{};                     // options the server runs
    std::array<bool, 256> FAskedLocal{}, FAskedRemote{}; // requests sent, not yet answered
    std::array<std::uint8_t, kMaxSubnegotiation> FSb{};
    std::size_t FSbLen = 0;
    bool FSbOverflow = false;
    bool FLastWasCr = false;
    std::string FReplies;
    std::uint8_t FModem = 0;
    std::array<std::uint32_t, 4> FModemChanges{};
    std::uint32_t FBreaks = 0, FFrameErrors = 0, FParityErrors = 0, FOverruns = 0;
};

} // namespace pmv::platform::detail
