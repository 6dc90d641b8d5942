// The main window: layout, menus and tool bar, start state, slots reaching
// the panel, names for tests and assistive tools, the log and the status bar.
// How a record shows on a slot is the panel's (test_slotpanel.cpp).
#include "app/FormWidgets.h"
#include "app/Mainfrm.h"
#include "app/MainfrmLinkAdapters.h"
#include "app/RepaintPacer.h"
#include "app/TrafficForm.h"
#include "tests/app/BoxWatcher.h"
#include "tests/app/WindowProbe.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMenuBar>
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

#include <cstring>
#include <functional>
#include <memory>

using namespace pmv;
using apptest::Item;
using apptest::Record;
using apptest::TSlotWidgets;
using pmvtest::WaitUntil;

namespace {

class MainFormTest : public ::testing::Test {
protected:
    void SetUp() override { form = std::make_unique<TMainForm>(); }
    void TearDown() override { form.reset(); }

    // Shows the window and waits until it is exposed.
    void Show() {
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get(), pmvtest::Scaled(pmvtest::kWaitMs)));
    }

    TSlotWidgets Ctrls(int index) const { return apptest::SlotWidgets(*form, index); }
    template <class T> T* Named(const char* name) const { return apptest::Named<T>(*form, name); }
    QPlainTextEdit* Memo() const { return apptest::Memo(*form); }
    TSlotPanel* Panel() const { return apptest::Panel(*form); }

    std::unique_ptr<TMainForm> form;
};

} // namespace

// ---- Slots ---------------------------------------------------------------------------

TEST_F(MainFormTest, SetSlotStoresTheRecordAndShowsIt) {
    TCmdRecord r = Record(ctParamGetSet, "SPD", "Speed", IncInGetAll, 4321);
    r.colour = 0x0000FF;
    form->SetSlot(7, r);
    EXPECT_EQ(form->Slot(7), r);
    EXPECT_EQ(form->Config().CmdTable[7], r);
    EXPECT_EQ(Ctrls(7).box->title(), "Speed");
    EXPECT_EQ(Ctrls(7).get->text(), "G");
    EXPECT_EQ(Ctrls(7).edit->text(), "4321");
    EXPECT_EQ(Panel()->CaptionColour(7), QColor(255, 0, 0));
    EXPECT_TRUE(form->IsConfigModified());

    form->SetSlot(7, TCmdRecord{});
    EXPECT_EQ(form->Slot(7), TCmdRecord{});
    EXPECT_EQ(Ctrls(7).box->title(), "");
    EXPECT_FALSE(Ctrls(7).edit->isEnabled());
    EXPECT_FALSE(form->IsConfigModified());
}

TEST_F(MainFormTest, OutOfRangeIndexesDoNothing) {
    for (int index : {-1, 192, 1000}) {
        SCOPED_TRACE(index);
        form->SetSlot(index, Record(ctParamGetSet, "SPD", "Speed"));
        EXPECT_EQ(form->Slot(index), TCmdRecord{});
    }
    for (int i = 0; i < kSlotCount; ++i)
        ASSERT_EQ(form->Slot(i), TCmdRecord{});
    EXPECT_FALSE(form->IsConfigModified());
}

// Delete clears a slot as ClearSlot does: the Disabled flag stays.
TEST_F(MainFormTest, ClearedSlotKeepsTheDisabledFlag) {
    struct Row {
        std::uint32_t opts;
        std::uint32_t kept;
    } rows[] = {
        {Disabled | IncInGetAll | UpdateEditOnGet, Disabled},
        {IncInSetAll | TxOnValueChange, 0},
    };
    Show();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.opts);
        TCmdRecord r = Record(ctParamGetSet, "SPD", "Speed", row.opts, 7);
        r.val_min = r.val_max = r.val_inc = 7;
        r.colour = 0x123456;
        r.str = "x";
        form->SetSlot(40, r);
        apptest::SelectSlot(*form, 40);
        TBoxWatcher boxes;
        boxes.answers.push_back(QMessageBox::Ok);
        Item(*form, "Delete")->trigger();
        EXPECT_EQ(boxes.seen.size(), 1);
        TCmdRecord expected;
        expected.opts = row.kept;
        EXPECT_EQ(form->Slot(40), expected);
        const TSlotWidgets c = Ctrls(40);
        EXPECT_EQ(c.get->text(), "");
        EXPECT_EQ(c.set->text(), "");
        EXPECT_FALSE(c.get->isEnabled());
        EXPECT_FALSE(c.set->isEnabled());
        EXPECT_FALSE(c.edit->isEnabled());
        EXPECT_EQ(c.box->title(), "");
        EXPECT_EQ(c.edit->text(), "");
    }
}

// ---- Geometry ------------------------------------------------------------------------

TEST_F(MainFormTest, PagesHoldAllSixRowsUnclipped) {
    Show();
    for (int p = 0; p < kPageCount; ++p) {
        SCOPED_TRACE(p);
        Panel()->setCurrentIndex(p);
        QWidget* page = Panel()->widget(p);
        EXPECT_GE(page->width(), 490);
        EXPECT_GE(page->height(), 283);
        for (int k = 0; k < kSlotsPerPage; ++k)
            EXPECT_TRUE(page->rect().contains(Ctrls(p * kSlotsPerPage + k).box->geometry()));
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
    EXPECT_EQ(form->font().pixelSize(), 11); // 8 points at 96 dots per inch

    EXPECT_EQ(Named<QToolBar>("MainToolBar")->geometry(), QRect(0, 0, 501, 25));
    EXPECT_FALSE(Named<QToolBar>("MainToolBar")->isMovable());
    EXPECT_EQ(Panel()->geometry(), QRect(0, 32, 497, 310));
    EXPECT_EQ(Memo()->geometry(), QRect(0, 340, 497, 125));
    EXPECT_EQ(Named<QStatusBar>("StatusBar")->geometry(), QRect(0, 464, 501, 19));

    EXPECT_TRUE(Memo()->isReadOnly());
    EXPECT_EQ(Memo()->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(Memo()->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(Memo()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

    const int widths[] = {130, 20, 60, 20, 60, 38, 30};
    for (int i = 0; i < TStatusLine::kPanelCount; ++i) {
        SCOPED_TRACE(i);
        if (i < int(std::size(widths))) {
            EXPECT_EQ(apptest::StatusPanel(*form, i)->width(), widths[i]);
        }
        EXPECT_TRUE(apptest::StatusPanel(*form, i)->isVisible());
    }
    // The file name's panel takes the rest of the bar, 50 pixels at least.
    const QLabel* last = apptest::StatusPanel(*form, 7);
    EXPECT_GE(last->width(), 50);
    EXPECT_EQ(last->mapTo(form.get(), QPoint(last->width(), 0)).x(), 501);
}

// ---- Start state and show ------------------------------------------------------------

TEST_F(MainFormTest, StartStateEqualsTheSnapshot) {
    EXPECT_FALSE(form->IsConfigModified());
    const TConfigSet config = form->Config();
    for (int i = 0; i < kSlotCount; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(config.CmdTable[i], TCmdRecord{});
        const TSlotWidgets c = Ctrls(i);
        EXPECT_EQ(c.box->title(), "");
        EXPECT_EQ(c.get->text(), "");
        EXPECT_EQ(c.set->text(), "");
        EXPECT_EQ(c.edit->text(), "");
        EXPECT_FALSE(c.get->isEnabled());
        EXPECT_FALSE(c.set->isEnabled());
        EXPECT_FALSE(c.edit->isEnabled());
        EXPECT_FALSE(c.edit->isReadOnly());
        EXPECT_EQ(Panel()->EditMaxLength(i), 6);
    }
    for (int p = 0; p < kPageCount; ++p) {
        EXPECT_EQ(config.PageCaptions[p], "Cmds " + std::to_string(p + 1));
        EXPECT_EQ(Panel()->widget(p)->objectName(), QStringLiteral("CmdPage%1TabSheet").arg(p + 1));
    }
    EXPECT_TRUE(config.Title.empty());
    EXPECT_TRUE(form->FileName().isEmpty());
    EXPECT_EQ(Panel()->SelectedSlot(), 0);
    EXPECT_FALSE(Item(*form, "Paste1")->isEnabled());
    EXPECT_TRUE(Memo()->toPlainText().isEmpty());

    const char* panels[] = {"", "Tx", "0", "Rx", "0", "Rx TO", "0", ""};
    for (int i = 0; i < TStatusLine::kPanelCount; ++i)
        EXPECT_EQ(apptest::StatusText(*form, i), panels[i]) << i;
}

TEST_F(MainFormTest, ShowSetsCaptionPortStateAndFirstPage) {
    EXPECT_EQ(form->objectName(), "MainForm");
    Panel()->setCurrentIndex(3);
    Show();
    EXPECT_EQ(form->windowTitle(), "PMV Controller Host V1.8");
    EXPECT_EQ(apptest::StatusText(*form, 0), "COM closed");
    EXPECT_EQ(Panel()->currentIndex(), 0);
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
    Item(*form, "Exit")->trigger();
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
    // Items added later come after the specified ones.
    const QHash<QString, QStringList> added = {
        {"&Commands", {"N5", "CompareWithTarget", "CompareWithFile", "Watch"}},
        {"&COM", {"NTraffic", "Traffic", "PortMap"}},
        {"&Options", {"TimeStamps"}}};
    for (const auto& [menu, count] : position.asKeyValueRange()) {
        for (QAction* m : form->menuBar()->actions()) {
            if (m->text() == menu) {
                const QList<QAction*> items = m->menu()->actions();
                ASSERT_EQ(items.size(), count + added.value(menu).size()) << menu.toStdString();
                for (int i = 0; i < added.value(menu).size(); ++i)
                    EXPECT_EQ(items[count + i]->objectName(), added.value(menu)[i]);
            }
        }
    }
    EXPECT_EQ(Item(*form, "CompareWithTarget")->text(), "Compare with Target");
    EXPECT_EQ(Item(*form, "CompareWithFile")->text(), QString::fromUtf8("Compare with File\u2026"));
    EXPECT_EQ(Item(*form, "PortMap")->text(), QString::fromUtf8("Port &Map\u2026"));
}

// The platform's standard keys run their items (captions and mnemonics are
// as above). Which keys those are is the platform's: Ctrl+O, Ctrl+S, Ctrl+Q
// and F1 on an X11 or Wayland desktop; the offscreen platform of the tests
// follows the Windows scheme, which has no key for quit.
TEST_F(MainFormTest, StandardShortcutsRunTheirItems) {
    int opened = 0, saved = 0;
    TMainFormDialogs dialogs;
    dialogs.OpenConfigFile = [&] {
        ++opened;
        return QString();
    };
    dialogs.SaveConfigFile = [&](const QString&) {
        ++saved;
        return QString();
    };
    form->SetDialogs(dialogs);
    QString shown;
    struct Row {
        const char* item;
        QKeySequence::StandardKey key;
        std::function<bool()> ran;
    } rows[] = {
        {"LoadConfig", QKeySequence::Open, [&] { return opened == 1; }},
        {"SaveConfig", QKeySequence::Save, [&] { return saved == 1; }},
        {"About", QKeySequence::HelpContents, [&] { return shown == "pmv::TAboutForm"; }},
        {"Exit", QKeySequence::Quit, [&] { return !form->isVisible(); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.item);
        const QList<QKeySequence> keys = QKeySequence::keyBindings(row.key);
        EXPECT_EQ(Item(*form, row.item)->shortcuts(), keys);
        if (keys.isEmpty())
            continue; // none on this platform
        SCOPED_TRACE(keys.constFirst().toString().toStdString());
        ASSERT_TRUE(test::ShowActive(*form));
        if (row.key == QKeySequence::HelpContents) {
            test::WhenModal([&](QWidget* w) {
                shown = QString::fromLatin1(w->metaObject()->className());
                w->close();
            });
        }
        QTest::keySequence(form.get(), keys.constFirst());
        EXPECT_TRUE(WaitUntil(row.ran));
    }
}

TEST_F(MainFormTest, OptionItemsToggleTheirCheckMarks) {
    struct Row {
        QAction* item;
        bool checked;
    } rows[] = {
        {Item(*form, "ShowTransmissions"), false},
        {Item(*form, "ShowUnframedReceptions"), false},
        {Item(*form, "ShowCommandDescription"), true},
        {Item(*form, "TimeStamps"), false}, // added after the three
    };
    // In this order in the Options menu; the link reads them by name.
    const QList<QAction*> items = Named<QMenu>("OptionsMenu")->actions();
    ASSERT_EQ(items.size(), 4);
    for (int pos = 0; pos < 4; ++pos) {
        SCOPED_TRACE(pos);
        EXPECT_EQ(items[pos], rows[pos].item);
        EXPECT_TRUE(rows[pos].item->isCheckable());
        EXPECT_EQ(rows[pos].item->isChecked(), rows[pos].checked);
        rows[pos].item->trigger();
        EXPECT_EQ(rows[pos].item->isChecked(), !rows[pos].checked);
    }
}

TEST(LinkView, ReadsTheOptionsItIsGiven) {
    QMenu options;
    QAction* items[3];
    for (int i = 0; i < 3; ++i) {
        items[i] = options.addAction(QStringLiteral("option"));
        items[i]->setCheckable(true);
        items[i]->setChecked(i != 1);
    }
    // Put in another order than the menu's: each is read as itself.
    TFormLinkView view(
        TFormLinkView::TWidgets{nullptr, nullptr, items[2], items[1], items[0], nullptr, nullptr});
    EXPECT_TRUE(view.ShowTransmissions());
    EXPECT_FALSE(view.ShowUnframedReceptions());
    EXPECT_TRUE(view.ShowCommandDescription());
    items[2]->setChecked(false);
    EXPECT_FALSE(view.ShowTransmissions());
    TFormLinkView none(TFormLinkView::TWidgets{});
    EXPECT_FALSE(none.ShowCommandDescription());
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
    const QList<QAction*> actions = Named<QToolBar>("MainToolBar")->actions();
    ASSERT_EQ(actions.size(), int(std::size(rows)));
    int x = -1;
    for (int i = 0; i < int(std::size(rows)); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(row.button);
        QWidget* w = Named<QToolBar>("MainToolBar")->widgetForAction(actions[i]);
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
    const QList<QAction*> items = Named<QMenu>("CmdPopupMenu")->actions();
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
    ASSERT_EQ(Named<QMenu>("TabNamingPopupMenu")->actions().size(), 1);
    EXPECT_EQ(Named<QMenu>("TabNamingPopupMenu")->actions()[0], Item(*form, "Rename"));
    EXPECT_EQ(Item(*form, "Rename")->objectName(), "Rename");
    EXPECT_EQ(Item(*form, "Rename")->text(), "&Rename");
}

TEST_F(MainFormTest, RightClickOnASlotOpensTheSlotPopup) {
    Show();
    // The widgets of an undefined slot are disabled; the request goes on to
    // the group box. An enabled button does not have a menu of its own.
    form->SetSlot(3, Record(ctParamGetSet, "SPD"));
    for (QWidget* target :
         {static_cast<QWidget*>(Ctrls(2).get), static_cast<QWidget*>(Ctrls(2).set),
          static_cast<QWidget*>(Ctrls(2).edit), static_cast<QWidget*>(Ctrls(2).box),
          static_cast<QWidget*>(Ctrls(3).get)}) {
        SCOPED_TRACE(target->objectName().toStdString());
        QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(3, 3),
                             target->mapToGlobal(QPoint(3, 3)));
        QApplication::sendEvent(target, &ev);
        EXPECT_TRUE(Named<QMenu>("CmdPopupMenu")->isVisible());
        Named<QMenu>("CmdPopupMenu")->hide();
    }
    QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(5, 5),
                         Panel()->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(Panel(), &ev);
    EXPECT_TRUE(Named<QMenu>("TabNamingPopupMenu")->isVisible());
    Named<QMenu>("TabNamingPopupMenu")->hide();
}

TEST_F(MainFormTest, LogMenuEndsWithSaveLogAs) {
    Show();
    TLogView* memo = Named<TLogView>("Memo");
    QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(5, 5),
                         memo->viewport()->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(memo->viewport(), &ev);
    QMenu* menu = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* m = qobject_cast<QMenu*>(w); m && m->isVisible())
            menu = m;
    ASSERT_TRUE(menu);
    const QList<QAction*> items = menu->actions();
    ASSERT_GT(items.size(), 2); // the text view's own items come first
    EXPECT_EQ(items.back(), memo->SaveLogAsItem());
    EXPECT_EQ(items.back()->text(), QString::fromUtf8("Save Log As\u2026"));
    menu->close();
}

TEST_F(MainFormTest, WheelNotTakenByTheWindowGoesOnToTheWidget) {
    Show();
    ASSERT_TRUE(form->windowHandle());
    for (int i = 0; i < 200; ++i)
        Memo()->appendPlainText(QString::number(i));
    QScrollBar* bar = Memo()->verticalScrollBar();
    bar->setValue(0);
    const QPoint pos = Memo()->viewport()->mapTo(form.get(), QPoint(20, 20));
    QWheelEvent wheel(pos, form->mapToGlobal(pos), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(form->windowHandle(), &wheel);
    EXPECT_GT(bar->value(), 0);
}

// ---- Names -------------------------------------------------------------------------------

TEST_F(MainFormTest, WidgetsAreFoundByName) {
    for (int i = 0; i < kSlotCount; ++i) {
        SCOPED_TRACE(i);
        const TSlotWidgets c = Ctrls(i);
        ASSERT_TRUE(c.box && c.get && c.set && c.edit);
    }
    for (const char* name : {"MainToolBar", "CmdsPageControl", "Memo", "StatusBar", "CmdPopupMenu",
                             "TabNamingPopupMenu"})
        EXPECT_TRUE(form->findChild<QWidget*>(name)) << name;
    for (const char* name : {"LNKCOMPort", "LNKCOMDlg", "RxTimer"})
        EXPECT_TRUE(form->findChild<QObject*>(name)) << name;
}

TEST_F(MainFormTest, AccessibleNames) {
    EXPECT_EQ(Memo()->accessibleName(), "Log");
    EXPECT_EQ(Named<QStatusBar>("StatusBar")->accessibleName(), "Status bar");
    const char* panels[] = {"Port state",       "Tx label",          "Tx count",
                            "Rx label",         "Rx count",          "Rx timeout label",
                            "Rx timeout count", "Configuration file"};
    for (int i = 0; i < TStatusLine::kPanelCount; ++i)
        EXPECT_EQ(apptest::StatusPanel(*form, i)->accessibleName(), panels[i]);
}

// ---- Log and status bar ----------------------------------------------------------------

TEST(StatusLine, PanelsAndDoubleClick) {
    TStatusLine bar;
    QSignalSpy clicks(&bar, &TStatusLine::DoubleClicked);
    bar.SetPanel(7, "pump.ini");
    bar.SetPanel(8, "ignored");
    bar.SetPanel(-1, "ignored");
    EXPECT_EQ(bar.Panel(7)->text(), "pump.ini");
    EXPECT_EQ(bar.Panel(0)->text(), "");
    for (int i = 0; i < TStatusLine::kPanelCount; ++i)
        QTest::mouseDClick(bar.Panel(i), Qt::LeftButton);
    EXPECT_EQ(clicks.count(), TStatusLine::kPanelCount);

    // A count too long for its panel is shown whole as the tooltip, a short
    // one (measured by its widest digit, without a layout) has none.
    bar.show();
    const QString tooLong(40, QLatin1Char('8'));
    for (const QString& count : {QStringLiteral("7"), tooLong, QStringLiteral("42")}) {
        SCOPED_TRACE(count.toStdString());
        bar.SetPanel(2, count);
        EXPECT_EQ(bar.Panel(2)->toolTip(), count == tooLong ? count : QString());
    }
}

// Accessibility tools (a screen reader, a test driver) read what each panel
// is by its name and what it says by its value and its text.
TEST_F(MainFormTest, StatusPanelsGiveTheirTextsToAccessibilityTools) {
    Show();
    struct Row {
        const char* name;
        const char* text;
    } rows[] = {
        {"Port state", "COM closed"}, {"Tx label", "Tx"},         {"Tx count", "0"},
        {"Rx label", "Rx"},           {"Rx count", "0"},          {"Rx timeout label", "Rx TO"},
        {"Rx timeout count", "0"},    {"Configuration file", ""},
    };
    for (int i = 0; i < TStatusLine::kPanelCount; ++i) {
        SCOPED_TRACE(rows[i].name);
        QAccessibleInterface* a =
            QAccessible::queryAccessibleInterface(apptest::StatusPanel(*form, i));
        ASSERT_TRUE(a);
        EXPECT_EQ(a->role(), QAccessible::StaticText);
        EXPECT_EQ(a->text(QAccessible::Name), rows[i].name);
        EXPECT_EQ(a->text(QAccessible::Value), rows[i].text);
        QAccessibleTextInterface* t = a->textInterface();
        ASSERT_TRUE(t);
        EXPECT_EQ(t->text(0, t->characterCount()), rows[i].text);
    }

    // A new text is the new value. (The change events for the tools are sent
    // only while a platform bridge listens, which the offscreen platform has
    // not.)
    Named<TStatusLine>("StatusBar")->SetPanel(0, "COM25 lost");
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(apptest::StatusPanel(*form, 0));
    EXPECT_EQ(a->text(QAccessible::Name), "Port state");
    EXPECT_EQ(a->text(QAccessible::Value), "COM25 lost");
    // Where each character stands, as a screen magnifier asks.
    QAccessibleTextInterface* t = a->textInterface();
    ASSERT_EQ(t->characterCount(), 10);
    const QRect c3 = t->characterRect(3);
    EXPECT_TRUE(a->rect().contains(c3)) << c3.x() << "," << c3.y();
    EXPECT_GT(c3.left(), t->characterRect(2).left());
    EXPECT_EQ(t->offsetAtPoint(c3.center()), 3);
}

TEST(LogView, OneLinePerCall) {
    TLogView log;
    log.AppendLine("first");
    log.AppendLine("ERROR: - command 5 not defined");
    log.Flush();
    EXPECT_EQ(log.toPlainText(), "first\nERROR: - command 5 not defined");
    EXPECT_EQ(log.blockCount(), 2);
}

TEST(LogView, LineStaysOneLine) {
    TLogView log;
    // A control character as its symbol where the font has it, else its name.
    const auto shown = [&](char16_t c) { return log.ControlText(c); };
    struct Row {
        QString line;
        QString shown;
    } rows[] = {
        {"QXSPD = 12\r", "QXSPD = 12" + shown(u'\r')},
        {"a\nb", "a" + shown(u'\n') + "b"},
        {QString("x") + QChar(0) + "y" + QChar(0x7F), "x" + shown(0) + "y" + shown(0x7F)},
        {"tab\there", "tab\there"},
        {QString::fromUtf8("Gr\u00F6\u00DFe"), QString::fromUtf8("Gr\u00F6\u00DFe")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line.toStdString());
        log.Clear();
        log.AppendLine(row.line);
        log.Flush();
        EXPECT_EQ(log.blockCount(), 1);
        EXPECT_EQ(log.toPlainText(), row.shown);
    }
    // Whichever it is, the log's font draws it: no box.
    const QFontMetrics fm(log.font());
    for (char16_t c : {u'\r', u'\n', char16_t(0), char16_t(0x1B), char16_t(0x7F)}) {
        SCOPED_TRACE(int(c));
        const QString text = log.ControlText(c);
        ASSERT_FALSE(text.isEmpty());
        for (const QChar ch : text)
            EXPECT_TRUE(fm.inFontUcs4(ch.unicode()));
        EXPECT_TRUE(text.size() == 1 || text == "<" + text.mid(1, text.size() - 2) + ">");
    }
}

// The traffic table follows its log: rows added, the newest row growing,
// the oldest dropped beyond the bound, all at once or some.
TEST(TrafficModel, FollowsTheLogWithinItsBound) {
    pmv::TTrafficLog log(3);
    TTrafficModel model(log);
    const auto t = pmv::TTrafficLog::TClock::now();
    const auto send = [&](const char* frame) {
        log.Sent(reinterpret_cast<const std::uint8_t*>(frame), std::strlen(frame), t);
    };
    const auto shown = [&] {
        model.Sync();
        QStringList texts;
        for (int row = 0; row < model.rowCount(); ++row)
            texts << model.index(row, 3).data().toString();
        return texts;
    };
    send("a");
    send("b");
    EXPECT_EQ(shown(), (QStringList{"a", "b"}));
    log.Received('c', t);
    EXPECT_EQ(shown(), (QStringList{"a", "b", "c"}));
    log.Received('d', t);
    EXPECT_EQ(shown(), (QStringList{"a", "b", "cd"}));
    for (const char* frame : {"e", "f", "g", "h"})
        send(frame);
    EXPECT_EQ(shown(), (QStringList{"f", "g", "h"}));
    send("i");
    EXPECT_EQ(shown(), (QStringList{"g", "h", "i"}));
    model.Clear();
    EXPECT_EQ(model.rowCount(), 0);
}

TEST(LogView, DoubleClickIsReportedBeforeTheLogHandlesIt) {
    TLogView log;
    log.AppendLine("some words");
    log.Flush();
    int lines = -1;
    QObject::connect(&log, &TLogView::DoubleClicked, [&] { lines = log.blockCount(); });
    QTest::mouseDClick(log.viewport(), Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(lines, 1);
}

// Lines go in by batches on the event loop, in order; a clear drops the lines
// still waiting with the rest, whichever way the log is cleared.
TEST(LogView, BatchedLinesArriveInOrderAndGoWithAClear) {
    TLogView log;
    for (const char* line : {"one", "two", "three"})
        log.AppendLine(line);
    EXPECT_EQ(log.PendingLines(), 3);
    EXPECT_TRUE(WaitUntil([&] { return log.PendingLines() == 0; }));
    EXPECT_EQ(log.toPlainText(), "one\ntwo\nthree");

    log.AppendLine("before the clear");
    log.Clear();
    log.AppendLine("after");
    log.Flush();
    EXPECT_EQ(log.toPlainText(), "after");
    log.AppendLine("waiting");
    log.clear(); // the text view's own clear
    log.Flush();
    EXPECT_TRUE(log.document()->isEmpty());
}

// The log keeps its newest kMaxLines lines and drops the oldest first, also
// when a batch alone is longer than the bound.
TEST(LogView, KeepsTheNewestLinesUpToItsBound) {
    TLogView log;
    const int total = TLogView::kMaxLines + 25;
    for (int i = 0; i < total; ++i)
        log.AppendLine(QString::number(i));
    log.Flush();
    EXPECT_EQ(log.blockCount(), TLogView::kMaxLines);
    EXPECT_EQ(log.document()->firstBlock().text(), "25");
    log.AppendLine("newest");
    log.Flush();
    EXPECT_EQ(log.blockCount(), TLogView::kMaxLines);
    EXPECT_EQ(log.document()->firstBlock().text(), "26");
    EXPECT_EQ(log.document()->lastBlock().text(), "newest");
}

// A label that remembers what it painted last.
class TPaintedLabel : public QLabel {
public:
    using QLabel::QLabel;
    QString painted;

protected:
    void paintEvent(QPaintEvent* event) override {
        painted = text();
        QLabel::paintEvent(event);
    }
};

// Changes that come faster than the frame rate are not lost: the window's
// next repaint shows the last of them.
TEST(RepaintPacer, TheLastChangeIsPaintedOnceTheEventLoopRuns) {
    QWidget window;
    auto* label = new TPaintedLabel(QStringLiteral("0"), &window);
    label->setFixedSize(80, 20);
    const TRepaintPacer pacer(&window);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, pmvtest::Scaled(pmvtest::kWaitMs)));
    for (int i = 1; i <= 200; ++i) {
        label->setText(QString::number(i));
        QCoreApplication::processEvents();
    }
    WaitUntil([&] { return label->painted == "200"; });
    EXPECT_EQ(label->painted, "200");
    EXPECT_GE(pacer.Repaints(), 1);
}
