#pragma once

#include <qcustomplot.h>

#include <cstddef>
#include <limits>

// The points of one chart series, kept in the charting library's own container so that the
// graph draws them without a copy. Points arrive in key order and leave from the front by
// count: several points may share a key, so a key-based removal could take more than the
// oldest ones. With a point limit the memory stays near 16 bytes per point: the space of
// dropped points is reused in place instead of letting the buffer grow.
class TSeriesData : public QCPGraphDataContainer {
public:
    TSeriesData();

    // Appends a point; keys at or after the last one cost a plain append.
    void Append(double key, double value);
    // Drops the oldest points while more than maxPoints remain.
    void LimitTo(int maxPoints);
    // Drops every point and gives the memory back.
    void Clear();

    // The smallest and largest value, kept up to date without a scan while points are only
    // added; found is false for an empty series.
    QCPRange ValueSpan(bool& found);
    // The memory that holds the points, in bytes.
    std::size_t AllocatedBytes() const;

private:
    void RemoveOldest(int count);
    // Moves the points to the front of the buffer, over the space of dropped ones.
    void Reclaim();

    int FLimit = 0; // the last point limit applied; 0 for none
    // The span of the finite values; empty while FMin > FMax.
    double FMin = std::numeric_limits<double>::infinity();
    double FMax = -std::numeric_limits<double>::infinity();
    bool FSpanValid = true; // false once a dropped point may have been the smallest or largest
};
