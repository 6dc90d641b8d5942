// The port map: its rows and its changes to the map file (one table of
// cases against a fake /dev and sysfs tree and a private map file), and the
// window that shows it, with the settings dialog's marks following a change.
#include "app/Mainfrm.h"
#include "app/PortMapForm.h"
#include "app/link/PortMap.h"
#include "platform/DeviceMap.h"
#include "tests/app/WindowProbe.h"

#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace pmv;
using namespace apptest;
namespace fs = std::filesystem;

namespace {

class PortMapTest : public ::testing::Test {
protected:
    PortMapTest() {
        ::setenv("PMV_DEV_ROOT", Dev().c_str(), 1);
        ::setenv("PMV_SYSFS_ROOT", (Root() + "/sys").c_str(), 1);
        ::setenv("PMV_COMMAP", MapFile().c_str(), 1);
        fs::create_directories(Dev() + "/serial/by-id");
        // An adapter with a by-id name (COM5 by the built-in rule) and one without.
        for (const char* name : {"ttyUSB0", "ttyACM3"}) {
            fs::create_directories(Root() + "/sys/class/tty/" + name + "/device");
            std::ofstream(Dev() + "/" + name).put('\n');
        }
        fs::create_symlink("../../ttyUSB0", ById());
        fs::create_directories(Root() + "/config");
    }
    ~PortMapTest() override {
        for (const char* name : {"PMV_DEV_ROOT", "PMV_SYSFS_ROOT", "PMV_COMMAP"})
            ::unsetenv(name);
    }
    std::string Root() const { return m_dir.path().toStdString(); }
    std::string Dev() const { return Root() + "/dev"; }
    std::string ById() const { return Dev() + "/serial/by-id/usb-FTDI_FT232R_A1-if00-port0"; }
    std::string MapFile() const { return Root() + "/config/commap"; }
    std::string MapText() const {
        std::ifstream in(MapFile());
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static std::size_t DeviceIndex(const TPortMap& map, const std::string& node) {
        for (std::size_t i = 0; i < map.Devices().size(); ++i)
            if (map.Devices()[i].node == node)
                return i;
        return map.Devices().size();
    }

    QTemporaryDir m_dir;
};

TEST_F(PortMapTest, AssignFreeReplaceAndRefuse) {
    const std::string head =
        "# bench A\nCOM3=" + Dev() + "/gone\n# keep me\nCOM9=tcp://10.0.0.5:4001\n";
    const std::string tail = "COM12=" + Dev() + "/ttyACM3\n";
    enum class Op { Device, Network, Free };
    struct Case {
        const char* name;
        Op op;
        int com;
        std::string arg; // the device node, or the network port text
        bool replace;
        TPortMapOutcome outcome;
        std::string message; // a part of the message
        std::string text;    // the map file afterwards
    };
    const std::string usb = Dev() + "/ttyUSB0", acm = Dev() + "/ttyACM3";
    // clang-format off
    const Case cases[] = {
        {"by-id preferred",     Op::Device,  7, usb, false, TPortMapOutcome::Done, "COM7 is " + ById(),
         head + tail + "COM7=" + ById() + "\n"},
        {"node without by-id",  Op::Device,  8, acm, false, TPortMapOutcome::Done, "(freed, COM12)",
         head + "COM8=" + acm + "\n"},
        {"used: ask first",     Op::Device,  3, usb, false, TPortMapOutcome::AskReplace, "Replace it with",
         head + tail},
        {"used: replaced",      Op::Device,  3, usb, true,  TPortMapOutcome::Done, "COM3 is",
         "# bench A\n# keep me\nCOM9=tcp://10.0.0.5:4001\n" + tail + "COM3=" + ById() + "\n"},
        {"built-in rule: ask",  Op::Device,  5, acm, false, TPortMapOutcome::AskReplace, "COM5 is " + usb,
         head + tail},
        {"network port",        Op::Network, 10, "rfc2217://bench-7.local:2217", false, TPortMapOutcome::Done, "COM10 is",
         head + tail + "COM10=rfc2217://bench-7.local:2217\n"},
        {"network IPv6",        Op::Network, 11, "tcp://[::1]:4001", false, TPortMapOutcome::Done, "COM11 is",
         head + tail + "COM11=tcp://[::1]:4001\n"},
        {"network, no port",    Op::Network, 10, "tcp://bench", false, TPortMapOutcome::Refused, "has no port",
         head + tail},
        {"network, bad port",   Op::Network, 10, "tcp://bench:70000", false, TPortMapOutcome::Refused, "1 to 65535",
         head + tail},
        {"network, bad host",   Op::Network, 10, "tcp://be nch:1", false, TPortMapOutcome::Refused, "no host name",
         head + tail},
        {"network, nothing",    Op::Network, 10, "tcp://", false, TPortMapOutcome::Refused, "has no port",
         head + tail},
        {"not a network port",  Op::Network, 10, "/dev/ttyS0", false, TPortMapOutcome::Refused, "no network port",
         head + tail},
        {"free a network port", Op::Free,    9, "", false, TPortMapOutcome::Done, "COM9 is free",
         "# bench A\nCOM3=" + Dev() + "/gone\n# keep me\n" + tail},
        {"free the built-in",   Op::Free,    5, "", false, TPortMapOutcome::Refused, "built-in rule",
         head + tail},
        {"number out of range", Op::Free,   33, "", false, TPortMapOutcome::Refused, "from 1 to 32",
         head + tail},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(MapFile(), std::ios::trunc) << head << tail;
        TPortMap map;
        ASSERT_EQ(map.Numbers()[8].target, "tcp://10.0.0.5:4001"); // a network line is read
        const TPortMapResult r =
            c.op == Op::Device    ? map.AssignDevice(c.com, DeviceIndex(map, c.arg), c.replace)
            : c.op == Op::Network ? map.AssignNetworkPort(c.com, c.arg, c.replace)
                                  : map.Free(c.com);
        EXPECT_EQ(r.outcome, c.outcome) << r.message;
        EXPECT_NE(r.message.find(c.message), std::string::npos) << r.message;
        EXPECT_EQ(MapText(), c.text);
    }
}

TEST_F(PortMapTest, PublicationAndUnwritableMapAreRefused) {
    std::ofstream(MapFile()) << "# mine\n";
    platform::TComPublication pub;
    std::string error;
    ASSERT_TRUE(pub.Publish(25, Dev() + "/ttyACM3", &error)) << error;
    TPortMap map;
    EXPECT_EQ(map.Numbers()[24].source, TPortMapSource::Publication);
    for (const TPortMapResult& r : {map.AssignNetworkPort(25, "tcp://h:1", true), map.Free(25)}) {
        EXPECT_EQ(r.outcome, TPortMapOutcome::Refused);
        EXPECT_NE(r.message.find("owns it while it runs"), std::string::npos) << r.message;
    }
    // The editors' lock file cannot be made: nothing is written, and the
    // message says why.
    fs::create_directory(MapFile() + ".lock");
    const TPortMapResult r = map.AssignNetworkPort(2, "tcp://h:1");
    EXPECT_EQ(r.outcome, TPortMapOutcome::Refused);
    EXPECT_NE(r.message.find("The port map was not changed: "), std::string::npos) << r.message;
    EXPECT_NE(r.message.find(MapFile() + ".lock"), std::string::npos) << r.message;
    EXPECT_EQ(MapText(), "# mine\n");
}

TEST_F(PortMapTest, WindowAssignsANumberAndTheSettingsDialogFollows) {
    TMainForm form;
    form.show();
    Item(form, "PortMap")->trigger();
    TPortMapForm* w = form.PortMapWindow();
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(w->isVisible());
    EXPECT_FALSE(w->isModal());
    auto* devices = Named<QTableWidget>(*w, "DevicesTable");
    const int row = int(DeviceIndex(w->Map(), Dev() + "/ttyUSB0"));
    ASSERT_LT(row, devices->rowCount());
    devices->setCurrentCell(row, 0);
    Named<QSpinBox>(*w, "NumberSpinBox")->setValue(7);
    Named<QPushButton>(*w, "AssignDeviceButton")->click();
    EXPECT_EQ(MapText(), "COM7=" + ById() + "\n");
    EXPECT_EQ(Named<QTableWidget>(*w, "NumbersTable")->item(6, 1)->text().toStdString(), ById());

    bool checked = false;
    pmv::test::WhenModal([&](QWidget* modal) {
        auto* f = qobject_cast<QORLNK::TLNKCOMDlgFrm*>(modal);
        ASSERT_NE(f, nullptr);
        const qint64 tick = f->ImageList[0].cacheKey();
        EXPECT_EQ(f->COMPortComboBoxEx->itemIcon(6).cacheKey(), tick); // COM7, mapped
        EXPECT_NE(f->COMPortComboBoxEx->itemIcon(4).cacheKey(), tick); // COM5 gave it up
        checked = true;
        f->CancelButtonClick();
    });
    Item(form, "COMSettings")->trigger();
    EXPECT_TRUE(checked);
}

} // namespace
