// The strip chart as an operator sees it, for a picture (not a test):
//   pmv_grab_chart PNG [SAMPLES [SPAN]]
// Two readings over 20 minutes at 10 samples a second, the first one timing
// out for a minute, in a live chart showing the last 10 minutes (or SPAN
// seconds) with the cursor a third of the way in.
#include "app/StripChart.h"

#include <QApplication>
#include <QDateTime>

#include <cmath>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: pmv_grab_chart PNG [SAMPLES [SPAN]]\n", stderr);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    pmv::TSeriesStore store;
    const int current = store.AddSeries("Motor current (QXIA)");
    const int speed = store.AddSeries("Pump speed (QXRPM)");
    const int samples = argc > 2 ? std::atoi(argv[2]) : 12000;
    const double start = double(QDateTime::currentSecsSinceEpoch()) - samples / 10.0;
    for (int i = 0; i < samples; ++i) {
        const double t = start + i / 10.0;
        const double minute = i / 600.0;
        if (minute >= 14 && minute < 15)
            store.AppendGap(current, t);
        else
            store.Append(current, t,
                         std::round(120 + 40 * std::sin(t / 30) + 6 * std::sin(t * 1.7)));
        store.Append(speed, t, std::round(1450 + 300 * std::cos(t / 75)));
    }
    TStripChart chart(store);
    chart.resize(720, 320);
    chart.SetSpan(argc > 3 ? std::atof(argv[3]) : 600);
    chart.SetCursorTime(chart.WindowStart() + chart.Span() / 3);
    QString error;
    if (!chart.SavePng(QString::fromLocal8Bit(argv[1]), &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    return 0;
}
