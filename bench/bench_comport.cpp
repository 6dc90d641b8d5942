// The serial component's costs on real pseudo-terminals: received bytes
// through OnRxChar with an otherwise idle user-interface thread (1 MB, order
// checked), Open followed by Close, the time from the peer vanishing to
// OnDeviceLost, and the processor time an idle open port takes.
#include "bench/BenchSupport.h"
#include "comport/Lnkcomport.h"
#include "platform/posix/LineSource.h"

#include <QApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
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

// Bytes sent to the port arrive through OnRxChar; the user-interface thread
// does nothing else.
void BM_RxThroughput(benchmark::State& state) {
    const std::size_t total = static_cast<std::size_t>(state.range(0));
    std::string data(total, '\0');
    for (std::size_t i = 0; i < total; ++i)
        data[i] = static_cast<char>(Pattern(i));
    std::size_t lost = 0;
    for (auto _ : state) {
        MappedPty pty;
        QORLNK::TLNKCOMPort port;
        port.SetPort1(kCom);
        if (!pty.ok || !port.Open()) {
            state.SkipWithError("cannot open the pseudo-terminal");
            return;
        }
        std::size_t got = 0;
        std::size_t wrong = 0;
        QEventLoop loop;
        port.OnRxChar = [&](QORLNK::TLNKCOMRxThread*, char c) {
            if (static_cast<unsigned char>(c) != Pattern(got))
                ++wrong;
            if (++got == total)
                loop.quit();
        };
        QTimer::singleShot(120000, &loop, &QEventLoop::quit); // never hang
        const auto start = Clock::now();
        std::thread writer([&] {
            std::size_t done = 0;
            while (done < total) {
                const ssize_t w = ::write(pty.master, data.data() + done, total - done);
                if (w > 0)
                    done += static_cast<std::size_t>(w);
                else if (w < 0 && errno != EAGAIN && errno != EINTR)
                    break;
            }
        });
        loop.exec();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        writer.join();
        state.SetIterationTime(seconds);
        lost += (total - got) + wrong;
        port.OnRxChar = nullptr;
        port.Close();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
    state.counters["bytes_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * total), benchmark::Counter::kIsRate);
    state.counters["lost_or_reordered"] = static_cast<double>(lost);
}
BENCHMARK(BM_RxThroughput)
    ->Arg(1 << 20)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

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
