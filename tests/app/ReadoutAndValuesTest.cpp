#include "app/ChartArea.h"
#include "app/MainWindow.h"
#include "app/Program.h"
#include "link/hid/VirtualHidBus.h"
#include "model/IniFile.h"
#include "sim/VirtualMeter.h"
#include "tests/support/ContextMenu.h"
#include "tests/support/ScriptedPrompts.h"

#include <QDateTime>
#include <QDockWidget>
#include <QLabel>
#include <QMenuBar>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// The readout's lines as the user reads them.
QStringList ReadoutLines(const TChart& chart) {
    if (chart.Readout()->isHidden())
        return {};
    QTextDocument text;
    text.setHtml(chart.Readout()->text());
    QStringList lines = text.toPlainText().split(u'\n');
    // Each line starts with the series' colour mark.
    for (QString& line : lines)
        line = line.mid(line.indexOf(u' ') + 1);
    return lines;
}

void MovePointer(TChart& chart, QPoint pos) {
    QMouseEvent move(QEvent::MouseMove, pos, chart.mapToGlobal(pos), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(&chart, &move);
}

// The pointer over the chart's time key, halfway up the plot.
void PointTo(TChart& chart, double key) {
    MovePointer(chart, QPoint(int(std::lround(chart.xAxis->coordToPixel(key))),
                              chart.axisRect()->center().y()));
}

class ChartAreaTest : public testing::Test {
protected:
    TChartArea Area;
    void SetUp() override {
        // A: CAP1 and temperature; B: CAP1.
        Area.Rebuild({{QStringLiteral("A"), true, false, true, false},
                      {QStringLiteral("B"), true, false, false, false}});
        Area.resize(500, 700);
        Area.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&Area));
    }
    TChartSet& Set() { return Area.Series(); }
};

// The readout tells each shown series' point nearest to the pointer's time, found at both
// ends of the series and beside a gap of points without a value.
TEST_F(ChartAreaTest, ReadoutShowsTheNearestPointOfEachSeries) {
    TChart& chart = *Area.CapacitanceChart;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double values[] = {1.25, 2.5, nan, nan, 5, 6};
    for (int i = 0; i < 6; ++i)
        Set().Add(0, EChartQuantity::Cap1, i + 1, values[i], 0);
    Set().Add(1, EChartQuantity::Cap1, 4, 7, 0);
    Set().Series(1, EChartQuantity::Cap1)->setName(QStringLiteral("Sample")); // as edited
    chart.SetFollowing(false);
    chart.xAxis->setRange(0, 10);
    chart.ReplotNow();

    const struct {
        double Key;
        const char* Line;
    } cases[] = {
        {0.3, "CAP1.A: 1.25 pF at point 1"}, // before the first point
        {9.5, "CAP1.A: 6 pF at point 6"},    // after the last
        {2.3, "CAP1.A: 2.5 pF at point 2"},   {3.3, "CAP1.A: no value at point 3"}, // in the gap
        {4.4, "CAP1.A: no value at point 4"}, {4.7, "CAP1.A: 5 pF at point 5"}, // beside the gap
    };
    for (const auto& c : cases) {
        PointTo(chart, c.Key);
        EXPECT_EQ(ReadoutLines(chart), QStringList({QLatin1String(c.Line),
                                                    QStringLiteral("Sample (B): 7 pF at point 4")}))
            << c.Key;
    }

    // A hidden series is left out; other charts tell their own unit.
    Set().Series(1, EChartQuantity::Cap1)->setVisible(false);
    PointTo(chart, 1);
    EXPECT_EQ(ReadoutLines(chart), QStringList({"CAP1.A: 1.25 pF at point 1"}));
    Set().Add(0, EChartQuantity::Temperature, 1, 21.5, 0);
    Area.TemperatureChart->ReplotNow();
    PointTo(*Area.TemperatureChart, 1);
    EXPECT_EQ(ReadoutLines(*Area.TemperatureChart), QStringList({"Temp.A: 21.5 °C at point 1"}));

    // New points under a pointer that stands still show at the next redraw.
    chart.xAxis->setRange(0, 10);
    PointTo(chart, 8);
    Set().Add(0, EChartQuantity::Cap1, 8, 8.5, 0);
    chart.ReplotNow();
    EXPECT_EQ(ReadoutLines(chart), QStringList({"CAP1.A: 8.5 pF at point 8"}));

    // Outside the plot, and once the pointer leaves the chart, there is no readout.
    MovePointer(chart, QPoint(2, 2));
    EXPECT_TRUE(chart.Readout()->isHidden());
    PointTo(chart, 1);
    EXPECT_FALSE(chart.Readout()->isHidden());
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(&chart, &leave);
    EXPECT_TRUE(chart.Readout()->isHidden());
}

TEST_F(ChartAreaTest, ReadoutStaysHiddenOverSeriesWithoutPoints) {
    PointTo(*Area.CapacitanceChart, 0);
    EXPECT_TRUE(Area.CapacitanceChart->Readout()->isHidden());
}

// Linked from a chart's context menu, zooming one chart moves the others' time axes once each,
// without handing the change back; following goes together; the choice is kept in [Window].
TEST_F(ChartAreaTest, LinkedTimeAxesFollowEachOther) {
    TChart& cap = *Area.CapacitanceChart;
    TChart& temp = *Area.TemperatureChart;
    for (int i = 1; i <= 100; ++i) {
        Set().Add(0, EChartQuantity::Cap1, i, i % 7, 0);
        Set().Add(0, EChartQuantity::Temperature, i, 20 + i % 3, 0);
    }
    cap.ReplotNow();
    temp.ReplotNow();
    const auto zoom = [](TChart& chart) {
        const QPointF at = chart.axisRect()->center();
        QWheelEvent wheel(at, chart.mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton,
                          Qt::ShiftModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(&chart, &wheel);
    };

    // Unlinked, each chart keeps its own view.
    zoom(cap);
    EXPECT_EQ(temp.xAxis->range(), QCPRange(1, 100));
    EXPECT_TRUE(temp.Following());

    // Linking from the zoomed chart brings the other to its view.
    ChooseFromContextMenu(cap, QStringLiteral("Link Time Axes"));
    ASSERT_TRUE(Area.AxisLink().Linked());
    EXPECT_EQ(temp.xAxis->range(), cap.xAxis->range());
    EXPECT_FALSE(temp.Following());

    QSignalSpy capChanges(cap.xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged));
    QSignalSpy tempChanges(temp.xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged));
    zoom(temp);
    EXPECT_EQ(cap.xAxis->range(), temp.xAxis->range());
    EXPECT_EQ(capChanges.count(), 1);
    EXPECT_EQ(tempChanges.count(), 1) << "no change handed back";
    EXPECT_EQ(Area.ResistanceChart->xAxis->range(), QCPRange(0, 5)) << "not shown: left alone";

    // Follow newest in one chart: both follow, each to its newest values.
    QKeyEvent home(QEvent::KeyPress, Qt::Key_Home, Qt::NoModifier);
    QCoreApplication::sendEvent(&temp, &home);
    EXPECT_TRUE(cap.Following());
    EXPECT_EQ(cap.xAxis->range(), QCPRange(1, 100));

    QTemporaryDir dir;
    const QString iniName = dir.filePath(QStringLiteral("Settings.ini"));
    {
        TIniFile ini(iniName);
        Area.SavePlacement(ini);
    }
    TChartArea restored;
    restored.RestorePlacement(TIniFile(iniName));
    EXPECT_TRUE(restored.AxisLink().Linked());

    // Unlinked again, zooming stays in its chart.
    ChooseFromContextMenu(temp, QStringLiteral("Link Time Axes"));
    EXPECT_FALSE(Area.AxisLink().Linked());
    zoom(cap);
    EXPECT_TRUE(temp.Following());
}

// The time axis puts known points where they belong: at their point numbers, at the time since
// the run's start, at the clock time. Tick labels and the readout count as the axis does;
// charts whose point numbers differ line up by time when linked; a moved view keeps showing
// the same points when the axis changes; the choice is kept in [Window].
TEST_F(ChartAreaTest, TimeAxisPlacesPointsAtTheirTimes) {
    TChart& cap = *Area.CapacitanceChart;
    TChart& temp = *Area.TemperatureChart;
    const std::int64_t startMs =
        QDateTime(QDate(2026, 12, 11), QTime(14, 0, 0)).toMSecsSinceEpoch();
    Set().RunStarting(startMs);
    // CAP1 every 1.5 s, the temperature every 3 s: point 10 of one and 5 of the other at 15 s.
    for (int i = 1; i <= 40; ++i)
        Set().Add(0, EChartQuantity::Cap1, i, i, 0, startMs + i * 1500);
    for (int i = 1; i <= 20; ++i)
        Set().Add(0, EChartQuantity::Temperature, i, 20 + i, 0, startMs + i * 3000);
    Set().RunStarting(startMs + 600'000); // a later run goes on counting from the first start

    const struct {
        ETimeAxis Axis;
        double Cap10Key; // where CAP1's point 10 stands
        double Temp5Key;
        const char* Readout;
        const char* Label; // every tick label has this form
    } cases[] = {
        {ETimeAxis::Elapsed, 15, 15, "CAP1.A: 10 pF at 0:00:15.000", R"(^0:0\d:\d\d(\.\d+)?$)"},
        {ETimeAxis::Clock, double(startMs) / 1000 + 15, double(startMs) / 1000 + 15,
         "CAP1.A: 10 pF at 14:00:15.000", R"(^14:0\d:\d\d(\.\d+)?$)"},
        {ETimeAxis::PointNumber, 10, 5, "CAP1.A: 10 pF at point 10", R"(^\d+$)"},
    };
    for (const auto& c : cases) {
        ChooseFromContextMenu(cap, TimeAxisCaption(c.Axis));
        EXPECT_EQ(Set().TimeAxis(), c.Axis);
        cap.ReplotNow();
        temp.ReplotNow();
        EXPECT_DOUBLE_EQ(Set().Series(0, EChartQuantity::Cap1)->dataMainKey(9), c.Cap10Key);
        EXPECT_DOUBLE_EQ(Set().Series(0, EChartQuantity::Temperature)->dataMainKey(4), c.Temp5Key);
        PointTo(cap, c.Cap10Key);
        EXPECT_EQ(ReadoutLines(cap), QStringList({QLatin1String(c.Readout)}));
        const QRegularExpression label{QLatin1String(c.Label)};
        ASSERT_FALSE(cap.xAxis->tickVectorLabels().isEmpty());
        for (const QString& text : cap.xAxis->tickVectorLabels())
            EXPECT_TRUE(label.match(text).hasMatch()) << text.toStdString();
    }

    // Linked on the elapsed time, the temperature chart shows the time the CAP1 chart shows.
    ChooseFromContextMenu(cap, TimeAxisCaption(ETimeAxis::Elapsed));
    ChooseFromContextMenu(cap, QStringLiteral("Link Time Axes"));
    cap.SetFollowing(false);
    cap.xAxis->setRange(10, 20);
    EXPECT_EQ(temp.xAxis->range(), QCPRange(10, 20));
    PointTo(temp, 15);
    EXPECT_EQ(ReadoutLines(temp), QStringList({"Temp.A: 25 °C at 0:00:15.000"}));

    // Back on point numbers, the view shows the points it showed: CAP1's at 10.5 and 19.5 s.
    ChooseFromContextMenu(cap, TimeAxisCaption(ETimeAxis::PointNumber));
    EXPECT_EQ(cap.xAxis->range(), QCPRange(7, 13));

    QTemporaryDir dir;
    const QString iniName = dir.filePath(QStringLiteral("Settings.ini"));
    ChooseFromContextMenu(cap, TimeAxisCaption(ETimeAxis::Clock));
    {
        TIniFile ini(iniName);
        Area.SavePlacement(ini);
    }
    EXPECT_EQ(
        TIniFile(iniName).ReadString(QStringLiteral("Window"), QStringLiteral("TimeAxis"), {}),
        QStringLiteral("Clock"));
    TChartArea restored;
    restored.RestorePlacement(TIniFile(iniName));
    EXPECT_EQ(restored.Series().TimeAxis(), ETimeAxis::Clock);
    TIniFile(iniName).WriteString(QStringLiteral("Window"), QStringLiteral("TimeAxis"),
                                  QStringLiteral("Sundial"));
    restored.RestorePlacement(TIniFile(iniName));
    EXPECT_EQ(restored.Series().TimeAxis(), ETimeAxis::PointNumber);
}

// The panel shows each meter's newest values, once per showing however many arrive, and
// never passes off a run's values as the next run's.
TEST(ValuesPanelTest, ShowsTheNewestValuesAtMostTenTimesASecond) {
    const QDateTime measured(QDate(2026, 12, 11), QTime(14, 3, 5));
    TValuesPanel panel([&] { return measured.toMSecsSinceEpoch(); });
    panel.RunStarted();
    panel.ShowChanges();
    EXPECT_EQ(panel.StateText(), QStringLiteral("Waiting for the meters' first values."));
    EXPECT_FALSE(panel.ShowPending()) << "no timer while nothing changes";

    for (int i = 0; i < 1000; ++i)
        panel.Note(QStringLiteral("M2"), EChartQuantity::Cap1, i);
    panel.Note(QStringLiteral("M1"), EChartQuantity::Temperature, 21.5);
    panel.Note(QStringLiteral("M1"), EChartQuantity::Time, 10); // elapsed time: no measurement
    panel.Note(QStringLiteral("M1"), EChartQuantity::Cap1, 1.25);
    EXPECT_TRUE(panel.ShownRows().isEmpty()) << "shown by the timer, not per value";
    EXPECT_TRUE(panel.ShowPending());
    panel.ShowChanges();
    const QStringList rows = {"M1 CAP1 1.25 pF 14:03:05", "M1 Temperature 21.5 °C 14:03:05",
                              "M2 CAP1 999 pF 14:03:05"};
    EXPECT_EQ(panel.ShownRows(), rows);
    EXPECT_TRUE(panel.StateText().isEmpty());
    EXPECT_FALSE(panel.ShowPending());

    // After the stop the values stay as the last run's; the next run starts without them.
    panel.RunStopped();
    panel.ShowChanges();
    EXPECT_EQ(panel.ShownRows(), rows);
    EXPECT_EQ(panel.StateText(), QStringLiteral("The run has stopped: these are its last values."));
    panel.RunStarted();
    panel.ShowChanges();
    EXPECT_TRUE(panel.ShownRows().isEmpty());
}

// Through the window: the Settings menu shows the panel, the run's points fill it, and the
// panel and the axis link come back at the next start.
TEST(ValuesWindowTest, MenuShowsThePanelAndTheWindowKeepsIt) {
    QTemporaryDir dir;
    const QString iniName = dir.filePath(QStringLiteral("Settings.ini"));
    TScriptedPrompts prompts;
    TVirtualHidBus bus;
    bus.Plug(std::make_shared<TVirtualMeter>(QStringLiteral("M1")));
    {
        TProgram program(bus, iniName);
        TMainWindow& form = program.Window();
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
        ASSERT_TRUE(QTest::qWaitFor([&] { return form.MeterSet().Meters().size() == 1; }, 5000));
        EXPECT_FALSE(form.ValuesDock->isVisible());
        const QList<QAction*> menus = form.menuBar()->actions();
        const auto settings = std::find_if(menus.begin(), menus.end(), [](const QAction* menu) {
            return menu->text() == QStringLiteral("&Settings");
        });
        ASSERT_NE(settings, menus.end());
        EXPECT_TRUE((*settings)->menu()->actions().contains(form.ShowValuesAction));
        form.ShowValuesAction->trigger();
        EXPECT_TRUE(form.ValuesDock->isVisible());

        emit form.Run().PointAt(0, EChartQuantity::Cap1, 1, 1.25, 0);
        emit form.Run().PointNext(0, EChartQuantity::Cap2, 2.5, 0);
        form.Values->ShowChanges();
        const QStringList rows = form.Values->ShownRows();
        ASSERT_EQ(rows.size(), 2);
        EXPECT_TRUE(rows[0].startsWith(QStringLiteral("M1 CAP1 1.25 pF"))) << rows[0].toStdString();
        EXPECT_TRUE(rows[1].startsWith(QStringLiteral("M1 CAP2 2.5 pF"))) << rows[1].toStdString();
        form.ChartArea->AxisLink().SetLinked(true);
        form.close();
    }
    TProgram program(bus, iniName);
    TMainWindow& form = program.Window();
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_TRUE(form.ValuesDock->isVisible());
    EXPECT_TRUE(form.ShowValuesAction->isChecked());
    EXPECT_TRUE(form.ChartArea->AxisLink().Linked());
}

} // namespace
