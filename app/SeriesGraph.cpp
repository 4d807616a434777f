#include "app/SeriesGraph.h"

#include "app/ChartSeries.h"
#include "app/TimeAxis.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace {

// Comparisons with NaN are false, so a gap is no segment end.
bool Finite(const QPointF& point) {
    return std::isfinite(point.x()) && std::isfinite(point.y());
}

// The points of one pixel column (sharing their x), in the plot's coordinates.
struct TColumnStroke {
    double X;
    double Low;
    double High;
    double First; // the value of its first point
    double Last;  // the value of its last point
    int Points;
    bool Joined; // a segment goes from its last point to the next column's first
};

// The columns of a line, in order; points that are not finite break it.
std::vector<TColumnStroke> ColumnStrokes(const QVector<QPointF>& lines) {
    std::vector<TColumnStroke> columns;
    for (int i = 0; i < lines.size();) {
        if (!Finite(lines[i])) {
            ++i;
            continue;
        }
        TColumnStroke column{
            lines[i].x(), lines[i].y(), lines[i].y(), lines[i].y(), lines[i].y(), 1, false};
        int next = i + 1;
        for (; next < lines.size() && Finite(lines[next]) && lines[next].x() == column.X; ++next) {
            column.Low = std::min(column.Low, lines[next].y());
            column.High = std::max(column.High, lines[next].y());
        }
        column.Points = next - i;
        column.Last = lines[next - 1].y();
        column.Joined = next < lines.size() && Finite(lines[next]);
        columns.push_back(column);
        i = next;
    }
    return columns;
}

// The device pixels of columns' vertical strokes, gathered to be filled at once: the rows a
// stroke covers wholly, and the rows it covers in part with their coverage (0..255).
struct TColumnFill {
    QVector<QRect> Solid;
    std::vector<std::pair<int, QRect>> Partial;
};

// Device pixels of fills, put together before they are drawn: each pixel blended over what
// the fills before it left, as the rasterizer blends them onto the device. The memory is kept
// for the next draw, since a redraw puts together one image a series.
class TFillImage {
public:
    explicit TFillImage(const QRect& area)
        : FArea(area) {
        static thread_local std::vector<QRgb> pixels;
        const std::size_t count = std::size_t(area.width()) * std::size_t(area.height());
        if (pixels.size() < count)
            pixels.resize(count);
        std::fill_n(pixels.begin(), count, QRgb(0));
        FPixels = pixels.data();
    }

    // Blends a premultiplied colour over the pixels of the rectangle, where it meets the area.
    void Blend(const QRect& rect, QRgb color) {
        const QRect area = rect & FArea;
        if (area.isEmpty())
            return;
        const std::size_t stride = std::size_t(FArea.width());
        QRgb* row = FPixels + std::size_t(area.top() - FArea.top()) * stride +
                    std::size_t(area.left() - FArea.left());
        const int width = area.width();
        if (qAlpha(color) == 255) {
            for (int y = area.height(); y > 0; --y, row += stride)
                std::fill_n(row, width, color);
            return;
        }
        for (int y = area.height(); y > 0; --y, row += stride)
            for (int x = 0; x < width; ++x)
                row[x] = Over(color, row[x]);
    }

    // The pixels as an image, valid until the next TFillImage.
    QImage Image() const {
        return QImage(reinterpret_cast<const uchar*>(FPixels), FArea.width(), FArea.height(),
                      qsizetype(FArea.width()) * qsizetype(sizeof(QRgb)),
                      QImage::Format_ARGB32_Premultiplied);
    }

private:
    // Source over, premultiplied: each channel of the source plus the rest of the one below.
    static QRgb Over(QRgb source, QRgb below) {
        const unsigned rest = 255 - unsigned(qAlpha(source));
        const auto channel = [rest](unsigned s, unsigned b) { return s + (b * rest + 127) / 255; };
        return qRgba(int(channel(unsigned(qRed(source)), unsigned(qRed(below)))),
                     int(channel(unsigned(qGreen(source)), unsigned(qGreen(below)))),
                     int(channel(unsigned(qBlue(source)), unsigned(qBlue(below)))),
                     int(channel(unsigned(qAlpha(source)), unsigned(qAlpha(below)))));
    }

    QRect FArea;
    QRgb* FPixels = nullptr;
};

// Where a painter maps a column's vertical stroke onto whole device pixel columns, the stroke
// is that many pixel columns over the rows it covers: filled as rectangles, it gives what the
// stroke gives without the stroker's cost per row, which is what a redraw spends its time on.
// Elsewhere (odd pen widths, round ends, rotated or sheared painters) the strokes stay strokes.
class TColumnPixels {
public:
    explicit TColumnPixels(const QCPPainter& painter) {
        FDevice = painter.deviceTransform();
        const QPen pen = painter.pen();
        FColor = pen.color();
        const double scale = std::abs(FDevice.m11());
        const double width = pen.isCosmetic() ? std::max(pen.widthF(), 1.0) : pen.widthF() * scale;
        const double half = width / 2;
        FHalf = int(std::lround(half));
        // Without antialiasing the library rounds a segment's ends to whole pixels first; such
        // drawing is left to it.
        FUsable = painter.testRenderHint(QPainter::Antialiasing) &&
                  FDevice.type() <= QTransform::TxScale &&
                  qFuzzyCompare(scale, std::abs(FDevice.m22())) && FHalf >= 1 &&
                  std::abs(half - FHalf) < 1e-9 && pen.brush().style() == Qt::SolidPattern &&
                  (pen.capStyle() == Qt::SquareCap || pen.capStyle() == Qt::FlatCap);
        // A square end reaches half the pen's width past the segment's end, a flat one not.
        FCap = pen.capStyle() == Qt::SquareCap ? half : 0.0;
    }

    // Adds the pixels of the column's vertical stroke to fill; false where they are not whole
    // pixel columns, and the stroke is to be stroked.
    bool Fill(const TColumnStroke& column, TColumnFill& fill) const {
        int x = 0;
        if (!DeviceColumn(column, x))
            return false;
        auto [top, bottom] = DeviceSpan(column);
        top -= FCap;
        bottom += FCap;
        const int left = x - FHalf;
        const int width = 2 * FHalf;
        const auto partial = [&](double row, double coverage) {
            const int level = int(std::lround(coverage * 255));
            if (level > 0)
                fill.Partial.emplace_back(level, QRect(left, int(row), width, 1));
        };
        const double whole = std::ceil(top);
        const double wholeEnd = std::floor(bottom);
        if (whole > wholeEnd) {
            partial(wholeEnd, bottom - top); // within one row
            return true;
        }
        if (whole > top)
            partial(whole - 1, whole - top);
        if (wholeEnd > whole)
            fill.Solid.append(QRect(left, int(whole), width, int(wholeEnd - whole)));
        if (bottom > wholeEnd)
            partial(wholeEnd, bottom - wholeEnd);
        return true;
    }

    // Whether the segment that joins two filled columns lies within their fills, to a
    // quarter of a pixel: they meet, and its stroke lies in the band of rows that both
    // cover. Such segments are what a long series is mostly made of, and stroking them costs
    // the most; what is left out is at most a sliver of a corner of a pen's end.
    bool Covers(const TColumnStroke& a, const TColumnStroke& b) const {
        constexpr double Tolerance = 0.25;
        int xa = 0;
        int xb = 0;
        if (a.Points < 2 || b.Points < 2 || !DeviceColumn(a, xa) || !DeviceColumn(b, xb) ||
            std::abs(xb - xa) > 2 * FHalf)
            return false;
        const auto [topA, bottomA] = DeviceSpan(a);
        const auto [topB, bottomB] = DeviceSpan(b);
        const QRectF band(
            QPointF(std::min(xa, xb) - FHalf - Tolerance, std::max(topA, topB) - FCap - Tolerance),
            QPointF(std::max(xa, xb) + FHalf + Tolerance,
                    std::min(bottomA, bottomB) + FCap + Tolerance));
        const QPointF from(xa, DeviceY(a.Last));
        const QPointF to(xb, DeviceY(b.First));
        const QPointF step = to - from;
        const double length = std::sqrt(QPointF::dotProduct(step, step));
        // The stroke is the rectangle around the segment, its ends reaching past it by the cap;
        // a segment without length is stroked as if it went along x.
        const QPointF along = length > 0 ? step / length : QPointF(1, 0);
        const QPointF across(-along.y() * FHalf, along.x() * FHalf);
        const QPointF start = from - along * FCap;
        const QPointF end = to + along * FCap;
        for (const QPointF& corner : {start + across, start - across, end + across, end - across})
            if (corner.x() < band.left() || corner.x() > band.right() || corner.y() < band.top() ||
                corner.y() > band.bottom())
                return false;
        return true;
    }

    // Fills the gathered pixels in the pen's colour, partly covered rows in its colour at their
    // coverage, blended as the rasterizer blends overlapping fills. They are put together in an
    // image of their own and drawn at once: the raster engine spends some hundred ns on each
    // small rectangle, far more than on its few pixels.
    void Paint(QCPPainter& painter, const TColumnFill& fill) const {
        if (fill.Solid.isEmpty() && fill.Partial.empty())
            return;
        painter.save();
        // Device pixels, whole ones: the fills need neither the transform nor antialiasing.
        painter.setWorldTransform(FDevice.inverted() * painter.worldTransform());
        painter.setRenderHint(QPainter::Antialiasing, false);
        // Only what can show: the fills within the device and the clip.
        QRect bounds(0, 0, painter.device()->width(), painter.device()->height());
        if (painter.hasClipping())
            bounds &= painter.clipBoundingRect().toAlignedRect();
        QRect used;
        for (const QRect& rect : fill.Solid)
            used |= rect;
        for (const auto& [level, row] : fill.Partial)
            used |= row;
        used &= bounds;
        if (!used.isEmpty()) {
            TFillImage image(used);
            // The pen's colour, premultiplied, at each coverage.
            std::array<QRgb, 256> colors{};
            const double alpha = FColor.alphaF();
            for (std::size_t level = 0; level < colors.size(); ++level) {
                QColor color = FColor;
                color.setAlphaF(float(alpha * double(level) / 255.0));
                colors[level] = qPremultiply(color.rgba());
            }
            const QRgb solid = qPremultiply(FColor.rgba());
            for (const QRect& rect : fill.Solid)
                image.Blend(rect, solid);
            for (const auto& [level, row] : fill.Partial)
                image.Blend(row, colors[std::size_t(level)]);
            painter.drawImage(used.topLeft(), image.Image());
        }
        painter.restore();
    }

private:
    // Far beyond any device; coordinates past it are clipped anyway.
    static constexpr double Far = 1 << 24;

    // The device pixel column of the column's x, when it lies on a pixel's edge.
    bool DeviceColumn(const TColumnStroke& column, int& x) const {
        if (!FUsable)
            return false;
        const double device = column.X * FDevice.m11() + FDevice.dx();
        const double whole = std::round(device);
        if (std::abs(device - whole) > 1e-6 || std::abs(whole) > Far)
            return false;
        x = int(whole);
        return true;
    }
    double DeviceY(double y) const {
        return std::clamp(y * FDevice.m22() + FDevice.dy(), -Far, Far);
    }
    std::pair<double, double> DeviceSpan(const TColumnStroke& column) const {
        const double a = DeviceY(column.Low);
        const double b = DeviceY(column.High);
        return {std::min(a, b), std::max(a, b)};
    }

    QTransform FDevice;
    QColor FColor;
    bool FUsable = false;
    int FHalf = 0;   // half the pen's width, in device pixels
    double FCap = 0; // how far the pen's ends reach past a segment's ends, in device pixels
};

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
    // A plain line through the summary is drawn here (these charts select nothing, fill nothing
    // and mark no points), as is any line on a time axis; the rest as the library draws it.
    const bool summaryLine = FSeriesData.data() == mDataContainer.data() && !FVectorized &&
                             mLineStyle == lsLine && mScatterStyle.isNone() &&
                             mBrush.style() == Qt::NoBrush;
    if (!ByTime() && !summaryLine) {
        QCPGraph::draw(painter);
        return;
    }
    // The library finds the points in view by their keys; by time they are found here.
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
    drawLinePlot(painter, Pixels(lineData));
}

QVector<QPointF> TSeriesGraph::Pixels(const QVector<QCPGraphData>& data) const {
    const QCPAxis& keys = *keyAxis();
    const QCPAxis& values = *valueAxis();
    const QCPRange keyRange = keys.range();
    const QCPRange valueRange = values.range();
    if (keys.orientation() != Qt::Horizontal || keys.scaleType() != QCPAxis::stLinear ||
        values.scaleType() != QCPAxis::stLinear || keyRange.size() <= 0 || valueRange.size() <= 0)
        return dataToLines(data);
    // Linear axes map by a scale and an offset; asking them for each point costs more than the
    // rest of a point's way to the screen.
    const double left = keys.coordToPixel(keyRange.lower);
    const double keyScale = (keys.coordToPixel(keyRange.upper) - left) / keyRange.size();
    const double bottom = values.coordToPixel(valueRange.lower);
    const double valueScale = (values.coordToPixel(valueRange.upper) - bottom) / valueRange.size();
    QVector<QPointF> pixels(data.size());
    QPointF* pixel = pixels.data();
    for (const QCPGraphData& point : data)
        *pixel++ = QPointF(left + (point.key - keyRange.lower) * keyScale,
                           bottom + (point.value - valueRange.lower) * valueScale);
    return pixels;
}

double TSeriesGraph::DevicePixel(double key) const {
    const double pixel = keyAxis()->coordToPixel(key);
    return keyAxis()->orientation() == Qt::Horizontal ? pixel * FDevice.m11() + FDevice.dx()
                                                      : pixel * FDevice.m22() + FDevice.dy();
}

void TSeriesGraph::MapColumns() const {
    // A linear axis maps keys to device pixels by a scale and an offset, which the reduction
    // applies a few times a column; asking the axis each time costs more than the rest.
    const QCPRange range = keyAxis()->range();
    FColumnsLinear = keyAxis()->scaleType() == QCPAxis::stLinear && range.size() > 0;
    if (!FColumnsLinear)
        return;
    FColumnLower = range.lower;
    FColumnBase = DevicePixel(range.lower);
    FColumnScale = (DevicePixel(range.upper) - FColumnBase) / range.size();
    FColumnsLinear = FColumnScale != 0;
}

double TSeriesGraph::Column(double key) const {
    return std::round(FColumnsLinear ? (key - FColumnLower) * FColumnScale + FColumnBase
                                     : DevicePixel(key));
}

double TSeriesGraph::ColumnKey(double column) const {
    if (FColumnsLinear)
        return FColumnLower + (column - FColumnBase) / FColumnScale;
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
    MapColumns();
    // The points' own keys are read straight from the buffer, the one lookup that every probe
    // of the reduction makes.
    if (!ByTime()) {
        const QCPGraphData* points = &*FSeriesData->constBegin();
        ReduceColumns(lineData, first, last, [points](int index) { return points[index].key; });
    } else {
        ReduceColumns(lineData, first, last, [this](int index) { return KeyAt(index); });
    }
}

template <class TKeyOf>
void TSeriesGraph::ReduceColumns(QVector<QCPGraphData>* lineData, int first, int last,
                                 const TKeyOf& keyAt) const {
    const TSeriesData& series = *FSeriesData;
    const double columns =
        keyAxis()->axisRect()->size().width() *
        std::abs(keyAxis()->orientation() == Qt::Horizontal ? FDevice.m11() : FDevice.m22());
    const QCPGraphData* points = &*series.constBegin();
    const auto valueAt = [points](int index) { return points[index].value; };
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
    // The points a column holds, about, to fetch the memory of columns ahead.
    const double columnPoints =
        double(last - first) / (std::abs(Column(lastKey) - Column(keyAt(first))) + 1);
    constexpr int FetchAhead = 2;
    const int topLevel = TSeriesData::TopLevelFor(columnPoints);
    for (int from = first; from < last;) {
        series.Prefetch(from + int(FetchAhead * columnPoints), topLevel);
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
            const TValueSpan span = series.Span(from, to, topLevel);
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
    // seen to differ at a column's ends).
    const std::vector<TColumnStroke> columns = ColumnStrokes(lines);
    const TColumnPixels pixels(*painter);
    QVector<QLineF> segments;
    segments.reserve(2 * int(columns.size()));
    TColumnFill fill;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const TColumnStroke& column = columns[c];
        if (column.Points > 1) {
            if (!pixels.Fill(column, fill))
                segments.append(QLineF(column.X, column.Low, column.X, column.High));
        }
        if (column.Joined && !pixels.Covers(column, columns[c + 1]))
            segments.append(QLineF(column.X, column.Last, columns[c + 1].X, columns[c + 1].First));
    }
    pixels.Paint(*painter, fill);
    // All at once: one call per segment would cost more than the stroking.
    painter->drawLines(segments);
}
