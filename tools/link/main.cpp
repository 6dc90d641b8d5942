// pmv-link: the host's link to a QXM300 controller without a window. Reads,
// writes and verifies the parameters of a configuration file through the
// same request engine, serial component and configuration reader as the
// window, so every frame, time-out, clamp and log line is the window's.
#include "app/link/PortLink.h"
#include "app/link/WatchRun.h"
#include "comport/LnkText.h"
#include "comport/Lnkcomport.h"
#include "config/CmdRecord.h"
#include "config/ConfigFile.h"
#include "config/Snapshot.h"
#include "config/TextCodec.h"
#include "platform/NetPort.h"
#include "platform/PortStatus.h"
#include "tools/link/LinkOutput.h"
#include "tools/link/LinkRun.h"
#include "tools/link/LinkWatch.h"
#include "tools/link/Report.h"
#include "tools/link/Station.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fnmatch.h>
#include <functional>
#include <numeric>
#include <optional>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using namespace pmv;
using namespace pmv::linkcli;

constexpr int kExitFailed = 1; // a time-out, a refused request, a difference
constexpr int kExitUsage = 2;  // command line or configuration file
constexpr int kExitPort = 3;   // the port does not open, or its device went away
constexpr int kExitOutput = 4; // the log or standard output could not be written
constexpr int kExitSignalBase = 128;
constexpr std::uint32_t kErrorBadCommand = 22; // what the serial layer gives for a vanished device

constexpr const char kHelp[] =
    "Usage: pmv-link [options] COMMAND FILE [ARG ...]\n"
    "Talks to a QXM300 controller as PMV-Host does, without a window: reads, sends and\n"
    "verifies the parameters of the configuration file FILE, on the port FILE names, and\n"
    "compares configuration files. On several ports it runs the command on every unit at\n"
    "once and prints one report row per unit (see Several units).\n"
    "\n"
    "Commands:\n"
    "  get-all            Reads every parameter the window's Get All reads, in its order.\n"
    "  get WORD|SLOT ...  Reads these slots one after the other (their Get buttons).\n"
    "  set WORD=VALUE|SLOT=VALUE ...\n"
    "                     Sends these slots with these values (their Set or Tx buttons);\n"
    "                     a plain command takes no value (set RUN).\n"
    "  set-all            Sends every parameter the window's Set All sends, with the\n"
    "                     file's values.\n"
    "  verify             Reads as get-all and compares every parameter that Set All also\n"
    "                     sends with the file's value; prints the differences with their\n"
    "                     status: differs, timed out, late or not read (--all: same too).\n"
    "  snapshot [OUT]     Reads as get-all and writes the target's values as a\n"
    "                     configuration file: FILE with the values read, to OUT ('-':\n"
    "                     standard output), else into snapshots/ beside FILE, named by\n"
    "                     date, time and port; prints where. A value not read keeps the\n"
    "                     file's and leaves the snapshot's Get All and Set All.\n"
    "  diff B             Compares FILE with the configuration file B without a target:\n"
    "                     the parameters verify compares, with B's values; the rows and\n"
    "                     exit status of verify (not read: B lacks the parameter).\n"
    "  program            set-all, then verify, on each unit; one report row per unit.\n"
    "  watch WORD|SLOT ... --interval MS [--count N | --duration S]\n"
    "                     Reads these slots (readings and parameters with Get) again and\n"
    "                     again, one cycle every MS milliseconds (0: as fast as the\n"
    "                     replies come), and prints each sample as it comes: time\n"
    "                     (RFC 3339), slot, command, value and status (ok, timed out,\n"
    "                     late). Ends after N cycles, after S seconds, or on Ctrl-C, each\n"
    "                     time after the request in flight. One unit only.\n"
    "\n"
    "SLOT is a slot number, 1 to 192 ((page - 1) * 24 + position). WORD is a command word:\n"
    "the first slot with exactly that word whose Get (or Set) button the window enables.\n"
    "Numbers are clamped into the slot's limits as the window clamps a typed value. Texts\n"
    "go out as the window's 8-bit (Latin-1) text: a character without an 8-bit form, or a\n"
    "control character, is refused before anything is sent. A reply that does not come\n"
    "within the time-out is logged as the window logs it and the run goes on with the\n"
    "next slot. A value is reported under a slot only when the reply names the slot's\n"
    "command and came while its request was outstanding; a late reply marks its slot\n"
    "late, a reply that matches no request is logged and counted.\n"
    "\n"
    "Options:\n"
    "  --port COMn        Uses port COMn (or n, 1-32) instead of the file's com_port;\n"
    "                     COMn,COMn,... (or the option repeated): several units.\n"
    "  --device PATH      Uses the serial device PATH as the port; repeated: several units\n"
    "                     (on the file's COM number and the numbers after it); also\n"
    "                     rfc2217://HOST:PORT or tcp://HOST:PORT, a serial server.\n"
    "  --baud N           Baud rate instead of the file's (%s).\n"
    "  --parity P         %s instead of the file's.\n"
    "  --timeout MS       Reply time-out in milliseconds for every request on every port\n"
    "                     (default 200, the window's).\n"
    "  --json             Prints the results as a JSON array of objects (several units:\n"
    "                     one JSON object per line and unit).\n"
    "  --csv              Prints the results as CSV with a header line.\n"
    "  --all              verify, diff: lists the parameters that are the same as well.\n"
    "  --log FILE         Writes the window's log lines to FILE ('-': standard error);\n"
    "                     with several units each line starts with its port.\n"
    "  --transmissions    Logs each frame sent as well (the window's Show Transmissions).\n"
    "  --stats            Prints the requests, their time and requests per second on\n"
    "                     standard error.\n"
    "  --interval MS      watch: the period of a cycle, 0 to 3600000 ms.\n"
    "  --count N          watch: ends after N cycles.\n"
    "  --duration S       watch: ends after S seconds (no new cycle starts after them).\n"
    "  -h, --help         Shows this help and exits.\n"
    "  -v, --version      Shows the version and exits.\n"
    "\n"
    "Several units (get-all, set-all, verify and program; on one port as well with\n"
    "program or any option below): one component, engine and reply matcher per port in\n"
    "this one process, all ports at once; a unit that is absent, silent or unplugged\n"
    "delays no other. One row per unit as it finishes: time, port, device, by-id name,\n"
    "identity, result (pass, fail, timeout, lost, absent), why, differing slots.\n"
    "  --match PATTERN    Every present port whose /dev/serial/by-id name matches the\n"
    "                     shell PATTERN ('usb-FTDI_*'); with --repeat also ports that come.\n"
    "  --identity WORD[,WORD...]\n"
    "                     Reads these words first (SN,VER) and puts their values in the\n"
    "                     row; a unit that does not answer them in time gets nothing more.\n"
    "  --expect WORD=VALUE\n"
    "                     Firmware guard (several allowed): a unit whose WORD does not\n"
    "                     read VALUE, or does not answer, gets no Set frame at all, nor\n"
    "                     anything else; its row says why.\n"
    "  --report FILE      Appends every row to FILE: CSV with a header line, or one JSON\n"
    "                     object per line for a name ending in .json or .jsonl.\n"
    "  --repeat           Bench loop: after a unit's row, waits for it to go (its port\n"
    "                     vanishes; with --identity also when the identity no longer\n"
    "                     answers or changes) and for the next unit on that port, then runs\n"
    "                     again, until Ctrl-C. On a terminal, a progress line per port.\n"
    "\n"
    "Results go to standard output as UTF-8 (status ok, timeout, late, or unread /\n"
    "unsent for slots a run that ended early did not get to); errors, notes and, on a\n"
    "terminal, a progress bar to standard error.\n"
    "\n"
    "Exit status:\n"
    "  0    every request was answered (verify, diff: and every parameter matches;\n"
    "       snapshot: and the snapshot is written; several units: every unit passed;\n"
    "       watch: every sample is ok)\n"
    "  1    a reply timed out or a request could not be sent (verify, diff: or a\n"
    "       parameter differs or was not read; snapshot: written without the values not\n"
    "       read; several units: a unit failed or timed out)\n"
    "  2    a bad command line, or FILE (or B) cannot be read or fails the host's checks,\n"
    "       or the report FILE has other columns\n"
    "  3    the port cannot be opened, or its device went away (the results so far are\n"
    "       printed; several units: a unit was absent or lost)\n"
    "  4    the log FILE, the report FILE, the snapshot or standard output could not be\n"
    "       written (nothing of a snapshot is left behind)\n"
    "  130  interrupted by Ctrl-C (SIGINT); 143 for SIGTERM, 129 for SIGHUP (the results\n"
    "       so far are printed; a watch without --count or --duration ends so)\n"
    "When several apply, the first of 130/143/129, 3, 4, 1 is given.\n";

enum class TCommand { GetAll, Get, Set, SetAll, Verify, Snapshot, Diff, Program, Watch };

struct TOptions {
    TCommand command = TCommand::GetAll;
    std::string commandWord;
    std::string file;
    std::vector<std::string> args;
    std::vector<int> ports; // none: the file's
    std::vector<std::string> devices;
    std::string match;
    std::vector<std::string> identity;
    std::vector<std::string> expect;
    std::string report;
    bool repeat = false;
    std::optional<QORLNK::TBaudRate> baud;
    std::optional<QORLNK::TParity> parity;
    int timeoutMs = kDefaultReplyTimeoutMs;
    TFormat format = TFormat::Table;
    bool all = false;
    std::string log;
    bool transmissions = false;
    bool stats = false;
    int intervalMs = -1;  // watch
    long count = 0;       // watch: cycles; 0: no limit
    double durationS = 0; // watch: seconds; 0: no limit

    // Several units, or the options of the station: a report row per unit.
    bool Station() const {
        return command == TCommand::Program || ports.size() + devices.size() > 1 ||
               !match.empty() || !identity.empty() || !expect.empty() || !report.empty() || repeat;
    }
};

// "110 to 115200": the first and last of the line settings table's rates.
std::string BaudRange() {
    return std::string(QORLNK::BaudRateRows.front().text) + " to " +
           QORLNK::BaudRateRows.back().text;
}

// "none, odd, even, mark, space", the last one after lastSeparator.
std::string ParityList(const char* lastSeparator) {
    std::string text;
    for (std::size_t i = 0; i < QORLNK::ParityRows.size(); ++i)
        text += std::string(i == 0                               ? ""
                            : i + 1 == QORLNK::ParityRows.size() ? lastSeparator
                                                                 : ", ") +
                QORLNK::ParityRows[i].text;
    return text;
}

int Refuse(const std::string& why) {
    std::fprintf(stderr, "pmv-link: %s\nTry 'pmv-link --help' for more information.\n",
                 why.c_str());
    return kExitUsage;
}

// Arguments travel through the parser as Latin-1, one character per byte, so
// that file names, paths and values come out as the bytes given.
std::string Local(const QString& s) {
    return s.toLatin1().toStdString();
}

// "7" or "COM7" (any case) in 1..32; 0 otherwise.
int ParseCom(std::string s) {
    if (s.size() > 3 && strncasecmp(s.c_str(), "COM", 3) == 0)
        s.erase(0, 3);
    if (s.empty() || s.size() > 2 || s.find_first_not_of("0123456789") != std::string::npos ||
        s[0] == '0')
        return 0;
    const int n = std::stoi(s);
    return n <= platform::kMaxComNumber ? n : 0;
}

// watch's --interval, --count and --duration; -1 when usable.
int ParseWatchOptions(const QCommandLineParser& p, const QCommandLineOption& interval,
                      const QCommandLineOption& count, const QCommandLineOption& duration,
                      TOptions& o) {
    if (o.command != TCommand::Watch) {
        if (p.isSet(interval) || p.isSet(count) || p.isSet(duration))
            return Refuse("--interval, --count and --duration are for watch");
        return -1;
    }
    bool ok = false;
    if (!p.isSet(interval))
        return Refuse("'watch' needs --interval MS");
    o.intervalMs = p.value(interval).toInt(&ok);
    if (!ok || o.intervalMs < 0 || o.intervalMs > TWatchRun::kMaxPeriodMs)
        return Refuse("the interval must be 0 to 3600000 ms");
    if (p.isSet(count) && p.isSet(duration))
        return Refuse("--count and --duration exclude each other");
    if (p.isSet(count)) {
        o.count = p.value(count).toLong(&ok);
        if (!ok || o.count < 1)
            return Refuse("--count needs a number of cycles, 1 or more");
    }
    if (p.isSet(duration)) {
        o.durationS = p.value(duration).toDouble(&ok);
        if (!ok || !(o.durationS > 0) || o.durationS > 1e7)
            return Refuse("--duration needs a number of seconds above 0");
    }
    return -1;
}

// Returns -1 when the options are usable, else the exit code (help, version
// and refusals printed).
int ParseOptions(int argc, char** argv, TOptions& o) {
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{"h", "help"});
    const QCommandLineOption version(QStringList{"v", "version"});
    const QCommandLineOption port("port", {}, "COMn");
    const QCommandLineOption device("device", {}, "PATH");
    const QCommandLineOption baud("baud", {}, "N");
    const QCommandLineOption parity("parity", {}, "P");
    const QCommandLineOption timeout("timeout", {}, "MS");
    const QCommandLineOption json("json");
    const QCommandLineOption csv("csv");
    const QCommandLineOption log("log", {}, "FILE");
    const QCommandLineOption transmissions("transmissions");
    const QCommandLineOption stats("stats");
    const QCommandLineOption all("all");
    const QCommandLineOption match("match", {}, "PATTERN");
    const QCommandLineOption identity("identity", {}, "WORDS");
    const QCommandLineOption expect("expect", {}, "WORD=VALUE");
    const QCommandLineOption report("report", {}, "FILE");
    const QCommandLineOption repeat("repeat");
    const QCommandLineOption interval("interval", {}, "MS");
    const QCommandLineOption count("count", {}, "N");
    const QCommandLineOption duration("duration", {}, "S");
    p.addOptions({help,     version, port,   device,        baud,     parity, timeout,
                  json,     csv,     log,    transmissions, stats,    all,    match,
                  identity, expect,  report, repeat,        interval, count,  duration});
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLatin1(argv[i]);
    if (!p.parse(arguments)) {
        const QStringList unknown = p.unknownOptionNames();
        if (!unknown.isEmpty())
            return Refuse("unknown option '" + std::string(unknown[0].size() == 1 ? "-" : "--") +
                          Local(unknown[0]) + "'");
        return Refuse(Local(p.errorText()));
    }
    if (p.isSet(help)) {
        std::printf(kHelp, BaudRange().c_str(), ParityList(" or ").c_str());
        return 0;
    }
    if (p.isSet(version)) {
        std::printf("pmv-link %d.%d\n", kVersionMajor, kVersionMinor);
        return 0;
    }
    const QStringList pos = p.positionalArguments();
    if (pos.isEmpty())
        return Refuse("no COMMAND given");
    const std::string command = Local(pos[0]);
    if (command == "get-all")
        o.command = TCommand::GetAll;
    else if (command == "get")
        o.command = TCommand::Get;
    else if (command == "set")
        o.command = TCommand::Set;
    else if (command == "set-all")
        o.command = TCommand::SetAll;
    else if (command == "verify")
        o.command = TCommand::Verify;
    else if (command == "snapshot")
        o.command = TCommand::Snapshot;
    else if (command == "diff")
        o.command = TCommand::Diff;
    else if (command == "program")
        o.command = TCommand::Program;
    else if (command == "watch")
        o.command = TCommand::Watch;
    else
        return Refuse("unknown command '" + command + "'");
    o.commandWord = command;
    if (pos.size() < 2)
        return Refuse("no FILE given");
    o.file = Local(pos[1]);
    for (qsizetype i = 2; i < pos.size(); ++i)
        o.args.push_back(Local(pos[i]));
    const bool takesArgs =
        o.command == TCommand::Get || o.command == TCommand::Set || o.command == TCommand::Watch;
    if (o.command == TCommand::Diff) {
        if (o.args.size() != 1)
            return Refuse("'diff' needs the second FILE, and only it");
    } else if (o.command == TCommand::Snapshot) {
        if (o.args.size() > 1)
            return Refuse("'snapshot' takes one OUT file at most ('" + o.args[1] + "')");
        if (!o.args.empty() && o.args[0].empty())
            return Refuse("'snapshot' needs a non-empty OUT");
    } else if (takesArgs && o.args.empty()) {
        return Refuse("'" + command + "' needs at least one slot");
    } else if (!takesArgs && !o.args.empty()) {
        return Refuse("'" + command + "' takes no slots ('" + o.args[0] + "')");
    }

    if (int(p.isSet(port)) + int(p.isSet(device)) + int(p.isSet(match)) > 1)
        return Refuse("--port, --device and --match exclude each other");
    for (const QString& list : p.values(port)) {
        for (const QString& item : list.split(QLatin1Char(','))) {
            const int n = ParseCom(Local(item));
            if (n == 0)
                return Refuse("'" + Local(item) + "' is not a COM port 1-32");
            if (std::find(o.ports.begin(), o.ports.end(), n) != o.ports.end())
                return Refuse("COM" + std::to_string(n) + " is named twice");
            o.ports.push_back(n);
        }
    }
    for (const QString& value : p.values(device)) {
        const std::string path = Local(value);
        std::string why;
        if (pmv::platform::IsNetPortName(path)) {
            if (!pmv::platform::ParseNetPort(path, &why))
                return Refuse(why);
        } else if (path.empty() || path[0] != '/') {
            return Refuse("--device needs an absolute path or a network port ('" + path + "')");
        }
        if (std::find(o.devices.begin(), o.devices.end(), path) != o.devices.end())
            return Refuse(path + " is named twice");
        o.devices.push_back(path);
    }
    if (o.devices.size() > static_cast<std::size_t>(platform::kMaxComNumber))
        return Refuse("at most " + std::to_string(platform::kMaxComNumber) + " devices");
    if (p.isSet(match)) {
        o.match = Local(p.value(match));
        if (o.match.empty())
            return Refuse("--match needs a PATTERN");
    }
    for (const QString& list : p.values(identity))
        for (const QString& word : list.split(QLatin1Char(','), Qt::SkipEmptyParts))
            o.identity.push_back(Local(word));
    if (p.isSet(identity) && o.identity.empty())
        return Refuse("--identity needs a WORD");
    for (const QString& value : p.values(expect)) {
        const std::string e = Local(value);
        if (e.find('=') == std::string::npos || e.front() == '=')
            return Refuse("--expect needs WORD=VALUE ('" + e + "')");
        o.expect.push_back(e);
    }
    o.report = p.isSet(report) ? Local(p.value(report)) : std::string();
    if (p.isSet(report) && o.report.empty())
        return Refuse("--report needs a FILE");
    o.repeat = p.isSet(repeat);
    if (o.Station() && (o.command == TCommand::Get || o.command == TCommand::Set ||
                        o.command == TCommand::Snapshot || o.command == TCommand::Diff ||
                        o.command == TCommand::Watch))
        return Refuse(
            "'" + command +
            "' works on one unit (diff: on none); with several units, --match, --identity, "
            "--expect, "
            "--report or --repeat the commands are get-all, set-all, verify and program");
    if (p.isSet(baud)) {
        const std::string v = Local(p.value(baud));
        for (std::size_t b = 0; b < QORLNK::BaudRateRows.size(); ++b)
            if (QORLNK::BaudRateRows[b].text == v)
                o.baud = static_cast<QORLNK::TBaudRate>(b);
        if (!o.baud)
            return Refuse("'" + v + "' is not a baud rate (" + BaudRange() + ")");
    }
    if (p.isSet(parity)) {
        const std::string v = Local(p.value(parity));
        for (std::size_t q = 0; q < QORLNK::ParityRows.size(); ++q)
            if (QORLNK::ParityRows[q].text == v)
                o.parity = static_cast<QORLNK::TParity>(q);
        if (!o.parity)
            return Refuse("'" + v + "' is not a parity (" + ParityList(", ") + ")");
    }
    if (p.isSet(timeout)) {
        bool ok = false;
        o.timeoutMs = p.value(timeout).toInt(&ok);
        if (!ok || o.timeoutMs < kMinReplyTimeoutMs || o.timeoutMs > kMaxReplyTimeoutMs)
            return Refuse("the time-out must be " + std::to_string(kMinReplyTimeoutMs) + " to " +
                          std::to_string(kMaxReplyTimeoutMs) + " ms");
    }
    if (p.isSet(json) && p.isSet(csv))
        return Refuse("--json and --csv exclude each other");
    o.format = p.isSet(json) ? TFormat::Json : p.isSet(csv) ? TFormat::Csv : TFormat::Table;
    o.all = p.isSet(all);
    if (o.all && o.command != TCommand::Verify && o.command != TCommand::Diff)
        return Refuse("--all is for verify and diff");
    o.log = p.isSet(log) ? Local(p.value(log)) : std::string();
    if (p.isSet(log) && o.log.empty())
        return Refuse("--log needs a FILE, or '-'");
    o.transmissions = p.isSet(transmissions);
    if (o.transmissions && o.log.empty())
        return Refuse("--transmissions needs --log");
    o.stats = p.isSet(stats);
    if (const int rc = ParseWatchOptions(p, interval, count, duration, o); rc >= 0)
        return rc;
    return -1;
}

// ---- Signals -----------------------------------------------------------------------

int gSignalPipe[2] = {-1, -1};

void OnSignal(int sig) {
    const int saved = errno;
    const char c = static_cast<char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &c, 1);
    errno = saved;
}

bool CatchSignals() {
    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        if (::sigaction(sig, &sa, nullptr) != 0)
            return false;
    return true;
}

// Connects notifier (on the signal pipe) so that the first signal is kept in
// caught and calls stop (the work in flight ends), and a second one ends the
// event loop at once.
void OnSignals(QSocketNotifier& notifier, int& caught, std::function<void()> stop) {
    QObject::connect(&notifier, &QSocketNotifier::activated, [&caught, stop = std::move(stop)] {
        char c = 0;
        if (::read(gSignalPipe[0], &c, 1) != 1)
            return;
        if (caught != 0) {
            QCoreApplication::quit();
            return;
        }
        caught = static_cast<unsigned char>(c);
        stop();
    });
}

// ---- Progress ------------------------------------------------------------------------

// "[#######.............]  14/40  2210 req/s" on one line of standard error.
void DrawProgress(const TLinkRunner& runner) {
    const int total = runner.Total();
    const int done = runner.Done();
    constexpr int kWidth = 30;
    const int filled = total > 0 ? done * kWidth / total : 0;
    const double s = std::chrono::duration<double>(runner.Elapsed()).count();
    const double rate = s > 0 ? done / s : 0;
    std::fprintf(stderr, "\r[%s%s] %d/%d  %.0f req/s\033[K", std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), done, total, rate);
    std::fflush(stderr);
}

void ClearProgress() {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
}

// ---- Comparisons and snapshots ---------------------------------------------------------

// diff: FILE against B, no port.
int Diff(const TCmdTable& table, const TOptions& o) {
    const TConfigLoadResult other = LoadConfigFile(o.args[0]);
    if (other.Status != TConfigLoadStatus::Ok) {
        std::fprintf(stderr, "%s\n", other.Message.c_str());
        return kExitUsage;
    }
    const TComparison c = CompareFiles(table, other.Set.CmdTable, o.all);
    const std::string out = FormatDifferences(table, c, o.format, "diff");
    errno = 0;
    if (std::fputs(out.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "pmv-link: cannot write the results: %s\n",
                     std::strerror(errno != 0 ? errno : EIO));
        return kExitOutput;
    }
    return c.differing > 0 ? kExitFailed : 0;
}

// snapshot: the file's set with the values read, to OUT, standard output or
// the snapshots folder beside FILE. Returns what to print (the path written);
// failed gets the errno of a write that failed.
std::string WriteTargetSnapshot(const TConfigLoadResult& cfg, const TSetComparison& read,
                                const TOptions& o, int comNumber, int& failed) {
    const TSnapshotSet snap = MakeSnapshotSet(cfg.Set, read);
    const std::string text = WriteConfig(snap.set);
    const std::string bytes = cfg.Encoding == TTextEncoding::Utf8 ? EightBitToUtf8(text) : text;
    const std::string out = o.args.empty() ? std::string() : o.args[0];
    if (!snap.leftOut.empty())
        std::fprintf(stderr,
                     "pmv-link: %zu values left out (not read, or not a number from 0 to "
                     "65535): the snapshot keeps the file's and leaves them out of Get All and "
                     "Set All\n",
                     snap.leftOut.size());
    std::string where;
    if (out == "-") {
        return bytes;
    } else if (!out.empty()) {
        if (const std::string why = WriteFileAtomically(out, bytes); !why.empty()) {
            std::fprintf(stderr, "pmv-link: %s\n", why.c_str());
            failed = EIO;
            return {};
        }
        where = out;
    } else {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        const TSnapshotWrite w = WriteSnapshot(
            SnapshotFolder(o.file), SnapshotFileName(local, comNumber), snap.set, cfg.Encoding);
        if (!w.ok) {
            std::fprintf(stderr, "pmv-link: %s\n", w.message.c_str());
            failed = EIO;
            return {};
        }
        where = w.path;
    }
    return BytesToUtf8(where) + "\n";
}

// ---- Files ---------------------------------------------------------------------------

// --log: standard error for '-', nullptr without one; false after saying
// why it cannot be written.
bool OpenLog(const std::string& path, std::FILE*& log) {
    log = nullptr;
    if (path == "-") {
        log = stderr;
    } else if (!path.empty()) {
        log = std::fopen(path.c_str(), "w");
        if (log == nullptr) {
            std::fprintf(stderr, "pmv-link: cannot write the log %s: %s\n", path.c_str(),
                         std::strerror(errno));
            return false;
        }
        std::setvbuf(log, nullptr, _IOLBF, 0); // can be followed while the run goes on
    }
    return true;
}

struct TLogCloser {
    std::FILE* f;
    ~TLogCloser() {
        if (f != nullptr && f != stderr)
            std::fclose(f);
    }
    // Closes the log; the errno of a failure, else 0.
    int Close() {
        std::FILE* g = f;
        f = nullptr;
        errno = 0;
        return g == nullptr || g == stderr || std::fclose(g) == 0 ? 0 : (errno ? errno : EIO);
    }
};

// --device: each device published under its port's number in a device map
// of this process's own, which the serial layer reads when it opens. False
// after saying why not.
bool UseDevices(const QTemporaryDir& mapDir,
                const std::vector<std::pair<int, std::string>>& devices) {
    const std::string map = mapDir.filePath(QStringLiteral("commap")).toStdString();
    std::FILE* f = mapDir.isValid() ? std::fopen(map.c_str(), "w") : nullptr;
    bool written = f != nullptr;
    for (const auto& [com, device] : devices)
        written = written && std::fprintf(f, "COM%d=%s\n", com, device.c_str()) > 0;
    if (f != nullptr)
        written = std::fclose(f) == 0 && written;
    if (!written) {
        std::fprintf(stderr, "pmv-link: cannot set up the device map for %s\n",
                     devices.front().second.c_str());
        return false;
    }
    ::setenv("PMV_COMMAP", map.c_str(), 1);
    return true;
}

// ---- Several units --------------------------------------------------------------------

// The present ports whose by-id name matches pattern (fnmatch), by number.
std::vector<int> MatchingPorts(const std::string& pattern) {
    std::vector<int> ports;
    for (const platform::ComPortIdentity& id : platform::ReadComPortIdentities()) {
        const std::string name = id.byId.substr(id.byId.rfind('/') + 1);
        if (id.present && !id.byId.empty() && ::fnmatch(pattern.c_str(), name.c_str(), 0) == 0)
            ports.push_back(id.comNumber);
    }
    return ports;
}

// A line per port on a terminal's standard error, drawn again in place; a
// row printed meanwhile goes above it.
class TProgressBlock {
public:
    explicit TProgressBlock(bool on) : m_on(on) {}

    void Draw(const std::vector<std::string>& lines) {
        if (!m_on)
            return;
        winsize ws{};
        const std::size_t width =
            ::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 ? ws.ws_col - 1 : 79;
        std::string out = Erase();
        for (std::string line : lines) {
            if (line.size() > width) // a wrapped line would not be erased
                line.resize(width);
            out += line + "\033[K\n";
        }
        m_lines = lines.size();
        std::fputs(out.c_str(), stderr);
        std::fflush(stderr);
    }

    void Clear() {
        if (!m_on || m_lines == 0)
            return;
        std::fputs(Erase().c_str(), stderr);
        std::fflush(stderr);
        m_lines = 0;
    }

private:
    std::string Erase() const {
        return m_lines == 0 ? std::string() : "\033[" + std::to_string(m_lines) + "A\r\033[J";
    }

    bool m_on;
    std::size_t m_lines = 0;
};

int RunStation(QCoreApplication& app, const TOptions& o, const TConfigSet& set) {
    const TCmdTable& table = set.CmdTable;
    TStationSetup setup;
    setup.set = &set;
    setup.file = o.file;
    setup.command = o.commandWord;
    std::vector<std::string> identityWords;
    for (const std::string& given : o.identity) {
        const TArgText arg = ArgumentText(given);
        if (!arg.error.empty())
            return Refuse("'" + given + "': " + arg.error);
        const TSlotChoice c = ChooseGetSlot(table, arg.text);
        if (c.slot < 0)
            return Refuse("--identity: " + EightBitToUtf8(c.error));
        if (std::find(identityWords.begin(), identityWords.end(), arg.text) != identityWords.end())
            return Refuse("--identity names " + given + " twice");
        identityWords.push_back(arg.text);
        setup.identitySlots.push_back(c.slot);
    }
    std::vector<TExpectation> expectations;
    for (const std::string& given : o.expect) {
        const TArgText arg = ArgumentText(given);
        if (!arg.error.empty())
            return Refuse("'" + given + "': " + arg.error);
        const std::size_t eq = arg.text.find('=');
        TExpectation e{arg.text.substr(0, eq), 0, arg.text.substr(eq + 1)};
        const TSlotChoice c = ChooseGetSlot(table, e.word);
        if (c.slot < 0)
            return Refuse("--expect: " + EightBitToUtf8(c.error));
        e.slot = c.slot;
        expectations.push_back(std::move(e));
    }
    if (!setup.identitySlots.empty() || !expectations.empty())
        setup.steps.push_back(MakeIdentityStep(setup.identitySlots, std::move(expectations)));
    if (!MakeCommandSteps(o.commandWord, setup.steps))
        return Refuse("'" + o.commandWord + "' works on one unit only");
    setup.baud = o.baud;
    setup.parity = o.parity;
    setup.repeat = o.repeat;

    std::vector<int> coms = o.ports;
    QTemporaryDir mapDir;
    if (!o.devices.empty()) {
        std::vector<std::pair<int, std::string>> devices;
        for (std::size_t i = 0; i < o.devices.size(); ++i) {
            const int n = static_cast<int>((set.ComPort - 1 + i) % platform::kMaxComNumber) + 1;
            devices.emplace_back(n, o.devices[i]);
            coms.push_back(n);
        }
        if (!UseDevices(mapDir, devices))
            return kExitPort;
    } else if (!o.match.empty()) {
        coms = MatchingPorts(o.match);
        if (coms.empty() && !o.repeat) {
            std::fprintf(stderr, "pmv-link: no present port has a by-id name matching '%s'\n",
                         o.match.c_str());
            return kExitPort;
        }
    } else if (coms.empty()) {
        coms.push_back(set.ComPort);
    }

    std::FILE* log = nullptr;
    if (!OpenLog(o.log, log))
        return kExitOutput;
    TLogCloser logCloser{log};
    setup.log = log;
    setup.transmissions = o.transmissions;

    std::size_t deviceWidth = 0;
    for (const int com : coms) {
        const platform::ComPortIdentity id = platform::ReadComPortIdentity(com);
        deviceWidth = std::max(
            deviceWidth,
            BytesToUtf8(DeviceLabel(id.node.empty() ? id.device : id.node, id.byId)).size());
    }
    const TRowFormat rows(identityWords, deviceWidth);
    TReportFile report;
    if (!o.report.empty()) {
        bool mismatch = false;
        if (const std::string why = report.Open(o.report, rows, &mismatch); !why.empty()) {
            std::fprintf(stderr, "pmv-link: cannot append to the report %s: %s\n", o.report.c_str(),
                         why.c_str());
            return mismatch ? kExitUsage : kExitOutput;
        }
    }

    TStation station(setup);
    for (const int com : coms)
        station.AddFixture(com);
    if (!o.match.empty() && o.repeat)
        station.Discover([&] { return MatchingPorts(o.match); });

    std::array<int, 5> counts{}; // by TUnitResult
    int outError = 0;
    bool reportFailed = false;
    TProgressBlock progress(::isatty(STDERR_FILENO) != 0 && log != stderr);
    errno = 0;
    if (std::fputs(rows.Header(o.format).c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        outError = errno != 0 ? errno : EIO;
        if (o.report.empty()) { // the rows would go nowhere: nothing is sent
            std::fprintf(stderr, "pmv-link: cannot write the results: %s\n",
                         std::strerror(outError));
            return kExitOutput;
        }
    }
    station.onRow = [&](const TUnitRecord& r) {
        ++counts[static_cast<std::size_t>(r.result)];
        progress.Clear();
        errno = 0;
        if ((std::fputs(rows.Row(r, o.format).c_str(), stdout) < 0 || std::fflush(stdout) != 0) &&
            outError == 0) {
            outError = errno != 0 ? errno : EIO;
            if (o.report.empty())
                station.Stop(); // no unit goes unrecorded
        }
        if (!o.report.empty() && !report.Append(r) && !reportFailed) {
            reportFailed = true;
            std::fprintf(stderr, "pmv-link: cannot append to the report %s: %s; no more units\n",
                         o.report.c_str(), std::strerror(report.Error()));
            station.Stop(); // no unit goes unrecorded
        }
    };

    int caughtSignal = 0;
    QSocketNotifier signalNotifier(gSignalPipe[0], QSocketNotifier::Read);
    // The first signal lets each request in flight end, a second one ends at once.
    OnSignals(signalNotifier, caughtSignal, [&] { station.Stop(); });
    station.onFinished = [] { QCoreApplication::quit(); };
    QTimer progressTimer;
    QObject::connect(&progressTimer, &QTimer::timeout,
                     [&] { progress.Draw(station.ProgressLines()); });
    progressTimer.start(200);

    const auto started = std::chrono::steady_clock::now();
    station.Start();
    if (!station.Finished())
        app.exec();
    progressTimer.stop();
    progress.Clear();
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count();

    int requests = 0, late = 0, unmatched = 0, logError = 0;
    for (const auto& f : station.Fixtures()) {
        requests += f->Engine().TxCount();
        late += f->Engine().LateCount();
        unmatched += f->Engine().UnmatchedCount();
        logError = logError != 0 ? logError : f->LogError();
    }
    std::string summary;
    for (int r = 0; r < static_cast<int>(counts.size()); ++r)
        if (counts[static_cast<std::size_t>(r)] > 0)
            summary += (summary.empty() ? "" : ", ") +
                       std::to_string(counts[static_cast<std::size_t>(r)]) + " " +
                       UnitResultText(static_cast<TUnitResult>(r));
    const int units = std::accumulate(counts.begin(), counts.end(), 0);
    std::fprintf(stderr, "pmv-link: %d unit%s%s%s\n", units, units == 1 ? "" : "s",
                 summary.empty() ? "" : ": ", summary.c_str());
    if (late + unmatched > 0)
        std::fprintf(stderr,
                     "pmv-link: %d late %s and %d %s that matched no request were not taken as "
                     "results%s\n",
                     late, late == 1 ? "reply" : "replies", unmatched,
                     unmatched == 1 ? "reply" : "replies", o.log.empty() ? "" : " (see the log)");
    if (o.stats)
        std::fprintf(stderr, "pmv-link: %d requests on %zu ports in %.1f ms, %.0f requests/s\n",
                     requests, station.Fixtures().size(), ms,
                     ms > 0 ? requests * 1000.0 / ms : 0.0);

    int rc = counts[static_cast<std::size_t>(TUnitResult::Fail)] +
                         counts[static_cast<std::size_t>(TUnitResult::Timeout)] >
                     0
                 ? kExitFailed
                 : 0;
    if (outError != 0) {
        std::fprintf(stderr, "pmv-link: cannot write the results: %s\n", std::strerror(outError));
        rc = kExitOutput;
    }
    if (reportFailed)
        rc = kExitOutput;
    if (const int error = logError != 0 ? logError : logCloser.Close()) {
        std::fprintf(stderr, "pmv-link: cannot write the log %s: %s\n", o.log.c_str(),
                     std::strerror(error));
        rc = kExitOutput;
    }
    if (counts[static_cast<std::size_t>(TUnitResult::Absent)] +
            counts[static_cast<std::size_t>(TUnitResult::Lost)] >
        0)
        rc = kExitPort;
    if (caughtSignal != 0) {
        std::fprintf(stderr, "pmv-link: interrupted; ports closed\n");
        rc = kExitSignalBase + caughtSignal;
    }
    return rc;
}

// ---- The run -------------------------------------------------------------------------

// ---- Watch ---------------------------------------------------------------------------

// The watch on the open link until its count, its duration, a signal, the
// device's end or a failed write of standard output; the exit status.
int Watch(QCoreApplication& app, const TOptions& o, const TCmdTable& table, TPortLink& link,
          TWatchView& watchView, QORLNK::TLNKCOMPort& port, const std::vector<int>& watched,
          const std::string& internalError) {
    // A reader that goes away (| head) is a failed write, not a killed program.
    std::signal(SIGPIPE, SIG_IGN);
    TWatchRun watch(table, link.Engine(), watchView);
    TWatchPrinter printer(table, watched, o.format, stdout);
    unsigned long notOk = 0;
    int caughtSignal = 0;
    bool deviceLost = false;
    watch.AddListener([&](const TWatchSample& s) {
        notOk += s.status != TWatchStatus::Ok;
        if (!printer.Print(s))
            watch.Stop();
    });
    std::string stopReason;
    watch.onStopped = [&](const std::string& why) {
        stopReason = why;
        QCoreApplication::quit();
    };
    // --count: once the last cycle has begun, it is the last.
    watch.onCycle = [&](std::chrono::steady_clock::time_point) {
        if (o.count > 0 && watch.Cycles() >= static_cast<unsigned long>(o.count))
            watch.Stop();
    };
    QTimer duration;
    duration.setSingleShot(true);
    QObject::connect(&duration, &QTimer::timeout, [&] { watch.Stop(); });
    QSocketNotifier signalNotifier(gSignalPipe[0], QSocketNotifier::Read);
    OnSignals(signalNotifier, caughtSignal, [&] { watch.Stop(); });
    port.OnDeviceLost = [&](QORLNK::TLNKCOMPort*) {
        deviceLost = true;
        QCoreApplication::quit();
    };

    if (!printer.Header()) {
        std::fprintf(stderr, "pmv-link: cannot write the results: %s\n",
                     std::strerror(printer.Error()));
        port.OnDeviceLost = nullptr;
        return kExitOutput;
    }
    const std::string why = watch.Start(watched, o.intervalMs);
    if (!why.empty()) {
        std::fprintf(stderr, "pmv-link: %s\n", EightBitToUtf8(why).c_str());
        port.OnDeviceLost = nullptr;
        return kExitFailed;
    }
    if (o.durationS > 0)
        duration.start(static_cast<int>(std::min(o.durationS * 1000.0, 2.0e9)));
    app.exec();
    port.OnDeviceLost = nullptr;
    port.Close();

    const unsigned long samples = watch.Samples();
    if (o.stats)
        std::fprintf(stderr, "pmv-link: watch: %lu samples in %lu cycles, %lu not ok\n", samples,
                     watch.Cycles(), notOk);
    if (caughtSignal != 0) {
        std::fprintf(stderr, "pmv-link: watch interrupted after %lu samples; port closed\n",
                     samples);
        return kExitSignalBase + caughtSignal;
    }
    if (deviceLost) {
        std::fprintf(stderr, "pmv-link: %s\n",
                     platform::ExplainComError(port.Port(), kErrorBadCommand, "ReadFile").c_str());
        return kExitPort;
    }
    if (printer.Error() != 0) {
        std::fprintf(stderr, "pmv-link: cannot write the results: %s\n",
                     std::strerror(printer.Error()));
        return kExitOutput;
    }
    if (!internalError.empty()) {
        std::fprintf(stderr, "pmv-link: %s\n", internalError.c_str());
        return kExitFailed;
    }
    if (!stopReason.empty()) {
        std::fprintf(stderr, "pmv-link: %s\n", EightBitToUtf8(stopReason).c_str());
        return kExitFailed;
    }
    return notOk > 0 ? kExitFailed : 0;
}

int Run(QCoreApplication& app, const TOptions& o) {
    // The configuration, as the host and the checker load it.
    const TConfigLoadResult cfg = LoadConfigFile(o.file);
    if (cfg.Status != TConfigLoadStatus::Ok) {
        std::fprintf(stderr, "%s\n", cfg.Message.c_str());
        return kExitUsage;
    }
    const TConfigSet& set = cfg.Set;
    const TCmdTable& table = set.CmdTable;
    if (o.command == TCommand::Diff)
        return Diff(table, o);
    if (o.Station())
        return RunStation(app, o, set);

    std::vector<int> gets;
    std::vector<TSetRequest> sets;
    for (const std::string& given : o.args) {
        if (o.command == TCommand::Snapshot)
            break; // snapshot's OUT
        const TArgText arg = ArgumentText(given);
        if (!arg.error.empty())
            return Refuse("'" + given + "': " + arg.error);
        if (o.command == TCommand::Get || o.command == TCommand::Watch) {
            const TSlotChoice c = ChooseGetSlot(table, arg.text);
            if (c.slot < 0)
                return Refuse(EightBitToUtf8(c.error));
            if (o.command == TCommand::Watch) {
                if (const std::string why = WatchRefusal(table, c.slot); !why.empty())
                    return Refuse(EightBitToUtf8(why));
                if (std::find(gets.begin(), gets.end(), c.slot) != gets.end())
                    return Refuse("'" + given + "' is named twice");
            }
            gets.push_back(c.slot);
        } else {
            const TSetChoice c = ChooseSetSlot(table, arg.text);
            if (!c.error.empty())
                return Refuse(EightBitToUtf8(c.error));
            if (!c.note.empty())
                std::fprintf(stderr, "pmv-link: %s\n", EightBitToUtf8(c.note).c_str());
            sets.push_back(c.request);
        }
    }

    std::FILE* log = nullptr;
    if (!OpenLog(o.log, log))
        return kExitOutput;
    TLogCloser logCloser{log};

    const int comNumber = !o.ports.empty() ? o.ports[0] : set.ComPort;
    QTemporaryDir mapDir;
    if (!o.devices.empty() && !UseDevices(mapDir, {{comNumber, o.devices[0]}}))
        return kExitPort;

    QORLNK::TLNKCOMPort port;
    port.SetPort1(comNumber);
    port.SetBaudRate(o.baud.value_or(set.BaudRate));
    port.SetDataBits(set.DataBits);
    port.SetParity(o.parity.value_or(set.Parity));
    port.SetStopBits(set.StopBits);

    QTimer replyTimer;
    TCliView view(table);
    view.SetLog(log, o.transmissions);
    TWatchView watchView(view); // passes everything on; the watch's requests report to it
    std::string internalError;
    TPortLink link(table, port, replyTimer, watchView, [&](const std::string& what) {
        if (internalError.empty())
            internalError = what.empty() ? std::string("unknown error") : what;
        QCoreApplication::quit();
    });
    TLinkRunner runner(table, link.Engine(), view);

    // The window's log after loading the file.
    view.LogUtf8(std::to_string(kSlotCount) + " commands loaded from configuration file \"" +
                 BytesToUtf8(ConfigFileBaseName(o.file)) + "\"");
    if (!set.Title.empty())
        view.Log("Title: \"" + set.Title + "\"");

    if (const std::string why = OpenComPort(port); !why.empty()) {
        view.Log("ERROR: - unable to open COM" + std::to_string(comNumber));
        std::fprintf(stderr, "pmv-link: %s\n", why.c_str());
        if (const int error = view.LogError() ? view.LogError() : logCloser.Close())
            std::fprintf(stderr, "pmv-link: cannot write the log %s: %s\n", o.log.c_str(),
                         std::strerror(error));
        return kExitPort;
    }
    if (o.command == TCommand::Watch) {
        int rc = Watch(app, o, table, link, watchView, port, gets, internalError);
        if (const int error = view.LogError() ? view.LogError() : logCloser.Close()) {
            std::fprintf(stderr, "pmv-link: cannot write the log %s: %s\n", o.log.c_str(),
                         std::strerror(error));
            if (rc == 0 || rc == kExitFailed)
                rc = kExitOutput;
        }
        return rc;
    }

    int caughtSignal = 0;
    bool deviceLost = false;
    QSocketNotifier signalNotifier(gSignalPipe[0], QSocketNotifier::Read);
    // The first signal lets the request in flight end (at most the reply
    // time-out), a second one ends at once.
    OnSignals(signalNotifier, caughtSignal, [&] { runner.Stop(); });
    port.OnDeviceLost = [&](QORLNK::TLNKCOMPort*) {
        deviceLost = true;
        runner.Abort();
    };
    runner.onFinished = [] { QCoreApplication::quit(); };

    QTimer progress;
    const bool showProgress = ::isatty(STDERR_FILENO) != 0 && log != stderr;
    if (showProgress) {
        QObject::connect(&progress, &QTimer::timeout, [&] { DrawProgress(runner); });
        progress.start(100);
    }

    switch (o.command) {
    case TCommand::GetAll:
    case TCommand::Verify:
    case TCommand::Snapshot:
    case TCommand::Diff:
    case TCommand::Program: // runs as a station (RunStation)
    case TCommand::Watch:   // ran above
        runner.GetAll();
        break;
    case TCommand::SetAll:
        runner.SetAll();
        break;
    case TCommand::Get:
        runner.Get(gets);
        break;
    case TCommand::Set:
        runner.Set(sets);
        break;
    }
    if (!runner.Finished())
        app.exec();
    progress.stop();
    if (showProgress)
        ClearProgress();
    port.OnDeviceLost = nullptr;
    const TLinkRunner::TClock::duration elapsed = runner.Elapsed();
    const TRequestEngine& engine = link.Engine();
    const int tx = engine.TxCount(), rx = engine.RxCount(), timeouts = engine.RxTOCount();
    const bool endedEarly = caughtSignal != 0 || deviceLost || !internalError.empty();
    if (endedEarly)
        port.Close(); // before the message says so

    // Every result there is, also after an early end; the slots the run did
    // not get to are marked unread (unsent).
    const std::vector<TSlotResult> results = runner.AllResults();
    std::string out;
    bool failed = false;
    for (const TSlotResult& r : results)
        failed = failed || r.status != TResultStatus::Ok;
    int outputFailed = 0;
    switch (o.command) {
    case TCommand::GetAll:
    case TCommand::Get:
    case TCommand::Watch: // ran above
        out = FormatReads(table, results, o.format);
        break;
    case TCommand::Snapshot:
    case TCommand::Diff:
        // The snapshot of an operation that ended early is not written.
        if (!endedEarly)
            out = WriteTargetSnapshot(cfg, ReadsAsComparison(table, results), o, comNumber,
                                      outputFailed);
        break;
    case TCommand::Set:
    case TCommand::SetAll:
        out = FormatWrites(table, results, o.format);
        break;
    case TCommand::Verify:
    case TCommand::Program: {
        const TComparison c = Compare(table, results, o.all);
        failed = failed || c.differing > 0;
        out = FormatDifferences(table, c, o.format);
        break;
    }
    }
    errno = 0;
    const bool printed = std::fputs(out.c_str(), stdout) >= 0 && std::fflush(stdout) == 0;
    const int outError = errno != 0 ? errno : EIO;

    int rc = failed ? kExitFailed : 0;
    if (outputFailed != 0)
        rc = kExitOutput;
    if (!printed) {
        std::fprintf(stderr, "pmv-link: cannot write the results: %s\n", std::strerror(outError));
        rc = kExitOutput;
    }
    if (const int error = view.LogError() ? view.LogError() : logCloser.Close()) {
        std::fprintf(stderr, "pmv-link: cannot write the log %s: %s\n", o.log.c_str(),
                     std::strerror(error));
        rc = kExitOutput;
    }
    if (deviceLost) {
        std::fprintf(stderr, "pmv-link: %s\n",
                     platform::ExplainComError(comNumber, kErrorBadCommand, "ReadFile").c_str());
        rc = kExitPort;
    } else if (caughtSignal != 0) {
        std::fprintf(stderr, "pmv-link: interrupted after %d of %d requests; port closed\n",
                     runner.Done(), runner.Total());
        rc = kExitSignalBase + caughtSignal;
    } else if (!internalError.empty()) {
        std::fprintf(stderr, "pmv-link: %s\n", internalError.c_str());
    }
    if (!runner.Error().empty()) {
        std::fprintf(stderr, "pmv-link: %s\n", EightBitToUtf8(runner.Error()).c_str());
        if (rc == 0)
            rc = kExitFailed;
    }
    if (const int n = engine.LateCount() + engine.UnmatchedCount(); n > 0)
        std::fprintf(stderr,
                     "pmv-link: %d late %s and %d %s that matched no request were not taken as "
                     "results%s\n",
                     engine.LateCount(), engine.LateCount() == 1 ? "reply" : "replies",
                     engine.UnmatchedCount(), engine.UnmatchedCount() == 1 ? "reply" : "replies",
                     o.log.empty() ? "" : " (see the log)");
    if (o.stats) {
        const double ms = std::chrono::duration<double, std::milli>(elapsed).count();
        std::fprintf(stderr,
                     "pmv-link: %d requests in %.1f ms, %.0f requests/s (Tx %d, Rx %d, Rx TO %d, "
                     "late %d, unmatched %d)\n",
                     runner.Done(), ms, ms > 0 ? runner.Done() * 1000.0 / ms : 0.0, tx, rx,
                     timeouts, engine.LateCount(), engine.UnmatchedCount());
    }
    return rc;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TOptions options;
    if (const int rc = ParseOptions(argc, argv, options); rc >= 0)
        return rc;
    SetReplyTimeoutMs(options.timeoutMs); // before any link is made
    if (!CatchSignals()) {
        std::perror("pmv-link: signals");
        return kExitFailed;
    }
    return Run(app, options);
}
