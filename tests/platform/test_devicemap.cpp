// The serial device map against a fake /dev and sysfs tree, the override
// file and its editing helpers, and the registry calls that read the map.
#include "PlatformTestSupport.h"

#include <cstring>
#include <fstream>
#include <map>

using namespace pmvtest;
namespace fs = std::filesystem;

namespace {

class DeviceMapTest : public ::testing::Test {
protected:
    DeviceMapTest()
        : m_devEnv("PMV_DEV_ROOT", m_dir.Path() + "/dev"),
          m_sysEnv("PMV_SYSFS_ROOT", m_dir.Path() + "/sys"),
          m_mapEnv("PMV_COMMAP", m_dir.Path() + "/config/commap") {
        fs::create_directories(Dev());
        fs::create_directories(m_dir.Path() + "/sys/class/tty");
    }
    std::string Dev() const { return m_dir.Path() + "/dev"; }
    std::string MapFile() const { return m_dir.Path() + "/config/commap"; }

    /// A device node (a plain file does: presence never opens it).
    void Node(const std::string& name) { std::ofstream(Dev() + "/" + name).put('\n'); }
    /// sysfs entry of a tty with a backing device.
    void SysDevice(const std::string& name) {
        fs::create_directories(m_dir.Path() + "/sys/class/tty/" + name + "/device");
    }
    /// sysfs entry of an 8250 port with its UART type.
    void SysUart(const std::string& name, int type) {
        fs::create_directories(m_dir.Path() + "/sys/class/tty/" + name);
        std::ofstream(m_dir.Path() + "/sys/class/tty/" + name + "/type") << type << '\n';
    }
    void WriteMap(const std::string& text) {
        fs::create_directories(m_dir.Path() + "/config");
        std::ofstream(MapFile()) << text;
    }
    std::map<int, std::string> Map() const {
        std::map<int, std::string> m;
        for (const auto& e : pmv::platform::ReadDeviceMap())
            m[e.comNumber] = e.device;
        return m;
    }

private:
    TempDir m_dir;
    ScopedEnv m_devEnv, m_sysEnv, m_mapEnv;
};

TEST_F(DeviceMapTest, EmptyTreeHasNoPorts) {
    EXPECT_TRUE(Map().empty());
    EXPECT_EQ(pmv::platform::ResolveComPort(1), "");
}

TEST_F(DeviceMapTest, DefaultRule) {
    Node("ttyS0");
    SysUart("ttyS0", 4); // a 16550A
    Node("ttyS1");
    SysUart("ttyS1", 0); // placeholder registered by the 8250 driver
    Node("ttyS3");       // no sysfs entry at all
    Node("ttyUSB0");
    SysDevice("ttyUSB0");
    Node("ttyUSB7");
    SysDevice("ttyUSB7");
    Node("ttyUSB8"); // beyond the eight USB slots
    SysDevice("ttyUSB8");
    Node("ttyUSB1");      // node left behind without a device
    SysDevice("ttyACM0"); // device without a node
    Node("ttyACM1");
    SysDevice("ttyACM1");
    Node("ttyAMA3");
    SysDevice("ttyAMA3");
    const std::map<int, std::string> expected = {
        {1, Dev() + "/ttyS0"},    {5, Dev() + "/ttyUSB0"},  {12, Dev() + "/ttyUSB7"},
        {14, Dev() + "/ttyACM1"}, {24, Dev() + "/ttyAMA3"},
    };
    EXPECT_EQ(Map(), expected);
    EXPECT_EQ(pmv::platform::ResolveComPort(5), Dev() + "/ttyUSB0");
    EXPECT_EQ(pmv::platform::ResolveComPort(2), "");
}

TEST_F(DeviceMapTest, OverrideLines) {
    Node("ttyUSB0");
    SysDevice("ttyUSB0");
    Node("ttyUSB1");
    SysDevice("ttyUSB1");
    fs::create_directories(Dev() + "/serial/by-id");
    fs::create_symlink("../../ttyUSB0", Dev() + "/serial/by-id/usb-adapter");
    fs::create_symlink("../../ttyUSB5", Dev() + "/serial/by-id/usb-gone");
    Node("extra");
    WriteMap("# adapters\n"
             "\n"
             "COM7=" +
             Dev() +
             "/serial/by-id/usb-adapter\n" // takes ttyUSB0 out of COM5
             "COM26=" +
             Dev() +
             "/serial/by-id/usb-gone\n" // link to a missing device
             "  com30 = " +
             Dev() +
             "/extra  \n" // case and blanks tolerated
             "COM33=" +
             Dev() +
             "/extra\n" // out of range
             "COM0=" +
             Dev() +
             "/extra\n" // out of range
             "COM031=" +
             Dev() +
             "/extra\n"              // leading zero
             "COM28=relative/path\n" // not absolute
             "COM29=\n"              // empty
             "COMX=" +
             Dev() +
             "/extra\n" // not a number
             "just text\n"
             "COM27=" +
             Dev() +
             "/missing\n" // missing path
             "COM25=" +
             Dev() + "/ttyUSB1\n"); // takes ttyUSB1 out of COM6
    // ttyUSB0 and ttyUSB1 leave their default slots (COM5, COM6) for their
    // overrides; the dangling link, the missing path and the malformed lines
    // give nothing.
    const std::map<int, std::string> expected = {
        {7, Dev() + "/serial/by-id/usb-adapter"},
        {25, Dev() + "/ttyUSB1"},
        {30, Dev() + "/extra"},
    };
    EXPECT_EQ(Map(), expected);
}

TEST_F(DeviceMapTest, LaterLineForTheSameNumberWins) {
    Node("a");
    Node("b");
    WriteMap("COM25=" + Dev() + "/a\nCOM25=" + Dev() + "/b\n");
    EXPECT_EQ(pmv::platform::ResolveComPort(25), Dev() + "/b");
}

TEST_F(DeviceMapTest, DeviceNamedByTwoOverridesKeepsTheLowerNumber) {
    Node("a");
    WriteMap("COM31=" + Dev() + "/a\nCOM26=" + Dev() + "/a\n");
    const std::map<int, std::string> expected = {{26, Dev() + "/a"}};
    EXPECT_EQ(Map(), expected);
}

TEST_F(DeviceMapTest, MapIsReadAnewEachTime) {
    EXPECT_EQ(pmv::platform::ResolveComPort(5), "");
    Node("ttyUSB0");
    SysDevice("ttyUSB0"); // "plugged in"
    EXPECT_EQ(pmv::platform::ResolveComPort(5), Dev() + "/ttyUSB0");
    fs::remove(Dev() + "/ttyUSB0"); // and out again
    EXPECT_EQ(pmv::platform::ResolveComPort(5), "");
}

TEST_F(DeviceMapTest, OutOfRangeNumbers) {
    for (int n : {-1, 0, 33, 256}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(pmv::platform::ResolveComPort(n), "");
    }
}

TEST_F(DeviceMapTest, EditingHelpersKeepOtherLines) {
    WriteMap("# my ports\nCOM26=/dev/a\n\nCOM27=/dev/b\n");
    std::string error;
    ASSERT_TRUE(pmv::platform::SetDeviceMapOverride(27, "/dev/c", &error)) << error;
    ASSERT_TRUE(pmv::platform::SetDeviceMapOverride(28, "/dev/d", &error)) << error;
    ASSERT_TRUE(pmv::platform::RemoveDeviceMapOverride(26, &error)) << error;
    ASSERT_TRUE(pmv::platform::RemoveDeviceMapOverride(31, &error)) << error; // none: fine
    std::ifstream in(MapFile());
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text, "# my ports\n\nCOM27=/dev/c\nCOM28=/dev/d\n");
    // No temporary or partial file is left beside it.
    int files = 0;
    for (const auto& entry : fs::directory_iterator(fs::path(MapFile()).parent_path()))
        files += entry.path().filename() != "commap.lock";
    EXPECT_EQ(files, 1);
}

TEST_F(DeviceMapTest, EditingHelpersCreateTheFolderAndRefuseBadInput) {
    std::string error;
    ASSERT_TRUE(pmv::platform::SetDeviceMapOverride(32, "/dev/x", &error)) << error;
    EXPECT_TRUE(fs::exists(MapFile()));
    const struct {
        int n;
        const char* device;
    } bad[] = {{0, "/dev/x"}, {33, "/dev/x"}, {5, ""}, {5, "relative"}, {5, "/dev/x\nCOM6=/y"}};
    for (const auto& row : bad) {
        SCOPED_TRACE(std::to_string(row.n) + " " + row.device);
        error.clear();
        EXPECT_FALSE(pmv::platform::SetDeviceMapOverride(row.n, row.device, &error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(DeviceMapPath, EnvironmentDecides) {
    {
        ScopedEnv map("PMV_COMMAP", "/somewhere/map");
        EXPECT_EQ(pmv::platform::DeviceMapPath(), "/somewhere/map");
    }
    ScopedEnv noMap("PMV_COMMAP", "");
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/xdg");
        EXPECT_EQ(pmv::platform::DeviceMapPath(), "/xdg/pmv-host/commap");
    }
    ScopedEnv noXdg("XDG_CONFIG_HOME", "");
    ScopedEnv home("HOME", "/home/op");
    EXPECT_EQ(pmv::platform::DeviceMapPath(), "/home/op/.config/pmv-host/commap");
}

// ---- the registry view of the map --------------------------------------

TEST_F(DeviceMapTest, RegistryEnumeratesTheMap) {
    Node("ttyUSB2");
    SysDevice("ttyUSB2");
    Node("extra");
    WriteMap("COM25=" + Dev() + "/extra\n");
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key),
        ERROR_SUCCESS);
    std::map<std::string, std::string> values;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameLen = sizeof name;
        BYTE data[64];
        DWORD dataLen = sizeof data;
        DWORD type = kSentinel;
        const LONG rc = RegEnumValueA(key, i, name, &nameLen, nullptr, &type, data, &dataLen);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        EXPECT_EQ(type, REG_SZ);
        EXPECT_EQ(nameLen, std::strlen(name));
        EXPECT_EQ(dataLen, std::strlen(reinterpret_cast<char*>(data)) + 1);
        values[name] = reinterpret_cast<char*>(data);
        ASSERT_LT(i, 100u);
    }
    const std::map<std::string, std::string> expected = {{Dev() + "/ttyUSB2", "COM7"},
                                                         {Dev() + "/extra", "COM25"}};
    EXPECT_EQ(values, expected);

    BYTE data[64];
    DWORD dataLen = sizeof data;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(key, (Dev() + "/extra").c_str(), nullptr, &type, data, &dataLen),
              ERROR_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<char*>(data), "COM25");
    EXPECT_EQ(RegQueryValueExA(key, "/dev/none", nullptr, &type, data, &dataLen),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(DeviceMapTest, RegistrySnapshotIsTakenAtOpen) {
    Node("a");
    WriteMap("COM25=" + Dev() + "/a\n");
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key),
        ERROR_SUCCESS);
    fs::remove(Dev() + "/a");
    char name[256];
    DWORD nameLen = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &nameLen, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "hardware\\devicemap\\serialcomm", 0, KEY_READ, &key),
        ERROR_SUCCESS)
        << "key names are case-insensitive";
    nameLen = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &nameLen, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

TEST_F(DeviceMapTest, RegistryBufferSizes) {
    Node("a");
    WriteMap("COM25=" + Dev() + "/a\n");
    const std::string valueName = Dev() + "/a";
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key),
        ERROR_SUCCESS);
    char name[512];
    BYTE data[16];
    struct Row {
        const char* what;
        DWORD nameLen;
        DWORD dataLen;
        LONG rc;
        DWORD dataLenAfter;
    };
    const DWORD exact = static_cast<DWORD>(valueName.size() + 1);
    // clang-format off
    const Row rows[] = {
        {"both fit", sizeof name, sizeof data, ERROR_SUCCESS, 6},
        {"name exactly fits", exact, sizeof data, ERROR_SUCCESS, 6},
        {"name one short", exact - 1, sizeof data, ERROR_MORE_DATA, sizeof data},
        {"data exactly fits", sizeof name, 6, ERROR_SUCCESS, 6},
        {"data one short: size needed", sizeof name, 5, ERROR_MORE_DATA, 6},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DWORD nameLen = row.nameLen;
        DWORD dataLen = row.dataLen;
        std::memset(data, 0xFF, sizeof data);
        EXPECT_EQ(RegEnumValueA(key, 0, name, &nameLen, nullptr, nullptr, data, &dataLen), row.rc);
        EXPECT_EQ(dataLen, row.dataLenAfter);
    }
    DWORD dataLen = 0;
    EXPECT_EQ(RegQueryValueExA(key, valueName.c_str(), nullptr, nullptr, nullptr, &dataLen),
              ERROR_SUCCESS);
    EXPECT_EQ(dataLen, 6u) << "NULL data asks for the size";
    RegCloseKey(key);
}

TEST_F(DeviceMapTest, RegistryRefusals) {
    HKEY key = reinterpret_cast<HKEY>(0x1);
    struct Row {
        const char* what;
        HKEY root;
        const char* sub;
        DWORD options;
        REGSAM sam;
        PHKEY out;
        LONG rc;
    };
    // clang-format off
    const Row rows[] = {
        {"other key", HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key, ERROR_FILE_NOT_FOUND},
        {"other root", HKEY_CURRENT_USER, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key,
         ERROR_FILE_NOT_FOUND},
        {"write access", HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_WRITE, &key,
         ERROR_ACCESS_DENIED},
        {"all access", HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_ALL_ACCESS,
         &key, ERROR_ACCESS_DENIED},
        {"options", HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 1, KEY_READ, &key,
         ERROR_INVALID_PARAMETER},
        {"no result pointer", HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
         nullptr, ERROR_INVALID_PARAMETER},
        {"bogus root", reinterpret_cast<HKEY>(0x12345), "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
         KEY_READ, &key, ERROR_INVALID_HANDLE},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(RegOpenKeyExA(row.root, row.sub, row.options, row.sam, row.out), row.rc);
    }
    EXPECT_FALSE(fs::exists(MapFile())) << "reading never creates the map";
    char name[8];
    DWORD len = sizeof name;
    EXPECT_EQ(RegEnumValueA(reinterpret_cast<HKEY>(0x12345), 0, name, &len, nullptr, nullptr,
                            nullptr, nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
}

TEST_F(DeviceMapTest, CreateFileResolvesThroughTheMap) {
    Node("ttyUSB0"); // a plain file: present in the map but not a serial device
    SysDevice("ttyUSB0");
    // clang-format off
    const struct {
        const char* name;
        DWORD error;
    } rows[] = {
        {"\\\\.\\COM5", ERROR_FILE_NOT_FOUND}, // present, but not a tty
        {"\\\\.\\COM6", ERROR_FILE_NOT_FOUND}, // absent
        {"\\\\.\\COM0", ERROR_FILE_NOT_FOUND},
        {"\\\\.\\COM33", ERROR_FILE_NOT_FOUND},
        {"\\\\.\\COM05", ERROR_FILE_NOT_FOUND},
        {"\\\\.\\COM", ERROR_FILE_NOT_FOUND},
        {"\\\\.\\LPT1", ERROR_FILE_NOT_FOUND},
        {"/etc/passwd", ERROR_FILE_NOT_FOUND},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SetLastError(kSentinel);
        EXPECT_EQ(CreateFileA(row.name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), row.error);
    }
}

} // namespace
