#include "dialogs/Dlgutils.h"

#include <QFocusEvent>
#include <QGuiApplication>
#include <QLineEdit>

#include <gtest/gtest.h>

using namespace pmv;

namespace {

struct LimitRow {
    const char* name;
    int limit;
    QString initial; // set by the program
    int cursor;      // -1: at the end
    int selectFrom;  // -1: no selection; else selects to the end
    QString typed;   // inserted as the operator would paste or type it
    QString expected;
};

} // namespace

TEST(EditLimit, CutsInsertionsToTheLimitButNotProgramTexts) {
    const LimitRow rows[] = {
        {"fits", 5, "", -1, -1, "abc", "abc"},
        {"paste cut to what fits", 5, "abc", -1, -1, "defg", "abcde"},
        {"full edit refuses more", 5, "abcde", -1, -1, "x", "abcde"},
        {"insertion in the middle is cut", 5, "abc", 1, -1, "XYZ", "aXYbc"},
        {"replacing a selection", 6, "abcdef", -1, 0, "12345678", "123456"},
        {"long program text refuses typing", 5, "abcdefgh", -1, -1, "x", "abcdefgh"},
        {"long program text may be shortened", 5, "abcdefgh", -1, 2, "", "ab"},
        {"long text: replacing with something shorter", 5, "abcdefgh", -1, 4, "x", "abcdx"},
        {"latin-1 letters pass", 10, "", -1, -1, QString::fromLatin1("caf\xE9"),
         QString::fromLatin1("caf\xE9")},
        {"line break refused", 10, "ab", -1, -1, "c\nd", "ab"},
        {"carriage return refused", 10, "ab", -1, -1, "\r", "ab"},
        {"tab refused", 10, "ab", -1, -1, "\t", "ab"},
        {"characters beyond 8 bits refused", 10, "ab", -1, -1, QString(QChar(0x20AC)), "ab"},
        {"limit 1", 1, "", -1, -1, "xyz", "x"},
    };
    for (const LimitRow& r : rows) {
        SCOPED_TRACE(r.name);
        QLineEdit edit;
        TEditLimit::Install(&edit, r.limit);
        TEditLimit::SetText(&edit, r.initial);
        EXPECT_EQ(edit.text(), r.initial) << "a program text is never cut";
        edit.setCursorPosition(r.cursor < 0 ? static_cast<int>(edit.text().size()) : r.cursor);
        if (r.selectFrom >= 0)
            edit.setSelection(r.selectFrom, static_cast<int>(edit.text().size()) - r.selectFrom);
        if (r.typed.isEmpty())
            edit.backspace();
        else
            edit.insert(r.typed);
        EXPECT_EQ(edit.text(), r.expected);
    }
}

TEST(EditLimit, TypingOneKeyAtATimeStopsAtTheLimit) {
    QLineEdit edit;
    TEditLimit::Install(&edit, 4);
    for (char c : std::string("abcdefg"))
        edit.insert(QString(QLatin1Char(c)));
    EXPECT_EQ(edit.text(), "abcd");
    edit.backspace();
    edit.insert("z");
    EXPECT_EQ(edit.text(), "abcz");
}

TEST(ControlExit, OnlyFocusMovesWithinTheWindowCount) {
    const struct {
        Qt::FocusReason reason;
        bool exit;
    } rows[] = {
        {Qt::MouseFocusReason, true},         {Qt::TabFocusReason, true},
        {Qt::BacktabFocusReason, true},       {Qt::ShortcutFocusReason, true},
        {Qt::OtherFocusReason, true},         {Qt::PopupFocusReason, false},
        {Qt::ActiveWindowFocusReason, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(static_cast<int>(r.reason));
        QFocusEvent out(QEvent::FocusOut, r.reason);
        EXPECT_EQ(IsControlExit(&out), r.exit);
        QFocusEvent in(QEvent::FocusIn, r.reason);
        EXPECT_FALSE(IsControlExit(&in));
    }
}

TEST(SlotColour, ConvertsBothWays) {
    const QPalette pal = QGuiApplication::palette();
    const struct {
        std::uint32_t colour;
        QColor shown;
    } rows[] = {
        {0x00000000u, QColor(0, 0, 0)},
        {0x000000FFu, QColor(255, 0, 0)}, // red in the lowest byte
        {0x0000FF00u, QColor(0, 255, 0)},
        {0x00FF0000u, QColor(0, 0, 255)},
        {0x00123456u, QColor(0x56, 0x34, 0x12)},
        {0x12345678u, QColor(0x78, 0x56, 0x34)}, // other top bytes carry no colour
        {0xFF000008u, pal.color(QPalette::Active, QPalette::Text)},
        {0xFF00000Fu, pal.color(QPalette::Active, QPalette::Button)},
        {0xFF000011u, pal.color(QPalette::Disabled, QPalette::Text)},
        {0xFF0000EEu, pal.color(QPalette::Active, QPalette::WindowText)}, // unknown index
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.colour);
        EXPECT_EQ(SlotColourToQColor(static_cast<std::int32_t>(r.colour), pal), r.shown);
    }
    for (std::uint32_t c : {0x0u, 0xFFu, 0x00ABCDEFu, 0x00FFFFFFu}) {
        SCOPED_TRACE(c);
        EXPECT_EQ(QColorToSlotColour(SlotColourToQColor(static_cast<std::int32_t>(c), pal)),
                  static_cast<std::int32_t>(c));
    }
}

TEST(Latin1, TextsKeepEveryByte) {
    std::string all;
    for (int c = 1; c < 256; ++c)
        all.push_back(static_cast<char>(c));
    EXPECT_EQ(ToLatin1(FromLatin1(all)), all);
    EXPECT_EQ(FromLatin1("\xE9").at(0).unicode(), 0xE9);
}
