// qxm-sim: a QXM300 stand-in on a pseudo-terminal.
//
// Opens a pty, publishes its slave as COM<n> beside the device map override
// file, and answers "QX" frames from a parameter table (SimTarget.h). The
// program keeps a slave descriptor of its own open the whole time, so the
// host may open and close the port as often as it likes: without it the
// master reads EIO and polls POLLHUP whenever no slave is open. Through it
// the program also clears the exclusive flag a killed port user left set.
// On SIGINT, SIGTERM or SIGHUP it withdraws its publication and ends, also
// while it is still setting up; ended any other way (SIGKILL, a crash) its
// line is gone all the same, since the publication lock went with it.
#include "config/CmdRecord.h"
#include "tools/sim/SimPublish.h"
#include "tools/sim/SimTarget.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;
using namespace qxmsim;

int gSignalPipe[2] = {-1, -1};
volatile sig_atomic_t gStopped = 0;

void OnSignal(int) {
    gStopped = 1;
    const int saved = errno;
    const char c = 's';
    [[maybe_unused]] ssize_t n = ::write(gSignalPipe[1], &c, 1);
    errno = saved;
}

const char kUsage[] =
    "Usage: qxm-sim [options]\n"
    "A simulated QXM300 controller on a pseudo-terminal, published as a COM\n"
    "port for PMV-Host through the device map.\n"
    "\n"
    "Options:\n"
    "  --com N            publish as COM N (default 25)\n"
    "  --map FILE         device map override file (default $PMV_COMMAP or\n"
    "                     ~/.config/pmv-host/commap)\n"
    "  --delay MS         wait MS before every reply\n"
    "  --silent NAME[,NAME...]   never answer these names (*: none, a unit that\n"
    "                     is connected but does not answer)\n"
    "  --late NAME:MS[,NAME:MS...] answer these names after MS\n"
    "  --no-equals        replies read \"QXname=value\" (no \" = \")\n"
    "  --noise N          N random bytes (never Q) before each reply\n"
    "  --jitter PCT:MS    PCT percent of the replies wait a random 0 to MS\n"
    "  --stray PCT        PCT percent of the replies come with an unasked reply\n"
    "                     of another parameter, just before or after them\n"
    "  --seed N           seed of the noise, jitter and strays (default 1)\n"
    "  --lf               line feed after each reply's CR\n"
    "  --sn TEXT          the serial number SN answers (default 30012345)\n"
    "  --ver TEXT         the firmware version VER answers (default 300)\n"
    "  --pace BAUD        sends each byte at the time it takes on a line at BAUD\n"
    "                     (10 bits a byte), and takes a frame as received only\n"
    "                     after the time its bytes take on such a line; bytes\n"
    "                     that come faster than BAUD allows are not dropped (a\n"
    "                     pseudo-terminal has no line rate: the host's bytes\n"
    "                     come at once)\n"
    "  --log FILE         log of what was received and sent\n"
    "  --once             end after the first frame\n"
    "  --exit-after N     end after N frames (their replies sent)\n"
    "  --die-with-parent  end (as on SIGTERM) when the starting process ends\n"
    "  -h, --help         show this help and end\n"
    "  -v, --version      show the version and end\n"
    "\n"
    "Exit status:\n"
    "  0  ended by SIGINT, SIGTERM or SIGHUP, or after --once / --exit-after\n"
    "  1  the pseudo-terminal, the log or the publication could not be set up\n"
    "     (the map's folder must be yours alone)\n"
    "  2  a bad command line\n";

struct Args {
    int com = 25;
    std::string map;
    std::string log;
    long exitAfter = 0; // 0: run until signalled
    long paceBaud = 0;  // 0: bytes go as fast as the pseudo-terminal takes them
    bool dieWithParent = false;
    TSimOptions sim;
};

bool ParseInt(const std::string& s, long lo, long hi, long& out) {
    if (s.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

std::vector<std::string> SplitList(const std::string& s) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= s.size()) {
        const std::size_t comma = s.find(',', start);
        const std::string item = s.substr(start, comma - start);
        if (!item.empty())
            out.push_back(item);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return out;
}

// Returns false (after printing why) when the arguments are not usable.
bool ParseArgs(int argc, char** argv, Args& a) {
    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        std::string val;
        bool hasVal = false;
        if (const std::size_t eq = opt.find('=');
            opt.rfind("--", 0) == 0 && eq != std::string::npos) {
            val = opt.substr(eq + 1);
            opt = opt.substr(0, eq);
            hasVal = true;
        }
        auto need = [&]() -> bool {
            if (hasVal)
                return true;
            if (i + 1 >= argc) {
                std::fprintf(stderr, "qxm-sim: %s needs a value\n", opt.c_str());
                return false;
            }
            val = argv[++i];
            return true;
        };
        auto bad = [&]() {
            std::fprintf(stderr, "qxm-sim: bad value for %s: '%s'\n", opt.c_str(), val.c_str());
            return false;
        };
        long n = 0;
        if (opt == "--help" || opt == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (opt == "--version" || opt == "-v") {
            std::printf("qxm-sim %d.%d\n", pmv::kVersionMajor, pmv::kVersionMinor);
            std::exit(0);
        } else if (opt == "--com") {
            if (!need())
                return false;
            if (!ParseInt(val, 1, 32, n))
                return bad();
            a.com = static_cast<int>(n);
        } else if (opt == "--map") {
            if (!need())
                return false;
            if (val.empty())
                return bad();
            a.map = val;
        } else if (opt == "--delay") {
            if (!need())
                return false;
            if (!ParseInt(val, 0, 600000, n))
                return bad();
            a.sim.delayMs = static_cast<int>(n);
        } else if (opt == "--silent") {
            if (!need())
                return false;
            for (const std::string& name : SplitList(val))
                a.sim.silent.insert(name);
        } else if (opt == "--late") {
            if (!need())
                return false;
            for (const std::string& item : SplitList(val)) {
                const std::size_t colon = item.rfind(':');
                if (colon == std::string::npos || colon == 0 ||
                    !ParseInt(item.substr(colon + 1), 0, 600000, n))
                    return bad();
                a.sim.late[item.substr(0, colon)] = static_cast<int>(n);
            }
        } else if (opt == "--no-equals") {
            a.sim.noEquals = true;
        } else if (opt == "--noise") {
            if (!need())
                return false;
            if (!ParseInt(val, 0, 4096, n))
                return bad();
            a.sim.noise = static_cast<int>(n);
        } else if (opt == "--jitter") {
            if (!need())
                return false;
            const std::size_t colon = val.find(':');
            long ms = 0;
            if (colon == std::string::npos || !ParseInt(val.substr(0, colon), 0, 100, n) ||
                !ParseInt(val.substr(colon + 1), 0, 600000, ms))
                return bad();
            a.sim.jitterPercent = static_cast<int>(n);
            a.sim.jitterMaxMs = static_cast<int>(ms);
        } else if (opt == "--stray") {
            if (!need())
                return false;
            if (!ParseInt(val, 0, 100, n))
                return bad();
            a.sim.strayPercent = static_cast<int>(n);
        } else if (opt == "--seed") {
            if (!need())
                return false;
            if (!ParseInt(val, 0, 0xFFFFFFFFL, n))
                return bad();
            a.sim.seed = static_cast<std::uint32_t>(n);
        } else if (opt == "--lf") {
            a.sim.lineFeed = true;
        } else if (opt == "--sn" || opt == "--ver") {
            if (!need())
                return false;
            if (val.empty() || !TSimTarget::ValidValue(val))
                return bad();
            a.sim.values[opt == "--sn" ? "SN" : "VER"] = val;
        } else if (opt == "--pace") {
            if (!need())
                return false;
            if (!ParseInt(val, 50, 4000000, n))
                return bad();
            a.paceBaud = n;
        } else if (opt == "--log") {
            if (!need())
                return false;
            if (val.empty())
                return bad();
            a.log = val;
        } else if (opt == "--die-with-parent") {
            a.dieWithParent = true;
        } else if (opt == "--once") {
            a.exitAfter = 1;
        } else if (opt == "--exit-after") {
            if (!need())
                return false;
            if (!ParseInt(val, 1, 1000000000L, n))
                return bad();
            a.exitAfter = n;
        } else {
            std::fprintf(stderr, "qxm-sim: unknown option %s\n%s", argv[i], kUsage);
            return false;
        }
    }
    if (a.map.empty())
        a.map = DefaultMapPath();
    return true;
}

class Log {
public:
    bool Open(const std::string& path) {
        if (path.empty())
            return true;
        m_file = std::fopen(path.c_str(), "w");
        if (!m_file)
            return false;
        std::setvbuf(m_file, nullptr, _IOLBF, 0);
        return true;
    }
    ~Log() {
        if (m_file)
            std::fclose(m_file);
    }
    void Line(const std::string& text) {
        if (m_file)
            std::fprintf(m_file, "%s\n", text.c_str());
    }

private:
    std::FILE* m_file = nullptr;
};

struct Pty {
    int master = -1;
    int slave = -1;
    std::string name;

    bool Open(std::string& error) {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
            error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
            return false;
        }
        char buf[128];
        if (::ptsname_r(master, buf, sizeof buf) != 0) {
            error = std::string("ptsname: ") + std::strerror(errno);
            return false;
        }
        name = buf;
        // Our own slave descriptor: keeps the line up between the host's connections
        // and keeps the raw settings for whoever opens the device next.
        slave = ::open(buf, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave < 0) {
            error = "cannot open " + name + ": " + std::strerror(errno);
            return false;
        }
        termios t{};
        if (::tcgetattr(slave, &t) == 0) {
            ::cfmakeraw(&t);
            t.c_cc[VMIN] = 1;
            t.c_cc[VTIME] = 0;
            ::cfsetispeed(&t, B9600);
            ::cfsetospeed(&t, B9600);
            ::tcsetattr(slave, TCSANOW, &t);
        }
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        return true;
    }
    ~Pty() {
        if (slave >= 0)
            ::close(slave);
        if (master >= 0)
            ::close(master);
    }
};

// Closing the master hangs the line up, and a hangup may discard replies the
// host has not read yet. Before ending by itself the program therefore waits
// (at most `limit`) until the slave's input queue has stayed empty for a few
// checks in a row; the checks span the kernel's hand-over of written bytes.
void WaitUntilRead(const Pty& pty, std::chrono::milliseconds limit) {
    const Clock::time_point giveUp = Clock::now() + limit;
    int emptyChecks = 0;
    while (emptyChecks < 5 && Clock::now() < giveUp && !gStopped) {
        int queued = 0;
        if (::ioctl(pty.slave, FIONREAD, &queued) != 0)
            return;
        emptyChecks = queued == 0 ? emptyChecks + 1 : 0;
        ::usleep(10000);
    }
}

int Run(const Args& args) {
    // Signals end the program promptly from here on: a blocking step of the
    // set-up (a log that is a FIFO) is interrupted, and the program ends as
    // it would have a moment later.
    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("qxm-sim: pipe");
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // A test that starts the simulator may die without stopping it: go with
    // it (through the SIGTERM path, so the publication is withdrawn).
    if (args.dieWithParent) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() == 1)
            return 0;
    }

    Log log;
    if (!log.Open(args.log)) {
        if (gStopped)
            return 0;
        std::fprintf(stderr, "qxm-sim: cannot write %s: %s\n", args.log.c_str(),
                     std::strerror(errno));
        return 1;
    }
    Pty pty;
    std::string error;
    if (!pty.Open(error)) {
        std::fprintf(stderr, "qxm-sim: %s\n", error.c_str());
        return 1;
    }

    TSimPublication publication;
    if (!publication.Publish(args.map, args.com, pty.name, pty.slave, &error)) {
        std::fprintf(stderr, "qxm-sim: cannot publish COM%d beside %s: %s\n", args.com,
                     args.map.c_str(), error.c_str());
        return 1;
    }
    if (gStopped)
        return 0;
    const std::string where = "COM" + std::to_string(args.com) + "=" + pty.name + " in " + args.map;
    log.Line("published " + where);
    std::printf("qxm-sim: published %s\n", where.c_str());
    std::fflush(stdout);

    TSimTarget target(args.sim);
    // Replies waiting for their time, in due order (ties in arrival order).
    std::multimap<Clock::time_point, std::string> due;
    std::string out; // bytes ready for the master, not yet written
    // Paced (--pace): the time one byte takes on the line, when the first
    // byte of `out` reaches the far end, and until when each direction's
    // line is busy with the bytes given to it.
    const Clock::duration byteTime =
        args.paceBaud > 0 ? std::chrono::duration_cast<Clock::duration>(
                                std::chrono::nanoseconds(10'000'000'000LL / args.paceBaud))
                          : Clock::duration::zero();
    Clock::time_point outNextAt{}, txBusyUntil{}, rxBusyUntil{};
    long frames = 0;
    bool stop = false;
    char buf[4096];

    while (!stop) {
        const Clock::time_point now = Clock::now();
        while (!due.empty() && due.begin()->first <= now) {
            const auto& [at, bytes] = *due.begin();
            log.Line("tx " + Printable(bytes));
            const Clock::time_point start = std::max(txBusyUntil, at);
            if (out.empty())
                outNextAt = start + byteTime;
            txBusyUntil = start + byteTime * static_cast<long>(bytes.size());
            out += bytes;
            due.erase(due.begin());
        }
        bool blocked = false;
        while (!out.empty()) {
            // Paced: only the bytes that have reached the far end by now.
            std::size_t ready = out.size();
            if (byteTime > Clock::duration::zero())
                ready = now < outNextAt
                            ? 0
                            : std::min<std::size_t>(out.size(), 1 + (now - outNextAt) / byteTime);
            if (ready == 0)
                break;
            const ssize_t w = ::write(pty.master, out.data(), ready);
            if (w > 0) {
                out.erase(0, static_cast<std::size_t>(w));
                outNextAt += byteTime * w;
                continue;
            }
            if (w < 0 && errno == EINTR)
                continue;
            blocked = true; // EAGAIN: the slave's input queue is full, wait for POLLOUT
            break;
        }
        if (args.exitAfter > 0 && frames >= args.exitAfter && due.empty() && out.empty()) {
            WaitUntilRead(pty, std::chrono::seconds(5));
            break;
        }

        // Without a way to learn of the device's closes, look every 200 ms.
        const int watch = publication.WatchFd();
        std::optional<Clock::time_point> wake;
        if (watch < 0)
            wake = now + std::chrono::milliseconds(200);
        if (!due.empty())
            wake = std::min(wake.value_or(due.begin()->first), due.begin()->first);
        if (!out.empty() && !blocked)
            wake = std::min(wake.value_or(outNextAt), outNextAt);
        timespec wait{};
        if (wake) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*wake - now);
            const long long left = std::max<long long>(0, ns.count());
            wait.tv_sec = static_cast<time_t>(left / 1'000'000'000);
            wait.tv_nsec = static_cast<long>(left % 1'000'000'000);
        }
        pollfd fds[3] = {{pty.master, static_cast<short>(POLLIN | (blocked ? POLLOUT : 0)), 0},
                         {gSignalPipe[0], POLLIN, 0},
                         {watch, POLLIN, 0}};
        const int r = ::ppoll(fds, watch >= 0 ? 3 : 2, wake ? &wait : nullptr, nullptr);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            std::perror("qxm-sim: poll");
            break;
        }
        if (fds[1].revents & POLLIN)
            break;
        if ((watch < 0 || (fds[2].revents & POLLIN)) && publication.KeepUsable())
            log.Line("cleared the exclusive flag of a port user that was killed");
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(pty.master, buf, sizeof buf);
            if (n > 0) {
                const Clock::time_point at = Clock::now();
                for (ssize_t i = 0; i < n; ++i) {
                    // Paced: a byte is there once the line has carried it.
                    rxBusyUntil = std::max(rxBusyUntil, at) + byteTime;
                    auto line = target.Feed(static_cast<std::uint8_t>(buf[i]));
                    if (!line)
                        continue;
                    log.Line("rx " + Printable(*line + "\r"));
                    ++frames;
                    if (auto reply = target.Answer(*line))
                        due.emplace(rxBusyUntil + std::chrono::milliseconds(reply->delayMs),
                                    std::move(reply->bytes));
                    else
                        log.Line("(no reply)");
                    if (args.exitAfter > 0 && frames >= args.exitAfter)
                        break;
                }
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            // Not expected while our own slave descriptor is open; do not spin.
            ::usleep(20000);
        }
    }

    publication.Withdraw(&error);
    log.Line("unpublished COM" + std::to_string(args.com));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Args args;
    if (!ParseArgs(argc, argv, args))
        return 2;
    return Run(args);
}
