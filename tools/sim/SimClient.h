// Driving qxm-sim from tests and benchmarks: start the real program with its
// own device map file, wait until it has published its port, and talk to the
// published pseudo-terminal with plain POSIX calls.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qxmsim {

class TSimProcess {
public:
    TSimProcess() = default;
    TSimProcess(const TSimProcess&) = delete;
    TSimProcess& operator=(const TSimProcess&) = delete;
    ~TSimProcess(); // SIGTERM and reap, if still running

    // Starts `program` with `args` and PMV_COMMAP=mapFile, then waits (up to
    // `wait`) until it has published COM<com> beside the map file. False
    // with a message in Error() when it did not come up.
    bool Start(const std::string& program, const std::string& mapFile, int com,
               const std::vector<std::string>& args,
               std::chrono::milliseconds wait = std::chrono::seconds(10));

    // SIGTERM, then wait for the exit; the exit status, or -1 on a signal
    // death or when it did not end within `wait`.
    int Stop(std::chrono::milliseconds wait = std::chrono::seconds(10));
    // Waits for an exit the program makes by itself (--exit-after).
    int Wait(std::chrono::milliseconds wait = std::chrono::seconds(10));

    const std::string& Device() const { return m_device; }
    const std::string& Error() const { return m_error; }
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    std::string m_device;
    std::string m_error;
};

// The device a running program publishes as COM<com> beside a map file, or
// empty.
std::string PublishedDevice(const std::string& mapFile, int com);

// A raw, non-blocking descriptor on a serial device.
class TPtyClient {
public:
    TPtyClient() = default;
    TPtyClient(const TPtyClient&) = delete;
    TPtyClient& operator=(const TPtyClient&) = delete;
    ~TPtyClient() { Close(); }

    bool Open(const std::string& device);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }

    // Writes all bytes (waiting while the queue is full).
    bool Write(const std::string& bytes);
    // Reads until the collected bytes end with `terminator` (after at least
    // `min` bytes) or `wait` has passed; returns what was read.
    std::string ReadUntil(char terminator, std::chrono::milliseconds wait, std::size_t min = 1);
    // Reads whatever arrives within `wait`.
    std::string ReadFor(std::chrono::milliseconds wait);

private:
    int m_fd = -1;
};

} // namespace qxmsim
