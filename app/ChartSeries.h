#pragma once

#include <qcustomplot.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

// The smallest and largest finite value of a stretch of points; empty while Min > Max.
struct TValueSpan {
    double Min;
    double Max;
    bool Empty() const { return Min > Max; }
};

// The points of one chart series, kept in the charting library's own container so that the
// graph draws them without a copy. Points arrive in key order and leave from the front by
// count: several points may share a key, so a key-based removal could take more than the
// oldest ones. With a point limit the points take near 16 bytes each: the space of dropped
// points is reused in place instead of letting the buffer grow.
//
// Beside the points the series keeps a min/max summary in levels, so that a redraw costs per
// pixel column rather than per point: level 0 holds the span of every 8 points, each level
// above the span of 8 blocks of the one below. Blocks sit at fixed places counted from the
// series' first point ever (its absolute index), so dropping the oldest points moves none of
// them; blocks wholly before the oldest point are given back at once. About 2.3 bytes a point
// in all. Points whose value is not finite (gaps) are listed by absolute index, so that a
// redraw sees where the line breaks.
//
// Each point also has a time, in ms since 1970, for a time axis. Times never go back, so that
// they can be searched like keys. They take about 2.3 bytes a point: the step from the point
// before, in 16 bits (a longer step is kept whole on the side), and every 32nd point's time
// whole, so that a time is found with at most 31 additions.
class TSeriesData : public QCPGraphDataContainer {
public:
    static constexpr int Fanout = 8;

    TSeriesData();

    // Appends a point; keys at or after the last one cost a plain append. A time before the
    // last point's counts as the last point's; a point given no time stands at the time of
    // the point before.
    void Append(double key, double value, std::optional<std::int64_t> timeMs = std::nullopt);
    // Drops the oldest points while more than maxPoints remain.
    void LimitTo(int maxPoints);
    // Drops every point and gives the memory back.
    void Clear();

    // The smallest and largest finite value; found is false when there is none.
    QCPRange ValueSpan(bool& found) const;
    // The memory that holds the points and their summary, in bytes.
    std::size_t AllocatedBytes() const;

    // The absolute index of the point at container index 0.
    std::int64_t FirstIndex() const { return FDropped; }
    // The span of the finite values of the points [from, to), in container indices, found
    // through the summary. Below topLevel only the ragged ends are read; at topLevel (0 for
    // the points, n for the blocks of Fanout^n points) every block between them is. Spans
    // asked for one after the other then read that level in order, which the processor fetches
    // ahead by itself, instead of a few scattered blocks of each level above.
    TValueSpan Span(int from, int to, int topLevel = std::numeric_limits<int>::max()) const;
    // The top level for spans of about this many points: blocks of at most a quarter of it.
    static int TopLevelFor(double points);
    // Asks the processor to fetch what Span, up to topLevel, and a search of keys read around a
    // container index, so that the reads of a span ahead overlap the waits of the one at hand.
    void Prefetch(int index, int topLevel) const;
    // Whether a point in [from, to), in container indices, has a value that is not finite.
    bool HasGap(int from, int to) const;

    // The time of the point at a container index, ms since 1970.
    std::int64_t TimeAt(int index) const;
    // The container index of the first point whose time is at or after timeMs; size() when
    // there is none.
    int FirstAtOrAfter(std::int64_t timeMs) const;

private:
    // The blocks of one level, oldest first, in one piece of memory: a redraw reads them at
    // scattered places, where a deque's lookup of its chunk costs as much as the read. The
    // space of dropped blocks is reused by moving the rest down once it is an eighth of them,
    // and the memory grows by an eighth at a time: about 1.125 times the blocks.
    class TBlocks {
    public:
        bool Empty() const { return FFront == FBlocks.size(); }
        std::size_t Size() const { return FBlocks.size() - FFront; }
        const TValueSpan& operator[](std::size_t index) const { return FBlocks[FFront + index]; }
        void PushBack(const TValueSpan& block);
        // Drops the oldest block; once more are dropped than kept, as when a limit is lowered,
        // the memory is given back.
        void PopFront();
        std::size_t AllocatedBytes() const { return FBlocks.capacity() * sizeof(TValueSpan); }

    private:
        std::vector<TValueSpan> FBlocks;
        std::size_t FFront = 0; // blocks before it are dropped
        // Moves the blocks kept into memory for them and an eighth more.
        void Reallocate();
    };
    struct TLevel {
        TBlocks Blocks;
        std::int64_t First = 0; // the block number of Blocks[0]
    };

    void RemoveOldest(int count);
    // Moves the points to the front of the buffer, over the space of dropped ones.
    void Reclaim();
    // Gives back the summary blocks that lie wholly before the oldest point.
    void DropStaleSummary();
    double ValueAt(std::int64_t absolute) const {
        return (constBegin() + (absolute - FDropped))->value;
    }

    int FLimit = 0;                 // the last point limit applied; 0 for none
    std::int64_t FDropped = 0;      // points dropped from the front since the series began
    std::int64_t FAppended = 0;     // points appended since the series began
    std::vector<TLevel> FLevels;    // from the finest; a handful, searched at every probe
    std::deque<std::int64_t> FGaps; // absolute indices of values that are not finite

    static constexpr int TimeMarkSpacing = 32;
    // A step too long for 16 bits: its length is in FLongSteps.
    static constexpr std::uint16_t LongStep = 0xFFFF;
    void AppendTime(std::optional<std::int64_t> timeMs);
    void DropOldestTimes(std::int64_t dropped);
    std::int64_t StepBefore(std::int64_t absolute) const;
    // By absolute index from FDropped: each point's step from the point before, ms.
    std::deque<std::uint16_t> FTimeSteps;
    // Steps of LongStep or more: absolute index and length.
    std::deque<std::pair<std::int64_t, std::int64_t>> FLongSteps;
    // The time of every point whose absolute index is a multiple of TimeMarkSpacing, from
    // mark number FFirstMark on; marks before the oldest point are given back.
    std::deque<std::int64_t> FTimeMarks;
    std::int64_t FFirstMark = 0;
    std::int64_t FOldestTime = 0; // of the point at container index 0
    std::int64_t FNewestTime = 0; // of the last point appended
};
