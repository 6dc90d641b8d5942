// The production station: `pmv-link program examples/qxm300-pump.ini` on
// simulated units paced at 9600 baud (qxm-sim --pace 9600), each with its own
// serial number, published through a private device map.
//   StationProgram/N      one pmv-link for N units at once (COM25 ...): units
//                         per hour, processor time per request
//   SequentialProgram/N   the yardstick: a shell loop running one pmv-link
//                         per unit, one after the other; goal: StationProgram/8
//                         at least 0.8 * 8 times its rate
//   StationHealthySix     six units alone, and
//   StationSilentUnplugged the same six beside a silent unit and one unplugged
//                         during its run: the six's time (the slowest of
//                         their rows); goal: at most 5 % more
//   StationCpu/N          the station's code path in this process on N units:
//                         processor time per request, against
//   SinglePortCpu         the single-port runner doing the same requests
// Every row of every run is checked: its JSON parsed, the report's CSV read
// back, the unit's serial number and result as expected (rows_valid_pct).
// Run with `--benchmark_repetitions=5` (make bench); the load of the machine
// belongs beside the figures.
#include "app/link/PortLink.h"
#include "app/link/ReplyTimeout.h"
#include "bench/BenchSupport.h"
#include "comport/Lnkcomport.h"
#include "config/ConfigFile.h"
#include "tools/link/Station.h"
#include "tools/sim/SimClient.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
const std::string kExample = PMV_SOURCE_DIR "/examples/qxm300-pump.ini";
constexpr int kFirstCom = 25, kSilentCom = 23, kUnpluggedCom = 24;
constexpr int kRequestsPerUnit = 2 + 17 + 32; // identity, set-all, verify
// A time-out the loaded machine does not reach: a run with a time-out is
// counted (failed_runs), not dropped (Google Benchmark 1.7.1 crashes on a
// repetition skipped with an error).
constexpr int kTimeoutMs = 1000;
const std::vector<std::string> kOptions = {
    "--timeout", std::to_string(kTimeoutMs), "--identity", "SN,VER", "--expect", "VER=300"};

std::string Serial(int com) {
    return std::to_string(30030000 + com);
}

struct TBench {
    QTemporaryDir dir;
    std::map<int, std::unique_ptr<qxmsim::TSimProcess>> sims;
    bool up = true;

    TBench() {
        ::setenv("PMV_COMMAP", dir.filePath("commap").toStdString().c_str(), 1);
        for (int com = kFirstCom; com < kFirstCom + 8; ++com)
            up = up && Start(com, {});
        up = up && Start(kSilentCom, {"--silent", "*"});
    }

    bool Start(int com, std::vector<std::string> args) {
        args.insert(args.end(), {"--pace", "9600", "--sn", Serial(com)});
        auto& sim = sims[com] = std::make_unique<qxmsim::TSimProcess>();
        if (sim->Start(QXM_SIM_PATH, dir.filePath("commap").toStdString(), com, args))
            return true;
        std::fprintf(stderr, "bench_station: %s\n", sim->Error().c_str());
        return false;
    }
};

TBench* Bench() {
    static TBench* bench = new TBench;
    return bench->up ? bench : nullptr;
}

struct TProcessRun {
    int status = -1;
    double seconds = 0;
    double cpuSeconds = 0; // the process and the processes it waited for
    std::string out;
};

TProcessRun Run(const std::vector<std::string>& args) {
    TProcessRun r;
    const std::string outPath = Bench()->dir.filePath("out").toStdString();
    std::vector<std::string> store = args;
    std::vector<char*> argv;
    for (std::string& a : store)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const Clock::time_point start = Clock::now();
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    if (rc != 0 || ::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status))
        return r;
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.status = WEXITSTATUS(status);
    auto secs = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    r.cpuSeconds = secs(usage.ru_utime) + secs(usage.ru_stime);
    std::ifstream in(outPath);
    r.out.assign(std::istreambuf_iterator<char>(in), {});
    return r;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty() && l != "\r")
            lines.push_back(l);
    return lines;
}

// Fields of one CSV line (quoted fields with doubled quotes).
std::vector<std::string> CsvFields(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"')
            fields.back() += line[++i];
        else if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == ',')
            fields.emplace_back();
        else if (c != '\r')
            fields.back() += c;
    }
    return fields;
}

struct TRows {
    int valid = 0, expected = 0;
    double slowestHealthyMs = 0; // the longest elapsed_ms of a passing unit
    int requests = 0;
};

// The rows of one run: JSON from standard output, CSV from the report file
// (this run's rows from line `first` on), checked against the expected
// result per port.
TRows CheckRows(const std::string& out, const std::string& report, std::size_t first,
                const std::map<int, std::string>& expected) {
    TRows t;
    t.expected = static_cast<int>(expected.size());
    std::ifstream in(report);
    const std::vector<std::string> csv = Lines({std::istreambuf_iterator<char>(in), {}});
    const std::vector<std::string> header =
        csv.empty() ? std::vector<std::string>() : CsvFields(csv[0]);
    std::map<std::string, std::size_t> column;
    for (std::size_t i = 0; i < header.size(); ++i)
        column[header[i]] = i;
    const std::vector<std::string> json = Lines(out);
    for (std::size_t i = 0; i < json.size(); ++i) {
        const QJsonObject row =
            QJsonDocument::fromJson(QByteArray::fromStdString(json[i])).object();
        const std::string port = row["port"].toString().toStdString();
        const int com = port.size() > 3 ? std::atoi(port.c_str() + 3) : 0;
        const std::string result = row["result"].toString().toStdString();
        const std::size_t csvLine = first + i;
        if (csvLine >= csv.size() || !expected.count(com))
            continue;
        const std::vector<std::string> fields = CsvFields(csv[csvLine]);
        bool ok = fields.size() == header.size() && result == expected.at(com) &&
                  fields[column["port"]] == port && fields[column["result"]] == result &&
                  fields[column["time"]] == row["time"].toString().toStdString();
        for (const char* key : {"time", "command", "device", "identity", "reason", "differing",
                                "values", "requests", "elapsed_ms"})
            ok = ok && row.contains(key);
        if (result == "pass")
            ok = ok && row["identity"].toObject()["SN"].toString().toStdString() == Serial(com) &&
                 fields[column["SN"]] == Serial(com) && row["requests"].toInt() == kRequestsPerUnit;
        t.valid += ok ? 1 : 0;
        t.requests += row["requests"].toInt();
        if (result == "pass")
            t.slowestHealthyMs = std::max(t.slowestHealthyMs, row["elapsed_ms"].toDouble());
    }
    return t;
}

std::size_t LineCount(const std::string& path) {
    std::ifstream in(path);
    return Lines({std::istreambuf_iterator<char>(in), {}}).size();
}

std::string PortList(const std::vector<int>& coms) {
    std::string list;
    for (const int com : coms)
        list += (list.empty() ? "COM" : ",COM") + std::to_string(com);
    return list;
}

std::vector<int> Units(int n) {
    std::vector<int> coms;
    for (int i = 0; i < n; ++i)
        coms.push_back(kFirstCom + i);
    return coms;
}

// One pmv-link for all of coms; the time is the run's, or the slowest
// passing unit's (healthyTime).
void Station(benchmark::State& state, const std::vector<int>& coms,
             std::map<int, std::string> expected, bool healthyTime) {
    TBench* bench = Bench();
    if (bench == nullptr) {
        state.SkipWithError("no simulators");
        return;
    }
    const std::string report = bench->dir.filePath("station.csv").toStdString();
    int valid = 0, rows = 0, requests = 0;
    double cpu = 0, seconds = 0;
    for (auto _ : state) {
        if (expected.count(kUnpluggedCom))
            bench->Start(kUnpluggedCom,
                         {"--exit-after", "20"}); // a row that is not as expected counts
        std::vector<std::string> args = {PMV_LINK_PATH, "--port",   PortList(coms),
                                         "--json",      "--report", report};
        args.insert(args.end(), kOptions.begin(), kOptions.end());
        args.insert(args.end(), {"program", kExample});
        const std::size_t before = LineCount(report);
        const TProcessRun r = Run(args);
        const TRows t =
            CheckRows(r.out, report, before == 0 ? 1 : before, expected); // after the header
        state.SetIterationTime(healthyTime ? t.slowestHealthyMs / 1000 : r.seconds);
        seconds += r.seconds;
        valid += t.valid;
        rows += t.expected;
        requests += t.requests;
        cpu += r.cpuSeconds;
    }
    const double units = double(state.iterations()) *
                         double(std::count_if(expected.begin(), expected.end(),
                                              [](const auto& e) { return e.second == "pass"; }));
    state.counters["units_per_hour"] = seconds > 0 ? units * 3600 / seconds : 0;
    state.counters["rows_valid_pct"] = rows > 0 ? 100.0 * valid / rows : 0;
    state.counters["process_cpu_us_per_request"] = requests > 0 ? cpu * 1e6 / requests : 0;
}

void BM_StationProgram(benchmark::State& state) {
    const std::vector<int> coms = Units(int(state.range(0)));
    std::map<int, std::string> expected;
    for (const int com : coms)
        expected[com] = "pass";
    Station(state, coms, expected, false);
}
BENCHMARK(BM_StationProgram)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_SequentialProgram(benchmark::State& state) {
    if (Bench() == nullptr) {
        state.SkipWithError("no simulators");
        return;
    }
    std::string options;
    for (const std::string& o : kOptions)
        options += " '" + o + "'";
    std::string script = "for p in";
    for (const int com : Units(int(state.range(0))))
        script += " COM" + std::to_string(com);
    script += "; do '" PMV_LINK_PATH "' --port $p" + options + " program '" + kExample +
              "' || exit 1; done";
    double cpu = 0, seconds = 0;
    int failed = 0;
    for (auto _ : state) {
        const TProcessRun r = Run({"/bin/sh", "-c", script});
        failed += r.status != 0;
        state.SetIterationTime(r.seconds);
        seconds += r.seconds;
        cpu += r.cpuSeconds;
    }
    const double units = double(state.iterations()) * double(state.range(0));
    state.counters["units_per_hour"] = units * 3600 / seconds;
    state.counters["process_cpu_us_per_request"] = cpu * 1e6 / (units * kRequestsPerUnit);
    state.counters["failed_runs"] = failed;
}
BENCHMARK(BM_SequentialProgram)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_StationHealthySix(benchmark::State& state) {
    std::map<int, std::string> expected;
    for (const int com : Units(6))
        expected[com] = "pass";
    Station(state, Units(6), expected, true);
}
BENCHMARK(BM_StationHealthySix)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_StationSilentUnplugged(benchmark::State& state) {
    std::vector<int> coms = Units(6);
    std::map<int, std::string> expected;
    for (const int com : coms)
        expected[com] = "pass";
    coms.insert(coms.end(), {kSilentCom, kUnpluggedCom});
    expected[kSilentCom] = "timeout";
    expected[kUnpluggedCom] = "lost";
    Station(state, coms, expected, true);
}
BENCHMARK(BM_StationSilentUnplugged)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// ---- Processor time in this process ------------------------------------------------
//
// The station's code path as pmv-link wires it (TStation, one fixture per
// port), and the single-port runner (TLinkRunner on one TPortLink, as
// pmv-link's single-port run): the same requests per unit (SN and VER, Set
// All, Get All) and an open and close of the port per unit, the process's
// processor time (all its threads, not the
// simulators') per request.

const pmv::TConfigSet& Example() {
    static const pmv::TConfigSet set = pmv::LoadConfigFile(kExample).Set;
    return set;
}

void BM_StationCpu(benchmark::State& state) {
    if (Bench() == nullptr) {
        state.SkipWithError("no simulators");
        return;
    }
    const pmv::TConfigSet& set = Example();
    pmv::linkcli::TStationSetup setup;
    setup.set = &set;
    setup.command = "program";
    for (const char* word : {"SN", "VER"})
        setup.identitySlots.push_back(pmv::linkcli::ChooseGetSlot(set.CmdTable, word).slot);
    setup.steps.push_back(pmv::linkcli::MakeIdentityStep(setup.identitySlots, {}));
    pmv::linkcli::MakeCommandSteps("program", setup.steps);
    int requests = 0, passed = 0;
    double cpu = 0;
    for (auto _ : state) {
        pmv::linkcli::TStation station(setup);
        for (const int com : Units(int(state.range(0))))
            station.AddFixture(com);
        station.onRow = [&](const pmv::linkcli::TUnitRecord& r) {
            requests += r.requests;
            passed += r.result == pmv::linkcli::TUnitResult::Pass;
        };
        const double before = pmvbench::ProcessCpuSeconds();
        const Clock::time_point start = Clock::now();
        station.Start();
        while (!station.Finished())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        cpu += pmvbench::ProcessCpuSeconds() - before;
    }
    state.counters["cpu_us_per_request"] = requests > 0 ? cpu * 1e6 / requests : 0;
    state.counters["failed_units"] = double(state.iterations() * state.range(0) - passed);
}
BENCHMARK(BM_StationCpu)
    ->Arg(1)
    ->Arg(8)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_SinglePortCpu(benchmark::State& state) {
    if (Bench() == nullptr) {
        state.SkipWithError("no simulators");
        return;
    }
    const pmv::TConfigSet& set = Example();
    const pmv::TCmdTable& table = set.CmdTable;
    QORLNK::TLNKCOMPort port;
    QTimer timer;
    pmv::linkcli::TCliView view(table);
    pmv::TPortLink link(table, port, timer, view, [](const std::string&) {});
    pmv::linkcli::TLinkRunner runner(table, link.Engine(), view);
    port.SetPort1(kFirstCom);
    const std::vector<int> identity = {pmv::linkcli::ChooseGetSlot(table, "SN").slot,
                                       pmv::linkcli::ChooseGetSlot(table, "VER").slot};
    auto wait = [&] {
        while (!runner.Finished())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    };
    double cpu = 0;
    int failed = 0, timeouts = 0;
    for (auto _ : state) {
        const int tx = link.Engine().TxCount();
        const double before = pmvbench::ProcessCpuSeconds();
        const Clock::time_point start = Clock::now();
        if (!pmv::OpenComPort(port).empty()) { // each unit's run opens its port
            ++failed;
            continue;
        }
        runner.Get(identity);
        wait();
        runner.SetAll();
        wait();
        runner.GetAll();
        wait();
        port.Close();
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        cpu += pmvbench::ProcessCpuSeconds() - before;
        failed += link.Engine().TxCount() - tx != kRequestsPerUnit ||
                  link.Engine().RxTOCount() != timeouts;
        timeouts = link.Engine().RxTOCount();
    }
    state.counters["failed_runs"] = failed;
    state.counters["cpu_us_per_request"] =
        cpu * 1e6 / (double(state.iterations()) * kRequestsPerUnit);
}
BENCHMARK(BM_SinglePortCpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    pmv::SetReplyTimeoutMs(kTimeoutMs);
    return pmvbench::RunBenchmarks(argc, argv);
}
