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
                const TValueSpan span = data.Span(from, to);
                ASSERT_EQ(span.Min, expected.Min) << "limit " << limit << " at " << i;
                ASSERT_EQ(span.Max, expected.Max) << "limit " << limit << " at " << i;
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
