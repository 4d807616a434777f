#pragma once

#include <qcustomplot.h>

#include <cstddef>
#include <cstdint>
#include <deque>

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
class TSeriesData : public QCPGraphDataContainer {
public:
    static constexpr int Fanout = 8;

    TSeriesData();

    // Appends a point; keys at or after the last one cost a plain append.
    void Append(double key, double value);
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
    // through the summary.
    TValueSpan Span(int from, int to) const;
    // Whether a point in [from, to), in container indices, has a value that is not finite.
    bool HasGap(int from, int to) const;

private:
    struct TLevel {
        std::deque<TValueSpan> Blocks;
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

    int FLimit = 0;             // the last point limit applied; 0 for none
    std::int64_t FDropped = 0;  // points dropped from the front since the series began
    std::int64_t FAppended = 0; // points appended since the series began
    std::deque<TLevel> FLevels;
    std::deque<std::int64_t> FGaps; // absolute indices of values that are not finite
};
