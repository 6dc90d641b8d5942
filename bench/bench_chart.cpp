// Costs of the strip chart: a sample appended to its store, a repaint with
// eight series of an hour at 10 samples a second, a zoom or scroll frame at
// 10^6 samples, a frame at 10^3 against one at 10^6 samples (the min/max per
// column should make them nearly equal), and the repaints a flood of samples
// causes (at most 50 a second). Frames are drawn offscreen into an image of
// the chart's size.
#include "app/StripChart.h"
#include "bench/BenchSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

namespace {

constexpr int kHourAt10PerSecond = 36000;
constexpr int kSeries = 8;

// `series` readings, `samples` each at 10 a second, with a time-out every
// 1000: three slow waves over all the samples with a small ripple, so that a
// window of all of them looks alike at 10^3 and at 10^6 samples.
void Fill(pmv::TSeriesStore& store, int series, int samples) {
    for (int s = 0; s < series; ++s)
        store.AddSeries("reading " + std::to_string(s));
    const double wave = 3 * 2 * M_PI / samples;
    for (int i = 0; i < samples; ++i) {
        const double t = i / 10.0;
        for (int s = 0; s < series; ++s) {
            if (i % 1000 == 999)
                store.AppendGap(s, t);
            else
                store.Append(s, t, std::round(1000 * std::sin(i * wave + s) + 50 * std::sin(i)));
        }
    }
}

struct TOffscreen {
    explicit TOffscreen(const pmv::TSeriesStore& store) : chart(store) {
        chart.resize(800, 300);
        image = QImage(chart.size(), QImage::Format_ARGB32_Premultiplied);
    }
    void Draw() { chart.render(&image); }
    TStripChart chart;
    QImage image;
};

void BM_AppendSample(benchmark::State& state) {
    pmv::TSeriesStore store;
    Fill(store, kSeries, kHourAt10PerSecond);
    double t = kHourAt10PerSecond / 10.0;
    int series = 0;
    for (auto _ : state) {
        store.Append(series, t, std::sin(t));
        if (++series == kSeries) {
            series = 0;
            t += 0.1;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AppendSample);

// The live chart showing the whole hour of all eight series.
void BM_RepaintEightSeriesHour(benchmark::State& state) {
    pmv::TSeriesStore store;
    Fill(store, kSeries, kHourAt10PerSecond);
    TOffscreen view(store);
    view.chart.SetSpan(3600);
    for (auto _ : state)
        view.Draw();
    state.counters["samples"] = double(kSeries * kHourAt10PerSecond);
    state.counters["store_MB"] = double(store.MemoryBytes()) / 1e6;
}
BENCHMARK(BM_RepaintEightSeriesHour)->Unit(benchmark::kMillisecond);

// One series of range(0) samples, all of them in the window: the cost of a
// frame should not grow with the samples.
void BM_RepaintPoints(benchmark::State& state) {
    const int samples = int(state.range(0));
    pmv::TSeriesStore store{std::size_t(samples)};
    Fill(store, 1, samples);
    TOffscreen view(store);
    view.chart.SetSpan(samples / 10.0);
    for (auto _ : state)
        view.Draw();
}
BENCHMARK(BM_RepaintPoints)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// The store's part of a frame alone: 800 columns of one series.
void BM_ColumnsQuery(benchmark::State& state) {
    const int samples = int(state.range(0));
    pmv::TSeriesStore store{std::size_t(samples)};
    Fill(store, 1, samples);
    std::vector<pmv::TSeriesStore::TColumn> columns(800);
    for (auto _ : state) {
        store.Columns(0, 0, samples / 10.0, columns);
        benchmark::DoNotOptimize(columns.data());
    }
}
BENCHMARK(BM_ColumnsQuery)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

// Scrolling and zooming through 10^6 samples of one series (and of eight
// series sharing them), each step a new window to reduce and draw.
void BM_ScrollFrame(benchmark::State& state) {
    const int series = int(state.range(0));
    pmv::TSeriesStore store(std::size_t(1) << 20);
    Fill(store, series, 1000000 / series);
    TOffscreen view(store);
    view.chart.SetSpan(1000000 / series / 10.0 / 4); // a quarter of the samples
    view.chart.Scroll(-1e9);                         // to the oldest
    double step = view.chart.Span() / 20;
    for (auto _ : state) {
        const double end = view.chart.WindowEnd();
        view.chart.Scroll(step);
        if (view.chart.WindowEnd() == end)
            step = -step; // at an end: back the other way
        view.Draw();
    }
}
BENCHMARK(BM_ScrollFrame)->Arg(1)->Arg(kSeries)->Unit(benchmark::kMillisecond);

void BM_ZoomFrame(benchmark::State& state) {
    pmv::TSeriesStore store(std::size_t(1) << 20);
    Fill(store, 1, 1000000);
    TOffscreen view(store);
    view.chart.SetSpan(100000);
    view.chart.SetPaused(true);
    const double x = view.chart.PlotRect().center().x();
    int step = 0;
    for (auto _ : state) {
        view.chart.Zoom(step++ % 16 < 8 ? 0.8 : 1.25, x); // in and out again
        view.Draw();
    }
}
BENCHMARK(BM_ZoomFrame)->Unit(benchmark::kMillisecond);

// A shown live chart told of every sample of eight series appended as fast
// as the loop goes, for half a second of wall-clock time per iteration.
void BM_FloodRepaintsPerSecond(benchmark::State& state) {
    pmv::TSeriesStore store;
    Fill(store, kSeries, kHourAt10PerSecond);
    TStripChart chart(store);
    chart.resize(800, 300);
    chart.show();
    QCoreApplication::processEvents();
    double t = kHourAt10PerSecond / 10.0;
    double repaints = 0, seconds = 0, samples = 0;
    for (auto _ : state) {
        const int before = chart.Repaints();
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 500) {
            for (int s = 0; s < kSeries; ++s)
                store.Append(s, t, std::sin(t + s));
            t += 0.1;
            samples += kSeries;
            chart.SamplesAdded();
            QCoreApplication::processEvents();
        }
        seconds += double(clock.nsecsElapsed()) / 1e9;
        repaints += chart.Repaints() - before;
    }
    state.counters["repaints_per_s"] = repaints / seconds;
    state.counters["samples_per_s"] = samples / seconds;
}
BENCHMARK(BM_FloodRepaintsPerSecond)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    pmvbench::UseOffscreenByDefault();
    QApplication app(argc, argv);
    return pmvbench::RunBenchmarks(argc, argv);
}
