// The device boundary's costs with many processes on the machine: the
// holder check CreateFileA makes (one look through /proc), the identity of
// all 32 COM numbers, both together as the settings dialog and pmv-ports
// need them, an Open + Close on a pty, and pmv-ports from start to exit.
// The argument is the number of extra sleeping processes (0 or 300); the
// fake tree holds eight USB adapters with by-id links, and eight ptys are
// mapped to COM25-32.
#include "BenchSupport.h"
#include "platform/PortStatus.h"
#include "platform/winapi.h"

#include <array>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace pmv::platform;

constexpr int kExtraProcesses = 300;
constexpr int kAdapters = 8;
constexpr int kPtys = 8;

/// Sleeping children that end with this process, however it ends.
class TSleepers {
public:
    ~TSleepers() { Resize(0); }
    void Resize(int count) {
        while (static_cast<int>(m_pids.size()) > count) {
            ::kill(m_pids.back(), SIGKILL);
            ::waitpid(m_pids.back(), nullptr, 0);
            m_pids.pop_back();
        }
        const pid_t parent = ::getpid();
        const char* sleep = ::access("/usr/bin/sleep", X_OK) == 0 ? "/usr/bin/sleep" : "/bin/sleep";
        while (static_cast<int>(m_pids.size()) < count) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (::getppid() != parent)
                    ::_exit(0);
                ::execl(sleep, "sleep", "3600", static_cast<char*>(nullptr));
                ::_exit(127);
            }
            if (pid < 0)
                throw std::runtime_error("fork failed");
            m_pids.push_back(pid);
        }
    }

private:
    std::vector<pid_t> m_pids;
};

/// A pty whose master this process keeps; the slave is what ports open.
struct TPty {
    TPty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
            ::ptsname_r(master, name, sizeof name) != 0)
            throw std::runtime_error("no pseudo-terminal");
        slave = name;
    }
    ~TPty() { ::close(master); }
    int master = -1;
    std::string slave;
};

/// The fake /dev and sysfs tree and the map, set up once.
struct TWorld {
    TWorld() {
        char tmpl[] = "/tmp/pmv-bench-devices-XXXXXX";
        root = ::mkdtemp(tmpl);
        const std::string dev = root + "/dev", sys = root + "/sys";
        fs::create_directories(dev + "/serial/by-id");
        fs::create_directories(sys + "/bus/usb-serial/drivers/ftdi_sio");
        for (int i = 0; i < kAdapters; ++i) {
            const std::string n = std::to_string(i);
            const std::string usb = sys + "/devices/pci0000:00/0000:00:14.0/usb1/1-" + n;
            const std::string port = usb + "/1-" + n + ":1.0/ttyUSB" + n;
            fs::create_directories(port);
            fs::create_symlink(sys + "/bus/usb-serial/drivers/ftdi_sio", port + "/driver");
            std::ofstream(usb + "/idVendor") << "0403\n";
            std::ofstream(usb + "/idProduct") << "6001\n";
            std::ofstream(usb + "/manufacturer") << "FTDI\n";
            std::ofstream(usb + "/product") << "FT232R USB UART\n";
            std::ofstream(usb + "/serial") << "A1B2C" << i << "\n";
            fs::create_directories(sys + "/class/tty/ttyUSB" + n);
            fs::create_symlink(port, sys + "/class/tty/ttyUSB" + n + "/device");
            std::ofstream(dev + "/ttyUSB" + n).put('\n');
            fs::create_symlink("../../ttyUSB" + n,
                               dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C" +
                                   std::to_string(i) + "-if00-port0");
        }
        ::setenv("PMV_DEV_ROOT", dev.c_str(), 1);
        ::setenv("PMV_SYSFS_ROOT", sys.c_str(), 1);
        ::setenv("PMV_COMMAP", (root + "/commap").c_str(), 1);
        for (int i = 0; i < kPtys; ++i) {
            ptys.push_back(std::make_unique<TPty>());
            SetDeviceMapOverride(25 + i, ptys.back()->slave);
        }
    }
    ~TWorld() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    std::string root;
    std::vector<std::unique_ptr<TPty>> ptys;
};

TWorld& World() {
    static TWorld world;
    return world;
}

TSleepers& Sleepers() {
    static TSleepers sleepers;
    return sleepers;
}

void Prepare(const benchmark::State& state) {
    World();
    Sleepers().Resize(static_cast<int>(state.range(0)));
}

void BM_HolderCheck(benchmark::State& state) {
    Prepare(state);
    const std::string node = World().ptys[0]->slave;
    for (auto _ : state)
        benchmark::DoNotOptimize(FindDeviceHolders(node));
}

void BM_IdentityAllPorts(benchmark::State& state) {
    Prepare(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(ReadComPortIdentities());
}

void BM_StatusAllPorts(benchmark::State& state) {
    Prepare(state);
    std::size_t ok = 0;
    for (auto _ : state)
        for (const ComPortStatus& s : ReadComPortStatuses())
            ok += s.access == ComAccess::Ok ? 1 : 0;
    state.counters["ok"] = static_cast<double>(ok) / static_cast<double>(state.iterations());
}

void BM_OpenClose(benchmark::State& state) {
    Prepare(state);
    for (auto _ : state) {
        HANDLE h = CreateFileA("\\\\.\\COM25", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            state.SkipWithError("CreateFileA failed");
            break;
        }
        CloseHandle(h);
    }
}

void BM_PortsCommand(benchmark::State& state) {
    Prepare(state);
    std::array<char*, 3> argv{const_cast<char*>(PMV_PORTS_PATH), const_cast<char*>("--json"),
                              nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    for (auto _ : state) {
        pid_t pid = -1;
        if (::posix_spawn(&pid, PMV_PORTS_PATH, &actions, nullptr, argv.data(), environ) != 0) {
            state.SkipWithError("posix_spawn failed");
            break;
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
}

// Real time is the figure; the CPU column is the whole process's (the scan
// may use helper threads).
#define PMV_DEVICES_BENCH(fn)                                                                      \
    BENCHMARK(fn)                                                                                  \
        ->Arg(0)                                                                                   \
        ->Arg(kExtraProcesses)                                                                     \
        ->Unit(benchmark::kMillisecond)                                                            \
        ->MeasureProcessCPUTime()                                                                  \
        ->UseRealTime()
PMV_DEVICES_BENCH(BM_HolderCheck);
PMV_DEVICES_BENCH(BM_IdentityAllPorts);
PMV_DEVICES_BENCH(BM_StatusAllPorts);
PMV_DEVICES_BENCH(BM_OpenClose);
PMV_DEVICES_BENCH(BM_PortsCommand);

} // namespace

int main(int argc, char** argv) {
    const int rc = pmvbench::RunBenchmarks(argc, argv);
    Sleepers().Resize(0);
    return rc;
}
