// The main window: layout, menus and tool bar, start state, ShowSlot and
// ClearSlot, slot selection by mouse, names for tests and assistive tools.
#include "app/Mainfrm.h"
#include "dialogs/Dlgutils.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>
#include <QWheelEvent>
#include <QWindow>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace pmv;

namespace {

class MainFormTest : public ::testing::Test {
protected:
    void SetUp() override { form = std::make_unique<TMainForm>(); }
    void TearDown() override { form.reset(); }

    // Shows the window and waits until it is exposed.
    void Show() {
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get(), 5000));
    }

    TCmdRecord& Define(int index, std::int8_t kind, const char* cmd, const char* descr = "") {
        TCmdRecord& r = form->CmdTable[index];
        r.cmd_type = kind;
        r.cmd_str = cmd;
        r.cmd_descr = descr;
        return r;
    }

    const TSlotCtrls& Ctrls(int index) const { return form->SlotCtrls[index]; }

    std::unique_ptr<TMainForm> form;
};

// What the four widgets of a slot show.
struct TSlotView {
    QString caption;
    QString getText;
    bool getEnabled;
    QString setText;
    bool setEnabled;
    QString editText;
    bool editEnabled;
    bool editReadOnly;
    int editMaxLength;
};

// The typing limit of a slot edit (a validator, so that texts the program
// writes are never cut).
int TypingLimit(const QLineEdit* e) {
    const auto* limit = qobject_cast<const TEditLimit*>(e->validator());
    return limit ? limit->MaxLength() : e->maxLength();
}

TSlotView ViewOf(const TSlotCtrls& c) {
    return {c.box->title(),      c.get->text(),        c.get->isEnabled(),
            c.set->text(),       c.set->isEnabled(),   c.edit->text(),
            c.edit->isEnabled(), c.edit->isReadOnly(), TypingLimit(c.edit)};
}

void ExpectView(const TSlotView& actual, const TSlotView& expected) {
    EXPECT_EQ(actual.caption, expected.caption);
    EXPECT_EQ(actual.getText, expected.getText);
    EXPECT_EQ(actual.getEnabled, expected.getEnabled);
    EXPECT_EQ(actual.setText, expected.setText);
    EXPECT_EQ(actual.setEnabled, expected.setEnabled);
    EXPECT_EQ(actual.editText, expected.editText);
    EXPECT_EQ(actual.editEnabled, expected.editEnabled);
    EXPECT_EQ(actual.editReadOnly, expected.editReadOnly);
    EXPECT_EQ(actual.editMaxLength, expected.editMaxLength);
}

bool WaitUntil(const std::function<bool()>& cond, int ms = 10000) {
    QElapsedTimer t;
    t.start();
    while (!cond() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return cond();
}

QColor GreyText() {
    return QApplication::palette().color(QPalette::Disabled, QPalette::WindowText);
}

} // namespace

// ---- ShowSlot ------------------------------------------------------------------------

TEST_F(MainFormTest, ShowSlotSetsTheWidgetsOfEachKind) {
    struct Row {
        std::int8_t kind;
        TSlotView view;
    } rows[] = {
        {ctCommand, {"Speed", "", false, "Tx", true, "", false, false, 6}},
        {ctCommandValue, {"Speed", "", false, "Tx", true, "4321", true, false, 6}},
        {ctCommandString, {"Speed", "", false, "Tx", true, "run fast", true, false, 80}},
        {ctParamGet, {"Speed", "G", true, "", false, "0", true, true, 6}},
        {ctParamSet, {"Speed", "", false, "S", true, "4321", true, false, 6}},
        {ctParamGetSet, {"Speed", "G", true, "S", true, "4321", true, false, 6}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(int(row.kind));
        // Every kind is shown over a slot that held another kind before.
        TCmdRecord& before = Define(7, ctParamGet, "OLD", "Old");
        before.val_start = 99;
        form->ShowSlot(7);
        TCmdRecord& r = Define(7, row.kind, "SPD", "Speed");
        r.val_start = 4321;
        r.str = "run fast";
        r.colour = 0x0000FF;
        form->ShowSlot(7);
        ExpectView(ViewOf(Ctrls(7)), row.view);
        EXPECT_EQ(form->SlotCaptionColour(7), QColor(255, 0, 0));
    }
}

TEST_F(MainFormTest, CaptionIsTheDescriptionElseTheCommand) {
    Define(0, ctParamGetSet, "SPD", "Speed");
    Define(1, ctParamGetSet, "SPD", "");
    Define(2, ctParamGetSet, "\xC4nd",
           "Gr\xF6\xDF"
           "e"); // 8-bit texts
    for (int i = 0; i < 3; ++i)
        form->ShowSlot(i);
    EXPECT_EQ(Ctrls(0).box->title(), "Speed");
    EXPECT_EQ(Ctrls(1).box->title(), "SPD");
    EXPECT_EQ(Ctrls(2).box->title(), QString::fromUtf8("Größe"));
}

TEST_F(MainFormTest, CaptionColourIsTheRecordColour) {
    struct Row {
        std::int32_t colour;
        QColor expected;
    } rows[] = {
        {0x000000, QColor(0, 0, 0)},
        {0x0000FF, QColor(255, 0, 0)},
        {0x00FF00, QColor(0, 255, 0)},
        {0xFF0000, QColor(0, 0, 255)},
        {0x00336699, QColor(0x99, 0x66, 0x33)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.colour);
        Define(30, ctParamSet, "X").colour = row.colour;
        form->ShowSlot(30);
        EXPECT_EQ(form->SlotCaptionColour(30), row.expected);
        // The edit keeps the system text colour.
        EXPECT_EQ(Ctrls(30).edit->palette().color(QPalette::Text),
                  QApplication::palette().color(QPalette::Text));
    }
}

TEST_F(MainFormTest, LongStringValueShowsItsStart) {
    TCmdRecord& r = Define(3, ctCommandString, "NAME");
    r.str = "START" + std::string(75, 'a');
    form->ShowSlot(3);
    EXPECT_EQ(Ctrls(3).edit->text().size(), 80);
    EXPECT_EQ(Ctrls(3).edit->cursorPosition(), 0);
}

TEST_F(MainFormTest, DisabledSlotIsGreyWithItsValue) {
    TCmdRecord& r = Define(5, ctParamGetSet, "SPD", "Speed");
    r.val_start = 250;
    r.colour = 0x0000FF;
    r.opts = Disabled | IncInGetAll;
    form->ShowSlot(5);
    ExpectView(ViewOf(Ctrls(5)), {"Speed", "G", false, "S", false, "250", false, false, 6});
    EXPECT_EQ(form->SlotCaptionColour(5), GreyText());

    // Enabling it again restores the states of its kind and its colour.
    r.opts &= ~Disabled;
    form->ShowSlot(5);
    ExpectView(ViewOf(Ctrls(5)), {"Speed", "G", true, "S", true, "250", true, false, 6});
    EXPECT_EQ(form->SlotCaptionColour(5), QColor(255, 0, 0));
}

TEST_F(MainFormTest, EmptiedCommandLeavesCaptionsButDisablesEverything) {
    TCmdRecord& r = Define(9, ctParamGetSet, "SPD", "Speed");
    r.val_start = 17;
    r.colour = 0x00FF00;
    form->ShowSlot(9);
    r.cmd_str.clear();
    form->ShowSlot(9);
    ExpectView(ViewOf(Ctrls(9)), {"", "G", false, "S", false, "", false, false, 6});
    EXPECT_EQ(form->SlotCaptionColour(9), QColor(0, 255, 0)); // colours stay as they were

    // Read-only state and maximum length stay as well.
    Define(10, ctParamGet, "T");
    form->ShowSlot(10);
    form->CmdTable[10].cmd_str.clear();
    form->ShowSlot(10);
    EXPECT_TRUE(Ctrls(10).edit->isReadOnly());
    Define(11, ctCommandString, "N").str = "abc";
    form->ShowSlot(11);
    form->CmdTable[11].cmd_str.clear();
    form->ShowSlot(11);
    EXPECT_EQ(TypingLimit(Ctrls(11).edit), 80);
}

TEST_F(MainFormTest, UnknownKindLeavesButtonsAndEditAsTheyWere) {
    TCmdRecord& r = Define(12, ctParamGet, "T", "Temperature");
    form->ShowSlot(12);
    const TSlotView before = ViewOf(Ctrls(12));
    r.cmd_type = 9;
    r.cmd_descr = "Other";
    r.val_start = 55;
    form->ShowSlot(12);
    TSlotView expected = before;
    expected.caption = "Other"; // caption and colour are set before the kind is looked at
    ExpectView(ViewOf(Ctrls(12)), expected);

    // The Disabled flag still disables the three widgets.
    r.opts = Disabled;
    form->ShowSlot(12);
    EXPECT_FALSE(Ctrls(12).get->isEnabled());
    EXPECT_FALSE(Ctrls(12).edit->isEnabled());
    EXPECT_EQ(Ctrls(12).edit->text(), "0");
    EXPECT_EQ(form->SlotCaptionColour(12), GreyText());
}

TEST_F(MainFormTest, OutOfRangeIndexesDoNothing) {
    for (int index : {-1, 192, 1000}) {
        SCOPED_TRACE(index);
        form->ShowSlot(index);
        form->ClearSlot(index);
        form->SetSlotCaptionColour(index, Qt::red);
    }
    for (int i = 0; i < SlotCount; ++i)
        ASSERT_EQ(form->CmdTable[i], TCmdRecord{});
}

// ---- ClearSlot -----------------------------------------------------------------------

TEST_F(MainFormTest, ClearSlotKeepsTheDisabledFlag) {
    struct Row {
        std::uint32_t opts;
        std::uint32_t kept;
    } rows[] = {
        {Disabled | IncInGetAll | UpdateEditOnGet, Disabled},
        {IncInSetAll | TxOnValueChange, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.opts);
        TCmdRecord& r = Define(40, ctParamGetSet, "SPD", "Speed");
        r.val_start = r.val_min = r.val_max = r.val_inc = 7;
        r.colour = 0x123456;
        r.str = "x";
        r.opts = row.opts;
        form->ShowSlot(40);
        form->ClearSlot(40);
        TCmdRecord expected;
        expected.opts = row.kept;
        EXPECT_EQ(form->CmdTable[40], expected);
        EXPECT_EQ(Ctrls(40).get->text(), "");
        EXPECT_EQ(Ctrls(40).set->text(), "");
        EXPECT_FALSE(Ctrls(40).get->isEnabled());
        EXPECT_FALSE(Ctrls(40).set->isEnabled());
        form->ShowSlot(40);
        ExpectView(ViewOf(Ctrls(40)), {"", "", false, "", false, "", false, false, 6});
    }
}

// ---- Geometry ------------------------------------------------------------------------

TEST_F(MainFormTest, SlotGeometry) {
    struct Row {
        int slot;
        const char* page;
        QPoint topLeft;
    } rows[] = {
        {0, "CmdPage1TabSheet", {0, 0}},  {3, "CmdPage1TabSheet", {369, 0}},
        {4, "CmdPage1TabSheet", {0, 47}}, {23, "CmdPage1TabSheet", {369, 235}},
        {24, "CmdPage2TabSheet", {0, 0}}, {191, "CmdPage8TabSheet", {369, 235}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.slot);
        const TSlotCtrls& c = Ctrls(row.slot);
        ASSERT_TRUE(c.box->parentWidget());
        EXPECT_EQ(c.box->parentWidget()->objectName(), row.page);
        EXPECT_EQ(c.box->geometry(), QRect(row.topLeft, QSize(121, 48)));
        EXPECT_EQ(c.get->parentWidget(), c.box);
        EXPECT_EQ(c.get->geometry(), QRect(5, 15, 25, 25));
        EXPECT_EQ(c.set->geometry(), QRect(34, 15, 25, 25));
        EXPECT_EQ(c.edit->geometry(), QRect(64, 15, 50, 21));
    }
}

TEST_F(MainFormTest, PagesHoldAllSixRowsUnclipped) {
    Show();
    for (int p = 0; p < PageCount; ++p) {
        SCOPED_TRACE(p);
        form->CmdsPageControl->setCurrentIndex(p);
        QWidget* page = form->CmdPageTabSheets[p];
        EXPECT_GE(page->width(), 490);
        EXPECT_GE(page->height(), 283);
        for (int k = 0; k < SlotsPerPage; ++k)
            EXPECT_TRUE(page->rect().contains(Ctrls(p * SlotsPerPage + k).box->geometry()));
    }
}

TEST_F(MainFormTest, WindowLayout) {
    Show();
    QWidget* client = form->centralWidget();
    EXPECT_EQ(client->size(), QSize(501, 483));
    EXPECT_EQ(client->mapTo(form.get(), QPoint(0, 0)).y(), form->menuBar()->height());
    EXPECT_EQ(form->size(), QSize(501, 483 + form->menuBar()->height()));
    EXPECT_EQ(form->minimumSize(), form->maximumSize()); // not resizable
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(form->windowIcon().isNull());
    EXPECT_EQ(form->font().pointSize(), 8);

    EXPECT_EQ(form->MainToolBar->geometry(), QRect(0, 0, 501, 25));
    EXPECT_FALSE(form->MainToolBar->isMovable());
    EXPECT_EQ(form->CmdsPageControl->geometry(), QRect(0, 32, 497, 310));
    EXPECT_EQ(form->Memo->geometry(), QRect(0, 340, 497, 125));
    EXPECT_EQ(form->StatusBar->geometry(), QRect(0, 464, 501, 19));

    EXPECT_TRUE(form->Memo->isReadOnly());
    EXPECT_EQ(form->Memo->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(form->Memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(form->Memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

    const int widths[] = {130, 20, 60, 20, 60, 38, 30, 50};
    for (int i = 0; i < TMainForm::StatusPanelCount; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(form->StatusPanels[i]->width(), widths[i]);
        EXPECT_TRUE(form->StatusPanels[i]->isVisible());
    }
}

// ---- Start state and show ------------------------------------------------------------

TEST_F(MainFormTest, StartStateEqualsTheSnapshot) {
    const TSavedConfig& saved = form->SavedConfig;
    for (int i = 0; i < SlotCount; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(form->CmdTable[i], saved.SavedCmdTable[i]);
        EXPECT_EQ(form->CmdTable[i], TCmdRecord{});
        ExpectView(ViewOf(Ctrls(i)), {"", "", false, "", false, "", false, false, 6});
    }
    for (int p = 0; p < PageCount; ++p) {
        EXPECT_EQ(form->PageCaption(p), saved.SavedPageCaptions[p]);
        EXPECT_EQ(form->PageCaption(p), "Cmds " + std::to_string(p + 1));
        EXPECT_EQ(form->CmdPageTabSheets[p]->objectName(),
                  QStringLiteral("CmdPage%1TabSheet").arg(p + 1));
    }
    EXPECT_EQ(form->ConfigTitle, saved.SavedTitle);
    EXPECT_TRUE(form->ConfigTitle.empty());
    EXPECT_TRUE(form->ConfigFileName.isEmpty());
    EXPECT_EQ(form->SelectedSlot, 0);
    EXPECT_EQ(form->TxCount, 0);
    EXPECT_EQ(form->RxCount, 0);
    EXPECT_EQ(form->RxTOCount, 0);
    EXPECT_FALSE(form->ClipCutPending);
    EXPECT_FALSE(form->Paste1->isEnabled());
    EXPECT_TRUE(form->Memo->toPlainText().isEmpty());

    const char* panels[] = {"", "Tx", "0", "Rx", "0", "Rx TO", "0", ""};
    for (int i = 0; i < TMainForm::StatusPanelCount; ++i)
        EXPECT_EQ(form->StatusPanel(i), panels[i]) << i;
}

TEST_F(MainFormTest, ShowSetsCaptionPortStateAndFirstPage) {
    EXPECT_EQ(form->objectName(), "MainForm");
    form->CmdsPageControl->setCurrentIndex(3);
    Show();
    EXPECT_EQ(form->windowTitle(), "PMV Controller Host V1.8");
    EXPECT_EQ(form->StatusPanel(0), "COM closed");
    EXPECT_EQ(form->CmdsPageControl->currentIndex(), 0);
    // Centred on the screen.
    const QRect avail = form->screen()->availableGeometry();
    EXPECT_LE(std::abs(form->frameGeometry().center().x() - avail.center().x()), 2);
    EXPECT_LE(std::abs(form->frameGeometry().center().y() - avail.center().y()), 2);
}

TEST_F(MainFormTest, ClosingRightAfterStartCloses) {
    Show();
    EXPECT_TRUE(form->close());
    EXPECT_FALSE(form->isVisible());
}

TEST_F(MainFormTest, ExitClosesTheWindow) {
    Show();
    form->Exit->trigger();
    EXPECT_FALSE(form->isVisible());
}

TEST_F(MainFormTest, Captions) {
    EXPECT_EQ(TMainForm::StartCaption(), "PMV Controller Host V1.8");
    EXPECT_EQ(TMainForm::TitleCaption("Pump 3"), "QXM300 Controller Host V1.8: \"Pump 3\"");
    EXPECT_EQ(TMainForm::TitleCaption(""), "QXM300 Controller Host V1.8");
    EXPECT_EQ(TMainForm::TitleCaption("Stra\xDF"
                                      "e"),
              QString::fromUtf8("QXM300 Controller Host V1.8: \"Straße\""));
}

// ---- Menus and tool bar -----------------------------------------------------------------

TEST_F(MainFormTest, MainMenuItems) {
    struct Row {
        const char* menu;
        const char* name; // empty: separator
        const char* caption;
        const char* hint;
    } rows[] = {
        {"&File", "LogIn", "&Log In", ""},
        {"&File", "", "", ""},
        {"&File", "LoadConfig", "&Load Config", "Load Configuration"},
        {"&File", "SaveConfig", "&Save Config", "Save Configuration"},
        {"&File", "EditTitle", "Edit Title", ""},
        {"&File", "", "", ""},
        {"&File", "Exit", "E&xit", ""},
        {"&COM", "COMSettings", "&Settings", "COM Settings"},
        {"&COM", "COMOpen", "&Open", "Open COM Port"},
        {"&COM", "COMClose", "&Close", "Close COM Port"},
        {"&Commands", "DeleteAllCommands", "&Delete All Commands", ""},
        {"&Commands", "", "", ""},
        {"&Commands", "SetAllParameterDefaults", "&Set All Parameter Defaults",
         "Set all Parameter Defaults"},
        {"&Commands", "StoreAllParameterDefaults", "&Store All Parameter Defaults",
         "Store all Parameter Defaults"},
        {"&Commands", "GetAllParameters", "&Get All Target Parameters",
         "Get all Parameters Values from Target"},
        {"&Commands", "SetAllParameters", "&Set All Target Parameters",
         "Set all Target Parameter Values"},
        {"&Options", "ShowTransmissions", "&Show Transmissions", ""},
        {"&Options", "ShowUnframedReceptions", "Show &Unframed Receptions", ""},
        {"&Options", "ShowCommandDescription", "Show Command Description", ""},
        {"&Help", "About", "&About", ""},
    };
    QStringList menus;
    for (QAction* m : form->menuBar()->actions())
        menus << m->text();
    EXPECT_EQ(menus, QStringList({"&File", "&COM", "&Commands", "&Options", "&Help"}));

    QHash<QString, int> position;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.menu) + " " + row.name);
        QMenu* menu = nullptr;
        for (QAction* m : form->menuBar()->actions())
            if (m->text() == row.menu)
                menu = m->menu();
        ASSERT_TRUE(menu);
        const int pos = position[row.menu]++;
        ASSERT_LT(pos, menu->actions().size());
        QAction* a = menu->actions()[pos];
        if (!*row.name) {
            EXPECT_TRUE(a->isSeparator());
            continue;
        }
        EXPECT_EQ(a, form->findChild<QAction*>(row.name));
        EXPECT_EQ(a->objectName(), row.name);
        EXPECT_EQ(a->text(), row.caption);
        EXPECT_EQ(a->statusTip(), row.hint);
        if (*row.hint) {
            EXPECT_EQ(a->toolTip(), row.hint);
        }
        EXPECT_TRUE(a->isEnabled());
    }
    for (const auto& [menu, count] : position.asKeyValueRange()) {
        for (QAction* m : form->menuBar()->actions()) {
            if (m->text() == menu) {
                EXPECT_EQ(m->menu()->actions().size(), count) << menu.toStdString();
            }
        }
    }
}

TEST_F(MainFormTest, OptionItemsToggleTheirCheckMarks) {
    struct Row {
        QAction* item;
        bool checked;
    } rows[] = {
        {form->ShowTransmissions, false},
        {form->ShowUnframedReceptions, false},
        {form->ShowCommandDescription, true},
    };
    for (int pos = 0; pos < 3; ++pos) {
        SCOPED_TRACE(pos);
        EXPECT_TRUE(rows[pos].item->isCheckable());
        EXPECT_EQ(form->OptionChecked(pos), rows[pos].checked);
        rows[pos].item->trigger();
        EXPECT_EQ(form->OptionChecked(pos), !rows[pos].checked);
    }
    EXPECT_FALSE(form->OptionChecked(-1));
    EXPECT_FALSE(form->OptionChecked(3));
}

TEST_F(MainFormTest, ToolButtonsRunTheirMenuItems) {
    struct Row {
        const char* button;
        const char* item; // empty: separator
    } rows[] = {
        {"ExitToolButton", "Exit"},
        {"ToolButton2", ""},
        {"LoadConfigToolButton", "LoadConfig"},
        {"SaveConfigToolButton", "SaveConfig"},
        {"COMPortSettingsToolButton", "COMSettings"},
        {"COMPortOpenToolButton", "COMOpen"},
        {"COMPortCloseToolButton", "COMClose"},
        {"HelpAboutToolButton", "About"},
        {"ToolButton6", ""},
        {"SetAllParameterDefaultsToolButton", "SetAllParameterDefaults"},
        {"StoreAllParameterDefaultsToolButton", "StoreAllParameterDefaults"},
        {"GetAllTargetParametersToolButton", "GetAllParameters"},
        {"SetAllTargetParametersToolButton", "SetAllParameters"},
    };
    Show();
    const QList<QAction*> actions = form->MainToolBar->actions();
    ASSERT_EQ(actions.size(), int(std::size(rows)));
    int x = -1;
    for (int i = 0; i < int(std::size(rows)); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(row.button);
        QWidget* w = form->MainToolBar->widgetForAction(actions[i]);
        ASSERT_TRUE(w);
        EXPECT_EQ(w->objectName(), row.button);
        EXPECT_GT(w->x(), x); // left to right
        x = w->x();
        if (!*row.item) {
            EXPECT_TRUE(actions[i]->isSeparator());
            EXPECT_EQ(w->width(), 5);
            continue;
        }
        auto* b = qobject_cast<QToolButton*>(w);
        ASSERT_TRUE(b);
        const QString hint = b->defaultAction()->statusTip();
        EXPECT_EQ(b, form->findChild<QToolButton*>(row.button));
        EXPECT_EQ(b->defaultAction(), form->findChild<QAction*>(row.item));
        EXPECT_FALSE(b->icon().isNull());
        EXPECT_FALSE(b->accessibleName().isEmpty());
        // The hint is the tooltip; an item without a hint shows none.
        if (hint.isEmpty()) { // let an earlier tip go first
            ASSERT_TRUE(WaitUntil([] { return !QToolTip::isVisible(); }));
        }
        QHelpEvent tip(QEvent::ToolTip, QPoint(2, 2), b->mapToGlobal(QPoint(2, 2)));
        QApplication::sendEvent(b, &tip);
        EXPECT_EQ(QToolTip::isVisible(), !hint.isEmpty());
        if (!hint.isEmpty()) {
            EXPECT_EQ(QToolTip::text(), hint);
        }
        QToolTip::hideText();
    }
}

TEST_F(MainFormTest, PopupMenus) {
    struct Row {
        const char* name; // empty: separator
        const char* caption;
        bool enabled;
    } rows[] = {
        {"Edit", "&Edit", true},
        {"Copy", "&Copy", true},
        {"Cut", "&Cut", true},
        {"Paste1", "&Paste", false},
        {"Delete", "Del&ete", true},
        {"Colour", "C&olour", true},
        {"Disable1", "Di&sable/Enable", true},
        {"", "", true},
        {"Default", "&Set Parameter Default", true},
        {"StoreParameterDefault1", "&Store Parameter Default", true},
    };
    const QList<QAction*> items = form->CmdPopupMenu->actions();
    ASSERT_EQ(items.size(), int(std::size(rows)));
    for (int pos = 0; pos < items.size(); ++pos) {
        SCOPED_TRACE(pos);
        if (!*rows[pos].name) {
            EXPECT_TRUE(items[pos]->isSeparator());
            continue;
        }
        EXPECT_EQ(items[pos], form->findChild<QAction*>(rows[pos].name));
        EXPECT_EQ(items[pos]->text(), rows[pos].caption);
        EXPECT_EQ(items[pos]->isEnabled(), rows[pos].enabled);
    }
    ASSERT_EQ(form->TabNamingPopupMenu->actions().size(), 1);
    EXPECT_EQ(form->TabNamingPopupMenu->actions()[0], form->Rename);
    EXPECT_EQ(form->Rename->objectName(), "Rename");
    EXPECT_EQ(form->Rename->text(), "&Rename");
}

TEST_F(MainFormTest, RightClickOnASlotOpensTheSlotPopup) {
    Show();
    // The widgets of an undefined slot are disabled; the request goes on to
    // the group box. An enabled button does not have a menu of its own.
    Define(3, ctParamGetSet, "SPD");
    form->ShowSlot(3);
    for (QWidget* target :
         {static_cast<QWidget*>(Ctrls(2).get), static_cast<QWidget*>(Ctrls(2).set),
          static_cast<QWidget*>(Ctrls(2).edit), static_cast<QWidget*>(Ctrls(2).box),
          static_cast<QWidget*>(Ctrls(3).get)}) {
        SCOPED_TRACE(target->objectName().toStdString());
        QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(3, 3),
                             target->mapToGlobal(QPoint(3, 3)));
        QApplication::sendEvent(target, &ev);
        EXPECT_TRUE(form->CmdPopupMenu->isVisible());
        form->CmdPopupMenu->hide();
    }
    QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(5, 5),
                         form->CmdsPageControl->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(form->CmdsPageControl, &ev);
    EXPECT_TRUE(form->TabNamingPopupMenu->isVisible());
    form->TabNamingPopupMenu->hide();
}

// ---- Slot selection ----------------------------------------------------------------------

TEST_F(MainFormTest, AnyMouseButtonSelectsTheSlot) {
    Show();
    Define(56, ctParamGetSet, "SPD");
    form->ShowSlot(56);
    struct Row {
        int slot;
        int widget; // 0 box, 1 Get, 2 Set, 3 edit
        Qt::MouseButton button;
    } rows[] = {
        {56, 3, Qt::LeftButton},
        {56, 3, Qt::RightButton},
        {56, 3, Qt::MiddleButton},
        {56, 1, Qt::RightButton},
        {56, 0, Qt::LeftButton},
        {99, 1, Qt::LeftButton}, // a disabled button of an undefined slot
        {191, 2, Qt::RightButton},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.slot * 10 + row.widget);
        form->CmdsPageControl->setCurrentIndex(SlotPage(row.slot));
        const TSlotCtrls& c = Ctrls(row.slot);
        QWidget* widgets[] = {c.box, c.get, c.set, c.edit};
        form->SelectedSlot = 0;
        QTest::mousePress(widgets[row.widget], row.button, {}, QPoint(3, 3));
        EXPECT_EQ(form->SelectedSlot, row.slot);
        QTest::mouseRelease(widgets[row.widget], row.button, {}, QPoint(3, 3));
    }
}

TEST_F(MainFormTest, KeyboardClickLeavesTheSelectionAlone) {
    Show();
    form->activateWindow();
    Define(8, ctParamGetSet, "SPD");
    form->ShowSlot(8);
    QPushButton* get = Ctrls(8).get;
    QSignalSpy clicks(get, &QPushButton::clicked);
    get->setFocus();
    form->SelectedSlot = 3;
    QTest::keyClick(get, Qt::Key_Space);
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_EQ(form->SelectedSlot, 3);
}

TEST_F(MainFormTest, WheelNotTakenByTheWindowGoesOnToTheWidget) {
    Show();
    ASSERT_TRUE(form->windowHandle());
    for (int i = 0; i < 200; ++i)
        form->Log(QString::number(i));
    QScrollBar* bar = form->Memo->verticalScrollBar();
    bar->setValue(0);
    const QPoint pos = form->Memo->viewport()->mapTo(form.get(), QPoint(20, 20));
    QWheelEvent wheel(pos, form->mapToGlobal(pos), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(form->windowHandle(), &wheel);
    EXPECT_GT(bar->value(), 0);
}

// ---- Names -------------------------------------------------------------------------------

TEST_F(MainFormTest, SlotWidgetsAreFoundByName) {
    for (int i = 0; i < SlotCount; ++i) {
        SCOPED_TRACE(i);
        const QString n = QString::number(i + 1);
        const TSlotCtrls& c = Ctrls(i);
        ASSERT_EQ(form->findChild<QGroupBox*>("Cmd" + n + "GroupBox"), c.box);
        ASSERT_EQ(form->findChild<QPushButton*>("Cmd" + n + "GetButton"), c.get);
        ASSERT_EQ(form->findChild<QPushButton*>("Cmd" + n + "SetButton"), c.set);
        ASSERT_EQ(form->findChild<QLineEdit*>("Cmd" + n + "Edit"), c.edit);
    }
    for (const char* name : {"MainToolBar", "CmdsPageControl", "Memo", "StatusBar", "CmdPopupMenu",
                             "TabNamingPopupMenu"})
        EXPECT_TRUE(form->findChild<QWidget*>(name)) << name;
}

TEST_F(MainFormTest, TabOrderInASlotIsGetSetEdit) {
    const TSlotCtrls& c = Ctrls(20);
    EXPECT_EQ(c.get->nextInFocusChain(), c.set);
    EXPECT_EQ(c.set->nextInFocusChain(), c.edit);
}

TEST_F(MainFormTest, AccessibleNames) {
    Define(11, ctParamGetSet, "SPD", "Speed");
    form->ShowSlot(11);
    const TSlotCtrls& c = Ctrls(11);
    struct Row {
        QWidget* widget;
        const char* name;
    } rows[] = {
        {c.box, "Slot 12"},
        {c.get, "Slot 12 Get"},
        {c.set, "Slot 12 Set"},
        {c.edit, "Slot 12 value"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.widget->accessibleName(), row.name);
        EXPECT_EQ(row.widget->accessibleDescription(), "Speed");
    }
    form->CmdTable[11].cmd_descr.clear();
    form->ShowSlot(11);
    EXPECT_EQ(c.edit->accessibleDescription(), "SPD");
    form->CmdTable[11].cmd_str.clear();
    form->ShowSlot(11);
    EXPECT_EQ(c.box->accessibleDescription(), "");

    EXPECT_EQ(form->Memo->accessibleName(), "Log");
    const char* panels[] = {"Port state",       "Tx label",          "Tx count",
                            "Rx label",         "Rx count",          "Rx timeout label",
                            "Rx timeout count", "Configuration file"};
    for (int i = 0; i < TMainForm::StatusPanelCount; ++i)
        EXPECT_EQ(form->StatusPanels[i]->accessibleName(), panels[i]);
}

// ---- Helpers -------------------------------------------------------------------------------

TEST_F(MainFormTest, PageCaptionsAre8BitTexts) {
    form->SetPageCaption(1, "\xC4nderung");
    EXPECT_EQ(form->CmdsPageControl->tabText(1), QString::fromUtf8("Änderung"));
    EXPECT_EQ(form->PageCaption(1), "\xC4nderung");
    form->SetPageCaption(8, "ignored");
    form->SetPageCaption(-1, "ignored");
    EXPECT_EQ(form->PageCaption(8), "");
    EXPECT_EQ(form->PageCaption(7), "Cmds 8");
}

TEST_F(MainFormTest, StatusPanelsAndLog) {
    form->SetStatusPanel(7, "pump.ini");
    form->SetStatusPanel(8, "ignored");
    EXPECT_EQ(form->StatusPanel(7), "pump.ini");
    EXPECT_EQ(form->StatusPanel(8), "");
    form->Log("first");
    form->Log("ERROR: - command 5 not defined");
    EXPECT_EQ(form->Memo->toPlainText(), "first\nERROR: - command 5 not defined");
    EXPECT_EQ(form->Memo->blockCount(), 2);
}

TEST_F(MainFormTest, LogLineStaysOneLine) {
    struct Row {
        QString line;
        QString shown;
    } rows[] = {
        {"QXSPD = 12\r", QString::fromUtf8("QXSPD = 12\u240D")},
        {"a\nb", QString::fromUtf8("a\u240Ab")},
        {QString("x") + QChar(0) + "y" + QChar(0x7F), QString::fromUtf8("x\u2400y\u2421")},
        {"tab\there", "tab\there"},
        {QString::fromUtf8("Gr\u00F6\u00DFe"), QString::fromUtf8("Gr\u00F6\u00DFe")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line.toStdString());
        form->Memo->clear();
        form->Log(row.line);
        EXPECT_EQ(form->Memo->blockCount(), 1);
        EXPECT_EQ(form->Memo->toPlainText(), row.shown);
    }
}

// Values with the top byte 0xFF name a system colour and follow the
// application palette; other top bytes carry no colour information.
TEST_F(MainFormTest, CaptionColourOfSystemColours) {
    struct Row {
        std::int32_t colour;
        QColor expected;
    } rows[] = {
        {0x12345678, QColor(0x78, 0x56, 0x34)},
        {std::int32_t(0xFF000008), QApplication::palette().color(QPalette::Text)},
        {std::int32_t(0xFF000011),
         QApplication::palette().color(QPalette::Disabled, QPalette::Text)},
        {std::int32_t(0xFF00000F), QApplication::palette().color(QPalette::Button)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.colour);
        Define(31, ctParamGetSet, "Y").colour = row.colour;
        form->ShowSlot(31);
        EXPECT_EQ(form->SlotCaptionColour(31), row.expected);
    }
}
