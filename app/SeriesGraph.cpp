#include "app/SeriesGraph.h"

#include "app/ChartSeries.h"

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
    QCPGraph::draw(painter);
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

void TSeriesGraph::getOptimizedLineData(QVector<QCPGraphData>* lineData,
                                        const QCPGraphDataContainer::const_iterator& begin,
                                        const QCPGraphDataContainer::const_iterator& end) const {
    const TSeriesData* series =
        FSeriesData.data() == mDataContainer.data() ? FSeriesData.data() : nullptr;
    const double columns =
        keyAxis()->axisRect()->size().width() *
        std::abs(keyAxis()->orientation() == Qt::Horizontal ? FDevice.m11() : FDevice.m22());
    lineData->clear();
    if (!series || FVectorized || end - begin < 2) {
        QCPGraph::getOptimizedLineData(lineData, begin, end);
        return;
    }
    if (double(end - begin) <= columns) {
        lineData->reserve(int(end - begin));
        std::copy(begin, end, std::back_inserter(*lineData));
        return;
    }
    const int first = int(begin - series->constBegin());
    const int last = int(end - series->constBegin());
    const bool rising = Column(begin->key) <= Column((end - 1)->key);
    // Whether a key lies in the given column or one before it.
    const auto notPast = [&](double key, double column) {
        const double at = Column(key);
        return rising ? at <= column : at >= column;
    };
    // A column is drawn from its points while that is as cheap as its summary.
    constexpr int FewPoints = 4;
    const int perColumn = std::max(1, int(double(last - first) / columns));
    lineData->reserve(int(std::min(double(last - first), 4 * columns + 16)));
    for (int from = first; from < last;) {
        const double column = Column((series->constBegin() + from)->key);
        // The column's end, found by galloping from the points a column holds on average.
        int inside = from;
        std::int64_t step = perColumn;
        int outside = int(std::min<std::int64_t>(from + step, last));
        while (outside < last && notPast((series->constBegin() + outside)->key, column)) {
            inside = outside;
            step *= 2;
            outside = int(std::min<std::int64_t>(from + step, last));
        }
        const auto columnEnd = std::partition_point(
            series->constBegin() + inside + 1, series->constBegin() + outside,
            [&](const QCPGraphData& point) { return notPast(point.key, column); });
        const int to = int(columnEnd - series->constBegin());
        const double key = ColumnKey(column);
        if (!FSummarised || to - from <= FewPoints || series->HasGap(from, to)) {
            for (int i = from; i < to; ++i)
                lineData->append(QCPGraphData(key, (series->constBegin() + i)->value));
        } else {
            // The order of the extremes does not matter: every point lies between them, so
            // the segments cover the column from the smallest to the largest value either way.
            const TValueSpan span = series->Span(from, to);
            lineData->append(QCPGraphData(key, (series->constBegin() + from)->value));
            lineData->append(QCPGraphData(key, span.Min));
            lineData->append(QCPGraphData(key, span.Max));
            lineData->append(QCPGraphData(key, (series->constBegin() + to - 1)->value));
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
    // As the library draws on the screen: a 1-pixel pen as a cosmetic one, and one segment at
    // a time, which an image export then does as well. Segments, unlike a polyline's joins,
    // each cover what they cover whatever comes before and after, so the columns' shortcut
    // covers what every point would.
    if (qFuzzyCompare(pen.widthF(), 1.0)) {
        QPen cosmetic = pen;
        cosmetic.setWidth(0);
        painter->setPen(cosmetic);
    }
    for (int i = 1; i < lines.size(); ++i)
        if (Finite(lines[i - 1]) && Finite(lines[i]))
            painter->drawLine(lines[i - 1], lines[i]);
}
