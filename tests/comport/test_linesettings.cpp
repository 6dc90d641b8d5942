// Everyone who names a line setting reads the one table of them: the
// component's text forms and setters, the settings dialog's lists, the
// configuration reader, and the platform's termios speeds (a rate set on a
// pseudo-terminal reads back as the same number).
#include "PtyFixture.h"

#include "comport/LnkText.h"
#include "comport/Lnkcomdlg.h"
#include "config/ConfigFile.h"
#include "platform/winapi.h"

#include <QComboBox>

#include <functional>

using namespace QORLNK;
using namespace comporttest;

namespace {

struct Setting {
    const char* key; // the configuration file's key
    std::span<const TLineSettingRow> rows;
    QComboBox* TLNKCOMDlgFrm::*list;
    std::function<std::string(int)> text;
    std::function<int(TLNKCOMPort&, int)> setOnPort; // sets ordinal i, gives what took
    std::function<int(const pmv::TConfigSet&)> fromFile;
};

const Setting kSettings[] = {
    {"baud_rate", BaudRateRows, &TLNKCOMDlgFrm::BaudRateComboBox,
     [](int i) { return BaudRateStr(TBaudRate(i)); },
     [](TLNKCOMPort& p, int i) {
         p.SetBaudRate(TBaudRate(i));
         return int(p.BaudRate());
     },
     [](const pmv::TConfigSet& s) { return int(s.BaudRate); }},
    {"data_bits", DataBitsRows, &TLNKCOMDlgFrm::DataBitsComboBox,
     [](int i) { return DataBitsStr(TDataBits(i)); },
     [](TLNKCOMPort& p, int i) {
         p.SetDataBits(TDataBits(i));
         return int(p.DataBits());
     },
     [](const pmv::TConfigSet& s) { return int(s.DataBits); }},
    {"parity", ParityRows, &TLNKCOMDlgFrm::ParityComboBox,
     [](int i) { return ParityStr(TParity(i)); },
     [](TLNKCOMPort& p, int i) {
         p.SetParity(TParity(i));
         return int(p.Parity());
     },
     [](const pmv::TConfigSet& s) { return int(s.Parity); }},
    {"stop_bits", StopBitsRows, &TLNKCOMDlgFrm::StopBitsComboBox,
     [](int i) { return StopBitsStr(TStopBits(i)); },
     [](TLNKCOMPort& p, int i) {
         p.SetStopBits(TStopBits(i));
         return int(p.StopBits());
     },
     [](const pmv::TConfigSet& s) { return int(s.StopBits); }},
};

// A valid configuration file whose line for key says value.
std::string FileWith(const std::string& key, const std::string& value) {
    std::string text = pmv::WriteConfig(pmv::TConfigSet{});
    const auto at = text.find(key + ": ");
    const auto end = text.find("\r\n", at);
    return text.replace(at, end - at, key + ": " + value);
}

TEST(LineSettingsTable, EveryReaderAgrees) {
    DeviceMapEnv env;
    TLNKCOMPort port;
    TBaudRate baud = br9600;
    TDataBits data = db8;
    TParity parity = paNone;
    TStopBits stop = sb1;
    int com = 1;
    TLNKCOMDlgFrm form(0, 0, "t", {}, 1, com, baud, data, parity, stop);
    for (const Setting& s : kSettings) {
        ASSERT_EQ((form.*s.list)->count(), int(s.rows.size())) << s.key;
        for (int i = 0; i < int(s.rows.size()); ++i) {
            const TLineSettingRow& row = s.rows[std::size_t(i)];
            SCOPED_TRACE(std::string(s.key) + " " + row.text);
            EXPECT_EQ(s.text(i), row.text);
            EXPECT_EQ((form.*s.list)->itemText(i).toStdString(), row.caption);
            EXPECT_EQ(s.setOnPort(port, i), i);
            const pmv::TConfigReadResult read = pmv::ReadConfig(FileWith(s.key, row.text));
            EXPECT_EQ(read.Ok, row.inConfigFile) << read.Message;
            if (read.Ok) {
                EXPECT_EQ(s.fromFile(read.Set), i);
            }
        }
        // One past the table is no value of the setting.
        const int past = int(s.rows.size());
        EXPECT_EQ(s.setOnPort(port, past), past - 1) << s.key;
        EXPECT_EQ(s.text(past).rfind("<invalid ", 0), 0u) << s.key;
    }
    EXPECT_EQ(BaudRateValue(br115200), 115200);
}

TEST(LineSettingsTable, EveryRateReachesTheDeviceAndReadsBack) {
    DeviceMapEnv env;
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    env.Map(7, pty.SlavePath());
    TLNKCOMPort port;
    port.SetPort1(7);
    ASSERT_TRUE(port.Open());
    for (int i = 0; i < int(BaudRateRows.size()); ++i) {
        SCOPED_TRACE(BaudRateRows[std::size_t(i)].text);
        port.SetBaudRate(TBaudRate(i));
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        ASSERT_TRUE(GetCommState(port.GetHandle(), &dcb));
        EXPECT_EQ(int(dcb.BaudRate), BaudRateRows[std::size_t(i)].number);
    }
    port.Close();
}

} // namespace
