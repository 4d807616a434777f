#include "app/SeriesGraph.h"

#include "app/ChartSeries.h"
#include "app/TimeAxis.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

// Comparisons with NaN are false, so a gap is no segment end.
bool Finite(const QPointF& point) {
    return std::isfinite(point.x()) && std::isfinite(point.y());
}

} // namespace

TSeriesGraph::TSeriesGraph(QCPAxis* keyAxis, QCPAxis* valueAxis)
    : QCPGraph(keyAxis, valueAxis) {}

void TSeriesGraph::SetSeriesData(const QSharedPointer<TSeriesData>& data) {
    FSeriesData = data;
    setData(data);
}

void TSeriesGraph::draw(QCPPainter* painter) {
    // The columns are those of the device drawn on: the screen's pixels at its pixel ratio,
    // or an image's at its scale.
    FDevice = painter->deviceTransform();
    FVectorized = painter->modes().testFlag(QCPPainter::pmVectorized);
    if (!ByTime()) {
        QCPGraph::draw(painter);
        return;
    }
    // The library finds the points in view by their keys; by time they are found here, and
    // drawn as the library draws a line (these charts select nothing and fill nothing).
    const QCPRange range = keyAxis()->range();
    if (range.size() <= 0 || dataCount() == 0 || mLineStyle == lsNone)
        return;
    const int first = findBegin(range.lower);
    const int last = findEnd(range.upper);
    QVector<QCPGraphData> lineData;
    if (FVectorized) {
        lineData.reserve(last - first);
        for (int i = first; i < last; ++i)
            lineData.append(QCPGraphData(KeyAt(i), (mDataContainer->constBegin() + i)->value));
    } else {
        ColumnLineData(&lineData, first, last);
    }
    if (keyAxis()->rangeReversed() != (keyAxis()->orientation() == Qt::Vertical))
        std::reverse(lineData.begin(), lineData.end());
    painter->setPen(mPen);
    painter->setBrush(Qt::NoBrush);
    drawLinePlot(painter, dataToLines(lineData));
}

double TSeriesGraph::Column(double key) const {
    const double pixel = keyAxis()->coordToPixel(key);
    return std::round(keyAxis()->orientation() == Qt::Horizontal
                          ? pixel * FDevice.m11() + FDevice.dx()
                          : pixel * FDevice.m22() + FDevice.dy());
}

double TSeriesGraph::ColumnKey(double column) const {
    return keyAxis()->pixelToCoord(keyAxis()->orientation() == Qt::Horizontal
                                       ? (column - FDevice.dx()) / FDevice.m11()
                                       : (column - FDevice.dy()) / FDevice.m22());
}

void TSeriesGraph::SetByTime(bool byTime, std::int64_t originMs) {
    FByTime = byTime;
    FOriginMs = originMs;
}

double TSeriesGraph::KeyAt(int index) const {
    return ByTime() ? TimeKey(FSeriesData->TimeAt(index), FOriginMs)
                    : (mDataContainer->constBegin() + index)->key;
}

double TSeriesGraph::dataMainKey(int index) const {
    return ByTime() ? KeyAt(index) : QCPGraph::dataMainKey(index);
}

double TSeriesGraph::dataSortKey(int index) const {
    return ByTime() ? KeyAt(index) : QCPGraph::dataSortKey(index);
}

// As the library's: the first point at or after sortKey, or with expandedRange the one before.
int TSeriesGraph::findBegin(double sortKey, bool expandedRange) const {
    if (!ByTime())
        return QCPGraph::findBegin(sortKey, expandedRange);
    const int index =
        FSeriesData->FirstAtOrAfter(std::int64_t(std::ceil(KeyTime(sortKey, FOriginMs))));
    return expandedRange && index > 0 ? index - 1 : index;
}

// As the library's: the first point after sortKey, or with expandedRange the one after that.
int TSeriesGraph::findEnd(double sortKey, bool expandedRange) const {
    if (!ByTime())
        return QCPGraph::findEnd(sortKey, expandedRange);
    const int index =
        FSeriesData->FirstAtOrAfter(std::int64_t(std::floor(KeyTime(sortKey, FOriginMs))) + 1);
    return expandedRange && index < dataCount() ? index + 1 : index;
}

QCPRange TSeriesGraph::getKeyRange(bool& foundRange, QCP::SignDomain inSignDomain) const {
    if (!ByTime())
        return QCPGraph::getKeyRange(foundRange, inSignDomain);
    foundRange = dataCount() > 0;
    return foundRange ? QCPRange(KeyAt(0), KeyAt(dataCount() - 1)) : QCPRange();
}

void TSeriesGraph::getOptimizedLineData(QVector<QCPGraphData>* lineData,
                                        const QCPGraphDataContainer::const_iterator& begin,
                                        const QCPGraphDataContainer::const_iterator& end) const {
    if (FSeriesData.data() != mDataContainer.data() || FVectorized) {
        QCPGraph::getOptimizedLineData(lineData, begin, end);
        return;
    }
    ColumnLineData(lineData, int(begin - mDataContainer->constBegin()),
                   int(end - mDataContainer->constBegin()));
}

void TSeriesGraph::ColumnLineData(QVector<QCPGraphData>* lineData, int first, int last) const {
    const TSeriesData& series = *FSeriesData;
    const double columns =
        keyAxis()->axisRect()->size().width() *
        std::abs(keyAxis()->orientation() == Qt::Horizontal ? FDevice.m11() : FDevice.m22());
    const auto keyAt = [&](int index) { return KeyAt(index); };
    const auto valueAt = [&](int index) { return (series.constBegin() + index)->value; };
    lineData->clear();
    if (double(last - first) <= columns) {
        lineData->reserve(last - first);
        for (int i = first; i < last; ++i)
            lineData->append(QCPGraphData(keyAt(i), valueAt(i)));
        return;
    }
    const double lastKey = keyAt(last - 1);
    const bool rising = Column(keyAt(first)) <= Column(lastKey);
    // Whether a key lies in the given column or one before it.
    const auto notPast = [&](double key, double column) {
        const double at = Column(key);
        return rising ? at <= column : at >= column;
    };
    // A column is drawn from its points while that is as cheap as its summary.
    constexpr int FewPoints = 4;
    lineData->reserve(int(std::min(double(last - first), 4 * columns + 16)));
    for (int from = first; from < last;) {
        const double column = Column(keyAt(from));
        // The column's end: first guessed from the key at its far edge, as if the keys were
        // evenly spread (as a run makes them), then found by galloping from the guess; this
        // touches a few points near the end instead of a binary search's scattered ones.
        const double edge = ColumnKey(column + (rising ? 0.5 : -0.5));
        const double spread = lastKey - keyAt(from);
        const double share = spread > 0 ? (edge - keyAt(from)) / spread : 1.0;
        int guess = from + 1 + int(std::clamp(share, 0.0, 1.0) * double(last - from - 1));
        guess = std::min(guess, last);
        int inside = from;
        int outside = last;
        std::int64_t step = 1;
        if (guess < last && notPast(keyAt(guess), column)) {
            inside = guess;
            while (true) {
                const int probe = int(std::min<std::int64_t>(guess + step, last));
                if (probe == last || !notPast(keyAt(probe), column)) {
                    outside = probe;
                    break;
                }
                inside = probe;
                step *= 2;
            }
        } else {
            outside = guess;
            while (true) {
                const int probe = int(std::max<std::int64_t>(guess - step, from));
                if (probe == from || notPast(keyAt(probe), column)) {
                    inside = probe;
                    break;
                }
                outside = probe;
                step *= 2;
            }
        }
        // The first index past the column, between inside and outside.
        while (outside - inside > 1) {
            const int middle = inside + (outside - inside) / 2;
            (notPast(keyAt(middle), column) ? inside : outside) = middle;
        }
        const int to = outside;
        const double key = ColumnKey(column);
        if (!FSummarised || to - from <= FewPoints || series.HasGap(from, to)) {
            for (int i = from; i < to; ++i)
                lineData->append(QCPGraphData(key, valueAt(i)));
        } else {
            // The order of the extremes does not matter: every point lies between them, so
            // the segments cover the column from the smallest to the largest value either way.
            const TValueSpan span = series.Span(from, to);
            lineData->append(QCPGraphData(key, valueAt(from)));
            lineData->append(QCPGraphData(key, span.Min));
            lineData->append(QCPGraphData(key, span.Max));
            lineData->append(QCPGraphData(key, valueAt(to - 1)));
        }
        from = to;
    }
}

void TSeriesGraph::drawLinePlot(QCPPainter* painter, const QVector<QPointF>& lines) const {
    const QPen pen = painter->pen();
    if (FVectorized || pen.style() != Qt::SolidLine) {
        QCPGraph::drawLinePlot(painter, lines);
        return;
    }
    if (pen.color().alpha() == 0)
        return;
    applyDefaultAntialiasingHint(painter);
    // A 1-pixel pen as a cosmetic one, as the library draws on the screen.
    if (qFuzzyCompare(pen.widthF(), 1.0)) {
        QPen cosmetic = pen;
        cosmetic.setWidth(0);
        painter->setPen(cosmetic);
    }
    // Segments rather than a polyline, as the library draws on the screen, which an image
    // export then does as well; but the points of one pixel column (sharing their x) as one
    // stroke from the lowest to the highest. That covers what their zigzag covers, and it is
    // the same stroke whether every point of the column is drawn or only its summary, so the
    // two give the same pixels (a zigzag and its summary, stroked segment by segment, were
    // seen to differ at a column's ends). All go to the painter at once: one call per segment
    // would cost more than the stroking.
    QVector<QLineF> segments;
    segments.reserve(lines.size());
    for (int i = 0; i < lines.size();) {
        if (!Finite(lines[i])) {
            ++i;
            continue;
        }
        double low = lines[i].y();
        double high = low;
        int next = i + 1;
        for (; next < lines.size() && Finite(lines[next]) && lines[next].x() == lines[i].x();
             ++next) {
            low = std::min(low, lines[next].y());
            high = std::max(high, lines[next].y());
        }
        if (next - i > 1)
            segments.append(QLineF(lines[i].x(), low, lines[i].x(), high));
        if (next < lines.size() && Finite(lines[next]))
            segments.append(QLineF(lines[next - 1], lines[next]));
        i = next;
    }
    painter->drawLines(segments);
}
