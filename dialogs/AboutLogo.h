// The maker's picture of the about box: AboutLogo.jpg, compiled in by the
// build (see CMakeLists.txt).
#pragma once

#include <cstddef>

namespace pmv {

extern const unsigned char AboutLogoJpeg[];
extern const std::size_t AboutLogoJpegSize;

} // namespace pmv
