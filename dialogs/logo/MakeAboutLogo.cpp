// Draws the maker's picture of the about box and writes it as a JPEG:
//   pmv_make_about_logo <out.jpg>
// The picture is drawn at twice the size of the about box's picture frame
// (145 x 57), so that it stays sharp when the frame scales it down.
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <cstdio>

#include <jpeglib.h>

namespace {

constexpr int kWidth = 290;
constexpr int kHeight = 114;

const QColor Navy(11, 46, 92);
const QColor Blue(30, 90, 168);
const QColor Cyan(42, 167, 216);

void DrawEmblem(QPainter& p) {
    const QPointF c(57, 57);
    const qreal r = 50;

    // The disc: deep blue, lighter towards the upper left.
    QRadialGradient disc(c + QPointF(-18, -22), r * 1.5);
    disc.setColorAt(0, Blue.lighter(135));
    disc.setColorAt(0.55, Blue);
    disc.setColorAt(1, Navy);
    p.setPen(Qt::NoPen);
    p.setBrush(disc);
    p.drawEllipse(c, r, r);

    // A thin light ring inside the edge.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 255, 150), 2.2));
    p.drawEllipse(c, r - 5, r - 5);

    // An impeller: six curved blades around a hub, in white.
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    constexpr int kBlades = 6;
    for (int i = 0; i < kBlades; ++i) {
        p.save();
        p.translate(c);
        p.rotate(360.0 / kBlades * i);
        QPainterPath blade;
        blade.moveTo(0, -9);
        blade.cubicTo(14, -16, 26, -14, 35, -4);
        blade.cubicTo(27, -9, 16, -7, 6, 2);
        blade.closeSubpath();
        p.drawPath(blade);
        p.restore();
    }
    p.drawEllipse(c, 11.5, 11.5);
    p.setBrush(Navy);
    p.drawEllipse(c, 5, 5);
}

void DrawName(QPainter& p) {
    QFont big(QStringLiteral("DejaVu Sans"));
    big.setStyleHint(QFont::SansSerif);
    big.setBold(true);
    big.setPixelSize(54);
    big.setLetterSpacing(QFont::AbsoluteSpacing, 2);
    p.setFont(big);
    p.setPen(Navy);
    p.drawText(QRectF(120, 4, 166, 66), Qt::AlignLeft | Qt::AlignBottom, QStringLiteral("PMV"));

    // The accent rule between the two lines.
    QLinearGradient rule(122, 0, 282, 0);
    rule.setColorAt(0, Cyan);
    rule.setColorAt(1, QColor(Cyan.red(), Cyan.green(), Cyan.blue(), 0));
    p.setPen(Qt::NoPen);
    p.setBrush(rule);
    p.drawRect(QRectF(122, 74, 160, 3));

    QFont small(QStringLiteral("DejaVu Sans"));
    small.setStyleHint(QFont::SansSerif);
    small.setBold(true);
    small.setPixelSize(15);
    small.setLetterSpacing(QFont::AbsoluteSpacing, 2.2);
    p.setFont(small);
    p.setPen(Blue);
    p.drawText(QRectF(122, 80, 166, 26), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("VODAZIVOVU"));
}

bool WriteJpeg(const QImage& image, const char* path) {
    FILE* out = std::fopen(path, "wb");
    if (!out)
        return false;
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, out);
    cinfo.image_width = static_cast<JDIMENSION>(image.width());
    cinfo.image_height = static_cast<JDIMENSION>(image.height());
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 92, TRUE);
    // No chroma subsampling: keeps the edges of the lettering clean.
    cinfo.comp_info[0].h_samp_factor = 1;
    cinfo.comp_info[0].v_samp_factor = 1;
    jpeg_start_compress(&cinfo, TRUE);
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row =
            const_cast<JSAMPROW>(rgb.constScanLine(static_cast<int>(cinfo.next_scanline)));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return std::fclose(out) == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <out.jpg>\n", argv[0]);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    DrawEmblem(p);
    DrawName(p);
    p.end();

    if (!WriteJpeg(image, argv[1])) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
        return 1;
    }
    return 0;
}
