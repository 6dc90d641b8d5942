// JPEG decoding with libjpeg, for the pictures the program carries.
#pragma once

#include <QImage>

#include <cstddef>

namespace pmv {

// The largest picture DecodeJpeg accepts, in pixels per side.
constexpr int kJpegMaxSide = 4096;

// Decodes a JPEG held in memory into an RGB image. Anything that is not a
// complete, valid JPEG of at most kJpegMaxSide pixels per side (truncated or
// corrupt data, an unsupported colour space) gives a null image; libjpeg's
// messages are kept off stderr and its errors never end the program.
QImage DecodeJpeg(const unsigned char* data, std::size_t size);

} // namespace pmv
