// pmv-link: the host's link to a QXM300 controller without a window. Reads,
// writes and verifies the parameters of a configuration file through the
// same request engine, serial component and configuration reader as the
// window, so every frame, time-out, clamp and log line is the window's.
#include "app/link/PortLink.h"
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

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <string>
#include <unistd.h>
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
    "compares configuration files.\n"
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
    "  --port COMn        Uses port COMn (or n, 1-32) instead of the file's com_port.\n"
    "  --device PATH      Uses the serial device PATH as the port; also\n"
    "                     rfc2217://HOST:PORT or tcp://HOST:PORT, a serial server.\n"
    "  --baud N           Baud rate instead of the file's (110 to 115200).\n"
    "  --parity P         none, odd, even, mark or space instead of the file's.\n"
    "  --timeout MS       Reply time-out in milliseconds (default 200, the window's).\n"
    "  --json             Prints the results as a JSON array of objects.\n"
    "  --csv              Prints the results as CSV with a header line.\n"
    "  --all              verify, diff: lists the parameters that are the same as well.\n"
    "  --log FILE         Writes the window's log lines to FILE ('-': standard error).\n"
    "  --transmissions    Logs each frame sent as well (the window's Show Transmissions).\n"
    "  --stats            Prints the requests, their time and requests per second on\n"
    "                     standard error.\n"
    "  -h, --help         Shows this help and exits.\n"
    "  -v, --version      Shows the version and exits.\n"
    "\n"
    "Results go to standard output as UTF-8 (status ok, timeout, late, or unread /\n"
    "unsent for slots a run that ended early did not get to); errors, notes and, on a\n"
    "terminal, a progress bar to standard error.\n"
    "\n"
    "Exit status:\n"
    "  0    every request was answered (verify, diff: and every parameter matches;\n"
    "       snapshot: and the snapshot is written)\n"
    "  1    a reply timed out or a request could not be sent (verify, diff: or a\n"
    "       parameter differs or was not read; snapshot: written without the values not\n"
    "       read)\n"
    "  2    a bad command line, or FILE (or B) cannot be read or fails the host's checks\n"
    "  3    the port cannot be opened, or its device went away (the results so far are\n"
    "       printed)\n"
    "  4    the log FILE, the snapshot or standard output could not be written (nothing\n"
    "       of a snapshot is left behind)\n"
    "  130  interrupted by Ctrl-C (SIGINT); 143 for SIGTERM, 129 for SIGHUP (the results\n"
    "       so far are printed)\n"
    "When several apply, the first of 130/143/129, 3, 4, 1 is given.\n";

enum class TCommand { GetAll, Get, Set, SetAll, Verify, Snapshot, Diff };

struct TOptions {
    TCommand command = TCommand::GetAll;
    std::string file;
    std::vector<std::string> args;
    int port = 0; // 0: the file's
    std::string device;
    std::optional<QORLNK::TBaudRate> baud;
    std::optional<QORLNK::TParity> parity;
    int timeoutMs = TRequestEngine::kReplyTimeoutMs;
    TFormat format = TFormat::Table;
    bool all = false;
    std::string log;
    bool transmissions = false;
    bool stats = false;
};

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
    p.addOptions({help, version, port, device, baud, parity, timeout, json, csv, log, transmissions,
                  stats, all});
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
        std::fputs(kHelp, stdout);
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
    else
        return Refuse("unknown command '" + command + "'");
    if (pos.size() < 2)
        return Refuse("no FILE given");
    o.file = Local(pos[1]);
    for (qsizetype i = 2; i < pos.size(); ++i)
        o.args.push_back(Local(pos[i]));
    const bool takesArgs = o.command == TCommand::Get || o.command == TCommand::Set;
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

    if (p.isSet(port) && p.isSet(device))
        return Refuse("--port and --device exclude each other");
    if (p.isSet(port)) {
        o.port = ParseCom(Local(p.value(port)));
        if (o.port == 0)
            return Refuse("'" + Local(p.value(port)) + "' is not a COM port 1-32");
    }
    if (p.isSet(device)) {
        o.device = Local(p.value(device));
        std::string why;
        if (pmv::platform::IsNetPortName(o.device)) {
            if (!pmv::platform::ParseNetPort(o.device, &why))
                return Refuse(why);
        } else if (o.device.empty() || o.device[0] != '/') {
            return Refuse("--device needs an absolute path or a network port ('" + o.device + "')");
        }
    }
    if (p.isSet(baud)) {
        const std::string v = Local(p.value(baud));
        for (int b = QORLNK::br110; b <= QORLNK::br115200; ++b)
            if (QORLNK::BaudRateStr(static_cast<QORLNK::TBaudRate>(b)) == v)
                o.baud = static_cast<QORLNK::TBaudRate>(b);
        if (!o.baud)
            return Refuse("'" + v + "' is not a baud rate (110 to 115200)");
    }
    if (p.isSet(parity)) {
        const std::string v = Local(p.value(parity));
        for (int q = QORLNK::paNone; q <= QORLNK::paSpace; ++q)
            if (QORLNK::ParityStr(static_cast<QORLNK::TParity>(q)) == v)
                o.parity = static_cast<QORLNK::TParity>(q);
        if (!o.parity)
            return Refuse("'" + v + "' is not a parity (none, odd, even, mark, space)");
    }
    if (p.isSet(timeout)) {
        bool ok = false;
        o.timeoutMs = p.value(timeout).toInt(&ok);
        if (!ok || o.timeoutMs < 1 || o.timeoutMs > 60000)
            return Refuse("the time-out must be 1 to 60000 ms");
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

// ---- The run -------------------------------------------------------------------------

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

    std::vector<int> gets;
    std::vector<TSetRequest> sets;
    for (const std::string& given : o.args) {
        if (o.command != TCommand::Get && o.command != TCommand::Set)
            break; // snapshot's OUT
        const TArgText arg = ArgumentText(given);
        if (!arg.error.empty())
            return Refuse("'" + given + "': " + arg.error);
        if (o.command == TCommand::Get) {
            const TSlotChoice c = ChooseGetSlot(table, arg.text);
            if (c.slot < 0)
                return Refuse(EightBitToUtf8(c.error));
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
    if (o.log == "-") {
        log = stderr;
    } else if (!o.log.empty()) {
        log = std::fopen(o.log.c_str(), "w");
        if (log == nullptr) {
            std::fprintf(stderr, "pmv-link: cannot write the log %s: %s\n", o.log.c_str(),
                         std::strerror(errno));
            return kExitOutput;
        }
        std::setvbuf(log, nullptr, _IOLBF, 0); // can be followed while the run goes on
    }
    struct TCloser {
        std::FILE* f;
        ~TCloser() {
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
    } logCloser{log};

    // --device: the device published under the port's number in a device map
    // of this process's own, which the serial layer reads when it opens.
    const int comNumber = o.port != 0 ? o.port : set.ComPort;
    QTemporaryDir mapDir;
    if (!o.device.empty()) {
        const std::string map = mapDir.filePath(QStringLiteral("commap")).toStdString();
        std::FILE* f = mapDir.isValid() ? std::fopen(map.c_str(), "w") : nullptr;
        const bool written = f != nullptr &&
                             std::fprintf(f, "COM%d=%s\n", comNumber, o.device.c_str()) > 0 &&
                             std::fclose(f) == 0;
        if (!written) {
            std::fprintf(stderr, "pmv-link: cannot set up the device map for %s\n",
                         o.device.c_str());
            return kExitPort;
        }
        ::setenv("PMV_COMMAP", map.c_str(), 1);
    }

    QORLNK::TLNKCOMPort port;
    port.SetPort1(comNumber);
    port.SetBaudRate(o.baud.value_or(set.BaudRate));
    port.SetDataBits(set.DataBits);
    port.SetParity(o.parity.value_or(set.Parity));
    port.SetStopBits(set.StopBits);

    QTimer replyTimer;
    TCliView view(table);
    view.SetLog(log, o.transmissions);
    std::string internalError;
    TPortLink link(table, port, replyTimer, view, [&](const std::string& what) {
        if (internalError.empty())
            internalError = what.empty() ? std::string("unknown error") : what;
        QCoreApplication::quit();
    });
    replyTimer.setInterval(o.timeoutMs);
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

    int caughtSignal = 0;
    bool deviceLost = false;
    QSocketNotifier signalNotifier(gSignalPipe[0], QSocketNotifier::Read);
    // The first signal lets the request in flight end (at most the reply
    // time-out), a second one ends at once.
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&] {
        char c = 0;
        if (::read(gSignalPipe[0], &c, 1) != 1)
            return;
        if (caughtSignal != 0) {
            QCoreApplication::quit();
            return;
        }
        caughtSignal = static_cast<unsigned char>(c);
        runner.Stop();
    });
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
    case TCommand::Verify: {
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
    if (!CatchSignals()) {
        std::perror("pmv-link: signals");
        return kExitFailed;
    }
    return Run(app, options);
}
