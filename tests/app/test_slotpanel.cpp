// The command panel on its own: how a record shows on a slot's widgets,
// geometry and names, slot selection, and the events it reports with the slot
// index.
#include "app/SlotPanel.h"
#include "dialogs/Dlgutils.h"
#include "tests/app/WindowProbe.h"
#include "tests/dialogs/DialogTest.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QSignalSpy>
#include <QTabBar>
#include <QTextDocument>
#include <QToolTip>

#include <gtest/gtest.h>

using namespace pmv;
using apptest::Record;
using apptest::TSlotWidgets;

namespace {

class SlotPanelTest : public ::testing::Test {
protected:
    SlotPanelTest() { panel.resize(497, 310); } // as on the window

    TSlotWidgets W(int index) const { return apptest::SlotWidgets(panel, index); }

    // A record shown over whatever the slot showed before.
    void Show(int index, const TCmdRecord& r) { panel.ShowSlot(index, r); }

    TSlotPanel panel;
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

TSlotView ViewOf(const TSlotWidgets& c) {
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

QColor GreyText() {
    return QApplication::palette().color(QPalette::Disabled, QPalette::WindowText);
}

void SendMenuRequest(QWidget* target, QContextMenuEvent::Reason reason, QPoint pos = QPoint(3, 3)) {
    QContextMenuEvent request(reason, pos, target->mapToGlobal(pos));
    QApplication::sendEvent(target, &request);
}

} // namespace

// ---- Showing a record ------------------------------------------------------------------

TEST_F(SlotPanelTest, ShowSlotSetsTheWidgetsOfEachKind) {
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
        Show(7, Record(ctParamGet, "OLD", "Old", 0, 99));
        TCmdRecord r = Record(row.kind, "SPD", "Speed", 0, 4321);
        r.str = "run fast";
        r.colour = 0x0000FF;
        Show(7, r);
        ExpectView(ViewOf(W(7)), row.view);
        EXPECT_EQ(panel.CaptionColour(7), QColor(255, 0, 0));
    }
}

TEST_F(SlotPanelTest, CaptionIsTheDescriptionElseTheCommand) {
    Show(0, Record(ctParamGetSet, "SPD", "Speed"));
    Show(1, Record(ctParamGetSet, "SPD", ""));
    Show(2, Record(ctParamGetSet, "\xC4nd",
                   "Gr\xF6\xDF"
                   "e")); // 8-bit texts
    EXPECT_EQ(W(0).box->title(), "Speed");
    EXPECT_EQ(W(1).box->title(), "SPD");
    EXPECT_EQ(W(2).box->title(), QString::fromUtf8("Größe"));
}

TEST_F(SlotPanelTest, CaptionColourIsTheRecordColour) {
    struct Row {
        std::int32_t colour;
        QColor expected;
    } rows[] = {
        {0x000000, QColor(0, 0, 0)},
        {0x0000FF, QColor(255, 0, 0)},
        {0x00FF00, QColor(0, 255, 0)},
        {0xFF0000, QColor(0, 0, 255)},
        {0x00336699, QColor(0x99, 0x66, 0x33)},
        // A top byte of 0xFF names a system colour, following the palette;
        // other top bytes carry no colour information.
        {0x12345678, QColor(0x78, 0x56, 0x34)},
        {std::int32_t(0xFF000008), QApplication::palette().color(QPalette::Text)},
        {std::int32_t(0xFF000011),
         QApplication::palette().color(QPalette::Disabled, QPalette::Text)},
        {std::int32_t(0xFF00000F), QApplication::palette().color(QPalette::Button)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.colour);
        TCmdRecord r = Record(ctParamSet, "X");
        r.colour = row.colour;
        Show(30, r);
        EXPECT_EQ(panel.CaptionColour(30), row.expected);
        // The edit keeps the system text colour.
        EXPECT_EQ(W(30).edit->palette().color(QPalette::Text),
                  QApplication::palette().color(QPalette::Text));
    }
}

TEST_F(SlotPanelTest, LongStringValueShowsItsStart) {
    TCmdRecord r = Record(ctCommandString, "NAME");
    r.str = "START" + std::string(75, 'a');
    Show(3, r);
    EXPECT_EQ(W(3).edit->text().size(), 80);
    EXPECT_EQ(W(3).edit->cursorPosition(), 0);
}

TEST_F(SlotPanelTest, DisabledSlotIsGreyWithItsValue) {
    TCmdRecord r = Record(ctParamGetSet, "SPD", "Speed", Disabled | IncInGetAll, 250);
    r.colour = 0x0000FF;
    Show(5, r);
    ExpectView(ViewOf(W(5)), {"Speed", "G", false, "S", false, "250", false, false, 6});
    EXPECT_EQ(panel.CaptionColour(5), GreyText());

    // Enabling it again restores the states of its kind and its colour.
    r.opts &= ~Disabled;
    Show(5, r);
    ExpectView(ViewOf(W(5)), {"Speed", "G", true, "S", true, "250", true, false, 6});
    EXPECT_EQ(panel.CaptionColour(5), QColor(255, 0, 0));
}

TEST_F(SlotPanelTest, EmptiedCommandLeavesCaptionsButDisablesEverything) {
    TCmdRecord r = Record(ctParamGetSet, "SPD", "Speed", 0, 17);
    r.colour = 0x00FF00;
    Show(9, r);
    r.cmd_str.clear();
    Show(9, r);
    ExpectView(ViewOf(W(9)), {"", "G", false, "S", false, "", false, false, 6});
    EXPECT_EQ(panel.CaptionColour(9), QColor(0, 255, 0)); // colours stay as they were

    // Read-only state and maximum length stay as well.
    Show(10, Record(ctParamGet, "T"));
    Show(10, Record(ctParamGet, ""));
    EXPECT_TRUE(W(10).edit->isReadOnly());
    TCmdRecord text = Record(ctCommandString, "N");
    text.str = "abc";
    Show(11, text);
    text.cmd_str.clear();
    Show(11, text);
    EXPECT_EQ(TypingLimit(W(11).edit), 80);
}

TEST_F(SlotPanelTest, UnknownKindLeavesButtonsAndEditAsTheyWere) {
    TCmdRecord r = Record(ctParamGet, "T", "Temperature");
    Show(12, r);
    const TSlotView before = ViewOf(W(12));
    r.cmd_type = 9;
    r.cmd_descr = "Other";
    r.val_start = 55;
    Show(12, r);
    TSlotView expected = before;
    expected.caption = "Other"; // caption and colour are set before the kind is looked at
    ExpectView(ViewOf(W(12)), expected);

    // The Disabled flag still disables the three widgets.
    r.opts = Disabled;
    Show(12, r);
    EXPECT_FALSE(W(12).get->isEnabled());
    EXPECT_FALSE(W(12).edit->isEnabled());
    EXPECT_EQ(W(12).edit->text(), "0");
    EXPECT_EQ(panel.CaptionColour(12), GreyText());
}

TEST_F(SlotPanelTest, ClearSlotEmptiesAndDisablesTheButtons) {
    Show(40, Record(ctParamGetSet, "SPD", "Speed", 0, 7));
    panel.ClearSlot(40);
    EXPECT_EQ(W(40).get->text(), "");
    EXPECT_EQ(W(40).set->text(), "");
    EXPECT_FALSE(W(40).get->isEnabled());
    EXPECT_FALSE(W(40).set->isEnabled());
    Show(40, TCmdRecord{});
    ExpectView(ViewOf(W(40)), {"", "", false, "", false, "", false, false, 6});
}

TEST_F(SlotPanelTest, EditTextIsWrittenWholeAndTypingIsLimited) {
    Show(3, Record(ctParamGetSet, "NAME"));
    const QString longText(80, QLatin1Char('x'));
    panel.SetEditText(3, longText);
    EXPECT_EQ(panel.EditText(3), longText);
    EXPECT_EQ(W(3).edit->cursorPosition(), 0);
    EXPECT_EQ(panel.EditMaxLength(3), 6);
}

TEST_F(SlotPanelTest, OutOfRangeIndexesDoNothing) {
    const TSlotView before = ViewOf(W(0));
    for (int index : {-1, 192, 1000}) {
        SCOPED_TRACE(index);
        panel.ShowSlot(index, Record(ctParamGetSet, "SPD", "Speed"));
        panel.ClearSlot(index);
        panel.SetCaptionColour(index, Qt::red);
        panel.SetEditText(index, "x");
        EXPECT_EQ(panel.EditText(index), QString());
        EXPECT_EQ(panel.EditMaxLength(index), 0);
        EXPECT_FALSE(panel.CaptionColour(index).isValid());
    }
    ExpectView(ViewOf(W(0)), before);
    ExpectView(ViewOf(W(191)), before);
}

// ---- Layout and names ------------------------------------------------------------------

TEST_F(SlotPanelTest, SlotGeometry) {
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
        const TSlotWidgets c = W(row.slot);
        ASSERT_TRUE(c.box->parentWidget());
        EXPECT_EQ(c.box->parentWidget()->objectName(), row.page);
        EXPECT_EQ(c.box->geometry(), QRect(row.topLeft, QSize(121, 48)));
        EXPECT_EQ(c.get->parentWidget(), c.box);
        EXPECT_EQ(c.get->geometry(), QRect(5, 15, 25, 25));
        EXPECT_EQ(c.set->geometry(), QRect(34, 15, 25, 25));
        EXPECT_EQ(c.edit->geometry(), QRect(64, 15, 50, 21));
    }
}

TEST_F(SlotPanelTest, PagesAndTheirCaptions) {
    EXPECT_EQ(panel.objectName(), "CmdsPageControl");
    ASSERT_EQ(panel.count(), kPageCount);
    for (int p = 0; p < kPageCount; ++p) {
        EXPECT_EQ(panel.widget(p)->objectName(), QStringLiteral("CmdPage%1TabSheet").arg(p + 1));
        EXPECT_EQ(panel.PageCaption(p), "Cmds " + std::to_string(p + 1));
    }
    // Captions are 8-bit texts.
    panel.SetPageCaption(1, "\xC4nderung");
    EXPECT_EQ(panel.tabText(1), QString::fromUtf8("Änderung"));
    EXPECT_EQ(panel.PageCaption(1), "\xC4nderung");
    panel.SetPageCaption(8, "ignored");
    panel.SetPageCaption(-1, "ignored");
    EXPECT_EQ(panel.PageCaption(8), "");
    EXPECT_EQ(panel.PageCaption(7), "Cmds 8");
}

TEST_F(SlotPanelTest, SlotWidgetsAreFoundByNameInTabOrder) {
    for (int i = 0; i < kSlotCount; ++i) {
        SCOPED_TRACE(i);
        const TSlotWidgets c = W(i);
        ASSERT_TRUE(c.box && c.get && c.set && c.edit);
        EXPECT_EQ(c.get->nextInFocusChain(), c.set);
        EXPECT_EQ(c.set->nextInFocusChain(), c.edit);
        if (i + 1 < kSlotCount) {
            ASSERT_EQ(c.edit->nextInFocusChain(), W(i + 1).box);
        }
    }
}

TEST_F(SlotPanelTest, AccessibleNames) {
    Show(11, Record(ctParamGetSet, "SPD", "Speed"));
    const TSlotWidgets c = W(11);
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
    Show(11, Record(ctParamGetSet, "SPD"));
    EXPECT_EQ(c.edit->accessibleDescription(), "SPD");
    Show(11, Record(ctParamGetSet, ""));
    EXPECT_EQ(c.box->accessibleDescription(), "");
}

// A caption too long for its box ends in an ellipsis; the box's tooltip then
// shows it whole. The accessible description is the whole caption always.
TEST_F(SlotPanelTest, ElidedCaptionIsShownWholeAsTooltip) {
    ASSERT_TRUE(test::ShowActive(panel));
    const QString longCaption = QStringLiteral("Speed setpoint of the main pump in rpm");
    const QString markup = QStringLiteral("<b>Flow</b> & pressure limit of the second stage");
    struct Row {
        const char* name;
        QString caption;
        bool tip;
    } rows[] = {
        {"fits", QStringLiteral("Speed"), false},
        {"too long", longCaption, true},
        {"looks like markup", markup, true},
        {"fits again", QStringLiteral("SPD"), false},
    };
    const TSlotWidgets c = W(5);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Show(5, Record(ctParamGetSet, "SPD", row.caption.toLatin1().constData()));
        EXPECT_EQ(c.box->title(), row.caption);
        EXPECT_EQ(c.box->accessibleDescription(), row.caption);
        const QString tip = c.box->toolTip();
        EXPECT_EQ(!tip.isEmpty(), row.tip) << tip.toStdString();
        if (!row.tip)
            continue;
        // Shown as the text it is, not as markup.
        QTextDocument shown;
        shown.setHtml(Qt::mightBeRichText(tip) ? tip : tip.toHtmlEscaped());
        EXPECT_EQ(shown.toPlainText().trimmed(), row.caption);
        // Hovering shows it.
        QHelpEvent hover(QEvent::ToolTip, QPoint(10, 5), c.box->mapToGlobal(QPoint(10, 5)));
        QApplication::sendEvent(c.box, &hover);
        EXPECT_TRUE(pmvtest::WaitUntil([] { return QToolTip::isVisible(); }));
        EXPECT_EQ(QToolTip::text(), tip);
        QToolTip::hideText();
    }
}

// ---- Selection and events --------------------------------------------------------------

TEST_F(SlotPanelTest, AnyMouseButtonSelectsTheSlot) {
    ASSERT_TRUE(test::ShowActive(panel));
    Show(56, Record(ctParamGetSet, "SPD"));
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
        {0, 0, Qt::LeftButton},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.slot * 10 + row.widget);
        panel.setCurrentIndex(SlotPage(row.slot));
        const TSlotWidgets c = W(row.slot);
        QWidget* widgets[] = {c.box, c.get, c.set, c.edit};
        QTest::mousePress(widgets[row.widget], row.button, {}, QPoint(3, 3));
        EXPECT_EQ(panel.SelectedSlot(), row.slot);
        QTest::mouseRelease(widgets[row.widget], row.button, {}, QPoint(3, 3));
    }
}

TEST_F(SlotPanelTest, KeyboardClickLeavesTheSelectionAlone) {
    ASSERT_TRUE(test::ShowActive(panel));
    Show(3, Record(ctParamGetSet, "SPD"));
    Show(8, Record(ctParamGetSet, "SPD"));
    QTest::mouseClick(W(3).box, Qt::LeftButton, {}, QPoint(3, 3));
    QPushButton* get = W(8).get;
    QSignalSpy clicks(&panel, &TSlotPanel::GetClicked);
    get->setFocus();
    QTest::keyClick(get, Qt::Key_Space);
    ASSERT_EQ(clicks.count(), 1);
    EXPECT_EQ(clicks[0][0].toInt(), 8);
    EXPECT_EQ(panel.SelectedSlot(), 3);
}

TEST_F(SlotPanelTest, EventsCarryTheSlotIndex) {
    ASSERT_TRUE(test::ShowActive(panel));
    panel.setCurrentIndex(1);
    Show(30, Record(ctParamGetSet, "SPD"));
    Show(31, Record(ctParamGetSet, "ACC"));
    QSignalSpy gets(&panel, &TSlotPanel::GetClicked);
    QSignalSpy sets(&panel, &TSlotPanel::SetClicked);
    QSignalSpy exits(&panel, &TSlotPanel::EditExited);
    QSignalSpy keys(&panel, &TSlotPanel::EditKeyPressed);

    QTest::mouseClick(W(30).get, Qt::LeftButton);
    QTest::mouseClick(W(31).set, Qt::LeftButton);
    ASSERT_EQ(gets.count(), 1);
    EXPECT_EQ(gets[0][0].toInt(), 30);
    ASSERT_EQ(sets.count(), 1);
    EXPECT_EQ(sets[0][0].toInt(), 31);

    // A key in the edit is reported, and the edit still takes it.
    QLineEdit* e = W(30).edit;
    e->setFocus();
    e->selectAll();
    QTest::keyClick(e, Qt::Key_7);
    QTest::keyClick(e, Qt::Key_Up);
    ASSERT_EQ(keys.count(), 2);
    EXPECT_EQ(keys[0][0].toInt(), 30);
    EXPECT_EQ(keys[0][1].toInt(), int(Qt::Key_7));
    EXPECT_EQ(keys[1][1].toInt(), int(Qt::Key_Up));
    EXPECT_EQ(e->text(), "7");

    // Leaving the edit for another control is an exit; a popup taking the
    // focus or another window becoming active is not.
    W(31).edit->setFocus(Qt::PopupFocusReason);
    EXPECT_EQ(exits.count(), 0);
    e->setFocus();
    exits.clear();
    W(31).edit->setFocus(Qt::TabFocusReason);
    ASSERT_EQ(exits.count(), 1);
    EXPECT_EQ(exits[0][0].toInt(), 30);
    QFocusEvent deactivated(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QApplication::sendEvent(W(31).edit, &deactivated);
    EXPECT_EQ(exits.count(), 1);
}

TEST_F(SlotPanelTest, SlotMenuFromTheBoxOrADisabledWidget) {
    ASSERT_TRUE(test::ShowActive(panel));
    Show(3, Record(ctParamGetSet, "SPD"));
    QSignalSpy menus(&panel, &TSlotPanel::SlotMenuRequested);
    // The widgets of the undefined slot 2 are disabled: the request goes to
    // the slot menu. An enabled button lets it go on to its box.
    const TSlotWidgets undefined = W(2);
    for (QWidget* target :
         {static_cast<QWidget*>(undefined.get), static_cast<QWidget*>(undefined.set),
          static_cast<QWidget*>(undefined.edit), static_cast<QWidget*>(undefined.box),
          static_cast<QWidget*>(W(3).get)}) {
        SCOPED_TRACE(target->objectName().toStdString());
        menus.clear();
        SendMenuRequest(target, QContextMenuEvent::Mouse);
        ASSERT_EQ(menus.count(), 1);
        EXPECT_EQ(menus[0][0].toPoint(), target->mapToGlobal(QPoint(3, 3)));
    }
    // A mouse request alone does not select: the press before it does.
    EXPECT_EQ(panel.SelectedSlot(), 0);
}

// The menu key or Shift+F10 asks for the menu of the slot whose widget has
// the focus, whichever slot was pressed last.
TEST_F(SlotPanelTest, KeyboardMenuRequestSelectsTheFocusedSlot) {
    ASSERT_TRUE(test::ShowActive(panel));
    for (int i : {3, 12, 20})
        Show(i, Record(ctParamGetSet, "SPD"));
    QSignalSpy menus(&panel, &TSlotPanel::SlotMenuRequested);
    struct Row {
        const char* name;
        QPushButton* focused;
        bool shiftF10;
        int selected;
    } rows[] = {
        {"menu key on a Get button", W(12).get, false, 12},
        {"Shift+F10 on a Set button", W(20).set, true, 20},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QTest::mouseClick(W(3).box, Qt::LeftButton, {}, QPoint(3, 3));
        ASSERT_EQ(panel.SelectedSlot(), 3);
        menus.clear();
        row.focused->setFocus();
        if (row.shiftF10)
            QTest::keyClick(row.focused, Qt::Key_F10, Qt::ShiftModifier);
        else // as the toolkit delivers the menu key
            SendMenuRequest(row.focused, QContextMenuEvent::Keyboard, QPoint());
        EXPECT_EQ(panel.SelectedSlot(), row.selected);
        EXPECT_EQ(menus.count(), 1);
    }
    // F10 alone is no menu request.
    QTest::keyClick(W(12).get, Qt::Key_F10);
    EXPECT_EQ(menus.count(), 1);
}

TEST_F(SlotPanelTest, RightClickOnATabMakesItsPageCurrent) {
    ASSERT_TRUE(test::ShowActive(panel));
    QSignalSpy menus(&panel, &TSlotPanel::PageMenuRequested);
    QTabBar* tabs = panel.tabBar();
    struct Row {
        const char* name;
        QWidget* target;
        QPoint pos;
        QContextMenuEvent::Reason reason;
        int current;
    } rows[] = {
        {"right click on tab 4", tabs, tabs->tabRect(3).center(), QContextMenuEvent::Mouse, 3},
        {"right click on the page", panel.widget(3), QPoint(5, 290), QContextMenuEvent::Mouse, 3},
        {"right click on tab 8", tabs, tabs->tabRect(7).center(), QContextMenuEvent::Mouse, 7},
        {"menu key on the tabs", tabs, tabs->tabRect(1).center(), QContextMenuEvent::Keyboard, 7},
    };
    panel.setCurrentIndex(0);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        menus.clear();
        SendMenuRequest(row.target, row.reason, row.pos);
        EXPECT_EQ(panel.currentIndex(), row.current);
        EXPECT_EQ(menus.count(), 1);
    }
}
