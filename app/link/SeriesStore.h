// The samples a strip chart draws: named series of (time, value) pairs, with
// gaps, reduced on demand to one min/max per pixel column. Plain C++, no Qt.
//
// Data flow: a poller appends each reading (or a gap for a time-out) to its
// series; the chart asks, for the time window it shows and its width in
// pixels, for each column's min and max and draws one vertical stroke per
// column. The answer costs one binary search per column boundary plus a walk
// over O(log samples) blocks of a min/max pyramid per column, so a frame
// costs the same whether the window holds 10^3 or 10^6 samples.
//
// The pyramid: level L holds the min and max of every aligned block of 2^L
// samples (levels kBaseLevel up to the capacity); a column's sample range is
// covered by the fewest whole blocks, plus at most 2^kBaseLevel - 1 single
// samples at either end. Samples live in a ring of the series' capacity (a
// power of two), and every level is a ring of the same span, so the block
// that a new sample starts overwrites exactly the block whose first sample
// falls out of the ring; blocks wholly inside the kept samples are always
// whole.
//
// Memory bound: per series 16 bytes per kept sample plus 16 bytes per
// 2^kBaseLevel-sample block over all levels (about 20 bytes a sample), for at
// most Capacity() samples; the ring grows with the samples up to that. When a
// series is full, each new sample drops its oldest one (counted in Dropped).
// The default capacity, 65,536 samples, keeps more than an hour and a half at
// 10 samples a second: eight such series stay below 11 MB.
//
// Times are seconds on any scale the owner picks (the chart shows values of
// at least 1e9 as wall-clock time, seconds since the Unix epoch). Each series
// keeps its times in order: a sample older than the newest of its series is
// taken at the newest time. A sample whose time is not a finite number is
// refused (counted), and a value that is not a finite number is kept as a gap.
// Calls with a series number that does not exist do nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace pmv {

class TSeriesStore {
public:
    static constexpr std::size_t kDefaultCapacity = std::size_t(1) << 16;
    static constexpr int kBaseLevel = 3; // smallest pyramid blocks: 8 samples
    static constexpr int kMaxColumns = 1 << 16;

    // One pixel column of a query. hasData: at least one value lies in it
    // (min, max, first and last are then the smallest, largest, earliest and
    // latest of its values); hasGap: a gap lies in it.
    struct TColumn {
        double min = 0;
        double max = 0;
        double first = 0;
        double last = 0;
        bool hasData = false;
        bool hasGap = false;
    };

    struct TSample {
        double time = 0;
        double value = 0;
        bool gap = false;
    };

    struct TTimeRange {
        double first = 0;
        double last = 0;
        bool empty = true;
    };

    // capacity: samples kept per series, rounded up to a power of two of at
    // least 16.
    explicit TSeriesStore(std::size_t capacity = kDefaultCapacity);

    // Adds an empty series named name (UTF-8) and returns its number (0, 1, ...).
    int AddSeries(const std::string& name);
    void Append(int series, double timeSeconds, double value);
    // A time-out at timeSeconds: the series' line breaks there.
    void AppendGap(int series, double timeSeconds);
    // Removes every series and sample.
    void Clear();

    int SeriesCount() const { return int(m_series.size()); }
    std::size_t Capacity() const { return m_capacity; }
    std::string Name(int series) const;
    // Samples (values and gaps) kept now, and dropped since the series began.
    std::size_t SampleCount(int series) const;
    std::uint64_t Dropped(int series) const;
    // Samples refused for a time that is not a finite number.
    std::uint64_t Refused() const { return m_refused; }
    // Counts every append and gap of every series; changes whenever data does.
    std::uint64_t Revision() const { return m_revision; }

    // Bytes the samples, blocks and gap marks of all series hold now.
    std::size_t MemoryBytes() const;

    TTimeRange TimeRange(int series) const;
    // Over all series.
    TTimeRange TimeRange() const;

    // Splits [t0, t1) into columns.size() equal columns and fills each. With
    // t1 <= t0, no columns or more than kMaxColumns, every column is empty.
    void Columns(int series, double t0, double t1, std::vector<TColumn>& columns) const;

    // The kept sample nearest to t in time (a gap included), if any.
    std::optional<TSample> Nearest(int series, double t) const;
    // The last kept sample before t, and the first at or after t.
    std::optional<TSample> LastBefore(int series, double t) const;
    std::optional<TSample> FirstFrom(int series, double t) const;

private:
    struct TBlock {
        double min;
        double max;
    };
    struct TSeries {
        std::string name;
        std::vector<double> times;  // ring, grows up to the capacity
        std::vector<double> values; // NaN for a gap
        // levels[L - kBaseLevel]: block minima and maxima of level L, a ring
        // of capacity >> L blocks, grown with the samples.
        std::vector<std::vector<TBlock>> levels;
        std::deque<std::uint64_t> gaps; // absolute indices of the kept gaps
        std::uint64_t first = 0;        // absolute index of the oldest kept sample
        std::uint64_t end = 0;          // absolute index after the newest
        std::uint64_t dropped = 0;
    };

    const TSeries* Find(int series) const;
    void Push(int series, double timeSeconds, double value);
    double TimeAt(const TSeries& s, std::uint64_t i) const { return s.times[i & m_mask]; }
    double ValueAt(const TSeries& s, std::uint64_t i) const { return s.values[i & m_mask]; }
    // First absolute index whose time is >= t, searching from `from` on
    // (which must not lie beyond it).
    std::uint64_t LowerBound(const TSeries& s, double t, std::uint64_t from = 0) const;
    // Fills column from the absolute sample range [a, b).
    void Reduce(const TSeries& s, std::uint64_t a, std::uint64_t b, TColumn& column) const;
    TSample SampleAt(const TSeries& s, std::uint64_t i) const;

    std::size_t m_capacity;
    std::uint64_t m_mask;
    int m_topLevel;
    std::vector<TSeries> m_series;
    std::uint64_t m_refused = 0;
    std::uint64_t m_revision = 0;
};

} // namespace pmv
