// The lamp control, port enumeration and the settings form.
#include "PtyFixture.h"

#include "comport/Lnkcomdlg.h"
#include "comport/Lnkindicator.h"
#include "comport/Lnkutils.h"

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

using namespace QORLNK;
using namespace comporttest;

namespace {

// ---------------------------------------------------------------------------
// TLNKCOMIndicator

TEST(Indicator, Defaults) {
    TLNKCOMIndicator lamp;
    EXPECT_EQ(lamp.width(), 13);
    EXPECT_EQ(lamp.height(), 13);
    EXPECT_EQ(lamp.Shape(), isCircle);
    EXPECT_EQ(lamp.OnTime(), 0);
    EXPECT_EQ(lamp.OnColour(), 0x00FF00u);
    EXPECT_EQ(lamp.OffColour(), 0xFFFFFFu);
    EXPECT_EQ(lamp.BorderColour(), 0u);
    EXPECT_TRUE(lamp.BorderOn());
    EXPECT_FALSE(lamp.StateOn());
    EXPECT_EQ(lamp.Version(), "1.00");
    lamp.SetVersion("2");
    lamp.SetCopyright("");
    EXPECT_EQ(lamp.Version(), "1.00");
    EXPECT_FALSE(lamp.Copyright().empty());
}

TEST(Indicator, OnTimeRange) {
    struct Row {
        int value;
        int expected;
    } rows[] = {{5001, 0}, {-1, 0}, {5000, 5000}, {0, 0}, {250, 250}, {99999, 250}};
    TLNKCOMIndicator lamp;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.value);
        lamp.SetOnTime(r.value);
        EXPECT_EQ(lamp.OnTime(), r.expected);
    }
}

TEST(Indicator, WithoutOnTimeFollowsState) {
    TLNKCOMIndicator lamp;
    for (int i = 0; i < 10; ++i) {
        lamp.SetStateOn(true);
        EXPECT_TRUE(lamp.StateOn());
        lamp.SetStateOn(false);
        EXPECT_FALSE(lamp.StateOn());
        EXPECT_FALSE(lamp.OnTimeRunning());
    }
}

TEST(Indicator, PulseLastsTheOnTime) {
    TLNKCOMIndicator lamp;
    lamp.SetOnTime(200);
    QElapsedTimer t;
    t.start();
    lamp.SetStateOn(true);
    lamp.SetStateOn(false);
    EXPECT_TRUE(lamp.StateOn());
    EXPECT_TRUE(lamp.OnTimeRunning());
    ASSERT_TRUE(WaitUntil([&] { return !lamp.StateOn(); }));
    EXPECT_GE(t.elapsed(), 195);
    EXPECT_FALSE(lamp.OnTimeRunning());
}

TEST(Indicator, BurstKeepsLampLitUntilOnTimeAfterLastPulse) {
    TLNKCOMIndicator lamp;
    const int onTime = 300;
    lamp.SetOnTime(onTime);
    QElapsedTimer sinceLast;
    for (int i = 0; i < 10; ++i) {
        lamp.SetStateOn(true);
        lamp.SetStateOn(false);
        sinceLast.start();
        EXPECT_TRUE(lamp.StateOn());
        RunEventsFor(50);
        // Off during the burst only if the loop itself stalled past the on-time.
        if (!lamp.StateOn()) {
            EXPECT_GE(sinceLast.elapsed(), onTime - 5);
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return !lamp.StateOn(); }));
    EXPECT_GE(sinceLast.elapsed(), onTime - 5);
}

TEST(Indicator, HeldLevelOutlastsOnTime) {
    TLNKCOMIndicator lamp;
    lamp.SetOnTime(50);
    lamp.SetStateOn(true);
    ASSERT_TRUE(WaitUntil([&] { return !lamp.OnTimeRunning(); }));
    RunEventsFor(50);
    EXPECT_TRUE(lamp.StateOn());
    lamp.SetStateOn(true); // still on, no new on-time
    EXPECT_FALSE(lamp.OnTimeRunning());
    lamp.SetStateOn(false);
    EXPECT_FALSE(lamp.StateOn());
}

TEST(Indicator, GivingAnOnTimeSwitchesALitLampOff) {
    TLNKCOMIndicator lamp;
    lamp.SetStateOn(true);
    lamp.SetOnTime(100);
    EXPECT_FALSE(lamp.StateOn());
    lamp.SetStateOn(true);
    lamp.SetOnTime(0); // a running on-time is not cut short
    EXPECT_TRUE(lamp.StateOn());
}

TEST(Indicator, DestroyedDuringOnTime) {
    auto lamp = std::make_unique<TLNKCOMIndicator>();
    lamp->SetOnTime(20);
    lamp->SetStateOn(true);
    lamp->SetStateOn(false);
    lamp.reset();
    RunEventsFor(60); // its timer went with it
}

QRgb Pixel(TLNKCOMIndicator& lamp, int x, int y) {
    return lamp.grab().toImage().pixel(x, y);
}

TEST(Indicator, PaintsStateShapeAndBorder) {
    QWidget parent;
    parent.resize(40, 40);
    auto* lamp = new TLNKCOMIndicator(&parent);
    lamp->SetShape(isSquare);
    lamp->SetOnColour(0x0000FF);  // red in the lowest byte
    lamp->SetOffColour(0xFF0000); // blue
    lamp->SetBorderColour(0x00FF00);
    lamp->SetStateOn(true);
    EXPECT_EQ(Pixel(*lamp, 6, 6), qRgb(255, 0, 0));
    EXPECT_EQ(Pixel(*lamp, 0, 0), qRgb(0, 255, 0));
    lamp->SetStateOn(false);
    EXPECT_EQ(Pixel(*lamp, 6, 6), qRgb(0, 0, 255));
    lamp->SetBorderOn(false);
    EXPECT_EQ(Pixel(*lamp, 0, 0), qRgb(0, 0, 255));
    lamp->SetShape(isCircle);
    EXPECT_EQ(lamp->Shape(), isCircle);
    EXPECT_EQ(Pixel(*lamp, 6, 6), qRgb(0, 0, 255));
    lamp->SetShape(static_cast<TIndicatorShape>(7));
    EXPECT_EQ(lamp->Shape(), isCircle);
}

// ---------------------------------------------------------------------------
// Port enumeration

TEST(Enumeration, PresenceFollowsTheDeviceMapAtEveryCall) {
    DeviceMapEnv env;
    env.Map(3, env.FakeDevice("three"));
    env.Map(5, env.FakeDevice("five"));
    struct Row {
        int n;
        bool present;
    } rows[] = {{0, false}, {-1, false}, {256, false}, {1, false},  {3, true},
                {4, false}, {5, true},   {32, false},  {255, false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.n);
        EXPECT_EQ(IsPortPres(r.n), r.present);
    }
    env.Unmap(3);
    EXPECT_FALSE(IsPortPres(3));
    env.Map(12, env.FakeDevice("twelve"));
    EXPECT_TRUE(IsPortPres(12));
}

// ---------------------------------------------------------------------------
// Settings form

// Runs act on the settings form once it is showing (act must close it).
void WithForm(std::function<void(TLNKCOMDlgFrm&)> act) {
    auto* poll = new QTimer;
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* form = qobject_cast<TLNKCOMDlgFrm*>(w);
            if (form != nullptr && form->isVisible()) {
                poll->stop();
                poll->deleteLater();
                act(*form);
                if (form->isVisible())
                    form->reject(); // a failed check must not leave it open
                return;
            }
        }
    });
    poll->start();
}

std::vector<std::string> Items(QComboBox* box) {
    std::vector<std::string> items;
    for (int i = 0; i < box->count(); ++i)
        items.push_back(box->itemText(i).toStdString());
    return items;
}

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        env.Map(3, env.FakeDevice("three"));
        env.Map(5, env.FakeDevice("five"));
    }
    DeviceMapEnv env;
};

TEST_F(DialogTest, ShowsListsTicksAndSelection) {
    TLNKCOMDlg dlg;
    dlg.SetTitle("COM Port Settings");
    dlg.SetPort1(5);
    dlg.SetBaudRate(br19200);
    dlg.SetParity(paMark);
    bool checked = false;
    WithForm([&](TLNKCOMDlgFrm& f) {
        checked = true;
        EXPECT_EQ(f.windowTitle().toStdString(), "COM Port Settings");
        EXPECT_EQ(f.pos(), QPoint(40, 30));
        EXPECT_EQ(f.size(), QSize(209, 143));
        EXPECT_EQ(f.COMSettingsGroupBox->geometry(), QRect(8, 0, 193, 105));
        EXPECT_EQ(f.OKButton->geometry(), QRect(8, 112, 57, 25));
        EXPECT_EQ(f.DefaultsButton->geometry(), QRect(72, 112, 57, 25));
        EXPECT_EQ(f.CancelButton->geometry(), QRect(136, 112, 57, 25));
        EXPECT_EQ(f.OKButton->text().toStdString(), "&OK");
        EXPECT_EQ(f.COMPortLabel->text().toStdString(), "COM Port");
        ASSERT_EQ(f.COMPortComboBoxEx->count(), 32);
        EXPECT_EQ(f.COMPortComboBoxEx->itemText(0).toStdString(), "1");
        EXPECT_EQ(f.COMPortComboBoxEx->itemText(31).toStdString(), "32");
        EXPECT_EQ(f.COMPortComboBoxEx->maxVisibleItems(), 8);
        for (int i = 0; i < 32; ++i) {
            SCOPED_TRACE(i + 1);
            const bool present = i + 1 == 3 || i + 1 == 5;
            EXPECT_EQ(f.COMPortComboBoxEx->itemIcon(i).cacheKey(),
                      f.ImageList[present ? 0 : 1].cacheKey());
        }
        EXPECT_EQ(Items(f.BaudRateComboBox),
                  (std::vector<std::string>{"110", "300", "600", "1200", "2400", "4800", "9600",
                                            "19200", "38400", "57600", "115200"}));
        EXPECT_EQ(Items(f.DataBitsComboBox), (std::vector<std::string>{"5", "6", "7", "8"}));
        EXPECT_EQ(Items(f.ParityComboBox),
                  (std::vector<std::string>{"None", "Odd", "Even", "Mark", "Space"}));
        EXPECT_EQ(Items(f.StopBitsComboBox), (std::vector<std::string>{"1", "1.5", "2"}));
        EXPECT_EQ(f.COMPortComboBoxEx->currentIndex(), 4);
        EXPECT_EQ(f.BaudRateComboBox->currentIndex(), br19200);
        EXPECT_EQ(f.DataBitsComboBox->currentIndex(), db8);
        EXPECT_EQ(f.ParityComboBox->currentIndex(), paMark);
        EXPECT_EQ(f.StopBitsComboBox->currentIndex(), sb1);
        for (QComboBox* box : {static_cast<QComboBox*>(f.COMPortComboBoxEx), f.BaudRateComboBox,
                               f.DataBitsComboBox, f.ParityComboBox, f.StopBitsComboBox})
            EXPECT_TRUE(box->isEnabled());
        EXPECT_EQ(f.OKButton->nextInFocusChain(), f.DefaultsButton);
        f.CancelButtonClick();
    });
    dlg.Execute(40, 30);
    EXPECT_TRUE(checked);
}

TEST_F(DialogTest, PortItemsCarryWhatThePortIsAsTooltip) {
    TLNKCOMDlg dlg;
    dlg.SetPort1(3);
    const std::string three = env.FakeDevice("three");
    const std::string five = env.FakeDevice("five");
    WithForm([&](TLNKCOMDlgFrm& f) {
        auto tip = [&](int port) {
            return f.COMPortComboBoxEx->itemData(port - 1, Qt::ToolTipRole)
                .toString()
                .toStdString();
        };
        EXPECT_EQ(tip(3), three);
        EXPECT_EQ(tip(5), five);
        EXPECT_EQ(tip(1).rfind("not present (", 0), 0u) << tip(1);
        EXPECT_EQ(tip(25), "not present (no device is mapped to this number)");
        // The closed list shows the selected port's text.
        EXPECT_EQ(f.COMPortComboBoxEx->toolTip().toStdString(), three);
        f.COMPortComboBoxEx->setCurrentIndex(4);
        EXPECT_EQ(f.COMPortComboBoxEx->toolTip().toStdString(), five);
        // A port that goes away says so at the next drop-down.
        env.Unmap(5);
        f.COMPortComboBoxEx->showPopup();
        f.COMPortComboBoxEx->hidePopup();
        EXPECT_EQ(tip(5).rfind("not present", 0), 0u) << tip(5);
        f.CancelButtonClick();
    });
    dlg.Execute(0, 0);
}

TEST_F(DialogTest, ListsAtMost32PortsAndFallsBackToPort1) {
    TLNKCOMDlg dlg;
    dlg.SetCOMMax(64);
    dlg.SetPort1(40);
    ASSERT_EQ(dlg.COMMax(), 64);
    ASSERT_EQ(dlg.Port(), 40);
    bool checked = false;
    WithForm([&](TLNKCOMDlgFrm& f) {
        checked = true;
        EXPECT_EQ(f.PortLimit(), 32);
        EXPECT_EQ(f.COMPortComboBoxEx->count(), 32);
        EXPECT_EQ(f.COMPortComboBoxEx->currentIndex(), 0);
        f.OKButtonClick();
    });
    dlg.Execute(0, 0);
    EXPECT_TRUE(checked);
    EXPECT_EQ(dlg.Port(), 1);
}

TEST_F(DialogTest, PortComponentInRunModeListsThirtyTwo) {
    TLNKCOMPort port; // run mode: COMMax stays 32 whatever is asked
    port.SetCOMMax(64);
    EXPECT_EQ(port.COMMax(), 32);
    EXPECT_EQ(port.Port(), 3);
    bool checked = false;
    WithForm([&](TLNKCOMDlgFrm& f) {
        checked = true;
        EXPECT_EQ(f.COMPortComboBoxEx->count(), 32);
        EXPECT_EQ(f.windowTitle().toStdString(), "COM Port Settings");
        EXPECT_TRUE(f.DataBitsComboBox->isEnabled());
        f.COMPortComboBoxEx->setCurrentIndex(4);
        f.BaudRateComboBox->setCurrentIndex(br57600);
        f.OKButtonClick();
    });
    port.COMDlg(0, 0);
    EXPECT_TRUE(checked);
    EXPECT_EQ(port.Port(), 5);
    EXPECT_EQ(port.BaudRate(), br57600);
}

TEST_F(DialogTest, ReadOnlyListsAreDisabledAndWrittenBackUnchanged) {
    TLNKCOMDlg dlg;
    dlg.SetReadOnlyAttribs({roDataBits, roStopBits});
    dlg.SetDataBits(db7);
    dlg.SetStopBits(sb2);
    WithForm([&](TLNKCOMDlgFrm& f) {
        EXPECT_FALSE(f.DataBitsComboBox->isEnabled());
        EXPECT_FALSE(f.StopBitsComboBox->isEnabled());
        EXPECT_TRUE(f.COMPortComboBoxEx->isEnabled());
        EXPECT_TRUE(f.BaudRateComboBox->isEnabled());
        EXPECT_TRUE(f.ParityComboBox->isEnabled());
        EXPECT_EQ(f.DataBitsComboBox->currentText().toStdString(), "7");
        EXPECT_EQ(f.StopBitsComboBox->currentText().toStdString(), "2");
        f.ParityComboBox->setCurrentIndex(paEven);
        f.OKButtonClick();
    });
    dlg.Execute(0, 0);
    EXPECT_EQ(dlg.DataBits(), db7);
    EXPECT_EQ(dlg.StopBits(), sb2);
    EXPECT_EQ(dlg.Parity(), paEven);
}

TEST_F(DialogTest, DefaultsRestoresTheValuesOpenedWith) {
    TLNKCOMDlg dlg;
    dlg.SetPort1(5);
    dlg.SetBaudRate(br2400);
    dlg.SetDataBits(db6);
    dlg.SetReadOnlyAttribs({roStopBits});
    WithForm([&](TLNKCOMDlgFrm& f) {
        f.COMPortComboBoxEx->setCurrentIndex(0);
        f.BaudRateComboBox->setCurrentIndex(br115200);
        f.DataBitsComboBox->setCurrentIndex(db8);
        f.ParityComboBox->setCurrentIndex(paSpace);
        f.StopBitsComboBox->setCurrentIndex(sb1_5); // disabled lists too
        f.DefaultsButton->click();
        EXPECT_EQ(f.StopBitsComboBox->currentIndex(), sb1);
        f.OKButton->click();
    });
    dlg.Execute(0, 0);
    EXPECT_EQ(dlg.Port(), 5);
    EXPECT_EQ(dlg.BaudRate(), br2400);
    EXPECT_EQ(dlg.DataBits(), db6);
    EXPECT_EQ(dlg.Parity(), paNone);
    EXPECT_EQ(dlg.StopBits(), sb1);
}

TEST_F(DialogTest, CancelAndOtherClosesLeaveSettingsUntouched) {
    struct Row {
        const char* how;
        std::function<void(TLNKCOMDlgFrm&)> close;
    } rows[] = {
        {"Cancel button", [](TLNKCOMDlgFrm& f) { f.CancelButton->click(); }},
        {"window closed", [](TLNKCOMDlgFrm& f) { f.close(); }},
        {"Escape", [](TLNKCOMDlgFrm& f) { f.reject(); }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.how);
        TLNKCOMDlg dlg;
        dlg.SetPort1(3);
        WithForm([&](TLNKCOMDlgFrm& f) {
            f.COMPortComboBoxEx->setCurrentIndex(7);
            f.BaudRateComboBox->setCurrentIndex(br300);
            f.DataBitsComboBox->setCurrentIndex(db5);
            f.ParityComboBox->setCurrentIndex(paOdd);
            f.StopBitsComboBox->setCurrentIndex(sb2);
            r.close(f);
        });
        dlg.Execute(0, 0);
        EXPECT_EQ(dlg.Port(), 3);
        EXPECT_EQ(dlg.BaudRate(), br9600);
        EXPECT_EQ(dlg.DataBits(), db8);
        EXPECT_EQ(dlg.Parity(), paNone);
        EXPECT_EQ(dlg.StopBits(), sb1);
    }
}

TEST_F(DialogTest, PortPluggedInGetsItsTickAtTheNextDropDown) {
    TLNKCOMDlg dlg;
    WithForm([&](TLNKCOMDlgFrm& f) {
        const qint64 tick = f.ImageList[0].cacheKey();
        EXPECT_NE(f.COMPortComboBoxEx->itemIcon(6).cacheKey(), tick);
        env.Map(7, env.FakeDevice("seven"));
        env.Unmap(3);
        f.COMPortComboBoxEx->showPopup();
        f.COMPortComboBoxEx->hidePopup();
        EXPECT_EQ(f.COMPortComboBoxEx->itemIcon(6).cacheKey(), tick);
        EXPECT_NE(f.COMPortComboBoxEx->itemIcon(2).cacheKey(), tick);
        f.CancelButtonClick();
    });
    dlg.Execute(0, 0);
}

TEST_F(DialogTest, FormReplacesOutOfRangeValues) {
    int port = 33;
    TBaudRate baud = static_cast<TBaudRate>(11);
    TDataBits data = static_cast<TDataBits>(4);
    TParity parity = static_cast<TParity>(-1);
    TStopBits stop = static_cast<TStopBits>(3);
    TLNKCOMDlgFrm form(0, 0, "t", {}, 0, port, baud, data, parity, stop);
    form.show();
    EXPECT_EQ(form.PortLimit(), 32);
    EXPECT_EQ(form.COMPortComboBoxEx->currentIndex(), 0);
    EXPECT_EQ(form.BaudRateComboBox->currentIndex(), br9600);
    EXPECT_EQ(form.DataBitsComboBox->currentIndex(), db8);
    EXPECT_EQ(form.ParityComboBox->currentIndex(), paNone);
    EXPECT_EQ(form.StopBitsComboBox->currentIndex(), sb1);
    form.reject();
    EXPECT_EQ(port, 33); // untouched without OK
    form.OKButtonClick();
    EXPECT_EQ(port, 1);
    EXPECT_EQ(baud, br9600);
}

TEST(DialogComponent, SetterRules) {
    DeviceMapEnv env;
    TLNKCOMDlg dlg;
    EXPECT_EQ(dlg.COMMax(), 32);
    EXPECT_EQ(dlg.Port(), 1);
    EXPECT_TRUE(dlg.Title().empty());
    EXPECT_TRUE(dlg.ReadOnlyAttribs().Empty());
    struct Step {
        const char* what;
        std::function<void()> act;
        int comMax;
        int port;
    } steps[] = {
        {"port 0 accepted", [&] { dlg.SetPort1(0); }, 32, 0},
        {"port above COMMax", [&] { dlg.SetPort1(33); }, 32, 0},
        {"port negative", [&] { dlg.SetPort1(-1); }, 32, 0},
        {"port 20", [&] { dlg.SetPort1(20); }, 32, 20},
        {"COMMax 0 refused", [&] { dlg.SetCOMMax(0); }, 32, 20},
        {"COMMax 257 refused", [&] { dlg.SetCOMMax(257); }, 32, 20},
        {"COMMax below port moves it", [&] { dlg.SetCOMMax(10); }, 10, 10},
        {"COMMax 256", [&] { dlg.SetCOMMax(256); }, 256, 10},
        {"port 200, no presence check", [&] { dlg.SetPort1(200); }, 256, 200},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        s.act();
        EXPECT_EQ(dlg.COMMax(), s.comMax);
        EXPECT_EQ(dlg.Port(), s.port);
    }
    dlg.SetBaudRate(static_cast<TBaudRate>(12));
    dlg.SetParity(paSpace);
    EXPECT_EQ(dlg.GetBaudRateStr(), "9600");
    EXPECT_EQ(dlg.GetParityStr(), "space");
    EXPECT_EQ(dlg.GetPortStr(), "200");
    EXPECT_EQ(dlg.GetDataBitsStr(), "8");
    EXPECT_EQ(dlg.GetStopBitsStr(), "1");
    EXPECT_GE(dlg.GetCOMDlgWidth(), 209);
    EXPECT_GE(dlg.GetCOMDlgHeight(), 143);
}

TEST(PortDialog, AppliesThroughTheSettersOnAnOpenPort) {
    DeviceMapEnv env;
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    env.Map(7, pty.SlavePath());
    TLNKCOMPort port;
    ReportLog log;
    log.Attach(port);
    port.SetPort1(7);
    ASSERT_TRUE(port.Open());
    log.reps.clear();
    WithForm([&](TLNKCOMDlgFrm& f) {
        EXPECT_EQ(f.COMPortComboBoxEx->currentIndex(), 6);
        f.COMPortComboBoxEx->setCurrentIndex(1);
        f.BaudRateComboBox->setCurrentIndex(br38400);
        f.StopBitsComboBox->setCurrentIndex(sb2);
        f.OKButtonClick();
    });
    port.COMDlg(0, 0);
    EXPECT_TRUE(log.reps.empty()) << log.Dump();
    EXPECT_EQ(port.Port(), 7); // refused while open
    EXPECT_EQ(port.BaudRate(), br38400);
    EXPECT_EQ(port.StopBits(), sb2);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port.GetHandle(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 38400u);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
}

} // namespace
