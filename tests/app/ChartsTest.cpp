#include "app/Chart.h"
#include "app/ChartSeries.h"
#include "app/ChartSet.h"
#include "app/MainWindow.h"
#include "app/Program.h"
#include "app/core/FastModeBuffers.h"
#include "dialogs/ChannelConfigDialog.h"
#include "dialogs/ChartEditor.h"
#include "dialogs/RegSetDialog.h"
#include "link/hid/VirtualHidBus.h"
#include "model/IniFile.h"
#include "model/Meter.h"
#include "model/SampleRecord.h"
#include "sim/VirtualMeter.h"
#include "tests/support/ContextMenu.h"
#include "tests/support/ScriptedPrompts.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageReader>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QSignalSpy>
#include <QSpinBox>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
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

// The first bytes of a file, which name its format.
std::string Head(const QString& fileName) {
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.read(4).toStdString() : std::string();
}

QStringList Titles(const QCustomPlot* chart) {
    QStringList titles;
    for (int i = 0; i < chart->graphCount(); ++i)
        titles << chart->graph(i)->name();
    return titles;
}

QStringList LegendTitles(const QCustomPlot* chart) {
    QStringList titles;
    for (int i = 0; i < chart->legend->itemCount(); ++i)
        if (auto* item = qobject_cast<QCPPlottableLegendItem*>(chart->legend->item(i)))
            titles << item->plottable()->name();
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
        // At most 24 bytes a point, besides a few chunks that a short series leaves half empty.
        if (limit >= 500) {
            EXPECT_LE(data.AllocatedBytes(), 24u * std::size_t(limit) + 4096) << "limit " << limit;
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
    // The points and a few chunks of summary.
    EXPECT_LT(data.AllocatedBytes(), 8192u);
    data.Append(100000, std::numeric_limits<double>::quiet_NaN()); // a gap, not a value
    bool found = false;
    EXPECT_EQ(data.ValueSpan(found), QCPRange(99900, 99999));
    data.Clear();
    EXPECT_EQ(data.AllocatedBytes(), 0u);
    data.ValueSpan(found);
    EXPECT_FALSE(found);
}

// Each point's time, kept as steps from the point before, stays right while the oldest points
// go: steps of nothing, of ms, too long for the compact form, backwards (which count as
// nothing) and points given no time (which stand at the last one's).
TEST(SeriesDataTest, TimesStayRightWhileTheOldestPointsGo) {
    for (const int limit : {0, 3, 1000}) {
        TSeriesData data;
        std::deque<std::int64_t> expected;
        std::mt19937 random(7);
        std::int64_t last = 1'765'000'000'000;
        for (int i = 0; i < 6000; ++i) {
            const int kind = int(random() % 20);
            std::optional<std::int64_t> time = last + std::int64_t(random() % 2000);
            if (kind < 6)
                time = last;
            else if (kind == 6)
                time = last + 70'000 + std::int64_t(random() % 1'000'000);
            else if (kind == 7)
                time = last - 5000;
            else if (kind == 8)
                time.reset();
            data.Append(i, i, time);
            last = std::max(time.value_or(last), last);
            expected.push_back(last);
            data.LimitTo(limit);
            while (limit > 0 && int(expected.size()) > limit)
                expected.pop_front();
            if (i % 97 != 0)
                continue;
            ASSERT_EQ(data.size(), int(expected.size()));
            for (int k = 0; k < data.size(); ++k)
                ASSERT_EQ(data.TimeAt(k), expected[std::size_t(k)])
                    << limit << " " << i << " " << k;
            for (const std::int64_t t : expected)
                for (const std::int64_t probe : {t - 1, t, t + 1}) {
                    const auto first = std::lower_bound(expected.begin(), expected.end(), probe);
                    ASSERT_EQ(data.FirstAtOrAfter(probe), int(first - expected.begin()))
                        << limit << " " << i << " " << probe;
                }
        }
    }
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
    const TMeterSeries a{QStringLiteral("A"), true, false, true, false};
    const TMeterSeries b{QStringLiteral("B"), true, false, true, false};
    Set.Rebuild({a, b});
    Temperature.removeGraph(Temperature.graph(0)); // as the chart editor deletes it
    Set.Add(0, EChartQuantity::Temperature, 1, 20, 0);
    Set.AddNext(0, EChartQuantity::Temperature, 20, 10);
    Set.Limit(0, EChartQuantity::Temperature, 10);
    Set.Add(1, EChartQuantity::Temperature, 1, 30, 0);
    ASSERT_EQ(Temperature.graphCount(), 1);
    EXPECT_EQ(Points(Temperature.graph(0)), std::vector<TPoint>({{1, 30}}));
    EXPECT_EQ(Set.Series(0, EChartQuantity::Temperature), nullptr);

    // Neither a device change, with the meters in another order, nor Clear brings it back.
    Set.Rebuild({b, a});
    Set.Clear();
    Set.Rebuild({a, b});
    EXPECT_EQ(Titles(&Temperature), QStringList({"Temp.B    "}));
    // Switched off and on again, the sensor gets a new series.
    Set.Rebuild({{QStringLiteral("A"), true, false, false, false}, b});
    Set.Rebuild({a, b});
    EXPECT_EQ(Titles(&Temperature), QStringList({"Temp.A    ", "Temp.B    "}));
}

// What the window's tests cannot arrange: a new meter listed before the known ones, a meter
// that is gone keeping its place, and a colour the user gave one series that a new series
// must not take.
TEST_F(ChartSetTest, MetersKeepTheirSeriesByTheirSerialNumbers) {
    const TMeterSeries a{QStringLiteral("A"), true, false, true, false};
    const TMeterSeries b{QStringLiteral("B"), true, false, false, false};
    const TMeterSeries c{QStringLiteral("C"), true, false, false, false};
    const TMeterSeries d{QStringLiteral("D"), true, false, false, false};
    Set.Rebuild({a, b, c});
    Set.Add(1, EChartQuantity::Cap1, 1, 10, 0);
    Set.AddNext(1, EChartQuantity::Cap1, 11, 0);
    Set.AddNext(1, EChartQuantity::Cap1, 12, 0);
    QCPGraph* bCap1 = Set.Series(1, EChartQuantity::Cap1);
    // The user gives B the colour that a fourth series would have had, and hides it.
    TChart scratch{QString()};
    for (int i = 0; i < 4; ++i)
        scratch.AddSeries(QString(), QSharedPointer<TSeriesData>::create());
    const QColor fourth = scratch.graph(3)->pen().color();
    bCap1->setPen(QPen(fourth, 5));
    bCap1->setVisible(false);

    // B pulled out, D plugged in ahead of the others.
    Set.Rebuild({d, a, c});
    EXPECT_EQ(Titles(&Capacitance), QStringList({"CAP1.D", "CAP1.A", "CAP1.B", "CAP1.C"}));
    EXPECT_EQ(LegendTitles(&Capacitance), Titles(&Capacitance));
    QSet<QRgb> colours;
    for (int i = 0; i < Capacitance.graphCount(); ++i)
        colours.insert(Capacitance.graph(i)->pen().color().rgb());
    EXPECT_EQ(colours.size(), 4) << "D's colour is one that no other series shows";
    EXPECT_EQ(Set.Series(1, EChartQuantity::Cap1), Capacitance.graph(1)) << "A is listed second";
    EXPECT_EQ(Titles(&Timing),
              QStringList({"Time.D    ", "Time.A    ", "Time.B    ", "Time.C    "}));

    // B back, now listed last: the same series, edits, points and counter.
    Set.Rebuild({d, a, c, b});
    EXPECT_EQ(Titles(&Capacitance), QStringList({"CAP1.D", "CAP1.A", "CAP1.C", "CAP1.B"}));
    EXPECT_EQ(LegendTitles(&Capacitance), Titles(&Capacitance));
    ASSERT_EQ(Set.Series(3, EChartQuantity::Cap1), bCap1);
    EXPECT_EQ(bCap1->pen(), QPen(fourth, 5));
    EXPECT_FALSE(bCap1->visible());
    Set.AddNext(3, EChartQuantity::Cap1, 13, 0);
    EXPECT_EQ(Points(bCap1), std::vector<TPoint>({{1, 10}, {1, 11}, {2, 12}, {3, 13}}));

    // A quantity no longer measured loses its series; a chart without series hides.
    Temperature.show();
    Set.Rebuild({d, {QStringLiteral("A"), true, false, false, false}, c, b});
    EXPECT_EQ(Temperature.graphCount(), 0);
    EXPECT_TRUE(Temperature.isHidden());

    // Clear drops the series of meters that are gone.
    Set.Rebuild({d, c});
    EXPECT_EQ(Capacitance.graphCount(), 4);
    Set.Clear();
    EXPECT_EQ(Titles(&Capacitance), QStringList({"CAP1.D", "CAP1.C"}));
    Set.Rebuild({});
    EXPECT_EQ(Capacitance.graphCount(), 2);
    Set.Clear();
    EXPECT_EQ(Capacitance.graphCount(), 0);
    EXPECT_TRUE(Capacitance.isHidden());
}

// A new run goes on after the points of the last, in timer mode (the caller's point number)
// and in fast mode (each series' counter), also in a series that is added during the run.
TEST_F(ChartSetTest, ARunContinuesAfterTheLastPoints) {
    const TMeterSeries a{QStringLiteral("A"), true, true, false, false};
    const TMeterSeries b{QStringLiteral("B"), false, false, true, false};
    Set.Rebuild({a});
    EXPECT_EQ(Set.LastX(), 0);
    for (int x = 1; x <= 7; ++x) {
        Set.Add(0, EChartQuantity::Cap1, x, 1, 0);
        Set.Add(0, EChartQuantity::Time, x + 2, 40, 0);
    }
    Set.AddNext(0, EChartQuantity::Cap2, 2, 0);
    EXPECT_EQ(Set.LastX(), 7);
    EXPECT_EQ(Set.LastTimingX(), 9);

    Set.ContinueAfter(Set.LastX(), Set.LastTimingX());
    Set.AddNext(0, EChartQuantity::Cap2, 2, 0);
    Set.AddNext(0, EChartQuantity::Cap1, 1, 0);
    Set.AddNext(0, EChartQuantity::Time, 40, 0);
    Set.Rebuild({a, b});
    Set.AddNext(1, EChartQuantity::Temperature, 20, 0);
    EXPECT_EQ(Points(Set.Series(0, EChartQuantity::Cap2)), std::vector<TPoint>({{1, 2}, {8, 2}}));
    EXPECT_EQ(Points(Set.Series(0, EChartQuantity::Cap1)).back(), (TPoint{8, 1}));
    EXPECT_EQ(Points(Set.Series(0, EChartQuantity::Time)).back(), (TPoint{10, 40}));
    EXPECT_EQ(Points(Set.Series(1, EChartQuantity::Temperature)), std::vector<TPoint>({{8, 20}}));
    EXPECT_EQ(Set.LastX(), 8);

    Set.Clear();
    EXPECT_EQ(Set.LastX(), 0);
    EXPECT_EQ(Set.LastTimingX(), 0);
    Set.AddNext(1, EChartQuantity::Temperature, 20, 0);
    EXPECT_EQ(Points(Set.Series(1, EChartQuantity::Temperature)), std::vector<TPoint>({{1, 20}}));
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
    QSignalSpy saved(&Capacitance, &TChart::ImageSaved);
    // Names that do not say PNG or PDF get the extension of the file type chosen: PNG here.
    prompts.Files = {
        dir.filePath(QStringLiteral("chart.png")), dir.filePath(QStringLiteral("chart.PDF")),
        dir.filePath(QStringLiteral("missing/chart.png")), dir.filePath(QStringLiteral("plain")),
        dir.filePath(QStringLiteral("run.2026"))};
    for (int i = 0; i < 5; ++i)
        Capacitance.SaveImageAs();
    const QSize size = QImageReader(dir.filePath(QStringLiteral("chart.png"))).size();
    EXPECT_EQ(size, Capacitance.size() * Capacitance.devicePixelRatioF());
    EXPECT_EQ(Head(dir.filePath(QStringLiteral("chart.PDF"))), "%PDF");
    EXPECT_EQ(Head(dir.filePath(QStringLiteral("plain.png"))), "\x89PNG");
    EXPECT_EQ(Head(dir.filePath(QStringLiteral("run.2026.png"))), "\x89PNG");
    ASSERT_EQ(prompts.Errors.size(), 1);
    EXPECT_TRUE(prompts.Errors[0].contains(QStringLiteral("missing")))
        << prompts.Errors[0].toStdString();
    QStringList names;
    for (const QList<QVariant>& signal : saved)
        names << QFileInfo(signal.at(0).toString()).fileName();
    EXPECT_EQ(names, QStringList({"chart.png", "chart.PDF", "plain.png", "run.2026.png"}))
        << "only what was saved is reported";
}

// Qt's own save dialog: it suggests the chart and the time as the name, and the file type
// chosen in it decides for a name typed without extension.
TEST_F(ChartSetTest, SaveDialogSuggestsANameAndTheChosenTypeDecides) {
    Set.Rebuild({{QStringLiteral("A"), true, false, false, false}});
    Set.Add(0, EChartQuantity::Cap1, 1, 1, 0);
    Capacitance.resize(300, 200);
    Capacitance.show();
    QTemporaryDir dir;
    const bool widgetDialogs = QCoreApplication::testAttribute(Qt::AA_DontUseNativeDialogs);
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs, true);
    const auto restore = qScopeGuard(
        [&] { QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs, widgetDialogs); });
    QSignalSpy saved(&Capacitance, &TChart::ImageSaved);

    // Answers the next file dialog: the name it suggests and its folder, then the file type
    // the user picks (by keyboard, as a user would) and the name typed; a null name cancels.
    struct TShown {
        QString Name;
        QString Folder;
    };
    const auto answer = [&](bool pickPdf, const QString& typed) {
        TShown shown;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            poll.stop();
            auto* name = box->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            auto* types = box->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
            if (!name || !types) {
                ADD_FAILURE() << "not the dialog's own widgets";
                box->reject();
                return;
            }
            shown = {name->text(), box->directory().absolutePath()};
            if (pickPdf)
                QTest::keyClick(types, Qt::Key_Down);
            if (typed.isNull()) {
                box->reject();
                return;
            }
            name->setText(typed);
            static_cast<QDialog*>(box)->accept(); // the dialog's own check of the name
        });
        poll.start(10);
        Capacitance.SaveImageAs();
        return shown;
    };

    const QRegularExpression suggestion(
        QStringLiteral("^capacitance-20\\d\\d-\\d\\d-\\d\\d-\\d{6}\\.(png|pdf)$"));
    const TShown first = answer(true, dir.filePath(QStringLiteral("plain")));
    EXPECT_TRUE(suggestion.match(first.Name).hasMatch()) << first.Name.toStdString();
    EXPECT_TRUE(first.Name.endsWith(QLatin1String(".png")));
    EXPECT_EQ(Head(dir.filePath(QStringLiteral("plain.pdf"))), "%PDF");
    ASSERT_EQ(saved.count(), 1);
    EXPECT_EQ(saved[0].at(0).toString().toStdString(),
              dir.filePath(QStringLiteral("plain.pdf")).toStdString());

    // The next time: the folder of the last image and the type chosen last.
    const TShown second = answer(false, QString());
    EXPECT_TRUE(suggestion.match(second.Name).hasMatch()) << second.Name.toStdString();
    EXPECT_TRUE(second.Name.endsWith(QLatin1String(".pdf")));
    EXPECT_EQ(second.Folder.toStdString(), QFileInfo(dir.path()).absoluteFilePath().toStdString());
    EXPECT_EQ(saved.count(), 1);
}

// The legend starts in the plot's top-left corner, away from the newest values at the right,
// and the context menu moves it out of the plot.
TEST_F(ChartSetTest, LegendLeavesTheNewestValuesFree) {
    Set.Rebuild({{QStringLiteral("A"), true, true, false, false}});
    for (int x = 1; x <= 100; ++x)
        Set.Add(0, EChartQuantity::Cap1, x, x, 0);
    Capacitance.resize(500, 300);
    Capacitance.show();
    const auto rects = [&] {
        Capacitance.replot();
        return std::pair(Capacitance.legend->outerRect(), Capacitance.axisRect()->rect());
    };
    auto [legend, plot] = rects();
    EXPECT_TRUE(plot.contains(legend));
    EXPECT_LT(legend.right(), plot.center().x());
    EXPECT_LT(legend.top(), plot.center().y());

    const struct {
        const char* Entry;
        ELegendPlace Place;
        bool (*Outside)(const QRect& legend, const QRect& plot);
    } cases[] = {
        {"Right of the Plot", ELegendPlace::Right,
         [](const QRect& l, const QRect& p) { return l.left() > p.right(); }},
        {"Above the Plot", ELegendPlace::Above,
         [](const QRect& l, const QRect& p) { return l.bottom() < p.top(); }},
        {"Top Left Corner", ELegendPlace::TopLeft,
         [](const QRect& l, const QRect& p) { return p.contains(l); }},
    };
    for (const auto& c : cases) {
        ChooseFromContextMenu(Capacitance, QLatin1String(c.Entry));
        EXPECT_EQ(Capacitance.LegendPlace(), c.Place) << c.Entry;
        std::tie(legend, plot) = rects();
        EXPECT_TRUE(c.Outside(legend, plot)) << c.Entry;
        EXPECT_EQ(Capacitance.legend->itemCount(), 2) << c.Entry;
        EXPECT_GT(plot.width(), 300) << c.Entry << ": the legend takes only the room it needs";
    }
}

// The real window on a virtual bus; results are handed to its receive handler directly.
class WindowChartsTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    TScriptedPrompts Prompts;
    TVirtualHidBus Bus;
    std::unique_ptr<TProgram> Program;
    TMainWindow* Form = nullptr;

    void Start(int meters) {
        for (int i = 0; i < meters; ++i)
            Bus.Plug(std::make_shared<TVirtualMeter>(QStringLiteral("M%1").arg(i + 1)));
        Program = std::make_unique<TProgram>(Bus, Dir.filePath(QStringLiteral("Settings.ini")));
        Form = &Program->Window();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return Form->MeterSet().Meters().size() == std::size_t(meters); }, 5000));
    }
    // Settings.ini sections for meters that measure channel 1, the first of them also the
    // temperature: discovery sets the meters up from them after every device change.
    void WriteMeterSettings(const QStringList& serials) {
        TIniFile ini(Dir.filePath(QStringLiteral("Settings.ini")));
        for (const QString& serial : serials) {
            const bool temperature = serial == serials.front();
            ini.WriteInteger(serial, QStringLiteral("CAP1Mode"), 1);
            ini.WriteBool(serial, QStringLiteral("InternalTempEnabled"), temperature);
            const int image[][2] = {{7, 0x80}, {8, temperature ? 0x81 : 0}, {9, 0x28}, {10, 0xA0}};
            for (const auto& [n, value] : image)
                ini.WriteInteger(serial, QStringLiteral("Reg%1").arg(n), value);
        }
    }
    void WaitForMeters(std::size_t count) {
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return Form->MeterSet().Meters().size() == count; }, 5000));
    }
    std::size_t Index(const QString& serial) const {
        for (std::size_t i = 0; i < Form->MeterSet().Meters().size(); ++i)
            if (Form->MeterSet().Meters()[i]->SerNum() == serial)
                return i;
        return Form->MeterSet().Meters().size();
    }
    QCPGraph* Series(const QString& serial, EChartQuantity quantity) const {
        return Form->ChartArea->Series().Series(Index(serial), quantity);
    }
    // A result of meter at x as a run hands it to the window: each value in the chart of its
    // quantity, in the order of what the meter's image measures, then its elapsed time.
    void Draw(std::size_t meter, std::span<const double> values, double x, std::uint32_t ticks) {
        TRunController& run = Form->Run();
        const auto byQuantity = ValuesByQuantity(
            MeasuredQuantities(Form->MeterSet().Meters()[meter]->RegData()), values);
        for (std::size_t quantity = 0; quantity < byQuantity.size(); ++quantity)
            if (byQuantity[quantity])
                emit run.PointAt(meter, EChartQuantity(quantity), x, *byQuantity[quantity], 0);
        emit run.PointAt(meter, EChartQuantity::Time, x, ticks, 0);
        emit run.TicksMeasured(ticks);
    }
    // One timer-mode measurement of every meter at x: meter Mn reads n pF and 20 + n °C.
    void Measure(int x) {
        for (std::size_t i = 0; i < Form->MeterSet().Meters().size(); ++i) {
            const double n = Form->MeterSet().Meters()[i]->SerNum().mid(1).toDouble();
            const double values[] = {n, 20 + n};
            const auto count = std::size_t(Form->MeterSet().Meters()[i]->ValueCount());
            Draw(i, std::span(values, std::min<std::size_t>(count, 2)), x, 10);
        }
    }

    // What meter i measures; the charts are rebuilt as the meter dialogs do.
    void Configure(std::size_t i, bool cap2, bool temperature, bool resistor) {
        TMeter* meter = Form->MeterSet().Meters()[i];
        meter->SetCAP1Mode(1);
        meter->SetCAP2Mode(cap2 ? 1 : 0);
        meter->SetInternalTempEnabled(temperature);
        meter->SetExternalResistorEnabled(resistor);
        meter->SetRegsFromConfig();
        Form->RebuildCharts();
    }
};

// Plugging meters in and pulling them out keeps every meter's series with its points, colour
// and the user's edits; a meter pulled out keeps its series and goes on in them when it is
// back. The chart editor, loaded before, keeps editing the same series.
TEST_F(WindowChartsTest, SeriesSurviveDeviceChanges) {
    WriteMeterSettings({QStringLiteral("M1"), QStringLiteral("M2"), QStringLiteral("M3")});
    Start(2);
    Form->Settings->MaxPointSE->setValue(0);
    for (int x = 1; x <= 3; ++x)
        Measure(x);
    QPointer<QCPGraph> m1 = Series(QStringLiteral("M1"), EChartQuantity::Cap1);
    QPointer<QCPGraph> m2 = Series(QStringLiteral("M2"), EChartQuantity::Cap1);
    QPointer<QCPGraph> m1Temperature = Series(QStringLiteral("M1"), EChartQuantity::Temperature);
    ASSERT_TRUE(m1 && m2 && m1Temperature);
    // Edits as the chart editor makes them.
    m1->setName(QStringLiteral("probe 1"));
    m2->setPen(QPen(Qt::magenta, 4));
    m2->setVisible(false);
    const QPen m1Pen = m1->pen();
    Form->ChartEditorDialog->Load(Form->ChartArea->CapacitanceChart);

    auto m3 = std::make_shared<TVirtualMeter>(QStringLiteral("M3"));
    Bus.Plug(m3);
    ASSERT_NO_FATAL_FAILURE(WaitForMeters(3));
    ASSERT_EQ(Series(QStringLiteral("M1"), EChartQuantity::Cap1), m1);
    ASSERT_EQ(Series(QStringLiteral("M2"), EChartQuantity::Cap1), m2);
    EXPECT_EQ(m1->name(), QStringLiteral("probe 1"));
    EXPECT_EQ(m1->pen(), m1Pen);
    EXPECT_EQ(m2->pen(), QPen(Qt::magenta, 4));
    EXPECT_FALSE(m2->visible());
    EXPECT_EQ(Points(m1), std::vector<TPoint>({{1, 1}, {2, 1}, {3, 1}}));
    EXPECT_EQ(Points(m1Temperature), std::vector<TPoint>({{1, 21}, {2, 21}, {3, 21}}));
    EXPECT_EQ(Points(m2).size(), 3u);
    QStringList listOrder;
    for (const TMeter* meter : Form->MeterSet().Meters())
        listOrder << (meter->SerNum() == QLatin1String("M1") ? QStringLiteral("probe 1")
                                                             : "CAP1." + meter->SerNum());
    EXPECT_EQ(Titles(Form->ChartArea->CapacitanceChart), listOrder);
    const QColor m3Colour = Series(QStringLiteral("M3"), EChartQuantity::Cap1)->pen().color();
    EXPECT_NE(m3Colour, m1Pen.color());
    EXPECT_NE(m3Colour, QColor(Qt::magenta));
    // The open editor still edits M1's series.
    Form->ChartEditorDialog->SeriesLB->setCurrentRow(0);
    Form->ChartEditorDialog->TitleEd->setText(QStringLiteral("probe A"));
    Form->ChartEditorDialog->TitleEdChange();
    EXPECT_EQ(m1->name(), QStringLiteral("probe A"));

    // M2 pulled out: its series stays as it was while the others go on.
    std::shared_ptr<TVirtualHidDevice> m2Meter;
    for (const auto& device : Bus.PluggedDevices())
        if (device->Serial() == QLatin1String("M2"))
            m2Meter = device;
    ASSERT_TRUE(m2Meter);
    Bus.Unplug(m2Meter);
    ASSERT_NO_FATAL_FAILURE(WaitForMeters(2));
    Measure(4);
    ASSERT_EQ(Form->ChartArea->CapacitanceChart->graphCount(), 3);
    EXPECT_TRUE(Form->ChartArea->CapacitanceChart->hasPlottable(m2));
    EXPECT_EQ(Points(m2).size(), 3u);
    EXPECT_EQ(Points(m1).back(), (TPoint{4, 1}));

    // Back again, it goes on in the same series.
    Bus.Plug(m2Meter);
    ASSERT_NO_FATAL_FAILURE(WaitForMeters(3));
    ASSERT_EQ(Series(QStringLiteral("M2"), EChartQuantity::Cap1), m2);
    Measure(5);
    EXPECT_EQ(Points(m2), std::vector<TPoint>({{1, 2}, {2, 2}, {3, 2}, {5, 2}}));
    EXPECT_EQ(Series(QStringLiteral("M3"), EChartQuantity::Cap1)->pen().color(), m3Colour);

    // A series the user deleted stays deleted.
    Form->ChartArea->TemperatureChart->removeGraph(m1Temperature);
    Bus.Unplug(m3);
    ASSERT_NO_FATAL_FAILURE(WaitForMeters(2));
    EXPECT_EQ(Form->ChartArea->TemperatureChart->graphCount(), 0);
    EXPECT_TRUE(Form->ChartArea->TemperatureChart->isHidden());
    EXPECT_EQ(Form->ChartArea->CapacitanceChart->graphCount(), 3) << "M3's series stays";
}

TEST_F(WindowChartsTest, PointLimitKeepsTheNewestMeasurements) {
    Start(1);
    Configure(0, false, true, false);
    for (const int limit : {500, 0}) {
        Form->ClearBtnClick();
        Form->Settings->MaxPointSE->setValue(limit);
        for (int i = 1; i <= 600; ++i) {
            const double values[] = {1.5, 20.0};
            Draw(0, values, i, 40);
        }
        for (const QCustomPlot* chart :
             {Form->ChartArea->CapacitanceChart, Form->ChartArea->TemperatureChart,
              Form->ChartArea->TimingChart}) {
            const auto points = Points(chart->graph(0));
            ASSERT_EQ(points.size(), limit ? 500u : 600u) << chart->objectName().toStdString();
            EXPECT_EQ(points.front().Key, limit ? 101 : 1);
            EXPECT_EQ(points.back().Key, 600);
        }
    }
    EXPECT_EQ(Form->Settings->TicksLabel->text(), QStringLiteral("40"));
}

// The list's click opens the channel dialog and its double click the register dialog, only
// while idle; the charts are rebuilt only when what a meter draws has changed.
TEST_F(WindowChartsTest, MeterDialogsRebuildTheChartsOnlyWhenWhatIsDrawnChanged) {
    Start(1);
    Configure(0, false, false, false);
    Form->Settings->MeterList->setCurrentRow(0);
    Form->Run().SetLogFileName(Dir.filePath(QStringLiteral("run.txt")));
    Form->StartBtnClick();
    ASSERT_TRUE(Form->Run().Running());
    // While running: no dialog, and so nothing to close.
    Form->MeterListClick();
    Form->MeterListDblClick();
    Form->StopBtnClick();
    const double values[] = {1.0};
    Form->ClearBtnClick();
    Draw(0, values, 1, 10);
    ASSERT_EQ(Form->ChartArea->CapacitanceChart->graph(0)->dataCount(), 1);

    // Closed untouched: the points stay.
    QTimer::singleShot(0, Form->ChannelConfigDialog, &QDialog::reject);
    Form->MeterListClick();
    QTimer::singleShot(0, Form->RegSetDialog, &QDialog::reject);
    Form->MeterListDblClick();
    EXPECT_EQ(Form->ChartArea->CapacitanceChart->graph(0)->dataCount(), 1);

    // The temperature sensor switched on in the channel dialog: a rebuild with its series.
    QTimer::singleShot(0, Form->ChannelConfigDialog, [this] {
        Form->ChannelConfigDialog->InternalTempEnabledCB->setChecked(true);
        Form->ChannelConfigDialog->reject();
    });
    Form->MeterListClick();
    EXPECT_TRUE(Form->MeterSet().Meters()[0]->InternalTempEnabled());
    EXPECT_EQ(Titles(Form->ChartArea->TemperatureChart), QStringList({"Temp.M1    "}));
    EXPECT_EQ(Form->ChartArea->CapacitanceChart->graph(0)->dataCount(), 1)
        << "the other series keep their points";

    // Channel 2 switched on in the register dialog: a second capacitance series.
    QTimer::singleShot(0, Form->RegSetDialog, [this] {
        Form->RegSetDialog->CAP2EN_CB->setChecked(true);
        Form->RegSetDialog->reject();
    });
    Form->MeterListDblClick();
    EXPECT_EQ(Titles(Form->ChartArea->CapacitanceChart), QStringList({"CAP1.M1", "CAP2.M1"}));
}

TEST_F(WindowChartsTest, LayoutFollowsWhatTheMetersMeasure) {
    Start(2);
    Configure(0, false, false, false);
    Configure(1, false, false, false);
    EXPECT_FALSE(Form->ChartArea->CapacitanceChart->isHidden());
    EXPECT_TRUE(Form->ChartArea->TemperatureChart->isHidden() &&
                Form->ChartArea->ResistanceChart->isHidden());
    EXPECT_TRUE(Form->ChartArea->LowerPanel()->isHidden())
        << "the capacitance chart takes the space";
    EXPECT_TRUE(Form->ChartArea->handle(1)->isHidden());

    // A temperature sensor switched on: a new, empty series and the lower panel.
    const double values[] = {1.0};
    Draw(1, values, 1, 10);
    Configure(1, false, true, true);
    EXPECT_EQ(Titles(Form->ChartArea->TemperatureChart), QStringList({"Temp.M2    "}));
    EXPECT_EQ(Form->ChartArea->TemperatureChart->graph(0)->dataCount(), 0);
    EXPECT_EQ(Form->ChartArea->CapacitanceChart->graph(1)->dataCount(), 1)
        << "a rebuild keeps the points";
    EXPECT_FALSE(Form->ChartArea->LowerPanel()->isHidden());
    EXPECT_FALSE(Form->ChartArea->handle(1)->isHidden());
    EXPECT_FALSE(Form->ChartArea->LowerSplitter()->handle(1)->isHidden());

    // Meters pulled out leave their series until Clear.
    for (const auto& device : Bus.PluggedDevices())
        Bus.Unplug(device);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form->MeterSet().Meters().empty(); }, 5000));
    EXPECT_FALSE(Form->ChartArea->CapacitanceChart->isHidden() ||
                 Form->ChartArea->TemperatureChart->isHidden());
    Form->ClearBtnClick();
    EXPECT_TRUE(Form->ChartArea->CapacitanceChart->isHidden() &&
                Form->ChartArea->TemperatureChart->isHidden() &&
                Form->ChartArea->ResistanceChart->isHidden());

    EXPECT_TRUE(Form->ChartArea->TimingChart->isHidden())
        << "the timing chart shows only on request";
    Form->Settings->ShowTicksCB->setChecked(true);
    EXPECT_FALSE(Form->ChartArea->TimingChart->isHidden());
}

} // namespace
