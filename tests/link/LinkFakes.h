// Test doubles for the engine's three interfaces. The port copies every
// block it is handed (the bytes are the caller's only during the call); when
// asked to, it keeps an accepted block "in transit" until Complete() and
// refuses a second block meanwhile, as the serial component does.
#pragma once

#include "app/link/RequestEngine.h"

#include <array>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace linktest {

// Shared order of outside effects ("timer start", "tx ...", "log ...").
struct EventTrace {
    std::vector<std::string> events;
};

class FakePort : public pmv::TLinkPort {
public:
    explicit FakePort(EventTrace* trace = nullptr) : m_trace(trace) {}

    bool open = true;
    bool holdInTransit = false;       // accepted blocks stay in transit until Complete()
    std::vector<std::string> frames;  // every hand-over, accepted or not
    std::vector<std::string> written; // accepted blocks

    bool IsOpen() const override { return open; }

    bool TxData(const std::uint8_t* data, int len) override {
        const std::string block(reinterpret_cast<const char*>(data), static_cast<size_t>(len));
        frames.push_back(block);
        if (m_trace)
            m_trace->events.push_back("tx " + block);
        if (m_transit)
            return false; // "Tx is busy"
        written.push_back(block);
        m_transit = holdInTransit;
        return true;
    }

    bool InTransit() const { return m_transit; }

    // The write of the block in transit has finished.
    void Complete() {
        EXPECT_TRUE(m_transit);
        m_transit = false;
    }

private:
    EventTrace* m_trace;
    bool m_transit = false;
};

class FakeTimer : public pmv::TLinkTimer {
public:
    explicit FakeTimer(EventTrace* trace = nullptr) : m_trace(trace) {}
    bool running = false;
    int starts = 0;
    void Start() override {
        EXPECT_FALSE(running) << "timer started twice";
        running = true;
        ++starts;
        if (m_trace)
            m_trace->events.push_back("timer start");
    }
    void Stop() override { running = false; }

private:
    EventTrace* m_trace;
};

class FakeView : public pmv::TLinkView {
public:
    explicit FakeView(EventTrace* trace = nullptr) : m_trace(trace) {}

    std::vector<std::string> log;
    std::array<std::string, pmv::kSlotCount> edits;
    std::map<pmv::TLinkCounter, int> shown;
    std::vector<std::string> convertErrors;
    bool showTransmissions = false;
    bool showUnframed = false;
    bool showDescription = true;

    void AppendLog(std::string_view line) override {
        log.emplace_back(line);
        if (m_trace)
            m_trace->events.push_back("log " + std::string(line));
    }
    void ShowCount(pmv::TLinkCounter c, int value) override { shown[c] = value; }
    bool ShowTransmissions() const override { return showTransmissions; }
    bool ShowUnframedReceptions() const override { return showUnframed; }
    bool ShowCommandDescription() const override { return showDescription; }
    std::string EditText(int index) const override { return edits.at(index); }
    void SetEditText(int index, std::string_view text) override { edits.at(index) = text; }
    void ConvertError(const std::string& message) override { convertErrors.push_back(message); }
    // Results go to the trace only when asked, so the other traces stay as they are.
    bool traceResults = false;
    void ReplyProcessed(int slot, std::string_view value) override {
        if (m_trace && traceResults)
            m_trace->events.push_back("result " + std::to_string(slot) + " " + std::string(value));
    }
    void ReplyTimedOut(int slot) override {
        if (m_trace && traceResults)
            m_trace->events.push_back("timed out " + std::to_string(slot));
    }
    void ReplyLate(int slot, std::string_view value) override {
        if (m_trace && traceResults)
            m_trace->events.push_back("late " + std::to_string(slot) + " " + std::string(value));
    }
    void ReplyUnmatched(std::string_view body) override {
        if (m_trace && traceResults)
            m_trace->events.push_back("unmatched " + std::string(body));
    }

private:
    EventTrace* m_trace;
};

// A window stand-in: table, fakes and engine together.
struct Rig {
    EventTrace trace;
    pmv::TCmdTable table{};
    FakePort port{&trace};
    FakeTimer timer{&trace};
    FakeView view{&trace};
    pmv::TRequestEngine engine{table, port, timer, view};

    pmv::TCmdRecord& Define(int index, int kind, const std::string& cmd,
                            const std::string& descr = {}, std::uint32_t opts = 0) {
        pmv::TCmdRecord& r = table[index];
        r.cmd_type = static_cast<std::int8_t>(kind);
        r.cmd_str = cmd;
        r.cmd_descr = descr;
        r.opts = opts;
        return r;
    }

    void Feed(std::string_view bytes) {
        for (char c : bytes)
            engine.RxChar(static_cast<std::uint8_t>(c));
    }
};

} // namespace linktest
