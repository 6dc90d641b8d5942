// The comparison window on the real main window against qxm-sim on a
// pseudo-terminal: Compare with Target, keyboard ticks, Send Selected, the
// snapshots before Send Selected and Set All, Compare with File and Take Values.
#include "app/CompareForm.h"
#include "app/Mainfrm.h"
#include "app/link/CompareRun.h"
#include "tests/app/WindowProbe.h"
#include "tests/dialogs/DialogTest.h"
#include "tools/sim/SimClient.h"
#include "tools/sim/SimTarget.h"

#include <QAccessible>
#include <QDir>
#include <QFile>
#include <QRadioButton>
#include <QScreen>
#include <QTableView>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

using namespace pmv;

namespace {

constexpr int kWait = 20000; // ms; generous, the machine may be busy

class CompareTest : public ::testing::Test {
protected:
    // The simulator with these options, the window with a configuration
    // file loaded and the port open.
    void Start(std::vector<std::string> simArgs) {
        ASSERT_TRUE(m_dir.isValid());
        const std::string map = m_dir.filePath("commap").toStdString();
        ::setenv("PMV_COMMAP", map.c_str(), 1);
        m_simLog = m_dir.filePath("sim.log").toStdString();
        simArgs.insert(simArgs.end(), {"--log", m_simLog});
        ASSERT_TRUE(m_sim.Start(QXM_SIM_PATH, map, 25, simArgs)) << m_sim.Error();
        // In the simulator: SPD 1500, ACC 200, DEC 200, KP 120, TEMP 34.
        TConfigSet set;
        set.ComPort = 25;
        const char* words[] = {"SPD", "ACC", "DEC", "KP", "TLIM", "KD", "TEMP"};
        const int values[] = {1500, 300, 200, 150, 80, 0, 34};
        for (int i = 0; i < 7; ++i) {
            TCmdRecord& r = set.CmdTable[i];
            r.cmd_type = i == 6 ? ctParamGet : ctParamGetSet;
            r.cmd_str = words[i];
            r.val_start = values[i];
            r.val_max = 10000;
            r.opts = IncInGetAll | IncInSetAll | UpdateEditOnGet;
        }
        m_config = m_dir.filePath("bench.ini");
        ASSERT_TRUE(SaveConfigFile(QFile::encodeName(m_config).toStdString(), set).Ok);
        form = std::make_unique<TMainForm>();
        ASSERT_TRUE(test::ShowActive(*form));
        form->LoadConfigFromFile(m_config);
        ASSERT_EQ(apptest::StatusText(*form, 0), "COM25: 9600 8 none 1");
        apptest::Named<QTimer>(*form, "RxTimer")->setInterval(1000); // a busy machine
    }
    void TearDown() override {
        form.reset();
        if (m_sim.Pid() > 0) {
            EXPECT_EQ(m_sim.Stop(), 0);
        }
        ::unsetenv("PMV_COMMAP");
    }

    TCompareForm* Window() const { return form->CompareWindow(); }
    template <class T> T* Part(const char* name) const {
        return apptest::Named<T>(*Window(), name);
    }
    // Every frame sent has had its reply or its time-out (status panels 2, 4, 6).
    bool WaitIdle() {
        auto n = [&](int panel) { return apptest::StatusText(*form, panel).toInt(); };
        return QTest::qWaitFor([&] { return n(4) + n(6) >= n(2); }, kWait);
    }
    bool WaitRun() {
        return QTest::qWaitFor([&] { return !form->CompareRun().Running(); }, kWait);
    }
    std::string Status(const char* word) const {
        for (const TCompareRow& r : form->Comparison().Rows())
            if (form->Slot(r.slot).cmd_str == word)
                return CompareStatusText(r.status) + (r.other ? " " + *r.other : std::string());
        return "no row";
    }
    std::vector<std::string> SimFramesFrom(std::size_t first) const {
        std::ifstream in(m_simLog);
        std::vector<std::string> frames;
        for (std::string line; std::getline(in, line);)
            if (line.rfind("rx ", 0) == 0)
                frames.push_back(line.substr(3));
        return {frames.begin() + long(std::min(first, frames.size())), frames.end()};
    }
    QString SnapshotFolder() const { return m_dir.filePath("snapshots"); }
    // The window, and on a real display (xvfb-run) the whole screen, when
    // PMV_GRAB_DIR names a folder.
    static void SaveGrab(QWidget* w, const char* name) {
        const QString dir = qEnvironmentVariable("PMV_GRAB_DIR");
        if (dir.isEmpty())
            return;
        EXPECT_TRUE(w->grab().save(QDir(dir).filePath(QLatin1String(name))));
        if (QGuiApplication::platformName() == QLatin1String("xcb")) {
            EXPECT_TRUE(QTest::qWaitForWindowExposed(w));
            QGuiApplication::primaryScreen()->grabWindow(0).save(
                QDir(dir).filePath(QLatin1String("screen_") + QLatin1String(name)));
        }
    }

    std::unique_ptr<TMainForm> form;
    QString m_config;

private:
    QTemporaryDir m_dir;
    qxmsim::TSimProcess m_sim;
    std::string m_simLog;
};

} // namespace

TEST_F(CompareTest, DifferencesFoundTickedFromTheKeyboardAndSent) {
    ASSERT_NO_FATAL_FAILURE(Start({"--silent", "TLIM", "--late", "KD:1500"}));
    apptest::Item(*form, "CompareWithTarget")->trigger();
    ASSERT_TRUE(Window() && WaitRun());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Status("KD") == "late 0"; }, kWait));
    const struct {
        const char* word;
        const char* status;
    } rows[] = {{"SPD", "same 1500"},  {"ACC", "differs 200"}, {"DEC", "same 200"},
                {"KP", "differs 120"}, {"TLIM", "timed out"},  {"KD", "late 0"},
                {"TEMP", "same 34"}};
    for (const auto& row : rows)
        EXPECT_EQ(Status(row.word), row.status) << row.word;
    EXPECT_EQ(Part<QLabel>("CompareSummary")->text(),
              "7 compared: 3 same, 2 differ, 1 timed out, 1 late");
    EXPECT_EQ(apptest::SlotWidgets(*form, 1).edit->text(), "300"); // not into the slots
    EXPECT_FALSE(form->IsConfigModified());

    // Differences only, then ACC and KP ticked with the keyboard.
    Part<QRadioButton>("DifferencesOnlyRadio")->click();
    auto* table = Part<QTableView>("CompareTable");
    ASSERT_EQ(table->model()->rowCount(), 4);
    table->setFocus();
    QTest::keyClick(table, Qt::Key_Home);
    QTest::keyClick(table, Qt::Key_Space);
    QTest::keyClick(table, Qt::Key_Down);
    QTest::keyClick(table, Qt::Key_Space);
    QAccessibleInterface* cell =
        QAccessible::queryAccessibleInterface(table)->tableInterface()->cellAt(1, 0);
    ASSERT_TRUE(cell);
    EXPECT_EQ(cell->text(QAccessible::Name), "4 (Cmds 1)");
    EXPECT_TRUE(cell->state().checked);
    EXPECT_EQ(cell->text(QAccessible::Description), "KP: file 150, target 120, differs, ticked");
    SaveGrab(Window(), "compare_differences.png");

    const std::size_t sent = SimFramesFrom(0).size();
    QTest::keyClick(Part<QPushButton>("SendSelectedButton"), Qt::Key_Space);
    ASSERT_TRUE(WaitRun());
    EXPECT_EQ(SimFramesFrom(sent),
              (std::vector<std::string>{"QXACC = 300\\r", "QXACC\\r", "QXKP = 150\\r", "QXKP\\r"}));
    EXPECT_EQ(Status("ACC"), "same 300");
    EXPECT_EQ(Status("KP"), "same 150");
    SaveGrab(Window(), "compare_after_send.png");

    // The snapshot came first, with the values the target held.
    const QStringList snapshots = QDir(SnapshotFolder()).entryList(QDir::Files);
    ASSERT_EQ(snapshots.size(), 1);
    EXPECT_TRUE(snapshots[0].endsWith("_COM25.ini"));
    const QString where = QDir(SnapshotFolder()).filePath(snapshots[0]);
    EXPECT_TRUE(apptest::LogLines(*form).contains(
        QStringLiteral("Snapshot of the target written to \"%1\" (1 value left out)").arg(where)));
    const TConfigLoadResult snap = LoadConfigFile(QFile::encodeName(where).toStdString());
    ASSERT_EQ(snap.Status, TConfigLoadStatus::Ok) << snap.Message;
    EXPECT_EQ(snap.Set.CmdTable[1].val_start, 200);
    EXPECT_FALSE(snap.Set.CmdTable[4].has(IncInSetAll)); // TLIM: not read

    // Compare with the snapshot, and take its value of ACC back into the slots.
    TMainFormDialogs dialogs;
    QString startedIn;
    dialogs.OpenCompareFile = [&](const QString& folder) {
        startedIn = folder;
        return where;
    };
    form->SetDialogs(dialogs);
    apptest::Item(*form, "CompareWithFile")->trigger();
    EXPECT_EQ(startedIn, SnapshotFolder());
    EXPECT_EQ(Status("ACC"), "differs 200");
    EXPECT_EQ(Status("TLIM"), "same 80"); // kept the file's value
    Part<QPushButton>("TickDifferencesButton")->click();
    Part<QPushButton>("TakeValuesButton")->click();
    EXPECT_EQ(form->Slot(1).val_start, 200);
    EXPECT_EQ(apptest::SlotWidgets(*form, 1).edit->text(), "200");
    EXPECT_TRUE(form->IsConfigModified());
    EXPECT_FALSE(Part<QPushButton>("SendSelectedButton")->isEnabled()); // no target here

    // Another configuration: the comparison of the old one is gone.
    form->LoadConfigFromFile(where);
    EXPECT_EQ(Part<QTableView>("CompareTable")->model()->rowCount(), 0);
    EXPECT_FALSE(Part<QPushButton>("TakeValuesButton")->isEnabled());
}

TEST_F(CompareTest, SetAllReadsASnapshotFirstAndStopsWithoutOne) {
    ASSERT_NO_FATAL_FAILURE(Start({}));
    const std::size_t before = SimFramesFrom(0).size();
    apptest::Item(*form, "SetAllParameters")->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return SimFramesFrom(before).size() == 7 + 6; }, kWait));
    ASSERT_TRUE(WaitIdle());
    const std::vector<std::string> frames = SimFramesFrom(before);
    EXPECT_EQ(frames[0], "QXSPD\\r");        // Get All's reads first ...
    EXPECT_EQ(frames[7], "QXSPD = 1500\\r"); // ... then Set All
    EXPECT_EQ(QDir(SnapshotFolder()).entryList(QDir::Files).size(), 1);

    // A snapshot that cannot be written: nothing is sent.
    QDir(SnapshotFolder()).removeRecursively();
    QFile blocker(SnapshotFolder());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const std::size_t second = SimFramesFrom(0).size();
    apptest::Item(*form, "SetAllParameters")->trigger();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return apptest::LogLines(*form).last().startsWith("ERROR: - snapshot"); }, kWait));
    EXPECT_EQ(
        apptest::LogLines(*form).last(),
        QStringLiteral("ERROR: - snapshot not written (Cannot create folder %1): nothing sent")
            .arg(SnapshotFolder()));
    EXPECT_EQ(SimFramesFrom(second).size(), 7u); // the reads, no Set
}
