// Slot editing on the main window: the slot clipboard, delete, colour,
// disable/enable and the command editor, page rename and title, the
// administrator log-in and the about box. Every dialog is the real one, run
// modally by the window and answered by a timer as an operator would.
#include "app/Mainfrm.h"

#include "app/SlotPanel.h"
#include "dialogs/Aboutfrm.h"
#include "dialogs/Dlgutils.h"
#include "dialogs/Editcmdfrm.h"
#include "dialogs/Getstrfrm.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDeadlineTimer>
#include <QDir>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/app/WindowProbe.h"

// Readable failure messages (texts: WindowProbe.h).
namespace pmv {
inline void PrintTo(const TCmdRecord& r, std::ostream* os) {
    *os << "{" << int(r.cmd_type) << ", \"" << r.cmd_str << "\", \"" << r.cmd_descr << "\", \""
        << r.str << "\", " << r.val_start << ", " << r.val_min << ", " << r.val_max << ", "
        << r.val_inc << ", 0x" << std::hex << r.colour << ", 0x" << r.opts << std::dec << "}";
}
} // namespace pmv

using namespace pmv;

namespace {

// Acts on the next modal dialog (that match accepts) once it is shown and is
// the active window. Should the act leave it open, it is closed, so that no
// test can hang in a modal loop. Destroying the driver stops it.
class TModalDriver {
public:
    using TAct = std::function<void(QWidget*)>;
    using TMatch = std::function<bool(QWidget*)>;

    explicit TModalDriver(TAct act, TMatch match = {})
        : m_act(std::move(act)), m_match(std::move(match)),
          m_deadline(pmvtest::Scaled(2 * pmvtest::kWaitMs)) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
        m_timer.start(10);
    }
    ~TModalDriver() { m_timer.stop(); }

    bool Ran() const { return m_ran; }

private:
    void Poll() {
        QWidget* w = QApplication::activeModalWidget();
        if (w && m_match && !m_match(w))
            w = nullptr;
        const bool ready = w && w->isVisible() && w->isActiveWindow();
        if (!ready && !m_deadline.hasExpired()) {
            if (w && w->isVisible())
                w->activateWindow();
            return;
        }
        m_timer.stop();
        if (!w) {
            ADD_FAILURE() << "no modal dialog appeared";
            return;
        }
        if (!ready)
            ADD_FAILURE() << "the modal dialog did not become active";
        m_ran = true;
        QPointer<QWidget> guard(w);
        m_act(w);
        if (guard && guard->isVisible()) {
            ADD_FAILURE() << "the dialog was left open";
            if (auto* d = qobject_cast<QDialog*>(guard.data()))
                d->reject();
            else
                guard->close();
        }
    }

    TAct m_act;
    TMatch m_match;
    QDeadlineTimer m_deadline;
    QTimer m_timer;
    bool m_ran = false;
};

// Replaces the text of a one-line edit by typing, as an operator would.
void Retype(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    for (const QChar c : text) {
        if (c.unicode() < 0x80)
            QTest::keyClick(edit, char(c.unicode()));
        else // a key of a national layout
            QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

// What a string entry dialog showed when it opened.
struct TGetStrSeen {
    QString caption;
    QString initial;
    int maxLength = -1;
    bool masked = false;
    QString display; // what the edit showed after typing
};

// Answers the string entry dialog: types text, then OK or Cancel.
TModalDriver::TAct AnswerGetStr(TGetStrSeen& seen, const QString& text, bool ok) {
    return [&seen, text, ok](QWidget* w) {
        auto* f = qobject_cast<TGetStrForm*>(w);
        if (!f) {
            ADD_FAILURE() << "not the string entry dialog: " << w->metaObject()->className();
            return;
        }
        seen.caption = f->windowTitle();
        seen.initial = f->StringEdit->text();
        seen.maxLength = f->MaxLength();
        seen.masked = f->StringEdit->echoMode() == QLineEdit::Password;
        Retype(f->StringEdit, text);
        seen.display = f->StringEdit->displayText();
        QTest::mouseClick(ok ? f->OkBitBtn : f->CancelBitBtn, Qt::LeftButton);
    };
}

std::string Repeat(char c, int n) {
    return std::string(static_cast<std::size_t>(n), c);
}

class EditTest : public ::testing::Test {
protected:
    void SetUp() override {
        form = std::make_unique<TMainForm>();
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get(), pmvtest::Scaled(pmvtest::kWaitMs)));
    }
    void TearDown() override { form.reset(); }

    // Two definitions that differ in every field.
    static TCmdRecord SpeedDef() {
        return {ctParamGetSet, "SPD",
                "Speed",       "fast",
                250,           10,
                1000,          5,
                0x0000FF,      IncInSetAll | IncInGetAll | UpdateEditOnGet};
    }
    static TCmdRecord PumpDef() {
        return {ctCommandValue, "PMP", "Pump", "on", 3, 1, 9, 1, 0x00FF00, TxOnValueChange};
    }
    static TCmdRecord Cleared(TCmdRecord r) {
        ClearRecord(r);
        return r;
    }

    void Define(int index, const TCmdRecord& r) { form->SetSlot(index, r); }

    QAction* Item(const char* name) const { return apptest::Item(*form, name); }
    TSlotPanel* Panel() const { return apptest::Panel(*form); }

    // The operator presses the mouse on the slot, then picks a popup item.
    void Run(const char* item, int index) {
        apptest::SelectSlot(*form, index);
        Item(item)->trigger();
    }
    // "Del&ete" answered with OK or Cancel; returns what the box said.
    QString DeleteAnswered(int index, QMessageBox::StandardButton answer) {
        QString said;
        TModalDriver d([&](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box) {
                ADD_FAILURE() << "not a message box";
                return;
            }
            said = box->text();
            EXPECT_EQ(box->icon(), QMessageBox::Warning);
            EXPECT_EQ(box->standardButtons(), QMessageBox::Ok | QMessageBox::Cancel);
            QTest::mouseClick(box->button(answer), Qt::LeftButton);
        });
        Run("Delete", index);
        EXPECT_TRUE(d.Ran());
        return said;
    }

    apptest::TSlotWidgets Ctrls(int index) const { return apptest::SlotWidgets(*form, index); }

    std::unique_ptr<TMainForm> form;
};

// ---- Slot clipboard ------------------------------------------------------------------

TEST_F(EditTest, PasteIsEnabledByTheFirstCopyOrCutAndStaysEnabled) {
    const struct {
        const char* name;
        const char* first;
    } rows[] = {{"copy", "Copy"}, {"cut", "Cut"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        form = std::make_unique<TMainForm>();
        Define(0, SpeedDef());
        EXPECT_FALSE(Item("Paste1")->isEnabled());
        // A disabled item does nothing, even when triggered.
        Run("Paste1", 7);
        EXPECT_FALSE(form->Slot(7).defined());

        Run(row.first, 0);
        EXPECT_TRUE(Item("Paste1")->isEnabled());
        for (int target : {7, 8, 9}) {
            Run("Paste1", target);
            EXPECT_EQ(form->Slot(target), SpeedDef()) << target;
            EXPECT_TRUE(Item("Paste1")->isEnabled());
        }
        // Deleting and loading do not touch the clipboard; neither does a
        // delete of the source disable the item.
        DeleteAnswered(0, QMessageBox::Ok);
        EXPECT_TRUE(Item("Paste1")->isEnabled());
    }
}

TEST_F(EditTest, ClipboardSequences) {
    enum TOp { opCopy, opCut, opPaste, opDelete };
    struct TStep {
        TOp op;
        int slot;
    };
    struct TExpect {
        int slot;
        TCmdRecord record;
    };
    const TCmdRecord speed = SpeedDef();
    const TCmdRecord pump = PumpDef();
    const TCmdRecord empty = Cleared(speed);
    const struct {
        const char* name;
        std::vector<TStep> steps;
        std::vector<TExpect> expect;
    } rows[] = {
        {"cut 5, paste 30, paste 31: a move, then a copy",
         {{opCut, 5}, {opPaste, 30}, {opPaste, 31}},
         {{5, empty}, {30, speed}, {31, speed}, {8, pump}}},
        {"cut 5, copy 8, paste 9: the copy ends the cut",
         {{opCut, 5}, {opCopy, 8}, {opPaste, 9}},
         {{5, speed}, {8, pump}, {9, pump}}},
        {"cut 5, delete 5, paste 9: the definition as cut",
         {{opCut, 5}, {opDelete, 5}, {opPaste, 9}},
         {{5, empty}, {9, speed}}},
        {"cut 5, paste onto 5: the definition stays and the cut ends",
         {{opCut, 5}, {opPaste, 5}, {opPaste, 9}},
         {{5, speed}, {9, speed}}},
        {"cut 5, paste 9, paste onto 5: a plain copy back",
         {{opCut, 5}, {opPaste, 9}, {opPaste, 5}},
         {{5, speed}, {9, speed}}},
        {"copy 5, paste onto 5: nothing changes", {{opCopy, 5}, {opPaste, 5}}, {{5, speed}}},
        {"cut 5, paste 100: a move to another page",
         {{opCut, 5}, {opPaste, 100}},
         {{5, empty}, {100, speed}}},
        {"cut 8, cut 5, paste 9: only the last cut source is cleared",
         {{opCut, 8}, {opCut, 5}, {opPaste, 9}},
         {{8, pump}, {5, empty}, {9, speed}}},
        {"copy an undefined slot, paste onto 8: 8 becomes undefined",
         {{opCopy, 40}, {opPaste, 8}},
         {{8, TCmdRecord{}}, {40, TCmdRecord{}}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        form = std::make_unique<TMainForm>();
        Define(5, speed);
        Define(8, pump);
        for (const TStep& s : row.steps) {
            switch (s.op) {
            case opCopy:
                Run("Copy", s.slot);
                break;
            case opCut:
                Run("Cut", s.slot);
                break;
            case opPaste:
                Run("Paste1", s.slot);
                break;
            case opDelete:
                DeleteAnswered(s.slot, QMessageBox::Ok);
                break;
            }
        }
        for (const TExpect& e : row.expect) {
            SCOPED_TRACE(e.slot);
            EXPECT_EQ(form->Slot(e.slot), e.record);
            // The widgets follow the record.
            const QString caption = e.record.defined() ? FromLatin1(e.record.cmd_descr) : QString();
            EXPECT_EQ(Ctrls(e.slot).box->title(), caption);
            EXPECT_EQ(Ctrls(e.slot).edit->isEnabled(), e.record.defined());
        }
        // No cut is pending any more: a further paste changes only its target.
        TCmdTable expected = form->Config().CmdTable;
        Run("Paste1", 150);
        expected[150] = form->Slot(150);
        EXPECT_TRUE(form->Config().CmdTable == expected);
    }
}

TEST_F(EditTest, MovedSlotShowsItsDefinitionAndTheSourceIsEmpty) {
    Define(5, SpeedDef());
    Run("Cut", 5);
    // Nothing changes before the paste.
    EXPECT_EQ(form->Slot(5), SpeedDef());
    EXPECT_EQ(Ctrls(5).box->title(), QStringLiteral("Speed"));
    Run("Paste1", 30);
    EXPECT_EQ(Ctrls(30).box->title(), QStringLiteral("Speed"));
    EXPECT_EQ(Ctrls(30).get->text(), QStringLiteral("G"));
    EXPECT_EQ(Ctrls(30).set->text(), QStringLiteral("S"));
    EXPECT_EQ(Ctrls(30).edit->text(), QStringLiteral("250"));
    EXPECT_EQ(Panel()->CaptionColour(30), QColor(255, 0, 0));
    EXPECT_EQ(Ctrls(5).box->title(), QString());
    EXPECT_FALSE(Ctrls(5).get->isEnabled());
    EXPECT_FALSE(Ctrls(5).set->isEnabled());
    EXPECT_FALSE(Ctrls(5).edit->isEnabled());
    EXPECT_EQ(Ctrls(5).edit->text(), QString());
    // Editing operations write nothing to the log.
    EXPECT_TRUE(apptest::Memo(*form)->toPlainText().isEmpty());
}

// The menu key asks for the slot menu of the slot whose widget has the focus:
// the menu acts on that slot, not on the slot pressed last.
TEST_F(EditTest, SlotMenuFromTheKeyboardActsOnTheFocusedSlot) {
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get(), pmvtest::Scaled(pmvtest::kWaitMs)));
    Define(3, PumpDef());
    Define(12, SpeedDef());
    apptest::SelectSlot(*form, 3);
    QPushButton* get = Ctrls(12).get;
    get->setFocus();
    QContextMenuEvent request(QContextMenuEvent::Keyboard, QPoint(), get->mapToGlobal(QPoint()));
    QApplication::sendEvent(get, &request);
    QMenu* menu = apptest::Named<QMenu>(*form, "CmdPopupMenu");
    EXPECT_TRUE(menu->isVisible());
    menu->hide();
    TModalDriver d([](QWidget* w) {
        if (auto* box = qobject_cast<QMessageBox*>(w))
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    Item("Delete")->trigger();
    EXPECT_TRUE(d.Ran());
    EXPECT_EQ(form->Slot(12), Cleared(SpeedDef()));
    EXPECT_EQ(form->Slot(3), PumpDef());
}

// ---- Delete, disable, colour -----------------------------------------------------------

TEST_F(EditTest, DeleteAsksAndOnlyOkClears) {
    const struct {
        QMessageBox::StandardButton answer;
        bool cleared;
    } rows[] = {{QMessageBox::Cancel, false}, {QMessageBox::Ok, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.answer);
        Define(12, SpeedDef());
        Define(8, PumpDef());
        Run("Cut", 8);
        EXPECT_EQ(DeleteAnswered(12, row.answer), QStringLiteral("Delete the selected command?"));
        EXPECT_EQ(form->Slot(12), row.cleared ? Cleared(SpeedDef()) : SpeedDef());
        EXPECT_EQ(Ctrls(12).box->title(), row.cleared ? QString() : QStringLiteral("Speed"));
        EXPECT_EQ(Ctrls(12).edit->isEnabled(), !row.cleared);
        // The clipboard and its pending cut are not touched: a paste still
        // moves slot 8.
        EXPECT_EQ(form->Slot(8), PumpDef());
        Run("Paste1", 100);
        EXPECT_EQ(form->Slot(100), PumpDef());
        EXPECT_EQ(form->Slot(8), Cleared(PumpDef()));
    }
}

TEST_F(EditTest, DeleteClosedWithEscapeKeeps) {
    Define(12, SpeedDef());
    TModalDriver d([](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); });
    Run("Delete", 12);
    EXPECT_TRUE(d.Ran());
    EXPECT_EQ(form->Slot(12), SpeedDef());
}

TEST_F(EditTest, DisableTwiceRestoresTheSlot) {
    Define(20, SpeedDef());
    auto view = [this] {
        const apptest::TSlotWidgets c = Ctrls(20);
        return std::vector<QString>{c.box->title(),
                                    c.get->text(),
                                    c.set->text(),
                                    c.edit->text(),
                                    QString::number(c.get->isEnabled()),
                                    QString::number(c.set->isEnabled()),
                                    QString::number(c.edit->isEnabled()),
                                    Panel()->CaptionColour(20).name()};
    };
    const auto before = view();

    Run("Disable1", 20);
    TCmdRecord disabled = SpeedDef();
    disabled.opts |= Disabled;
    EXPECT_EQ(form->Slot(20), disabled);
    EXPECT_FALSE(Ctrls(20).get->isEnabled());
    EXPECT_FALSE(Ctrls(20).set->isEnabled());
    EXPECT_FALSE(Ctrls(20).edit->isEnabled());
    EXPECT_EQ(Ctrls(20).box->title(), QStringLiteral("Speed"));
    EXPECT_EQ(Ctrls(20).edit->text(), QStringLiteral("250"));
    EXPECT_EQ(Panel()->CaptionColour(20),
              QApplication::palette().color(QPalette::Disabled, QPalette::WindowText));

    Run("Disable1", 20);
    EXPECT_EQ(form->Slot(20), SpeedDef());
    EXPECT_EQ(view(), before);
}

TEST_F(EditTest, DisableOnAnUndefinedSlotOnlyFlipsTheFlag) {
    Run("Disable1", 50);
    EXPECT_EQ(form->Slot(50).opts, Disabled);
    EXPECT_FALSE(form->Slot(50).defined());
    EXPECT_EQ(Ctrls(50).box->title(), QString());
}

TEST_F(EditTest, ColourOkSetsRecordAndCaptionCancelKeeps) {
    const struct {
        const char* name;
        bool ok;
        bool disabled;
        std::int32_t colour; // stored afterwards
        QColor caption;      // shown afterwards
    } rows[] = {
        {"OK", true, false, 0x00563412, QColor(0x12, 0x34, 0x56)},
        {"Cancel", false, false, 0x0000FF, QColor(255, 0, 0)},
        {"OK on a disabled slot", true, true, 0x00563412,
         QApplication::palette().color(QPalette::Disabled, QPalette::WindowText)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TCmdRecord r = SpeedDef();
        if (row.disabled)
            r.opts |= Disabled;
        Define(33, r);
        QColor offered;
        TModalDriver d(
            [&](QWidget* w) {
                auto* cd = static_cast<QColorDialog*>(w);
                offered = cd->currentColor();
                EXPECT_FALSE(cd->testOption(QColorDialog::ShowAlphaChannel));
                cd->setCurrentColor(QColor(0x12, 0x34, 0x56));
                if (row.ok)
                    cd->accept();
                else
                    QTest::keyClick(cd, Qt::Key_Escape);
            },
            [](QWidget* w) { return qobject_cast<QColorDialog*>(w) != nullptr; });
        Run("Colour", 33);
        EXPECT_TRUE(d.Ran());
        EXPECT_EQ(offered, QColor(255, 0, 0)); // starts from the slot's colour
        EXPECT_EQ(form->Slot(33).colour, row.colour);
        EXPECT_EQ(Panel()->CaptionColour(33), row.caption);
        // Everything else in the record stays.
        TCmdRecord expected = r;
        expected.colour = row.colour;
        EXPECT_EQ(form->Slot(33), expected);
    }
    // The disabled slot shows the new colour once it is enabled again.
    Run("Disable1", 33);
    EXPECT_EQ(Panel()->CaptionColour(33), QColor(0x12, 0x34, 0x56));
}

// ---- Command editor ----------------------------------------------------------------------

// Types a full definition into the editor and gives the description the
// colour (0, 128, 255) through its colour dialog.
void FillEditor(TEditCmdForm* e) {
    e->CmdTypeComboBox->setFocus();
    QTest::keyClick(e->CmdTypeComboBox, Qt::Key_End); // "Param Get/Set"
    Retype(e->CmdStrLabeledEdit, QStringLiteral("FLW"));
    Retype(e->CmdDescriptionLabeledEdit, QStringLiteral("Flow"));
    Retype(e->ValMaxLabeledEdit, QStringLiteral("1000"));
    Retype(e->ValMinLabeledEdit, QStringLiteral("0"));
    Retype(e->ValDefaultLabeledEdit, QStringLiteral("250"));
    Retype(e->ValIncLabeledEdit, QStringLiteral("5"));
    e->IncInGetAllCheckBox->setChecked(true);
    TModalDriver colour(
        [](QWidget* w) {
            auto* cd = static_cast<QColorDialog*>(w);
            cd->setCurrentColor(QColor(0, 128, 255));
            cd->accept();
        },
        [](QWidget* w) { return qobject_cast<QColorDialog*>(w) != nullptr; });
    QTest::mouseDClick(e->CmdDescriptionLabeledEditSubLabel, Qt::LeftButton);
    EXPECT_TRUE(colour.Ran());
}

TEST_F(EditTest, EditOkStoresTheDefinitionCancelKeepsTheSlot) {
    const TCmdRecord flow{ctParamGetSet, "FLW", "Flow",     "",         250, 0,
                          1000,          5,     0x00FF8000, IncInGetAll};
    const struct {
        const char* name;
        bool ok;
        TCmdRecord before;
        TCmdRecord after;
        QString caption;
        QColor colour;
    } rows[] = {
        {"OK on an undefined slot", true, TCmdRecord{}, flow, "Flow", QColor(0, 128, 255)},
        {"Cancel on a defined slot", false, PumpDef(), PumpDef(), "Pump", QColor(0, 255, 0)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Define(12, row.before);
        QString caption;
        TModalDriver d([&](QWidget* w) {
            auto* e = qobject_cast<TEditCmdForm*>(w);
            if (!e) {
                ADD_FAILURE() << "not the command editor";
                return;
            }
            caption = e->windowTitle();
            EXPECT_EQ(e->GetCmd(), row.before);
            FillEditor(e);
            QTest::mouseClick(row.ok ? e->OKBitBtn : e->CancelBitBtn, Qt::LeftButton);
        });
        Run("Edit", 12);
        EXPECT_TRUE(d.Ran());
        EXPECT_EQ(caption, QStringLiteral("Configure Command #13"));
        EXPECT_EQ(form->Slot(12), row.after);
        EXPECT_EQ(Ctrls(12).box->title(), row.caption);
        EXPECT_EQ(Panel()->CaptionColour(12), row.colour);
        // The editor is gone once the handler has returned.
        EXPECT_TRUE(form->findChildren<TEditCmdForm*>().isEmpty());
    }
    // The stored definition shows as its kind asks.
    EXPECT_EQ(Ctrls(12).get->text(), QString());
    Define(12, flow);
    EXPECT_EQ(Ctrls(12).get->text(), QStringLiteral("G"));
    EXPECT_EQ(Ctrls(12).edit->text(), QStringLiteral("250"));
}

// ---- Page rename and title ----------------------------------------------------------------

TEST_F(EditTest, RenamePage) {
    const struct {
        const char* name;
        std::string typed;
        bool ok;
        std::string caption;
    } rows[] = {
        {"OK renames", "Pumps", true, "Pumps"},
        {"empty text keeps", "", true, "Cmds 3"},
        {"Cancel keeps", "Valves", false, "Cmds 3"},
        {"at most 24 characters", Repeat('p', 30), true, Repeat('p', 24)},
        {"8-bit text",
         "Dr\xFC"
         "cke",
         true,
         "Dr\xFC"
         "cke"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        apptest::RenamePage(*form, 2, "Cmds 3");
        Panel()->setCurrentIndex(2);
        TGetStrSeen seen;
        TModalDriver d(AnswerGetStr(seen, FromLatin1(row.typed), row.ok));
        Item("Rename")->trigger();
        EXPECT_TRUE(d.Ran());
        EXPECT_EQ(seen.caption, QStringLiteral("Rename Page"));
        EXPECT_EQ(seen.initial, QStringLiteral("Cmds 3"));
        EXPECT_EQ(seen.maxLength, 24);
        EXPECT_FALSE(seen.masked);
        EXPECT_EQ(Panel()->PageCaption(2), row.caption);
        // Only the active page changes.
        EXPECT_EQ(Panel()->PageCaption(1), "Cmds 2");
        EXPECT_EQ(Panel()->PageCaption(3), "Cmds 4");
    }
}

// A right click on a tab that is not the current one makes its page current
// before the page menu opens: "&Rename" renames the page pointed at.
TEST_F(EditTest, RightClickOnAnotherTabRenamesThatPage) {
    Panel()->setCurrentIndex(0);
    QTabBar* tabs = Panel()->tabBar();
    const QPoint at = tabs->tabRect(3).center();
    QContextMenuEvent click(QContextMenuEvent::Mouse, at, tabs->mapToGlobal(at));
    QApplication::sendEvent(tabs, &click);
    QMenu* menu = apptest::Named<QMenu>(*form, "TabNamingPopupMenu");
    EXPECT_TRUE(menu->isVisible());
    menu->hide();
    EXPECT_EQ(Panel()->currentIndex(), 3);
    TGetStrSeen seen;
    TModalDriver d(AnswerGetStr(seen, QStringLiteral("Pumps"), true));
    Item("Rename")->trigger();
    EXPECT_TRUE(d.Ran());
    EXPECT_EQ(seen.initial, QStringLiteral("Cmds 4"));
    EXPECT_EQ(Panel()->PageCaption(3), "Pumps");
    EXPECT_EQ(Panel()->PageCaption(0), "Cmds 1");
}

TEST_F(EditTest, EditTitle) {
    const QString start = TMainForm::StartCaption();
    const struct {
        const char* name;
        std::string typed;
        bool ok;
        std::string title;
        QString caption;
    } rows[] = {
        {"Cancel changes nothing", "Station", false, "", start},
        {"OK sets the title", "Pump station 1", true, "Pump station 1",
         "QXM300 Controller Host V1.8: \"Pump station 1\""},
        {"at most 50 characters", Repeat('t', 60), true, Repeat('t', 50),
         "QXM300 Controller Host V1.8: \"" + FromLatin1(Repeat('t', 50)) + "\""},
        {"empty clears the title", "", true, "", "QXM300 Controller Host V1.8"},
    };
    ASSERT_EQ(form->windowTitle(), start);
    std::string previous;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TGetStrSeen seen;
        TModalDriver d(AnswerGetStr(seen, FromLatin1(row.typed), row.ok));
        Item("EditTitle")->trigger();
        EXPECT_TRUE(d.Ran());
        EXPECT_EQ(seen.caption, QStringLiteral("Rename Title"));
        EXPECT_EQ(seen.initial, FromLatin1(previous));
        EXPECT_EQ(seen.maxLength, 50);
        EXPECT_FALSE(seen.masked);
        EXPECT_EQ(form->Config().Title, row.title);
        EXPECT_EQ(form->windowTitle(), row.caption);
        previous = form->Config().Title;
    }
}

// ---- Log-in ----------------------------------------------------------------------------------

TEST_F(EditTest, LogIn) {
    const struct {
        const char* name;
        QString typed;
        bool ok;
        int lines; // "Not implemented" lines afterwards
    } rows[] = {
        {"correct", "KTmarigold", true, 1},
        {"lower case refused", "ktmarigold", true, 0},
        {"upper case refused", "KTMARIGOLD", true, 0},
        {"a prefix refused", "KTmarigol", true, 0},
        {"empty refused", "", true, 0},
        {"Cancel with the right text", "KTmarigold", false, 0},
        // The edit takes 10 characters: the eleventh is never typed.
        {"eleventh character not taken", "KTmarigoldX", true, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        apptest::Memo(*form)->clear();
        const QString title = form->windowTitle();
        TGetStrSeen seen;
        TModalDriver d(AnswerGetStr(seen, row.typed, row.ok));
        Item("LogIn")->trigger();
        EXPECT_TRUE(d.Ran());
        EXPECT_EQ(seen.caption, QStringLiteral("Admin Password"));
        EXPECT_EQ(seen.initial, QString());
        EXPECT_EQ(seen.maxLength, 10);
        EXPECT_TRUE(seen.masked);
        EXPECT_FALSE(seen.display.contains(QLatin1Char('K')));
        const QString expected = row.lines ? QStringLiteral("Not implemented") : QString();
        EXPECT_EQ(apptest::Memo(*form)->toPlainText(), expected);
        EXPECT_EQ(form->windowTitle(), title);
    }
}

TEST_F(EditTest, EachLogInAddsOneLineAndChangesNothingElse) {
    Define(3, SpeedDef());
    for (int i = 1; i <= 2; ++i) {
        TGetStrSeen seen;
        TModalDriver d(AnswerGetStr(seen, QStringLiteral("KTmarigold"), true));
        Item("LogIn")->trigger();
        EXPECT_TRUE(d.Ran());
        EXPECT_EQ(apptest::Memo(*form)->blockCount(), i);
    }
    EXPECT_EQ(apptest::Memo(*form)->toPlainText(),
              QStringLiteral("Not implemented\nNot implemented"));
    // Operations work as before.
    Run("Copy", 3);
    Run("Paste1", 4);
    EXPECT_EQ(form->Slot(4), SpeedDef());
    EXPECT_EQ(form->Slot(3), SpeedDef());
}

// ---- About box -----------------------------------------------------------------------------

TEST_F(EditTest, AboutShowsTheProgramsTextsAndClosesOnEscape) {
    struct TSeen {
        QString title, company, application, identity, version, built, time, notice;
        std::string companyName, noticeYear;
        bool openAfterEnter = false, openAfterLetter = false, picture = false;
    } seen;
    TModalDriver d([&](QWidget* w) {
        auto* a = qobject_cast<TAboutForm*>(w);
        if (!a) {
            ADD_FAILURE() << "not the about box";
            return;
        }
        seen.title = a->windowTitle();
        seen.company = a->CompanyNameLabel->text();
        seen.application = a->ApplicationNameLabel->text();
        seen.identity = a->IdentityLabel->text();
        seen.version = a->VersionLabel->text();
        seen.built = a->BuildDateLabel->text();
        seen.time = a->BuildTimeLabel->text();
        seen.notice = a->CopyrightMessageLabel->text();
        seen.companyName = a->CompanyName();
        seen.noticeYear = a->NoticeYear();
        seen.picture = a->HasPicture();
        QTest::keyClick(a, Qt::Key_Return);
        seen.openAfterEnter = a->isVisible();
        QTest::keyClick(a, Qt::Key_A);
        seen.openAfterLetter = a->isVisible();
        QTest::keyClick(a, Qt::Key_Escape);
    });
    Item("About")->trigger();
    EXPECT_TRUE(d.Ran());
    EXPECT_EQ(seen.title, QStringLiteral("About PMV Controller Host"));
    EXPECT_EQ(seen.company, QStringLiteral("PMV Vodazivovu"));
    EXPECT_EQ(seen.application, QStringLiteral("PMV Controller Host"));
    EXPECT_EQ(seen.identity, QStringLiteral("Identity: PMV-HOST"));
    EXPECT_EQ(seen.version, QStringLiteral("Version: V1.8"));
    EXPECT_EQ(seen.built, QStringLiteral("Built: 23rd June 2022"));
    EXPECT_EQ(seen.time, QStringLiteral("Time: 15:11"));
    EXPECT_EQ(seen.companyName, "PMV Vodazivovu");
    EXPECT_EQ(seen.noticeYear, "2022");
    EXPECT_TRUE(seen.notice.contains(QStringLiteral("PMV Vodazivovu")));
    EXPECT_TRUE(seen.notice.contains(QStringLiteral("2022")));
    EXPECT_TRUE(seen.picture);
    EXPECT_TRUE(seen.openAfterEnter);
    EXPECT_TRUE(seen.openAfterLetter);
    // Closed and destroyed once the handler has returned.
    EXPECT_TRUE(form->findChildren<TAboutForm*>().isEmpty());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(EditTest, AboutClosesOnAClick) {
    TModalDriver d([](QWidget* w) {
        auto* a = qobject_cast<TAboutForm*>(w);
        ASSERT_NE(a, nullptr);
        QTest::mouseClick(a->VersionLabel, Qt::LeftButton);
    });
    Item("About")->trigger();
    EXPECT_TRUE(d.Ran());
    EXPECT_TRUE(form->findChildren<TAboutForm*>().isEmpty());
}

// ---- What the operator sees -------------------------------------------------------------------

// Counts the pixels of img inside r for which pred holds.
int CountPixels(const QImage& img, const QRect& r, const std::function<bool(QColor)>& pred) {
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (img.rect().contains(x, y) && pred(img.pixelColor(x, y)))
                ++n;
    return n;
}

// Saves the picture when PMV_GRAB_DIR names a folder (for looking at it).
void SaveGrab(const QImage& img, const char* name) {
    const QString dir = qEnvironmentVariable("PMV_GRAB_DIR");
    if (!dir.isEmpty()) {
        EXPECT_TRUE(img.save(QDir(dir).filePath(QLatin1String(name))));
    }
}

TEST_F(EditTest, ColouredAndDisabledSlotsOnScreen) {
    Define(0, SpeedDef()); // red caption
    Define(1, PumpDef());
    TCmdRecord level{ctParamGet, "LVL", "Level", "", 0, 0, 100, 1, 0x0000FF, IncInGetAll};
    Define(2, level);
    Run("Disable1", 2); // red, but disabled: grey
    Define(5, {ctCommandString, "MSG", "Message", "hello", 0, 0, 0, 0, 0, 0});
    TModalDriver d(
        [](QWidget* w) {
            auto* cd = static_cast<QColorDialog*>(w);
            cd->setCurrentColor(QColor(0, 0, 255));
            cd->accept();
        },
        [](QWidget* w) { return qobject_cast<QColorDialog*>(w) != nullptr; });
    Run("Colour", 5); // blue through the colour dialog
    EXPECT_TRUE(d.Ran());
    apptest::RenamePage(*form, 0, "Pumps");
    QApplication::processEvents();

    const QImage img = form->grab().toImage();
    SaveGrab(img, "edit_window.png");
    auto titleRect = [this](int i) {
        const QGroupBox* box = Ctrls(i).box;
        return QRect(box->mapTo(form.get(), QPoint(0, 0)), QSize(box->width(), 14));
    };
    auto reddish = [](QColor c) { return c.red() > 180 && c.green() < 90 && c.blue() < 90; };
    auto bluish = [](QColor c) { return c.blue() > 180 && c.red() < 90 && c.green() < 90; };
    EXPECT_GT(CountPixels(img, titleRect(0), reddish), 10);
    EXPECT_GT(CountPixels(img, titleRect(5), bluish), 10);
    EXPECT_EQ(CountPixels(img, titleRect(2), reddish), 0);
    EXPECT_EQ(CountPixels(img, titleRect(1), reddish), 0);

    // The about box as shown.
    QImage about;
    TModalDriver a([&](QWidget* w) {
        about = w->grab().toImage();
        QTest::keyClick(w, Qt::Key_Escape);
    });
    Item("About")->trigger();
    EXPECT_TRUE(a.Ran());
    SaveGrab(about, "edit_about.png");
    EXPECT_EQ(about.size(), QSize(274, 204));
}

} // namespace
