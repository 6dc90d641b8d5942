// Test support for the serial component: real pseudo-terminals mapped to COM
// numbers through the device-map override file, a report recorder, and the
// waits of tests/support/Wait.h.
#pragma once

#include "comport/Lnkcomport.h"
#include "tests/support/Wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

namespace comporttest {

using pmvtest::RunEventsFor;
using pmvtest::WaitUntil;
using pmvtest::WaitWhileMoving;
using pmvtest::WaitWithoutEvents;

/// The master side of a pseudo-terminal; the slave is what the port opens.
class Pty {
public:
    Pty() {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            return;
        char name[128] = {};
        if (::ptsname_r(m_master, name, sizeof name) != 0)
            return;
        m_slave = name;
        const int flags = ::fcntl(m_master, F_GETFL);
        ::fcntl(m_master, F_SETFL, flags | O_NONBLOCK);
    }
    ~Pty() { CloseMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool Ok() const { return m_master >= 0 && !m_slave.empty(); }
    const std::string& SlavePath() const { return m_slave; }

    /// Writes all bytes to the master (the port receives them).
    bool Write(const std::string& bytes) {
        std::size_t done = 0;
        QElapsedTimer t;
        t.start();
        while (done < bytes.size()) {
            const ssize_t w = ::write(m_master, bytes.data() + done, bytes.size() - done);
            if (w > 0) {
                done += static_cast<std::size_t>(w);
            } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            } else {
                if (t.elapsed() > pmvtest::Scaled(pmvtest::kWaitMs))
                    return false;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
        return true;
    }

    /// One write attempt; whatever does not fit is dropped.
    void WriteSome(const std::string& bytes) {
        (void)!::write(m_master, bytes.data(), bytes.size());
    }

    /// Reads what the port has sent so far (non-blocking) and appends it.
    std::size_t Drain(std::string& into) {
        char buf[65536];
        std::size_t total = 0;
        for (;;) {
            const ssize_t r = ::read(m_master, buf, sizeof buf);
            if (r <= 0)
                break;
            into.append(buf, static_cast<std::size_t>(r));
            total += static_cast<std::size_t>(r);
        }
        return total;
    }

    /// Bytes waiting at the master (sent by the port, not yet read here).
    int Pending() const {
        int n = 0;
        return ::ioctl(m_master, FIONREAD, &n) == 0 ? n : -1;
    }

    /// Makes the device vanish (the port sees a hang-up).
    void CloseMaster() {
        if (m_master >= 0) {
            ::close(m_master);
            m_master = -1;
        }
    }

private:
    int m_master = -1;
    std::string m_slave;
};

/// One report as raised through OnReport.
struct Rep {
    QORLNK::TReportType type;
    std::string func;
    std::string desc;
    std::string file;
    int line;
    int err;
};

inline std::string ToString(const Rep& r) {
    return std::string(r.type == QORLNK::rtError ? "E " : "W ") + r.func + " / " + r.desc + " / " +
           r.file + ":" + std::to_string(r.line) + " / " + std::to_string(r.err);
}

/// Collects the reports of a port.
struct ReportLog {
    std::vector<Rep> reps;
    void Attach(QORLNK::TLNKCOMPort& port) {
        port.OnReport = [this](QORLNK::TLNKCOMPort*, QORLNK::TReportType t, const std::string& f,
                               const std::string& d, const std::string& file, int line, int err) {
            reps.push_back({t, f, d, file, line, err});
        };
    }
    /// Reports other than the modem-line reads a pseudo-terminal cannot do.
    std::vector<Rep> WithoutLineReads() const {
        std::vector<Rep> out;
        for (const Rep& r : reps)
            if (r.desc != "GetCommModemStatus")
                out.push_back(r);
        return out;
    }
    std::string Dump() const {
        std::string s;
        for (const Rep& r : reps)
            s += ToString(r) + "\n";
        return s;
    }
    int Count(const std::string& desc) const {
        int n = 0;
        for (const Rep& r : reps)
            n += r.desc == desc ? 1 : 0;
        return n;
    }
};

/// A private device map: PMV_COMMAP names a file in a temporary folder, and
/// the default /dev and /sys trees are replaced by empty folders, so only the
/// ports a test maps are present.
class DeviceMapEnv {
public:
    DeviceMapEnv() {
        m_mapPath = m_dir.path().toStdString() + "/commap";
        m_empty = m_dir.path().toStdString() + "/empty";
        ::mkdir(m_empty.c_str(), 0755);
        ::setenv("PMV_COMMAP", m_mapPath.c_str(), 1);
        ::setenv("PMV_DEV_ROOT", m_empty.c_str(), 1);
        ::setenv("PMV_SYSFS_ROOT", m_empty.c_str(), 1);
        Write();
    }
    ~DeviceMapEnv() {
        ::unsetenv("PMV_COMMAP");
        ::unsetenv("PMV_DEV_ROOT");
        ::unsetenv("PMV_SYSFS_ROOT");
    }
    void Map(int com, const std::string& device) {
        m_entries[com] = device;
        Write();
    }
    void Unmap(int com) {
        m_entries.erase(com);
        Write();
    }
    /// A plain file that exists, for ports that only need to be present.
    std::string FakeDevice(const std::string& name) {
        const std::string path = m_dir.path().toStdString() + "/" + name;
        if (FILE* f = std::fopen(path.c_str(), "w"))
            std::fclose(f);
        return path;
    }

private:
    void Write() {
        const std::string tmp = m_mapPath + ".tmp";
        if (FILE* f = std::fopen(tmp.c_str(), "w")) {
            for (const auto& [com, dev] : m_entries)
                std::fprintf(f, "COM%d=%s\n", com, dev.c_str());
            std::fclose(f);
            std::rename(tmp.c_str(), m_mapPath.c_str());
        }
    }
    QTemporaryDir m_dir;
    std::string m_mapPath;
    std::string m_empty;
    std::map<int, std::string> m_entries;
};

} // namespace comporttest
