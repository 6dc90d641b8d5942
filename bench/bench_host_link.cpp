// The target link through the real main window (offscreen) against qxm-sim
// on a pseudo-terminal published as COM25:
//   GetAll192Window  Get All over 192 parameters, the simulator answering at
//                    once; requests/s, and the gap from a reply's carriage
//                    return reaching LNKCOMPortRxChar to the next frame being
//                    handed to the port (median and 99th percentile).
//   GetAll192Bare    the same 192 frames written and their replies read
//                    directly on the pty: what the line itself allows.
//   Memory100k       Get All repeated over 100,000 requests, the log cleared
//                    between runs (the log has no line limit by design):
//                    resident memory before and after.
//   LogGrowth20k     the same over 20,000 requests with the log kept: what
//                    the log itself costs per 1,000 lines.
#include "app/HostApplication.h"
#include "app/Mainfrm.h"
#include "app/MainfrmLinkAdapters.h"
#include "bench/BenchSupport.h"
#include "comport/Lnkcomport.h"
#include "tools/sim/SimClient.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int Com = 25;
constexpr int Slots = pmv::SlotCount;

const char* const Names[] = {"SPD",  "ACC",  "DEC",  "IMAX", "PSET", "PMAX", "KP",   "KI",
                             "KD",   "MODE", "DIR",  "RAMP", "TLIM", "VMIN", "VMAX", "ADDR",
                             "TEMP", "VBUS", "STAT", "NACT", "PACT", "IACT", "ERR",  "VER"};

// The simulator, the window and its 192 marked slots, for the whole run.
struct THost {
    QTemporaryDir dir;
    qxmsim::TSimProcess sim;
    std::unique_ptr<TMainForm> form;
    std::vector<double> gapsUs;
    Clock::time_point crAt{};
    std::string error;

    bool Start() {
        const std::string map = dir.filePath("commap").toStdString();
        ::setenv("PMV_COMMAP", map.c_str(), 1);
        if (!sim.Start(QXM_SIM_PATH, map, Com, {})) {
            error = sim.Error();
            return false;
        }
        form = std::make_unique<TMainForm>();
        form->show();
        for (int i = 0; i < Slots; ++i) {
            pmv::TCmdRecord& r = form->CmdTable[i];
            r.cmd_type = pmv::ctParamGetSet;
            r.cmd_str = Names[i % std::size(Names)];
            r.opts = pmv::IncInGetAll | pmv::UpdateEditOnGet;
            form->ShowSlot(i);
        }
        form->LNKCOMPort->SetPort1(Com);
        // Timed: a reply's CR reaching the window's receive handler, and the
        // next frame being accepted by the port (normally from within the
        // processing of that reply, or later if the port first refused it).
        form->LNKCOMPort->OnRxChar = [this](QORLNK::TLNKCOMRxThread* sender, char ch) {
            if (ch == '\r')
                crAt = Clock::now();
            form->LNKCOMPortRxChar(sender, ch);
        };
        form->Link().Port.OnHandOver = [this] {
            if (crAt != Clock::time_point{})
                gapsUs.push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - crAt).count());
            crAt = {};
        };
        return true;
    }

    bool Open() {
        if (!form->LNKCOMPort->GetOpened())
            form->COMOpenClick();
        return form->LNKCOMPort->GetOpened();
    }
    void Close() { form->COMCloseClick(); }

    // One Get All, run to its end on the event loop. False on a time-out.
    bool GetAll() {
        pmv::TRequestEngine& e = form->LinkEngine();
        const int timeouts = e.RxTOCount();
        crAt = {}; // the first frame follows no reply
        form->GetAllParametersClick();
        while (e.SeqLeft() > 0 && e.RxTOCount() == timeouts)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        return e.RxTOCount() == timeouts;
    }
};

THost* gHost = nullptr;

THost* Host() {
    if (!gHost) {
        gHost = new THost;
        if (!gHost->Start())
            std::fprintf(stderr, "bench_host_link: %s\n", gHost->error.c_str());
    }
    return gHost->form ? gHost : nullptr;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * double(v.size())))];
}

void BM_GetAll192Window(benchmark::State& state) {
    THost* h = Host();
    if (!h || !h->Open()) {
        state.SkipWithError("no simulator or port");
        return;
    }
    h->gapsUs.clear();
    h->gapsUs.reserve(std::size_t(state.max_iterations) * Slots);
    const TFormLinkPort& port = h->form->Link().Port;
    const unsigned long deferred = port.Deferred();
    for (auto _ : state) {
        if (!h->GetAll()) {
            state.SkipWithError("reply time-out");
            break;
        }
        state.PauseTiming();
        h->form->MemoDblClick();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * Slots);
    state.counters["gap_median_us"] = Percentile(h->gapsUs, 0.5);
    state.counters["gap_p99_us"] = Percentile(h->gapsUs, 0.99);
    state.counters["gap_max_us"] = Percentile(h->gapsUs, 1.0);
    state.counters["deferred"] = double(port.Deferred() - deferred);
    h->Close();
}
BENCHMARK(BM_GetAll192Window)->Iterations(50)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_GetAll192Bare(benchmark::State& state) {
    THost* h = Host();
    if (!h) {
        state.SkipWithError("no simulator");
        return;
    }
    h->Close();
    qxmsim::TPtyClient pty;
    if (!pty.Open(h->sim.Device())) {
        state.SkipWithError("cannot open the pty");
        return;
    }
    std::vector<std::string> frames;
    for (int i = 0; i < Slots; ++i)
        frames.push_back(std::string("QX") + Names[i % std::size(Names)] + "\r");
    for (auto _ : state) {
        for (const std::string& f : frames) {
            if (!pty.Write(f) || pty.ReadUntil('\r', std::chrono::seconds(5)).empty()) {
                state.SkipWithError("no reply");
                return;
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * Slots);
}
BENCHMARK(BM_GetAll192Bare)->Iterations(50)->UseRealTime()->Unit(benchmark::kMillisecond);

// Repeated Get All runs: resident memory after a warm-up and at the end.
void RunRequests(benchmark::State& state, long requests, bool clearLog) {
    THost* h = Host();
    if (!h || !h->Open()) {
        state.SkipWithError("no simulator or port");
        return;
    }
    h->gapsUs.clear();
    h->gapsUs.shrink_to_fit();
    h->form->MemoDblClick();
    for (auto _ : state) {
        for (int i = 0; i < 5; ++i) // warm-up: buffers and caches at their working size
            if (!h->GetAll())
                state.SkipWithError("reply time-out");
        h->form->MemoDblClick();
        h->gapsUs.clear();
        const long before = pmvbench::ResidentKb();
        long done = 0;
        while (done < requests) {
            if (!h->GetAll()) {
                state.SkipWithError("reply time-out");
                break;
            }
            done += Slots;
            if (clearLog)
                h->form->MemoDblClick();
            h->gapsUs.clear(); // the timing probe keeps nothing
        }
        const long after = pmvbench::ResidentKb();
        state.SetItemsProcessed(done);
        state.counters["rss_before_kb"] = double(before);
        state.counters["rss_after_kb"] = double(after);
        state.counters["rss_growth_kb"] = double(after - before);
        if (!clearLog)
            state.counters["kb_per_1000_lines"] = double(after - before) * 1000.0 / double(done);
    }
    h->form->MemoDblClick();
    h->Close();
}

void BM_Memory100k(benchmark::State& state) {
    RunRequests(state, 100000, true);
}
BENCHMARK(BM_Memory100k)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_LogGrowth20k(benchmark::State& state) {
    RunRequests(state, 20000, false);
}
BENCHMARK(BM_LogGrowth20k)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    pmvbench::UseOffscreenByDefault();
    int appArgc = 1;
    THostApplication app(appArgc, argv);
    const int rc = pmvbench::RunBenchmarks(argc, argv);
    delete gHost; // window first (closes the port), then the simulator
    return rc;
}
