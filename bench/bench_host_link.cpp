// The target link against qxm-sim on a pseudo-terminal published as COM25:
//   GetAll192Window  Get All over 192 parameters through the real main window
//                    (offscreen), the simulator answering at once: requests/s,
//                    driven and observed as an operator does (the menu item,
//                    the status bar's counts); with the processor time of the
//                    whole process (all threads), the thread hand-overs (the
//                    workers' synchronized calls plus the frames handed to the
//                    transmit worker) and the context switches of the process,
//                    and the heap allocations (malloc, calloc, realloc,
//                    operator new) per request, the gap from a reply's
//                    carriage return reaching the window to the next frame
//                    being handed to the port (median, 99th percentile), the
//                    widget paint events per request and the reply time-outs.
//   GetAll192Pyserial  the same 192 requests by a plain pyserial script
//                    (bench/pyserial_get_all.py on Debian's python3-serial,
//                    /usr/bin/python3) on the same simulator: its own rate and
//                    processor time per request, start-up not included.
//   GetAll192Link    the same run through the link alone (pmv::TPortLink on
//                    the serial component, a view that keeps nothing), as a
//                    command-line program runs it; requests/s, processor time
//                    and hand-overs per request, the gap from a reply's
//                    carriage return reaching the link to the next frame being
//                    handed to the port (median, 99th percentile), the frames
//                    the port first refused and the reply time-outs.
//   GetAll192Bare    the same 192 frames written and their replies read
//                    directly on the pty: what the line itself allows.
//   GetAll192Threads the same with the serial component's arrangement of
//                    threads and nothing else: the main thread hands each
//                    frame to a writer thread and waits on a descriptor, as
//                    an event loop does; a reader thread takes the reply off
//                    the pty, hands it over through that descriptor and waits
//                    until the main thread has taken it, as a synchronized
//                    call does. Four threads wake per request (writer,
//                    simulator, reader, main) where the bare loop wakes two:
//                    what that design allows before any of its own work;
//                    with the processor time and context switches per request.
//   Memory100k       Get All in the window repeated over 100,000 requests,
//                    the log cleared between runs: resident memory before and
//                    after, and the reply time-outs among them.
// The Get All benchmarks count reply time-outs and never end a run with
// SkipWithError for one (see bench/BenchGetAll.h): repeated, such a run
// crashes Google Benchmark 1.7.1. With --benchmark_enable_random_interleaving
// the repetitions of the window, the script and the bare loop alternate, so
// their ratios are taken in the same rounds.
//   LogGrowth20k     the same over 20,000 requests with the log kept: what
//                    the log itself costs per 1,000 lines.
//   Memory1MLogKept  10^6 requests with the log kept (it keeps its newest
//                    100,000 lines): resident memory before and after. Takes
//                    minutes; registered only with PMV_BENCH_LONG=1 in the
//                    environment, and run once.
//   PeerGoneToLostLine  from the far end of an open port's pseudo-terminal
//                    closing (as a device that is unplugged) to the window's
//                    "device lost" line, the port closed by then: median and
//                    maximum over the runs.
#include "app/FormWidgets.h"
#include "app/HostApplication.h"
#include "app/Mainfrm.h"
#include "app/link/PortLink.h"
#include "bench/BenchGetAll.h"
#include "bench/BenchSupport.h"
#include "comport/Lnkcomport.h"
#include "config/ConfigFile.h"
#include "platform/Thread.h"
#include "tools/sim/SimClient.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextBlock>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

// Heap allocations of the whole process, counted. Not in sanitized builds,
// whose runtime owns these functions.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kCountsAllocations = false;
unsigned long Allocations() {
    return 0;
}
#else
constexpr bool kCountsAllocations = true;
std::atomic<unsigned long> gAllocations{0};
unsigned long Allocations() {
    return gAllocations.load(std::memory_order_relaxed);
}
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* malloc(std::size_t n) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
void* calloc(std::size_t n, std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t n) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
}
// operator new of libstdc++ calls malloc: counted there.
#endif

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCom = 25;
constexpr int kSlots = pmv::kSlotCount;

// 192 marked parameters on COM25.
pmv::TConfigSet MarkedSet() {
    pmv::TConfigSet set;
    set.ComPort = kCom;
    for (int i = 0; i < kSlots; ++i) {
        pmv::TCmdRecord& r = set.CmdTable[std::size_t(i)];
        r.cmd_type = pmv::ctParamGetSet;
        r.cmd_str = pmvbench::GetAllName(i);
        r.opts = pmv::IncInGetAll | pmv::UpdateEditOnGet;
    }
    return set;
}

// The simulator and the window with its 192 marked slots, for the whole run.
struct THost {
    QTemporaryDir dir;
    qxmsim::TSimProcess sim;
    std::unique_ptr<TMainForm> form;
    QAction* getAll = nullptr;
    QAction* open = nullptr;
    QAction* close = nullptr;
    QLabel* portState = nullptr;
    QLabel* txCount = nullptr;
    QLabel* rxCount = nullptr;
    QLabel* timeoutCount = nullptr;
    TLogView* log = nullptr;
    std::string error;

    bool Start() {
        const std::string map = dir.filePath("commap").toStdString();
        ::setenv("PMV_COMMAP", map.c_str(), 1);
        if (!sim.Start(QXM_SIM_PATH, map, kCom, {})) {
            error = sim.Error();
            return false;
        }
        form = std::make_unique<TMainForm>();
        form->show();
        getAll = form->findChild<QAction*>(QStringLiteral("GetAllParameters"));
        open = form->findChild<QAction*>(QStringLiteral("COMOpen"));
        close = form->findChild<QAction*>(QStringLiteral("COMClose"));
        portState = form->findChild<QLabel*>(QStringLiteral("StatusPanel0"));
        txCount = form->findChild<QLabel*>(QStringLiteral("StatusPanel2"));
        rxCount = form->findChild<QLabel*>(QStringLiteral("StatusPanel4"));
        timeoutCount = form->findChild<QLabel*>(QStringLiteral("StatusPanel6"));
        log = form->findChild<TLogView*>(QStringLiteral("Memo"));
        // The slots and the port come from a configuration file, as the
        // operator loads them.
        const QString path = dir.filePath(QStringLiteral("marked.ini"));
        if (!pmv::SaveConfigFile(QFile::encodeName(path).toStdString(), MarkedSet()).Ok) {
            error = "cannot write the configuration";
            return false;
        }
        form->LoadConfigFromFile(path);
        return true;
    }

    bool Opened() const { return portState->text().startsWith(QStringLiteral("COM25:")); }
    bool Open() {
        if (!Opened())
            open->trigger();
        return Opened();
    }
    void Close() { close->trigger(); }
    void ClearLog() { log->Clear(); }

    // One Get All, run to its end on the event loop. False on a time-out.
    bool GetAll() {
        const int replies = rxCount->text().toInt() + kSlots;
        const QString timeouts = timeoutCount->text();
        getAll->trigger();
        while (rxCount->text().toInt() < replies && timeoutCount->text() == timeouts)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        return timeoutCount->text() == timeouts;
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

// Times, in the window, a reply's carriage return reaching the port's
// receive event (ahead of the window's own handler) to the next frame being
// accepted by the port.
class TGapProbe {
public:
    explicit TGapProbe(TMainForm& form)
        : m_port(*form.findChild<QORLNK::TLNKCOMPort*>(QStringLiteral("LNKCOMPort"))),
          m_link(form.Link()), m_handler(m_port.OnRxChar) {
        m_gapsUs.reserve(100000);
        m_port.OnRxChar = [this](QORLNK::TLNKCOMRxThread* sender, char ch) {
            if (ch == '\r')
                m_crAt = Clock::now();
            m_handler(sender, ch);
        };
        m_link.Port().SetHandOverHook([this] {
            if (m_crAt != Clock::time_point{})
                m_gapsUs.push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - m_crAt).count());
            m_crAt = {};
        });
    }
    ~TGapProbe() {
        m_link.Port().SetHandOverHook({});
        m_port.OnRxChar = m_handler;
    }
    void NewRun() { m_crAt = {}; } // the first frame follows no reply
    const std::vector<double>& GapsUs() const { return m_gapsUs; }

private:
    QORLNK::TLNKCOMPort& m_port;
    pmv::TPortLink& m_link;
    QORLNK::TLNKRxCharEvent m_handler;
    Clock::time_point m_crAt{};
    std::vector<double> m_gapsUs;
};

// Counts the paint events of every widget of the application.
class TPaintCounter : public QObject {
public:
    TPaintCounter() { qApp->installEventFilter(this); }
    ~TPaintCounter() override { qApp->removeEventFilter(this); }
    long Count() const { return m_count; }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++m_count;
        return false;
    }

private:
    long m_count = 0;
};

// What a run of requests cost the whole process.
class TRunCost {
public:
    void Begin() {
        m_cpuAt = pmvbench::ProcessCpuSeconds();
        m_callsAt = pmv::platform::TThread::SynchronizedCalls();
        m_switchesAt = pmvbench::ContextSwitches();
        m_allocationsAt = Allocations();
    }
    void End(long requests) {
        m_requests += requests;
        m_cpuSeconds += pmvbench::ProcessCpuSeconds() - m_cpuAt;
        // Each frame is one hand-over to the transmit worker.
        m_handOvers +=
            double(pmv::platform::TThread::SynchronizedCalls() - m_callsAt) + double(requests);
        m_switches += double(pmvbench::ContextSwitches() - m_switchesAt);
        m_allocations += double(Allocations() - m_allocationsAt);
    }
    long Requests() const { return m_requests; }
    void Report(benchmark::State& state, bool allocations) const {
        const double n = std::max(1.0, double(m_requests));
        state.SetItemsProcessed(m_requests);
        state.counters["cpu_us_per_request"] = m_cpuSeconds * 1e6 / n;
        state.counters["handovers_per_request"] = m_handOvers / n;
        state.counters["switches_per_request"] = m_switches / n;
        if (allocations && kCountsAllocations)
            state.counters["allocs_per_request"] = m_allocations / n;
    }

private:
    double m_cpuAt = 0;
    unsigned long long m_callsAt = 0;
    long m_switchesAt = 0;
    unsigned long m_allocationsAt = 0;
    long m_requests = 0;
    double m_cpuSeconds = 0;
    double m_handOvers = 0;
    double m_switches = 0;
    double m_allocations = 0;
};

void BM_GetAll192Window(benchmark::State& state) {
    THost* h = Host();
    if (!h || !h->Open()) {
        state.SkipWithError("no simulator or port");
        return;
    }
    TGapProbe probe(*h->form);
    TRunCost cost;
    int timeouts = 0;
    const TPaintCounter paints;
    for (auto _ : state) {
        probe.NewRun();
        const long sentAt = h->txCount->text().toLong();
        cost.Begin();
        // A run that timed out stopped there; the next one starts afresh.
        timeouts += h->GetAll() ? 0 : 1;
        cost.End(h->txCount->text().toLong() - sentAt);
        state.PauseTiming();
        h->ClearLog();
        state.ResumeTiming();
    }
    cost.Report(state, true);
    state.counters["timeouts"] = timeouts;
    state.counters["gap_median_us"] = Percentile(probe.GapsUs(), 0.5);
    state.counters["gap_p99_us"] = Percentile(probe.GapsUs(), 0.99);
    state.counters["paints_per_request"] = double(paints.Count()) / std::max(1L, cost.Requests());
    h->Close();
}
BENCHMARK(BM_GetAll192Window)->Iterations(50)->UseRealTime()->Unit(benchmark::kMillisecond);

// A view that shows nothing, as a quiet command-line run would.
class TQuietView : public pmv::TLinkView {
public:
    void AppendLog(std::string_view) override {}
    void ShowCount(pmv::TLinkCounter counter, int value) override {
        if (counter == pmv::TLinkCounter::RxTimeout)
            timeouts = value;
    }
    bool ShowTransmissions() const override { return false; }
    bool ShowUnframedReceptions() const override { return false; }
    bool ShowCommandDescription() const override { return true; }
    std::string EditText(int) const override { return {}; }
    void SetEditText(int, std::string_view) override {}
    void ConvertError(const std::string&) override {}
    int timeouts = 0;
};

void BM_GetAll192Link(benchmark::State& state) {
    THost* h = Host();
    if (!h) {
        state.SkipWithError("no simulator");
        return;
    }
    h->Close(); // the window lets go of COM25
    const pmv::TConfigSet set = MarkedSet();
    QORLNK::TLNKCOMPort port;
    QTimer timer;
    TQuietView view;
    pmv::TPortLink link(set.CmdTable, port, timer, view, [](const std::string&) {});
    std::vector<double> gapsUs;
    gapsUs.reserve(std::size_t(state.max_iterations) * kSlots);
    Clock::time_point crAt{};
    // Timed: a reply's CR reaching the link, and the next frame being
    // accepted by the port (normally from within the processing of that
    // reply, or later if the port first refused it).
    port.OnRxChar = [&](QORLNK::TLNKCOMRxThread*, char ch) {
        if (ch == '\r')
            crAt = Clock::now();
        link.RxChar(ch);
    };
    link.Port().SetHandOverHook([&] {
        if (crAt != Clock::time_point{})
            gapsUs.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - crAt).count());
        crAt = {};
    });
    port.SetPort1(kCom);
    if (!port.Open()) {
        state.SkipWithError("cannot open the port");
        return;
    }
    pmv::TRequestEngine& engine = link.Engine();
    TRunCost cost;
    for (auto _ : state) {
        crAt = {}; // the first frame follows no reply
        const int timeouts = view.timeouts;
        const int sentAt = engine.TxCount();
        cost.Begin();
        engine.GetAllParameters();
        // A run that timed out stopped there; the next one starts afresh.
        while (engine.SeqLeft() > 0 && view.timeouts == timeouts)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        cost.End(engine.TxCount() - sentAt);
    }
    cost.Report(state, false);
    state.counters["timeouts"] = view.timeouts;
    state.counters["gap_median_us"] = Percentile(gapsUs, 0.5);
    state.counters["gap_p99_us"] = Percentile(gapsUs, 0.99);
    state.counters["gap_max_us"] = Percentile(gapsUs, 1.0);
    state.counters["deferred"] = double(link.Port().Deferred());
}
BENCHMARK(BM_GetAll192Link)->Iterations(50)->UseRealTime()->Unit(benchmark::kMillisecond);

// The window lets go of COM25 and pty opens the simulator's terminal
// directly; false (the run skipped) when either is missing.
bool OpenSimulatorPty(benchmark::State& state, qxmsim::TPtyClient& pty) {
    THost* h = Host();
    if (!h) {
        state.SkipWithError("no simulator");
        return false;
    }
    h->Close();
    if (!pty.Open(h->sim.Device())) {
        state.SkipWithError("cannot open the pty");
        return false;
    }
    return true;
}

void BM_GetAll192Bare(benchmark::State& state) {
    qxmsim::TPtyClient pty;
    if (OpenSimulatorPty(state, pty))
        pmvbench::BareGetAll(state, pty);
}
BENCHMARK(BM_GetAll192Bare)->Iterations(50)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_GetAll192Threads(benchmark::State& state) {
    qxmsim::TPtyClient pty;
    if (!OpenSimulatorPty(state, pty))
        return;
    const int ready = ::eventfd(0, EFD_CLOEXEC);
    if (ready < 0) {
        state.SkipWithError("eventfd failed");
        return;
    }
    const std::vector<std::string> frames = pmvbench::GetAllFrames();

    std::mutex m;
    std::condition_variable frameHanded, replyTaken;
    const std::string* frame = nullptr; // handed to the writer
    bool taken = true;                  // the main thread has the last reply
    bool stop = false;
    // Hand-overs as each thread makes them: frames the writer took, replies
    // the reader handed over, replies the main thread gave back as taken.
    long framesTaken = 0, repliesHanded = 0, repliesTaken = 0;
    std::thread writer([&] {
        for (;;) {
            std::unique_lock lock(m);
            frameHanded.wait(lock, [&] { return frame != nullptr || stop; });
            if (stop)
                return;
            const std::string* f = std::exchange(frame, nullptr);
            ++framesTaken;
            lock.unlock();
            pty.Write(*f);
        }
    });
    std::thread reader([&] {
        std::string reply;
        for (;;) {
            reply += pty.ReadUntil('\r', std::chrono::milliseconds(100));
            std::unique_lock lock(m);
            if (stop)
                return;
            if (reply.empty() || reply.back() != '\r')
                continue;
            reply.clear();
            taken = false;
            ++repliesHanded;
            lock.unlock();
            const std::uint64_t one = 1;
            (void)!::write(ready, &one, sizeof one);
            lock.lock();
            replyTaken.wait(lock, [&] { return taken || stop; });
        }
    });
    TRunCost cost;
    long noReply = 0;
    for (auto _ : state) {
        long requests = 0;
        cost.Begin();
        for (const std::string& f : frames) {
            if (noReply != 0)
                break;
            {
                std::lock_guard lock(m);
                frame = &f;
            }
            frameHanded.notify_one();
            pollfd p{ready, POLLIN, 0};
            std::uint64_t value = 0;
            if (::poll(&p, 1, 5000) != 1 || ::read(ready, &value, sizeof value) != sizeof value) {
                ++noReply;
                break;
            }
            {
                std::lock_guard lock(m);
                taken = true;
                ++repliesTaken;
            }
            replyTaken.notify_one();
            ++requests;
        }
        cost.End(requests);
    }
    {
        std::lock_guard lock(m);
        stop = true;
    }
    frameHanded.notify_one();
    replyTaken.notify_one();
    writer.join();
    reader.join();
    ::close(ready);
    cost.Report(state, false);
    const long requests = std::max(repliesTaken, 1L);
    state.counters["handovers_per_request"] =
        double(framesTaken + repliesHanded + repliesTaken) / double(requests);
    state.counters["no_reply"] = double(noReply);
}
BENCHMARK(BM_GetAll192Threads)->Iterations(50)->UseRealTime()->Unit(benchmark::kMillisecond);

// The script times its own runs (kPyserialRuns Get All runs, as many as the
// window's benchmark does); one process does all of them, as a script that
// polls a target in a loop would.
constexpr int kPyserialRuns = 50;

void BM_GetAll192Pyserial(benchmark::State& state) {
    THost* h = Host();
    if (!h) {
        state.SkipWithError("no simulator");
        return;
    }
    h->Close();
    pmvbench::PyserialGetAll(state, PMV_SOURCE_DIR "/bench/pyserial_get_all.py",
                             h->dir.filePath(QStringLiteral("marked.ini")).toStdString(),
                             h->sim.Device(), kPyserialRuns);
}
BENCHMARK(BM_GetAll192Pyserial)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Repeated Get All runs: resident memory after a warm-up and at the end.
// Memory is measured here, not speed: a run cut short by a time-out (a busy
// machine) is counted and the next one started; its lines stay in the log
// like any others.
void RunRequests(benchmark::State& state, long requests, bool clearLog) {
    THost* h = Host();
    if (!h || !h->Open()) {
        state.SkipWithError("no simulator or port");
        return;
    }
    h->ClearLog();
    for (auto _ : state) {
        int timeouts = 0;
        for (int i = 0; i < 5; ++i) // warm-up: buffers and caches at their working size
            timeouts += h->GetAll() ? 0 : 1;
        h->ClearLog();
        const long before = pmvbench::ResidentKb();
        const long sentBefore = h->txCount->text().toLong();
        long done = 0;
        while (done < requests) {
            timeouts += h->GetAll() ? 0 : 1;
            done = h->txCount->text().toLong() - sentBefore;
            if (clearLog)
                h->ClearLog();
        }
        h->log->Flush();
        const long after = pmvbench::ResidentKb();
        state.SetItemsProcessed(done);
        state.counters["rss_before_kb"] = double(before);
        state.counters["rss_after_kb"] = double(after);
        state.counters["rss_growth_kb"] = double(after - before);
        state.counters["timeouts"] = timeouts;
        state.counters["log_lines"] = h->log->blockCount();
        if (!clearLog)
            state.counters["kb_per_1000_lines"] = double(after - before) * 1000.0 / double(done);
    }
    h->ClearLog();
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

void BM_Memory1MLogKept(benchmark::State& state) {
    RunRequests(state, 1000000, false);
}

// A window of its own, with COM26 in a device map of its own: a new
// pseudo-terminal for every run, opened through COM > Open.
void BM_PeerGoneToLostLine(benchmark::State& state) {
    constexpr int kLostCom = 26;
    QTemporaryDir dir;
    const QByteArray savedMap = qgetenv("PMV_COMMAP");
    const std::string map = dir.filePath("commap").toStdString();
    ::setenv("PMV_COMMAP", map.c_str(), 1);
    const QString config = dir.filePath(QStringLiteral("com26.ini"));
    pmv::TConfigSet set;
    set.ComPort = kLostCom;
    TMainForm form;
    form.show();
    auto* open = form.findChild<QAction*>(QStringLiteral("COMOpen"));
    auto* portState = form.findChild<QLabel*>(QStringLiteral("StatusPanel0"));
    auto* log = form.findChild<QPlainTextEdit*>(QStringLiteral("Memo"));
    Clock::time_point lostAt{};
    QEventLoop loop;
    QObject::connect(log, &QPlainTextEdit::textChanged, &loop, [&] {
        if (lostAt == Clock::time_point{} &&
            log->document()->lastBlock().text().endsWith(QStringLiteral(": device lost"))) {
            lostAt = Clock::now();
            loop.quit();
        }
    });
    std::vector<double> ms;
    bool loaded = false;
    for (auto _ : state) {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = {};
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
            ::ptsname_r(master, name, sizeof name) != 0) {
            state.SkipWithError("no pseudo-terminal");
            break;
        }
        std::ofstream(map) << "COM" << kLostCom << "=" << name << "\n";
        if (!loaded) { // the window's port is COM26 from here on
            loaded = pmv::SaveConfigFile(QFile::encodeName(config).toStdString(), set).Ok;
            form.LoadConfigFromFile(config);
        } else {
            open->trigger();
        }
        if (!portState->text().startsWith(QStringLiteral("COM26:"))) {
            ::close(master);
            state.SkipWithError("the port did not open");
            break;
        }
        log->clear();
        lostAt = {};
        // Let the workers settle into their waits first, and the log put
        // in its last batch (so that the lost line goes in at once).
        QTimer::singleShot(TLogView::kFlushMs + 5, &loop, &QEventLoop::quit);
        loop.exec();
        QTimer guard; // never hang
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
        guard.start(10000);
        const Clock::time_point start = Clock::now();
        ::close(master);
        loop.exec();
        if (lostAt == Clock::time_point{}) {
            state.SkipWithError("no device-lost line");
            break;
        }
        const double seconds = std::chrono::duration<double>(lostAt - start).count();
        state.SetIterationTime(seconds);
        ms.push_back(seconds * 1000.0);
    }
    if (!ms.empty()) {
        state.counters["median_ms"] = Percentile(ms, 0.5);
        state.counters["max_ms"] = Percentile(ms, 1.0);
    }
    if (savedMap.isNull())
        ::unsetenv("PMV_COMMAP");
    else
        ::setenv("PMV_COMMAP", savedMap.constData(), 1);
}
BENCHMARK(BM_PeerGoneToLostLine)->Iterations(50)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    pmvbench::UseOffscreenByDefault();
    if (qEnvironmentVariableIntValue("PMV_BENCH_LONG") == 1)
        benchmark::RegisterBenchmark("BM_Memory1MLogKept", BM_Memory1MLogKept)
            ->Iterations(1)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    int appArgc = 1;
    THostApplication app(appArgc, argv);
    const int rc = pmvbench::RunBenchmarks(argc, argv);
    delete gHost; // window first (closes the port), then the simulator
    return rc;
}
