// A configuration load in the shown main window, as "&Load Config" runs it
// after its dialog: read and check the file, clear and show all 192 slots,
// captions, snapshot, log, counters and status, then reopen the port. The
// loads alternate between the pump station example and a variant of it that
// differs in every slot, so that every load changes every slot's widgets.
// Pending repaints are processed inside the timed region.
//
//   LoadInWindow/PortAbsent  COM25 is not present: the reopen fails at once
//                            and logs its error, as on a machine without it
//   LoadInWindow/PortReopen  COM25 is a pseudo-terminal: the port is closed
//                            and opened again (worker threads included)
//   ReadOnly                 the file read and check alone, for comparison
#include "app/HostApplication.h"
#include "app/Mainfrm.h"
#include "bench/BenchSupport.h"
#include "config/ConfigFile.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kExamplePath = QStringLiteral(PMV_EXAMPLES_DIR "/qxm300-pump.ini");

std::string ReadBytes(const QString& path) {
    std::ifstream in(QFile::encodeName(path).toStdString(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A private device map in a temporary folder: only what Map() adds is present.
class TBenchDevices {
public:
    TBenchDevices() {
        m_map = m_dir.filePath(QStringLiteral("commap")).toStdString();
        const std::string empty = m_dir.filePath(QStringLiteral("empty")).toStdString();
        ::mkdir(empty.c_str(), 0755);
        ::setenv("PMV_COMMAP", m_map.c_str(), 1);
        ::setenv("PMV_DEV_ROOT", empty.c_str(), 1);
        ::setenv("PMV_SYSFS_ROOT", empty.c_str(), 1);
        Map(0, {});
    }
    ~TBenchDevices() {
        ::unsetenv("PMV_COMMAP");
        ::unsetenv("PMV_DEV_ROOT");
        ::unsetenv("PMV_SYSFS_ROOT");
    }
    // com 0: an empty map.
    void Map(int com, const std::string& device) {
        if (FILE* f = std::fopen(m_map.c_str(), "w")) {
            if (com > 0)
                std::fprintf(f, "COM%d=%s\n", com, device.c_str());
            std::fclose(f);
        }
    }
    QString Path(const QString& name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
    std::string m_map;
};

// The master side of a pseudo-terminal.
class TBenchPty {
public:
    TBenchPty() {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        char name[128] = {};
        if (m_master >= 0 && ::grantpt(m_master) == 0 && ::unlockpt(m_master) == 0 &&
            ::ptsname_r(m_master, name, sizeof name) == 0)
            m_slave = name;
    }
    ~TBenchPty() {
        if (m_master >= 0)
            ::close(m_master);
    }
    const std::string& SlavePath() const { return m_slave; }

private:
    int m_master = -1;
    std::string m_slave;
};

// The example and a variant of it with other captions, texts and values in
// every slot (same port settings).
bool WriteFiles(const TBenchDevices& devices, QString paths[2]) {
    const pmv::TConfigReadResult example = pmv::ReadConfig(ReadBytes(kExamplePath));
    if (!example.Ok)
        return false;
    pmv::TConfigSet variant = example.Set;
    variant.Title = "Variant station";
    for (int p = 0; p < pmv::kPageCount; ++p)
        variant.PageCaptions[p] = "Page " + std::to_string(p + 1);
    for (int i = 0; i < pmv::kSlotCount; ++i) {
        pmv::TCmdRecord& r = variant.CmdTable[i];
        r.cmd_type = std::int8_t((i + 1) % 6);
        r.cmd_str = "V" + std::to_string(i);
        r.cmd_descr = "Variant " + std::to_string(i);
        r.str = "text";
        r.val_start = i;
        r.val_max = 65535;
        r.colour = (i % 2) ? 0x0000FF : 0x008000;
        r.opts = (i % 9 == 0) ? pmv::Disabled : 0;
    }
    paths[0] = kExamplePath;
    paths[1] = devices.Path(QStringLiteral("variant.ini"));
    const pmv::TConfigSaveResult saved =
        pmv::SaveConfigFile(QFile::encodeName(paths[1]).toStdString(), variant);
    return saved.Ok && saved.Warnings.empty();
}

void RunLoads(benchmark::State& state, bool portPresent) {
    TBenchDevices devices;
    TBenchPty pty;
    if (portPresent) {
        if (pty.SlavePath().empty()) {
            state.SkipWithError("no pseudo-terminal");
            return;
        }
        devices.Map(25, pty.SlavePath());
    }
    QString paths[2];
    if (!WriteFiles(devices, paths)) {
        state.SkipWithError("example files not usable");
        return;
    }
    auto form = std::make_unique<TMainForm>();
    form->show();
    QCoreApplication::processEvents();
    // Status panel 0 tells whether the reopen succeeded.
    const QLabel* portState = form->findChild<QLabel*>(QStringLiteral("StatusPanel0"));
    const QString opened = QStringLiteral("COM25: 9600 8 none 1");
    int n = 0;
    for (auto _ : state) {
        form->LoadConfigFromFile(paths[n++ & 1]);
        QCoreApplication::processEvents();
        if ((portState->text() == opened) != portPresent) {
            state.SkipWithError("the port did not end as expected");
            break;
        }
    }
    form->findChild<QAction*>(QStringLiteral("COMClose"))->trigger();
}

void BM_LoadInWindow_PortAbsent(benchmark::State& state) {
    RunLoads(state, false);
}
BENCHMARK(BM_LoadInWindow_PortAbsent)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

void BM_LoadInWindow_PortReopen(benchmark::State& state) {
    RunLoads(state, true);
}
BENCHMARK(BM_LoadInWindow_PortReopen)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

void BM_ReadOnly(benchmark::State& state) {
    const std::string path = QFile::encodeName(kExamplePath).toStdString();
    for (auto _ : state) {
        const pmv::TConfigLoadResult r = pmv::LoadConfigFile(path);
        benchmark::DoNotOptimize(r.Set.CmdTable.data());
    }
}
BENCHMARK(BM_ReadOnly)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

} // namespace

int main(int argc, char** argv) {
    pmvbench::UseOffscreenWithoutDisplay();
    int appArgc = 1;
    THostApplication app(appArgc, argv);
    return pmvbench::RunBenchmarks(argc, argv);
}
