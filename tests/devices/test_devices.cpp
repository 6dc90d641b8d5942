// The device boundary with real pseudo-terminals and real processes: a port
// another program holds (with or without the lock), one this user may not
// open, a publisher killed with SIGKILL, identity read from a fake sysfs
// tree, and pmv-ports on that tree.
//
// How a real USB adapter maps onto this: unplugging it removes its node and
// sysfs entry (the fake tree's missing files); a program that keeps its
// node open is the child holding the pty; a qxm-sim killed with SIGKILL is
// a publisher whose lock the kernel dropped.
#include "../platform/PlatformTestSupport.h"
#include "platform/PortStatus.h"
#include "tools/sim/SimClient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>
#include <fstream>
#include <functional>
#include <grp.h>
#include <memory>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

using namespace pmvtest;
using namespace pmv::platform;
namespace fs = std::filesystem;

namespace {

/// A child process with pipes to its standard input and output, ended
/// (SIGKILL) and reaped with the object unless it was waited for.
class TChild {
public:
    /// Starts argv[0] with argv; its standard input is stdinPath when given
    /// (opened by the child, a plain open), else a pipe. uid: the user the
    /// child drops to before exec (when not 0; needs root).
    TChild(const std::vector<std::string>& argv, const std::string& stdinPath = {}, uid_t uid = 0) {
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        m_pid = ::fork();
        if (m_pid == 0) { // only async-signal-safe calls from here on
            int input = in[0];
            if (!stdinPath.empty())
                input = ::open(stdinPath.c_str(), O_RDWR | O_NOCTTY);
            if (input < 0 || ::dup2(input, 0) < 0 || ::dup2(out[1], 1) < 0)
                ::_exit(126);
            if (uid != 0 &&
                (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0))
                ::_exit(125);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        m_in = in[1];
        m_out = out[0];
    }
    ~TChild() {
        CloseInput();
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0)
            ::close(m_out);
    }
    pid_t Pid() const { return m_pid; }
    void CloseInput() {
        if (m_in >= 0)
            ::close(m_in);
        m_in = -1;
    }
    /// Its output up to the first line end (without it), or up to its end.
    std::string ReadLine() {
        std::string line;
        char c;
        pollfd p{m_out, POLLIN, 0};
        while (::poll(&p, 1, kLongWaitMs) > 0 && ::read(m_out, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    /// Waits for the exit: the exit code, or -1 (signal, or not within the wait).
    int Wait() {
        int status = 0;
        if (!WaitUntil([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }))
            return -1;
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
};

std::string SleepProgram() {
    return ::access("/usr/bin/sleep", X_OK) == 0 ? "/usr/bin/sleep" : "/bin/sleep";
}

/// The exclusive flag of a tty, read through a plain open (root passes it).
int ExclusiveFlag(const std::string& node) {
    const int fd = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    int flag = -1;
    if (::ioctl(fd, TIOCGEXCL, &flag) != 0)
        flag = -1;
    ::close(fd);
    return flag;
}

HANDLE OpenCom(int n) {
    const std::string name = "\\\\.\\COM" + std::to_string(n);
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

using DevicesTest = ComMapTest;

// ------------------------------------------------------------------ holders

TEST_F(DevicesTest, PlainOpenByAnotherProcessMakesThePortBusy) {
    Pty pty;
    Publish(25, pty.Slave());
    TChild sleeper({SleepProgram(), "60"}, pty.Slave()); // takes no lock
    ASSERT_TRUE(WaitUntil([&] { return !FindDeviceHolders(pty.Slave()).empty(); }));
    const std::vector<DeviceHolder> holders = FindDeviceHolders(pty.Slave());
    ASSERT_EQ(holders.size(), 1u);
    EXPECT_EQ(holders[0].pid, sleeper.Pid());
    EXPECT_EQ(holders[0].name, "sleep");

    SetLastError(kSentinel);
    EXPECT_EQ(OpenCom(25), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    const std::string held = "in use by sleep (pid " + std::to_string(sleeper.Pid()) + ")";
    EXPECT_EQ(ExplainComError(25, ERROR_ACCESS_DENIED), "COM25 (" + pty.Slave() + "): " + held);
    const ComPortStatus status = ReadComPortStatus(25);
    EXPECT_EQ(status.access, ComAccess::Busy);
    EXPECT_EQ(status.reason, held);

    ::kill(sleeper.Pid(), SIGKILL);
    EXPECT_EQ(sleeper.Wait(), -1);
    HANDLE h = OpenCom(25);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(CloseHandle(h));
}

// A pty of another devpts instance (a container's) with the same index has
// the same device number as ours; its holder does not hold our port.
TEST_F(DevicesTest, SameIndexInAnotherPtyInstanceIsNoHolder) {
    Pty pty;
    const int index = std::stoi(pty.Slave().substr(pty.Slave().rfind('/') + 1));
    const std::string dir = Dir() + "/pts";
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        // Only system calls: the test process may have threads. None of its
        // descriptors but the report pipe (our pty's master would make the
        // child its far end).
        const unsigned keep = static_cast<unsigned>(report[1]);
        ::syscall(SYS_close_range, 3u, keep - 1, 0u);
        ::syscall(SYS_close_range, keep + 1, ~0u, 0u);
        char verdict = 's';
        if (::unshare(CLONE_NEWNS) == 0 &&
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            ::mount("devpts", dir.c_str(), "devpts", 0, "newinstance,ptmxmode=0666") == 0) {
            const std::string ptmx = dir + "/ptmx";
            int n = -1;
            int master = -1;
            for (int i = 0; i <= index; ++i) { // the new instance counts from 0
                master = ::open(ptmx.c_str(), O_RDWR | O_NOCTTY);
                int unlock = 0;
                if (master < 0 || ::ioctl(master, TIOCSPTLCK, &unlock) != 0 ||
                    ::ioctl(master, TIOCGPTN, &n) != 0)
                    ::_exit(1);
            }
            const std::string slave = dir + "/" + std::to_string(index);
            verdict = n == index && ::open(slave.c_str(), O_RDWR | O_NOCTTY) >= 0 ? 'h' : 'f';
            ::close(master); // a holder, not the far end
        }
        (void)!::write(report[1], &verdict, 1);
        ::pause();
        ::_exit(0);
    }
    ::close(report[1]);
    char verdict = 0;
    const bool reported = ::read(report[0], &verdict, 1) == 1;
    ::close(report[0]);
    if (!reported || verdict != 'h') {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        if (verdict == 's')
            GTEST_SKIP() << "no devpts instance of our own here (needs root)";
        FAIL() << "the child could not hold pty " << index << " of its instance";
    }
    EXPECT_TRUE(FindDeviceHolders(pty.Slave()).empty());
    Publish(25, pty.Slave());
    HANDLE h = OpenCom(25);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    if (h != INVALID_HANDLE_VALUE) {
        EXPECT_TRUE(CloseHandle(h));
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

TEST_F(DevicesTest, RefusedOpenerLeavesTheHoldersExclusiveFlag) {
    Pty pty;
    Publish(26, pty.Slave());
    TChild holder({DEVICE_PROBE_PATH, "hold", "26"});
    ASSERT_EQ(holder.ReadLine(), "held");

    SetLastError(kSentinel);
    EXPECT_EQ(OpenCom(26), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ExplainComError(26, ERROR_ACCESS_DENIED), "COM26 (" + pty.Slave() +
                                                            "): in use by device-probe (pid " +
                                                            std::to_string(holder.Pid()) + ")");
    if (::geteuid() == 0) // root opens past TIOCEXCL and can read the flag
        EXPECT_EQ(ExclusiveFlag(pty.Slave()), 1);
    else // everybody else is still kept out by it
        EXPECT_EQ(ExclusiveFlag(pty.Slave()), -1);

    holder.CloseInput(); // the holder closes its handle and ends
    EXPECT_EQ(holder.Wait(), 0);
    EXPECT_EQ(ExclusiveFlag(pty.Slave()), 0); // cleared by the handle that set it
    HANDLE h = OpenCom(26);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(CloseHandle(h));
}

// --------------------------------------------------------------- permission

TEST_F(DevicesTest, UnprivilegedUserIsToldWhichGroupToJoin) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to drop to another user";
    const group* dialout = ::getgrnam("dialout");
    if (dialout == nullptr)
        GTEST_SKIP() << "no dialout group";
    constexpr uid_t kNobody = 65534;
    Pty pty;
    ASSERT_EQ(::chown(pty.Slave().c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(::chmod(pty.Slave().c_str(), 0660), 0);
    Publish(27, pty.Slave());
    ASSERT_EQ(::chmod(Dir().c_str(), 0755), 0); // the other user reads the map
    ASSERT_EQ(::chmod((Dir() + "/commap").c_str(), 0644), 0);
    // The other user runs copies beside the map: the build tree may lie below
    // a folder only its owner may enter (a clone in root's home or in mktemp -d).
    const std::string probe = Dir() + "/device-probe", portsProgram = Dir() + "/pmv-ports";
    ASSERT_TRUE(fs::copy_file(DEVICE_PROBE_PATH, probe));
    ASSERT_TRUE(fs::copy_file(PMV_PORTS_PATH, portsProgram));

    TChild opener({probe, "open", "27"}, {}, kNobody);
    EXPECT_EQ(opener.ReadLine(), std::to_string(ERROR_ACCESS_DENIED));
    EXPECT_EQ(opener.ReadLine(), "COM27 (" + pty.Slave() +
                                     "): permission denied; join group dialout: sudo adduser "
                                     "$USER dialout, then log in again");
    EXPECT_EQ(opener.Wait(), 1);

    TChild ports({portsProgram, "--json", "27"}, {}, kNobody);
    const std::string json = ports.ReadLine();
    EXPECT_NE(json.find("\"access\":\"permission\""), std::string::npos) << json;
    EXPECT_EQ(ports.Wait(), 1);
}

// ------------------------------------------------------------- publication

class PublicationTest : public ComMapTest {
protected:
    std::string Map() const { return Dir() + "/commap"; }
    qxmsim::TSimProcess sim;
};

TEST_F(PublicationTest, KilledPublisherLeavesNoPortEvenWhenItsNumberIsReused) {
    ASSERT_TRUE(sim.Start(QXM_SIM_PATH, Map(), 25, {})) << sim.Error();
    const std::string device = sim.Device();
    const pid_t pid = sim.Pid();
    ComPortIdentity id = ReadComPortIdentity(25);
    EXPECT_TRUE(id.present);
    EXPECT_TRUE(id.isPty);
    EXPECT_EQ(id.publisherPid, pid);
    EXPECT_EQ(id.publisherName, "qxm-sim");
    // The simulator holds both ends of its pty: it provides the port.
    EXPECT_EQ(ReadComPortStatus(25).access, ComAccess::Ok);
    HANDLE h = OpenCom(25);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(CloseHandle(h));

    ::kill(pid, SIGKILL);
    EXPECT_EQ(sim.Wait(), -1);
    EXPECT_EQ(qxmsim::PublishedDevice(Map(), 25), ""); // its file is left behind, unlocked
    // New pseudo-terminals take the lowest free number, so one soon gets the
    // simulator's (unless another program's terminal took it first).
    std::vector<std::unique_ptr<Pty>> terminals;
    while (::access(device.c_str(), F_OK) != 0 && terminals.size() < 64)
        terminals.push_back(std::make_unique<Pty>());
    ASSERT_EQ(::access(device.c_str(), F_OK), 0) << device;

    EXPECT_EQ(ResolveComPort(25), "");
    id = ReadComPortIdentity(25);
    EXPECT_FALSE(id.present);
    EXPECT_TRUE(id.publisherEnded);
    const std::string ended =
        "published by qxm-sim (pid " + std::to_string(pid) + "), which has ended";
    EXPECT_EQ(id.absence, ended);
    SetLastError(kSentinel);
    EXPECT_EQ(OpenCom(25), INVALID_HANDLE_VALUE); // no frame reaches that terminal
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ExplainComError(25, ERROR_FILE_NOT_FOUND), "COM25: not present (" + ended + ")");

    // An operator line naming the same device counts again.
    Publish(25, device);
    EXPECT_EQ(ResolveComPort(25), device);
    EXPECT_EQ(ReadComPortIdentity(25).publisherPid, 0);
}

TEST_F(PublicationTest, RunningPublisherKeepsItsNumberAndWithdrawsCleanly) {
    ASSERT_TRUE(sim.Start(QXM_SIM_PATH, Map(), 25, {})) << sim.Error();
    TComPublication mine;
    std::string error;
    EXPECT_FALSE(mine.Publish(25, "/dev/null", &error));
    EXPECT_EQ(error, "COM25 is published by qxm-sim (pid " + std::to_string(sim.Pid()) + ")");
    EXPECT_EQ(sim.Stop(), 0); // SIGTERM: the simulator withdraws
    EXPECT_EQ(qxmsim::PublishedDevice(Map(), 25), "");
    ASSERT_TRUE(mine.Publish(25, "/dev/null", &error)) << error;
    EXPECT_EQ(ReadComPortIdentity(25).publisherPid, ::getpid());
    ASSERT_TRUE(mine.Withdraw(&error)) << error;
    EXPECT_EQ(ResolveComPort(25), "");
    for (const auto& entry : fs::directory_iterator(Dir())) // no line, no .pub file left
        EXPECT_EQ(entry.path().extension(), entry.path().filename() == "commap" ? "" : ".lock")
            << entry.path();
}

std::string FileText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A publication stands in for the operator's own line only while its
// publisher runs; the map file is never touched.
TEST_F(PublicationTest, OperatorsLineIsKeptAndInForceAgainAfterThePublisher) {
    Pty bench; // the operator's device
    const std::string text = "# the bench\nCOM25=" + bench.Slave() + "\n";
    std::ofstream(Map()) << text;
    ASSERT_TRUE(sim.Start(QXM_SIM_PATH, Map(), 25, {})) << sim.Error();
    ComPortIdentity id = ReadComPortIdentity(25);
    EXPECT_EQ(id.device, sim.Device());
    EXPECT_EQ(id.publisherPid, sim.Pid());
    EXPECT_EQ(id.mapDevice, bench.Slave()); // pmv-ports shows both
    EXPECT_EQ(FileText(Map()), text);

    ::kill(sim.Pid(), SIGKILL);
    EXPECT_EQ(sim.Wait(), -1);
    EXPECT_EQ(FileText(Map()), text);
    id = ReadComPortIdentity(25);
    EXPECT_TRUE(id.present);
    EXPECT_EQ(id.device, bench.Slave());
    EXPECT_EQ(id.publisherPid, 0);
    EXPECT_EQ(ResolveComPort(25), bench.Slave());
}

// ------------------------------------------------------------------- trust

constexpr uid_t kNobody = 65534;

class TrustTest : public ComMapTest {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to act as another user";
    }
    /// A folder of the test's, with mode (a shared one: 01777).
    std::string Folder(const std::string& name, mode_t mode) {
        const std::string dir = Dir() + "/" + name;
        EXPECT_EQ(::mkdir(dir.c_str(), 0700), 0);
        EXPECT_EQ(::chmod(dir.c_str(), mode), 0);
        return dir;
    }
    /// Runs argv as the other user and waits for its end.
    static int AsOtherUser(const std::vector<std::string>& argv) {
        TChild child(argv, {}, kNobody);
        child.CloseInput();
        return child.Wait();
    }
};

// Another user's word is not taken: a map or its folder that someone else
// can write (a shared folder) or owns steers no port anywhere, and says so.
TEST_F(TrustTest, MapThatIsNotTheUsersOwnOpensNothing) {
    ASSERT_EQ(::chmod(Dir().c_str(), 0755), 0); // the other user reaches the shared folder
    Pty theirs;
    const std::string line = "COM25=" + theirs.Slave();
    struct Row {
        const char* name;
        std::function<std::string()> map; // sets the map up, gives its path
        std::string why;
    } rows[] = {
        {"written by another user into a shared folder",
         [&] {
             const std::string map = Folder("shared", 01777) + "/commap";
             EXPECT_EQ(AsOtherUser({"/bin/sh", "-c", "echo " + line + " > " + map}), 0);
             return map;
         },
         "its folder " + Dir() + "/shared is writable by other users (mode 1777)"},
        {"another user's file in a folder of ours",
         [&] {
             const std::string map = Folder("theirs", 0755) + "/commap";
             std::ofstream(map) << line << "\n";
             EXPECT_EQ(::chown(map.c_str(), kNobody, kNobody), 0);
             return map;
         },
         "it belongs to user nobody, not to you"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string map = row.map();
        ScopedEnv env("PMV_COMMAP", map);
        SetLastError(kSentinel);
        EXPECT_EQ(OpenCom(25), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(ExplainComError(25, ERROR_FILE_NOT_FOUND),
                  "COM25: not present (device map " + map + " not used: " + row.why + ")");
        EXPECT_EQ(DeviceMapError(), "device map " + map + " not used: " + row.why);
        EXPECT_TRUE(ReadDeviceMap().empty());
    }
}

// A link planted beside the map in a shared folder does not make the
// user's own simulator write through it.
TEST_F(TrustTest, PlantedLinkBesideTheMapIsNotFollowed) {
    ASSERT_EQ(::chmod(Dir().c_str(), 0755), 0);
    const std::string shared = Folder("shared", 01777);
    const std::string precious = Dir() + "/precious";
    std::ofstream(precious) << "mine\n";
    ASSERT_EQ(AsOtherUser({"/bin/ln", "-s", precious, shared + "/commap.COM25.pub"}), 0);

    TChild simulator({QXM_SIM_PATH, "--com", "25", "--map", shared + "/commap"});
    simulator.CloseInput();
    EXPECT_EQ(simulator.Wait(), 1);
    EXPECT_EQ(FileText(precious), "mine\n");
}

// --------------------------------------------------- a port user killed

// Killed with SIGKILL, a port user cannot clear the exclusive flag it set on
// the simulator's pseudo-terminal; the simulator does, and the same user
// opens the port again at once.
TEST_F(DevicesTest, PortOfAKilledUserOpensAgainForTheSameUser) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to drop to another user (root passes the flag)";
    const std::string dir = Dir() + "/theirs";
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(::chown(dir.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chmod(Dir().c_str(), 0755), 0);
    ScopedEnv env("PMV_COMMAP", dir + "/commap");
    // Copies the other user can run, whatever folder the build tree is in.
    const std::string sim = Dir() + "/qxm-sim", probe = Dir() + "/device-probe";
    ASSERT_TRUE(fs::copy_file(QXM_SIM_PATH, sim));
    ASSERT_TRUE(fs::copy_file(DEVICE_PROBE_PATH, probe));
    TChild simulator({sim, "--com", "25"}, {}, kNobody);
    ASSERT_EQ(simulator.ReadLine().rfind("qxm-sim: published COM25=", 0), 0u);

    auto user = std::make_unique<TChild>(std::vector<std::string>{probe, "hold", "25"},
                                         std::string(), kNobody);
    ASSERT_EQ(user->ReadLine(), "held");
    ::kill(user->Pid(), SIGKILL);
    EXPECT_EQ(user->Wait(), -1);

    TChild again({probe, "open", "25"}, {}, kNobody);
    EXPECT_EQ(again.ReadLine(), "0") << again.ReadLine();
    EXPECT_EQ(again.Wait(), 0);
}

// ------------------------------------------------------ identity from sysfs

class FakeTreeTest : public ComMapTest {
protected:
    FakeTreeTest()
        : m_dev("PMV_DEV_ROOT", Dir() + "/dev"), m_sys("PMV_SYSFS_ROOT", Dir() + "/sys") {
        const std::string usb = "devices/pci0000:00/0000:00:14.0/usb1";
        // An FTDI adapter (usb-serial port device below its interface) ...
        Attrs(usb + "/1-2", {{"idVendor", "0403"},
                             {"idProduct", "6001"},
                             {"manufacturer", "FTDI"},
                             {"product", "FT232R USB UART"},
                             {"serial", "A1B2C3"}});
        Tty("ttyUSB0", usb + "/1-2/1-2:1.0/ttyUSB0", "usb-serial/drivers/ftdi_sio");
        fs::create_directories(Dev() + "/serial/by-id");
        fs::create_symlink("../../ttyUSB0", ById());
        // ... a CDC-ACM board without a serial number ...
        Attrs(usb + "/1-3", {{"idVendor", "2341"}, {"idProduct", "0043"}, {"product", "Uno"}});
        Tty("ttyACM0", usb + "/1-3/1-3:1.0", "usb/drivers/cdc_acm");
        // ... and a UART behind serial core's port and controller devices.
        Tty("ttyS0", "devices/pnp0/00:00/00:00:0/00:00:0.0", "serial-base/drivers/port");
        Driver("devices/pnp0/00:00/00:00:0", "serial-base/drivers/ctrl");
        Driver("devices/pnp0/00:00", "pnp/drivers/serial");
        std::ofstream(Sys() + "/class/tty/ttyS0/type") << "4\n";
        Publish(7, ById()); // the adapter by its stable name
    }
    std::string Dev() const { return Dir() + "/dev"; }
    std::string Sys() const { return Dir() + "/sys"; }
    std::string ById() const {
        return Dev() + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";
    }

private:
    void Attrs(const std::string& dir, std::vector<std::pair<std::string, std::string>> values) {
        fs::create_directories(Sys() + "/" + dir);
        for (const auto& [name, value] : values)
            std::ofstream(Sys() + "/" + dir + "/" + name) << value << '\n';
    }
    void Driver(const std::string& dir, const std::string& driver) {
        fs::create_directories(Sys() + "/bus/" + driver);
        fs::create_directories(Sys() + "/" + dir);
        fs::create_symlink(Sys() + "/bus/" + driver, Sys() + "/" + dir + "/driver");
    }
    void Tty(const std::string& name, const std::string& device, const std::string& driver) {
        Driver(device, driver);
        fs::create_directories(Sys() + "/class/tty/" + name);
        fs::create_symlink(Sys() + "/" + device, Sys() + "/class/tty/" + name + "/device");
        fs::create_directories(Dev());
        std::ofstream(Dev() + "/" + name).put('\n');
    }
    ScopedEnv m_dev, m_sys;
};

TEST_F(FakeTreeTest, IdentityFromSysfs) {
    const std::vector<ComPortIdentity> ids = ReadComPortIdentities();
    ASSERT_EQ(ids.size(), 32u);
    struct Row {
        int com;
        bool present;
        std::string node, byId, driver, description, absence;
    };
    // clang-format off
    const Row rows[] = {
        {1,  true,  Dev() + "/ttyS0",   "",     "serial",    "serial port (driver serial)", ""},
        {5,  false, "",                 "",     "",          "",  "its device is mapped to COM7"},
        {6,  false, "",                 "",     "",          "",  Dev() + "/ttyUSB1 does not exist"},
        {7,  true,  Dev() + "/ttyUSB0", ById(), "ftdi_sio",  "FTDI FT232R USB UART (0403:6001, serial A1B2C3)", ""},
        {13, true,  Dev() + "/ttyACM0", "",     "cdc_acm",   "Uno (2341:0043)", ""},
        {25, false, "",                 "",     "",          "",  "no device is mapped to this number"},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(r.com);
        const ComPortIdentity& id = ids[static_cast<std::size_t>(r.com - 1)];
        EXPECT_EQ(id.comNumber, r.com);
        EXPECT_EQ(id.present, r.present);
        EXPECT_EQ(id.node, r.node);
        EXPECT_EQ(id.byId, r.byId);
        EXPECT_EQ(id.driver, r.driver);
        EXPECT_EQ(id.Description(), r.description);
        EXPECT_EQ(id.absence, r.absence);
    }
    EXPECT_EQ(ids[6].device, ById());
    EXPECT_TRUE(ids[6].overridden);
    EXPECT_EQ(ids[6].serialNumber, "A1B2C3");
}

TEST_F(FakeTreeTest, ReasonsForTheOtherCallsOfTheOpenSequence) {
    const std::string com7 = "COM7 (" + Dev() + "/ttyUSB0): ";
    // clang-format off
    const struct { DWORD error; const char* call; std::string line; } rows[] = {
        {ERROR_BAD_COMMAND,       "ReadFile",           com7 + "the device is gone (unplugged, or the program behind it ended)"},
        {ERROR_INVALID_PARAMETER, "SetCommState",       com7 + "the device refused the settings (SetCommState, error 87)"},
        {ERROR_NOT_SUPPORTED,     "SetCommState",       com7 + "the device refused the settings (SetCommState, error 50)"},
        {ERROR_NOT_SUPPORTED,     "EscapeCommFunction", com7 + "the device does not support this (EscapeCommFunction, error 50)"},
        {ERROR_GEN_FAILURE,       "GetCommTimeouts",    com7 + "GetCommTimeouts failed with error 31"},
    };
    // clang-format on
    for (const auto& r : rows) {
        SCOPED_TRACE(r.call);
        EXPECT_EQ(ExplainComError(7, r.error, r.call), r.line);
    }
    EXPECT_EQ(ExplainComError(6, ERROR_FILE_NOT_FOUND),
              "COM6: not present (" + Dev() + "/ttyUSB1 does not exist)");
}

struct RunResult {
    int exit;
    std::string out;
};

RunResult RunPorts(const std::string& args) {
    const std::string cmd = std::string(PMV_PORTS_PATH) + " " + args + " 2>/dev/null";
    FILE* p = ::popen(cmd.c_str(), "r");
    RunResult r{-1, {}};
    if (p == nullptr)
        return r;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    const int status = ::pclose(p);
    r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

TEST_F(FakeTreeTest, PortsCommand) {
    const RunResult json = RunPorts("--json");
    ASSERT_EQ(json.exit, 0) << json.out;
    const QJsonArray all = QJsonDocument::fromJson(QByteArray::fromStdString(json.out)).array();
    ASSERT_EQ(all.size(), 32) << json.out;
    const QJsonObject com7 = all[6].toObject();
    EXPECT_EQ(com7["com"].toInt(), 7);
    EXPECT_TRUE(com7["present"].toBool());
    EXPECT_EQ(com7["device"].toString().toStdString(), Dev() + "/ttyUSB0");
    EXPECT_EQ(com7["by_id"].toString().toStdString(), ById());
    EXPECT_EQ(com7["description"].toString().toStdString(),
              "FTDI FT232R USB UART (0403:6001, serial A1B2C3)");
    EXPECT_TRUE(com7["holders"].toArray().isEmpty());
    EXPECT_EQ(com7["access"].toString().toStdString(), "ok");
    const QJsonObject com5 = all[4].toObject();
    EXPECT_FALSE(com5["present"].toBool());
    EXPECT_EQ(com5["access"].toString().toStdString(), "absent");
    EXPECT_TRUE(com5["by_id"].isNull());

    const RunResult line = RunPorts("COM7");
    EXPECT_EQ(line.exit, 0);
    EXPECT_EQ(line.out, "COM7   ok         " + Dev() +
                            "/ttyUSB0 (by-id usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0): FTDI "
                            "FT232R USB UART (0403:6001, serial A1B2C3)\n");
    // clang-format off
    const struct { const char* args; int exit; const char* start; } rows[] = {
        {"5",           1, "COM5   absent     its device is mapped to COM7"},
        {"-v",          0, "pmv-ports 1.8\n"},
        {"--help",      0, "Usage: pmv-ports"},
        {"33",          2, ""},
        {"--frobnicate", 2, ""},
    };
    // clang-format on
    for (const auto& r : rows) {
        SCOPED_TRACE(r.args);
        const RunResult run = RunPorts(r.args);
        EXPECT_EQ(run.exit, r.exit);
        EXPECT_EQ(run.out.rfind(r.start, 0), 0u) << run.out;
    }
}

// Output is UTF-8 whatever bytes the system's names hold, JSON is valid, a
// node that is no serial device says so, and a failed write is an error.
TEST_F(FakeTreeTest, PortsOutputIsUtf8AndWriteFailuresAreErrors) {
    const std::string product =
        Sys() + "/devices/pci0000:00/0000:00:14.0/usb1/1-3/product"; // the ACM board's
    std::ofstream(product, std::ios::trunc) << "Uno \xFF\n";         // not UTF-8
    Publish(25, "/dev/null");
    const RunResult json = RunPorts("--json 13 25");
    EXPECT_EQ(json.exit, 1);
    QJsonParseError error{};
    const QJsonArray a =
        QJsonDocument::fromJson(QByteArray::fromStdString(json.out), &error).array();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json.out;
    ASSERT_EQ(a.size(), 2);
    EXPECT_EQ(a[0].toObject()["description"].toString(),
              QString::fromUtf8("Uno \u00FF (2341:0043)"));
    EXPECT_EQ(a[1].toObject()["access"].toString(), "not-serial");
    EXPECT_TRUE(a[1].toObject()["holders"].toArray().isEmpty());
    EXPECT_EQ(RunPorts("13").out,
              "COM13  ok         " + Dev() + "/ttyACM0: Uno \xC3\xBF (2341:0043)\n");
    EXPECT_EQ(RunPorts("--json > /dev/full").exit, 4);
}

} // namespace
