#include "app/ChartSeries.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

TSeriesData::TSeriesData() {
    // Dropping points is ours to manage; the library's own squeezing would reallocate.
    setAutoSqueeze(false);
}

void TSeriesData::Append(double key, double value) {
    // A full buffer with dropped points at its front is compacted rather than grown.
    if (mPreallocSize > 0 && mData.size() == mData.capacity())
        Reclaim();
    add(QCPGraphData(key, value));
    // Values that are not numbers are drawn as gaps and take no part in the span.
    if (FSpanValid && std::isfinite(value)) {
        FMin = std::min(FMin, value);
        FMax = std::max(FMax, value);
    }
}

void TSeriesData::LimitTo(int maxPoints) {
    if (maxPoints <= 0)
        return;
    FLimit = maxPoints;
    if (size() <= maxPoints)
        return;
    RemoveOldest(size() - maxPoints);
    // A limit lowered by much leaves more dropped room than points: give it back now.
    if (mPreallocSize > std::max(size(), 1024))
        Reclaim();
}

void TSeriesData::RemoveOldest(int count) {
    count = std::min(count, size());
    if (FSpanValid) {
        for (auto it = constBegin(); it != constBegin() + count; ++it) {
            if (it->value <= FMin || it->value >= FMax) {
                FSpanValid = false;
                break;
            }
        }
    }
    // The container keeps the space of dropped front points as free room before the first.
    mPreallocSize += count;
}

void TSeriesData::Reclaim() {
    const qsizetype used = size();
    // Room for an eighth of the limit: compacting then costs about eight moves per point.
    const qsizetype room = std::max<qsizetype>(FLimit / 8, 64);
    const qsizetype wanted = std::max<qsizetype>(used, FLimit) + room;
    const qsizetype capacity = mData.capacity();
    if (capacity - used < room || capacity > wanted + room) {
        QVector<QCPGraphData> fresh;
        fresh.reserve(wanted);
        std::copy(constBegin(), constEnd(), std::back_inserter(fresh));
        mData.swap(fresh);
    } else {
        std::copy(constBegin(), constEnd(), mData.begin());
        mData.resize(used);
    }
    mPreallocSize = 0;
    mPreallocIteration = 0;
}

void TSeriesData::Clear() {
    clear();
    mData.squeeze();
    FMin = std::numeric_limits<double>::infinity();
    FMax = -FMin;
    FSpanValid = true;
}

QCPRange TSeriesData::ValueSpan(bool& found) {
    if (!FSpanValid) {
        FMin = std::numeric_limits<double>::infinity();
        FMax = -FMin;
        for (auto it = constBegin(); it != constEnd(); ++it) {
            if (std::isfinite(it->value)) {
                FMin = std::min(FMin, it->value);
                FMax = std::max(FMax, it->value);
            }
        }
        FSpanValid = true;
    }
    found = FMin <= FMax;
    return found ? QCPRange(FMin, FMax) : QCPRange();
}

std::size_t TSeriesData::AllocatedBytes() const {
    return std::size_t(mData.capacity()) * sizeof(QCPGraphData);
}
