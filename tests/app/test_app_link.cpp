// The target link through the real main window: slot buttons, keys, wheel,
// Get All / Set All, port control, the status bar and log gestures, against
// the bundled simulator (qxm-sim) on a real pseudo-terminal published as
// COM25 through a private device map.
#include "app/HostApplication.h"
#include "app/HostMain.h"
#include "app/HostSignals.h"
#include "app/Mainfrm.h"
#include "app/TrafficForm.h"
#include "app/link/PortWatch.h"
#include "comport/Lnkcomdlg.h"
#include "comport/Lnkcomport.h"
#include "tests/app/BoxWatcher.h"
#include "tests/app/WindowProbe.h"
#include "tests/dialogs/DialogTest.h"
#include "tools/sim/SimClient.h"
#include "tools/sim/SimTarget.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>
#include <QWindow>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace pmv;
using pmvtest::kWaitMs;
using pmvtest::RunEventsFor;
using pmvtest::WaitUntil;

namespace {

constexpr int kCom = 25;
constexpr int kReplyWindowMs = 1000; // reply timer of the tests that connect

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void SendWheel(TMainForm& form, QWidget* over, int dy) {
    const QPoint pos = over->mapTo(&form, QPoint(5, 5));
    QWheelEvent wheel(pos, form.mapToGlobal(pos), QPoint(), QPoint(0, dy), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(form.windowHandle(), &wheel);
}

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_map = m_dir.filePath("commap").toStdString();
        m_simLog = m_dir.filePath("sim.log").toStdString();
        ::setenv("PMV_COMMAP", m_map.c_str(), 1);
        form = std::make_unique<TMainForm>();
    }

    void TearDown() override {
        form.reset(); // closes the port
        if (m_sim.Pid() > 0) {
            EXPECT_EQ(m_sim.Stop(), 0);
        }
        ::unsetenv("PMV_COMMAP");
    }

    // Starts qxm-sim as COM25 with extra options.
    void StartSim(std::vector<std::string> args = {}) {
        args.insert(args.end(), {"--log", m_simLog});
        ASSERT_TRUE(m_sim.Start(QXM_SIM_PATH, m_map, kCom, args)) << m_sim.Error();
    }

    void ShowActive() { ASSERT_TRUE(test::ShowActive(*form)); }

    // Simulator, window, port open on COM25.
    void Connect(std::vector<std::string> args = {}) {
        ASSERT_NO_FATAL_FAILURE(StartSim(std::move(args)));
        ASSERT_NO_FATAL_FAILURE(ShowActive());
        ASSERT_NO_FATAL_FAILURE(Open());
        // A loaded machine can take longer than 200 ms to answer; these tests
        // are about what the window does with replies and time-outs, not about
        // the length of the reply window, so it is widened here.
        QTimer* replyTimer = apptest::Named<QTimer>(*form, "RxTimer");
        EXPECT_EQ(replyTimer->interval(), 200);
        replyTimer->setInterval(kReplyWindowMs);
    }

    // COM25 chosen in the settings dialog, then "&Open".
    void Open() {
        apptest::ChoosePort(*form, kCom);
        Item("COMOpen")->trigger();
        ASSERT_EQ(StatusText(0), "COM25: 9600 8 none 1");
        ASSERT_NO_FATAL_FAILURE(ShowActive()); // the window again, after the dialog
    }

    TCmdRecord Define(int index, std::int8_t kind, const char* cmd, const char* descr = "",
                      std::uint32_t opts = 0, std::int32_t start = 0,
                      const std::function<void(TCmdRecord&)>& more = {}) {
        TCmdRecord r = apptest::Record(kind, cmd, descr, opts, start);
        r.val_min = -99999;
        r.val_max = 999999;
        r.val_inc = 1;
        if (more)
            more(r);
        form->SetSlot(index, r);
        return r;
    }

    apptest::TSlotWidgets Ctrls(int index) const { return apptest::SlotWidgets(*form, index); }
    QAction* Item(const char* name) const { return apptest::Item(*form, name); }
    TSlotPanel* Panel() const { return apptest::Panel(*form); }
    QString StatusText(int i) const { return apptest::StatusText(*form, i); }
    int Count(int panel) const { return StatusText(panel).toInt(); }

    void Click(QPushButton* b) {
        Panel()->setCurrentWidget(b->parentWidget()->parentWidget());
        QTest::mouseClick(b, Qt::LeftButton);
    }

    QStringList LogLines() const { return apptest::LogLines(*form); }
    void ClearLog() { apptest::Memo(*form)->clear(); }
    bool WaitLogLines(int n) {
        return WaitUntil([&] { return LogLines().size() >= n; });
    }
    // Every frame sent has had its reply or its time-out (status panels 2, 4, 6).
    bool WaitIdle() {
        return WaitUntil([&] { return Count(4) + Count(6) >= Count(2); });
    }

    // Frames the simulator received, as it logs them (control bytes escaped).
    std::vector<std::string> SimFrames(const char* prefix = "rx ") const {
        std::vector<std::string> out;
        const std::string log = ReadFile(m_simLog);
        std::size_t pos = 0;
        while (pos < log.size()) {
            std::size_t end = log.find('\n', pos);
            if (end == std::string::npos)
                end = log.size();
            const std::string line = log.substr(pos, end - pos);
            if (line.rfind(prefix, 0) == 0)
                out.push_back(line.substr(std::string(prefix).size()));
            pos = end + 1;
        }
        return out;
    }
    bool WaitSimFrames(std::size_t n) {
        return WaitUntil([&] { return SimFrames().size() >= n; });
    }
    static std::string P(const std::string& bytes) { return qxmsim::Printable(bytes); }

    std::vector<QString> Panels() const { return {StatusText(2), StatusText(4), StatusText(6)}; }
    const std::string& SimDevice() const { return m_sim.Device(); }

    std::unique_ptr<TMainForm> form;

private:
    QTemporaryDir m_dir;
    std::string m_map;
    std::string m_simLog;
    qxmsim::TSimProcess m_sim;
};

using Panels3 = std::vector<QString>;

// ---- Single requests ------------------------------------------------------------------

TEST_F(LinkTest, SlotButtonsPutTheFrameOnTheWireAndTheReplyInTheLog) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    struct Row {
        const char* name;
        int slot;
        std::int8_t kind;
        const char* cmd;
        const char* descr;
        std::int32_t opts;
        const char* edit; // typed into the edit after ShowSlot (nullptr: leave)
        bool get;
        const char* frame;
        const char* logLine;
        const char* editAfter;
    } rows[] = {
        {"kind 5 Get", 0, ctParamGetSet, "SPD", "Speed", UpdateEditOnGet, nullptr, true, "QXSPD\r",
         "Speed = 1500", "1500"},
        {"kind 5 Set, number rewritten", 1, ctParamGetSet, "ACC", "Acceleration", 0, "0042", false,
         "QXACC = 42\r", "Acceleration = 42", "0042"},
        {"kind 2 text", 30, ctCommandString, "NAME", "", 0, " pump 1", false, "QXNAME =  pump 1\r",
         "NAME =  pump 1", " pump 1"},
        {"kind 0 command", 47, ctCommand, "RUN", "Start", 0, nullptr, false, "QXRUN\r",
         "Start = OK", ""},
        {"kind 3 with UpdateEditOnGet", 100, ctParamGet, "VBUS", "Bus", UpdateEditOnGet, nullptr,
         true, "QXVBUS\r", "Bus = 241", "241"},
        {"kind 4 negative", 191, ctParamSet, "DIR", "", 0, "-007", false, "QXDIR = -7\r",
         "DIR = -7", "-007"},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Define(row.slot, row.kind, row.cmd, row.descr, row.opts);
        if (row.edit)
            Panel()->SetEditText(row.slot, QString::fromLatin1(row.edit));
        ClearLog();
        Click(row.get ? Ctrls(row.slot).get : Ctrls(row.slot).set);
        ++n;
        ASSERT_TRUE(WaitSimFrames(n));
        EXPECT_EQ(SimFrames().back(), P(row.frame));
        ASSERT_TRUE(WaitLogLines(1));
        ASSERT_TRUE(WaitIdle());
        EXPECT_EQ(LogLines(), QStringList{QString::fromLatin1(row.logLine)});
        EXPECT_EQ(Ctrls(row.slot).edit->text(), QString::fromLatin1(row.editAfter));
        EXPECT_EQ(Panels(), (Panels3{QString::number(n), QString::number(n), "0"}));
        EXPECT_EQ(Panel()->SelectedSlot(), row.slot); // the mouse press selected it
    }
}

TEST_F(LinkTest, OptionsAreReadWhenTheyMatter) {
    ASSERT_NO_FATAL_FAILURE(Connect({"--lf"}));
    Define(4, ctParamGetSet, "SPD", "Speed");
    // CR and LF as the log shows them in its font: a symbol or "<CR>".
    const TLogView* log = apptest::Named<TLogView>(*form, "Memo");
    const QString cr = log->ControlText(u'\r'), lf = log->ControlText(u'\n');
    struct Row {
        const char* name;
        bool tx, unframed, descr;
        QStringList lines;
    } rows[] = {
        // First, so that no line feed of an earlier reply is still on its way.
        {"unframed line feed", false, true, true, {"Speed = 1500", lf}},
        {"defaults", false, false, true, {"Speed = 1500"}},
        {"transmissions", true, false, true, {"QXSPD" + cr, "Speed = 1500"}},
        {"raw reply body", false, false, false, {"SPD = 1500"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ClearLog();
        Item("ShowTransmissions")->setChecked(row.tx);
        Item("ShowUnframedReceptions")->setChecked(row.unframed);
        Item("ShowCommandDescription")->setChecked(row.descr);
        Click(Ctrls(4).get);
        ASSERT_TRUE(WaitLogLines(int(row.lines.size())));
        ASSERT_TRUE(WaitIdle());
        EXPECT_EQ(LogLines(), row.lines);
    }
}

TEST_F(LinkTest, ReplyShownWholeInANumericEdit) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    const std::string longText(80, 'x');
    Define(2, ctCommandString, "NAME", "", 0, 0, [&](TCmdRecord& r) { r.str = longText; });
    EXPECT_EQ(Ctrls(2).edit->text().toStdString(), longText);
    Click(Ctrls(2).set);
    ASSERT_TRUE(WaitLogLines(1));
    ASSERT_TRUE(WaitIdle());

    Define(3, ctParamGetSet, "NAME", "", UpdateEditOnGet);
    EXPECT_EQ(Panel()->EditMaxLength(3), 6);
    Click(Ctrls(3).get);
    ASSERT_TRUE(WaitLogLines(2));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Ctrls(3).edit->text().toStdString(), longText); // not cut to 6
    EXPECT_EQ(Panel()->EditMaxLength(3), 6);
}

TEST_F(LinkTest, TypingIsLimitedPerKind) {
    ASSERT_NO_FATAL_FAILURE(ShowActive());
    struct Row {
        std::int8_t kind;
        int typed;
        int kept;
    } rows[] = {{ctCommandValue, 10, 6}, {ctParamSet, 6, 6}, {ctCommandString, 90, 80}};
    for (const Row& row : rows) {
        SCOPED_TRACE(int(row.kind));
        Define(9, row.kind, "X");
        QLineEdit* e = Ctrls(9).edit;
        Panel()->SetEditText(9, QString());
        e->setFocus();
        QTest::keyClicks(e, QString(row.typed, QLatin1Char('7')));
        EXPECT_EQ(e->text().size(), row.kept);
        EXPECT_EQ(Panel()->EditMaxLength(9), row.kept);
    }
}

// ---- Runs -----------------------------------------------------------------------------

TEST_F(LinkTest, GetAllSendsTheMarkedSlotsInOrderEachAfterTheLastReply) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    Define(7, ctParamGetSet, "ACC", "Acceleration", IncInGetAll | UpdateEditOnGet);
    Define(2, ctParamGet, "SPD", "Speed", IncInGetAll);
    Define(40, ctParamGet, "VBUS", "", IncInGetAll | UpdateEditOnGet);
    Define(5, ctCommandValue, "KP", "", IncInGetAll);            // kind never in a run
    Define(9, ctParamGet, "KI", "", IncInGetAll | Disabled);     // disabled
    Define(11, ctParamSet, "KD", "", IncInGetAll | IncInSetAll); // a Set kind
    Define(12, ctParamGet, "MODE", "", 0);                       // not marked
    Item("GetAllParameters")->trigger();
    ASSERT_TRUE(WaitLogLines(3));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(SimFrames(), (std::vector<std::string>{P("QXSPD\r"), P("QXACC\r"), P("QXVBUS\r")}));
    // Each frame left only after the reply to the one before.
    const std::vector<std::string> traffic = [&] {
        std::vector<std::string> all;
        for (const std::string& f : SimFrames(""))
            if (f.rfind("rx ", 0) == 0 || f.rfind("tx ", 0) == 0)
                all.push_back(f.substr(0, 2));
        return all;
    }();
    EXPECT_EQ(traffic, (std::vector<std::string>{"rx", "tx", "rx", "tx", "rx", "tx"}));
    EXPECT_EQ(LogLines(), (QStringList{"Speed = 1500", "Acceleration = 200", "VBUS = 241"}));
    EXPECT_EQ(Ctrls(7).edit->text(), "200");
    EXPECT_EQ(Ctrls(2).edit->text(), "0"); // no UpdateEditOnGet
    EXPECT_EQ(Ctrls(40).edit->text(), "241");
    EXPECT_EQ(Panels(), (Panels3{"3", "3", "0"}));
}

TEST_F(LinkTest, SetAllSendsEveryFrameAsASet) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    Define(0, ctParamGetSet, "ACC", "", IncInSetAll | IncInGetAll, 300);
    Define(1, ctParamSet, "DEC", "", IncInSetAll, 250);
    Define(2, ctParamGet, "SPD", "", IncInSetAll); // a Get kind
    Panel()->SetEditText(1, "0x10");
    Item("SetAllParameters")->trigger();
    ASSERT_TRUE(WaitLogLines(2));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(SimFrames(), (std::vector<std::string>{P("QXACC = 300\r"), P("QXDEC = 16\r")}));
    EXPECT_EQ(LogLines(), (QStringList{"ACC = 300", "DEC = 16"}));
}

TEST_F(LinkTest, SilentTargetGivesOneTimeoutAndStopsTheRun) {
    ASSERT_NO_FATAL_FAILURE(Connect({"--silent", "ACC"}));
    const char* names[] = {"SPD", "ACC", "DEC", "KP", "KI"};
    for (int i = 0; i < 5; ++i)
        Define(10 + i, ctParamGet, names[i], "", IncInGetAll);
    Item("GetAllParameters")->trigger();
    ASSERT_TRUE(WaitLogLines(2));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(LogLines(), (QStringList{"SPD = 1500", "ACC - Rx timeout"}));
    EXPECT_EQ(Panels(), (Panels3{"2", "1", "1"}));

    // A request of its own marks the end of what was sent: nothing of the run
    // went out after the time-out.
    Define(20, ctParamGet, "VBUS", "Bus");
    Click(Ctrls(20).get);
    ASSERT_TRUE(WaitLogLines(3));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(SimFrames(), (std::vector<std::string>{P("QXSPD\r"), P("QXACC\r"), P("QXVBUS\r")}));
    EXPECT_EQ(LogLines().back(), "Bus = 241");
}

TEST_F(LinkTest, LateReplyBelongsToTheSlotSentLast) {
    ASSERT_NO_FATAL_FAILURE(Connect({"--late", "ACC:3000"}));
    Define(0, ctParamGetSet, "ACC", "Acceleration");
    Define(1, ctParamGetSet, "SPD", "Speed", UpdateEditOnGet);
    Click(Ctrls(0).get);
    ASSERT_TRUE(WaitLogLines(1));
    EXPECT_EQ(LogLines(), QStringList{"Acceleration - Rx timeout"});
    Click(Ctrls(1).get);
    ASSERT_TRUE(WaitLogLines(3));
    // The late "QXACC = 200" counts as the reply to Speed, sent last; a
    // warning right after its line says so.
    ASSERT_TRUE(WaitLogLines(4));
    EXPECT_EQ(LogLines(), (QStringList{"Acceleration - Rx timeout", "Speed = 1500", "Speed = 200",
                                       "WARNING: - command 2 (SPD) took the reply \"ACC = 200\""}));
    EXPECT_EQ(Ctrls(1).edit->text(), "200");
    EXPECT_EQ(Panels(), (Panels3{"2", "2", "1"}));
}

TEST_F(LinkTest, ClosingWithARequestOutstandingStillTimesOut) {
    ASSERT_NO_FATAL_FAILURE(Connect({"--silent", "ACC"}));
    Define(0, ctParamGetSet, "ACC", "Acceleration");
    Click(Ctrls(0).get);
    ASSERT_EQ(Panels(), (Panels3{"1", "0", "0"})); // sent, waiting for the reply
    Item("COMClose")->trigger();
    EXPECT_EQ(StatusText(0), "COM closed");
    ASSERT_TRUE(WaitLogLines(1));
    EXPECT_EQ(LogLines(), QStringList{"Acceleration - Rx timeout"});
    EXPECT_EQ(Panels(), (Panels3{"1", "0", "1"}));
}

TEST_F(LinkTest, RunsRefusedOnAClosedPortOrWhileBusy) {
    ASSERT_NO_FATAL_FAILURE(StartSim({"--silent", "ACC"}));
    ASSERT_NO_FATAL_FAILURE(ShowActive());
    for (int i = 0; i < 4; ++i)
        Define(i, ctParamGetSet, i == 0 ? "ACC" : "SPD", "", IncInGetAll | IncInSetAll);
    Item("GetAllParameters")->trigger();
    Item("SetAllParameters")->trigger();
    EXPECT_EQ(LogLines(),
              (QStringList{"ERROR: - COM port not opened", "ERROR: - COM port not opened"}));
    EXPECT_EQ(Panels(), (Panels3{"0", "0", "0"}));

    ClearLog();
    ASSERT_NO_FATAL_FAILURE(Open());
    Item("GetAllParameters")->trigger(); // ACC never answers
    ASSERT_EQ(Panels(), (Panels3{"1", "0", "0"}));
    Item("GetAllParameters")->trigger();
    Item("SetAllParameters")->trigger();
    EXPECT_EQ(LogLines(), (QStringList{"COM is busy", "COM is busy"}));
    ASSERT_TRUE(WaitLogLines(3));
    EXPECT_EQ(LogLines().back(), "ACC - Rx timeout");
}

TEST_F(LinkTest, SingleRequestsOnAClosedPortOrAnUndefinedSlot) {
    ASSERT_NO_FATAL_FAILURE(StartSim());
    ASSERT_NO_FATAL_FAILURE(ShowActive());
    Define(4, ctParamGetSet, "SPD");
    Click(Ctrls(4).get);
    EXPECT_EQ(LogLines(), QStringList{"ERROR: - COM port not opened"});
    ASSERT_NO_FATAL_FAILURE(Open());
    ClearLog();
    // A slot without a command string whose value steps send at once: the
    // wheel steps it (its widgets are disabled, but it can be selected).
    Define(4, ctParamGetSet, "", "", TxOnValueChange);
    apptest::SelectSlot(*form, 4);
    SendWheel(*form, Ctrls(4).box, 120);
    SendWheel(*form, Ctrls(4).box, -120);
    EXPECT_EQ(LogLines(),
              (QStringList{"ERROR: - command 5 not defined", "ERROR: - command 5 not defined"}));
    EXPECT_EQ(Panels(), (Panels3{"0", "0", "0"}));
}

// A value that does not convert ends a Set All run inside the reply path; the
// error box opens once the port's receive call has returned (a reply still
// comes in while it is open), and the link keeps working.
TEST_F(LinkTest, ConversionErrorShownOutsideTheReceivePath) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    Define(0, ctParamSet, "ACC", "", IncInSetAll, 300);
    Define(1, ctParamSet, "DEC", "", IncInSetAll, 250);
    Define(2, ctParamGet, "SPD", "Speed");
    Panel()->SetEditText(1, "abc");
    QString boxText;
    std::vector<std::string> framesAtBox;
    std::vector<QString> panelsAtBox;
    bool replyWhileBoxOpen = false;
    test::WhenModal([&](QWidget* w) {
        if (auto* box = qobject_cast<QMessageBox*>(w))
            boxText = box->text();
        framesAtBox = SimFrames();
        panelsAtBox = Panels();
        Ctrls(2).get->click();
        replyWhileBoxOpen =
            WaitUntil([&] { return LogLines().contains(QStringLiteral("Speed = 1500")); });
        QTest::keyClick(w, Qt::Key_Escape);
    });
    Item("SetAllParameters")->trigger();
    ASSERT_TRUE(WaitUntil([&] { return !boxText.isEmpty(); }, 2 * kWaitMs));
    EXPECT_EQ(boxText, "'abc' is not a valid integer value");
    EXPECT_EQ(framesAtBox, std::vector<std::string>{P("QXACC = 300\r")});
    EXPECT_EQ(panelsAtBox, (Panels3{"1", "1", "0"}));
    EXPECT_TRUE(replyWhileBoxOpen);
    EXPECT_EQ(LogLines(), (QStringList{"ACC = 300", "Speed = 1500"}));

    Click(Ctrls(2).get);
    ASSERT_TRUE(WaitLogLines(3));
    EXPECT_EQ(LogLines().back(), "Speed = 1500");
}

// A control character in a slot's text or command would end the frame and
// start another: nothing goes out, and a box says why.
TEST_F(LinkTest, ControlCharactersNeverReachTheWire) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    // clang-format off
    const struct { std::int8_t kind; const char* cmd; const char* edit; const char* box; } rows[] = {
        {ctCommandString, "NAME",     "x\rQXSPD = 99999", "command 1: the control character 0x0D (CR) would end the frame early; nothing is sent"},
        {ctCommand,       "RU\x01N", "",                 "command 1: the control character 0x01 (SOH) would end the frame early; nothing is sent"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.cmd);
        Define(0, row.kind, row.cmd);
        Panel()->SetEditText(0, QString::fromLatin1(row.edit));
        QString boxText;
        test::WhenModal([&](QWidget* w) {
            if (auto* box = qobject_cast<QMessageBox*>(w))
                boxText = box->text();
            QTest::keyClick(w, Qt::Key_Escape);
        });
        Click(Ctrls(0).set);
        ASSERT_TRUE(WaitUntil([&] { return !boxText.isEmpty(); }));
        EXPECT_EQ(boxText, row.box);
        EXPECT_EQ(StatusText(2), "0");
        EXPECT_TRUE(SimFrames().empty());
    }
}

// ---- Value entry ----------------------------------------------------------------------

TEST_F(LinkTest, ValueEntryThroughKeyPresses) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    const auto limits = [](TCmdRecord& r) {
        r.val_min = 0;
        r.val_max = 1000;
        r.val_inc = 50;
    };
    Define(6, ctParamGetSet, "ACC", "Acceleration", 0, 200, limits);
    QLineEdit* e = Ctrls(6).edit;
    QTest::mouseClick(e, Qt::LeftButton);
    ASSERT_TRUE(e->hasFocus());
    struct Step {
        Qt::Key key;
        const char* text;  // edit text afterwards
        const char* frame; // frame sent, or nullptr
    } steps[] = {
        {Qt::Key_Up, "250", nullptr},   {Qt::Key_Up, "300", nullptr},
        {Qt::Key_Down, "250", nullptr}, {Qt::Key_Return, "250", "QXACC = 250\r"},
        {Qt::Key_Left, "250", nullptr}, {Qt::Key_Enter, "250", "QXACC = 250\r"},
    };
    std::size_t frames = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.text);
        QTest::keyClick(e, s.key);
        EXPECT_EQ(e->text(), s.text);
        if (s.frame) {
            ASSERT_TRUE(WaitSimFrames(++frames));
            EXPECT_EQ(SimFrames().back(), P(s.frame));
            ASSERT_TRUE(WaitIdle());
        }
    }
    EXPECT_EQ(SimFrames().size(), frames);

    // Typed text is clamped when Enter sends it, and when the edit is left.
    e->selectAll();
    QTest::keyClicks(e, "5000");
    QTest::keyClick(e, Qt::Key_Return);
    EXPECT_EQ(e->text(), "1000");
    ASSERT_TRUE(WaitSimFrames(++frames));
    EXPECT_EQ(SimFrames().back(), P("QXACC = 1000\r"));
    ASSERT_TRUE(WaitIdle());
    e->selectAll();
    QTest::keyClicks(e, "abc");
    Define(7, ctParamGetSet, "SPD");
    Click(Ctrls(7).get); // takes the focus: the edit commits first
    EXPECT_EQ(e->text(), "200");
    ASSERT_TRUE(WaitSimFrames(++frames));
    EXPECT_EQ(SimFrames().back(), P("QXSPD\r"));
    ASSERT_TRUE(WaitIdle());

    // With TxOnValueChange every arrow step that moves sends a Set.
    Define(6, ctParamGetSet, "ACC", "Acceleration", TxOnValueChange, 200, limits);
    QTest::mouseClick(e, Qt::LeftButton);
    QTest::keyClick(e, Qt::Key_Down);
    EXPECT_EQ(e->text(), "150");
    ASSERT_TRUE(WaitSimFrames(++frames));
    EXPECT_EQ(SimFrames().back(), P("QXACC = 150\r"));
}

TEST_F(LinkTest, WheelStepsTheSelectedSlotWhereverThePointerIs) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    Define(30, ctParamGetSet, "ACC", "", TxOnValueChange, 200, [](TCmdRecord& r) {
        r.val_min = 0;
        r.val_max = 1000;
        r.val_inc = 10;
    });
    Define(31, ctParamGetSet, "DEC", "", TxOnValueChange | Disabled, 200);
    Define(0, ctParamGetSet, "SPD", "", TxOnValueChange, 1500);
    struct Row {
        const char* name;
        int slot;
        int dy;
        const char* text; // edit of the selected slot afterwards
        const char* frame;
    } rows[] = {
        {"up sends", 30, 120, "210", "QXACC = 210\r"},
        {"down sends", 30, -120, "200", "QXACC = 200\r"},
        {"disabled slot ignores the wheel", 31, 120, "200", nullptr},
    };
    std::size_t frames = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Panel()->setCurrentWidget(Ctrls(row.slot).box->parentWidget());
        QTest::mouseClick(Ctrls(row.slot).box, Qt::LeftButton, {}, QPoint(2, 2));
        ASSERT_EQ(Panel()->SelectedSlot(), row.slot);
        Panel()->setCurrentIndex(0); // pointer over slot 0 on page 1
        SendWheel(*form, Ctrls(0).edit, row.dy);
        EXPECT_EQ(Ctrls(row.slot).edit->text(), row.text);
        EXPECT_EQ(Ctrls(0).edit->text(), "1500");
        if (row.frame) {
            ASSERT_TRUE(WaitSimFrames(++frames));
            EXPECT_EQ(SimFrames().back(), P(row.frame));
            ASSERT_TRUE(WaitIdle());
        }
    }
    EXPECT_EQ(SimFrames().size(), frames);
    EXPECT_EQ(Panels(), (Panels3{"2", "2", "0"}));
}

// ---- Port control ---------------------------------------------------------------------

TEST_F(LinkTest, OpenShowsTheSettingsAndAFailedOpenSaysSo) {
    ASSERT_NO_FATAL_FAILURE(StartSim());
    ASSERT_NO_FATAL_FAILURE(ShowActive());
    EXPECT_EQ(StatusText(0), "COM closed");
    apptest::ChoosePort(*form, kCom + 1); // nothing published there
    Item("COMOpen")->trigger();
    EXPECT_EQ(StatusText(0), "COM closed");
    // The failure line as always, then which device and why.
    EXPECT_EQ(LogLines(), (QStringList{"Error: - Unable to open COM port",
                                       "COM26: not present (no device is mapped to this number)"}));

    apptest::ChoosePort(*form, kCom);
    Item("COMOpen")->trigger();
    EXPECT_EQ(StatusText(0), "COM25: 9600 8 none 1");
    Item("COMOpen")->trigger(); // already open: the component's own report only
    EXPECT_EQ(LogLines().size(), 2);

    Item("COMClose")->trigger();
    EXPECT_EQ(StatusText(0), "COM closed");
    apptest::StatusPanel(*form, 0)->setText("x");
    Item("COMClose")->trigger(); // closed: nothing at all
    EXPECT_EQ(StatusText(0), "x");
    EXPECT_EQ(LogLines().size(), 2);
}

// A program without a lock (a terminal program, cat) has the device open:
// the port does not open a second time, and the log says who has it.
TEST_F(LinkTest, OpenRefusedWhileAnotherProgramHoldsTheDevice) {
    ASSERT_NO_FATAL_FAILURE(StartSim());
    ASSERT_NO_FATAL_FAILURE(ShowActive());
    apptest::THolder holder;
    ASSERT_TRUE(holder.Start(SimDevice()));
    apptest::ChoosePort(*form, kCom);
    Item("COMOpen")->trigger();
    EXPECT_EQ(StatusText(0), "COM closed");
    EXPECT_EQ(LogLines(), (QStringList{"Error: - Unable to open COM port",
                                       QStringLiteral("COM25 (%1): in use by sleep (pid %2)")
                                           .arg(QString::fromStdString(SimDevice()))
                                           .arg(holder.Pid())}));
}

TEST_F(LinkTest, SettingsDialog) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    form->move(41, 33);
    ASSERT_TRUE(WaitUntil([&] { return form->frameGeometry().topLeft() == QPoint(41, 33); }));
    const QRect outer = form->frameGeometry();
    const QORLNK::TLNKCOMPort measure; // the settings form's outer size, as components know it
    const QPoint centred(outer.left() + outer.width() / 2 - measure.GetCOMDlgWidth() / 2,
                         outer.top() + outer.height() / 2 - measure.GetCOMDlgHeight() / 2);
    struct Row {
        const char* name;
        const char* baud; // chosen in the form
        bool ok;
        QORLNK::TBaudRate expected;
    } rows[] = {
        {"cancel keeps the settings", "19200", false, QORLNK::br9600},
        {"baud changed while open", "19200", true, QORLNK::br19200},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QPoint shownAt;
        int shownPort = 0;
        QString shownBaud;
        test::WhenModal([&](QWidget* w) {
            auto* f = qobject_cast<QORLNK::TLNKCOMDlgFrm*>(w);
            if (!f) {
                ADD_FAILURE() << "not the settings form";
                w->close();
                return;
            }
            shownAt = f->pos();
            shownPort = f->COMPortComboBoxEx->currentIndex() + 1;
            shownBaud = f->BaudRateComboBox->currentText();
            f->BaudRateComboBox->setCurrentIndex(
                f->BaudRateComboBox->findText(QString::fromLatin1(row.baud)));
            QTest::mouseClick(row.ok ? f->OKButton : f->CancelButton, Qt::LeftButton);
        });
        Item("COMSettings")->trigger();
        EXPECT_EQ(shownAt, centred);
        EXPECT_EQ(shownPort, kCom);
        EXPECT_EQ(shownBaud, "9600");
        EXPECT_EQ(form->Config().BaudRate, row.expected);
        EXPECT_EQ(form->Config().ComPort, kCom);
        EXPECT_EQ(StatusText(0), "COM25: 9600 8 none 1"); // still open, as opened
    }
    Item("COMClose")->trigger();
    Item("COMOpen")->trigger();
    EXPECT_EQ(StatusText(0), "COM25: 19200 8 none 1");
}

// ---- Status bar and log gestures ------------------------------------------------------

TEST_F(LinkTest, StatusBarDoubleClickResetsAllCounters) {
    ASSERT_NO_FATAL_FAILURE(Connect({"--silent", "ACC"}));
    Define(0, ctParamGetSet, "SPD");
    Define(1, ctParamGetSet, "ACC");
    for (int panel = 0; panel < 8; ++panel) {
        SCOPED_TRACE(panel);
        Click(Ctrls(0).get);
        ASSERT_TRUE(WaitIdle());
        Click(Ctrls(1).get);
        ASSERT_TRUE(WaitIdle());
        ASSERT_NE(Panels(), (Panels3{"0", "0", "0"}));
        QTest::mouseDClick(apptest::StatusPanel(*form, panel), Qt::LeftButton);
        EXPECT_EQ(Panels(), (Panels3{"0", "0", "0"}));
        // The counts themselves start again: the next frame and reply show 1.
        Click(Ctrls(0).get);
        ASSERT_TRUE(WaitIdle());
        EXPECT_EQ(Panels(), (Panels3{"1", "1", "0"}));
    }
}

TEST_F(LinkTest, LogDoubleClickClearsItWhileARunGoesOn) {
    ASSERT_NO_FATAL_FAILURE(Connect({"--delay", "20"})); // a run that takes its time
    constexpr int kSlots = 30;
    for (int i = 0; i < kSlots; ++i)
        Define(i, ctParamGet, "SPD", "", IncInGetAll);
    Item("GetAllParameters")->trigger();
    ASSERT_TRUE(WaitUntil([&] { return LogLines().size() >= 3; }));
    QTest::mouseDClick(apptest::Memo(*form)->viewport(), Qt::LeftButton);
    const int cleared = Count(4); // replies in before the double click
    EXPECT_TRUE(LogLines().isEmpty());
    ASSERT_TRUE(WaitUntil([&] { return Count(4) == kSlots; }, 3 * kWaitMs));
    ASSERT_LT(cleared, kSlots);
    EXPECT_EQ(LogLines().size(), kSlots - cleared);
    ASSERT_FALSE(LogLines().isEmpty());
    EXPECT_EQ(LogLines().back(), "SPD = 1500");
}

// ---- Time stamps, Save Log As, the traffic window ---------------------------------------

TEST_F(LinkTest, TimeStampsAndSaveLogAs) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    Define(0, ctParamGetSet, "SPD", "Speed");
    QTemporaryDir dir;
    QString answer;
    TMainFormDialogs dialogs;
    dialogs.SaveTextFile = [&](const QString&) { return answer; };
    form->SetDialogs(dialogs);

    const QRegularExpression stamp("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d $");
    for (const bool on : {false, true, false}) {
        SCOPED_TRACE(on);
        Item("TimeStamps")->setChecked(on);
        ClearLog();
        Click(Ctrls(0).get);
        ASSERT_TRUE(WaitLogLines(1));
        ASSERT_TRUE(WaitIdle());
        const QString line = LogLines().value(0);
        EXPECT_EQ(line.mid(on ? 13 : 0), "Speed = 1500"); // the line itself unchanged
        if (on) {
            EXPECT_TRUE(stamp.match(line.left(13)).hasMatch()) << line.toStdString();
        }
    }

    // The whole log, the line still waiting for its batch included, as UTF-8.
    TLogView* memo = apptest::Named<TLogView>(*form, "Memo");
    memo->AppendLine(QString::fromUtf8("Gr\u00F6\u00DFe"));
    ASSERT_EQ(memo->PendingLines(), 1);
    answer = dir.filePath("log.txt");
    memo->SaveLogAsItem()->trigger();
    EXPECT_EQ(QString::fromUtf8(QByteArray::fromStdString(ReadFile(answer.toStdString()))),
              QString::fromUtf8("Speed = 1500\nGr\u00F6\u00DFe\n"));

    struct Row {
        QString path;
        QString message;
    } rows[] = {
        {dir.filePath("missing/log.txt"),
         "Cannot create file " + dir.filePath("missing/log.txt") + ": No such file or directory"},
        {"/dev/full", "Cannot create file /dev/full: not a regular file"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path.toStdString());
        TBoxWatcher boxes;
        answer = row.path;
        memo->SaveLogAsItem()->trigger();
        ASSERT_TRUE(WaitUntil([&] { return !boxes.seen.isEmpty(); }));
        EXPECT_EQ(boxes.Texts(QMessageBox::Critical), QStringList{row.message});
    }
    EXPECT_EQ(LogLines().size(), 2); // a failed save leaves the log as it was
}

TEST_F(LinkTest, TrafficWindowShowsAGetsFrameAndReply) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    Define(0, ctParamGetSet, "SPD", "Speed");
    Click(Ctrls(0).get); // before the window opens: not recorded
    ASSERT_TRUE(WaitIdle());
    Item("Traffic")->trigger();
    TTrafficForm* traffic = form->TrafficWindow();
    ASSERT_TRUE(traffic && traffic->isVisible());
    const pmv::TTrafficLog& log = traffic->Log();
    EXPECT_EQ(log.Size(), 0u);

    Click(Ctrls(0).get);
    ASSERT_TRUE(WaitIdle());
    const QAbstractItemModel* table = traffic->Table()->model();
    ASSERT_TRUE(WaitUntil([&] { return table->rowCount() >= 2; }));
    const auto cell = [&](int row, int column) {
        return table->index(row, column).data().toString();
    };
    EXPECT_EQ(cell(0, 1), "TX");
    EXPECT_EQ(cell(0, 2), "51 58 53 50 44 0D");
    EXPECT_EQ(cell(0, 3), "QXSPD.");
    // The reply in one burst, unless a busy machine paused its delivery.
    std::string reply;
    for (int row = 1; row < table->rowCount(); ++row) {
        EXPECT_EQ(cell(row, 1), "RX");
        reply += log.Row(std::size_t(row)).bytes;
    }
    EXPECT_EQ(reply, "QXSPD = 1500\r");
    EXPECT_EQ(cell(table->rowCount() - 1, 3).right(5), "1500.");

    traffic->CopyRows(); // no selection: all rows
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), log.Lines(0, log.Size()));

    // Closed, it records nothing.
    traffic->close();
    const std::size_t rows = log.Size();
    Click(Ctrls(0).get);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(log.Size(), rows);
}

// The port component writes straight from the link's frame buffers: a
// window destroyed while a long frame is still being written must end the
// transfer before the buffers go.
TEST_F(LinkTest, WindowDestroyedWhileAFrameIsWritten) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        if (!form) {
            form = std::make_unique<TMainForm>();
            ASSERT_NO_FATAL_FAILURE(ShowActive());
            ASSERT_NO_FATAL_FAILURE(Open());
        }
        Define(0, ctCommandString, "NAME");
        Panel()->SetEditText(0, QString(256 * 1024, QLatin1Char('z')));
        Ctrls(0).set->click();
        EXPECT_EQ(StatusText(2), "1");
        form.reset(); // at once: the transmit thread is still writing
    }
}

// ---- A device that vanishes and comes back ---------------------------------------
//
// A USB serial adapter that is unplugged is hung up by its driver: reads and
// writes on the open node fail (EIO, hang-up), which the serial layer reports
// as a vanished device. udev then removes the node and its
// /dev/serial/by-id link; plugged in again, the adapter gets a node again,
// possibly another number (ttyUSB1 for ttyUSB0), and udev recreates the same
// by-id link. Here the device is the simulator's pseudo-terminal: killing
// the simulator closes the pty's master, which hangs up the port's side in
// the same way, and a simulator started again gets a new /dev/pts node. The
// by-id folder is a private one (PMV_DEV_ROOT), whose link the tests remove
// and create as udev does, and the operator's device map names COM25 by that
// link.
class DeviceLossTest : public ::testing::Test {
protected:
    static constexpr const char* kById = "usb-PMV_QXM300_Simulator_0001-if00";
    static constexpr const char* kOtherById = "usb-PMV_QXM300_Simulator_0002-if00";

    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_devRoot = m_dir.filePath("dev").toStdString();
        m_sysRoot = m_dir.filePath("sys").toStdString();
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(m_devRoot + "/serial/by-id")));
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(m_sysRoot)));
        m_map = m_dir.filePath("commap").toStdString();
        m_simMap = m_dir.filePath("simmap").toStdString();
        ::setenv("PMV_COMMAP", m_map.c_str(), 1);
        ::setenv("PMV_DEV_ROOT", m_devRoot.c_str(), 1);
        ::setenv("PMV_SYSFS_ROOT", m_sysRoot.c_str(), 1);
        MapComTo(kById);
        form = std::make_unique<TMainForm>();
        ASSERT_TRUE(test::ShowActive(*form));
    }

    void TearDown() override {
        form.reset();
        for (auto& sim : m_sims)
            sim->Stop();
        ::unsetenv("PMV_COMMAP");
        ::unsetenv("PMV_DEV_ROOT");
        ::unsetenv("PMV_SYSFS_ROOT");
    }

    std::string ByIdPath(const char* name) const { return m_devRoot + "/serial/by-id/" + name; }

    // The operator's line: COM25 is the device with that by-id name.
    void MapComTo(const char* byId) { MapComToPath(ByIdPath(byId)); }
    void MapComToPath(const std::string& path, const std::string& padding = {}) {
        std::ofstream(m_map) << padding << "COM25=" << path << "\n";
    }
    const std::string& MapFile() const { return m_map; }

    // A target on a new pty (published only in a map of its own); its node.
    std::string StartTarget(std::vector<std::string> args = {}) {
        m_log = m_dir.filePath(QStringLiteral("sim%1.log").arg(m_sims.size())).toStdString();
        args.insert(args.end(), {"--log", m_log});
        m_sims.push_back(std::make_unique<qxmsim::TSimProcess>());
        if (!m_sims.back()->Start(QXM_SIM_PATH, m_simMap, 31, args)) {
            ADD_FAILURE() << m_sims.back()->Error();
            return {};
        }
        return m_sims.back()->Device();
    }

    // The device is plugged in: a target, and its by-id link. Returns its
    // node. beforeLink runs with the node before udev's link appears.
    std::string PlugIn(const char* byId = kById, std::vector<std::string> args = {},
                       const std::function<void(const std::string&)>& beforeLink = {}) {
        const std::string node = StartTarget(std::move(args));
        if (node.empty())
            return {};
        if (beforeLink)
            beforeLink(node);
        ::unlink(ByIdPath(byId).c_str());
        EXPECT_EQ(::symlink(node.c_str(), ByIdPath(byId).c_str()), 0);
        return node;
    }

    // Pulled out: the simulator ends at once (SIGKILL) and its link goes.
    void Unplug(const char* byId = kById) {
        ASSERT_FALSE(m_sims.empty());
        ::kill(m_sims.back()->Pid(), SIGKILL);
        m_sims.back()->Wait();
        ::unlink(ByIdPath(byId).c_str());
    }

    bool SimGot(const std::string& frame) {
        return WaitUntil([&] { return ReadFile(m_log).find("rx " + frame) != std::string::npos; });
    }

    void OpenCom25() {
        apptest::ChoosePort(*form, kCom);
        apptest::Item(*form, "COMOpen")->trigger();
        ASSERT_TRUE(StatusText(0).startsWith("COM25: ")) << StatusText(0).toStdString() << "\n"
                                                         << LogLines().join('\n').toStdString();
    }

    TCmdRecord Define(int index, const char* cmd, const char* descr, std::uint32_t opts = 0) {
        const TCmdRecord r = apptest::Record(ctParamGetSet, cmd, descr, opts);
        form->SetSlot(index, r);
        return r;
    }
    void Get(int index) {
        apptest::Panel(*form)->setCurrentIndex(0);
        QTest::mouseClick(apptest::SlotWidgets(*form, index).get, Qt::LeftButton);
    }

    QString StatusText(int i) const { return apptest::StatusText(*form, i); }
    // The log without the holders of other processes on this machine: test
    // programs running beside this one open pseudo-terminals too, and one
    // may hold a node for a moment as the device comes back. The window
    // rightly says so and waits; only this test's own holder is kept.
    QStringList LogLines() const {
        QStringList lines = apptest::LogLines(*form);
        lines.removeIf([this](const QString& line) {
            return line.contains(QLatin1String(": device back, not opened yet: in use by ")) &&
                   !line.endsWith(QStringLiteral("(pid %1)").arg(m_ownHolder));
        });
        return lines;
    }
    void OwnHolder(int pid) { m_ownHolder = pid; }
    testing::AssertionResult WaitLogLine(const QString& line) {
        if (WaitUntil([&] { return LogLines().contains(line); }))
            return testing::AssertionSuccess();
        return testing::AssertionFailure()
               << "no line \"" << line.toStdString() << "\" in the log:\n"
               << LogLines().join('\n').toStdString() << "\nstatus " << StatusText(0).toStdString();
    }
    static QString Lost(const std::string& node, const char* byId = kById) {
        return QStringLiteral("COM25 (%1, %2): device lost")
            .arg(QString::fromStdString(node), QLatin1String(byId));
    }
    static QString Back(const std::string& node, const char* byId = kById) {
        return QStringLiteral("COM25 (%1, %2): device back, reopened")
            .arg(QString::fromStdString(node), QLatin1String(byId));
    }
    // Long enough for the watch to have looked at the map several times.
    static void SeveralPolls() { RunEventsFor(4 * TPortWatch::kPollMs); }

    std::unique_ptr<TMainForm> form;

private:
    QTemporaryDir m_dir;
    std::string m_devRoot, m_sysRoot, m_map, m_simMap, m_log;
    std::vector<std::unique_ptr<qxmsim::TSimProcess>> m_sims;
    int m_ownHolder = -1;
};

TEST_F(DeviceLossTest, LostDuringARunThenBackUnderItsByIdName) {
    const std::string first = PlugIn(kById, {"--silent", "ACC"});
    ASSERT_NO_FATAL_FAILURE(OpenCom25());
    apptest::Named<QTimer>(*form, "RxTimer")->setInterval(kReplyWindowMs);
    Define(0, "ACC", "Acceleration", IncInGetAll);
    Define(1, "SPD", "Speed", IncInGetAll);

    // A Get All waits for its first reply when the device goes.
    apptest::Item(*form, "GetAllParameters")->trigger();
    ASSERT_TRUE(SimGot("QXACC\\r"));
    Unplug();
    ASSERT_TRUE(WaitLogLine(Lost(first)));
    EXPECT_EQ(StatusText(0), "COM25 lost");
    // The request outstanding ends with its time-out, and the run with it.
    ASSERT_TRUE(WaitLogLine("Acceleration - Rx timeout"));
    EXPECT_EQ(LogLines().size(), 2) << LogLines().join('\n').toStdString();
    EXPECT_EQ(LogLines().count(Lost(first)), 1);
    EXPECT_EQ(StatusText(2), "1");
    EXPECT_EQ(StatusText(6), "1");

    // Requests now find the port closed.
    apptest::Memo(*form)->clear();
    Get(1);
    apptest::Item(*form, "GetAllParameters")->trigger();
    EXPECT_EQ(LogLines(),
              (QStringList{"ERROR: - COM port not opened", "ERROR: - COM port not opened"}));

    // Plugged in again: another node, the same by-id name.
    apptest::Memo(*form)->clear();
    const std::string second = PlugIn();
    ASSERT_TRUE(WaitLogLine(Back(second)));
    EXPECT_EQ(LogLines(), QStringList{Back(second)});
    EXPECT_EQ(StatusText(0), "COM25: 9600 8 none 1");
    Get(1);
    ASSERT_TRUE(WaitLogLine("Speed = 1500"));
    EXPECT_EQ(StatusText(4), "1");
}

// Another device that appears meanwhile is not the one that was lost; once
// the operator points the number at it in the map, the port opens there.
TEST_F(DeviceLossTest, AnotherDeviceIsOpenedOnlyOnceTheMapNamesIt) {
    const std::string first = PlugIn();
    ASSERT_NO_FATAL_FAILURE(OpenCom25());
    Unplug();
    ASSERT_TRUE(WaitLogLine(Lost(first)));

    const std::string other = PlugIn(kOtherById);
    SeveralPolls();
    EXPECT_EQ(StatusText(0), "COM25 lost");
    EXPECT_EQ(LogLines(), QStringList{Lost(first)});

    MapComTo(kOtherById);
    const QString changed = QStringLiteral("COM25 (%1, %2): device map changed, reopened")
                                .arg(QString::fromStdString(other), QLatin1String(kOtherById));
    ASSERT_TRUE(WaitLogLine(changed));
    EXPECT_EQ(StatusText(0), "COM25: 9600 8 none 1");
    EXPECT_EQ(LogLines(), (QStringList{Lost(first), changed}));
}

// A map line naming a pseudo-terminal itself: once its target has gone, the
// number /dev/pts/N goes to the next terminal that asks for one. That
// stranger is not the device and gets nothing; the operator's new line for
// the number is followed.
TEST_F(DeviceLossTest, ReusedTerminalNumberIsNotTheDeviceBack) {
    const std::string first = StartTarget();
    MapComToPath(first);
    ASSERT_NO_FATAL_FAILURE(OpenCom25());
    Define(0, "SPD", "Speed");
    Unplug();
    const QString node = QString::fromStdString(first);
    ASSERT_TRUE(WaitLogLine(QStringLiteral("COM25 (%1): device lost").arg(node)));

    // New terminals take the lowest free number: soon one gets the target's.
    struct TTerminal {
        int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        ~TTerminal() { ::close(master); }
        std::string Slave() const {
            char name[64] = {};
            return ::grantpt(master) == 0 && ::unlockpt(master) == 0 &&
                           ::ptsname_r(master, name, sizeof name) == 0
                       ? name
                       : "";
        }
    };
    std::vector<std::unique_ptr<TTerminal>> terminals;
    const TTerminal* stranger = nullptr;
    while (!stranger && terminals.size() < 64) {
        terminals.push_back(std::make_unique<TTerminal>());
        if (terminals.back()->Slave() == first)
            stranger = terminals.back().get();
    }
    ASSERT_TRUE(stranger) << first << " was not given out again";
    SeveralPolls();
    EXPECT_EQ(StatusText(0), "COM25 lost");
    Get(0);
    EXPECT_EQ(LogLines().last(), "ERROR: - COM port not opened");
    char byte;
    EXPECT_EQ(::read(stranger->master, &byte, 1), -1); // nothing was written to it

    const std::string second = StartTarget();
    MapComToPath(second);
    ASSERT_TRUE(WaitLogLine(QStringLiteral("COM25 (%1): device map changed, reopened")
                                .arg(QString::fromStdString(second))));
    Get(0);
    ASSERT_TRUE(WaitLogLine("Speed = 1500"));
}

// While the watch waits, the map file is read again only when it changes,
// not at every look.
TEST_F(DeviceLossTest, WaitingWatchReadsTheMapOnlyWhenItChanges) {
    const std::string first = PlugIn();
    MapComToPath(ByIdPath(kById), std::string(900000, '#') + "\n");
    const timespec settled[2] = {{::time(nullptr) - 60, 0}, {::time(nullptr) - 60, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, MapFile().c_str(), settled, 0), 0);
    ASSERT_NO_FATAL_FAILURE(OpenCom25());
    Unplug();
    ASSERT_TRUE(WaitLogLine(Lost(first)));
    const auto bytesRead = [] {
        std::ifstream io("/proc/self/io");
        long long n = -1;
        for (std::string key; io >> key;)
            if (key == "rchar:")
                io >> n;
        return n;
    };
    const long long before = bytesRead();
    SeveralPolls();
    EXPECT_LT(bytesRead() - before, 450000);
}

// A device that comes back held by another program (a modem manager probing
// a new device does that) is opened once that program lets go.
TEST_F(DeviceLossTest, BackButHeldIsOpenedOnceFree) {
    const std::string first = PlugIn();
    ASSERT_NO_FATAL_FAILURE(OpenCom25());
    Unplug();
    ASSERT_TRUE(WaitLogLine(Lost(first)));

    auto holder = std::make_unique<apptest::THolder>();
    const std::string second =
        PlugIn(kById, {}, [&](const std::string& node) { ASSERT_TRUE(holder->Start(node)); });
    const QString held =
        QStringLiteral("COM25 (%1, %2): device back, not opened yet: in use by sleep (pid %3)")
            .arg(QString::fromStdString(second), QLatin1String(kById))
            .arg(holder->Pid());
    OwnHolder(holder->Pid());
    ASSERT_TRUE(WaitLogLine(held));
    SeveralPolls();
    EXPECT_EQ(LogLines(), (QStringList{Lost(first), held})); // said once
    EXPECT_EQ(StatusText(0), "COM25 lost");

    holder.reset();
    ASSERT_TRUE(WaitLogLine(Back(second)));
    EXPECT_EQ(StatusText(0), "COM25: 9600 8 none 1");
}

// Whatever the operator does with the port ends the wait: the device that
// comes back afterwards is left alone.
TEST_F(DeviceLossTest, TheOperatorsOwnStepsEndTheWait) {
    const QString example = QStringLiteral(PMV_EXAMPLES_DIR "/qxm300-pump.ini");
    struct Row {
        const char* name;
        std::function<void()> step;
        const char* status; // panel 0 afterwards
    } rows[] = {
        {"COM > Close", [&] { apptest::Item(*form, "COMClose")->trigger(); }, "COM closed"},
        {"configuration loaded", [&] { form->LoadConfigFromFile(example); }, "COM Closed"},
        {"new settings",
         [&] {
             apptest::ChangePortSettings(*form, [](QORLNK::TLNKCOMDlgFrm& f) {
                 apptest::Choose(f.BaudRateComboBox, "19200");
             });
         },
         "COM closed"},
        {"same settings again",
         [&] { apptest::ChangePortSettings(*form, [](QORLNK::TLNKCOMDlgFrm&) {}); }, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string node = PlugIn();
        ASSERT_NO_FATAL_FAILURE(OpenCom25());
        Unplug();
        ASSERT_TRUE(WaitLogLine(Lost(node)));
        row.step();
        const std::string again = PlugIn();
        if (!row.status) {
            // Unchanged settings are no step of the operator's: the wait goes on.
            ASSERT_TRUE(WaitLogLine(Back(again)));
            apptest::Item(*form, "COMClose")->trigger();
        } else {
            EXPECT_EQ(StatusText(0), row.status);
            SeveralPolls();
            EXPECT_EQ(StatusText(0), row.status);
            EXPECT_FALSE(LogLines().contains(Back(again)));
        }
        Unplug();
        apptest::Memo(*form)->clear();
    }
}

// ---- the end on a signal ----------------------------------------------------------

// Run as a child process (this binary again): the window with the real
// program's end on signals, the configuration named by PMV_TEST_CONFIG
// loaded (its port opens) and changed; "ready" on standard output, then the
// event loop until a signal ends it with the program's exit code.
TEST(HostSignals, DISABLED_WindowInAChild) {
    TMainForm form;
    const auto endOnSignals = EndOnSignals(form);
    ASSERT_TRUE(test::ShowActive(form));
    form.LoadConfigFromFile(QString::fromLocal8Bit(qgetenv("PMV_TEST_CONFIG")));
    ASSERT_TRUE(apptest::StatusText(form, 0).startsWith("COM25: "));
    form.SetSlot(0, apptest::Record(ctParamGetSet, "NEW", "Changed"));
    std::printf("ready\n");
    std::fflush(stdout);
    const int code = QCoreApplication::exec();
    std::fflush(stderr);
    std::_Exit(code);
}

// A logout, kill or Ctrl-C ends the host with the port closed through the
// component (so that the next user finds it free, the exclusive flag
// cleared) and the changes kept beside their file, never over it; the next
// start names the copy.
TEST(HostSignals, PortClosedAndChangesKeptBesideTheFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string map = dir.filePath(QStringLiteral("commap")).toStdString();
    ::setenv("PMV_COMMAP", map.c_str(), 1);
    qxmsim::TSimProcess sim;
    ASSERT_TRUE(sim.Start(QXM_SIM_PATH, map, kCom, {})) << sim.Error();
    const QString config = dir.filePath(QStringLiteral("pump.ini"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(PMV_EXAMPLES_DIR "/qxm300-pump.ini"), config));
    const std::string original = ReadFile(config.toStdString());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PMV_TEST_CONFIG"), config);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

    const struct {
        int signal;
        const char* copy;
    } rows[] = {{SIGTERM, "pump.recovered.ini"},
                {SIGINT, "pump.recovered-2.ini"},
                {SIGHUP, "pump.recovered-3.ini"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(sigabbrev_np(row.signal));
        QProcess child;
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--gtest_also_run_disabled_tests"),
                     QStringLiteral("--gtest_filter=HostSignals.DISABLED_WindowInAChild")});
        ASSERT_TRUE(
            WaitUntil([&] { return child.readAllStandardOutput().contains("ready"); }, 60000))
            << child.readAllStandardError().toStdString();
        ::kill(pid_t(child.processId()), row.signal);
        ASSERT_TRUE(child.waitForFinished(60000));
        EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(child.exitCode(), 128 + row.signal);
        const QString copy = dir.filePath(QLatin1String(row.copy));
        const std::string said = child.readAllStandardError().toStdString();
        EXPECT_TRUE(said.ends_with(std::string("\npmv-host: ended by SIG") +
                                   sigabbrev_np(row.signal) +
                                   "; COM25 closed; unsaved changes "
                                   "kept in " +
                                   copy.toStdString() + "\n"))
            << said;
        EXPECT_EQ(ReadFile(config.toStdString()), original);
        const TConfigLoadResult kept = LoadConfigFile(QFile::encodeName(copy).toStdString());
        EXPECT_EQ(kept.Status, TConfigLoadStatus::Ok) << kept.Message;
        EXPECT_EQ(kept.Set.CmdTable[0].cmd_str, "NEW");
        // The component's close cleared the flag that keeps other programs out.
        if (::geteuid() == 0) { // root opens past the flag to read it
            const int fd = ::open(sim.Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            int exclusive = -1;
            EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
            EXPECT_EQ(exclusive, 0);
            ::close(fd);
        }
    }

    // The next start names the copies; ended unchanged, it keeps nothing.
    QProcess host;
    host.setProcessEnvironment(env);
    host.setWorkingDirectory(dir.path());
    host.start(QStringLiteral(PMV_HOST_EXE), {});
    QByteArray said;
    const QByteArray named = "pmv-host: Recovery copy \"pump.recovered.ini\" holds changes not "
                             "saved when the host was ended by a signal (in " +
                             dir.path().toLocal8Bit() + ")\n";
    ASSERT_TRUE(WaitUntil(
        [&] {
            said += host.readAllStandardError();
            return said.contains(named);
        },
        60000))
        << said.toStdString();
    EXPECT_EQ(said.count("pmv-host: Recovery copy"), 3) << said.toStdString();
    ::kill(pid_t(host.processId()), SIGTERM);
    ASSERT_TRUE(host.waitForFinished(60000));
    EXPECT_EQ(host.exitCode(), 128 + SIGTERM);
    EXPECT_EQ(QDir(dir.path()).entryList({QStringLiteral("*.recovered*")}).size(), 3);
    ::unsetenv("PMV_COMMAP");
}

} // namespace
