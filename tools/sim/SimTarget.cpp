#include "tools/sim/SimTarget.h"

#include <cstdio>
#include <iterator>

namespace qxmsim {

namespace {

struct Seed {
    const char* name;
    const char* value;
    bool readOnly;
};

// A plausible QXM300 parameter set: drive, pump loop, limits and read-outs.
const Seed kSeeds[] = {
    {"SPD", "1500", false},  // speed set point, rpm
    {"ACC", "200", false},   // acceleration, rpm/s
    {"DEC", "200", false},   // deceleration, rpm/s
    {"IMAX", "2500", false}, // current limit, mA
    {"PSET", "1000", false}, // pressure set point, mbar
    {"PMAX", "6000", false}, // pressure limit, mbar
    {"KP", "120", false},    // pressure loop gains
    {"KI", "40", false},       {"KD", "0", false},
    {"MODE", "1", false}, // 0 speed, 1 pressure
    {"DIR", "0", false},       {"RAMP", "50", false},
    {"TLIM", "80", false},  // temperature limit, degrees C
    {"VMIN", "180", false}, // bus voltage window, 0.1 V
    {"VMAX", "280", false},    {"ADDR", "1", false},
    {"POLE", "2", false},    // motor pole pairs
    {"SMAX", "3000", false}, // speed limit, rpm
    {"DRYT", "10", false},   // dry-run time, s
    {"FLOW", "200", false},  // flow set point, l/min
    {"DOUT", "0", false},    // digital and analogue outputs, relay
    {"AOUT", "0", false},      {"RLY", "0", false},
    {"TAG", "QX-0001", false}, {"NAME", "Pump station 1", false},
    {"TEMP", "34", true},                           // read-outs
    {"VBUS", "241", true},     {"STAT", "0", true}, // 0 stopped, 1 running
    {"NACT", "0", true},                            // actual speed
    {"PACT", "0", true},                            // actual pressure
    {"IACT", "0", true},                            // actual current
    {"ERR", "0", true},        {"VER", "300", true},
    {"SN", "30012345", true},  {"TQ", "0", true},       // torque, 0.1 %
    {"FACT", "0", true},                                // actual flow
    {"DIN", "5", true},                                 // digital inputs, bit mask
    {"AIN1", "412", true},                              // analogue inputs, 0.01 V
    {"AIN2", "0", true},       {"HOURS", "1234", true}, // run hours
};

const char* const kCommands[] = {"RUN", "STOP", "RESET", "SAVE",  "LOAD",
                                 "CLR", "HOME", "PRIME", "PURGE", "DFLT"};

} // namespace

TSimTarget::TSimTarget(TSimOptions options) : m_opt(std::move(options)), m_rng(m_opt.seed) {
    for (const Seed& s : kSeeds) {
        m_values[s.name] = s.value;
        if (s.readOnly)
            m_readOnly.insert(s.name);
    }
    for (const char* c : kCommands)
        m_commands.insert(c);
    for (const auto& [name, value] : m_opt.values)
        m_values[name] = value;
    m_line.reserve(kMaxLine);
}

bool TSimTarget::ValidValue(std::string_view value) {
    if (value.size() > kMaxLine / 2 || value.find(" = ") != std::string_view::npos)
        return false;
    for (const char c : value)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return false;
    return true;
}

std::optional<std::string> TSimTarget::Feed(std::uint8_t ch) {
    if (ch == '\n')
        return std::nullopt;
    if (ch == '\r') {
        if (m_overlong) {
            m_overlong = false;
            m_line.clear();
            return std::nullopt;
        }
        std::string line = m_line;
        m_line.clear();
        return line;
    }
    if (m_line.size() >= kMaxLine)
        m_overlong = true;
    else
        m_line.push_back(static_cast<char>(ch));
    return std::nullopt;
}

std::string TSimTarget::Value(const std::string& name) const {
    const auto it = m_values.find(name);
    return it == m_values.end() ? "0" : it->second;
}

std::string TSimTarget::Reply(const std::string& name, const std::string& value) {
    std::string out;
    if (m_opt.noise > 0) {
        // Any byte but Q, so the noise never looks like the start of a reply.
        std::uniform_int_distribution<int> byte(1, 255);
        for (int i = 0; i < m_opt.noise; ++i) {
            int b;
            do
                b = byte(m_rng);
            while (b == 'Q');
            out.push_back(static_cast<char>(b));
        }
    }
    out += "QX";
    out += name;
    out += m_opt.noEquals ? "=" : " = ";
    out += value;
    out += '\r';
    if (m_opt.lineFeed)
        out += '\n';
    return out;
}

std::optional<TSimReply> TSimTarget::Answer(std::string_view line) {
    const std::size_t qx = line.find("QX");
    if (qx == std::string_view::npos)
        return std::nullopt;
    const std::string_view body = line.substr(qx + 2);
    const std::size_t sep = body.find(" = ");
    const std::string name(body.substr(0, sep));
    const bool isSet = sep != std::string_view::npos;

    std::string value;
    if (m_commands.count(name)) {
        if (name == "RUN") {
            m_running = true;
            m_values["STAT"] = "1";
            m_values["NACT"] = Value("SPD");
            m_values["PACT"] = Value("PSET");
            m_values["IACT"] = "850";
        } else if (name == "STOP" || name == "RESET") {
            m_running = false;
            m_values["STAT"] = m_values["NACT"] = m_values["PACT"] = m_values["IACT"] = "0";
        }
        value = "OK";
    } else if (isSet) {
        if (m_readOnly.count(name)) {
            value = "ERR";
        } else {
            value = std::string(body.substr(sep + 3));
            m_values[name] = value;
        }
    } else {
        value = Value(name);
    }

    if (m_opt.silent.count(name) || m_opt.silent.count("*"))
        return std::nullopt;
    TSimReply reply;
    reply.bytes = Reply(name, value);
    const auto late = m_opt.late.find(name);
    reply.delayMs = late != m_opt.late.end() ? late->second : m_opt.delayMs;
    std::uniform_int_distribution<int> percent(0, 99);
    if (m_opt.jitterPercent > 0 && percent(m_rng) < m_opt.jitterPercent)
        reply.delayMs = std::uniform_int_distribution<int>(0, m_opt.jitterMaxMs)(m_rng);
    if (m_opt.strayPercent > 0 && percent(m_rng) < m_opt.strayPercent) {
        const Seed& other =
            kSeeds[std::uniform_int_distribution<std::size_t>(0, std::size(kSeeds) - 1)(m_rng)];
        const std::string stray = Reply(other.name, Value(other.name));
        reply.bytes = percent(m_rng) < 50 ? stray + reply.bytes : reply.bytes + stray;
    }
    return reply;
}

std::string Printable(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u == '\r')
            out += "\\r";
        else if (u == '\n')
            out += "\\n";
        else if (u == '\\')
            out += "\\\\";
        else if (u < 0x20 || u >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", u);
            out += buf;
        } else
            out += c;
    }
    return out;
}

} // namespace qxmsim
