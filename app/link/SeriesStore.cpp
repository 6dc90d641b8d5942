#include "app/link/SeriesStore.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace pmv {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::size_t RoundUpToPowerOfTwo(std::size_t n) {
    std::size_t p = 16;
    while (p < n && p < (std::size_t(1) << 40))
        p <<= 1;
    return p;
}

// Grows a ring that has not wrapped yet so that index fits, doubling it up to
// its full size.
template <class T> void GrowFor(std::vector<T>& ring, std::size_t index, std::size_t full) {
    if (index < ring.size())
        return;
    std::size_t size = std::max<std::size_t>(ring.size(), 1);
    while (size <= index)
        size *= 2;
    ring.resize(std::min(size, full));
}

} // namespace

TSeriesStore::TSeriesStore(std::size_t capacity)
    : m_capacity(RoundUpToPowerOfTwo(capacity)), m_mask(m_capacity - 1), m_topLevel(0) {
    while ((std::size_t(1) << m_topLevel) < m_capacity)
        ++m_topLevel;
}

int TSeriesStore::AddSeries(const std::string& name) {
    TSeries s;
    s.name = name;
    s.levels.resize(std::size_t(m_topLevel - kBaseLevel + 1));
    m_series.push_back(std::move(s));
    ++m_revision;
    return int(m_series.size()) - 1;
}

void TSeriesStore::Append(int series, double timeSeconds, double value) {
    Push(series, timeSeconds, std::isfinite(value) ? value : kNaN);
}

void TSeriesStore::AppendGap(int series, double timeSeconds) {
    Push(series, timeSeconds, kNaN);
}

void TSeriesStore::Clear() {
    m_series.clear();
    ++m_revision;
}

const TSeriesStore::TSeries* TSeriesStore::Find(int series) const {
    return series >= 0 && series < int(m_series.size()) ? &m_series[std::size_t(series)] : nullptr;
}

std::string TSeriesStore::Name(int series) const {
    const TSeries* s = Find(series);
    return s ? s->name : std::string();
}

std::size_t TSeriesStore::SampleCount(int series) const {
    const TSeries* s = Find(series);
    return s ? std::size_t(s->end - s->first) : 0;
}

std::uint64_t TSeriesStore::Dropped(int series) const {
    const TSeries* s = Find(series);
    return s ? s->dropped : 0;
}

std::size_t TSeriesStore::MemoryBytes() const {
    std::size_t bytes = 0;
    for (const TSeries& s : m_series) {
        bytes += (s.times.capacity() + s.values.capacity()) * sizeof(double);
        for (const std::vector<TBlock>& blocks : s.levels)
            bytes += blocks.capacity() * sizeof(TBlock);
        bytes += s.gaps.size() * sizeof(std::uint64_t);
    }
    return bytes;
}

void TSeriesStore::Push(int series, double timeSeconds, double value) {
    if (!Find(series))
        return;
    if (!std::isfinite(timeSeconds)) {
        ++m_refused;
        return;
    }
    TSeries& s = m_series[std::size_t(series)];
    if (s.end > s.first)
        timeSeconds = std::max(timeSeconds, TimeAt(s, s.end - 1));
    if (s.end - s.first == m_capacity) {
        if (!s.gaps.empty() && s.gaps.front() == s.first)
            s.gaps.pop_front();
        ++s.first;
        ++s.dropped;
    }
    const std::uint64_t i = s.end;
    const std::size_t slot = std::size_t(i & m_mask);
    GrowFor(s.times, slot, m_capacity);
    GrowFor(s.values, slot, m_capacity);
    s.times[slot] = timeSeconds;
    s.values[slot] = value;
    const bool gap = std::isnan(value);
    if (gap)
        s.gaps.push_back(i);
    for (int level = kBaseLevel; level <= m_topLevel; ++level) {
        std::vector<TBlock>& blocks = s.levels[std::size_t(level - kBaseLevel)];
        const std::size_t span = m_capacity >> level;
        const std::size_t b = std::size_t((i >> level) & (span - 1));
        GrowFor(blocks, b, span);
        TBlock& block = blocks[b];
        if ((i & ((std::uint64_t(1) << level) - 1)) == 0)
            block = {kInf, -kInf};
        if (!gap) {
            block.min = std::min(block.min, value);
            block.max = std::max(block.max, value);
        }
    }
    ++s.end;
    ++m_revision;
}

TSeriesStore::TTimeRange TSeriesStore::TimeRange(int series) const {
    const TSeries* s = Find(series);
    if (!s || s->end == s->first)
        return {};
    return {TimeAt(*s, s->first), TimeAt(*s, s->end - 1), false};
}

TSeriesStore::TTimeRange TSeriesStore::TimeRange() const {
    TTimeRange all;
    for (int i = 0; i < SeriesCount(); ++i) {
        const TTimeRange r = TimeRange(i);
        if (r.empty)
            continue;
        all.first = all.empty ? r.first : std::min(all.first, r.first);
        all.last = all.empty ? r.last : std::max(all.last, r.last);
        all.empty = false;
    }
    return all;
}

std::uint64_t TSeriesStore::LowerBound(const TSeries& s, double t, std::uint64_t from) const {
    // Galloping from `from`: the next column's edge is usually near, and
    // the steps stay in memory the last search has just read.
    std::uint64_t lo = std::max(from, s.first), hi = s.end, step = 1;
    while (lo + step < hi && TimeAt(s, lo + step) < t) {
        lo += step + 1;
        step *= 2;
    }
    if (lo + step < hi)
        hi = lo + step;
    while (lo < hi) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        if (TimeAt(s, mid) < t)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

void TSeriesStore::Reduce(const TSeries& s, std::uint64_t a, std::uint64_t b,
                          TColumn& column) const {
    const auto gap = std::lower_bound(s.gaps.begin(), s.gaps.end(), a);
    column.hasGap = gap != s.gaps.end() && *gap < b;
    double lo = kInf, hi = -kInf;
    constexpr std::uint64_t kBase = std::uint64_t(1) << kBaseLevel;
    std::uint64_t i = a;
    while (i < b) {
        if ((i & (kBase - 1)) != 0 || i + kBase > b) {
            const double v = ValueAt(s, i);
            if (!std::isnan(v)) {
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
            ++i;
            continue;
        }
        // The largest aligned block that starts at i and ends within b.
        int level = kBaseLevel;
        while (level < m_topLevel) {
            const std::uint64_t next = std::uint64_t(2) << level;
            if ((i & (next - 1)) != 0 || i + next > b)
                break;
            ++level;
        }
        const std::size_t span = m_capacity >> level;
        const TBlock& block =
            s.levels[std::size_t(level - kBaseLevel)][std::size_t((i >> level) & (span - 1))];
        lo = std::min(lo, block.min);
        hi = std::max(hi, block.max);
        i += std::uint64_t(1) << level;
    }
    column.hasData = lo <= hi;
    if (!column.hasData)
        return;
    column.min = lo;
    column.max = hi;
    // Without a gap every sample is a value; with one the chart breaks the
    // line there and needs no ends.
    column.first = column.hasGap ? lo : ValueAt(s, a);
    column.last = column.hasGap ? hi : ValueAt(s, b - 1);
}

void TSeriesStore::Columns(int series, double t0, double t1, std::vector<TColumn>& columns) const {
    std::fill(columns.begin(), columns.end(), TColumn{});
    const TSeries* s = Find(series);
    const std::size_t n = columns.size();
    if (!s || n == 0 || n > std::size_t(kMaxColumns) || !std::isfinite(t0) || !std::isfinite(t1) ||
        !(t1 > t0))
        return;
    const double width = (t1 - t0) / double(n);
    std::uint64_t a = LowerBound(*s, t0);
    for (std::size_t c = 0; c < n && a < s->end; ++c) {
        const double edge = c + 1 == n ? t1 : t0 + width * double(c + 1);
        const std::uint64_t b = LowerBound(*s, edge, a);
        if (b > a)
            Reduce(*s, a, b, columns[c]);
        a = b;
    }
}

TSeriesStore::TSample TSeriesStore::SampleAt(const TSeries& s, std::uint64_t i) const {
    const double v = ValueAt(s, i);
    return {TimeAt(s, i), std::isnan(v) ? 0.0 : v, std::isnan(v)};
}

std::optional<TSeriesStore::TSample> TSeriesStore::Nearest(int series, double t) const {
    const TSeries* s = Find(series);
    if (!s || s->end == s->first || std::isnan(t))
        return std::nullopt;
    std::uint64_t i = LowerBound(*s, t);
    if (i == s->end || (i > s->first && t - TimeAt(*s, i - 1) <= TimeAt(*s, i) - t))
        --i;
    return SampleAt(*s, i);
}

std::optional<TSeriesStore::TSample> TSeriesStore::LastBefore(int series, double t) const {
    const TSeries* s = Find(series);
    if (!s || std::isnan(t))
        return std::nullopt;
    const std::uint64_t i = LowerBound(*s, t);
    if (i == s->first)
        return std::nullopt;
    return SampleAt(*s, i - 1);
}

std::optional<TSeriesStore::TSample> TSeriesStore::FirstFrom(int series, double t) const {
    const TSeries* s = Find(series);
    if (!s || std::isnan(t))
        return std::nullopt;
    const std::uint64_t i = LowerBound(*s, t);
    if (i == s->end)
        return std::nullopt;
    return SampleAt(*s, i);
}

} // namespace pmv
