// The target link through the real main window: slot buttons, keys, wheel,
// Get All / Set All, port control, the status bar and log gestures, against
// the bundled simulator (qxm-sim) on a real pseudo-terminal published as
// COM25 through a private device map.
#include "app/Mainfrm.h"
#include "app/MainfrmLinkAdapters.h"
#include "comport/Lnkcomdlg.h"
#include "comport/Lnkcomport.h"
#include "dialogs/Dlgutils.h"
#include "tests/dialogs/DialogTest.h"
#include "tools/sim/SimClient.h"
#include "tools/sim/SimTarget.h"

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>
#include <QWindow>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace pmv;

namespace {

constexpr int Com = 25;
constexpr int Wait = 10000;         // ms; generous, the machine may be busy
constexpr int ReplyWindowMs = 1000; // reply timer of the tests that connect

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FDir.isValid());
        FMap = FDir.filePath("commap").toStdString();
        FSimLog = FDir.filePath("sim.log").toStdString();
        ::setenv("PMV_COMMAP", FMap.c_str(), 1);
        form = std::make_unique<TMainForm>();
    }

    void TearDown() override {
        form.reset(); // closes the port
        if (FSim.Pid() > 0) {
            EXPECT_EQ(FSim.Stop(), 0);
        }
        ::unsetenv("PMV_COMMAP");
    }

    // Starts qxm-sim as COM25 with extra options.
    void StartSim(std::vector<std::string> args = {}) {
        args.insert(args.end(), {"--log", FSimLog});
        ASSERT_TRUE(FSim.Start(QXM_SIM_PATH, FMap, Com, args)) << FSim.Error();
    }

    void ShowActive() { ASSERT_TRUE(test::ShowActive(*form)); }

    // Simulator, window, port open on COM25.
    void Connect(std::vector<std::string> args = {}) {
        ASSERT_NO_FATAL_FAILURE(StartSim(std::move(args)));
        ASSERT_NO_FATAL_FAILURE(ShowActive());
        form->LNKCOMPort->SetPort1(Com);
        form->COMOpenClick();
        ASSERT_TRUE(form->LNKCOMPort->GetOpened());
        // A loaded machine can take longer than 200 ms to answer; these tests
        // are about what the window does with replies and time-outs, not about
        // the length of the reply window, so it is widened here.
        EXPECT_EQ(form->RxTimer->interval(), 200);
        form->RxTimer->setInterval(ReplyWindowMs);
    }

    TCmdRecord& Define(int index, std::int8_t kind, const char* cmd, const char* descr = "",
                       std::int32_t opts = 0, std::int32_t start = 0) {
        TCmdRecord& r = form->CmdTable[index];
        r = TCmdRecord{};
        r.cmd_type = kind;
        r.cmd_str = cmd;
        r.cmd_descr = descr;
        r.opts = opts;
        r.val_start = start;
        r.val_min = -99999;
        r.val_max = 999999;
        r.val_inc = 1;
        form->ShowSlot(index);
        return r;
    }

    const TSlotCtrls& Ctrls(int index) const { return form->SlotCtrls[index]; }
    TRequestEngine& Engine() const { return form->LinkEngine(); }

    void Click(QPushButton* b) {
        form->CmdsPageControl->setCurrentWidget(b->parentWidget()->parentWidget());
        QTest::mouseClick(b, Qt::LeftButton);
    }

    QStringList LogLines() const {
        const QString text = form->Memo->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }
    bool WaitLogLines(int n) {
        return QTest::qWaitFor([&] { return LogLines().size() >= n; }, Wait);
    }
    bool WaitIdle() {
        return QTest::qWaitFor([&] { return !Engine().ComBusy(); }, Wait);
    }

    // Frames the simulator received, as it logs them (control bytes escaped).
    std::vector<std::string> SimFrames(const char* prefix = "rx ") const {
        std::vector<std::string> out;
        const std::string log = ReadFile(FSimLog);
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
        return QTest::qWaitFor([&] { return SimFrames().size() >= n; }, Wait);
    }
    static std::string P(const std::string& bytes) { return qxmsim::Printable(bytes); }

    std::vector<QString> Panels() const {
        return {form->StatusPanel(2), form->StatusPanel(4), form->StatusPanel(6)};
    }

    std::unique_ptr<TMainForm> form;

private:
    QTemporaryDir FDir;
    std::string FMap;
    std::string FSimLog;
    qxmsim::TSimProcess FSim;
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
            form->SetSlotEditText(row.slot, QString::fromLatin1(row.edit));
        form->Memo->clear();
        Click(row.get ? Ctrls(row.slot).get : Ctrls(row.slot).set);
        ++n;
        ASSERT_TRUE(WaitSimFrames(n));
        EXPECT_EQ(SimFrames().back(), P(row.frame));
        ASSERT_TRUE(WaitLogLines(1));
        ASSERT_TRUE(WaitIdle());
        EXPECT_EQ(LogLines(), QStringList{QString::fromLatin1(row.logLine)});
        EXPECT_EQ(Ctrls(row.slot).edit->text(), QString::fromLatin1(row.editAfter));
        EXPECT_EQ(Panels(), (Panels3{QString::number(n), QString::number(n), "0"}));
        EXPECT_EQ(form->SelectedSlot, row.slot); // the mouse press selected it
    }
    EXPECT_EQ(form->Link().Port.Dropped(), 0u);
}

TEST_F(LinkTest, OptionsAreReadWhenTheyMatter) {
    ASSERT_NO_FATAL_FAILURE(Connect({"--lf"}));
    Define(4, ctParamGetSet, "SPD", "Speed");
    struct Row {
        const char* name;
        bool tx, unframed, descr;
        QStringList lines;
    } rows[] = {
        // First, so that no line feed of an earlier reply is still on its way.
        {"unframed line feed", false, true, true, {"Speed = 1500", "\u240A"}},
        {"defaults", false, false, true, {"Speed = 1500"}},
        {"transmissions", true, false, true, {"QXSPD\u240D", "Speed = 1500"}},
        {"raw reply body", false, false, false, {"SPD = 1500"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        form->Memo->clear();
        form->ShowTransmissions->setChecked(row.tx);
        form->ShowUnframedReceptions->setChecked(row.unframed);
        form->ShowCommandDescription->setChecked(row.descr);
        Click(Ctrls(4).get);
        ASSERT_TRUE(WaitLogLines(int(row.lines.size())));
        ASSERT_TRUE(WaitIdle());
        EXPECT_EQ(LogLines(), row.lines);
    }
}

TEST_F(LinkTest, ReplyShownWholeInANumericEdit) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    const std::string longText(80, 'x');
    TCmdRecord& text = Define(2, ctCommandString, "NAME");
    text.str = longText;
    form->ShowSlot(2);
    EXPECT_EQ(Ctrls(2).edit->text().toStdString(), longText);
    Click(Ctrls(2).set);
    ASSERT_TRUE(WaitLogLines(1));
    ASSERT_TRUE(WaitIdle());

    Define(3, ctParamGetSet, "NAME", "", UpdateEditOnGet);
    EXPECT_EQ(form->SlotEditMaxLength(3), 6);
    Click(Ctrls(3).get);
    ASSERT_TRUE(WaitLogLines(2));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Ctrls(3).edit->text().toStdString(), longText); // not cut to 6
    EXPECT_EQ(form->SlotEditMaxLength(3), 6);
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
        form->SetSlotEditText(9, QString());
        e->setFocus();
        QTest::keyClicks(e, QString(row.typed, QLatin1Char('7')));
        EXPECT_EQ(e->text().size(), row.kept);
        EXPECT_EQ(form->SlotEditMaxLength(9), row.kept);
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
    form->GetAllParameters->trigger();
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
    EXPECT_EQ(Engine().SeqLeft(), 0);
}

TEST_F(LinkTest, SetAllSendsEveryFrameAsASet) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    Define(0, ctParamGetSet, "ACC", "", IncInSetAll | IncInGetAll, 300);
    Define(1, ctParamSet, "DEC", "", IncInSetAll, 250);
    Define(2, ctParamGet, "SPD", "", IncInSetAll); // a Get kind
    form->SetSlotEditText(1, "0x10");
    form->SetAllParameters->trigger();
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
    form->GetAllParametersClick();
    ASSERT_TRUE(WaitLogLines(2));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(LogLines(), (QStringList{"SPD = 1500", "ACC - Rx timeout"}));
    EXPECT_EQ(Panels(), (Panels3{"2", "1", "1"}));
    EXPECT_EQ(Engine().SeqLeft(), 4);

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
    // The late "QXACC = 200" counts as the reply to Speed, sent last.
    EXPECT_EQ(LogLines(),
              (QStringList{"Acceleration - Rx timeout", "Speed = 1500", "Speed = 200"}));
    EXPECT_EQ(Ctrls(1).edit->text(), "200");
    EXPECT_EQ(Panels(), (Panels3{"2", "2", "1"}));
}

TEST_F(LinkTest, ClosingWithARequestOutstandingStillTimesOut) {
    ASSERT_NO_FATAL_FAILURE(Connect({"--silent", "ACC"}));
    Define(0, ctParamGetSet, "ACC", "Acceleration");
    Click(Ctrls(0).get);
    ASSERT_TRUE(Engine().ComBusy());
    form->COMClose->trigger();
    EXPECT_FALSE(form->LNKCOMPort->GetOpened());
    EXPECT_EQ(form->StatusPanel(0), "COM closed");
    ASSERT_TRUE(WaitLogLines(1));
    EXPECT_EQ(LogLines(), QStringList{"Acceleration - Rx timeout"});
    EXPECT_EQ(Panels(), (Panels3{"1", "0", "1"}));
    EXPECT_FALSE(Engine().ComBusy());
}

TEST_F(LinkTest, RunsRefusedOnAClosedPortOrWhileBusy) {
    ASSERT_NO_FATAL_FAILURE(StartSim({"--silent", "ACC"}));
    ASSERT_NO_FATAL_FAILURE(ShowActive());
    for (int i = 0; i < 4; ++i)
        Define(i, ctParamGetSet, i == 0 ? "ACC" : "SPD", "", IncInGetAll | IncInSetAll);
    form->GetAllParameters->trigger();
    form->SetAllParametersClick();
    EXPECT_EQ(LogLines(),
              (QStringList{"ERROR: - COM port not opened", "ERROR: - COM port not opened"}));
    EXPECT_EQ(Panels(), (Panels3{"0", "0", "0"}));

    form->Memo->clear();
    form->LNKCOMPort->SetPort1(Com);
    form->COMOpenClick();
    form->GetAllParametersClick(); // ACC never answers
    ASSERT_TRUE(Engine().ComBusy());
    form->GetAllParametersClick();
    form->SetAllParametersClick();
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
    form->LNKCOMPort->SetPort1(Com);
    form->COMOpenClick();
    form->Memo->clear();
    form->CmdTable[4].cmd_str.clear(); // emptied without ShowSlot: the buttons still work
    Click(Ctrls(4).get);
    Click(Ctrls(4).set);
    EXPECT_EQ(LogLines(),
              (QStringList{"ERROR: - command 5 not defined", "ERROR: - command 5 not defined"}));
    EXPECT_EQ(Panels(), (Panels3{"0", "0", "0"}));
    EXPECT_FALSE(Engine().ComBusy());
}

// A value that does not convert ends a Set All run inside the reply path; the
// error box opens once the port's receive call has returned, and the link
// keeps working.
TEST_F(LinkTest, ConversionErrorShownOutsideTheReceivePath) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    Define(0, ctParamSet, "ACC", "", IncInSetAll, 300);
    Define(1, ctParamSet, "DEC", "", IncInSetAll, 250);
    Define(2, ctParamGet, "SPD", "Speed");
    form->SetSlotEditText(1, "abc");
    bool inReceive = false;
    form->LNKCOMPort->OnRxChar = [&](QORLNK::TLNKCOMRxThread* sender, char ch) {
        inReceive = true;
        form->LNKCOMPortRxChar(sender, ch);
        inReceive = false;
    };
    QString boxText;
    bool boxInReceive = true;
    test::WhenModal([&](QWidget* w) {
        boxInReceive = inReceive;
        if (auto* box = qobject_cast<QMessageBox*>(w))
            boxText = box->text();
        QTest::keyClick(w, Qt::Key_Escape);
    });
    form->SetAllParametersClick();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxText.isEmpty(); }, 2 * Wait));
    EXPECT_EQ(boxText, "'abc' is not a valid integer value");
    EXPECT_FALSE(boxInReceive);
    EXPECT_EQ(SimFrames(), std::vector<std::string>{P("QXACC = 300\r")});
    EXPECT_EQ(Panels(), (Panels3{"1", "1", "0"}));
    EXPECT_FALSE(Engine().ComBusy());

    Click(Ctrls(2).get);
    ASSERT_TRUE(WaitLogLines(2));
    EXPECT_EQ(LogLines().back(), "Speed = 1500");
}

// ---- Value entry ----------------------------------------------------------------------

TEST_F(LinkTest, ValueEntryThroughKeyPresses) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    TCmdRecord& r = Define(6, ctParamGetSet, "ACC", "Acceleration", 0, 200);
    r.val_min = 0;
    r.val_max = 1000;
    r.val_inc = 50;
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
    r.opts = TxOnValueChange;
    QTest::mouseClick(e, Qt::LeftButton);
    QTest::keyClick(e, Qt::Key_Down);
    EXPECT_EQ(e->text(), "150");
    ASSERT_TRUE(WaitSimFrames(++frames));
    EXPECT_EQ(SimFrames().back(), P("QXACC = 150\r"));
}

void SendWheel(TMainForm& form, QWidget* over, int dy) {
    const QPoint pos = over->mapTo(&form, QPoint(5, 5));
    QWheelEvent wheel(pos, form.mapToGlobal(pos), QPoint(), QPoint(0, dy), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(form.windowHandle(), &wheel);
}

TEST_F(LinkTest, WheelStepsTheSelectedSlotWhereverThePointerIs) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    TCmdRecord& r = Define(30, ctParamGetSet, "ACC", "", TxOnValueChange, 200);
    r.val_min = 0;
    r.val_max = 1000;
    r.val_inc = 10;
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
        form->CmdsPageControl->setCurrentWidget(Ctrls(row.slot).box->parentWidget());
        QTest::mouseClick(Ctrls(row.slot).box, Qt::LeftButton, {}, QPoint(2, 2));
        ASSERT_EQ(form->SelectedSlot, row.slot);
        form->CmdsPageControl->setCurrentIndex(0); // pointer over slot 0 on page 1
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
    EXPECT_EQ(form->StatusPanel(0), "COM closed");
    form->LNKCOMPort->SetPort1(Com + 1); // nothing published there
    form->COMOpen->trigger();
    EXPECT_FALSE(form->LNKCOMPort->GetOpened());
    EXPECT_EQ(form->StatusPanel(0), "COM closed");
    EXPECT_EQ(LogLines(), QStringList{"Error: - Unable to open COM port"});

    form->LNKCOMPort->SetPort1(Com);
    form->COMOpen->trigger();
    EXPECT_TRUE(form->LNKCOMPort->GetOpened());
    EXPECT_EQ(form->StatusPanel(0), "COM25: 9600 8 none 1");
    form->COMOpen->trigger(); // already open: the component's own report only
    EXPECT_EQ(LogLines().size(), 1);

    form->COMClose->trigger();
    EXPECT_FALSE(form->LNKCOMPort->GetOpened());
    EXPECT_EQ(form->StatusPanel(0), "COM closed");
    form->SetStatusPanel(0, "x");
    form->COMClose->trigger(); // closed: nothing at all
    EXPECT_EQ(form->StatusPanel(0), "x");
    EXPECT_EQ(LogLines().size(), 1);
}

TEST_F(LinkTest, SettingsDialog) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    form->move(41, 33);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return form->frameGeometry().topLeft() == QPoint(41, 33); }, Wait));
    const QRect outer = form->frameGeometry();
    const QPoint centred(outer.left() + outer.width() / 2 - form->LNKCOMPort->GetCOMDlgWidth() / 2,
                         outer.top() + outer.height() / 2 -
                             form->LNKCOMPort->GetCOMDlgHeight() / 2);
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
        form->COMSettings->trigger();
        EXPECT_EQ(shownAt, centred);
        EXPECT_EQ(shownPort, Com);
        EXPECT_EQ(shownBaud, "9600");
        EXPECT_EQ(form->LNKCOMPort->BaudRate(), row.expected);
        EXPECT_EQ(form->LNKCOMPort->Port(), Com);
        EXPECT_TRUE(form->LNKCOMPort->GetOpened());
        EXPECT_EQ(form->StatusPanel(0), "COM25: 9600 8 none 1"); // as opened
    }
    form->COMCloseClick();
    form->COMOpenClick();
    EXPECT_EQ(form->StatusPanel(0), "COM25: 19200 8 none 1");
}

// ---- Status bar and log gestures ------------------------------------------------------

TEST_F(LinkTest, StatusBarDoubleClickResetsAllCounters) {
    ASSERT_NO_FATAL_FAILURE(Connect({"--silent", "ACC"}));
    Define(0, ctParamGetSet, "SPD");
    Define(1, ctParamGetSet, "ACC");
    for (int panel = 0; panel < TMainForm::StatusPanelCount; ++panel) {
        SCOPED_TRACE(panel);
        Click(Ctrls(0).get);
        ASSERT_TRUE(WaitIdle());
        Click(Ctrls(1).get);
        ASSERT_TRUE(WaitIdle());
        ASSERT_NE(Panels(), (Panels3{"0", "0", "0"}));
        QTest::mouseDClick(form->StatusPanels[panel], Qt::LeftButton);
        EXPECT_EQ(Panels(), (Panels3{"0", "0", "0"}));
        EXPECT_EQ(Engine().TxCount() + Engine().RxCount() + Engine().RxTOCount(), 0);
        EXPECT_EQ(form->TxCount + form->RxCount + form->RxTOCount, 0);
    }
    Click(Ctrls(0).get);
    EXPECT_EQ(form->StatusPanel(2), "1");
}

TEST_F(LinkTest, LogDoubleClickClearsItWhileARunGoesOn) {
    ASSERT_NO_FATAL_FAILURE(Connect({"--delay", "20"})); // a run that takes its time
    constexpr int Slots = 30;
    for (int i = 0; i < Slots; ++i)
        Define(i, ctParamGet, "SPD", "", IncInGetAll);
    form->GetAllParametersClick();
    ASSERT_TRUE(QTest::qWaitFor([&] { return LogLines().size() >= 3; }, Wait));
    QTest::mouseDClick(form->Memo->viewport(), Qt::LeftButton);
    const int cleared = Engine().RxCount();
    EXPECT_TRUE(LogLines().isEmpty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Engine().RxCount() == Slots; }, 3 * Wait));
    ASSERT_LT(cleared, Slots);
    EXPECT_EQ(LogLines().size(), Slots - cleared);
    ASSERT_FALSE(LogLines().isEmpty());
    EXPECT_EQ(LogLines().back(), "SPD = 1500");
}

// ---- The port adapter with the real component ---------------------------------------------

// The component takes one block at a time and only after its completion call
// has run here. A frame handed over before that is sent as soon as the
// component takes it, from the adapter's own copy.
TEST_F(LinkTest, PortAdapterSendsAFrameTheComponentFirstRefused) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    TFormLinkPort& port = form->Link().Port;
    std::string first = "QXSPD\r";
    std::string second = "QXACC\r";
    // No event processing in between: the first block cannot have completed.
    ASSERT_TRUE(
        port.TxData(reinterpret_cast<const std::uint8_t*>(first.data()), int(first.size())));
    ASSERT_TRUE(
        port.TxData(reinterpret_cast<const std::uint8_t*>(second.data()), int(second.size())));
    EXPECT_EQ(port.Deferred(), 1u);
    EXPECT_TRUE(port.Waiting());
    first.assign("QXXXX\r"); // the caller's bytes may change at once
    second.assign("QXYYY\r");
    ASSERT_TRUE(WaitSimFrames(2));
    EXPECT_EQ(SimFrames(), (std::vector<std::string>{P("QXSPD\r"), P("QXACC\r")}));
    EXPECT_FALSE(port.Waiting());
    EXPECT_EQ(port.Dropped(), 0u);

    // A waiting frame is dropped when the port closes.
    ASSERT_TRUE(WaitLogLines(2)); // both replies in: the line is free
    ASSERT_TRUE(
        port.TxData(reinterpret_cast<const std::uint8_t*>(first.data()), int(first.size())));
    ASSERT_TRUE(
        port.TxData(reinterpret_cast<const std::uint8_t*>(second.data()), int(second.size())));
    form->COMCloseClick();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !port.Waiting(); }, Wait));
    EXPECT_EQ(port.Dropped(), 1u);
}

// The port component writes straight from the window's frame buffers: a
// window destroyed while a long frame is still being written must end the
// transfer before the buffers go.
TEST_F(LinkTest, WindowDestroyedWhileAFrameIsWritten) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        if (!form) {
            form = std::make_unique<TMainForm>();
            form->LNKCOMPort->SetPort1(Com);
            form->COMOpenClick();
            ASSERT_TRUE(form->LNKCOMPort->GetOpened());
        }
        Define(0, ctCommandString, "NAME");
        form->SetSlotEditText(0, QString(256 * 1024, QLatin1Char('z')));
        form->SlotSetButtonClick(0);
        EXPECT_EQ(form->StatusPanel(2), "1");
        form.reset(); // at once: the transmit thread is still writing
    }
}

} // namespace
