// Helpers shared by the dialogs: the fixed dialog font, the window style of a
// fixed-size modal box, the conversion between slot colour values and QColor,
// and the typing limit of the one-line edits.
//
// Every dialog works on a copy of the data it edits and hands the result back
// to its caller; nothing in this folder touches the port or the slot table.
#pragma once

#include <QColor>
#include <QPalette>
#include <QString>
#include <QValidator>

#include <cstdint>
#include <string>
#include <string_view>

class QEvent;
class QLineEdit;
class QWidget;

namespace pmv {

// The font the window and the dialogs are laid out for: a narrow sans-serif
// face 11 pixels high (8 points at 96 dots per inch), independent of the
// desktop's text scaling, since the layouts use fixed pixels. The host makes
// it the application's font at start.
QFont DialogFont(int pixelSize = 11);

// A fixed-size modal box with a caption and the close box only, kept on top
// of the other windows. The client area becomes width x height.
void MakeFixedDialog(QWidget* dialog, int width, int height);

// True for the focus-out event that ends the work in a control, the moment a
// native dialog runs the control's exit handler: the focus moved to another
// control of the same window. Losing the focus to a popup (a context menu) or
// because the whole window was deactivated is not an exit.
bool IsControlExit(const QEvent* event);

// Slot colours are 32-bit values with red in the lowest byte (0x00BBGGRR).
// Values whose top byte is 0xFF name a system colour by its index in the low
// byte (0xFF000008 is the window-text colour), resolved against palette.
// Other top bytes carry no colour information.
constexpr std::uint32_t SystemColourBits = 0xFF000000u;
QColor SlotColourToQColor(std::int32_t colour, const QPalette& palette);
std::int32_t QColorToSlotColour(const QColor& colour);

// 8-bit texts of the records and the configuration, one byte per character.
inline QString FromLatin1(std::string_view s) {
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}
inline std::string ToLatin1(const QString& s) {
    const QByteArray b = s.toLatin1();
    return std::string(b.constData(), static_cast<std::size_t>(b.size()));
}

// Limits what the operator can type or paste into a one-line edit, the way a
// native edit's maximum length does: an insertion is cut to what still fits,
// but a longer text put there by the program stays whole (QLineEdit's own
// maximum length would cut it). Only characters of the 8-bit set that can
// stand on one line are accepted: control characters (a pasted line break,
// for one) and characters above U+00FF are refused, since the texts end up in
// a line-oriented 8-bit file.
//
// Install with TEditLimit::Install(edit, maxLength); set texts with
// TEditLimit::SetText so that a long text is not cut.
class TEditLimit : public QValidator {
    Q_OBJECT
public:
    static TEditLimit* Install(QLineEdit* edit, int maxLength);
    static void SetText(QLineEdit* edit, const QString& text);

    int MaxLength() const { return m_maxLength; }
    State validate(QString& input, int& pos) const override;

private:
    TEditLimit(QLineEdit* edit, int maxLength);

    int m_maxLength;
    QString m_previous; // the text as it was before the change being validated
};

} // namespace pmv
