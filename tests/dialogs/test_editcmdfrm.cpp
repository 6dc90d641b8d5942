#include "dialogs/Editcmdfrm.h"

#include "DialogTest.h"
#include "dialogs/Dlgutils.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace pmv;
using pmv::test::ShowActive;
using pmv::test::WhenModal;

namespace {

TCmdRecord Sample(int kind = ctParamGetSet) {
    TCmdRecord r;
    r.cmd_type = static_cast<std::int8_t>(kind);
    r.cmd_str = "SPD";
    r.cmd_descr = "Pump speed";
    r.str = "text";
    r.val_start = 50;
    r.val_min = 0;
    r.val_max = 100;
    r.val_inc = 10;
    r.colour = 0x00C00000;
    r.opts = IncInSetAll | UpdateEditOnGet;
    return r;
}

// A shown, active editor for slot index with record r.
struct Editor {
    explicit Editor(const TCmdRecord& r, int index = 4) : form(nullptr, index, r) {
        form.SetColorChooser([](QWidget*, QColor) -> std::optional<QColor> {
            ADD_FAILURE() << "unexpected colour dialog";
            return std::nullopt;
        });
        ok = ShowActive(form);
    }
    // Puts text into edit as the operator would, replacing what is there.
    void Type(QLineEdit* edit, const QString& text) {
        edit->setFocus();
        edit->selectAll();
        if (text.isEmpty())
            edit->backspace();
        else
            QTest::keyClicks(edit, text);
    }
    TEditCmdForm form;
    bool ok = false;
};

} // namespace

TEST(EditCmdForm, CaptionNamesTheSlotFromOne) {
    const struct {
        int index;
        const char* caption;
    } rows[] = {{0, "Configure Command #1"},
                {23, "Configure Command #24"},
                {191, "Configure Command #192"}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.index);
        Editor e(Sample(), r.index);
        ASSERT_TRUE(e.ok);
        EXPECT_EQ(e.form.windowTitle(), r.caption);
        EXPECT_EQ(e.form.geometry().size(), QSize(272, 264));
    }
}

TEST(EditCmdForm, ShowCmdFillsEveryControl) {
    TCmdRecord r = Sample(ctParamSet);
    r.opts = IncInGetAll | TxOnValueChange | Disabled;
    r.colour = 0x000000FF;
    Editor e(r);
    ASSERT_TRUE(e.ok);
    TEditCmdForm& f = e.form;
    EXPECT_EQ(f.CmdStrLabeledEdit->text(), "SPD");
    EXPECT_EQ(f.CmdDescriptionLabeledEdit->text(), "Pump speed");
    EXPECT_EQ(f.CmdDescriptionLabeledEdit->palette().color(QPalette::Active, QPalette::Text),
              QColor(255, 0, 0));
    EXPECT_EQ(f.StrLabeledEdit->text(), "text");
    EXPECT_EQ(f.ValDefaultLabeledEdit->text(), "50");
    EXPECT_EQ(f.ValMinLabeledEdit->text(), "0");
    EXPECT_EQ(f.ValMaxLabeledEdit->text(), "100");
    EXPECT_EQ(f.ValIncLabeledEdit->text(), "10");
    EXPECT_FALSE(f.IncInSetAllCheckBox->isChecked());
    EXPECT_TRUE(f.IncInGetAllCheckBox->isChecked());
    EXPECT_FALSE(f.UpdateEditOnGetCheckBox->isChecked());
    EXPECT_TRUE(f.TxOnValueChangeCheckBox->isChecked());
    EXPECT_TRUE(f.DisabledCheckBox->isChecked());
    EXPECT_EQ(f.CmdTypeComboBox->currentIndex(), ctParamSet);
    EXPECT_EQ(f.CmdTypeComboBox->currentText(), "Param Set");
    EXPECT_EQ(f.GetCmd(), r) << "showing changes nothing";
}

TEST(EditCmdForm, KindItemsInFileOrder) {
    Editor e(Sample());
    const char* items[] = {"Command",   "Command = value", "Command = string",
                           "Param Get", "Param Set",       "Param Get/Set"};
    ASSERT_EQ(e.form.CmdTypeComboBox->count(), 6);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(e.form.CmdTypeComboBox->itemText(i), items[i]);
    EXPECT_FALSE(e.form.CmdTypeComboBox->isEditable());
}

TEST(EditCmdForm, EnablingFollowsTheKind) {
    struct Row {
        int kind;
        bool str, grey, values, setAll, getAll, update, tx;
    };
    const Row rows[] = {
        {ctCommand, false, true, false, false, false, false, false},
        {ctCommandValue, false, false, true, false, false, false, true},
        {ctCommandString, true, false, false, false, false, false, false},
        {ctParamGet, false, true, false, false, true, true, false},
        {ctParamSet, false, false, true, true, false, false, true},
        {ctParamGetSet, false, false, true, true, true, true, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.kind);
        Editor e(Sample(r.kind));
        ASSERT_TRUE(e.ok);
        TEditCmdForm& f = e.form;
        EXPECT_EQ(f.StrLabeledEdit->isEnabled(), r.str);
        for (QLineEdit* v : {f.ValDefaultLabeledEdit, f.ValMinLabeledEdit, f.ValMaxLabeledEdit,
                             f.ValIncLabeledEdit})
            EXPECT_EQ(v->isEnabled(), r.values) << v->objectName().toStdString();
        EXPECT_EQ(f.IncInSetAllCheckBox->isEnabled(), r.setAll);
        EXPECT_EQ(f.IncInGetAllCheckBox->isEnabled(), r.getAll);
        EXPECT_EQ(f.UpdateEditOnGetCheckBox->isEnabled(), r.update);
        EXPECT_EQ(f.TxOnValueChangeCheckBox->isEnabled(), r.tx);
        for (QWidget* w :
             {static_cast<QWidget*>(f.CmdStrLabeledEdit),
              static_cast<QWidget*>(f.CmdDescriptionLabeledEdit),
              static_cast<QWidget*>(f.CmdTypeComboBox), static_cast<QWidget*>(f.DisabledCheckBox)})
            EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
        const QColor valueText =
            f.ValGroupBox->palette().color(QPalette::Active, QPalette::WindowText);
        const QColor grey = f.palette().color(QPalette::Disabled, QPalette::WindowText);
        const QColor normal = f.palette().color(QPalette::Active, QPalette::WindowText);
        EXPECT_EQ(valueText, r.grey ? grey : normal);
        // Disabling changes no content.
        EXPECT_EQ(f.StrLabeledEdit->text(), "text");
        EXPECT_EQ(f.ValDefaultLabeledEdit->text(), "50");
        EXPECT_TRUE(f.IncInSetAllCheckBox->isChecked());
        EXPECT_TRUE(f.UpdateEditOnGetCheckBox->isChecked());
    }
}

TEST(EditCmdForm, ValueCommitsClampSilently) {
    enum Field { Default, Min, Max, Inc };
    struct Step {
        Field field;
        const char* text;
    };
    struct Row {
        const char* name;
        std::int32_t start, min, max, inc; // the slot as opened
        std::vector<Step> steps;           // each typed and then left
        std::int32_t wantStart, wantMin, wantMax, wantInc;
    };
    const Row rows[] = {
        {"Max. 70000 becomes 65535", 50, 0, 100, 10, {{Max, "70000"}}, 50, 0, 65535, 10},
        {"Max. takes six characters only", 50, 0, 100, 10, {{Max, "1234567"}}, 50, 0, 65535, 10},
        {"Default above Max.", 50, 0, 100, 10, {{Default, "150"}}, 100, 0, 100, 10},
        {"lowering Max. moves Default and Inc.",
         50,
         0,
         100,
         80,
         {{Default, "150"}, {Max, "50"}},
         50,
         0,
         50,
         50},
        {"Min. abc: previous 5 clamped to Max. 3", 2, 5, 3, 0, {{Min, "abc"}}, 3, 3, 3, 0},
        {"negative Min. becomes 0", 50, 10, 100, 10, {{Min, "-7"}}, 50, 0, 100, 10},
        {"negative Inc. becomes 0", 50, 0, 100, 10, {{Inc, "-3"}}, 50, 0, 100, 0},
        {"Inc. above the span", 50, 20, 100, 10, {{Inc, "500"}}, 50, 20, 100, 80},
        {"Default abc falls back to the slot's value",
         42,
         0,
         100,
         10,
         {{Default, "abc"}},
         42,
         0,
         100,
         10},
        {"fallback comes from the slot, not the copy",
         42,
         0,
         100,
         10,
         {{Default, "60"}, {Default, "x"}},
         42,
         0,
         100,
         10},
        {"hexadecimal", 0, 0, 100, 0, {{Default, "$1F"}}, 31, 0, 100, 0},
        {"raising Min. moves Default up", 10, 0, 100, 90, {{Min, "40"}}, 40, 40, 100, 60},
        {"Max. below Min. stops at Min.", 50, 30, 100, 10, {{Max, "5"}}, 30, 30, 30, 0},
        {"empty Max. falls back", 50, 0, 100, 10, {{Max, ""}}, 50, 0, 100, 10},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TCmdRecord rec = Sample(ctParamGetSet);
        rec.val_start = r.start;
        rec.val_min = r.min;
        rec.val_max = r.max;
        rec.val_inc = r.inc;
        Editor e(rec);
        ASSERT_TRUE(e.ok);
        TEditCmdForm& f = e.form;
        QLineEdit* edits[] = {f.ValDefaultLabeledEdit, f.ValMinLabeledEdit, f.ValMaxLabeledEdit,
                              f.ValIncLabeledEdit};
        for (const Step& s : r.steps) {
            e.Type(edits[s.field], QString::fromLatin1(s.text));
            f.CmdStrLabeledEdit->setFocus(Qt::MouseFocusReason); // leave the edit
        }
        const TCmdRecord got = f.GetCmd();
        EXPECT_EQ(got.val_start, r.wantStart);
        EXPECT_EQ(got.val_min, r.wantMin);
        EXPECT_EQ(got.val_max, r.wantMax);
        EXPECT_EQ(got.val_inc, r.wantInc);
        // The corrected values are shown at once.
        EXPECT_EQ(f.ValDefaultLabeledEdit->text(), QString::number(got.val_start));
        EXPECT_EQ(f.ValMinLabeledEdit->text(), QString::number(got.val_min));
        EXPECT_EQ(f.ValMaxLabeledEdit->text(), QString::number(got.val_max));
        EXPECT_EQ(f.ValIncLabeledEdit->text(), QString::number(got.val_inc));
        // And the close-time commits keep them.
        f.accept();
        EXPECT_EQ(f.GetCmd(), got);
    }
}

TEST(EditCmdForm, EachControlCommitsWhenLeft) {
    struct Row {
        const char* name;
        std::function<QWidget*(TEditCmdForm&)> control;
        std::function<void(Editor&)> change;
        std::function<bool(const TCmdRecord&)> committed;
    };
    const Row rows[] = {
        {"Cmd", [](TEditCmdForm& f) { return f.CmdStrLabeledEdit; },
         [](Editor& e) { e.Type(e.form.CmdStrLabeledEdit, "NEW"); },
         [](const TCmdRecord& r) { return r.cmd_str == "NEW"; }},
        {"Description", [](TEditCmdForm& f) { return f.CmdDescriptionLabeledEdit; },
         [](Editor& e) { e.Type(e.form.CmdDescriptionLabeledEdit, "Flow"); },
         [](const TCmdRecord& r) { return r.cmd_descr == "Flow"; }},
        {"String", [](TEditCmdForm& f) { return f.StrLabeledEdit; },
         [](Editor& e) { e.Type(e.form.StrLabeledEdit, "abc"); },
         [](const TCmdRecord& r) { return r.str == "abc"; }},
        {"Default", [](TEditCmdForm& f) { return f.ValDefaultLabeledEdit; },
         [](Editor& e) { e.Type(e.form.ValDefaultLabeledEdit, "77"); },
         [](const TCmdRecord& r) { return r.val_start == 77; }},
        {"Min.", [](TEditCmdForm& f) { return f.ValMinLabeledEdit; },
         [](Editor& e) { e.Type(e.form.ValMinLabeledEdit, "7"); },
         [](const TCmdRecord& r) { return r.val_min == 7; }},
        {"Max.", [](TEditCmdForm& f) { return f.ValMaxLabeledEdit; },
         [](Editor& e) { e.Type(e.form.ValMaxLabeledEdit, "700"); },
         [](const TCmdRecord& r) { return r.val_max == 700; }},
        {"Inc.", [](TEditCmdForm& f) { return f.ValIncLabeledEdit; },
         [](Editor& e) { e.Type(e.form.ValIncLabeledEdit, "3"); },
         [](const TCmdRecord& r) { return r.val_inc == 3; }},
        {"Inc. in Set All", [](TEditCmdForm& f) { return f.IncInSetAllCheckBox; },
         [](Editor& e) { e.form.IncInSetAllCheckBox->setChecked(false); },
         [](const TCmdRecord& r) { return !r.has(IncInSetAll); }},
        {"Inc. in Get All", [](TEditCmdForm& f) { return f.IncInGetAllCheckBox; },
         [](Editor& e) { e.form.IncInGetAllCheckBox->setChecked(true); },
         [](const TCmdRecord& r) { return r.has(IncInGetAll); }},
        {"Update Edit on Get", [](TEditCmdForm& f) { return f.UpdateEditOnGetCheckBox; },
         [](Editor& e) { e.form.UpdateEditOnGetCheckBox->setChecked(false); },
         [](const TCmdRecord& r) { return !r.has(UpdateEditOnGet); }},
        {"Tx on Value Change", [](TEditCmdForm& f) { return f.TxOnValueChangeCheckBox; },
         [](Editor& e) { e.form.TxOnValueChangeCheckBox->setChecked(true); },
         [](const TCmdRecord& r) { return r.has(TxOnValueChange); }},
        {"Disabled", [](TEditCmdForm& f) { return f.DisabledCheckBox; },
         [](Editor& e) { e.form.DisabledCheckBox->setChecked(true); },
         [](const TCmdRecord& r) { return r.has(Disabled); }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TCmdRecord rec = Sample(ctCommandString); // String enabled
        Editor e(rec);
        ASSERT_TRUE(e.ok);
        QWidget* control = r.control(e.form);
        control->setEnabled(true); // value and option controls are off for this kind
        control->setFocus(Qt::TabFocusReason);
        ASSERT_EQ(QApplication::focusWidget(), control);
        r.change(e);
        EXPECT_FALSE(r.committed(e.form.GetCmd())) << "not before the exit";
        // Losing the focus to a popup (a context menu) is not an exit.
        QFocusEvent popup(QEvent::FocusOut, Qt::PopupFocusReason);
        QApplication::sendEvent(control, &popup);
        EXPECT_FALSE(r.committed(e.form.GetCmd()));
        QTest::keyClick(control, Qt::Key_Tab);
        EXPECT_NE(QApplication::focusWidget(), control);
        EXPECT_TRUE(r.committed(e.form.GetCmd()));
    }
}

TEST(EditCmdForm, CloseCommitsInTheFixedOrder) {
    // Typed without leaving any edit. Max. first, then Min., Default, Inc.:
    // Max. 20 (Default 20, Inc. 15); Min. 30 -> 20 (Default 20, Inc. 0).
    // Committing Min. first would give Min. 30, Max. 30 instead.
    TCmdRecord rec = Sample(ctParamGetSet);
    Editor e(rec);
    ASSERT_TRUE(e.ok);
    TEditCmdForm& f = e.form;
    TEditLimit::SetText(f.ValMaxLabeledEdit, "20");
    TEditLimit::SetText(f.ValMinLabeledEdit, "30");
    TEditLimit::SetText(f.ValDefaultLabeledEdit, "25");
    TEditLimit::SetText(f.ValIncLabeledEdit, "15");
    TEditLimit::SetText(f.CmdStrLabeledEdit, "CMD");
    TEditLimit::SetText(f.CmdDescriptionLabeledEdit, "Descr");
    TEditLimit::SetText(f.StrLabeledEdit, "Str");
    f.IncInSetAllCheckBox->setChecked(false);
    f.IncInGetAllCheckBox->setChecked(true);
    f.UpdateEditOnGetCheckBox->setChecked(false);
    f.TxOnValueChangeCheckBox->setChecked(true);
    f.DisabledCheckBox->setChecked(true);
    f.accept();
    const TCmdRecord got = f.GetCmd();
    EXPECT_EQ(got.val_max, 20);
    EXPECT_EQ(got.val_min, 20);
    EXPECT_EQ(got.val_start, 20);
    EXPECT_EQ(got.val_inc, 0);
    EXPECT_EQ(got.cmd_str, "CMD");
    EXPECT_EQ(got.cmd_descr, "Descr");
    EXPECT_EQ(got.str, "Str");
    EXPECT_EQ(got.opts, IncInGetAll | TxOnValueChange | Disabled);
    EXPECT_EQ(f.result(), QDialog::Accepted);
}

TEST(EditCmdForm, EditCmdStoresOnOkOnly) {
    const TCmdRecord original = Sample(ctParamGetSet);
    {
        SCOPED_TRACE("Cancel keeps the slot, its colour included");
        TCmdRecord slot = original;
        WhenModal([](QWidget* w) {
            auto* f = qobject_cast<TEditCmdForm*>(w);
            ASSERT_NE(f, nullptr);
            EXPECT_EQ(f->windowTitle(), "Configure Command #8");
            f->SetColorChooser([](QWidget*, QColor) { return std::optional<QColor>(Qt::green); });
            QTest::mouseDClick(f->CmdDescriptionLabeledEditSubLabel, Qt::LeftButton);
            f->CmdStrLabeledEdit->setFocus();
            f->CmdStrLabeledEdit->selectAll();
            QTest::keyClicks(f->CmdStrLabeledEdit, "XYZ");
            QTest::keyClick(f->CmdStrLabeledEdit, Qt::Key_Tab);
            f->CmdTypeComboBox->setCurrentIndex(ctCommand);
            f->CmdTypeComboBoxChange();
            EXPECT_EQ(f->GetCmd().cmd_str, "XYZ");
            QTest::mouseClick(f->CancelBitBtn, Qt::LeftButton);
        });
        EXPECT_FALSE(EditCmd(nullptr, 7, slot));
        EXPECT_EQ(slot, original);
    }
    {
        SCOPED_TRACE("Escape is Cancel");
        TCmdRecord slot = original;
        WhenModal([](QWidget* w) {
            auto* f = qobject_cast<TEditCmdForm*>(w);
            ASSERT_NE(f, nullptr);
            QTest::keyClicks(f->CmdStrLabeledEdit, "Q");
            QTest::keyClick(f->CmdStrLabeledEdit, Qt::Key_Escape);
        });
        EXPECT_FALSE(EditCmd(nullptr, 7, slot));
        EXPECT_EQ(slot, original);
    }
    {
        SCOPED_TRACE("OK stores all ten fields");
        TCmdRecord slot = original;
        WhenModal([](QWidget* w) {
            auto* f = qobject_cast<TEditCmdForm*>(w);
            ASSERT_NE(f, nullptr);
            f->SetColorChooser([](QWidget*, QColor) { return std::optional<QColor>(Qt::green); });
            QTest::mouseDClick(f->CmdDescriptionLabeledEditSubLabel, Qt::LeftButton);
            f->CmdStrLabeledEdit->selectAll();
            QTest::keyClicks(f->CmdStrLabeledEdit, "XYZ"); // committed by the close
            QTest::mouseClick(f->OKBitBtn, Qt::LeftButton);
        });
        EXPECT_TRUE(EditCmd(nullptr, 7, slot));
        TCmdRecord want = original;
        want.cmd_str = "XYZ";
        want.colour = 0x0000FF00;
        EXPECT_EQ(slot, want);
    }
    {
        SCOPED_TRACE("an index outside the table opens nothing");
        TCmdRecord slot = original;
        EXPECT_FALSE(EditCmd(nullptr, kSlotCount, slot));
        EXPECT_FALSE(EditCmd(nullptr, -1, slot));
        EXPECT_EQ(slot, original);
    }
}

TEST(EditCmdForm, DefaultsRestoreTheSlotAsOpened) {
    const TCmdRecord original = Sample(ctParamGet);
    Editor e(original);
    ASSERT_TRUE(e.ok);
    TEditCmdForm& f = e.form;
    e.form.SetColorChooser([](QWidget*, QColor) { return std::optional<QColor>(Qt::red); });
    f.CmdDescriptionLabeledEditSubLabelDblClick();
    e.Type(f.CmdStrLabeledEdit, "OTHER");
    e.Type(f.CmdDescriptionLabeledEdit, "Other");
    f.CmdTypeComboBox->setFocus();
    f.CmdTypeComboBox->setCurrentIndex(ctCommandString);
    f.CmdTypeComboBoxChange();
    e.Type(f.StrLabeledEdit, "changed");
    f.DisabledCheckBox->setFocus();
    f.DisabledCheckBox->setChecked(true);
    f.CmdStrLabeledEdit->setFocus();
    ASSERT_NE(f.GetCmd(), original);
    ASSERT_TRUE(f.StrLabeledEdit->isEnabled());

    QTest::mouseClick(f.DefaultsButton, Qt::LeftButton);
    EXPECT_EQ(f.GetCmd(), original);
    EXPECT_EQ(f.CmdStrLabeledEdit->text(), "SPD");
    EXPECT_EQ(f.CmdDescriptionLabeledEdit->text(), "Pump speed");
    EXPECT_EQ(f.StrLabeledEdit->text(), "text");
    EXPECT_FALSE(f.DisabledCheckBox->isChecked());
    EXPECT_EQ(f.CmdTypeComboBox->currentIndex(), ctParamGet);
    EXPECT_FALSE(f.StrLabeledEdit->isEnabled()) << "the enabling of the kind as opened";
    EXPECT_TRUE(f.IncInGetAllCheckBox->isEnabled());
    EXPECT_EQ(f.DescriptionColour(), original.colour);
    f.accept();
    EXPECT_EQ(f.GetCmd(), original);
}

TEST(EditCmdForm, OptionsDoubleClickTogglesEnabledBoxesOnly) {
    struct Row {
        const char* name;
        int kind;
        std::uint32_t opts, want;
    };
    const std::uint32_t four = IncInSetAll | IncInGetAll | UpdateEditOnGet | TxOnValueChange;
    const Row rows[] = {
        {"kind 0: nothing enabled", ctCommand, IncInGetAll, IncInGetAll},
        {"kind 0: all set stay set", ctCommand, four | Disabled, four | Disabled},
        {"kind 3: both enabled checked -> cleared, others kept", ctParamGet, four,
         IncInSetAll | TxOnValueChange},
        {"kind 3: one unchecked -> both checked", ctParamGet, IncInGetAll,
         IncInGetAll | UpdateEditOnGet},
        {"kind 5: some unchecked -> all four", ctParamGetSet, IncInSetAll | Disabled,
         four | Disabled},
        {"kind 5: all checked -> all cleared, Disabled kept", ctParamGetSet, four | Disabled,
         Disabled},
        {"kind 1: only Tx on Value Change", ctCommandValue, IncInGetAll,
         IncInGetAll | TxOnValueChange},
        {"kind 2: nothing enabled", ctCommandString, 0, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TCmdRecord rec = Sample(r.kind);
        rec.opts = r.opts;
        Editor e(rec);
        ASSERT_TRUE(e.ok);
        // An empty spot of the group, right of "Disabled".
        QTest::mouseDClick(e.form.OptionsGroupBox, Qt::LeftButton, Qt::NoModifier, QPoint(200, 60));
        e.form.accept();
        EXPECT_EQ(e.form.GetCmd().opts, r.want);
    }
}

TEST(EditCmdForm, KindSwitchKeepsValuesAndFlags) {
    TCmdRecord rec = Sample(ctParamGetSet);
    rec.opts = IncInSetAll | IncInGetAll | UpdateEditOnGet | TxOnValueChange;
    Editor e(rec);
    ASSERT_TRUE(e.ok);
    TEditCmdForm& f = e.form;
    f.CmdTypeComboBox->setFocus(Qt::MouseFocusReason);
    QTest::keyClick(f.CmdTypeComboBox, Qt::Key_Home); // "Command"
    EXPECT_EQ(f.CmdTypeComboBox->currentIndex(), ctCommand);
    EXPECT_EQ(f.GetCmd().cmd_type, ctCommand);
    EXPECT_FALSE(f.ValDefaultLabeledEdit->isEnabled());
    EXPECT_FALSE(f.IncInGetAllCheckBox->isEnabled());
    f.accept();
    TCmdRecord want = rec;
    want.cmd_type = ctCommand;
    EXPECT_EQ(f.GetCmd(), want);
}

TEST(EditCmdForm, TypedStringSurvivesAKindChange) {
    Editor e(Sample(ctCommandString));
    ASSERT_TRUE(e.ok);
    TEditCmdForm& f = e.form;
    e.Type(f.StrLabeledEdit, "typed");
    QTest::keyClick(f.StrLabeledEdit, Qt::Key_Tab); // to the kind list
    ASSERT_EQ(QApplication::focusWidget(), f.CmdTypeComboBox);
    QTest::keyClick(f.CmdTypeComboBox, Qt::Key_Down); // "Param Get"
    EXPECT_EQ(f.GetCmd().cmd_type, ctParamGet);
    EXPECT_EQ(f.StrLabeledEdit->text(), "typed");
    EXPECT_FALSE(f.StrLabeledEdit->isEnabled());
    EXPECT_EQ(f.GetCmd().str, "typed");
}

TEST(EditCmdForm, TabOrderSkipsDisabledControls) {
    const struct {
        int kind;
        std::vector<const char*> order;
    } rows[] = {
        {ctParamGetSet,
         {"CmdStrLabeledEdit", "CmdDescriptionLabeledEdit", "CmdTypeComboBox",
          "ValDefaultLabeledEdit", "ValMinLabeledEdit", "ValMaxLabeledEdit", "ValIncLabeledEdit",
          "IncInSetAllCheckBox", "IncInGetAllCheckBox", "UpdateEditOnGetCheckBox",
          "TxOnValueChangeCheckBox", "DisabledCheckBox", "OKBitBtn", "DefaultsButton",
          "CancelBitBtn", "CmdStrLabeledEdit"}},
        {ctCommandString,
         {"CmdStrLabeledEdit", "CmdDescriptionLabeledEdit", "StrLabeledEdit", "CmdTypeComboBox",
          "DisabledCheckBox", "OKBitBtn", "DefaultsButton", "CancelBitBtn", "CmdStrLabeledEdit"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.kind);
        Editor e(Sample(r.kind));
        ASSERT_TRUE(e.ok);
        for (std::size_t i = 0; i < r.order.size(); ++i) {
            QWidget* w = QApplication::focusWidget();
            ASSERT_NE(w, nullptr);
            EXPECT_EQ(w->objectName().toStdString(), r.order[i]) << "step " << i;
            QTest::keyClick(w, Qt::Key_Tab);
        }
    }
}

TEST(EditCmdForm, TextLimitsMatchWhatAFileCanHold) {
    const struct {
        const char* name;
        std::function<QLineEdit*(TEditCmdForm&)> edit;
        int limit;
    } rows[] = {
        {"Cmd", [](TEditCmdForm& f) { return f.CmdStrLabeledEdit; }, 16},
        {"Description", [](TEditCmdForm& f) { return f.CmdDescriptionLabeledEdit; }, 32},
        {"String", [](TEditCmdForm& f) { return f.StrLabeledEdit; }, 80},
        {"Default", [](TEditCmdForm& f) { return f.ValDefaultLabeledEdit; }, 6},
        {"Min.", [](TEditCmdForm& f) { return f.ValMinLabeledEdit; }, 6},
        {"Max.", [](TEditCmdForm& f) { return f.ValMaxLabeledEdit; }, 6},
        {"Inc.", [](TEditCmdForm& f) { return f.ValIncLabeledEdit; }, 6},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        TCmdRecord rec = Sample(ctParamGetSet);
        Editor e(rec);
        ASSERT_TRUE(e.ok);
        QLineEdit* edit = r.edit(e.form);
        edit->setEnabled(true);
        e.Type(edit, QString(120, QLatin1Char('1')));
        EXPECT_EQ(edit->text().size(), r.limit);
    }
}

TEST(EditCmdForm, DescriptionLabelChoosesTheColour) {
    Editor e(Sample());
    ASSERT_TRUE(e.ok);
    TEditCmdForm& f = e.form;
    QColor offered;
    std::optional<QColor> answer = QColor(0x12, 0x34, 0x56);
    f.SetColorChooser([&](QWidget* parent, QColor initial) {
        EXPECT_EQ(parent, &f);
        offered = initial;
        return answer;
    });
    QTest::mouseDClick(f.CmdDescriptionLabeledEditSubLabel, Qt::LeftButton);
    EXPECT_EQ(offered, QColor(0, 0, 0xC0)) << "starts from the slot colour";
    EXPECT_EQ(f.CmdDescriptionLabeledEdit->palette().color(QPalette::Active, QPalette::Text),
              QColor(0x12, 0x34, 0x56));
    EXPECT_EQ(f.GetCmd().colour, 0x00C00000) << "reaches the copy with the Description commit";
    f.CmdDescriptionLabeledEditExit();
    EXPECT_EQ(f.GetCmd().colour, 0x00563412);

    answer = std::nullopt; // cancelled
    QTest::mouseDClick(f.CmdDescriptionLabeledEditSubLabel, Qt::LeftButton);
    f.accept();
    EXPECT_EQ(f.GetCmd().colour, 0x00563412);
}

TEST(EditCmdForm, ColourValuesRoundTripUnchanged) {
    // A system colour or a value with stray top bits is kept as it is when
    // the operator does not choose a colour.
    for (std::uint32_t c : {0xFF000008u, 0xFF00000Fu, 0x12345678u, 0x00FFFFFFu}) {
        SCOPED_TRACE(c);
        TCmdRecord rec = Sample();
        rec.colour = static_cast<std::int32_t>(c);
        Editor e(rec);
        ASSERT_TRUE(e.ok);
        e.form.accept();
        EXPECT_EQ(e.form.GetCmd(), rec);
    }
}

TEST(EditCmdForm, UnchangedSlotComesBackEqual) {
    // Whatever the kind, opening and confirming changes nothing: the disabled
    // controls keep their contents and flags.
    for (int kind = 0; kind < 6; ++kind) {
        SCOPED_TRACE(kind);
        TCmdRecord rec = Sample(kind);
        rec.opts = 31;
        Editor e(rec);
        ASSERT_TRUE(e.ok);
        QTest::keyClick(e.form.CmdStrLabeledEdit, Qt::Key_Return);
        EXPECT_EQ(e.form.result(), QDialog::Accepted);
        EXPECT_EQ(e.form.GetCmd(), rec);
    }
}
