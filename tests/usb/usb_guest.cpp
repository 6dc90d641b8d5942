// The guest half of the USB test: runs inside the emulated machine against
// the real USB serial drivers. An FTDI adapter emulated by QEMU (ftdi_sio on
// xhci) and a CDC-ACM gadget made here on dummy_hcd (cdc_acm) are opened
// through the device map, with the port watch the window's link uses, and
// unplugged and plugged in again under it. The host plays the FTDI cable
// and unplugs it on request (control channel, UsbCases.h); this program
// plays the far end of the gadget itself (/dev/ttyGS0). Prints one
// "PASS name" or "FAIL name: detail" line per check.
//
// Times of unplugs are read on the guest's own clock, the kernel log's: the
// hub driver logs "USB disconnect" when it finds a device gone, and this
// program logs the device-lost event and its own unplugs there too.
//
// Usage: usb-guest (as root, with udev running)
#include "UsbCases.h"
#include "app/link/PortLink.h"
#include "app/link/PortWatch.h"
#include "comport/LnkText.h"
#include "comport/Lnkcomport.h"
#include "platform/DeviceMap.h"
#include "platform/winapi.h"
#include "tests/support/Wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace usbtest;
using pmv::TPortWatch;

constexpr int kDeadlineMs = 30000;
// A device plugged in: the kernel enumerates it, its driver binds it and udev
// makes its link, each on the emulated processor, which a busy host starves
// (its clock then runs on while this program waits, idle). Generous.
constexpr int kDeviceMs = 120000;
constexpr double kLostGoalMs = 100;
constexpr const char* kGadget = "/sys/kernel/config/usb_gadget/pmv";
constexpr const char* kGadgetSerial = "ACM0001";
constexpr const char* kGadgetById = "/dev/serial/by-id/usb-PMV_Bench_Gadget_ACM0001-if00";
constexpr const char* kGadgetFarEnd = "/dev/ttyGS0";
constexpr const char* kUdc = "dummy_udc.0";

/// Waits for cond, at most deadlineMs under the test deadline rule
/// (PMV_TEST_TIME_SCALE).
template <class Cond> bool WaitUntil(Cond cond, int deadlineMs = kDeadlineMs) {
    const int deadline = pmvtest::Scaled(deadlineMs);
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > deadline)
            return cond();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void Pump(int ms) {
    WaitUntil([] { return false; }, ms);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    out.flush();
    return static_cast<bool>(out);
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

/// The tty a USB serial adapter got ("ttyUSB0"), found by its serial number
/// in sysfs; "" while the kernel has none, and in usb whether it has the
/// USB device at least.
std::string AdapterTty(const std::string& serial, bool& usb) {
    std::string tty;
    usb = false;
    DIR* d = ::opendir("/sys/bus/usb/devices");
    while (d != nullptr && tty.empty()) {
        const dirent* e = ::readdir(d);
        if (e == nullptr)
            break;
        const std::string dev = std::string("/sys/bus/usb/devices/") + e->d_name;
        if (std::strchr(e->d_name, ':') != nullptr || ReadText(dev + "/serial") != serial)
            continue;
        usb = true;
        DIR* i = ::opendir((dev + "/" + e->d_name + ":1.0").c_str());
        while (i != nullptr && tty.empty()) {
            const dirent* c = ::readdir(i);
            if (c == nullptr)
                break;
            if (std::strncmp(c->d_name, "ttyUSB", 6) == 0)
                tty = c->d_name;
        }
        if (i != nullptr)
            ::closedir(i);
    }
    if (d != nullptr)
        ::closedir(d);
    return tty;
}

/// Whether this process has a descriptor open on node.
bool HoldsNode(const std::string& node) {
    bool held = false;
    DIR* d = ::opendir("/proc/self/fd");
    while (d != nullptr && !held) {
        const dirent* e = ::readdir(d);
        if (e == nullptr)
            break;
        char target[256] = {};
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        held = ::readlink(link.c_str(), target, sizeof target - 1) > 0 && node == target;
    }
    if (d != nullptr)
        ::closedir(d);
    return held;
}

std::string Ms(double ms) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f ms", ms);
    return buf;
}

/// The control channel to the host: a virtio serial port found by its name.
/// A write to such a port blocks while the host has no connection on it, so
/// the port is non-blocking and every request and answer has a deadline;
/// once one is missed the channel counts as closed and later requests fail
/// at once (a late answer would be taken for the next request's).
class TControl {
public:
    /// Finds the port and waits for the host's end to connect.
    bool Open() {
        WaitUntil([this] {
            DIR* d = ::opendir("/sys/class/virtio-ports");
            while (d != nullptr && m_fd < 0) {
                const dirent* e = ::readdir(d);
                if (e == nullptr)
                    break;
                const std::string name = e->d_name;
                if (ReadText("/sys/class/virtio-ports/" + name + "/name") == kControlPort)
                    m_fd = ::open(("/dev/" + name).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            }
            if (d != nullptr)
                ::closedir(d);
            return m_fd >= 0;
        });
        return m_fd >= 0 && WaitUntil([this] { return Writable(); });
    }
    void Send(const std::string& request) {
        const std::string line = request + "\n";
        std::size_t done = 0;
        WaitUntil([&] {
            if (m_fd < 0)
                return true;
            const ssize_t n =
                Writable() ? ::write(m_fd, line.data() + done, line.size() - done) : 0;
            done += n > 0 ? static_cast<std::size_t>(n) : 0;
            return done == line.size();
        });
        if (done != line.size())
            Close("fail: control channel closed (request not taken: " + request + ")");
    }
    /// The answer to the request sent last, once it has come: "" for ok,
    /// else why not. False while it has not come.
    bool Answered(std::string& why) {
        for (;;) {
            if (!m_answer.empty() || m_in.find('\n') != std::string::npos) {
                const std::string line =
                    m_answer.empty() ? m_in.substr(0, m_in.find('\n')) : m_answer;
                m_in.erase(0, m_answer.empty() ? line.size() + 1 : 0);
                if (m_fd >= 0)
                    m_answer.clear(); // a closed channel answers every request so
                why = line == "ok" ? std::string() : line;
                return true;
            }
            pollfd p{m_fd, POLLIN, 0};
            if (m_fd < 0 || ::poll(&p, 1, 0) <= 0 || (p.revents & POLLIN) == 0)
                return false;
            char buf[256];
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n < 0 && errno == EAGAIN)
                return false;
            if (n <= 0) {
                Close("fail: control channel closed");
                continue;
            }
            m_in.append(buf, static_cast<std::size_t>(n));
        }
    }
    /// Waits for the answer to the request sent last: "" for ok, else why not.
    std::string Answer() {
        std::string why;
        if (!WaitUntil([&] { return Answered(why); }, kAnswerMs))
            Close(why = "fail: no answer from the host within " +
                        std::to_string(pmvtest::Scaled(kAnswerMs) / 1000) + " s");
        return why;
    }
    std::string Ask(const std::string& request) {
        Send(request);
        return Answer();
    }

private:
    static constexpr int kAnswerMs = 60000;
    /// Whether a write would not block: the host is connected and reads.
    bool Writable() const {
        pollfd p{m_fd, POLLOUT, 0};
        return m_fd >= 0 && ::poll(&p, 1, 0) > 0 && (p.revents & POLLOUT) != 0;
    }
    void Close(const std::string& why) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        m_answer = why;
    }

    int m_fd = -1;
    std::string m_in;
    std::string m_answer;
};

/// The kernel log from the open on: its records carry the kernel's clock.
class TKernelLog {
public:
    struct TRecord {
        double ms;
        std::string text;
    };
    TKernelLog() {
        m_fd = ::open("/dev/kmsg", O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ::lseek(m_fd, 0, SEEK_END);
    }
    ~TKernelLog() { ::close(m_fd); }
    void Note(const std::string& text) {
        const std::string line = "<6>usb-guest: " + text + "\n";
        (void)!::write(m_fd, line.data(), line.size());
    }
    /// The records since the last call.
    std::vector<TRecord> Read() {
        std::vector<TRecord> records;
        char buf[2048];
        for (;;) {
            const ssize_t n = ::read(m_fd, buf, sizeof buf - 1);
            if (n < 0 && errno == EPIPE)
                continue; // overwritten records: go on with the next
            if (n <= 0)
                return records;
            buf[n] = '\0';
            unsigned prio = 0;
            unsigned long long seq = 0, usec = 0;
            int at = 0;
            if (std::sscanf(buf, "%u,%llu,%llu,%*[^;];%n", &prio, &seq, &usec, &at) >= 3 && at > 0)
                records.push_back({static_cast<double>(usec) / 1000.0,
                                   std::string(buf + at, std::strcspn(buf + at, "\n"))});
        }
    }

private:
    int m_fd = -1;
};

/// The window's side of the port watch: its log lines and states.
class TWatchView final : public TPortWatch::TView {
public:
    void AppendLog(const std::string& line) override {
        lines.push_back(line);
        std::printf("  | log: %s\n", line.c_str());
        std::fflush(stdout);
    }
    void ShowPortState(TPortWatch::TState, int) override {}
    bool Has(const std::string& tail) const {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.size() >= tail.size() &&
                   l.compare(l.size() - tail.size(), tail.size(), tail) == 0;
        });
    }
    std::vector<std::string> lines;
};

/// One device run through the lost and back checks.
struct TScenario {
    std::string name; // "FTDI", "CDC-ACM"
    int com;          // the number the by-id line gives it
    std::string byId;
    TBaudRate baud;
    TDataBits bits;
    TParity parity;
    TStopBits stop;
    const char* adapter; // the FTDI adapter's QEMU id; null: the gadget
    bool holdOldNode;    // keep the old node open across the unplug
    bool otherAdapter;   // plug the second FTDI adapter in while lost
};

class TGuest {
public:
    int Run();

private:
    void Check(bool ok, const std::string& name, const std::string& detail = {});
    void Check(const std::string& name, const std::function<std::string()>& body);
    void CheckIdentity(int com, const std::string& node, const std::string& byId,
                       const std::string& description);
    void CheckSettings();
    void CheckLostAndBack(const TScenario& s);
    /// Waits for the first adapter's by-id link: "" or which step is missing.
    std::string AwaitAdapter();
    std::string MakeGadget();
    /// Unplugs the device: the gadget at once, the adapter by a request to
    /// the host whose answer comes later. "" or why not.
    std::string Unplug(const TScenario& s);
    std::string Replug(const TScenario& s);
    void FarEnd();
    /// Sends frames one at a time, the next once the previous came back,
    /// until stop(frames back) holds or the deadline passes; frames back.
    int Exchange(QORLNK::TLNKCOMPort& port, const std::function<bool(int)>& stop);
    /// Unplug-to-lost time of the last unplug, from the kernel log.
    double LostAfterUnplugMs();
    std::string Settled(QORLNK::TLNKCOMPort& port, const TScenario& s);

    TControl m_control;
    TKernelLog m_log;
    std::string m_rx;
    char m_frame[16] = {};
    std::vector<std::string> m_reports;
    std::vector<double> m_lostMs;
    std::atomic<bool> m_farEndRun{true};
    int m_passed = 0;
    int m_failed = 0;
};

void TGuest::Check(bool ok, const std::string& name, const std::string& detail) {
    ++(ok ? m_passed : m_failed);
    if (ok)
        std::printf("PASS %s\n", name.c_str());
    else
        std::printf("FAIL %s: %s\n", name.c_str(), detail.empty() ? "failed" : detail.c_str());
    std::fflush(stdout);
    if (!ok && m_failed == 1) // what the kernel saw, for the first failure
        (void)!std::system("dmesg | tail -n 40 | sed 's/^/kernel: /'");
}

void TGuest::Check(const std::string& name, const std::function<std::string()>& body) {
    const std::string why = body();
    Check(why.empty(), name, why);
}

// ---------------------------------------------------------------------------

void TGuest::CheckIdentity(int com, const std::string& node, const std::string& byId,
                           const std::string& description) {
    const std::string want = "COM" + std::to_string(com) + " " + node + " by-id " +
                             byId.substr(byId.rfind('/') + 1) + ", " + description;
    Check("identity: pmv-ports --json lists " + want, [&] {
        FILE* p = ::popen("/bin/pmv-ports --json", "r");
        std::string out;
        char buf[4096];
        for (std::size_t n; p != nullptr && (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        if (p != nullptr)
            ::pclose(p);
        const QJsonArray ports = QJsonDocument::fromJson(QByteArray::fromStdString(out)).array();
        for (const QJsonValue& v : ports) {
            const QJsonObject o = v.toObject();
            if (o["com"].toInt() != com)
                continue;
            const std::string got = "COM" + std::to_string(com) + " " +
                                    o["device"].toString().toStdString() + " by-id " +
                                    o["by_id"].toString().section('/', -1).toStdString() + ", " +
                                    o["description"].toString().toStdString();
            if (got != want || o["by_id"].toString().toStdString() != byId)
                return "lists " + got;
            return o["access"].toString() == "ok"
                       ? std::string()
                       : "access " + o["access"].toString().toStdString();
        }
        return "no COM" + std::to_string(com) + " in: " + out.substr(0, 200);
    });
}

void TGuest::CheckSettings() {
    QORLNK::TLNKCOMPort port;
    port.OnReport = [this](QORLNK::TLNKCOMPort*, TReportType, const std::string& func,
                           const std::string& desc, const std::string&, int, int err) {
        m_reports.push_back(func + "/" + desc + "/" + std::to_string(err));
    };
    port.SetPort1(5);
    if (const std::string why = pmv::OpenComPort(port); !why.empty())
        return Check(false, "settings: COM5 opens at 9600 8N1", why);
    static constexpr const char* kRoutine[] = {"SetBaudRate", "SetDataBits", "SetBaudParity",
                                               "SetStopBits"};
    for (std::size_t i = 0; i < std::size(kWalkRows); ++i) {
        const TWalkRow& row = kWalkRows[i];
        auto current = [&] {
            switch (row.setter) {
            case kSetDataBits:
                return static_cast<int>(port.DataBits());
            case kSetParity:
                return static_cast<int>(port.Parity());
            case kSetStopBits:
                return static_cast<int>(port.StopBits());
            default:
                return static_cast<int>(port.BaudRate());
            }
        };
        const int before = current();
        std::string what;
        m_control.Ask("mark walk " + std::to_string(i));
        m_reports.clear();
        switch (row.setter) {
        case kSetBaudRate:
            what = "SetBaudRate(" + BaudRateStr(static_cast<TBaudRate>(row.value)) + ")";
            port.SetBaudRate(static_cast<TBaudRate>(row.value));
            break;
        case kSetDataBits:
            what = "SetDataBits(" + DataBitsStr(static_cast<TDataBits>(row.value)) + ")";
            port.SetDataBits(static_cast<TDataBits>(row.value));
            break;
        case kSetParity:
            what = "SetParity(" + ParityStr(static_cast<TParity>(row.value)) + ")";
            port.SetParity(static_cast<TParity>(row.value));
            break;
        case kSetStopBits:
            what = "SetStopBits(" + StopBitsStr(static_cast<TStopBits>(row.value)) + ")";
            port.SetStopBits(static_cast<TStopBits>(row.value));
            break;
        }
        const std::string refusal = std::string(kRoutine[row.setter]) + "/SetCommState/87";
        Check("settings " + std::to_string(i + 1) + " " + what +
                  (row.taken ? " on the open adapter: taken, read back"
                             : " on the open adapter: reported refused, nothing changes"),
              [&] {
                  std::string reports;
                  for (const std::string& r : m_reports)
                      reports += " " + r;
                  if (current() != (row.taken ? row.value : before))
                      return "property holds " + std::to_string(current()) + ";" + reports;
                  if (row.taken ? !m_reports.empty()
                                : m_reports.size() != 1 || m_reports[0] != refusal)
                      return "reports:" + (reports.empty() ? std::string(" none") : reports);
                  DCB d{};
                  if (!GetCommState(port.GetHandle(), &d))
                      return std::string("GetCommState failed");
                  if (d.BaudRate != static_cast<DWORD>(BaudRateValue(port.BaudRate())) ||
                      d.ByteSize != 5 + port.DataBits() || d.Parity != port.Parity() ||
                      d.StopBits != port.StopBits())
                      return "GetCommState reads " + std::to_string(d.BaudRate) + " " +
                             std::to_string(d.ByteSize) + "/" + std::to_string(d.Parity) + "/" +
                             std::to_string(d.StopBits);
                  return std::string();
              });
    }
    m_control.Ask("mark walk end");
    Pump(500); // open and idle: what the adapter is asked meanwhile shows in the trace
    m_control.Ask("mark idle end");
    port.Close();
}

int TGuest::Exchange(QORLNK::TLNKCOMPort& port, const std::function<bool(int)>& stop) {
    int back = 0;
    bool inFlight = false;
    QElapsedTimer t;
    t.start();
    while (!stop(back) && t.elapsed() < pmvtest::Scaled(kDeadlineMs)) {
        if (!inFlight && port.GetOpened()) {
            std::snprintf(m_frame, sizeof m_frame, "QXF%04d\r", back % 10000);
            m_rx.clear();
            inFlight = port.TxData(m_frame, static_cast<int>(std::strlen(m_frame)));
        }
        if (inFlight && m_rx.size() >= std::strlen(m_frame)) {
            if (m_rx.compare(0, std::strlen(m_frame), m_frame) != 0)
                return back; // a garbled echo ends the exchange: not "back"
            ++back;
            inFlight = false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return back;
}

double TGuest::LostAfterUnplugMs() {
    double unplugged = -1;
    for (const TKernelLog::TRecord& r : m_log.Read()) {
        const bool unplug =
            r.text.find("USB disconnect") != std::string::npos || r.text == "usb-guest: unplug";
        if (unplug && unplugged < 0)
            unplugged = r.ms;
        if (r.text == "usb-guest: device lost" && unplugged >= 0)
            return r.ms - unplugged;
    }
    return -1;
}

std::string TGuest::Settled(QORLNK::TLNKCOMPort& port, const TScenario& s) {
    DCB d{};
    if (!GetCommState(port.GetHandle(), &d))
        return "GetCommState failed";
    const std::string got = std::to_string(d.BaudRate) + " " + std::to_string(d.ByteSize) + "/" +
                            std::to_string(d.Parity) + "/" + std::to_string(d.StopBits);
    const std::string want = std::to_string(BaudRateValue(s.baud)) + " " +
                             std::to_string(5 + s.bits) + "/" + std::to_string(s.parity) + "/" +
                             std::to_string(s.stop);
    return got == want ? std::string() : "GetCommState reads " + got + ", not " + want;
}

void TGuest::CheckLostAndBack(const TScenario& s) {
    const std::string name = s.name + " COM" + std::to_string(s.com) + ": ";
    std::string error;
    if (!pmv::platform::SetDeviceMapOverride(s.com, s.byId, &error))
        return Check(false, name + "map line", error);
    QORLNK::TLNKCOMPort port;
    TWatchView view;
    TPortWatch watch(port, view);
    int lost = 0;
    double closeMs = 0;
    const QORLNK::TLNKNotifyEvent watchLost = port.OnDeviceLost;
    port.OnDeviceLost = [&](QORLNK::TLNKCOMPort* sender) {
        m_log.Note("device lost");
        ++lost;
        QElapsedTimer t;
        t.start();
        watchLost(sender); // the watch closes the port
        closeMs = static_cast<double>(t.nsecsElapsed()) / 1e6;
    };
    port.OnRxChar = [this](QORLNK::TLNKCOMRxThread*, char c) { m_rx.push_back(c); };
    port.SetPort1(s.com);
    port.SetBaudRate(s.baud);
    port.SetDataBits(s.bits);
    port.SetParity(s.parity);
    port.SetStopBits(s.stop);
    const std::string settings = BaudRateStr(s.baud) + " " + DataBitsStr(s.bits) + " " +
                                 ParityStr(s.parity) + " " + StopBitsStr(s.stop);
    const std::string opened = pmv::OpenComPort(port);
    const std::string node = watch.OpenedDevice().node;
    Check(opened.empty() && watch.OpenedDevice().byId == s.byId,
          name + "opens by its by-id name at " + settings, opened.empty() ? node : opened);
    if (!opened.empty())
        return;
    Check(Exchange(port, [](int back) { return back >= 20; }) >= 20,
          name + "20 frames there and back");
    const int held = s.holdOldNode ? ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;

    // Lost: unplugged while frames go both ways. The unplug is timed from
    // the kernel log's records from here on: an earlier disconnect (of an
    // adapter whose steps failed) is not this one.
    (void)m_log.Read();
    std::string unplugged = "not unplugged";
    const int moreFrames = Exchange(port, [&](int back) {
        if (back == 10 && unplugged == "not unplugged")
            unplugged = Unplug(s);
        return lost > 0;
    });
    if (unplugged.empty() && s.adapter != nullptr)
        unplugged = m_control.Answer();
    Pump(500); // a second event would show now
    const double ms = LostAfterUnplugMs();
    if (ms >= 0)
        m_lostMs.push_back(ms);
    Check(unplugged.empty() && lost == 1, name + "unplugged mid-transfer: OnDeviceLost raised once",
          unplugged.empty() ? std::to_string(lost) + " events after " + std::to_string(moreFrames) +
                                  " more frames"
                            : unplugged);
    Check(ms >= 0 && ms <= kLostGoalMs,
          name + "OnDeviceLost within " + Ms(kLostGoalMs) + " of the unplug (guest clock)",
          ms < 0 ? "unplug or event not in the kernel log" : Ms(ms));
    Check(name + "the port is closed (the watch closed it at once), nothing hangs", [&] {
        if (port.GetOpened())
            return std::string("still open");
        if (port.TxData("QX\r", 3))
            return std::string("TxData taken");
        if (closeMs > 5000)
            return "closing took " + Ms(closeMs);
        if (!view.Has(": device lost") || !watch.Waiting())
            return std::string("no \"device lost\" line, or the watch does not wait");
        return std::string();
    });

    if (s.otherAdapter) {
        const std::string other = FtdiById(kAdapters[1].serial);
        const std::string plugged = m_control.Ask(std::string("plug ") + kAdapters[1].id);
        const bool seen = plugged.empty() && WaitUntil([&] { return Exists(other); }, kDeviceMs);
        Pump(2 * TPortWatch::kPollMs + 200);
        Check(name + "another adapter (" + kAdapters[1].serial +
                  ") plugged in meanwhile is not taken for the lost one",
              [&] {
                  if (!seen)
                      return "it did not appear: " + plugged;
                  char real[PATH_MAX];
                  if (::realpath(other.c_str(), real) == nullptr || HoldsNode(real))
                      return std::string("its node is held here");
                  return port.GetOpened() || !watch.Waiting() ? std::string("the port opened")
                                                              : std::string();
              });
    }

    // Back: the same device by its by-id name, on whatever node it gets now.
    const std::string replugged = Replug(s);
    const bool back = replugged.empty() &&
                      WaitUntil([&] { return view.Has("device back, reopened"); }, kDeviceMs);
    const std::string nodeNow = pmv::platform::ReadComPortIdentity(s.com).node;
    Check(back && port.GetOpened(), name + "plugged in again: reopened by its by-id name",
          replugged.empty() ? "no \"device back, reopened\" line" : replugged);
    if (s.holdOldNode)
        Check(back && nodeNow != node,
              name + "the old node " + node + " still held, it came back as " + nodeNow,
              "came back as " + nodeNow);
    if (back) {
        Check(name + "same settings after the reopen (" + settings + ")",
              [&] { return Settled(port, s); });
        Check(Exchange(port, [](int n) { return n >= 20; }) >= 20,
              name + "20 frames there and back after the reopen");
    }
    if (held >= 0)
        ::close(held);
    port.Close();
    pmv::platform::RemoveDeviceMapOverride(s.com);
}

std::string TGuest::AwaitAdapter() {
    // The host attaches the adapter when it connects its cable, at a time
    // of its own; then the kernel, ftdi_sio and udev take their turns.
    const std::string byId = FtdiById(kAdapters[0].serial);
    bool usb = false;
    std::string tty;
    if (WaitUntil([&] { return Exists(byId); }, kDeviceMs))
        return {};
    tty = AdapterTty(kAdapters[0].serial, usb);
    if (tty.empty())
        return usb ? "the kernel has the USB device but ftdi_sio made no ttyUSB for it"
                   : std::string("the kernel never enumerated the adapter (no USB device with "
                                 "serial ") +
                         kAdapters[0].serial + ")";
    // The tty is there but udev made no link (it missed the event): replay
    // the event, and say so.
    const std::string replay = "udevadm trigger --action=add --settle /sys/class/tty/" + tty;
    const bool replayed = std::system(replay.c_str()) == 0 && Exists(byId);
    std::printf("guest: /dev/%s came but udev made no link for it; replayed its event: %s\n",
                tty.c_str(), replayed ? "link made" : "still no link");
    return replayed ? std::string()
                    : "udev made no link for /dev/" + tty + ", nor for its replayed event";
}

// ---------------------------------------------------------------------------
// The CDC-ACM gadget

std::string TGuest::MakeGadget() {
    const std::string g = kGadget;
    for (const char* dir : {"", "/strings/0x409", "/configs/c.1", "/functions/acm.usb0"})
        if (::mkdir((g + dir).c_str(), 0755) != 0 && errno != EEXIST)
            return "mkdir " + g + dir + ": " + std::strerror(errno);
    const bool ok =
        WriteText(g + "/idVendor", "0x1d6b") && WriteText(g + "/idProduct", "0x0104") &&
        WriteText(g + "/strings/0x409/manufacturer", "PMV") &&
        WriteText(g + "/strings/0x409/product", "Bench Gadget") &&
        WriteText(g + "/strings/0x409/serialnumber", kGadgetSerial) &&
        ::symlink((g + "/functions/acm.usb0").c_str(), (g + "/configs/c.1/acm.usb0").c_str()) == 0;
    return ok ? std::string() : std::string("gadget attributes not written");
}

std::string TGuest::Unplug(const TScenario& s) {
    if (s.adapter != nullptr) {
        m_control.Send(std::string("unplug ") + s.adapter);
        return {};
    }
    m_log.Note("unplug");
    return WriteText(std::string(kGadget) + "/UDC", "\n") ? std::string() : "UDC not written";
}

std::string TGuest::Replug(const TScenario& s) {
    if (s.adapter != nullptr)
        return m_control.Ask(std::string("plug ") + s.adapter);
    return WriteText(std::string(kGadget) + "/UDC", kUdc) ? std::string() : "UDC not written";
}

/// The far end of the gadget: echoes what the host sends, reopening the
/// gadget's tty whenever it goes away with the unplug.
void TGuest::FarEnd() {
    while (m_farEndRun) {
        const int fd = ::open(kGadgetFarEnd, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
        while (m_farEndRun) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            char buf[256];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EAGAIN)
                continue;
            if (n <= 0 || ::write(fd, buf, static_cast<std::size_t>(n)) != n)
                break;
        }
        ::close(fd);
    }
}

int TGuest::Run() {
    Check(m_control.Open(), "guest: the control channel to the host opens");
    Check("guest: udev made the adapter's by-id link", [this] { return AwaitAdapter(); });
    CheckIdentity(5, "/dev/ttyUSB0", FtdiById(kAdapters[0].serial),
                  "QEMU USB SERIAL (0403:6001, serial FT0001)");
    CheckSettings();

    CheckLostAndBack({"FTDI", 7, FtdiById(kAdapters[0].serial), br19200, db7, paOdd, sb2,
                      kAdapters[0].id, true, true});

    const std::string gadget = MakeGadget();
    Check(gadget.empty() && WriteText(std::string(kGadget) + "/UDC", kUdc) &&
              WaitUntil([] { return Exists(kGadgetById); }, kDeviceMs),
          "gadget: CDC-ACM gadget on dummy_hcd, bound by cdc_acm, by-id link made",
          gadget.empty() ? "no by-id link " + std::string(kGadgetById) : gadget);
    CheckIdentity(13, "/dev/ttyACM0", kGadgetById, "PMV Bench Gadget (1d6b:0104, serial ACM0001)");
    std::thread farEnd([this] { FarEnd(); });
    CheckLostAndBack({"CDC-ACM", 8, kGadgetById, br57600, db8, paEven, sb1, nullptr, false, false});
    m_farEndRun = false;
    farEnd.join();

    std::vector<double> ms = m_lostMs;
    std::sort(ms.begin(), ms.end());
    if (!ms.empty())
        std::printf("guest: unplug to device lost (guest clock): median %s, max %s, %zu unplugs\n",
                    Ms((ms[(ms.size() - 1) / 2] + ms[ms.size() / 2]) / 2).c_str(),
                    Ms(ms.back()).c_str(), ms.size());
    m_control.Ask("end");
    std::printf("guest: %d passed, %d failed\n", m_passed, m_failed);
    std::fflush(stdout);
    return m_failed;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        std::fprintf(stderr, "usage: usb-guest\n"
                             "Runs the USB serial checks in the test machine.\n");
        return 2;
    }
    ::setenv("PMV_COMMAP", "/tmp/commap", 1);
    QCoreApplication app(argc, argv);
    TGuest guest;
    return guest.Run() == 0 ? 0 : 1;
}
