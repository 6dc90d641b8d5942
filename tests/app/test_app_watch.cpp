// The watch window on the real main window against qxm-sim on a
// pseudo-terminal: opened from its menu item, two readings watched and
// recorded to CSV while the operator's own Get and a Get All go through.
#include "app/Mainfrm.h"
#include "app/StripChart.h"
#include "app/WatchForm.h"
#include "app/link/WatchRun.h"
#include "tests/app/WindowProbe.h"
#include "tests/dialogs/DialogTest.h"
#include "tools/sim/SimClient.h"

#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

using namespace pmv;

namespace {

constexpr int kWait = 20000; // ms; generous, the machine may be busy

std::vector<std::string> Lines(const QString& path) {
    std::ifstream in(QFile::encodeName(path).toStdString());
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

} // namespace

TEST(WatchWindow, WatchesRecordsAndLetsTheOperatorFirst) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string map = dir.filePath("commap").toStdString();
    ::setenv("PMV_COMMAP", map.c_str(), 1);
    qxmsim::TSimProcess sim;
    ASSERT_TRUE(sim.Start(QXM_SIM_PATH, map, 25, {})) << sim.Error();
    TConfigSet set;
    set.ComPort = 25;
    const char* words[] = {"SPD", "ACC", "RUN", "TEMP"};
    const std::int8_t kinds[] = {ctParamGetSet, ctParamGetSet, ctCommand, ctParamGet};
    for (int i = 0; i < 4; ++i) {
        set.CmdTable[i].cmd_type = kinds[i];
        set.CmdTable[i].cmd_str = words[i];
        set.CmdTable[i].val_max = 10000;
        set.CmdTable[i].opts = IncInGetAll | UpdateEditOnGet;
    }
    set.CmdTable[0].cmd_descr = "Speed";
    const QString config = dir.filePath("watch.ini");
    ASSERT_TRUE(SaveConfigFile(QFile::encodeName(config).toStdString(), set).Ok);
    auto form = std::make_unique<TMainForm>();
    ASSERT_TRUE(test::ShowActive(*form));
    form->LoadConfigFromFile(config);
    apptest::Named<QTimer>(*form, "RxTimer")->setInterval(1000); // a busy machine

    apptest::Item(*form, "Watch")->trigger();
    TWatchForm* w = form->WatchWindow();
    ASSERT_TRUE(w && w->isVisible());
    auto* list = apptest::Named<QListWidget>(*w, "WatchSlotList");
    ASSERT_EQ(list->count(), 3); // SPD, ACC, TEMP: the command RUN cannot be read
    w->SetChecked(0, true);
    w->SetChecked(3, true);
    apptest::Named<QSpinBox>(*w, "WatchPeriod")->setValue(100);
    const QString csv = dir.filePath("watch.csv");
    w->AskCsvFile = [&] { return csv; };
    apptest::Named<QPushButton>(*w, "WatchRecordButton")->click();
    apptest::Named<QPushButton>(*w, "WatchStartButton")->click();
    ASSERT_TRUE(form->Watch().Running()) << w->Status().toStdString();

    // The operator's Get and a Get All, while the watch polls.
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Watch().Samples() >= 4; }, kWait));
    apptest::SlotWidgets(*form, 1).get->click();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return apptest::LogLines(*form).contains("ACC = 200"); }, kWait));
    apptest::Item(*form, "GetAllParameters")->trigger();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return apptest::SlotWidgets(*form, 3).edit->text() == QLatin1String("34"); }, kWait));
    const unsigned long seen = form->Watch().Samples();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Watch().Samples() >= seen + 4; }, kWait));
    if (const QString grabs = qEnvironmentVariable("PMV_GRAB_DIR"); !grabs.isEmpty()) {
        QTest::qWait(3000); // a picture with a few seconds of samples (not a test)
        EXPECT_TRUE(w->grab().save(QDir(grabs).filePath(QStringLiteral("watch.png"))));
    }
    apptest::Named<QPushButton>(*w, "WatchStopButton")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->Watch().Running(); }, kWait));

    const QStringList log = apptest::LogLines(*form);
    EXPECT_FALSE(log.contains("COM is busy"));
    EXPECT_EQ(log.filter("Speed").size(), 1) << log.join('\n').toStdString(); // Get All's only
    // The chart's series: one per watched slot, a point or a gap per sample.
    ASSERT_EQ(w->Series().SeriesCount(), 2);
    EXPECT_GE(w->Series().SampleCount(0) + w->Series().SampleCount(1), 8u);
    if (const QString grabs = qEnvironmentVariable("PMV_GRAB_DIR"); !grabs.isEmpty()) {
        QString error;
        EXPECT_TRUE(
            w->Chart()->SavePng(QDir(grabs).filePath(QStringLiteral("watch_chart.png")), &error))
            << error.toStdString();
    }
    auto* table = apptest::Named<QTableWidget>(*w, "WatchTable");
    ASSERT_EQ(table->rowCount(), 2);
    EXPECT_EQ(table->item(0, 2)->text(), "1500");
    EXPECT_EQ(table->item(1, 2)->text(), "34");

    const std::vector<std::string> rows = Lines(csv);
    ASSERT_EQ(rows.size(), form->Watch().Samples() + 1);
    EXPECT_EQ(rows[0], "time,slot,command,value,status\r");
    const std::regex row(
        R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d,(1,SPD,1500,(ok|late)|4,TEMP,34,(ok|late)|(1,SPD|4,TEMP),,timed out)\r)");
    for (std::size_t i = 1; i < rows.size(); ++i)
        EXPECT_TRUE(std::regex_match(rows[i], row)) << rows[i];
    form.reset();
    EXPECT_EQ(sim.Stop(), 0);
    ::unsetenv("PMV_COMMAP");
}
