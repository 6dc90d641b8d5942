#include "platform/posix/telnet_p.h"

namespace pmv::platform::detail {

using namespace telnet;

std::size_t TTelnetParser::Feed(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = in[i];
        switch (FState) {
        case State::Data:
            if (b == kIac) {
                FState = State::Iac;
            } else if (b == 0 && FLastWasCr && !FRemote[kBinary]) {
                FLastWasCr = false; // CR NUL is a bare CR outside binary mode
            } else {
                out[k++] = b;
                FLastWasCr = b == '\r';
            }
            break;
        case State::Iac:
            FState = State::Data;
            if (b == kIac) {
                out[k++] = b;
                FLastWasCr = false;
            } else if (b == kWill) {
                FState = State::Will;
            } else if (b == kWont) {
                FState = State::Wont;
            } else if (b == kDo) {
                FState = State::Do;
            } else if (b == kDont) {
                FState = State::Dont;
            } else if (b == kSb) {
                FState = State::Sb;
                FSbLen = 0;
                FSbOverflow = false;
            } // any other command (NOP, GA, AYT...) carries nothing for a port
            break;
        case State::Will:
        case State::Wont:
        case State::Do:
        case State::Dont:
            Command(FState, b);
            FState = State::Data;
            break;
        case State::Sb:
            if (b == kIac) {
                FState = State::SbIac;
            } else if (FSbLen < FSb.size()) {
                FSb[FSbLen++] = b;
            } else {
                FSbOverflow = true;
            }
            break;
        case State::SbIac:
            if (b == kIac) { // an escaped 0xFF inside the subnegotiation
                if (FSbLen < FSb.size())
                    FSb[FSbLen++] = b;
                else
                    FSbOverflow = true;
                FState = State::Sb;
            } else {
                // IAC SE ends it; any other command ends it as well (a
                // broken peer), and is dropped.
                if (!FSbOverflow)
                    Subnegotiation();
                FState = State::Data;
            }
            break;
        }
    }
    return k;
}

bool TTelnetParser::Accepted(std::uint8_t option, bool local) {
    return option == kBinary || option == kSuppressGoAhead || (local && option == kComPort);
}

void TTelnetParser::Reply(std::uint8_t verb, std::uint8_t option) {
    if (FReplies.size() + 3 > kMaxReplies)
        return; // the caller has not sent what is there; a peer flooding requests loses answers
    FReplies += static_cast<char>(kIac);
    FReplies += static_cast<char>(verb);
    FReplies += static_cast<char>(option);
}

void TTelnetParser::Command(State verb, std::uint8_t option) {
    switch (verb) {
    case State::Do: // the server asks this side to run the option
        if (!Accepted(option, true))
            Reply(kWont, option);
        else if (!FLocal[option]) {
            FLocal[option] = true;
            if (!FAskedLocal[option])
                Reply(kWill, option);
        }
        FAskedLocal[option] = false;
        break;
    case State::Dont:
        FAskedLocal[option] = false;
        if (FLocal[option]) {
            FLocal[option] = false;
            Reply(kWont, option);
        }
        break;
    case State::Will: // the server offers to run the option
        if (!Accepted(option, false))
            Reply(kDont, option);
        else if (!FRemote[option]) {
            FRemote[option] = true;
            if (!FAskedRemote[option])
                Reply(kDo, option);
        }
        FAskedRemote[option] = false;
        break;
    default: // Wont
        FAskedRemote[option] = false;
        if (FRemote[option]) {
            FRemote[option] = false;
            Reply(kDont, option);
        }
        break;
    }
}

void TTelnetParser::Subnegotiation() {
    if (FSbLen < 3 || FSb[0] != kComPort)
        return;
    const std::uint8_t value = FSb[2];
    if (FSb[1] == kServerOffset + kNotifyModemState) {
        const std::uint8_t changed = static_cast<std::uint8_t>((FModem ^ value) & 0xF0);
        for (int bit = 0; bit < 4; ++bit)
            if ((changed & (0x10 << bit)) != 0)
                ++FModemChanges[static_cast<std::size_t>(bit)];
        FModem = value & 0xF0;
    } else if (FSb[1] == kServerOffset + kNotifyLineState) {
        FOverruns += (value & 0x02) != 0 ? 1 : 0;
        FParityErrors += (value & 0x04) != 0 ? 1 : 0;
        FFrameErrors += (value & 0x08) != 0 ? 1 : 0;
        FBreaks += (value & 0x10) != 0 ? 1 : 0;
    }
}

std::string TTelnetParser::Greeting() {
    FAskedLocal[kBinary] = FAskedLocal[kSuppressGoAhead] = FAskedLocal[kComPort] = true;
    FAskedRemote[kBinary] = FAskedRemote[kSuppressGoAhead] = true;
    const std::uint8_t g[] = {kIac, kWill, kBinary,          kIac, kDo, kBinary,
                              kIac, kWill, kSuppressGoAhead, kIac, kDo, kSuppressGoAhead,
                              kIac, kWill, kComPort};
    return std::string(reinterpret_cast<const char*>(g), sizeof g);
}

std::string TTelnetParser::ComPortCommand(std::uint8_t cmd, const std::uint8_t* value,
                                          std::size_t n) {
    std::string s{static_cast<char>(kIac), static_cast<char>(kSb), static_cast<char>(kComPort),
                  static_cast<char>(cmd)};
    for (std::size_t i = 0; i < n; ++i) {
        s += static_cast<char>(value[i]);
        if (value[i] == kIac)
            s += static_cast<char>(kIac);
    }
    s += static_cast<char>(kIac);
    s += static_cast<char>(kSe);
    return s;
}

} // namespace pmv::platform::detail
