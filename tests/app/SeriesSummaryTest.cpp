#include "app/ChartSeries.h"
#include "app/SeriesGraph.h"

#include <QImage>
#include <QPixmap>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

constexpr double Gap = std::numeric_limits<double>::quiet_NaN();

// The span and gaps of a stretch, the slow way.
TValueSpan Scanned(const TSeriesData& data, int from, int to, bool& gap) {
    TValueSpan span{std::numeric_limits<double>::infinity(),
                    -std::numeric_limits<double>::infinity()};
    gap = false;
    for (auto it = data.constBegin() + from; it != data.constBegin() + to; ++it) {
        if (std::isfinite(it->value)) {
            span.Min = std::min(span.Min, it->value);
            span.Max = std::max(span.Max, it->value);
        } else {
            gap = true;
        }
    }
    return span;
}

// How two images of one size differ: the largest difference of one colour channel, and where
// the first pixel that differs by that much is.
struct TDifference {
    int Largest = 0;
    QPoint Where;
};

TDifference Compare(const QImage& a, const QImage& b) {
    TDifference difference;
    for (int y = 0; y < a.height(); ++y) {
        const auto* rowA = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const auto* rowB = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            const int here = std::max({std::abs(qRed(rowA[x]) - qRed(rowB[x])),
                                       std::abs(qGreen(rowA[x]) - qGreen(rowB[x])),
                                       std::abs(qBlue(rowA[x]) - qBlue(rowB[x]))});
            if (here > difference.Largest)
                difference = {here, QPoint(x, y)};
        }
    }
    return difference;
}

// The library's graph as it draws on the screen with the charts' hints, segment by segment; an
// image export would draw a polyline instead.
class TSegmentGraph : public QCPGraph {
public:
    using QCPGraph::QCPGraph;

protected:
    void drawLinePlot(QCPPainter* painter, const QVector<QPointF>& lines) const override {
        applyDefaultAntialiasingHint(painter);
        for (int i = 1; i < lines.size(); ++i)
            painter->drawLine(QLineF(lines[i - 1], lines[i]));
    }
};

} // namespace

// While a limit drops the oldest points, the summary answers for any stretch of the points
// that remain as a scan of them does; gaps included, and down to a limit smaller than a block.
TEST(SeriesSummaryTest, SpanMatchesAScanWhileTheOldestPointsGo) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> value(-1000.0, 1000.0);
    for (const int limit : {3, 1000, 70000}) {
        TSeriesData data;
        for (int i = 0; i < 300000; ++i) {
            data.Append(i / 3, random() % 97 == 0 ? Gap : value(random));
            data.LimitTo(limit);
            if (i % 9973 != 0)
                continue;
            for (int probe = 0; probe < 50; ++probe) {
                const int from = int(random() % std::uint32_t(data.size()));
                const int to = from + 1 + int(random() % std::uint32_t(data.size() - from));
                bool gap = false;
                const TValueSpan expected = Scanned(data, from, to, gap);
                // Whichever level the blocks are read from in order.
                for (const int top : {0, 1, 2, 3, std::numeric_limits<int>::max()}) {
                    const TValueSpan span = data.Span(from, to, top);
                    ASSERT_EQ(span.Min, expected.Min) << "limit " << limit << " at " << i;
                    ASSERT_EQ(span.Max, expected.Max) << "limit " << limit << " at " << i;
                }
                ASSERT_EQ(data.HasGap(from, to), gap) << "limit " << limit << " at " << i;
            }
        }
        EXPECT_EQ(data.FirstIndex(), 300000 - limit);
    }
}

// A series drawn through its summary gives the image that drawing every point gives, for
// noise, steps, spikes of one point, gaps and points sharing a key; zoomed out, in, and in so
// far that every point is drawn; at pixel ratio 1 and 2, antialiased or not. Every pixel is
// the same: both draw a column's points as one stroke over their span. On a time axis, points
// whose times are their keys in seconds look as on the point-number axis.
TEST(SeriesSummaryTest, SummaryDrawsAsEveryPointDoes) {
    constexpr int Points = 200000;
    struct TShape {
        const char* Name;
        double (*Value)(int i, std::mt19937& random);
        int PointsPerKey;
    };
    const TShape shapes[] = {
        {"noise", [](int, std::mt19937& r) { return double(r() % 1000); }, 1},
        {"steps", [](int i, std::mt19937&) { return double((i / 3001) % 5 * 100); }, 1},
        {"spikes", [](int i, std::mt19937& r) { return i % 1777 == 0 ? 5000.0 : 10.0 + r() % 3; },
         1},
        {"gaps",
         [](int i, std::mt19937& r) {
             return (i / 211) % 7 == 0 || i % 1013 == 0 ? Gap : double(r() % 1000);
         },
         1},
        {"shared keys", [](int i, std::mt19937& r) { return std::sin(i * 1e-3) * 500 + r() % 50; },
         4},
    };
    const QCPRange views[] = {
        {0, Points}, {Points * 0.4, Points * 0.43}, {Points / 2, Points / 2 + 150}};
    for (const TShape& shape : shapes) {
        std::mt19937 random(11);
        auto data = QSharedPointer<TSeriesData>::create();
        for (int i = 0; i < Points; ++i)
            data->Append(double(i / shape.PointsPerKey), shape.Value(i, random),
                         std::int64_t(i / shape.PointsPerKey) * 1000);
        QCustomPlot plot;
        plot.resize(400, 200);
        plot.setPlottingHint(QCP::phFastPolylines, true);
        auto* graph = new TSeriesGraph(plot.xAxis, plot.yAxis);
        graph->SetSeriesData(data);
        graph->setPen(QPen(Qt::blue, 2));
        bool found = false;
        plot.yAxis->setRange(data->ValueSpan(found));
        plot.yAxis->scaleRange(1.1);
        for (const QCPRange& view : views) {
            plot.xAxis->setRange(view.lower / shape.PointsPerKey, view.upper / shape.PointsPerKey);
            for (const bool antialiased : {false, true}) {
                graph->setAntialiased(antialiased);
                for (const double ratio : {1.0, 2.0}) {
                    graph->SetSummarised(true);
                    const QImage summarised = plot.toPixmap(400, 200, ratio).toImage();
                    graph->SetSummarised(false);
                    const QImage full = plot.toPixmap(400, 200, ratio).toImage();
                    graph->SetSummarised(true);
                    graph->SetByTime(true, 0);
                    const QImage byTime = plot.toPixmap(400, 200, ratio).toImage();
                    graph->SetByTime(false, 0);
                    const TDifference difference = Compare(summarised, full);
                    EXPECT_EQ(difference.Largest, 0);
                    EXPECT_EQ(Compare(byTime, summarised).Largest, 0) << "on a time axis";
                    if (HasFailure()) {
                        ADD_FAILURE() << shape.Name << ", view " << view.lower << ".." << view.upper
                                      << ", ratio " << ratio << ", antialiased " << antialiased
                                      << ", first at " << difference.Where.x() << ", "
                                      << difference.Where.y();
                        return;
                    }
                }
            }
        }
    }
}

// Drawn antialiased, as the charts draw, the columns of a series look as the library's
// strokes of the same segments: a column's span stroked from its lowest to its highest point,
// joined to the next column's first point. Columns apart and side by side, at pixel ratio 1 and
// 2. What may differ is an edge pixel's shade, by at most a quarter: where the library blends
// a joining segment's edge over a column's, the columns' edge is blended once, and joining
// segments within the columns' rows are left out but for slivers of their ends' corners.
// A misplaced pixel row or column differs by the full shade.
TEST(SeriesSummaryTest, ColumnsLookAsTheLibrarysStrokes) {
    constexpr int Width = 400;
    constexpr int Height = 200;
    QCustomPlot plot;
    plot.resize(Width, Height);
    // A key unit a logical pixel, from the plot's left edge on.
    constexpr int Left = 40;
    plot.axisRect()->setAutoMargins(QCP::msNone);
    plot.axisRect()->setMargins(QMargins(Left, 10, 10, 30));
    plot.xAxis->setRange(0, Width - Left - 10);
    plot.yAxis->setRange(0, 100);
    auto data = QSharedPointer<TSeriesData>::create();
    auto* ours = new TSeriesGraph(plot.xAxis, plot.yAxis);
    ours->SetSeriesData(data);
    auto* library = new TSegmentGraph(plot.xAxis, plot.yAxis);
    library->setData(data);
    library->setAdaptiveSampling(false);
    for (QCPGraph* graph : {static_cast<QCPGraph*>(ours), static_cast<QCPGraph*>(library)})
        graph->setPen(QPen(QColor(0x1f, 0x77, 0xb4), 2));
    std::mt19937 random(3);
    for (const int spacing : {4, 1}) {
        for (const double ratio : {1.0, 2.0}) {
            // Keys at device pixel edges, where a stroke of width 2 covers whole pixels:
            // antialiased, the library draws half a pixel to the right and down.
            data->Clear();
            for (int column = 0; column < 80; ++column) {
                const double key = 10 - 0.5 + column * spacing / ratio;
                const double low = double(random() % 800) / 10;
                data->Append(key, low);
                // Spans of some length: the library draws a segment without length at pixel
                // ratio 2 as half the pen's square, a pixel aside.
                data->Append(key, low + double(1 + random() % 300) / 10);
            }
            QImage images[2];
            for (const int drawn : {0, 1}) {
                ours->setVisible(drawn == 0);
                library->setVisible(drawn == 1);
                images[drawn] = plot.toPixmap(Width, Height, ratio).toImage();
            }
            const TDifference difference = Compare(images[0], images[1]);
            EXPECT_LE(difference.Largest, 64)
                << "spacing " << spacing << ", ratio " << ratio << ", first at "
                << difference.Where.x() << ", " << difference.Where.y();
        }
    }
}
