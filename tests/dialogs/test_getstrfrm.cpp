#include "dialogs/Getstrfrm.h"

#include "DialogTest.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <climits>

#include <gtest/gtest.h>

using namespace pmv;
using pmv::test::ShowActive;
using pmv::test::WhenModal;

TEST(GetStrForm, MaximumLengthIsKeptWithinOneToHundred) {
    const struct {
        unsigned given;
        int kept;
    } rows[] = {{0, 1},   {1, 1},     {10, 10},   {24, 24},   {50, 50},
                {99, 99}, {100, 100}, {101, 100}, {150, 100}, {UINT_MAX, 100}};
    const QString many(200, QLatin1Char('w'));
    for (const auto& r : rows) {
        SCOPED_TRACE(r.given);
        TGetStrForm form(nullptr, 0, r.given, "", "Caption");
        EXPECT_EQ(form.MaxLength(), r.kept);
        ASSERT_TRUE(ShowActive(form));
        QTest::keyClicks(form.StringEdit, many);
        EXPECT_EQ(form.StringEdit->text().size(), r.kept) << "that many characters can be typed";
        form.reject();
    }
}

TEST(GetStrForm, OnlyOneMasksTheEntry) {
    const struct {
        std::uint8_t password;
        bool masked;
    } rows[] = {{0, false}, {1, true}, {2, false}, {255, false}};
    for (const auto& r : rows) {
        SCOPED_TRACE(static_cast<int>(r.password));
        TGetStrForm form(nullptr, r.password, 10, "", "Admin Password");
        EXPECT_EQ(form.Password(), r.masked);
        ASSERT_TRUE(ShowActive(form));
        QTest::keyClicks(form.StringEdit, "Ab1");
        EXPECT_EQ(form.StringEdit->displayText(), r.masked ? QString("***") : QString("Ab1"));
        QTest::keyClick(form.StringEdit, Qt::Key_Return); // the default button: OK
        EXPECT_EQ(form.result(), QDialog::Accepted);
        EXPECT_EQ(form.GetValue(), "Ab1") << "returned in plain";
    }
}

TEST(GetStrForm, ShowsCaptionAndInitialText) {
    TGetStrForm form(nullptr, 0, 24, "Cmds 3", "Rename Page");
    ASSERT_TRUE(ShowActive(form));
    EXPECT_EQ(form.windowTitle(), "Rename Page");
    EXPECT_EQ(form.StringEdit->text(), "Cmds 3");
    EXPECT_EQ(form.StringEdit->selectedText(), "Cmds 3") << "typing replaces the old text";
    EXPECT_EQ(form.geometry().size(), QSize(153, 74));
    EXPECT_TRUE(form.OkBitBtn->isDefault());
    EXPECT_EQ(form.StringEdit->nextInFocusChain(), form.OkBitBtn);
    EXPECT_EQ(form.OkBitBtn->nextInFocusChain(), form.CancelBitBtn);
    EXPECT_EQ(QApplication::focusWidget(), form.StringEdit);
}

TEST(GetStrForm, LongerInitialTextIsShownWholeAndKept) {
    const std::string title(75, 't'); // a title the file format allows, longer than the 50 to type
    TGetStrForm form(nullptr, 0, 50, title, "Rename Title");
    ASSERT_TRUE(ShowActive(form));
    EXPECT_EQ(form.StringEdit->text().size(), 75);
    form.StringEdit->end(false);
    QTest::keyClicks(form.StringEdit, "more");
    EXPECT_EQ(form.StringEdit->text().size(), 75) << "nothing more can be typed";
    form.accept();
    EXPECT_EQ(form.GetValue(), title);
}

TEST(GetStrForm, TextIsCommittedWhenTheEditLosesTheFocus) {
    TGetStrForm form(nullptr, 0, 24, "old", "Rename Page");
    ASSERT_TRUE(ShowActive(form));
    QTest::keyClicks(form.StringEdit, "new");
    EXPECT_EQ(form.GetValue(), "old") << "not before the exit";
    QTest::keyClick(form.StringEdit, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), form.OkBitBtn);
    EXPECT_EQ(form.GetValue(), "new");
}

TEST(GetStrForm, EveryWayOfClosingCommitsTheText) {
    const struct {
        const char* name;
        std::function<void(TGetStrForm&)> close;
        int result;
    } rows[] = {
        {"OK button", [](TGetStrForm& f) { QTest::mouseClick(f.OkBitBtn, Qt::LeftButton); },
         QDialog::Accepted},
        {"Enter", [](TGetStrForm& f) { QTest::keyClick(f.StringEdit, Qt::Key_Return); },
         QDialog::Accepted},
        {"Cancel button", [](TGetStrForm& f) { QTest::mouseClick(f.CancelBitBtn, Qt::LeftButton); },
         QDialog::Rejected},
        {"Escape", [](TGetStrForm& f) { QTest::keyClick(f.StringEdit, Qt::Key_Escape); },
         QDialog::Rejected},
        {"close box", [](TGetStrForm& f) { f.close(); }, QDialog::Rejected},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        TGetStrForm form(nullptr, 0, 24, "", "Rename Page");
        ASSERT_TRUE(ShowActive(form));
        QTest::keyClicks(form.StringEdit, "typed");
        r.close(form);
        EXPECT_FALSE(form.isVisible());
        EXPECT_EQ(form.result(), r.result);
        EXPECT_EQ(form.GetValue(), "typed");
    }
}

TEST(GetStrForm, GetStrReturnsTheTextOnlyOnOk) {
    std::string text = "Cmds 1";
    WhenModal([](QWidget* w) {
        auto* form = qobject_cast<TGetStrForm*>(w);
        ASSERT_NE(form, nullptr);
        EXPECT_EQ(form->windowTitle(), "Rename Page");
        QTest::keyClicks(form->StringEdit, "Pumps");
        QTest::mouseClick(form->OkBitBtn, Qt::LeftButton);
    });
    EXPECT_TRUE(GetStr(nullptr, "Rename Page", text, 24, false));
    EXPECT_EQ(text, "Pumps");

    WhenModal([](QWidget* w) {
        auto* form = qobject_cast<TGetStrForm*>(w);
        ASSERT_NE(form, nullptr);
        QTest::keyClicks(form->StringEdit, "Valves");
        QTest::mouseClick(form->CancelBitBtn, Qt::LeftButton);
    });
    EXPECT_FALSE(GetStr(nullptr, "Rename Page", text, 24, false));
    EXPECT_EQ(text, "Pumps");
}

TEST(GetStrForm, PasswordEntryStopsAtTenCharacters) {
    std::string text;
    WhenModal([](QWidget* w) {
        auto* form = qobject_cast<TGetStrForm*>(w);
        ASSERT_NE(form, nullptr);
        EXPECT_EQ(form->StringEdit->echoMode(), QLineEdit::Password);
        QTest::keyClicks(form->StringEdit, "KTmarigold-and-more");
        QTest::keyClick(form->StringEdit, Qt::Key_Enter);
    });
    EXPECT_TRUE(GetStr(nullptr, "Admin Password", text, 10, true));
    EXPECT_EQ(text, "KTmarigold");
}

TEST(GetStrForm, EightBitTextsRoundTrip) {
    const std::string initial = "Pumpe \xFC\x62\x65r Ventil \xA9"; // Latin-1 bytes
    TGetStrForm form(nullptr, 0, 50, initial, "Rename Title");
    ASSERT_TRUE(ShowActive(form));
    EXPECT_EQ(form.StringEdit->text(), QString::fromLatin1(initial.c_str()));
    form.StringEdit->end(false);
    form.StringEdit->insert(QString::fromLatin1(" \xE9")); // as typed with a compose key
    form.accept();
    EXPECT_EQ(form.GetValue(), initial + " \xE9");
}
