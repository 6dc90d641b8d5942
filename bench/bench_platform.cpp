// Costs of the Windows API stand-in and the thread class:
// - a 12-byte line's round trip over a pty pair through the overlapped calls,
//   against the same loop on plain POSIX calls (median per round trip);
// - synchronized calls from a worker to an idle Qt main thread, against Qt's
//   own blocking queued invocation (calls per second);
// - the processor time an open port takes with three workers waiting.
#include "platform/DeviceMap.h"
#include "platform/Thread.h"
#include "platform/posix/LineSource.h"
#include "platform/winapi.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

using Clock = std::chrono::steady_clock;
using pmv::platform::TThread;
constexpr int kCom = 30;
constexpr char kLine[] = "QXspeed=123\r"; // 12 bytes

class PtyPair {
public:
    PtyPair() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            return;
        slave = ::ptsname(master);
        termios t{};
        ::tcgetattr(master, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master, TCSANOW, &t);
    }
    ~PtyPair() {
        if (master >= 0)
            ::close(master);
    }
    int master = -1;
    std::string slave;
};

bool ReadExactly(int fd, char* buf, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0)
            return false;
        const ssize_t r = ::read(fd, buf + got, n - got);
        if (r <= 0)
            return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

/// Plays the device: echoes every 12-byte line back on the master side.
class Echo {
public:
    explicit Echo(int master)
        : m_thread([this, master] {
              char buf[12];
              while (!m_stop.load() && ReadExactly(master, buf, sizeof buf))
                  if (::write(master, buf, sizeof buf) != sizeof buf)
                      break;
          }) {}
    ~Echo() {
        m_stop = true;
        m_thread.join(); // ends at the next 5 s poll time-out at the latest
    }

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

void BM_RoundTripLayer(benchmark::State& state) {
    PtyPair pty;
    std::string error;
    if (!pmv::platform::SetDeviceMapOverride(kCom, pty.slave, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    HANDLE h = CreateFileA("\\\\.\\COM30", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        state.SkipWithError("CreateFileA failed");
        return;
    }
    OVERLAPPED rov{}, wov{};
    rov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    wov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Echo echo(pty.master);
    std::vector<double> samples;
    char buf[12];
    for (auto _ : state) {
        const auto start = Clock::now();
        DWORD n = 0;
        if (!WriteFile(h, kLine, 12, &n, &wov) && !GetOverlappedResult(h, &wov, &n, TRUE))
            state.SkipWithError("write failed");
        if (!ReadFile(h, buf, 12, &n, &rov)) {
            if (GetLastError() != ERROR_IO_PENDING ||
                WaitForSingleObject(rov.hEvent, 5000) != WAIT_OBJECT_0 ||
                !GetOverlappedResult(h, &rov, &n, FALSE)) {
                state.SkipWithError("read failed");
                break;
            }
        }
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    state.counters["median_us"] = Median(samples);
    CloseHandle(rov.hEvent);
    CloseHandle(wov.hEvent);
    CloseHandle(h);
    ::close(pty.master); // ends the echo's wait at once
    pty.master = -1;
    pmv::platform::RemoveDeviceMapOverride(kCom);
}

void BM_RoundTripPosix(benchmark::State& state) {
    PtyPair pty;
    const int fd = ::open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    Echo echo(pty.master);
    std::vector<double> samples;
    char buf[12];
    for (auto _ : state) {
        const auto start = Clock::now();
        if (::write(fd, kLine, 12) != 12 || !ReadExactly(fd, buf, 12)) {
            state.SkipWithError("plain round trip failed");
            break;
        }
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    state.counters["median_us"] = Median(samples);
    ::close(fd);
    ::close(pty.master);
    pty.master = -1;
}

constexpr int kCallsPerRun = 2000;

/// A worker that makes kCallsPerRun synchronized calls, then quits the loop.
class SyncWorker final : public TThread {
public:
    explicit SyncWorker(QEventLoop& loop) : TThread(true), m_loop(loop) { Start(); }
    ~SyncWorker() override { WaitFor(); }
    int count = 0;

protected:
    void Execute() override {
        for (int i = 0; i < kCallsPerRun; ++i)
            Synchronize([this] { ++count; });
        Synchronize([this] { m_loop.quit(); });
    }

private:
    QEventLoop& m_loop;
};

void BM_SynchronizeLayer(benchmark::State& state) {
    for (auto _ : state) {
        QEventLoop loop;
        SyncWorker worker(loop);
        loop.exec();
        benchmark::DoNotOptimize(worker.count);
    }
    state.SetItemsProcessed(state.iterations() * kCallsPerRun);
}

void BM_InvokeBlockingQt(benchmark::State& state) {
    QObject* target = QCoreApplication::instance();
    for (auto _ : state) {
        QEventLoop loop;
        int count = 0;
        std::thread worker([&] {
            for (int i = 0; i < kCallsPerRun; ++i)
                QMetaObject::invokeMethod(
                    target, [&] { ++count; }, Qt::BlockingQueuedConnection);
            QMetaObject::invokeMethod(
                target, [&] { loop.quit(); }, Qt::BlockingQueuedConnection);
        });
        loop.exec();
        worker.join();
        benchmark::DoNotOptimize(count);
    }
    state.SetItemsProcessed(state.iterations() * kCallsPerRun);
}

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

/// An open port with a pending read, a pending event wait and a thread
/// waiting on an event, as the serial component leaves it when idle.
/// Argument 1: with a line source attached, so the line watcher polls as it
/// does on a real UART.
void BM_IdleOpenPortCpu(benchmark::State& state) {
    PtyPair pty;
    pmv::platform::SetDeviceMapOverride(kCom, pty.slave);
    HANDLE h = CreateFileA("\\\\.\\COM30", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        state.SkipWithError("CreateFileA failed");
        return;
    }
    if (state.range(0) != 0)
        pmv::platform::AttachLineSource(h, std::make_shared<pmv::platform::ScriptedLineSource>());
    SetCommMask(h, 0x1F8);
    HANDLE txRequest = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED rov{}, sov{};
    rov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    sov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char byte = 0;
    DWORD n = 0, mask = 0;
    std::thread rx([&] {
        if (!ReadFile(h, &byte, 1, &n, &rov))
            WaitForSingleObject(rov.hEvent, INFINITE);
    });
    std::thread status([&] {
        if (!WaitCommEvent(h, &mask, &sov))
            WaitForSingleObject(sov.hEvent, INFINITE);
    });
    std::thread tx([&] { WaitForSingleObject(txRequest, INFINITE); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // all three settled
    double cpu = 0;
    double wall = 0;
    for (auto _ : state) {
        const double c0 = ProcessCpuSeconds();
        const auto w0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        cpu += ProcessCpuSeconds() - c0;
        wall += std::chrono::duration<double>(Clock::now() - w0).count();
    }
    state.counters["cpu_percent_of_core"] = wall > 0 ? 100.0 * cpu / wall : 0.0;
    SetEvent(txRequest);
    CloseHandle(h); // ends the read and the wait
    rx.join();
    status.join();
    tx.join();
    CloseHandle(txRequest);
    CloseHandle(rov.hEvent);
    CloseHandle(sov.hEvent);
    pmv::platform::RemoveDeviceMapOverride(kCom);
}

BENCHMARK(BM_RoundTripLayer)->Iterations(3000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RoundTripPosix)->Iterations(3000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SynchronizeLayer)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_InvokeBlockingQt)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IdleOpenPortCpu)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir; // the bench's own device map
    qputenv("PMV_COMMAP", (dir.path() + "/commap").toLocal8Bit());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
