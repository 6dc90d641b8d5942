#include "app/link/SeriesStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

using pmv::TSeriesStore;

namespace {

struct TRef {
    double time;
    double value;
    bool gap;
};

// The column as a scan over every kept sample computes it.
TSeriesStore::TColumn Scan(const std::vector<TRef>& kept, double a, double b) {
    TSeriesStore::TColumn c;
    std::vector<double> values;
    for (const TRef& r : kept) {
        if (r.time < a || r.time >= b)
            continue;
        if (r.gap)
            c.hasGap = true;
        else
            values.push_back(r.value);
    }
    c.hasData = !values.empty();
    if (c.hasData) {
        c.min = *std::min_element(values.begin(), values.end());
        c.max = *std::max_element(values.begin(), values.end());
        c.first = values.front();
        c.last = values.back();
    }
    return c;
}

struct TCase {
    const char* name;
    std::size_t capacity;
    int samples;
    int gapOneIn; // 0: no gaps
    double from;  // window as fractions of the appended time span
    double to;
    int columns;
};

// clang-format off
const TCase kCases[] = {
    {"whole series, few columns",          1024,   1000,  0,  0.0,  1.0,   7},
    {"more columns than samples",          1024,    300, 50,  0.0,  1.0, 900},
    {"window inside, gaps",                 4096,   4000, 97,  0.3,  0.6, 640},
    {"ring wrapped, window over the edge",   256,  10000, 31, 0.9,  1.0, 333},
    {"ring wrapped many times, all",         512, 100000, 13,  0.0,  1.1, 1000},
    {"window before and after the data",    1024,   2000,  0, -0.5,  1.5,  64},
    {"one column",                          1024,   5000, 11,  0.1,  0.9,   1},
    {"long series, unaligned window",    1 << 16, 200000,  0, 0.123, 0.987, 1920},
};
// clang-format on

TEST(SeriesStore, ColumnsMatchAScanOfEverySample) {
    std::mt19937 random(22);
    for (const TCase& row : kCases) {
        SCOPED_TRACE(row.name);
        TSeriesStore store(row.capacity);
        const int s = store.AddSeries("s");
        std::vector<TRef> all;
        std::uniform_real_distribution<double> step(0.0, 0.2); // equal times included
        std::normal_distribution<double> noise(0.0, 50.0);
        double t = 100.0;
        for (int i = 0; i < row.samples; ++i) {
            t += std::floor(step(random) * 10) / 10;
            const bool gap = row.gapOneIn && random() % unsigned(row.gapOneIn) == 0;
            const double v = std::round(noise(random) + 1000 * std::sin(i / 500.0));
            all.push_back({t, v, gap});
            if (gap)
                store.AppendGap(s, t);
            else
                store.Append(s, t, v);
        }
        const std::size_t kept = std::min<std::size_t>(all.size(), store.Capacity());
        ASSERT_EQ(store.SampleCount(s), kept);
        EXPECT_EQ(store.Dropped(s), all.size() - kept);
        // The bound: 16 bytes a sample, 4 for the blocks, at most 8 for a gap.
        EXPECT_LE(store.MemoryBytes(), store.Capacity() * 28);
        const std::vector<TRef> tail(all.end() - std::ptrdiff_t(kept), all.end());

        const double span = t - 100.0;
        const double t0 = 100.0 + row.from * span, t1 = 100.0 + row.to * span;
        std::vector<TSeriesStore::TColumn> columns(std::size_t(row.columns));
        store.Columns(s, t0, t1, columns);
        const double width = (t1 - t0) / row.columns;
        for (int c = 0; c < row.columns; ++c) {
            const double a = t0 + width * c, b = c + 1 == row.columns ? t1 : t0 + width * (c + 1);
            const TSeriesStore::TColumn want = Scan(tail, a, b);
            const TSeriesStore::TColumn& got = columns[std::size_t(c)];
            SCOPED_TRACE("column " + std::to_string(c));
            ASSERT_EQ(got.hasData, want.hasData);
            ASSERT_EQ(got.hasGap, want.hasGap);
            if (!want.hasData)
                continue;
            ASSERT_EQ(got.min, want.min);
            ASSERT_EQ(got.max, want.max);
            if (!want.hasGap) {
                ASSERT_EQ(got.first, want.first);
                ASSERT_EQ(got.last, want.last);
            }
        }
    }
}

TEST(SeriesStore, BadInputIsRefusedOrKeptAsGaps) {
    TSeriesStore store(16);
    const int s = store.AddSeries("s");
    store.Append(s, NAN, 1); // refused
    store.Append(7, 1, 1);   // no such series
    store.Append(s, 5, 10);
    store.Append(s, 2, 20);       // older than the newest: taken at 5
    store.Append(s, 6, INFINITY); // a gap
    EXPECT_EQ(store.Refused(), 1u);
    EXPECT_EQ(store.SampleCount(s), 3u);
    EXPECT_EQ(store.TimeRange(s).last, 6);
    EXPECT_EQ(store.Nearest(s, 5.9)->gap, true);
    EXPECT_EQ(store.LastBefore(s, 5.5)->value, 20);
    std::vector<TSeriesStore::TColumn> columns(1);
    store.Columns(s, 6, 5, columns); // an empty window
    EXPECT_FALSE(columns[0].hasData);
    store.Clear();
    EXPECT_EQ(store.SeriesCount(), 0);
    EXPECT_FALSE(store.Nearest(s, 5).has_value());
}

} // namespace
