#include "dialogs/JpegImage.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace pmv {

namespace {

// libjpeg reports a fatal error by calling error_exit, which by default ends
// the process. Ours jumps back to the decoding step instead. Warnings (a
// premature end of data, a corrupt segment) count as failure as well: a
// picture that needed patching up is not shown.
struct TJpegErrors {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
    bool warned;
};

void OnJpegError(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<TJpegErrors*>(cinfo->err);
    std::longjmp(err->jump, 1);
}

void OnJpegMessage(j_common_ptr cinfo, int level) {
    auto* err = reinterpret_cast<TJpegErrors*>(cinfo->err);
    if (level < 0)
        err->warned = true;
}

void OnJpegOutput(j_common_ptr) {}

// The two steps below hold only plain C data, so jumping out of libjpeg back
// to their setjmp skips no destructor and leaves no local in doubt.

bool Create(jpeg_decompress_struct* cinfo, TJpegErrors* err) {
    if (setjmp(err->jump))
        return false;
    jpeg_create_decompress(cinfo);
    return true;
}

bool ReadHeader(jpeg_decompress_struct* cinfo, TJpegErrors* err, const unsigned char* data,
                unsigned long size) {
    if (setjmp(err->jump))
        return false;
    jpeg_mem_src(cinfo, data, size);
    if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK)
        return false;
    if (cinfo->image_width == 0 || cinfo->image_height == 0 ||
        cinfo->image_width > static_cast<JDIMENSION>(kJpegMaxSide) ||
        cinfo->image_height > static_cast<JDIMENSION>(kJpegMaxSide))
        return false;
    cinfo->out_color_space = JCS_RGB;
    return !err->warned;
}

bool ReadPixels(jpeg_decompress_struct* cinfo, TJpegErrors* err, unsigned char* bits,
                std::size_t bytesPerLine) {
    if (setjmp(err->jump))
        return false;
    jpeg_start_decompress(cinfo);
    if (cinfo->output_components != 3 || cinfo->output_width != cinfo->image_width ||
        cinfo->output_height != cinfo->image_height)
        return false;
    while (cinfo->output_scanline < cinfo->output_height) {
        JSAMPROW row = bits + bytesPerLine * cinfo->output_scanline;
        if (jpeg_read_scanlines(cinfo, &row, 1) != 1)
            return false;
    }
    jpeg_finish_decompress(cinfo);
    return !err->warned;
}

} // namespace

QImage DecodeJpeg(const unsigned char* data, std::size_t size) {
    if (data == nullptr || size == 0 || size > 0x7FFFFFFF)
        return QImage();
    jpeg_decompress_struct cinfo;
    TJpegErrors err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = OnJpegError;
    err.mgr.emit_message = OnJpegMessage;
    err.mgr.output_message = OnJpegOutput;
    err.warned = false;
    if (!Create(&cinfo, &err))
        return QImage();

    QImage image;
    if (ReadHeader(&cinfo, &err, data, static_cast<unsigned long>(size))) {
        image = QImage(static_cast<int>(cinfo.image_width), static_cast<int>(cinfo.image_height),
                       QImage::Format_RGB888);
        if (image.isNull() ||
            !ReadPixels(&cinfo, &err, image.bits(), static_cast<std::size_t>(image.bytesPerLine())))
            image = QImage();
    }
    jpeg_destroy_decompress(&cinfo);
    return image;
}

} // namespace pmv
