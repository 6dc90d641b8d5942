// Shared helpers of the platform tests: pseudo-terminal pairs published as
// COM numbers through a private device map file, temporary folders, and
// the waits of tests/support/Wait.h.
#pragma once

#include "platform/DeviceMap.h"
#include "platform/winapi.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace pmvtest {

constexpr DWORD kSentinel = 0xdeadbeef;
// The timeout of a platform wait (WaitForSingleObject, poll) for something
// that should happen soon, under the deadline rule of tests/support/Wait.h.
inline const DWORD kLongWaitMs = static_cast<DWORD>(Scaled(kWaitMs));

/// A temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "pmv-platform-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

/// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name) {
        if (const char* old = std::getenv(name)) {
            m_hadOld = true;
            m_old = old;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (m_hadOld)
            ::setenv(m_name, m_old.c_str(), 1);
        else
            ::unsetenv(m_name);
    }

private:
    const char* m_name;
    bool m_hadOld = false;
    std::string m_old;
};

/// A pseudo-terminal pair. The test plays the device's far end on the
/// master; the slave is what the port opens.
class Pty {
public:
    Pty() {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            throw std::runtime_error("no pseudo-terminal");
        char name[128];
        if (::ptsname_r(m_master, name, sizeof name) != 0)
            throw std::runtime_error("ptsname_r failed");
        m_slave = name;
        termios t{};
        ::tcgetattr(m_master, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(m_master, TCSANOW, &t);
    }
    ~Pty() { CloseMaster(); }
    int Master() const { return m_master; }
    const std::string& Slave() const { return m_slave; }
    void CloseMaster() {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }
    void Write(const std::string& bytes) const {
        ASSERT_EQ(::write(m_master, bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
    /// Reads exactly n bytes from the master, or fewer after timeoutMs.
    std::string Read(std::size_t n, int timeoutMs = kLongWaitMs) const {
        std::string out;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{m_master, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char buf[4096];
            const ssize_t r = ::read(m_master, buf, std::min(sizeof buf, n - out.size()));
            if (r <= 0)
                break;
            out.append(buf, static_cast<std::size_t>(r));
        }
        return out;
    }

private:
    int m_master = -1;
    std::string m_slave;
};

/// Fixture: a private device map file (PMV_COMMAP) in a temporary folder.
class ComMapTest : public ::testing::Test {
protected:
    ComMapTest() : m_mapEnv("PMV_COMMAP", m_dir.Path() + "/commap") {}
    /// Publishes a device path as COMn.
    void Publish(int n, const std::string& device) {
        std::string error;
        ASSERT_TRUE(pmv::platform::SetDeviceMapOverride(n, device, &error)) << error;
    }
    /// Publishes the pty as COMn and opens it.
    HANDLE OpenPty(const Pty& pty, int n, DWORD flags = FILE_FLAG_OVERLAPPED) {
        Publish(n, pty.Slave());
        const std::string name = "\\\\.\\COM" + std::to_string(n);
        return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | flags, nullptr);
    }
    const std::string& Dir() const { return m_dir.Path(); }

private:
    TempDir m_dir;
    ScopedEnv m_mapEnv;
};

/// Fixture: a pty published as COM25 and opened overlapped in SetUp; the
/// handle is closed in TearDown unless the test closed it and reset h.
class OpenPortTest : public ComMapTest {
protected:
    void SetUp() override {
        h = OpenPty(pty, 25);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override {
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(h));
        }
    }
    Pty pty;
    HANDLE h = INVALID_HANDLE_VALUE;
};

/// An OVERLAPPED with its own manual-reset event, closed at the end.
struct OverlappedRecord {
    OverlappedRecord() {
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        EXPECT_NE(ov.hEvent, nullptr);
    }
    ~OverlappedRecord() { CloseHandle(ov.hEvent); }
    OVERLAPPED ov{};
};

/// One row of an argument-check table: a call that must fail with error.
struct FailingCall {
    const char* name;
    std::function<BOOL()> call;
    DWORD error;
};

/// Each call fails and leaves its row's error as the last error.
template <class Rows> void ExpectEachFails(const Rows& rows) {
    for (const FailingCall& row : rows) {
        SCOPED_TRACE(row.name);
        SetLastError(kSentinel);
        EXPECT_FALSE(row.call());
        EXPECT_EQ(GetLastError(), row.error);
    }
}

} // namespace pmvtest
