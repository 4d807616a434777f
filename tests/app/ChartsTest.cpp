#include "CapInterface.h"
#include "ChannelConfigDialog.h"
#include "Chart.h"
#include "ChartSeries.h"
#include "ChartSet.h"
#include "FastModeBuffers.h"
#include "Main.h"
#include "RegSetDialog.h"
#include "ScriptedPrompts.h"
#include "VirtualHidBus.h"
#include "VirtualMeter.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QImageReader>
#include <QListWidget>
#include <QSignalSpy>
#include <QSpinBox>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

struct TPoint {
    double Key;
    double Value;
    bool operator==(const TPoint&) const = default;
};

std::vector<TPoint> Points(const QCPGraph* graph) {
    std::vector<TPoint> points;
    for (auto it = graph->data()->constBegin(); it != graph->data()->constEnd(); ++it)
        points.push_back({it->key, it->value});
    return points;
}

QStringList Titles(const QCustomPlot* chart) {
    QStringList titles;
    for (int i = 0; i < chart->graphCount(); ++i)
        titles << chart->graph(i)->name();
    return titles;
}

TEST(ChartFormatTest, GroupedLabelsKeepFiveDecimalsWithoutTrailingZeros) {
    const struct {
        double Value;
        const char* English;
        const char* German;
    } cases[] = {
        {1234.5, "1,234.5", "1.234,5"},
        {0.5, "0.5", "0,5"},
        {-0.25, "-0.25", "-0,25"},
        {1000000, "1,000,000", "1.000.000"},
        {0.123456, "0.12346", "0,12346"},
        {-0.000001, "0", "0"}, // no "-0" for a tick a hair below zero
        {42, "42", "42"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatGrouped(c.Value, QLocale(QLocale::English, QLocale::UnitedStates)),
                  QLatin1String(c.English));
        EXPECT_EQ(FormatGrouped(c.Value, QLocale(QLocale::German, QLocale::Germany)),
                  QLatin1String(c.German));
    }
}

// The point limit drops exactly the oldest points, also where several share a key, and the
// buffer's memory stays near the points it holds while it keeps dropping and appending.
TEST(SeriesDataTest, LimitKeepsTheNewestPointsInTightMemory) {
    for (const int limit : {1, 500, 20000}) {
        TSeriesData data;
        const int total = limit * 5 + 17;
        for (int i = 0; i < total; ++i) {
            // Two points per key, as timer mode gives when a meter answers twice in a tick;
            // the values fall, so the smallest stays the newest and the largest leaves.
            data.Append(i / 2, -i);
            data.LimitTo(limit);
            ASSERT_EQ(data.size(), std::min(i + 1, limit));
        }
        std::vector<TPoint> expected;
        for (int i = total - limit; i < total; ++i)
            expected.push_back({double(i / 2), double(-i)});
        std::vector<TPoint> kept;
        for (auto it = data.constBegin(); it != data.constEnd(); ++it)
            kept.push_back({it->key, it->value});
        EXPECT_EQ(kept, expected) << "limit " << limit;
        bool found = false;
        const QCPRange span = data.ValueSpan(found);
        EXPECT_TRUE(found);
        EXPECT_EQ(span.lower, -(total - 1));
        EXPECT_EQ(span.upper, -(total - limit));
        if (limit >= 500) {
            EXPECT_LE(double(data.AllocatedBytes()) / limit, 20.0) << "limit " << limit;
        }
    }
}

TEST(SeriesDataTest, LoweredLimitGivesTheMemoryBack) {
    TSeriesData data;
    for (int i = 0; i < 100000; ++i)
        data.Append(i, i);
    data.LimitTo(100);
    EXPECT_EQ(data.size(), 100);
    EXPECT_EQ(data.constBegin()->key, 99900);
    EXPECT_LT(data.AllocatedBytes(), 4096u);
    data.Append(100000, std::numeric_limits<double>::quiet_NaN()); // a gap, not a value
    bool found = false;
    EXPECT_EQ(data.ValueSpan(found), QCPRange(99900, 99999));
    data.Clear();
    EXPECT_EQ(data.AllocatedBytes(), 0u);
    data.ValueSpan(found);
    EXPECT_FALSE(found);
}

TEST(FastModeBuffersTest, ValuesKeptForTheLogAreDrawnOnce) {
    TFastModeBuffers buffers;
    buffers.Resize(2);
    buffers.AddValue(0, 1.0);
    buffers.AddValue(1, 2.0);
    buffers.MarkDrawn(); // a tick drew them, and its log write failed
    buffers.AddValue(0, 3.0);
    EXPECT_EQ(std::vector<double>(buffers.UndrawnValues(0).begin(), buffers.UndrawnValues(0).end()),
              std::vector<double>({3.0}));
    EXPECT_TRUE(buffers.UndrawnValues(1).empty());
    EXPECT_EQ(buffers.Values()[0], std::vector<double>({1.0, 3.0})) << "the log gets both";
    buffers.ClearValues();
    buffers.AddValue(1, 4.0);
    EXPECT_EQ(buffers.UndrawnValues(1).size(), 1u);
    EXPECT_TRUE(buffers.UndrawnValues(5).empty());
}

// The four charts alone, without a window.
class ChartSetTest : public testing::Test {
protected:
    TChart Capacitance{QStringLiteral("Capacitance [pF]")};
    TChart Temperature{QStringLiteral("Temperature [°C]")};
    TChart Resistance{QStringLiteral("Resistence [Ohm]")};
    TChart Timing{QStringLiteral("Time [ms]")};
    TChartSet Set{&Capacitance, &Temperature, &Resistance, &Timing};
};

TEST_F(ChartSetTest, SeriesFollowTheMetersListOrder) {
    Set.Rebuild({{QStringLiteral("A"), true, true, true, false},
                 {QStringLiteral("B"), true, false, false, true},
                 {QStringLiteral("C"), false, true, true, false}});
    EXPECT_EQ(Titles(&Capacitance), QStringList({"CAP1.A", "CAP2.A", "CAP1.B", "CAP2.C"}));
    EXPECT_EQ(Titles(&Temperature), QStringList({"Temp.A    ", "Temp.C    "}));
    EXPECT_EQ(Titles(&Resistance), QStringList({"Res.B    "}));
    EXPECT_EQ(Titles(&Timing), QStringList({"Time.A    ", "Time.B    ", "Time.C    "}));
    for (const QCustomPlot* chart : {&Capacitance, &Temperature, &Resistance, &Timing})
        for (int i = 0; i < chart->graphCount(); ++i)
            EXPECT_EQ(chart->graph(i)->pen().width(), 2);

    // C's temperatures go to the second temperature series, B's CAP1 to the third.
    Set.Add(2, EChartQuantity::Temperature, 1, 21.5, 0);
    Set.Add(1, EChartQuantity::Cap1, 1, 2.5, 0);
    Set.Add(1, EChartQuantity::Temperature, 1, 99, 0); // B has none: dropped
    EXPECT_EQ(Points(Temperature.graph(1)), std::vector<TPoint>({{1, 21.5}}));
    EXPECT_TRUE(Points(Temperature.graph(0)).empty());
    EXPECT_EQ(Points(Capacitance.graph(2)), std::vector<TPoint>({{1, 2.5}}));

    // Fast mode numbers each series' points on its own.
    Set.AddNext(0, EChartQuantity::Cap2, 5, 0);
    Set.AddNext(0, EChartQuantity::Cap2, 6, 0);
    Set.AddNext(0, EChartQuantity::Cap1, 7, 0);
    EXPECT_EQ(Points(Capacitance.graph(1)), std::vector<TPoint>({{1, 5}, {2, 6}}));
    EXPECT_EQ(Points(Capacitance.graph(0)), std::vector<TPoint>({{1, 7}}));

    Set.Clear();
    EXPECT_EQ(Set.SeriesPos(0, EChartQuantity::Cap2), 0);
    EXPECT_TRUE(Points(Capacitance.graph(1)).empty());
    EXPECT_EQ(Capacitance.graphCount(), 4) << "Clear keeps the series";
}

TEST_F(ChartSetTest, DeletedSeriesDropsItsPointsAndTheOthersGoOn) {
    Set.Rebuild({{QStringLiteral("A"), true, false, true, false},
                 {QStringLiteral("B"), true, false, true, false}});
    Temperature.removeGraph(Temperature.graph(0)); // as the chart editor deletes it
    Set.Add(0, EChartQuantity::Temperature, 1, 20, 0);
    Set.AddNext(0, EChartQuantity::Temperature, 20, 10);
    Set.Limit(0, EChartQuantity::Temperature, 10);
    Set.Add(1, EChartQuantity::Temperature, 1, 30, 0);
    ASSERT_EQ(Temperature.graphCount(), 1);
    EXPECT_EQ(Points(Temperature.graph(0)), std::vector<TPoint>({{1, 30}}));
    EXPECT_EQ(Set.Series(0, EChartQuantity::Temperature), nullptr);
    Set.Clear();
    Set.Rebuild({{QStringLiteral("A"), true, false, true, false}});
    EXPECT_EQ(Titles(&Temperature), QStringList({"Temp.A    "})) << "a rebuild brings it back";
}

// Drawing waits for the event loop and merges everything added meanwhile; the view follows the
// newest values until the user moves it.
TEST_F(ChartSetTest, RedrawsAreMergedAndTheViewFollowsUntilMoved) {
    Set.Rebuild({{QStringLiteral("A"), true, false, false, false}});
    Capacitance.resize(400, 300);
    Capacitance.show();
    QSignalSpy replots(&Capacitance, &QCustomPlot::afterReplot);
    for (int i = 1; i <= 1000; ++i)
        Set.Add(0, EChartQuantity::Cap1, i, i % 7, 0);
    EXPECT_EQ(replots.count(), 0) << "no redraw per point";
    ASSERT_TRUE(QTest::qWaitFor([&] { return replots.count() > 0; }, 2000));
    QTest::qWait(100);
    EXPECT_LE(replots.count(), 2);
    EXPECT_EQ(Capacitance.xAxis->range(), QCPRange(1, 1000));
    EXPECT_LE(Capacitance.yAxis->range().lower, 0);
    EXPECT_GE(Capacitance.yAxis->range().upper, 6);

    // The wheel zooms: the view stays, and the follow button appears.
    QWheelEvent wheel(QPointF(200, 150), Capacitance.mapToGlobal(QPointF(200, 150)), QPoint(),
                      QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(&Capacitance, &wheel);
    EXPECT_FALSE(Capacitance.Following());
    Capacitance.ReplotNow();
    const QCPRange zoomed = Capacitance.xAxis->range();
    EXPECT_LT(zoomed.size(), 999);
    Set.Add(0, EChartQuantity::Cap1, 2000, 50, 0);
    Capacitance.ReplotNow();
    EXPECT_EQ(Capacitance.xAxis->range(), zoomed);

    QKeyEvent home(QEvent::KeyPress, Qt::Key_Home, Qt::NoModifier);
    QCoreApplication::sendEvent(&Capacitance, &home);
    EXPECT_TRUE(Capacitance.Following());
    EXPECT_EQ(Capacitance.xAxis->range(), QCPRange(1, 2000));
    EXPECT_GE(Capacitance.yAxis->range().upper, 50);
}

TEST_F(ChartSetTest, SavesSharpImagesAndReportsWhatFails) {
    Set.Rebuild({{QStringLiteral("A"), true, false, false, false}});
    Set.Add(0, EChartQuantity::Cap1, 1, 1, 0);
    Set.Add(0, EChartQuantity::Cap1, 2, 3, 0);
    Capacitance.resize(300, 200);
    Capacitance.show();
    QTemporaryDir dir;
    TScriptedPrompts prompts;
    prompts.Files = {dir.filePath(QStringLiteral("chart.png")),
                     dir.filePath(QStringLiteral("chart.pdf")),
                     dir.filePath(QStringLiteral("missing/chart.png"))};
    for (int i = 0; i < 3; ++i)
        Capacitance.SaveImageAs();
    const QSize size = QImageReader(dir.filePath(QStringLiteral("chart.png"))).size();
    EXPECT_EQ(size, Capacitance.size() * Capacitance.devicePixelRatioF());
    EXPECT_GT(QFileInfo(dir.filePath(QStringLiteral("chart.pdf"))).size(), 0);
    ASSERT_EQ(prompts.Errors.size(), 1);
    EXPECT_TRUE(prompts.Errors[0].contains(QStringLiteral("missing")))
        << prompts.Errors[0].toStdString();
}

// The real window on a virtual bus; results are handed to its receive handler directly.
class WindowChartsTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    TScriptedPrompts Prompts;
    TVirtualHidBus Bus;
    std::unique_ptr<TForm1> Form;

    void Start(int meters) {
        for (int i = 0; i < meters; ++i)
            Bus.Plug(std::make_shared<TVirtualMeter>(QStringLiteral("M%1").arg(i + 1)));
        Form = std::make_unique<TForm1>(Dir.filePath(QStringLiteral("Settings.ini")), Bus);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return Form->CapInterfaces.size() == std::size_t(meters); }, 5000));
    }
    // What meter i measures; the charts are rebuilt as the meter dialogs do.
    void Configure(std::size_t i, bool cap2, bool temperature, bool resistor) {
        TCapInterface* meter = Form->CapInterfaces[i];
        meter->SetCAP1Mode(1);
        meter->SetCAP2Mode(cap2 ? 1 : 0);
        meter->SetInternalTempEnabled(temperature);
        meter->SetExternalResistorEnabled(resistor);
        meter->SetRegsFromConfig();
        Form->RebuildCharts();
    }
};

TEST_F(WindowChartsTest, PointLimitKeepsTheNewestMeasurements) {
    Start(1);
    Configure(0, false, true, false);
    Form->Running = true;
    for (const int limit : {500, 0}) {
        Form->ClearBtnClick();
        Form->MaxPointSE->setValue(limit);
        for (int i = 1; i <= 600; ++i) {
            Form->ActPoint = Form->ActTickPoint = i;
            const double values[] = {1.5, 20.0};
            Form->CapInterfaceReceiveData(0, values, 40);
        }
        for (const QCustomPlot* chart : {Form->Chart1, Form->Chart2, Form->Chart4}) {
            const auto points = Points(chart->graph(0));
            ASSERT_EQ(points.size(), limit ? 500u : 600u) << chart->objectName().toStdString();
            EXPECT_EQ(points.front().Key, limit ? 101 : 1);
            EXPECT_EQ(points.back().Key, 600);
        }
    }
    EXPECT_EQ(Form->TicksLabel->text(), QStringLiteral("40"));
    Form->Running = false;
}

// The list's click opens the channel dialog and its double click the register dialog, only
// while idle; the charts are rebuilt only when what a meter draws has changed.
TEST_F(WindowChartsTest, MeterDialogsRebuildTheChartsOnlyWhenWhatIsDrawnChanged) {
    Start(1);
    Configure(0, false, false, false);
    Form->Corvane2LB->setCurrentRow(0);
    Form->Running = true;
    const double values[] = {1.0};
    Form->ActPoint = 1;
    Form->CapInterfaceReceiveData(0, values, 10);
    // While running: no dialog, and so nothing to close.
    Form->Corvane2LBClick();
    Form->Corvane2LBDblClick();
    Form->Running = false;
    ASSERT_EQ(Form->Chart1->graph(0)->dataCount(), 1);

    // Closed untouched: the points stay.
    QTimer::singleShot(0, Form->ChannelConfigForm, &QDialog::reject);
    Form->Corvane2LBClick();
    QTimer::singleShot(0, Form->RegSetForm, &QDialog::reject);
    Form->Corvane2LBDblClick();
    EXPECT_EQ(Form->Chart1->graph(0)->dataCount(), 1);

    // The temperature sensor switched on in the channel dialog: a rebuild with its series.
    QTimer::singleShot(0, Form->ChannelConfigForm, [this] {
        Form->ChannelConfigForm->InternalTempEnabledCB->setChecked(true);
        Form->ChannelConfigForm->reject();
    });
    Form->Corvane2LBClick();
    EXPECT_TRUE(Form->CapInterfaces[0]->InternalTempEnabled());
    EXPECT_EQ(Titles(Form->Chart2), QStringList({"Temp.M1    "}));
    EXPECT_EQ(Form->Chart1->graph(0)->dataCount(), 0);

    // Channel 2 switched on in the register dialog: a second capacitance series.
    QTimer::singleShot(0, Form->RegSetForm, [this] {
        Form->RegSetForm->CAP2EN_CB->setChecked(true);
        Form->RegSetForm->reject();
    });
    Form->Corvane2LBDblClick();
    EXPECT_EQ(Titles(Form->Chart1), QStringList({"CAP1.M1", "CAP2.M1"}));
}

TEST_F(WindowChartsTest, LayoutFollowsWhatTheMetersMeasure) {
    Start(2);
    Configure(0, false, false, false);
    Configure(1, false, false, false);
    EXPECT_FALSE(Form->Chart1->isHidden());
    EXPECT_TRUE(Form->Chart2->isHidden() && Form->Chart3->isHidden());
    EXPECT_TRUE(Form->Panel2->isHidden()) << "the capacitance chart takes the space";
    EXPECT_TRUE(Form->Splitter1->handle(1)->isHidden());

    // A temperature sensor switched on: a new, empty series and the lower panel.
    Form->Running = true;
    const double values[] = {1.0};
    Form->ActPoint = 1;
    Form->CapInterfaceReceiveData(1, values, 10);
    Configure(1, false, true, true);
    EXPECT_EQ(Titles(Form->Chart2), QStringList({"Temp.M2    "}));
    EXPECT_EQ(Form->Chart2->graph(0)->dataCount(), 0);
    EXPECT_EQ(Form->Chart1->graph(1)->dataCount(), 0) << "a rebuild drops every point";
    EXPECT_FALSE(Form->Panel2->isHidden());
    EXPECT_FALSE(Form->Splitter1->handle(1)->isHidden());
    EXPECT_FALSE(Form->Splitter2->handle(1)->isHidden());
    Form->Running = false;

    for (const auto& device : Bus.PluggedDevices())
        Bus.Unplug(device);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form->CapInterfaces.empty(); }, 5000));
    EXPECT_TRUE(Form->Chart1->isHidden() && Form->Chart2->isHidden() && Form->Chart3->isHidden());

    EXPECT_TRUE(Form->Chart4->isHidden()) << "the timing chart shows only on request";
    Form->ShowTicksCB->setChecked(true);
    EXPECT_FALSE(Form->Chart4->isHidden());
}

} // namespace
