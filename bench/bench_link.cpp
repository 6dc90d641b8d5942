// The target link's costs: reply processing in the engine (with and without
// the traffic window's record of the bytes), the gap from a
// reply's carriage return to the next frame of a run, and round trips to the
// bundled simulator over a real pseudo-terminal (bare and through the engine).
#include "app/link/RequestEngine.h"
#include "app/link/Traffic.h"
#include "tools/sim/SimClient.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

using Clock = std::chrono::steady_clock;

// Accepts every frame at once and notes when it was handed over.
class InstantPort : public pmv::TLinkPort {
public:
    bool IsOpen() const override { return true; }
    bool TxData(const std::uint8_t*, int) override {
        lastTx = Clock::now();
        ++frames;
        return true;
    }
    Clock::time_point lastTx{};
    long frames = 0;
};

class NullTimer : public pmv::TLinkTimer {
public:
    void Start() override {}
    void Stop() override {}
};

// Keeps what a window keeps: the log lines (bounded here) and the edit texts.
class StoreView : public pmv::TLinkView {
public:
    void AppendLog(std::string_view line) override {
        if (log.size() >= 4096)
            log.clear();
        log.emplace_back(line);
    }
    void ShowCount(pmv::TLinkCounter, int) override {}
    bool ShowTransmissions() const override { return showTx; }
    bool ShowUnframedReceptions() const override { return false; }
    bool ShowCommandDescription() const override { return true; }
    std::string EditText(int index) const override { return edits[index]; }
    void SetEditText(int index, std::string_view text) override { edits[index] = text; }
    void ConvertError(const std::string&) override {}

    bool showTx = false;
    std::vector<std::string> log;
    std::array<std::string, pmv::kSlotCount> edits;
};

// 192 Get/Set slots, all in both runs, edits updated by replies.
pmv::TCmdTable FullTable() {
    pmv::TCmdTable t{};
    for (int i = 0; i < pmv::kSlotCount; ++i) {
        t[i].cmd_type = pmv::ctParamGetSet;
        t[i].cmd_str = "P" + std::to_string(i);
        t[i].cmd_descr = "Parameter " + std::to_string(i);
        t[i].opts = pmv::IncInGetAll | pmv::IncInSetAll | pmv::UpdateEditOnGet;
        t[i].val_max = 65535;
    }
    return t;
}

void Feed(pmv::TRequestEngine& e, std::string_view bytes) {
    for (char c : bytes)
        e.RxChar(static_cast<std::uint8_t>(c));
}

// One reply of a Set All run per iteration: 13 bytes assembled, the log line,
// the edit update, the counters and the next frame built and handed over.
void BM_ReplyProcessing(benchmark::State& state) {
    const pmv::TCmdTable table = FullTable();
    InstantPort port;
    NullTimer timer;
    StoreView view;
    view.showTx = state.range(0) != 0;
    for (auto& e : view.edits)
        e = "1234";
    pmv::TRequestEngine engine(table, port, timer, view);
    const std::string reply = "QXP = 1234\r";
    for (auto _ : state) {
        if (!engine.ComBusy())
            engine.SetAllParameters();
        Feed(engine, reply);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(view.showTx ? "with Show Transmissions" : "");
}
BENCHMARK(BM_ReplyProcessing)->Arg(0)->Arg(1);

// BM_ReplyProcessing with the port link's traffic tap in front of the engine:
// 0 no log attached (the traffic window closed: one test of a pointer per
// byte and per frame), 1 a log attached (the window open), which records each
// byte with the wall clock and keeps its newest 10,000 rows.
class TappedPort : public InstantPort {
public:
    bool TxData(const std::uint8_t* data, int len) override {
        if (traffic)
            traffic->Sent(data, std::size_t(len), pmv::TTrafficLog::TClock::now());
        return InstantPort::TxData(data, len);
    }
    pmv::TTrafficLog* traffic = nullptr;
};

void BM_ReplyProcessingTapped(benchmark::State& state) {
    const pmv::TCmdTable table = FullTable();
    TappedPort port;
    NullTimer timer;
    StoreView view;
    for (auto& e : view.edits)
        e = "1234";
    pmv::TTrafficLog log;
    pmv::TTrafficLog* traffic = state.range(0) != 0 ? &log : nullptr;
    port.traffic = traffic;
    pmv::TRequestEngine engine(table, port, timer, view);
    const std::string reply = "QXP = 1234\r";
    for (auto _ : state) {
        if (!engine.ComBusy())
            engine.SetAllParameters();
        for (char c : reply) {
            if (traffic)
                traffic->Received(static_cast<std::uint8_t>(c), pmv::TTrafficLog::TClock::now());
            engine.RxChar(static_cast<std::uint8_t>(c));
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["rows_kept"] = double(log.Size());
    state.SetLabel(traffic ? "traffic log attached" : "no traffic log");
}
BENCHMARK(BM_ReplyProcessingTapped)->Arg(0)->Arg(1);

// Time from handing the reply's carriage return to RxChar until the next
// frame's TxData call, in a Get All run against an instantly answering port.
void BM_CrToNextTxData(benchmark::State& state) {
    const pmv::TCmdTable table = FullTable();
    InstantPort port;
    NullTimer timer;
    StoreView view;
    pmv::TRequestEngine engine(table, port, timer, view);
    const std::string body = "QXP = 4321";
    std::vector<double> gapsNs;
    gapsNs.reserve(1 << 20);
    for (auto _ : state) {
        if (!engine.ComBusy())
            engine.GetAllParameters();
        Feed(engine, body);
        const long before = port.frames;
        const Clock::time_point cr = Clock::now();
        engine.RxChar(0x0D);
        if (port.frames != before && gapsNs.size() < gapsNs.capacity())
            gapsNs.push_back(std::chrono::duration<double, std::nano>(port.lastTx - cr).count());
    }
    if (!gapsNs.empty()) {
        std::sort(gapsNs.begin(), gapsNs.end());
        state.counters["gap_median_ns"] = gapsNs[gapsNs.size() / 2];
        state.counters["gap_p99_ns"] = gapsNs[gapsNs.size() * 99 / 100];
        state.counters["gap_max_ns"] = gapsNs.back();
    }
}
BENCHMARK(BM_CrToNextTxData);

// ------------------------------------------------------ over the simulator

struct SimSession {
    std::string dir;
    qxmsim::TSimProcess sim;
    qxmsim::TPtyClient pty;
    bool ok = false;

    SimSession() {
        char tmpl[] = "/tmp/pmv-bench-XXXXXX";
        dir = ::mkdtemp(tmpl);
        ok = sim.Start(QXM_SIM_PATH, dir + "/commap", 25, {}) && pty.Open(sim.Device());
    }
    ~SimSession() {
        pty.Close();
        sim.Stop();
        const std::string cmd = "rm -rf '" + dir + "'";
        [[maybe_unused]] int rc = std::system(cmd.c_str());
    }
};

// Writes a frame and reads until the reply's CR, in chunks: the best the
// pty and the simulator allow.
void BM_SimBareRoundTrip(benchmark::State& state) {
    SimSession s;
    if (!s.ok) {
        state.SkipWithError("qxm-sim did not start");
        return;
    }
    const std::string frame = "QXSPD\r";
    char buf[256];
    for (auto _ : state) {
        if (!s.pty.Write(frame)) {
            state.SkipWithError("write failed");
            break;
        }
        bool done = false;
        while (!done) {
            pollfd p{s.pty.Fd(), POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) {
                state.SkipWithError("no reply");
                return;
            }
            const ssize_t n = ::read(s.pty.Fd(), buf, sizeof buf);
            done = n > 0 && buf[n - 1] == '\r';
        }
    }
    state.counters["round_trips_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SimBareRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

class PtyPort : public pmv::TLinkPort {
public:
    explicit PtyPort(qxmsim::TPtyClient& pty) : m_pty(pty) {}
    bool IsOpen() const override { return m_pty.IsOpen(); }
    bool TxData(const std::uint8_t* data, int len) override {
        return m_pty.Write(std::string(reinterpret_cast<const char*>(data), len));
    }

private:
    qxmsim::TPtyClient& m_pty;
};

// Whole Get All runs of 192 slots through the engine, bytes delivered one
// RxChar call at a time as the port component does.
void BM_SimEngineGetAll(benchmark::State& state) {
    SimSession s;
    if (!s.ok) {
        state.SkipWithError("qxm-sim did not start");
        return;
    }
    const pmv::TCmdTable table = FullTable();
    PtyPort port(s.pty);
    NullTimer timer;
    StoreView view;
    pmv::TRequestEngine engine(table, port, timer, view);
    char buf[256];
    long replies = 0;
    for (auto _ : state) {
        engine.GetAllParameters();
        while (engine.ComBusy()) {
            pollfd p{s.pty.Fd(), POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) {
                state.SkipWithError("no reply");
                return;
            }
            const ssize_t n = ::read(s.pty.Fd(), buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i)
                engine.RxChar(static_cast<std::uint8_t>(buf[i]));
        }
        replies += pmv::kSlotCount;
    }
    state.counters["round_trips_per_s"] =
        benchmark::Counter(static_cast<double>(replies), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SimEngineGetAll)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
