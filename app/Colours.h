// Colour values of the command set: 32-bit numbers with red in the lowest
// byte (0x00BBGGRR). Values with all bits of the top byte set name a system
// colour by its index in the low byte (window text, button face, grey text,
// ...); they are resolved against the application palette.
#pragma once

#include <QColor>

#include <cstdint>

namespace pmv {

QColor ColourToQColor(std::int32_t colour);
std::int32_t QColorToColour(const QColor& colour);

} // namespace pmv
