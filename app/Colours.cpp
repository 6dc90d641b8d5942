#include "app/Colours.h"

#include <QGuiApplication>
#include <QPalette>

namespace pmv {

namespace {

constexpr std::uint32_t SystemColourBits = 0xFF000000u;

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

QColor ColourToQColor(std::int32_t colour) {
    const auto v = static_cast<std::uint32_t>(colour);
    if ((v & SystemColourBits) == SystemColourBits) {
        const TSystemColour s = SystemColour(v & 0xFFu);
        return QGuiApplication::palette().color(s.group, s.role);
    }
    // Plain colour; the top byte carries no colour information.
    return QColor(int(v & 0xFFu), int((v >> 8) & 0xFFu), int((v >> 16) & 0xFFu));
}

std::int32_t QColorToColour(const QColor& colour) {
    const QColor c = colour.toRgb();
    return std::int32_t(std::uint32_t(c.red()) | (std::uint32_t(c.green()) << 8) |
                        (std::uint32_t(c.blue()) << 16));
}

} // namespace pmv
