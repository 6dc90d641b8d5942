// The serial component's costs on real pseudo-terminals: received bytes
// through OnRxChar with an otherwise idle user-interface thread (order
// checked, allocations, processor time and hand-overs counted), beside a bare
// read() loop and a read() of one byte at a time on the same pseudo-terminal,
// on a quiet machine and next to six busy processes; replies of 13 bytes
// answered one at a time, the same three ways (what one burst costs); Open
// followed by Close; the time from the peer vanishing to OnDeviceLost; and
// the processor time an idle open port takes.
#include "bench/AllocationCounter.h"
#include "bench/BenchSupport.h"
#include "comport/Lnkcomport.h"
#include "platform/Thread.h"
#include "platform/posix/LineSource.h"

#include <QApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCom = 9;

// A pseudo-terminal mapped to COM9 through a private device-map file.
class MappedPty {
public:
    MappedPty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            return;
        char name[128] = {};
        if (::ptsname_r(master, name, sizeof name) != 0)
            return;
        const std::string map = dir.path().toStdString() + "/commap";
        const std::string empty = dir.path().toStdString() + "/empty";
        ::mkdir(empty.c_str(), 0755);
        if (FILE* f = std::fopen(map.c_str(), "w")) {
            std::fprintf(f, "COM%d=%s\n", kCom, name);
            std::fclose(f);
        }
        ::setenv("PMV_COMMAP", map.c_str(), 1);
        ::setenv("PMV_DEV_ROOT", empty.c_str(), 1);
        ::setenv("PMV_SYSFS_ROOT", empty.c_str(), 1);
        ok = true;
    }
    ~MappedPty() {
        if (master >= 0)
            ::close(master);
    }
    QTemporaryDir dir;
    int master = -1;
    bool ok = false;
};

unsigned char Pattern(std::size_t i) {
    return static_cast<unsigned char>((i * 31u) ^ (i >> 8));
}

constexpr std::size_t kQuietBytes = 4u << 20;    // 4 MB on a quiet machine
constexpr std::size_t kLoadedBytes = 512u << 10; // 512 KB next to the busy processes
constexpr int kBusyProcesses = 6;
constexpr auto kTimeLimit = std::chrono::seconds(120); // a run ends here at the latest

// Processes that only burn processor time, as other programs on a loaded
// operator's PC do; they die with the benchmark.
class BusyChildren {
public:
    explicit BusyChildren(int count) {
        for (int i = 0; i < count; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                for (;;)
                    asm volatile("" ::: "memory"); // a loop the compiler keeps
            }
            if (pid > 0)
                m_pids.push_back(pid);
        }
    }
    ~BusyChildren() {
        for (const pid_t pid : m_pids)
            ::kill(pid, SIGKILL);
        for (const pid_t pid : m_pids)
            ::waitpid(pid, nullptr, 0);
    }
    BusyChildren(const BusyChildren&) = delete;
    BusyChildren& operator=(const BusyChildren&) = delete;

private:
    std::vector<pid_t> m_pids;
};

// Plays the device: writes the pattern to the master in writes of a given
// size, as fast as the pseudo-terminal takes them.
class Feeder {
public:
    Feeder(int master, std::size_t total, std::size_t chunk) {
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        m_thread = std::thread([this, master, total, chunk] {
            std::vector<char> data(total);
            for (std::size_t i = 0; i < total; ++i)
                data[i] = static_cast<char>(Pattern(i));
            std::size_t done = 0;
            while (done < total && !m_stop.load()) {
                const ssize_t w =
                    ::write(master, data.data() + done, std::min(chunk, total - done));
                if (w > 0) {
                    done += static_cast<std::size_t>(w);
                } else if (w < 0 && errno == EAGAIN) {
                    pollfd p{master, POLLOUT, 0};
                    ::poll(&p, 1, 50);
                } else if (w < 0 && errno != EINTR) {
                    break;
                }
            }
        });
    }
    ~Feeder() {
        m_stop = true;
        m_thread.join();
    }
    Feeder(const Feeder&) = delete;
    Feeder& operator=(const Feeder&) = delete;

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Who takes the bytes off the pseudo-terminal.
enum TReader {
    rdOnRxChar,   // the serial component, one OnRxChar per byte
    rdBareRead,   // read() of up to 64 KB at a time
    rdOneByteRead // read() of one byte at a time
};

struct TRxResult {
    std::size_t got = 0;
    std::size_t wrong = 0;
    double seconds = 0;
    double cpuSeconds = 0; // the whole process, the feeder included
    std::uint64_t allocations = 0;
    unsigned long long handOvers = 0; // synchronized calls
};

// What the OnRxChar handler needs; the handler captures one pointer, as the
// main window's does.
struct TRxCheck {
    std::size_t total = 0;
    std::size_t got = 0;
    std::size_t wrong = 0;
    QEventLoop* loop = nullptr;
};

TRxResult ReceiveThroughPort(MappedPty& pty, std::size_t total, std::size_t chunk, bool& ok) {
    TRxResult result;
    QORLNK::TLNKCOMPort port;
    port.SetPort1(kCom);
    ok = pty.ok && port.Open();
    if (!ok)
        return result;
    QEventLoop loop;
    TRxCheck check{total, 0, 0, &loop};
    port.OnRxChar = [c = &check](QORLNK::TLNKCOMRxThread*, char ch) {
        if (static_cast<unsigned char>(ch) != Pattern(c->got))
            ++c->wrong;
        if (++c->got == c->total)
            c->loop->quit();
    };
    QTimer::singleShot(kTimeLimit, &loop, &QEventLoop::quit);
    const std::uint64_t allocations = pmvbench::Allocations();
    const unsigned long long calls = pmv::platform::TThread::SynchronizedCalls();
    const double cpu = pmvbench::ProcessCpuSeconds();
    const auto start = Clock::now();
    {
        Feeder feeder(pty.master, total, chunk);
        loop.exec();
        result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        result.cpuSeconds = pmvbench::ProcessCpuSeconds() - cpu;
        result.allocations = pmvbench::Allocations() - allocations;
        result.handOvers = pmv::platform::TThread::SynchronizedCalls() - calls;
    }
    result.got = check.got;
    result.wrong = check.wrong;
    port.OnRxChar = nullptr;
    port.Close();
    return result;
}

TRxResult ReceiveWithRead(MappedPty& pty, std::size_t total, std::size_t chunk, bool oneByte,
                          bool& ok) {
    TRxResult result;
    char name[128] = {};
    const int fd = ::ptsname_r(pty.master, name, sizeof name) == 0
                       ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)
                       : -1;
    ok = fd >= 0;
    if (!ok)
        return result;
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    std::vector<char> buf(oneByte ? 1 : 65536);
    const double cpu = pmvbench::ProcessCpuSeconds();
    const auto start = Clock::now();
    const auto limit = start + kTimeLimit;
    {
        Feeder feeder(pty.master, total, chunk);
        // Blocking reads: the feeder sends every byte.
        while (result.got < total && Clock::now() < limit) {
            const ssize_t r = ::read(fd, buf.data(), buf.size());
            if (r <= 0)
                break;
            for (ssize_t i = 0; i < r; ++i, ++result.got)
                if (static_cast<unsigned char>(buf[i]) != Pattern(result.got))
                    ++result.wrong;
        }
        result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        result.cpuSeconds = pmvbench::ProcessCpuSeconds() - cpu;
    }
    ::close(fd);
    return result;
}

// Bytes written to the pseudo-terminal's far end in writes of range(0)
// bytes, taken off by the reader under test; range(1) busy processes run
// meanwhile. The figure is bytes_per_s; lost_or_reordered counts bytes that
// arrived wrong or not within the time limit; cpu_ns_per_byte is the
// processor time of the process (the writer's included) per byte, and
// bytes_per_handover the bytes one synchronized call delivered.
template <TReader reader> void BM_Rx(benchmark::State& state) {
    const std::size_t chunk = static_cast<std::size_t>(state.range(0));
    const int busy = static_cast<int>(state.range(1));
    const std::size_t total = busy > 0 ? kLoadedBytes : kQuietBytes;
    std::size_t got = 0;
    std::size_t bad = 0;
    std::uint64_t allocations = 0;
    unsigned long long handOvers = 0;
    double seconds = 0;
    double cpuSeconds = 0;
    for (auto _ : state) {
        MappedPty pty;
        BusyChildren load(busy);
        bool ok = false;
        const TRxResult r = reader == rdOnRxChar
                                ? ReceiveThroughPort(pty, total, chunk, ok)
                                : ReceiveWithRead(pty, total, chunk, reader == rdOneByteRead, ok);
        if (!ok) {
            state.SkipWithError("cannot open the pseudo-terminal");
            return;
        }
        state.SetIterationTime(r.seconds);
        got += r.got;
        bad += r.wrong + (total - r.got);
        allocations += r.allocations;
        handOvers += r.handOvers;
        seconds += r.seconds;
        cpuSeconds += r.cpuSeconds;
    }
    const double bytes = static_cast<double>(std::max<std::size_t>(got, 1));
    state.counters["bytes_per_s"] = seconds > 0 ? static_cast<double>(got) / seconds : 0.0;
    state.counters["lost_or_reordered"] = static_cast<double>(bad);
    state.counters["cpu_ns_per_byte"] = cpuSeconds * 1e9 / bytes;
    if (reader == rdOnRxChar) {
        state.counters["allocs_per_byte"] = static_cast<double>(allocations) / bytes;
        state.counters["bytes_per_handover"] =
            bytes / static_cast<double>(std::max<unsigned long long>(handOvers, 1));
    }
}

void RxArgs(benchmark::internal::Benchmark* b) {
    b->ArgNames({"write", "busy"});
    for (const int busy : {0, kBusyProcesses})
        for (const int chunk : {1, 64, 4096})
            b->Args({chunk, busy});
    b->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK_TEMPLATE(BM_Rx, rdOnRxChar)->Name("BM_RxOnRxChar")->Apply(RxArgs);
BENCHMARK_TEMPLATE(BM_Rx, rdBareRead)->Name("BM_RxBareRead")->Apply(RxArgs);
BENCHMARK_TEMPLATE(BM_Rx, rdOneByteRead)->Name("BM_RxOneByteRead")->Apply(RxArgs);

constexpr char kReply[] = "QXSPD = 1500\r"; // 13 bytes, a typical reply
constexpr std::size_t kReplyBytes = sizeof kReply - 1;

// Plays a target that answers one request at a time: writes a reply, waits
// until the reader has taken all of it (the reader writes to done), and
// writes the next.
class ReplyFeeder {
public:
    ReplyFeeder(int master, int done, int replies) {
        m_thread = std::thread([master, done, replies] {
            for (int i = 0; i < replies; ++i) {
                if (::write(master, kReply, kReplyBytes) != static_cast<ssize_t>(kReplyBytes))
                    return;
                std::uint64_t n = 0;
                pollfd p{done, POLLIN, 0};
                if (::poll(&p, 1, 10000) != 1 || ::read(done, &n, sizeof n) != sizeof n)
                    return; // the reader stalled; its count tells
            }
        });
    }
    ~ReplyFeeder() { m_thread.join(); }
    ReplyFeeder(const ReplyFeeder&) = delete;
    ReplyFeeder& operator=(const ReplyFeeder&) = delete;

private:
    std::thread m_thread;
};

void SignalDone(int done) {
    const std::uint64_t one = 1;
    (void)!::write(done, &one, sizeof one);
}

// range(0) replies of 13 bytes, each written when the reader has taken the
// one before, range(1) busy processes running meanwhile: the reader's time
// and processor time (the whole process, the writer's included) per reply,
// and for OnRxChar the synchronized calls per reply.
template <TReader reader> void BM_Replies(benchmark::State& state) {
    const int replies = static_cast<int>(state.range(0));
    BusyChildren load(static_cast<int>(state.range(1)));
    std::size_t got = 0;
    std::size_t wrong = 0;
    double seconds = 0, cpuSeconds = 0;
    unsigned long long handOvers = 0;
    for (auto _ : state) {
        MappedPty pty;
        const int done = ::eventfd(0, EFD_CLOEXEC);
        QORLNK::TLNKCOMPort port;
        port.SetPort1(kCom);
        int fd = -1;
        if (reader == rdOnRxChar) {
            if (!pty.ok || !port.Open()) {
                state.SkipWithError("cannot open the pseudo-terminal");
                return;
            }
        } else {
            char name[128] = {};
            fd = ::ptsname_r(pty.master, name, sizeof name) == 0
                     ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)
                     : -1;
            termios t{};
            if (fd < 0 || ::tcgetattr(fd, &t) != 0) {
                state.SkipWithError("cannot open the pseudo-terminal");
                return;
            }
            ::cfmakeraw(&t);
            ::tcsetattr(fd, TCSANOW, &t);
        }
        const std::size_t total = kReplyBytes * static_cast<std::size_t>(replies);
        std::size_t n = 0, bad = 0;
        auto take = [&](char ch) {
            bad += ch != kReply[n % kReplyBytes] ? 1 : 0;
            if (++n % kReplyBytes == 0)
                SignalDone(done);
        };
        QEventLoop loop;
        port.OnRxChar = [&](QORLNK::TLNKCOMRxThread*, char ch) {
            take(ch);
            if (n == total)
                loop.quit();
        };
        const unsigned long long calls = pmv::platform::TThread::SynchronizedCalls();
        const double cpu = pmvbench::ProcessCpuSeconds();
        const auto start = Clock::now();
        {
            ReplyFeeder feeder(pty.master, done, replies);
            if (reader == rdOnRxChar) {
                QTimer::singleShot(kTimeLimit, &loop, &QEventLoop::quit);
                loop.exec();
            } else {
                char ch = 0;
                while (n < total && Clock::now() < start + kTimeLimit && ::read(fd, &ch, 1) == 1)
                    take(ch);
            }
            seconds += std::chrono::duration<double>(Clock::now() - start).count();
        }
        cpuSeconds += pmvbench::ProcessCpuSeconds() - cpu;
        handOvers += pmv::platform::TThread::SynchronizedCalls() - calls;
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        port.OnRxChar = nullptr;
        port.Close();
        if (fd >= 0)
            ::close(fd);
        ::close(done);
        got += n;
        wrong += bad + (total - n);
    }
    const double count = static_cast<double>(std::max<std::size_t>(got / kReplyBytes, 1));
    state.counters["us_per_reply"] = seconds * 1e6 / count;
    state.counters["cpu_us_per_reply"] = cpuSeconds * 1e6 / count;
    state.counters["lost_or_reordered"] = static_cast<double>(wrong);
    if (reader == rdOnRxChar)
        state.counters["handovers_per_reply"] = static_cast<double>(handOvers) / count;
}

void ReplyArgs(benchmark::internal::Benchmark* b) {
    b->ArgNames({"replies", "busy"});
    b->Args({20000, 0})->Args({2000, kBusyProcesses});
    b->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK_TEMPLATE(BM_Replies, rdOnRxChar)->Name("BM_RepliesOnRxChar")->Apply(ReplyArgs);
BENCHMARK_TEMPLATE(BM_Replies, rdOneByteRead)->Name("BM_RepliesOneByteRead")->Apply(ReplyArgs);

// Open followed by Close; the median of the pairs is the figure.
void BM_OpenClose(benchmark::State& state) {
    MappedPty pty;
    QORLNK::TLNKCOMPort port;
    port.SetPort1(kCom);
    std::vector<double> ms;
    for (auto _ : state) {
        const auto start = Clock::now();
        const bool opened = port.Open();
        port.Close();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!opened) {
            state.SkipWithError("cannot open the pseudo-terminal");
            return;
        }
        state.SetIterationTime(seconds);
        ms.push_back(seconds * 1000.0);
    }
    std::sort(ms.begin(), ms.end());
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["max_ms"] = ms.back();
}
BENCHMARK(BM_OpenClose)->Iterations(100)->UseManualTime()->Unit(benchmark::kMillisecond);

// From the peer vanishing (the master of the pseudo-terminal closed while
// the port waits for bytes) to OnDeviceLost on the user-interface thread;
// the median of the runs is the figure.
void BM_PeerCloseToDeviceLost(benchmark::State& state) {
    std::vector<double> ms;
    for (auto _ : state) {
        MappedPty pty;
        QORLNK::TLNKCOMPort port;
        port.SetPort1(kCom);
        if (!pty.ok || !port.Open()) {
            state.SkipWithError("cannot open the pseudo-terminal");
            return;
        }
        QEventLoop loop;
        Clock::time_point lostAt{};
        port.OnDeviceLost = [&](QORLNK::TLNKCOMPort*) {
            lostAt = Clock::now();
            loop.quit();
        };
        QTimer::singleShot(10000, &loop, &QEventLoop::quit); // never hang
        // Let the workers settle into their waits first.
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
        const auto start = Clock::now();
        ::close(pty.master);
        pty.master = -1;
        loop.exec();
        if (lostAt == Clock::time_point{}) {
            state.SkipWithError("no OnDeviceLost");
            return;
        }
        const double seconds = std::chrono::duration<double>(lostAt - start).count();
        state.SetIterationTime(seconds);
        ms.push_back(seconds * 1000.0);
        port.OnDeviceLost = nullptr;
        port.Close();
    }
    std::sort(ms.begin(), ms.end());
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["max_ms"] = ms.back();
}
BENCHMARK(BM_PeerCloseToDeviceLost)->Iterations(50)->UseManualTime()->Unit(benchmark::kMillisecond);

// Processor time of the whole process while an open port waits for bytes;
// range 1 gives the port a line source, which the platform watches by polling.
void BM_IdleOpenPortCpu(benchmark::State& state) {
    MappedPty pty;
    QORLNK::TLNKCOMPort port;
    port.SetPort1(kCom);
    if (!port.Open()) {
        state.SkipWithError("cannot open the pseudo-terminal");
        return;
    }
    if (state.range(0) != 0)
        pmv::platform::AttachLineSource(port.GetHandle(),
                                        std::make_shared<pmv::platform::ScriptedLineSource>());
    double cpu = 0;
    double wall = 0;
    for (auto _ : state) {
        QEventLoop loop;
        QTimer::singleShot(2000, &loop, &QEventLoop::quit);
        const double cpu0 = pmvbench::ProcessCpuSeconds();
        const auto start = Clock::now();
        loop.exec();
        wall += std::chrono::duration<double>(Clock::now() - start).count();
        cpu += pmvbench::ProcessCpuSeconds() - cpu0;
        state.SetIterationTime(wall);
    }
    port.Close();
    state.counters["cpu_percent"] = wall > 0 ? 100.0 * cpu / wall : 0.0;
}
BENCHMARK(BM_IdleOpenPortCpu)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    pmvbench::UseOffscreenByDefault();
    QApplication app(argc, argv);
    return pmvbench::RunBenchmarks(argc, argv);
}
