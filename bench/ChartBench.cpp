// The four charts (offscreen, 1200 x 300 pixels each) with 8 meters that measure everything
// (40 series) and "Max. Points" 1,000,000, filled beyond the limit so that it drops points:
// - bytes_per_point: heap memory per stored chart point;
// - replot_overhead_ratio: one redraw of the four charts, with the view following the newest
//   values, against plain charts of the library that draw the same data with the same pens
//   and drawing hints;
// - replot_ms: the time of that redraw of all four charts;
// - replot_growth_ratio: that redraw once the series hold replot_growth_points points each
//   (filled on with the limit raised), against the redraw at 1,000,000;
// - append_ns_per_point: appending to one series under a limit of 1,000,000, as a run does.
#include "app/Chart.h"
#include "app/ChartSet.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <malloc.h>
#include <memory>
#include <vector>

namespace {

constexpr int MeterCount = 8;
constexpr int MaxPoints = 1'000'000;
constexpr int Results = MaxPoints + MaxPoints / 10;
constexpr int Rounds = 5;
constexpr int GrowthPoints = 10'000'000;

std::size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <class Redraw>
double MedianMilliseconds(Redraw&& redraw) {
    std::vector<double> times;
    for (int round = 0; round < Rounds; ++round) {
        QElapsedTimer clock;
        clock.start();
        redraw();
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    return Median(times);
}

// One measurement's points for every series of the set.
void AddResult(TChartSet& set, int x, int maxPoints) {
    const double wave = std::sin(x * 1e-4);
    for (std::size_t m = 0; m < MeterCount; ++m) {
        const double noise = double((x * 7919LL + int(m) * 104729LL) % 1000) * 1e-6;
        set.Add(m, EChartQuantity::Cap1, x, 1.0 + m + wave + noise, maxPoints);
        set.Add(m, EChartQuantity::Cap2, x, 2.0 + m - wave + noise, maxPoints);
        set.Add(m, EChartQuantity::Temperature, x, 21.0 + wave + noise, maxPoints);
        set.Add(m, EChartQuantity::Resistance, x, 1000.0 + 10 * wave + noise, maxPoints);
        set.Add(m, EChartQuantity::Time, x, 40.0 + double(x % 3), maxPoints);
    }
}

double AppendNanoseconds() {
    constexpr int Count = 10'000'000;
    std::vector<double> values(4096);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = std::sin(double(i)) * 100.0;
    TSeriesData data;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < Count; ++i) {
        data.Append(i, values[std::size_t(i) % values.size()]);
        data.LimitTo(MaxPoints);
    }
    return double(clock.nsecsElapsed()) / Count;
}

} // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    const std::size_t heapBefore = HeapInUse();
    std::array<std::unique_ptr<TChart>, 4> charts;
    const char* titles[] = {"Capacitance [pF]", "Temperature [°C]", "Resistence [Ohm]",
                            "Time [ms]"};
    for (std::size_t c = 0; c < charts.size(); ++c) {
        charts[c] = std::make_unique<TChart>(QString::fromUtf8(titles[c]));
        charts[c]->resize(1200, 300);
        charts[c]->show();
    }
    TChartSet set(charts[0].get(), charts[1].get(), charts[2].get(), charts[3].get());
    std::vector<TMeterSeries> meters;
    for (int i = 0; i < MeterCount; ++i)
        meters.push_back({QStringLiteral("%1").arg(10000 + i), true, true, true, true});
    set.Rebuild(meters);

    // Timer-mode results: every series gets one point per measurement.
    for (int x = 1; x <= Results; ++x)
        AddResult(set, x, MaxPoints);
    std::size_t points = 0;
    for (const auto& chart : charts)
        for (int g = 0; g < chart->graphCount(); ++g)
            points += std::size_t(chart->graph(g)->dataCount());
    const double bytesPerPoint = double(HeapInUse() - heapBefore) / double(points);

    // Plain charts of the library with the same data (shared, not copied), pens and ranges.
    std::array<std::unique_ptr<QCustomPlot>, 4> plain;
    for (std::size_t c = 0; c < plain.size(); ++c) {
        plain[c] = std::make_unique<QCustomPlot>();
        plain[c]->resize(1200, 300);
        plain[c]->setPlottingHints(charts[c]->plottingHints());
        plain[c]->show();
        for (int g = 0; g < charts[c]->graphCount(); ++g) {
            QCPGraph* graph = plain[c]->addGraph();
            graph->setData(charts[c]->graph(g)->data());
            graph->setPen(charts[c]->graph(g)->pen());
        }
    }
    QCoreApplication::processEvents();

    const auto redrawCharts = [&] {
        for (const auto& chart : charts)
            chart->ReplotNow();
    };
    redrawCharts(); // the view takes in the data once, as it does while following
    for (std::size_t c = 0; c < plain.size(); ++c) {
        plain[c]->xAxis->setRange(charts[c]->xAxis->range());
        plain[c]->yAxis->setRange(charts[c]->yAxis->range());
        plain[c]->replot(QCustomPlot::rpQueuedRefresh);
    }
    const double ours = MedianMilliseconds(redrawCharts);
    const double bare = MedianMilliseconds([&] {
        for (const auto& chart : plain)
            chart->replot(QCustomPlot::rpQueuedRefresh);
    });

    // What a redraw costs besides the series: axes, grid, legend.
    const auto showSeries = [&](bool visible) {
        for (const auto& chart : charts)
            for (int g = 0; g < chart->graphCount(); ++g)
                chart->graph(g)->setVisible(visible);
    };
    showSeries(false);
    const double frame = MedianMilliseconds(redrawCharts);
    showSeries(true);

    // The same charts, grown tenfold: the redraw should cost about the same.
    for (auto& chart : plain)
        chart.reset();
    for (int x = Results + 1; x <= Results + GrowthPoints - MaxPoints; ++x)
        AddResult(set, x, GrowthPoints);
    redrawCharts();
    const double grown = MedianMilliseconds(redrawCharts);
    const double appendNs = AppendNanoseconds();

    std::printf("chart_points = %zu\n", points);
    std::printf("bytes_per_point = %.2f\n", bytesPerPoint);
    std::printf("replot_ms = %.1f\n", ours);
    std::printf("replot_overhead_ratio = %.3f\n", ours / bare);
    std::printf("replot_frame_ms = %.1f\n", frame);
    std::printf("replot_growth_points = %d\n", charts[0]->graph(0)->dataCount());
    std::printf("replot_growth_ms = %.1f\n", grown);
    std::printf("replot_growth_ratio = %.3f\n", grown / ours);
    std::printf("append_ns_per_point = %.1f\n", appendNs);
    return 0;
}
