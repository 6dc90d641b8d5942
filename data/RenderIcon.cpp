// pmv_render_icon: the application icon as PNG files for the hicolor theme,
// drawn by the same code as the window icon (app/Icons.cpp).
//
//   pmv_render_icon write FOLDER NAME SIZE...
//       writes FOLDER/<SIZE>x<SIZE>/apps/NAME.png for each SIZE
//   pmv_render_icon compare A.png B.png LIMIT
//       compares two pictures of the same size channel by channel (colour
//       premultiplied by alpha); prints the mean difference in 0..255 and
//       fails when it exceeds LIMIT. The package check compares the scalable
//       icon, rendered by an SVG renderer, with the drawn one this way.
#include "app/Icons.h"

#include <QColor>
#include <QDir>
#include <QImage>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int Write(const QString& folder, const QString& name, const QStringList& sizes) {
    for (const QString& text : sizes) {
        bool ok = false;
        const int size = text.toInt(&ok);
        if (!ok || size < 8 || size > 1024) {
            std::fprintf(stderr, "pmv_render_icon: bad size '%s'\n", qPrintable(text));
            return 2;
        }
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(folder).arg(size);
        const QString file = QStringLiteral("%1/%2.png").arg(dir, name);
        if (!QDir().mkpath(dir) || !pmv::IconImage(pmv::TIcon::Application, size).save(file)) {
            std::fprintf(stderr, "pmv_render_icon: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}

int Compare(const QString& fileA, const QString& fileB, double limit) {
    const QImage a = QImage(fileA).convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage b = QImage(fileB).convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (a.isNull() || b.isNull() || a.size() != b.size()) {
        std::fprintf(stderr, "pmv_render_icon: cannot compare %s (%dx%d) with %s (%dx%d)\n",
                     qPrintable(fileA), a.width(), a.height(), qPrintable(fileB), b.width(),
                     b.height());
        return 2;
    }
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto* rowA = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const auto* rowB = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            sum += std::abs(qRed(rowA[x]) - qRed(rowB[x])) +
                   std::abs(qGreen(rowA[x]) - qGreen(rowB[x])) +
                   std::abs(qBlue(rowA[x]) - qBlue(rowB[x])) +
                   std::abs(qAlpha(rowA[x]) - qAlpha(rowB[x]));
        }
    }
    const double mean = sum / (4.0 * a.width() * a.height());
    std::printf("mean difference %.2f of 255 (limit %.2f)\n", mean, limit);
    return mean <= limit ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    // Shapes drawn into an image need no application object and no display.
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    if (args.size() >= 5 && args[1] == QLatin1String("write"))
        return Write(args[2], args[3], args.mid(4));
    if (args.size() == 5 && args[1] == QLatin1String("compare"))
        return Compare(args[2], args[3], args[4].toDouble());
    std::fputs("usage: pmv_render_icon write FOLDER NAME SIZE...\n"
               "       pmv_render_icon compare A.png B.png LIMIT\n",
               stderr);
    return 2;
}
