#include "app/ChartSeries.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

namespace {

constexpr double Infinity = std::numeric_limits<double>::infinity();
constexpr TValueSpan NoSpan{Infinity, -Infinity};

// Comparisons with NaN are false, so a gap never enters a span.
void Widen(TValueSpan& span, double value) {
    if (value < span.Min)
        span.Min = value;
    if (value > span.Max)
        span.Max = value;
}

void Widen(TValueSpan& span, const TValueSpan& other) {
    span.Min = std::min(span.Min, other.Min);
    span.Max = std::max(span.Max, other.Max);
}

} // namespace

TSeriesData::TSeriesData() {
    // Dropping points is ours to manage; the library's own squeezing would reallocate.
    setAutoSqueeze(false);
}

void TSeriesData::Append(double key, double value, std::optional<std::int64_t> timeMs) {
    // A full buffer with dropped points at its front is compacted rather than grown.
    if (mPreallocSize > 0 && mData.size() == mData.capacity())
        Reclaim();
    add(QCPGraphData(key, value));
    AppendTime(timeMs);
    if (!std::isfinite(value))
        FGaps.push_back(FAppended);
    ++FAppended;
    // Each block that the point completes is summed up, and so on upwards: amortised, 1/7 of
    // a block per point.
    std::int64_t done = FAppended;
    for (std::size_t level = 0; done % Fanout == 0; ++level) {
        done /= Fanout;
        if (level == FLevels.size())
            FLevels.emplace_back();
        TValueSpan block = NoSpan;
        // Under a small limit the block's oldest parts may be gone already; it then stands
        // for a stretch that no query asks for, since every query lies within the live points.
        const std::int64_t end = done * Fanout; // of the level below
        if (level == 0) {
            for (std::int64_t i = std::max(end - Fanout, FDropped); i < end; ++i)
                Widen(block, ValueAt(i));
        } else {
            const TLevel& below = FLevels[level - 1];
            for (std::int64_t b = std::max(end - Fanout, below.First); b < end; ++b)
                Widen(block, below.Blocks[std::size_t(b - below.First)]);
        }
        TLevel& here = FLevels[level];
        if (here.Blocks.Empty())
            here.First = done - 1;
        here.Blocks.PushBack(block);
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
    DropOldestTimes(count);
    // The container keeps the space of dropped front points as free room before the first.
    mPreallocSize += count;
    FDropped += count;
    while (!FGaps.empty() && FGaps.front() < FDropped)
        FGaps.pop_front();
    DropStaleSummary();
}

void TSeriesData::DropStaleSummary() {
    std::int64_t blockSize = Fanout;
    for (TLevel& level : FLevels) {
        // Blocks ending at or before the oldest point are never asked for again.
        for (; !level.Blocks.Empty() && (level.First + 1) * blockSize <= FDropped; ++level.First)
            level.Blocks.PopFront();
        blockSize *= Fanout;
    }
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
    FDropped = 0;
    FAppended = 0;
    FLevels.clear();
    FLevels.shrink_to_fit();
    FGaps.clear();
    FGaps.shrink_to_fit();
    FTimeSteps.clear();
    FTimeSteps.shrink_to_fit();
    FLongSteps.clear();
    FLongSteps.shrink_to_fit();
    FTimeMarks.clear();
    FTimeMarks.shrink_to_fit();
    FFirstMark = 0;
    FOldestTime = 0;
    FNewestTime = 0;
}

void TSeriesData::AppendTime(std::optional<std::int64_t> timeMs) {
    const std::int64_t absolute = FAppended; // of the point just added
    const bool alone = absolute == FDropped;
    const std::int64_t time =
        alone ? timeMs.value_or(FNewestTime) : std::max(timeMs.value_or(FNewestTime), FNewestTime);
    const std::int64_t step = alone ? 0 : time - FNewestTime;
    if (step >= LongStep)
        FLongSteps.emplace_back(absolute, step);
    FTimeSteps.push_back(std::uint16_t(std::min<std::int64_t>(step, LongStep)));
    if (alone)
        FOldestTime = time;
    if (absolute % TimeMarkSpacing == 0) {
        if (FTimeMarks.empty())
            FFirstMark = absolute / TimeMarkSpacing;
        FTimeMarks.push_back(time);
    }
    FNewestTime = time;
}

std::int64_t TSeriesData::StepBefore(std::int64_t absolute) const {
    const std::uint16_t step = FTimeSteps[std::size_t(absolute - FDropped)];
    if (step != LongStep)
        return step;
    return std::lower_bound(FLongSteps.begin(), FLongSteps.end(), absolute,
                            [](const auto& entry, std::int64_t at) { return entry.first < at; })
        ->second;
}

void TSeriesData::DropOldestTimes(std::int64_t count) {
    const std::int64_t oldest = FDropped + count;
    for (std::int64_t i = FDropped + 1; i <= oldest && i < FAppended; ++i)
        FOldestTime += StepBefore(i);
    FTimeSteps.erase(FTimeSteps.begin(), FTimeSteps.begin() + count);
    while (!FLongSteps.empty() && FLongSteps.front().first <= oldest)
        FLongSteps.pop_front();
    for (; !FTimeMarks.empty() && FFirstMark * TimeMarkSpacing < oldest; ++FFirstMark)
        FTimeMarks.pop_front();
}

std::int64_t TSeriesData::TimeAt(int index) const {
    const std::int64_t absolute = FDropped + index;
    const std::int64_t mark = absolute / TimeMarkSpacing;
    // From the point's mark, or from the oldest point when its mark has gone.
    std::int64_t at = FDropped;
    std::int64_t time = FOldestTime;
    if (mark >= FFirstMark && mark - FFirstMark < std::int64_t(FTimeMarks.size())) {
        at = mark * TimeMarkSpacing;
        time = FTimeMarks[std::size_t(mark - FFirstMark)];
    }
    while (at < absolute)
        time += StepBefore(++at);
    return time;
}

int TSeriesData::FirstAtOrAfter(std::int64_t timeMs) const {
    if (isEmpty() || timeMs <= FOldestTime)
        return 0;
    if (timeMs > FNewestTime)
        return size();
    // From the last mark before timeMs; the point sought lies before the next mark.
    auto mark = std::lower_bound(FTimeMarks.begin(), FTimeMarks.end(), timeMs);
    std::int64_t at = FDropped;
    std::int64_t time = FOldestTime;
    if (mark != FTimeMarks.begin()) {
        --mark;
        at = (FFirstMark + (mark - FTimeMarks.begin())) * TimeMarkSpacing;
        time = *mark;
    }
    while (time < timeMs)
        time += StepBefore(++at);
    return int(at - FDropped);
}

TValueSpan TSeriesData::Span(int from, int to, int topLevel) const {
    TValueSpan span = NoSpan;
    std::int64_t lo = FDropped + from;
    std::int64_t hi = FDropped + to;
    // The ragged ends of each level are taken from the level below (at the bottom, the
    // points); the whole blocks between them from the level above.
    const auto visit = [&](std::size_t level, std::int64_t index) {
        if (level == 0) {
            Widen(span, ValueAt(index));
        } else {
            const TLevel& blocks = FLevels[level - 1];
            Widen(span, blocks.Blocks[std::size_t(index - blocks.First)]);
        }
    };
    for (std::size_t level = 0; lo < hi; ++level) {
        if (level == FLevels.size() || int(level) >= topLevel || hi - lo < Fanout) {
            for (; lo < hi; ++lo)
                visit(level, lo);
            break;
        }
        for (; lo % Fanout != 0; ++lo)
            visit(level, lo);
        for (; hi % Fanout != 0; --hi)
            visit(level, hi - 1);
        lo /= Fanout;
        hi /= Fanout;
    }
    return span;
}

int TSeriesData::TopLevelFor(double points) {
    int level = 0;
    for (double block = Fanout; 4 * block <= points; block *= Fanout)
        ++level;
    return level;
}

void TSeriesData::Prefetch(int index, int topLevel) const {
    if (index < 0 || index >= size())
        return;
    // The points and blocks that a span ending or starting there reads: the group of Fanout
    // around it, at each level that its ragged ends are read from. Of a group, its first and
    // last item are fetched, of `count` items counted from item number `first`.
    const auto fetchGroup = [](const auto* items, std::int64_t count, std::int64_t first,
                               std::int64_t at) {
        const std::int64_t start = at / Fanout * Fanout - first;
        for (const std::int64_t item : {start, start + Fanout - 1})
            if (item >= 0 && item < count)
                __builtin_prefetch(items + item);
    };
    std::int64_t at = FDropped + index;
    fetchGroup(&*constBegin(), size(), FDropped, at);
    const std::size_t levels = std::min(std::size_t(std::max(topLevel - 1, 0)), FLevels.size());
    for (std::size_t level = 0; level < levels; ++level) {
        at /= Fanout;
        const TBlocks& blocks = FLevels[level].Blocks;
        if (!blocks.Empty())
            fetchGroup(&blocks[0], std::int64_t(blocks.Size()), FLevels[level].First, at);
    }
}

bool TSeriesData::HasGap(int from, int to) const {
    const auto first = std::lower_bound(FGaps.begin(), FGaps.end(), FDropped + from);
    return first != FGaps.end() && *first < FDropped + to;
}

QCPRange TSeriesData::ValueSpan(bool& found) const {
    const TValueSpan span = Span(0, size());
    found = !span.Empty();
    return found ? QCPRange(span.Min, span.Max) : QCPRange();
}

void TSeriesData::TBlocks::PushBack(const TValueSpan& block) {
    if (FBlocks.size() == FBlocks.capacity()) {
        // About eight moves for each block dropped, or each added: amortised O(1).
        if (FFront > 0 && FFront >= Size() / 8) {
            FBlocks.erase(FBlocks.begin(), FBlocks.begin() + std::ptrdiff_t(FFront));
            FFront = 0;
        } else {
            Reallocate();
        }
    }
    FBlocks.push_back(block);
}

void TSeriesData::TBlocks::PopFront() {
    ++FFront;
    if (FFront > Size() + Fanout)
        Reallocate();
}

void TSeriesData::TBlocks::Reallocate() {
    const std::size_t kept = Size();
    std::vector<TValueSpan> fresh;
    fresh.reserve(kept + kept / 8 + Fanout);
    fresh.assign(FBlocks.begin() + std::ptrdiff_t(FFront), FBlocks.end());
    FBlocks.swap(fresh);
    FFront = 0;
}

std::size_t TSeriesData::AllocatedBytes() const {
    // A deque holds its elements in chunks of 512 bytes, behind a map of chunk pointers; an
    // empty one holds next to nothing.
    const auto dequeBytes = [](const auto& deque) -> std::size_t {
        constexpr std::size_t Chunk = 512;
        if (deque.empty())
            return 0;
        return (deque.size() * sizeof(deque.front()) / Chunk + 1) * (Chunk + sizeof(void*));
    };
    std::size_t bytes = std::size_t(mData.capacity()) * sizeof(QCPGraphData);
    for (const TLevel& level : FLevels)
        bytes += level.Blocks.AllocatedBytes();
    return bytes + dequeBytes(FGaps) + dequeBytes(FTimeSteps) + dequeBytes(FLongSteps) +
           dequeBytes(FTimeMarks);
}
