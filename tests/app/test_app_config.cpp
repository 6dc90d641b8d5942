// The configuration operations on the real window: load, save, delete-all,
// the close query and the parameter defaults. Ports are real
// pseudo-terminals mapped to COM numbers through a private device map.
#include "app/FormWidgets.h"
#include "app/Mainfrm.h"
#include "comport/Lnkcomdlg.h"
#include "config/ConfigFile.h"
#include "config/ConfigState.h"
#include "config/ParamDefaults.h"
#include "tests/comport/PtyFixture.h"

#include "tests/app/BoxWatcher.h"
#include "tests/app/WindowProbe.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTimer>

#include <gtest/gtest.h>

#include <deque>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

using namespace pmv;
using comporttest::DeviceMapEnv;
using comporttest::WaitUntil;

namespace {

// A pseudo-terminal whose slave side the port opens; the master side tells
// the line settings the port gave the device.
class TPty {
public:
    TPty() {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        char name[128] = {};
        if (m_master >= 0 && ::grantpt(m_master) == 0 && ::unlockpt(m_master) == 0 &&
            ::ptsname_r(m_master, name, sizeof name) == 0)
            m_slave = name;
    }
    ~TPty() {
        if (m_master >= 0)
            ::close(m_master);
    }
    TPty(const TPty&) = delete;
    TPty& operator=(const TPty&) = delete;

    bool Ok() const { return m_master >= 0 && !m_slave.empty(); }
    const std::string& SlavePath() const { return m_slave; }

    // "8N1" and the like, and the output speed.
    std::string LineSettings(speed_t& speed) const {
        termios t{};
        if (::tcgetattr(m_master, &t) != 0)
            return "tcgetattr failed";
        speed = ::cfgetospeed(&t);
        std::string s;
        s += (t.c_cflag & CSIZE) == CS8 ? "8" : (t.c_cflag & CSIZE) == CS7 ? "7" : "?";
        s += !(t.c_cflag & PARENB) ? "N" : (t.c_cflag & PARODD) ? "O" : "E";
        s += (t.c_cflag & CSTOPB) ? "2" : "1";
        return s;
    }

private:
    int m_master = -1;
    std::string m_slave;
};

const QString kExamplePath = QStringLiteral(PMV_EXAMPLES_DIR "/qxm300-pump.ini");
const char* const kExampleLoadedLine =
    "192 commands loaded from configuration file \"qxm300-pump.ini\"";
const char* const kExampleTitleLine = "Title: \"QXM300 pump station\"";
const char* const kCreateNew = "Create New Configuration File?";

std::string ReadBytes(const QString& path) {
    std::ifstream in(QFile::encodeName(path).toStdString(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool WriteBytes(const QString& path, const std::string& bytes) {
    std::ofstream out(QFile::encodeName(path).toStdString(), std::ios::binary | std::ios::trunc);
    out << bytes;
    return bool(out);
}

// The example with line `line` (0-based) replaced; the line count given as
// `keep` cuts the file after that many lines.
std::string ExampleWith(int line, const std::string& text, int keep = -1) {
    const std::string bytes = ReadBytes(kExamplePath);
    std::string out;
    std::size_t pos = 0;
    for (int n = 0; pos < bytes.size(); ++n) {
        const std::size_t end = bytes.find("\r\n", pos);
        const std::string current = bytes.substr(pos, end - pos);
        pos = end == std::string::npos ? bytes.size() : end + 2;
        if (keep >= 0 && n >= keep)
            break;
        out += (n == line ? text : current) + "\r\n";
    }
    return out;
}

class ConfigWindowTest : public ::testing::Test {
public: // the table rows of the tests reach in through a reference
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        form = std::make_unique<TMainForm>();
        dialogs.Warning = [this](const QString& text, int buttons) {
            questions.append(text);
            questionButtons.append(buttons);
            if (warningAnswers.empty()) {
                ADD_FAILURE() << "unexpected question: " << text.toStdString();
                return int(QMessageBox::Cancel);
            }
            const int a = warningAnswers.front();
            warningAnswers.pop_front();
            return a;
        };
        dialogs.OpenConfigFile = [this] {
            ++openDialogs;
            return openAnswer;
        };
        dialogs.SaveConfigFile = [this](const QString& fileName) {
            saveDialogNames.append(fileName);
            return saveAnswer;
        };
        form->SetDialogs(dialogs);
    }

    void TearDown() override {
        form.reset();
        QCoreApplication::processEvents();
    }

    void Show() {
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get(), pmvtest::Scaled(pmvtest::kWaitMs)));
    }

    void ForgetQuestions() {
        questions.clear();
        questionButtons.clear();
    }

    QString TempPath(const QString& name) const { return m_dir.filePath(name); }

    // A copy of the example in the temporary folder, safe to overwrite.
    QString ExampleCopy(const QString& name = QStringLiteral("pump.ini")) {
        const QString path = TempPath(name);
        EXPECT_TRUE(WriteBytes(path, ReadBytes(kExamplePath)));
        return path;
    }

    // "&Load Config" as the operator runs it, with path chosen in the dialog.
    void Load(const QString& path) {
        openAnswer = path;
        Item("LoadConfig")->trigger();
    }

    QStringList LogLines() const { return apptest::LogLines(*form); }
    QAction* Item(const char* name) const { return apptest::Item(*form, name); }
    TSlotPanel* Panel() const { return apptest::Panel(*form); }
    QString StatusText(int i) const { return apptest::StatusText(*form, i); }

    TCmdRecord Define(int index, std::int8_t kind, const char* cmd, std::int32_t start = 0,
                      const char* str = "") {
        TCmdRecord r;
        r.cmd_type = kind;
        r.cmd_str = cmd;
        r.val_start = start;
        r.str = str;
        form->SetSlot(index, r);
        return r;
    }
    // Changes one field of a slot's record as the command editor would.
    void Change(int index, const std::function<void(TCmdRecord&)>& change) {
        TCmdRecord r = form->Slot(index);
        change(r);
        form->SetSlot(index, r);
    }

    QLineEdit* EditOf(int index) const { return apptest::SlotWidgets(*form, index).edit; }

    // Everything a failed operation must leave alone. The snapshot shows in
    // whether the close query would find a change.
    struct TState {
        TConfigSet config;
        QString fileName;
        bool modified;
        QString caption;
        std::array<QString, TStatusLine::kPanelCount> panels;
        int page;
    };

    TState State() const {
        TState s;
        s.config = form->Config();
        s.fileName = form->FileName();
        s.modified = form->IsConfigModified();
        s.caption = form->windowTitle();
        for (int i = 0; i < TStatusLine::kPanelCount; ++i)
            s.panels[i] = StatusText(i);
        s.page = Panel()->currentIndex();
        return s;
    }

    void ExpectSameState(const TState& a, const TState& b) {
        EXPECT_TRUE(a.config.CmdTable == b.config.CmdTable);
        EXPECT_EQ(a.config.Title, b.config.Title);
        EXPECT_EQ(a.config.PageCaptions, b.config.PageCaptions);
        EXPECT_EQ(a.config.ComPort, b.config.ComPort);
        EXPECT_EQ(a.config.BaudRate, b.config.BaudRate);
        EXPECT_EQ(a.config.DataBits, b.config.DataBits);
        EXPECT_EQ(a.config.Parity, b.config.Parity);
        EXPECT_EQ(a.config.StopBits, b.config.StopBits);
        EXPECT_EQ(a.fileName, b.fileName);
        EXPECT_EQ(a.modified, b.modified);
        EXPECT_EQ(a.caption, b.caption);
        EXPECT_EQ(a.panels, b.panels);
        EXPECT_EQ(a.page, b.page);
    }

    // Some state that a load replaces: a defined slot, a title, a renamed
    // page, log lines, counts and another page in front.
    void MessUp() {
        Define(3, ctParamSet, "OLD", 5);
        apptest::SetTitle(*form, "old title");
        apptest::RenamePage(*form, 2, "Old page");
        form->findChild<TLogView*>()->AppendLine(QStringLiteral("old line 1"));
        form->findChild<TLogView*>()->AppendLine(QStringLiteral("old line 2"));
        for (int panel : {2, 4, 6})
            apptest::StatusPanel(*form, panel)->setText(QStringLiteral("3"));
        Panel()->setCurrentIndex(5);
    }

    // What a successful load of the example leaves, apart from the port.
    void ExpectExampleLoaded(const QString& path) {
        const TConfigLoadResult file =
            LoadConfigFile(QFile::encodeName(kExamplePath).toStdString());
        ASSERT_EQ(file.Status, TConfigLoadStatus::Ok);
        const TConfigSet now = form->Config();
        EXPECT_EQ(Panel()->currentIndex(), 0);
        EXPECT_EQ(form->FileName(), path);
        EXPECT_EQ(now.Title, "QXM300 pump station");
        EXPECT_EQ(now.PageCaptions, file.Set.PageCaptions);
        EXPECT_TRUE(now.CmdTable == file.Set.CmdTable);
        EXPECT_EQ(now.ComPort, 25);
        EXPECT_EQ(now.BaudRate, QORLNK::br9600);
        EXPECT_EQ(now.Parity, QORLNK::paNone);
        // Every slot shows its new record: the old slot 3 is gone.
        for (int i = 0; i < kSlotCount; ++i) {
            const TCmdRecord& r = file.Set.CmdTable[i];
            const QString caption =
                QString::fromLatin1(r.cmd_descr.empty() ? r.cmd_str : r.cmd_descr);
            EXPECT_EQ(apptest::SlotWidgets(*form, i).box->title(),
                      r.defined() ? caption : QString())
                << i;
            EXPECT_EQ(EditOf(i)->text().toStdString(),
                      r.defined() ? SlotDefaultEditText(r) : std::string())
                << i;
        }
        EXPECT_EQ(form->windowTitle(), "QXM300 Controller Host V1.8: \"QXM300 pump station\"");
        EXPECT_EQ(StatusText(7), QFileInfo(path).fileName());
        for (int panel : {2, 4, 6})
            EXPECT_EQ(StatusText(panel), "0") << panel;
        // The snapshot is the file's.
        EXPECT_FALSE(form->IsConfigModified());
    }

    std::unique_ptr<TMainForm> form;
    TMainFormDialogs dialogs; // answers of the questions and file dialogs
    DeviceMapEnv devices;     // only the ports a test maps are present
    QStringList questions;
    QList<int> questionButtons;
    std::deque<int> warningAnswers;
    QString openAnswer;
    int openDialogs = 0;
    QString saveAnswer;
    QStringList saveDialogNames;

private:
    QTemporaryDir m_dir;
};

// ---- Load -----------------------------------------------------------------------------

TEST_F(ConfigWindowTest, LoadPutsTheFileIntoEffectAndOpensItsPort) {
    TPty pty;
    ASSERT_TRUE(pty.Ok());
    devices.Map(25, pty.SlavePath());
    Show();
    MessUp();

    Load(kExamplePath);

    EXPECT_EQ(openDialogs, 1);
    ExpectExampleLoaded(kExamplePath);
    EXPECT_EQ(LogLines(), QStringList({kExampleLoadedLine, kExampleTitleLine}));
    EXPECT_EQ(form->Config().ComPort, 25);
    EXPECT_EQ(StatusText(0), "COM25: 9600 8 none 1"); // open
    EXPECT_TRUE(questions.isEmpty());
}

// The failure line as always, then which device and why.
TEST_F(ConfigWindowTest, LoadWithAPortThatWillNotOpenKeepsTheConfigurationAndSaysWhy) {
    TPty pty;
    ASSERT_TRUE(pty.Ok());
    apptest::THolder holder;
    Show();
    MessUp();
    Load(kExamplePath);
    ExpectExampleLoaded(kExamplePath);
    EXPECT_EQ(StatusText(0), "COM Closed");
    EXPECT_EQ(LogLines(),
              QStringList({kExampleLoadedLine, kExampleTitleLine, "ERROR: - unable to open COM25",
                           "COM25: not present (no device is mapped to this number)"}));

    // Another program without a lock has the device open.
    devices.Map(25, pty.SlavePath());
    ASSERT_TRUE(holder.Start(pty.SlavePath()));
    Load(kExamplePath);
    EXPECT_EQ(StatusText(0), "COM Closed");
    EXPECT_EQ(LogLines(),
              QStringList({kExampleLoadedLine, kExampleTitleLine, "ERROR: - unable to open COM25",
                           QStringLiteral("COM25 (%1): in use by sleep (pid %2)")
                               .arg(QString::fromStdString(pty.SlavePath()))
                               .arg(holder.Pid())}));
}

TEST_F(ConfigWindowTest, LoadWhileOpenWithOtherSettingsReopensWithTheFileSettings) {
    TPty before, after;
    ASSERT_TRUE(before.Ok() && after.Ok());
    devices.Map(3, before.SlavePath());
    devices.Map(25, after.SlavePath());
    // Open on COM3 with other line settings, as another file gave them.
    TConfigSet other;
    other.ComPort = 3;
    other.BaudRate = QORLNK::br19200;
    other.DataBits = QORLNK::db7;
    other.Parity = QORLNK::paEven;
    other.StopBits = QORLNK::sb2;
    const QString otherPath = TempPath(QStringLiteral("other.ini"));
    ASSERT_TRUE(SaveConfigFile(QFile::encodeName(otherPath).toStdString(), other).Ok);
    Load(otherPath);
    ASSERT_EQ(StatusText(0), "COM3: 19200 7 even 2");

    Load(kExamplePath);

    const TConfigSet now = form->Config();
    EXPECT_EQ(now.ComPort, 25); // a new number is only taken while closed
    EXPECT_EQ(now.BaudRate, QORLNK::br9600);
    EXPECT_EQ(now.DataBits, QORLNK::db8);
    EXPECT_EQ(now.Parity, QORLNK::paNone);
    EXPECT_EQ(now.StopBits, QORLNK::sb1);
    EXPECT_EQ(StatusText(0), "COM25: 9600 8 none 1"); // open
    // The device itself runs with the file's line settings.
    speed_t speed = 0;
    EXPECT_EQ(after.LineSettings(speed), "8N1");
    EXPECT_EQ(speed, speed_t(B9600));
    EXPECT_FALSE(form->IsConfigModified());
}

TEST_F(ConfigWindowTest, FailedLoadChangesNothingButOneLogLine) {
    struct Row {
        const char* name;
        std::string bytes;
        const char* message;
    } rows[] = {
        {"short", ExampleWith(-1, "", 2000),
         "ERROR: - invalid confguration file size, got 2000 lines, expected 2134"},
        {"version", ExampleWith(3, "vers_minor: 9"),
         "ERROR: - invalid configuration file version, got V1.9, expected V1.8"},
        {"baud", ExampleWith(6, "baud_rate: 300"), "ERROR: - invalid baud_rate: field"},
        {"opts", ExampleWith(31, "opts: 32"),
         "ERROR: - invalid opts field in command #0 (line #31)"},
        {"last block", ExampleWith(2133, " "), "ERROR: - line not blank (line #2133)"},
    };
    Show();
    MessUp();
    // Saved: a file name, and a snapshot that a failed load must keep.
    saveAnswer = TempPath(QStringLiteral("earlier.ini"));
    Item("SaveConfig")->trigger();
    ASSERT_EQ(form->FileName(), saveAnswer);
    ASSERT_FALSE(form->IsConfigModified());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString path = TempPath(QStringLiteral("bad-%1.ini").arg(row.name));
        ASSERT_TRUE(WriteBytes(path, row.bytes));
        const TState before = State();
        const QStringList lines = LogLines();

        TBoxWatcher boxes;
        Load(path);

        ExpectSameState(State(), before);
        EXPECT_EQ(LogLines(), lines + QStringList{row.message});
        EXPECT_TRUE(boxes.seen.isEmpty());
        apptest::Memo(*form)->clear();
        apptest::Memo(*form)->appendPlainText(QStringLiteral("old line"));
    }
}

TEST_F(ConfigWindowTest, FileThatCannotBeOpenedShowsTheErrorBoxAndChangesNothing) {
    QDir(TempPath(QString())).mkdir(QStringLiteral("folder.ini"));
    const QString rows[] = {TempPath(QStringLiteral("folder.ini")),
                            TempPath(QStringLiteral("gone.ini"))};
    Show();
    MessUp();
    for (const QString& path : rows) {
        SCOPED_TRACE(path.toStdString());
        const TState before = State();
        const QStringList lines = LogLines();
        TBoxWatcher boxes;
        Load(path);
        ASSERT_TRUE(WaitUntil([&] { return !boxes.seen.isEmpty(); }));
        EXPECT_EQ(boxes.Texts(QMessageBox::Critical), QStringList{"Cannot open file " + path});
        ExpectSameState(State(), before);
        EXPECT_EQ(LogLines(), lines);
    }
}

TEST_F(ConfigWindowTest, CancelledOpenDialogChangesNothing) {
    Show();
    MessUp();
    const TState before = State();
    const QStringList lines = LogLines();
    Load(QString());
    EXPECT_EQ(openDialogs, 1);
    ExpectSameState(State(), before);
    EXPECT_EQ(LogLines(), lines);
}

// ---- Save -----------------------------------------------------------------------------

TEST_F(ConfigWindowTest, SaveAfterLoadRewritesTheLoadedFileWithoutDialog) {
    const QString path = ExampleCopy();
    Show();
    Load(path);
    apptest::SetTitle(*form, "Changed");
    apptest::RenamePage(*form, 1, "Pumps");
    Change(0, [](TCmdRecord& r) { r.val_start = 77; });
    apptest::ChangePortSettings(
        *form, [](QORLNK::TLNKCOMDlgFrm& f) { apptest::Choose(f.BaudRateComboBox, "19200"); });
    ASSERT_TRUE(form->IsConfigModified());
    const QStringList lines = LogLines();
    const QString caption = form->windowTitle();

    Item("SaveConfig")->trigger();

    EXPECT_TRUE(saveDialogNames.isEmpty());
    const TConfigLoadResult back = LoadConfigFile(QFile::encodeName(path).toStdString());
    ASSERT_EQ(back.Status, TConfigLoadStatus::Ok) << back.Message;
    EXPECT_EQ(back.Set.Title, "Changed");
    EXPECT_EQ(back.Set.PageCaptions[1], "Pumps");
    EXPECT_EQ(back.Set.CmdTable[0].val_start, 77);
    EXPECT_EQ(back.Set.ComPort, 25);
    EXPECT_EQ(back.Set.BaudRate, QORLNK::br19200);
    EXPECT_TRUE(back.Set.CmdTable == form->Config().CmdTable);
    EXPECT_FALSE(form->IsConfigModified());
    EXPECT_EQ(form->FileName(), path);
    EXPECT_EQ(StatusText(7), "pump.ini");
    // No log line, and the caption stays.
    EXPECT_EQ(LogLines(), lines);
    EXPECT_EQ(form->windowTitle(), caption);
}

// A file an editor saved as UTF-8 shows its characters, not their bytes,
// and is saved back as it came.
TEST_F(ConfigWindowTest, Utf8FileShowsItsTextsAndIsSavedAsUtf8) {
    const QString path = TempPath(QStringLiteral("utf8.ini"));
    const std::string bytes = ExampleWith(11, "title: K\xC3\xBChlk\xC3\xB6rper");
    ASSERT_TRUE(WriteBytes(path, bytes));
    Show();
    Load(path);
    EXPECT_EQ(LogLines().value(1), QString::fromUtf8("Title: \"K\u00FChlk\u00F6rper\""));
    EXPECT_TRUE(form->windowTitle().endsWith(QString::fromUtf8("\"K\u00FChlk\u00F6rper\"")));
    Item("SaveConfig")->trigger();
    EXPECT_EQ(ReadBytes(path), bytes);
}

// Another program changed the file since the window loaded it: Save asks
// before it overwrites that; No leaves the other program's file as it is.
TEST_F(ConfigWindowTest, SaveOverAFileChangedOnDiskAsksFirst) {
    const QString path = ExampleCopy();
    Show();
    Load(path);
    apptest::SetTitle(*form, "Mine");
    ASSERT_EQ(
        QProcess::execute(QStringLiteral("/bin/sh"),
                          {QStringLiteral("-c"), QStringLiteral("echo theirs >> \"$0\""), path}),
        0);
    const std::string theirs = ReadBytes(path);
    const QString question =
        QStringLiteral("pump.ini has been changed on disk since it was loaded or saved.\n"
                       "Overwrite it?");

    warningAnswers = {QMessageBox::No};
    EXPECT_FALSE(form->SaveConfigFile());
    EXPECT_EQ(questions, QStringList{question});
    EXPECT_EQ(ReadBytes(path), theirs);
    EXPECT_TRUE(form->IsConfigModified());

    warningAnswers = {QMessageBox::Yes};
    EXPECT_TRUE(form->SaveConfigFile());
    EXPECT_EQ(LoadConfigFile(QFile::encodeName(path).toStdString()).Set.Title, "Mine");
    // The window's own save is what is on disk now: no question.
    ForgetQuestions();
    apptest::SetTitle(*form, "Mine again");
    EXPECT_TRUE(form->SaveConfigFile());
    EXPECT_TRUE(questions.isEmpty());
}

TEST_F(ConfigWindowTest, FirstSaveAsksForANameAndKeepsIt) {
    Show();
    Define(0, ctCommand, "RUN");
    const QString path = TempPath(QStringLiteral("new.ini"));

    saveAnswer = QString(); // cancelled: nothing written, nothing changes
    Item("SaveConfig")->trigger();
    EXPECT_EQ(saveDialogNames, QStringList{QString()});
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_TRUE(form->FileName().isEmpty());
    EXPECT_TRUE(form->IsConfigModified());
    EXPECT_EQ(StatusText(7), "");

    saveAnswer = path;
    Item("SaveConfig")->trigger();
    EXPECT_EQ(saveDialogNames.size(), 2);
    EXPECT_EQ(form->FileName(), path);
    EXPECT_EQ(StatusText(7), "new.ini");
    EXPECT_FALSE(form->IsConfigModified());
    const std::string bytes = ReadBytes(path);
    TConfigSet expected;
    expected.CmdTable = form->Config().CmdTable;
    EXPECT_EQ(bytes, WriteConfig(expected));
    EXPECT_TRUE(LogLines().isEmpty());

    // From now on the same file, without a dialog.
    Change(0, [](TCmdRecord& r) { r.cmd_descr = "Run"; });
    Item("SaveConfig")->trigger();
    EXPECT_EQ(saveDialogNames.size(), 2);
    EXPECT_EQ(LoadConfigFile(QFile::encodeName(path).toStdString()).Set.CmdTable[0].cmd_descr,
              "Run");
}

TEST_F(ConfigWindowTest, FailedSaveShowsTheErrorBoxAndKeepsTheChangesUnsaved) {
    Show();
    apptest::SetTitle(*form, "unsaved");
    const QString path = TempPath(QStringLiteral("missing/new.ini"));
    saveAnswer = path;
    TBoxWatcher boxes;

    Item("SaveConfig")->trigger();

    ASSERT_TRUE(WaitUntil([&] { return !boxes.seen.isEmpty(); }));
    EXPECT_EQ(boxes.Texts(QMessageBox::Critical), QStringList{"Cannot create file " + path});
    EXPECT_TRUE(form->IsConfigModified());
    EXPECT_TRUE(form->FileName().isEmpty()); // the next save asks again
    EXPECT_EQ(StatusText(7), "");
    EXPECT_TRUE(LogLines().isEmpty());
}

TEST_F(ConfigWindowTest, SaveOfAFileTheReaderWouldRefuseWarnsInTheLog) {
    Show();
    apptest::ChangePortSettings(
        *form, [](QORLNK::TLNKCOMDlgFrm& f) { apptest::Choose(f.BaudRateComboBox, "300"); });
    Define(0, ctParamSet, "SPD", -1);
    const QString path = TempPath(QStringLiteral("odd.ini"));
    saveAnswer = path;

    Item("SaveConfig")->trigger();

    EXPECT_TRUE(QFile::exists(path));
    EXPECT_FALSE(form->IsConfigModified());
    const QStringList lines = LogLines();
    ASSERT_EQ(lines.size(), 2) << lines.join('\n').toStdString();
    for (const QString& line : lines)
        EXPECT_TRUE(line.startsWith("WARNING: - ")) << line.toStdString();
    EXPECT_NE(LoadConfigFile(QFile::encodeName(path).toStdString()).Status, TConfigLoadStatus::Ok);
}

// ---- Close query ----------------------------------------------------------------------

TEST_F(ConfigWindowTest, CloseQueryAsksOnlyWhenSomethingChanged) {
    struct Row {
        const char* name;
        std::function<void(ConfigWindowTest&)> change;
        const char* question; // null: no question, the window closes
    } rows[] = {
        {"nothing changed", [](ConfigWindowTest&) {}, nullptr},
        {"page renamed and renamed back",
         [](ConfigWindowTest& t) {
             apptest::RenamePage(*t.form, 4, "Other");
             apptest::RenamePage(*t.form, 4, "Cmds 5");
         },
         nullptr},
        {"data bits and stop bits",
         [](ConfigWindowTest& t) {
             apptest::ChangePortSettings(*t.form, [](QORLNK::TLNKCOMDlgFrm& f) {
                 apptest::Choose(f.DataBitsComboBox, "7");
                 apptest::Choose(f.StopBitsComboBox, "2");
             });
         },
         nullptr},
        {"delete all at start",
         [](ConfigWindowTest& t) {
             t.warningAnswers.push_back(QMessageBox::Ok);
             t.Item("DeleteAllCommands")->trigger();
             t.ForgetQuestions();
         },
         nullptr},
        {"page renamed", [](ConfigWindowTest& t) { apptest::RenamePage(*t.form, 7, "Spare"); },
         kCreateNew},
        {"title set", [](ConfigWindowTest& t) { apptest::SetTitle(*t.form, "T"); }, kCreateNew},
        {"slot defined", [](ConfigWindowTest& t) { t.Define(30, ctCommand, "GO"); }, kCreateNew},
        {"baud rate",
         [](ConfigWindowTest& t) {
             apptest::ChangePortSettings(*t.form, [](QORLNK::TLNKCOMDlgFrm& f) {
                 apptest::Choose(f.BaudRateComboBox, "19200");
             });
         },
         kCreateNew},
        {"parity",
         [](ConfigWindowTest& t) {
             apptest::ChangePortSettings(*t.form, [](QORLNK::TLNKCOMDlgFrm& f) {
                 apptest::Choose(f.ParityComboBox, "Odd");
             });
         },
         kCreateNew},
        {"port number", [](ConfigWindowTest& t) { apptest::ChoosePort(*t.form, 2); }, kCreateNew},
        {"after load", [](ConfigWindowTest& t) { t.Load(kExamplePath); }, nullptr},
        {"delete all after load",
         [](ConfigWindowTest& t) {
             t.Load(kExamplePath);
             t.warningAnswers.push_back(QMessageBox::Ok);
             t.Item("DeleteAllCommands")->trigger();
             t.ForgetQuestions();
         },
         "Update Configuration File qxm300-pump.ini?"},
        {"title changed after load, then saved",
         [](ConfigWindowTest& t) {
             t.Load(t.ExampleCopy());
             apptest::SetTitle(*t.form, "Renamed");
             t.Item("SaveConfig")->trigger();
         },
         nullptr},
        {"stored default",
         [](ConfigWindowTest& t) {
             t.Load(kExamplePath);
             int slot = 0;
             while (!IsParamKind(t.form->Slot(slot).cmd_type) ||
                    t.form->Slot(slot).cmd_type == ctParamGet)
                 ++slot;
             t.EditOf(slot)->setText(QString::number(t.form->Slot(slot).val_start + 1));
             apptest::SelectSlot(*t.form, slot);
             t.Item("StoreParameterDefault1")->trigger();
         },
         "Update Configuration File qxm300-pump.ini?"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        Show();
        row.change(*this);
        ASSERT_TRUE(questions.isEmpty());
        warningAnswers.assign({QMessageBox::Cancel});
        const bool closed = form->close();
        if (row.question) {
            EXPECT_EQ(questions, QStringList{row.question});
            EXPECT_EQ(questionButtons,
                      QList<int>{int(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel)});
            EXPECT_FALSE(closed);
            EXPECT_TRUE(form->isVisible());
        } else {
            EXPECT_TRUE(questions.isEmpty()) << questions.join('|').toStdString();
            EXPECT_TRUE(closed);
        }
        warningAnswers.clear();
        ForgetQuestions();
        form.reset();
    }
}

TEST_F(ConfigWindowTest, CloseQueryAnswers) {
    const std::string original = ReadBytes(kExamplePath);
    struct Row {
        const char* name;
        bool loaded;        // a file is loaded (else nothing has a name yet)
        int answer;         // to the close question
        QString saveAnswer; // from the save dialog, if it runs
        bool closes;        // the window closes
        bool fileChanged;   // the loaded file was rewritten
        int saveDialogs;    // how often the save dialog ran
        int errorBoxes;     // "Cannot create file" boxes
    } rows[] = {
        {"yes, loaded file", true, QMessageBox::Yes, {}, true, true, 0, 0},
        {"no, loaded file", true, QMessageBox::No, {}, true, false, 0, 0},
        {"cancel, loaded file", true, QMessageBox::Cancel, {}, false, false, 0, 0},
        {"yes, save dialog cancelled", false, QMessageBox::Yes, QString(), false, false, 1, 0},
        {"yes, save fails", false, QMessageBox::Yes, QStringLiteral("/nonexistent-dir/x.ini"),
         false, false, 1, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        Show();
        const QString path = ExampleCopy();
        if (row.loaded)
            Load(path);
        apptest::SetTitle(*form, "Changed");
        saveAnswer = row.saveAnswer;
        saveDialogNames.clear();
        warningAnswers.assign({row.answer});
        TBoxWatcher boxes;

        const bool closed = form->close();

        EXPECT_EQ(closed, row.closes);
        EXPECT_EQ(questions.size(), 1);
        EXPECT_EQ(saveDialogNames.size(), row.saveDialogs);
        EXPECT_EQ(boxes.Texts(QMessageBox::Critical).size(), row.errorBoxes);
        EXPECT_EQ(ReadBytes(path) != original, row.fileChanged);
        if (row.fileChanged) {
            EXPECT_EQ(LoadConfigFile(QFile::encodeName(path).toStdString()).Set.Title, "Changed");
        }
        if (!closed) {
            // The changes are still there, and the next close asks again.
            EXPECT_TRUE(form->IsConfigModified());
            questions.clear();
            warningAnswers.assign({QMessageBox::No});
            EXPECT_TRUE(form->close());
            EXPECT_EQ(questions.size(), 1);
        }
        // Nothing was written next to the example copy.
        EXPECT_EQ(QDir(TempPath(QString())).entryList(QDir::Files),
                  QStringList{QStringLiteral("pump.ini")});
        QFile::remove(path);
        questions.clear();
        form.reset();
    }
}

TEST_F(ConfigWindowTest, CloseQuestionNamesTheFileWithoutItsFolder) {
    Show();
    Load(ExampleCopy(QStringLiteral("station A.ini")));
    apptest::RenamePage(*form, 0, "Motors");
    warningAnswers.assign({QMessageBox::Cancel});
    EXPECT_FALSE(form->close());
    EXPECT_EQ(questions, QStringList{"Update Configuration File station A.ini?"});
}

// ---- The toolkit's file dialogs ---------------------------------------------------------

// Acts on the file dialog once it runs modally. Deadlines make sure the
// modal loop ends even when the dialog never shows or the action does not
// close it (the test then fails).
void WhenFileDialog(std::function<void(QFileDialog*)> act) {
    auto* timer = new QTimer;
    auto since = std::make_shared<QElapsedTimer>();
    auto acted = std::make_shared<QPointer<QFileDialog>>();
    auto done = std::make_shared<bool>(false);
    since->start();
    QObject::connect(timer, &QTimer::timeout, [timer, since, acted, done, act]() {
        auto* dlg = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        const bool open = dlg && dlg->isVisible();
        if (*done) {
            // Waiting for the dialog to close (or be destroyed).
            if (!*acted || !(*acted)->isVisible()) {
                timer->stop();
                timer->deleteLater();
            } else if (since->elapsed() > pmvtest::Scaled(2 * pmvtest::kWaitMs)) {
                ADD_FAILURE() << "the file dialog stayed open";
                (*acted)->reject();
            }
            return;
        }
        if (!open) {
            if (since->elapsed() > pmvtest::Scaled(2 * pmvtest::kWaitMs)) {
                ADD_FAILURE() << "no file dialog";
                timer->stop();
                timer->deleteLater();
                if (QWidget* w = QApplication::activeModalWidget())
                    w->close();
            }
            return;
        }
        *acted = dlg;
        *done = true;
        since->restart();
        act(dlg);
    });
    timer->start(10);
}

// What the operator does: goes to the file's folder, then types its name.
void TypeFileName(QFileDialog* dlg, const QString& path) {
    dlg->setDirectory(QFileInfo(path).absolutePath());
    auto* edit = dlg->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_TRUE(edit);
    const QString name = QFileInfo(path).fileName();
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, name);
}

struct TFileDialogView {
    QStringList filters;
    QFileDialog::FileMode mode;
    QFileDialog::AcceptMode accept;
    QString folder;
    QString suffix;
    bool confirmOverwrite;
};

TFileDialogView ViewOf(const QFileDialog* dlg) {
    return {dlg->nameFilters(),   dlg->fileMode(),
            dlg->acceptMode(),    dlg->directory().absolutePath(),
            dlg->defaultSuffix(), !dlg->testOption(QFileDialog::DontConfirmOverwrite)};
}

TEST_F(ConfigWindowTest, TheToolkitsFileDialogs) {
    dialogs.OpenConfigFile = nullptr;
    dialogs.SaveConfigFile = nullptr;
    form->SetDialogs(dialogs);
    Show();
    const QString path = ExampleCopy();
    const QString current = QDir::currentPath();

    // Open: cancelled changes nothing; an existing file chosen is loaded.
    TFileDialogView open{};
    WhenFileDialog([&](QFileDialog* dlg) {
        open = ViewOf(dlg);
        dlg->reject();
    });
    Item("LoadConfig")->trigger();
    EXPECT_EQ(open.filters, QStringList{"INI Files (*.ini)"});
    EXPECT_EQ(open.mode, QFileDialog::ExistingFile);
    EXPECT_EQ(open.accept, QFileDialog::AcceptOpen);
    EXPECT_EQ(open.folder, current);
    EXPECT_TRUE(form->FileName().isEmpty());
    WhenFileDialog([&](QFileDialog* dlg) {
        TypeFileName(dlg, path);
        static_cast<QDialog*>(dlg)->accept(); // QFileDialog::accept checks the name
    });
    Item("LoadConfig")->trigger();
    EXPECT_EQ(QFileInfo(form->FileName()).canonicalFilePath(), QFileInfo(path).canonicalFilePath());

    // Save under a new name, from a window that has no file yet: "ini" is
    // added; an existing file would be replaced without a question.
    form = std::make_unique<TMainForm>();
    form->SetDialogs(dialogs);
    Show();
    apptest::SetTitle(*form, "Saved through the dialog");
    TFileDialogView save{};
    WhenFileDialog([&](QFileDialog* dlg) {
        save = ViewOf(dlg);
        TypeFileName(dlg, TempPath(QStringLiteral("fresh")));
        static_cast<QDialog*>(dlg)->accept(); // QFileDialog::accept checks the name
    });
    Item("SaveConfig")->trigger();
    EXPECT_EQ(save.filters, QStringList{"INI Files (*.ini)"});
    EXPECT_EQ(save.mode, QFileDialog::AnyFile);
    EXPECT_EQ(save.accept, QFileDialog::AcceptSave);
    EXPECT_EQ(save.folder, current);
    EXPECT_EQ(save.suffix, "ini");
    EXPECT_FALSE(save.confirmOverwrite);
    EXPECT_EQ(form->FileName(), TempPath(QStringLiteral("fresh.ini")));
    EXPECT_EQ(LoadConfigFile(QFile::encodeName(form->FileName()).toStdString()).Set.Title,
              "Saved through the dialog");
    EXPECT_FALSE(form->IsConfigModified());
}

// ---- Delete all -----------------------------------------------------------------------

TEST_F(ConfigWindowTest, DeleteAllClearsEverySlotAfterTheQuestion) {
    Show();
    Load(kExamplePath);
    Change(7, [](TCmdRecord& r) { r.opts |= Disabled; });
    const TState before = State();
    const QStringList lines = LogLines();

    warningAnswers.assign({QMessageBox::Cancel});
    Item("DeleteAllCommands")->trigger();
    ExpectSameState(State(), before);

    warningAnswers.assign({QMessageBox::Ok});
    Item("DeleteAllCommands")->trigger();
    const QString question =
        QStringLiteral("Are you sure you want to\ndelete all loaded commands?");
    EXPECT_EQ(questions, QStringList({question, question}));
    EXPECT_EQ(questionButtons, QList<int>({int(QMessageBox::Ok | QMessageBox::Cancel),
                                           int(QMessageBox::Ok | QMessageBox::Cancel)}));
    for (int i = 0; i < kSlotCount; ++i) {
        TCmdRecord expected;
        expected.opts = before.config.CmdTable[i].opts & Disabled;
        EXPECT_TRUE(form->Slot(i) == expected) << i;
        const apptest::TSlotWidgets c = apptest::SlotWidgets(*form, i);
        EXPECT_EQ(c.box->title(), "") << i;
        EXPECT_FALSE(c.get->isEnabled()) << i;
        EXPECT_FALSE(c.set->isEnabled()) << i;
        EXPECT_EQ(c.get->text(), "") << i;
        EXPECT_EQ(EditOf(i)->text(), "") << i;
    }
    EXPECT_TRUE(form->Slot(7).has(Disabled));
    // Title, captions, file name, snapshot and log stay.
    TState after = State();
    after.config.CmdTable = before.config.CmdTable;
    ExpectSameState(after, before);
    EXPECT_EQ(LogLines(), lines);
    EXPECT_TRUE(form->IsConfigModified());
}

TEST_F(ConfigWindowTest, WarningBoxesOfTheToolkit) {
    dialogs.Warning = nullptr; // the real boxes
    form->SetDialogs(dialogs);
    Show();
    Define(0, ctCommand, "RUN");

    {
        TBoxWatcher boxes;
        boxes.answers.push_back(QMessageBox::Cancel);
        Item("DeleteAllCommands")->trigger();
        ASSERT_EQ(boxes.seen.size(), 1);
        EXPECT_EQ(boxes.seen[0].icon, QMessageBox::Warning);
        EXPECT_EQ(boxes.seen[0].text.split('\n'),
                  QStringList({"Are you sure you want to", "delete all loaded commands?"}));
        EXPECT_EQ(boxes.seen[0].buttons, QMessageBox::Ok | QMessageBox::Cancel);
        EXPECT_TRUE(form->Slot(0).defined());
    }
    {
        TBoxWatcher boxes; // Escape on the close question keeps the window open
        boxes.escape = true;
        EXPECT_FALSE(form->close());
        ASSERT_EQ(boxes.seen.size(), 1);
        EXPECT_EQ(boxes.seen[0].text, kCreateNew);
        EXPECT_EQ(boxes.seen[0].buttons, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        EXPECT_TRUE(form->isVisible());
    }
    {
        TBoxWatcher boxes;
        boxes.answers.push_back(QMessageBox::No);
        EXPECT_TRUE(form->close());
        EXPECT_EQ(boxes.seen.size(), 1);
    }
}

// ---- Parameter defaults ---------------------------------------------------------------

TEST_F(ConfigWindowTest, SetParameterDefaultShowsTheDefaultAgain) {
    struct Row {
        std::int8_t kind;
        const char* cmd;
        const char* typed;
        const char* shown;
    } rows[] = {
        {ctCommand, "GO", "x", ""},
        {ctCommandValue, "V", "12", "7"},
        {ctCommandString, "S", "abc", "text"},
        {ctParamGet, "G", "-5", "0"},
        {ctParamSet, "P", "99", "7"},
        {ctParamGetSet, "PG", "1", "7"},
        {ctParamGetSet, "", "1", ""},
    };
    Show();
    for (const Row& row : rows) {
        SCOPED_TRACE(int(row.kind));
        Define(10, row.kind, row.cmd, 7, "text");
        EditOf(10)->setText(row.typed);
        apptest::SelectSlot(*form, 10);
        const TCmdRecord before = form->Slot(10);
        Item("Default")->trigger();
        EXPECT_EQ(EditOf(10)->text(), row.shown);
        EXPECT_TRUE(form->Slot(10) == before);
    }
    EXPECT_TRUE(LogLines().isEmpty());
}

TEST_F(ConfigWindowTest, StoreParameterDefaultTakesTheEditText) {
    struct Row {
        std::int8_t kind;
        const char* text;
        std::int32_t stored; // val_start afterwards (it starts at 9)
    } rows[] = {
        {ctParamGet, nullptr, 0}, // the "0" a kind 3 slot shows
        {ctParamGet, "-5", -5},   // a reply written there, outside 0..65535
        {ctParamSet, "$10", 16},  {ctParamGetSet, " 70000", 70000}, {ctCommand, "5", 9},
        {ctCommandValue, "5", 9}, {ctCommandString, "5", 9},
    };
    Show();
    saveAnswer = TempPath(QStringLiteral("defaults.ini"));
    for (const Row& row : rows) {
        SCOPED_TRACE(int(row.kind));
        Define(40, row.kind, "CMD", 9);
        if (row.text)
            EditOf(40)->setText(row.text);
        Item("SaveConfig")->trigger(); // the snapshot holds val_start 9
        ASSERT_FALSE(form->IsConfigModified());
        const QString shown = EditOf(40)->text();
        apptest::SelectSlot(*form, 40);
        Item("StoreParameterDefault1")->trigger();
        EXPECT_EQ(form->Slot(40).val_start, row.stored);
        EXPECT_EQ(form->IsConfigModified(), row.stored != 9);
        EXPECT_EQ(EditOf(40)->text(), shown); // the display is not refreshed
    }
    EXPECT_TRUE(LogLines().isEmpty());
}

TEST_F(ConfigWindowTest, StoreParameterDefaultOfATextThatIsNoNumberShowsTheConversionError) {
    Show();
    Define(2, ctParamSet, "P", 4);
    EditOf(2)->setText("12a");
    apptest::SelectSlot(*form, 2);
    TBoxWatcher boxes;
    Item("StoreParameterDefault1")->trigger();
    ASSERT_TRUE(WaitUntil([&] { return !boxes.seen.isEmpty(); }));
    EXPECT_EQ(boxes.Texts(QMessageBox::Critical),
              QStringList{"'12a' is not a valid integer value"});
    EXPECT_EQ(form->Slot(2).val_start, 4);
    EXPECT_TRUE(LogLines().isEmpty());
}

TEST_F(ConfigWindowTest, StoreAllStopsAtTheFirstTextThatIsNoNumber) {
    Show();
    Define(0, ctParamSet, "A", 1);
    Define(1, ctCommandValue, "B", 2); // not a parameter: left alone
    Define(2, ctParamGet, "C", 3);     // shows "0"
    Define(3, ctParamGetSet, "D", 4);
    Define(30, ctParamGetSet, "", 5); // undefined: an empty edit
    Define(31, ctParamSet, "E", 6);
    Change(3, [](TCmdRecord& r) { r.opts |= Disabled; }); // disabled slots take part
    EditOf(0)->setText("100");
    EditOf(1)->setText("200");
    EditOf(3)->setText("0x20");
    EditOf(31)->setText("300");
    TBoxWatcher boxes;

    Item("StoreAllParameterDefaults")->trigger();

    ASSERT_TRUE(WaitUntil([&] { return !boxes.seen.isEmpty(); }));
    EXPECT_EQ(boxes.Texts(QMessageBox::Critical), QStringList{"'' is not a valid integer value"});
    EXPECT_EQ(form->Slot(0).val_start, 100);
    EXPECT_EQ(form->Slot(1).val_start, 2);
    EXPECT_EQ(form->Slot(2).val_start, 0);
    EXPECT_EQ(form->Slot(3).val_start, 32);
    EXPECT_EQ(form->Slot(30).val_start, 5);
    EXPECT_EQ(form->Slot(31).val_start, 6); // not visited
    EXPECT_TRUE(LogLines().isEmpty());

    // Without the undefined slot the run goes through and says so.
    Change(30, [](TCmdRecord& r) { r.cmd_type = ctCommand; });
    Item("StoreAllParameterDefaults")->trigger();
    EXPECT_EQ(form->Slot(31).val_start, 300);
    EXPECT_EQ(LogLines(), QStringList({"All Parameter default values stored",
                                       "WARNING: To update the target parameters, use the "
                                       "\"Set All Target Parameters\" command"}));
    EXPECT_EQ(boxes.seen.size(), 1);
}

TEST_F(ConfigWindowTest, SetAllShowsEveryDefaultAgain) {
    Show();
    Define(0, ctCommand, "A");
    Define(1, ctCommandString, "B", 0, "hello");
    Define(2, ctParamGetSet, "C", 42);
    Define(3, ctParamGet, "D", 8);
    EditOf(0)->setText("junk");
    EditOf(1)->setText("typed");
    EditOf(2)->setText("7");
    EditOf(3)->setText("-3");
    const TCmdTable table = form->Config().CmdTable;

    Item("SetAllParameterDefaults")->trigger();

    EXPECT_EQ(EditOf(0)->text(), "");
    EXPECT_EQ(EditOf(1)->text(), "hello");
    EXPECT_EQ(EditOf(2)->text(), "42");
    EXPECT_EQ(EditOf(3)->text(), "0");
    EXPECT_TRUE(form->Config().CmdTable == table);
    EXPECT_EQ(LogLines(), QStringList({"All Parameter values set to their default values",
                                       "WARNING: To update the target parameters, use the "
                                       "\"Set All Target Parameters\" command"}));
}

} // namespace
