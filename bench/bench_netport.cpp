// Network ports against Debian's ser2net on the loopback address, in front
// of qxm-sim's pseudo-terminal (tests/support/Ser2net.h).
//   GetAll/Direct    Get All's 192 frames through the serial layer, each
//                    written and its reply read a byte at a time (as the
//                    serial component reads), on a simulator's pty.
//                    Each of the three has a simulator of its own (and each
//                    network one a ser2net of its own): ser2net keeps its
//                    device open for a while after a client leaves. A reply
//                    that does not come within 5 s ends the run (no_reply).
//   GetAll/Rfc2217   the same through ser2net's RFC 2217 listener;
//   GetAll/Tcp       ... and its raw TCP listener. Their rates against
//                    Direct's, from the same rounds, are the figures.
//   ServerGoneToLostLine  from ser2net being killed (SIGKILL) under an open
//                    RFC 2217 port to the window's "device lost" line: median
//                    and maximum over the runs. Between runs the server
//                    starts again and the window reopens the port by itself.
// ser2net runs with chardelay off: by default it holds received bytes back
// for some character times to send them in fewer packets, a wait of its own
// that is no cost of the host's (a bench server is set up the same way).
#include "app/FormWidgets.h"
#include "app/HostApplication.h"
#include "app/Mainfrm.h"
#include "bench/BenchGetAll.h"
#include "bench/BenchSupport.h"
#include "config/CmdRecord.h"
#include "config/ConfigFile.h"
#include "platform/posix/commapi.h"
#include "platform/posix/synchapi.h"
#include "tests/support/Ser2net.h"
#include "tools/sim/SimClient.h"

#include <QAction>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSimCom = 25, kRfcCom = 26, kTcpCom = 27, kDirectCom = 28;

struct TBench {
    QTemporaryDir dir;
    std::string map;
    qxmsim::TSimProcess sim, direct, rawSim;
    std::unique_ptr<pmvtest::TSer2net> server, rawServer;
    bool ok = false;
    TBench() {
        map = dir.filePath("commap").toStdString();
        ::setenv("PMV_COMMAP", map.c_str(), 1);
        if (!sim.Start(QXM_SIM_PATH, map, kSimCom, {}) ||
            !direct.Start(QXM_SIM_PATH, map, kDirectCom, {}) ||
            !rawSim.Start(QXM_SIM_PATH, map, kSimCom + 4, {}))
            return;
        const std::string options = "    chardelay: false\n";
        QDir(dir.path()).mkdir(QStringLiteral("raw"));
        server =
            std::make_unique<pmvtest::TSer2net>(dir.path().toStdString(), sim.Device(), options);
        rawServer = std::make_unique<pmvtest::TSer2net>(dir.filePath("raw").toStdString(),
                                                        rawSim.Device(), options);
        if (!server->Start() || !rawServer->Start())
            return;
        std::ofstream(map) << "COM" << kRfcCom << "=" << server->Rfc2217() << "\nCOM" << kTcpCom
                           << "=" << rawServer->Tcp() << "\n";
        ok = true;
    }
};
TBench* gBench = nullptr;

void BM_GetAll(benchmark::State& state) {
    if (!gBench->ok) {
        state.SkipWithError("no simulator or ser2net");
        return;
    }
    const std::string name = "COM" + std::to_string(state.range(0));
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        state.SkipWithError("the port did not open");
        return;
    }
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // One byte, within 5 s; false when it did not come.
    const auto readByte = [&](BYTE& b) {
        OVERLAPPED ov{};
        ov.hEvent = event;
        DWORD n = 0;
        if (!ReadFile(h, &b, 1, &n, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING)
                return false;
            if (WaitForSingleObject(event, 5000) != WAIT_OBJECT_0) {
                PurgeComm(h, PURGE_RXABORT);
                GetOverlappedResult(h, &ov, &n, TRUE);
                return false;
            }
            return GetOverlappedResult(h, &ov, &n, TRUE) && n == 1;
        }
        return n == 1;
    };
    const std::vector<std::string> frames = pmvbench::GetAllFrames();
    long requests = 0;
    long noReply = 0;
    for (auto _ : state) {
        for (const std::string& f : frames) {
            if (noReply != 0)
                break;
            OVERLAPPED ov{};
            ov.hEvent = event;
            DWORD n = 0;
            if (!WriteFile(h, f.data(), static_cast<DWORD>(f.size()), &n, &ov) &&
                (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(h, &ov, &n, TRUE))) {
                ++noReply;
                break;
            }
            BYTE b = 0;
            bool got = false;
            while ((got = readByte(b)) && b != '\r') {
            }
            if (got)
                ++requests;
            else
                ++noReply;
        }
    }
    CloseHandle(event);
    CloseHandle(h);
    state.SetItemsProcessed(requests);
    state.counters["no_reply"] = double(noReply);
}
BENCHMARK(BM_GetAll)
    ->Name("BM_GetAll/Direct")
    ->Arg(kDirectCom)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_GetAll)
    ->Name("BM_GetAll/Rfc2217")
    ->Arg(kRfcCom)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_GetAll)
    ->Name("BM_GetAll/Tcp")
    ->Arg(kTcpCom)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * double(v.size())))];
}

void BM_ServerGoneToLostLine(benchmark::State& state) {
    if (!gBench->ok) {
        state.SkipWithError("no simulator or ser2net");
        return;
    }
    const QString config = gBench->dir.filePath(QStringLiteral("com26.ini"));
    pmv::TConfigSet set;
    set.ComPort = kRfcCom;
    TMainForm form;
    form.show();
    auto* portState = form.findChild<QLabel*>(QStringLiteral("StatusPanel0"));
    auto* log = form.findChild<QPlainTextEdit*>(QStringLiteral("Memo"));
    if (!pmv::SaveConfigFile(QFile::encodeName(config).toStdString(), set).Ok) {
        state.SkipWithError("no configuration");
        return;
    }
    form.LoadConfigFromFile(config);
    Clock::time_point lostAt{};
    QEventLoop loop;
    QObject::connect(log, &QPlainTextEdit::textChanged, &loop, [&] {
        const QString last = log->document()->lastBlock().text();
        if (lostAt == Clock::time_point{} && last.endsWith(QStringLiteral(": device lost"))) {
            lostAt = Clock::now();
            loop.quit();
        } else if (last.endsWith(QStringLiteral(", reopened"))) {
            loop.quit();
        }
    });
    QTimer guard; // never hang
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    std::vector<double> ms;
    for (auto _ : state) {
        if (!portState->text().startsWith(QStringLiteral("COM26:"))) {
            state.SkipWithError("the port is not open");
            break;
        }
        lostAt = {};
        // The workers settle into their waits and the log puts in its last batch.
        QTimer::singleShot(TLogView::kFlushMs + 5, &loop, &QEventLoop::quit);
        loop.exec();
        guard.start(10000);
        const Clock::time_point start = Clock::now();
        gBench->server->Kill();
        loop.exec();
        if (lostAt == Clock::time_point{}) {
            state.SkipWithError("no device-lost line");
            break;
        }
        const double seconds = std::chrono::duration<double>(lostAt - start).count();
        state.SetIterationTime(seconds);
        ms.push_back(seconds * 1000.0);
        // Not timed: the server again, and the window's reopen.
        if (!gBench->server->Start()) {
            state.SkipWithError("ser2net did not start again");
            break;
        }
        guard.start(10000);
        loop.exec();
    }
    if (!ms.empty()) {
        state.counters["median_ms"] = Percentile(ms, 0.5);
        state.counters["max_ms"] = Percentile(ms, 1.0);
    }
}
BENCHMARK(BM_ServerGoneToLostLine)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    pmvbench::UseOffscreenByDefault();
    int appArgc = 1;
    THostApplication app(appArgc, argv);
    TBench bench;
    gBench = &bench;
    return pmvbench::RunBenchmarks(argc, argv);
}
