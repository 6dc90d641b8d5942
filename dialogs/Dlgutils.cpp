#include "dialogs/Dlgutils.h"

#include <QDialog>
#include <QFocusEvent>
#include <QFont>
#include <QLineEdit>

#include <algorithm>

namespace pmv {

QFont DialogFont(int pixelSize) {
    // The layouts give a text about 5 pixels per average character at 11
    // pixels, as the classic dialog face did. The common sans faces of a
    // Linux desktop take 6 to 7 (COM27 came out as "2" and half a "7"); these
    // narrow faces take 5.3, in the order of preference (Debian packages
    // fonts-liberation, fonts-urw-base35, fonts-dejavu-extra).
    QFont f;
    f.setFamilies({QStringLiteral("Liberation Sans Narrow"), QStringLiteral("Nimbus Sans Narrow"),
                   QStringLiteral("DejaVu Sans Condensed")});
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(pixelSize);
    return f;
}

void MakeFixedDialog(QWidget* dialog, int width, int height) {
    dialog->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                           Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint);
    dialog->setFixedSize(width, height);
    dialog->setFont(DialogFont());
    if (auto* d = qobject_cast<QDialog*>(dialog))
        d->setSizeGripEnabled(false);
}

bool IsControlExit(const QEvent* event) {
    if (event->type() != QEvent::FocusOut)
        return false;
    const Qt::FocusReason r = static_cast<const QFocusEvent*>(event)->reason();
    return r != Qt::PopupFocusReason && r != Qt::ActiveWindowFocusReason;
}

namespace {

struct TSystemColour {
    QPalette::ColorGroup group;
    QPalette::ColorRole role;
};

// System colour index (low byte) to the palette entry that plays its part.
TSystemColour SystemColour(unsigned index) {
    switch (index) {
    case 0:
        return {QPalette::Active, QPalette::Button}; // scroll bar
    case 1:
        return {QPalette::Active, QPalette::Dark}; // desktop
    case 2:
        return {QPalette::Active, QPalette::Highlight}; // active caption
    case 3:
        return {QPalette::Active, QPalette::Mid}; // inactive caption
    case 4:
        return {QPalette::Active, QPalette::Window}; // menu
    case 5:
        return {QPalette::Active, QPalette::Base}; // window
    case 6:
        return {QPalette::Active, QPalette::Shadow}; // window frame
    case 7:
        return {QPalette::Active, QPalette::WindowText}; // menu text
    case 8:
        return {QPalette::Active, QPalette::Text}; // window text
    case 9:
        return {QPalette::Active, QPalette::HighlightedText}; // caption text
    case 10:
        return {QPalette::Active, QPalette::Window}; // active border
    case 11:
        return {QPalette::Active, QPalette::Window}; // inactive border
    case 12:
        return {QPalette::Active, QPalette::Dark}; // application workspace
    case 13:
        return {QPalette::Active, QPalette::Highlight}; // highlight
    case 14:
        return {QPalette::Active, QPalette::HighlightedText}; // highlight text
    case 15:
        return {QPalette::Active, QPalette::Button}; // button face
    case 16:
        return {QPalette::Active, QPalette::Dark}; // button shadow
    case 17:
        return {QPalette::Disabled, QPalette::Text}; // grey text
    case 18:
        return {QPalette::Active, QPalette::ButtonText}; // button text
    case 19:
        return {QPalette::Disabled, QPalette::WindowText}; // inactive caption text
    case 20:
        return {QPalette::Active, QPalette::Light}; // button highlight
    case 21:
        return {QPalette::Active, QPalette::Shadow}; // 3D dark shadow
    case 22:
        return {QPalette::Active, QPalette::Midlight}; // 3D light
    case 23:
        return {QPalette::Active, QPalette::ToolTipText}; // info text
    case 24:
        return {QPalette::Active, QPalette::ToolTipBase}; // info background
    case 26:
        return {QPalette::Active, QPalette::Link}; // hot light
    case 27:
        return {QPalette::Active, QPalette::Highlight}; // gradient active caption
    case 28:
        return {QPalette::Active, QPalette::Mid}; // gradient inactive caption
    case 29:
        return {QPalette::Active, QPalette::Highlight}; // menu highlight
    case 30:
        return {QPalette::Active, QPalette::Window}; // menu bar
    default:
        return {QPalette::Active, QPalette::WindowText};
    }
}

} // namespace

QColor SlotColourToQColor(std::int32_t colour, const QPalette& palette) {
    const auto u = static_cast<std::uint32_t>(colour);
    if ((u & SystemColourBits) == SystemColourBits) {
        const TSystemColour s = SystemColour(u & 0xFFu);
        return palette.color(s.group, s.role);
    }
    return QColor(static_cast<int>(u & 0xFFu), static_cast<int>((u >> 8) & 0xFFu),
                  static_cast<int>((u >> 16) & 0xFFu));
}

std::int32_t QColorToSlotColour(const QColor& colour) {
    const QColor c = colour.toRgb();
    const std::uint32_t u = static_cast<std::uint32_t>(c.red()) |
                            (static_cast<std::uint32_t>(c.green()) << 8) |
                            (static_cast<std::uint32_t>(c.blue()) << 16);
    return static_cast<std::int32_t>(u);
}

TEditLimit::TEditLimit(QLineEdit* edit, int maxLength)
    : QValidator(edit), m_maxLength(std::max(0, maxLength)), m_previous(edit->text()) {
    // Runs after every accepted change, typed or set, so the next validation
    // can tell what the operator inserted.
    connect(edit, &QLineEdit::textChanged, this, [this](const QString& t) { m_previous = t; });
}

TEditLimit* TEditLimit::Install(QLineEdit* edit, int maxLength) {
    auto* v = new TEditLimit(edit, maxLength);
    edit->setMaxLength(32767); // the limit is ours; QLineEdit's would cut set texts
    edit->setValidator(v);
    return v;
}

void TEditLimit::SetText(QLineEdit* edit, const QString& text) {
    const QValidator* v = edit->validator();
    edit->setValidator(nullptr);
    edit->setText(text);
    edit->setValidator(v);
}

QValidator::State TEditLimit::validate(QString& input, int& pos) const {
    const QString& prev = m_previous;
    // The changed part lies between the longest common prefix and suffix.
    const qsizetype n = std::min(prev.size(), input.size());
    qsizetype p = 0;
    while (p < n && prev[p] == input[p])
        ++p;
    qsizetype s = 0;
    while (s < n - p && prev[prev.size() - 1 - s] == input[input.size() - 1 - s])
        ++s;
    const qsizetype inserted = input.size() - p - s;
    for (qsizetype i = p; i < p + inserted; ++i) {
        const char16_t c = input[i].unicode();
        if (c < 0x20 || c > 0xFF)
            return Invalid;
    }
    if (input.size() <= m_maxLength || input.size() <= prev.size())
        return Acceptable;
    // Too long: keep as much of the insertion as still fits.
    const qsizetype room = m_maxLength - (input.size() - inserted);
    if (room <= 0)
        return Invalid;
    input = input.left(p) + input.mid(p, room) + input.right(s);
    pos = static_cast<int>(p + room);
    return Acceptable;
}

} // namespace pmv
