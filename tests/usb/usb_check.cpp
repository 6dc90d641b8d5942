// The host half of the USB test.
//
//   usb-check peer RUNDIR RESULTS
//       Plays the cable and the hand that plugs: connects to QEMU's sockets
//       in RUNDIR (qmp, ctl and one per adapter, named as the adapters'
//       chardevs), echoes every byte each adapter sends, and serves the
//       guest's requests on the control channel (UsbCases.h): unplugs an
//       adapter (closes its socket, then QMP device_del), plugs it (QMP
//       device_add, then connects), notes marks. Writes PASS/FAIL lines and
//       "MARK SECONDS LABEL" lines to RESULTS. It reads every socket at all
//       times: an adapter whose far end stops reading stalls the machine.
//       It serves until the guest says "end" or the emulator closes QMP or
//       the control channel (it ended).
//   usb-check report TRACE CONSOLE PEER POWEROFF
//       Prints the guest's results (CONSOLE), the peer's (PEER), the checks
//       of QEMU's trace of the adapter (TRACE, -trace 'usb_serial_*' with
//       timestamps) cut at the guest's marks, and whether the machine
//       powered off (POWEROFF as for uart-check), then "N passed, M failed".
//       Exit status 0 only when every check passed.
#include "UsbCases.h"
#include "tests/machine/MachineReport.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace usbtest;
using namespace machinetest;

constexpr int kConnectSeconds = 60;

int Connect(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kConnectSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            return fd;
        if (fd >= 0)
            ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

bool SendAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string Now() {
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%ld.%06ld", static_cast<long>(tv.tv_sec),
                  static_cast<long>(tv.tv_usec));
    return buf;
}

// ---------------------------------------------------------------------------
// Peer

/// The adapter a request names: its index in kAdapters, or -1.
int AdapterOf(const std::string& id) {
    for (std::size_t i = 0; i < std::size(kAdapters); ++i)
        if (id == kAdapters[i].id)
            return static_cast<int>(i);
    return -1;
}

/// The QMP command that deletes adapter a, or adds it again with its port
/// and serial number.
std::string QmpCommand(bool unplug, const TAdapter& a) {
    if (unplug)
        return std::string(R"({"execute": "device_del", "arguments": {"id": ")") + a.id + "\"}}\n";
    return std::string(R"({"execute": "device_add", "arguments": {"driver": "usb-serial", )") +
           "\"id\": \"" + a.id + "\", \"bus\": \"xhci.0\", \"port\": \"" + std::to_string(a.port) +
           "\", \"chardev\": \"" + a.chardev + "\", \"serial\": \"" + a.serial + "\"}}\n";
}

int RunPeer(const std::string& dir, const std::string& resultsPath) {
    std::ofstream out(resultsPath);
    TTally tally;
    const int qmp = Connect(dir + "/qmp");
    const int ctl = Connect(dir + "/ctl");
    std::vector<int> adapters;
    for (const TAdapter& a : kAdapters)
        adapters.push_back(Connect(dir + "/" + a.chardev));
    for (std::size_t i = 0; i < adapters.size(); ++i)
        Emit(out, tally, adapters[i] >= 0,
             std::string("host: connect to adapter ") + kAdapters[i].id + "'s socket");
    Emit(out, tally, qmp >= 0 && ctl >= 0, "host: connect to QMP and the control channel");
    if (qmp < 0 || ctl < 0)
        return 1;
    SendAll(qmp, "{\"execute\": \"qmp_capabilities\"}\n");

    std::string ctlIn, qmpIn, pending; // pending: the request waiting for QMP
    int pendingAdapter = -1;
    bool capabilities = false;
    bool ended = false;
    out << std::unitbuf;
    while (!ended) {
        std::vector<pollfd> fds{{ctl, POLLIN, 0}, {qmp, POLLIN, 0}};
        for (int fd : adapters)
            fds.push_back({fd, POLLIN, 0});
        // No deadline of its own: a slow guest may be quiet for long, and
        // the emulator's end (its time limit included) closes the sockets.
        const int ready = ::poll(fds.data(), fds.size(), -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            break;
        char buf[4096];
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                SendAll(fds[i].fd, std::string(buf, static_cast<std::size_t>(n)));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                adapters[i - 2] = -1;
            }
        }
        if (fds[1].revents != 0) {
            const ssize_t n = ::read(qmp, buf, sizeof buf);
            if (n <= 0)
                break;
            qmpIn.append(buf, static_cast<std::size_t>(n));
        }
        for (std::size_t nl; (nl = qmpIn.find('\n')) != std::string::npos;) {
            std::string line = qmpIn.substr(0, nl);
            qmpIn.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const bool done = line.find("\"return\"") != std::string::npos;
            if (!done && line.find("\"error\"") == std::string::npos)
                continue; // the greeting, an event
            if (!capabilities) {
                capabilities = true;
                continue;
            }
            const auto desc = line.find("\"desc\"");
            const std::string why =
                done ? std::string() : line.substr(desc == std::string::npos ? 0 : desc);
            // An adapter added again gets its cable back, and with it attaches.
            const bool plugged = pending.rfind("plug ", 0) == 0;
            int& fd = adapters[static_cast<std::size_t>(pendingAdapter)];
            if (done && plugged && fd < 0)
                fd = Connect(dir + "/" + kAdapters[pendingAdapter].chardev);
            Emit(out, tally, done && (!plugged || fd >= 0), "host: " + pending + " (QMP)", why);
            SendAll(ctl, done ? "ok\n" : "fail: " + why + "\n");
            pending.clear();
        }
        if (fds[0].revents != 0) {
            const ssize_t n = ::read(ctl, buf, sizeof buf);
            if (n <= 0)
                break;
            ctlIn.append(buf, static_cast<std::size_t>(n));
        }
        for (std::size_t nl; pending.empty() && (nl = ctlIn.find('\n')) != std::string::npos;) {
            const std::string request = ctlIn.substr(0, nl);
            ctlIn.erase(0, nl + 1);
            const std::string verb = request.substr(0, request.find(' '));
            const std::string arg = request.substr(std::min(request.size(), verb.size() + 1));
            if (verb == "mark") {
                out << "MARK " << Now() << " " << arg << "\n";
                SendAll(ctl, "ok\n");
            } else if (verb == "end") {
                SendAll(ctl, "ok\n");
                ended = true;
            } else if (const int a = AdapterOf(arg);
                       a >= 0 && (verb == "unplug" || verb == "plug")) {
                // Unplugged, the cable goes first: QEMU 7.2 crashes when bytes
                // reach an adapter it has deleted (usb_wakeup on a device
                // without a bus), and a closed socket detaches the adapter.
                int& fd = adapters[static_cast<std::size_t>(a)];
                if (verb == "unplug" && fd >= 0) {
                    ::close(fd);
                    fd = -1;
                }
                pending = request;
                pendingAdapter = a;
                SendAll(qmp, QmpCommand(verb == "unplug", kAdapters[a]));
            } else {
                Emit(out, tally, false, "host: request from the guest", "unknown: " + request);
                SendAll(ctl, "fail: unknown request\n");
            }
        }
    }
    Emit(out, tally, ended, "host: the guest ended its requests", "the connection ended first");
    return tally.failed == 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Trace

struct TEvent {
    double t = 0;
    std::string name; // "set_baud", "set_data", "unsupported_parity", ...
    std::string text; // what follows the device
};

std::vector<TEvent> ReadTrace(const std::string& path) {
    std::vector<TEvent> events;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        unsigned long sec = 0, usec = 0;
        char name[64] = {};
        int at = 0;
        if (std::sscanf(line.c_str(), "%*d@%lu.%lu:usb_serial_%63s dev %*d:%*u %n", &sec, &usec,
                        name, &at) < 3 ||
            at == 0)
            continue;
        events.push_back({static_cast<double>(sec) + static_cast<double>(usec) / 1e6, name,
                          line.substr(static_cast<std::size_t>(at))});
    }
    return events;
}

/// The guest's marks in the peer's results: label -> host time.
std::vector<std::pair<std::string, double>> ReadMarks(const std::string& path) {
    std::vector<std::pair<std::string, double>> marks;
    std::ifstream in(path);
    std::string word, label;
    double t = 0;
    while (in >> word) {
        if (word == "MARK" && in >> t && std::getline(in >> std::ws, label))
            marks.emplace_back(label, t);
        else
            std::getline(in, label);
    }
    return marks;
}

void CheckWalk(const std::vector<TEvent>& events,
               const std::vector<std::pair<std::string, double>>& marks, std::ostream& out,
               TTally& tally) {
    auto markTime = [&](const std::string& label) {
        for (const auto& [l, t] : marks)
            if (l == label)
                return t;
        return -1.0;
    };
    for (std::size_t i = 0; i < std::size(kWalkRows); ++i) {
        const TWalkRow& row = kWalkRows[i];
        const double from = markTime("walk " + std::to_string(i));
        const double to = markTime(i + 1 < std::size(kWalkRows) ? "walk " + std::to_string(i + 1)
                                                                : std::string("walk end"));
        std::string name = "trace: settings " + std::to_string(i + 1) + ": ";
        if (!row.taken)
            name += "nothing reaches the adapter";
        else if (row.setter == kSetBaudRate)
            name += "the adapter runs " + std::to_string(row.baud) + " baud (within 3 %)";
        else
            name += std::string("the adapter runs parity ") + row.parity + ", " +
                    std::to_string(row.bits) + " data bits, " + std::to_string(row.stop) +
                    " stop bits";
        if (from < 0 || to < 0) {
            Emit(out, tally, false, name, "step not marked");
            continue;
        }
        std::string seen, baud, data;
        for (const TEvent& e : events) {
            if (e.t < from || e.t > to || e.name == "handle_control" || e.name == "reset" ||
                e.name == "set_flow_control" || e.name == "set_xonxoff")
                continue;
            seen += (seen.empty() ? "" : "; ") + e.name + " " + e.text;
            if (e.name == "set_baud")
                baud = e.text;
            else if (e.name == "set_data")
                data = e.text;
        }
        char wantData[64];
        std::snprintf(wantData, sizeof wantData, "parity %c, data bits %d, stop bits %d",
                      row.parity, row.bits, row.stop);
        int rate = 0;
        const bool ok =
            !row.taken ? seen.empty()
            : row.setter == kSetBaudRate
                ? std::sscanf(baud.c_str(), "baud rate %d", &rate) == 1 && CloseRate(rate, row.baud)
                : data == wantData;
        Emit(out, tally, ok, name, seen.empty() ? std::string("nothing in the trace") : seen);
    }
}

/// The adapter open and idle for half a second: its modem status comes with
/// every packet it sends, so the port has no reason to ask for it (a port
/// that polled the lines would ask about 30 times).
void CheckIdle(const std::vector<TEvent>& events,
               const std::vector<std::pair<std::string, double>>& marks, std::ostream& out,
               TTally& tally) {
    double from = -1, to = -1;
    for (const auto& [label, t] : marks) {
        from = label == "walk end" ? t : from;
        to = label == "idle end" ? t : to;
    }
    int asked = 0;
    for (const TEvent& e : events)
        asked += e.t > from && e.t < to && e.name == "handle_control" &&
                 e.text.rfind("got control 0xc005,", 0) == 0;
    Emit(out, tally, from > 0 && to > from && asked <= 2,
         "trace: open and idle for half a second, the adapter is not polled for its modem lines",
         std::to_string(asked) + " modem status requests");
}

// ---------------------------------------------------------------------------
// Report

int RunReport(const std::string& tracePath, const std::string& consolePath,
              const std::string& peerPath, const std::string& poweroff) {
    TTally tally;
    std::ostream& out = std::cout;
    if (!CopyResults(consolePath, "guest (" + consolePath + ")", out, tally, true))
        Emit(out, tally, false, "guest: console output", "missing: " + consolePath);
    std::ifstream consoleIn(consolePath);
    const std::string console((std::istreambuf_iterator<char>(consoleIn)),
                              std::istreambuf_iterator<char>());
    Emit(out, tally, console.find("guest: usb-guest exited with 0") != std::string::npos,
         "guest: the guest program ran to its end and exited 0",
         "no clean exit in the console output");
    if (!CopyResults(peerPath, "host peer", out, tally, false))
        Emit(out, tally, false, "host: peer results", "missing: " + peerPath);

    out << "== adapter trace (" << tracePath << ")\n";
    const std::vector<TEvent> events = ReadTrace(tracePath);
    Emit(out, tally, !events.empty(), "trace: usb_serial events with timestamps recorded");
    const auto marks = ReadMarks(peerPath);
    CheckWalk(events, marks, out, tally);
    CheckIdle(events, marks, out, tally);

    out << "== machine\n";
    EmitPowerOff(out, tally, poweroff, console);
    out << tally.passed << " passed, " << tally.failed << " failed\n";
    return tally.failed == 0 && tally.passed > 0 ? 0 : 1;
}

void Usage(std::ostream& out) {
    out << "usage: usb-check peer RUNDIR RESULTS\n"
           "       usb-check report TRACE CONSOLE PEER off:SECONDS|timeout:SECONDS\n"
           "The host side of the USB test (see tests/usb/run-usb-test.sh).\n";
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        Usage(std::cout);
        return 0;
    }
    if (args.size() == 3 && args[0] == "peer")
        return RunPeer(args[1], args[2]);
    if (args.size() == 5 && args[0] == "report")
        return RunReport(args[1], args[2], args[3], args[4]);
    Usage(std::cerr);
    return 2;
}
