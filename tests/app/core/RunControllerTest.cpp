#include "app/core/RunController.h"

#include "app/core/MeterSet.h"
#include "model/Meter.h"
#include "tests/support/CoreRun.h"
#include "tests/support/TextFiles.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <vector>

namespace {

using TFields = QList<QByteArray>;

class RunControllerTest : public TCoreRunTest {};

// A timer-mode log: the settings header, the column header with every quantity of every meter,
// and at each tick a row of what each meter measured since the last.
TEST_F(RunControllerTest, TimerModeLogsHeadersAndOneRowPerTick) {
    Start(2, /*temperature=*/true);
    Run->SetInterval(400);
    StartRun();
    for (int tick = 0; tick < 3; ++tick)
        ASSERT_TRUE(TickAfterResults({"M1", "M2"}));
    Run->Stop();

    const QList<QByteArray> lines = ReadLines(LogName);
    ASSERT_GT(lines.size(), 22);
    EXPECT_EQ(lines[0], "DieloMeter5.1 Vantel");
    EXPECT_EQ(lines[2], "Auto Mode:\tOff");
    EXPECT_EQ(lines[3], "Interval [ms]\t400");
    const TRunLog log = Log("CAP1.M1\tTemp.M1\tCAP1.M2\tTemp.M2\t");
    ASSERT_EQ(log.Rows.size(), 3u);
    for (const TRunLog::TRow& row : log.Rows)
        EXPECT_EQ(row.Fields, TFields({"1.250000", "21.500000", "2.250000", "21.500000"}))
            << "line " << row.Line;
}

// Fast mode: each tick writes what the meter delivered since the last as a block, value rows
// and then their count, and Stop writes what is still buffered: every result of the run is
// logged once and drawn once. Noise reduction applies to timer mode's repeats; fast mode's
// one-conversion records still decode.
TEST_F(RunControllerTest, FastModeLogsAndDrawsEveryResultOnceInBlocks) {
    Start(1);
    Meters->SetNoiseReduction(1);
    Run->SetFastMode(true);
    Run->SetFastModeInterval(0, QStringLiteral("11.0"));
    int drawn = 0, timesDrawn = 0;
    QObject::connect(Run.get(), &TRunController::PointNext,
                     [&](std::size_t, EChartQuantity quantity, double value) {
                         if (quantity == EChartQuantity::Cap1) {
                             EXPECT_EQ(value, 1.25);
                             ++drawn;
                         }
                         timesDrawn += quantity == EChartQuantity::Time;
                     });
    StartRun();
    for (int tick = 0; tick < 4; ++tick)
        ASSERT_TRUE(TickAfterResults({"M1"}));
    ASSERT_TRUE(WaitForResults({"M1"})); // for Stop to write
    Run->Stop();
    EXPECT_TRUE(Failures.empty());

    const QList<QByteArray> lines = ReadLines(LogName);
    ASSERT_GT(lines.size(), 3);
    EXPECT_EQ(lines[2], "Auto Mode:\tOn");
    EXPECT_EQ(lines[3], "Interval [ms]\t11.0");
    const qsizetype columns = lines.indexOf("CAP1.M1\t");
    ASSERT_GT(columns, 0);
    int values = 0, blocks = 0, pending = 0;
    for (const QByteArray& line : lines.mid(columns + 1)) {
        if (line.endsWith('\t')) {
            EXPECT_EQ(line, "1.250000\t");
            ++pending;
        } else {
            EXPECT_EQ(line.toInt(), pending);
            values += pending;
            pending = 0;
            ++blocks;
        }
    }
    EXPECT_EQ(pending, 0) << "the log ends with a count line";
    EXPECT_EQ(blocks, 5) << "one a tick and Stop's";
    EXPECT_EQ(values, RunResults["M1"]);
    EXPECT_LE(values, Devices[0]->ResultsCompleted() - Devices[0]->LostResults());
    EXPECT_EQ(drawn, values);
    EXPECT_EQ(timesDrawn, values);
}

// Discovery frees and rebuilds every meter while the run goes on: a meter pulled out leaves its
// fields empty once its last result is logged, and takes them again when plugged back in. The
// other meters' columns never move.
TEST_F(RunControllerTest, TimerRowsFollowAMeterPulledOutAndBack) {
    Start(3, /*temperature=*/true);
    StartRun();
    const QStringList all = {"M1", "M2", "M3"};
    ASSERT_TRUE(TickAfterResults(all));
    ASSERT_TRUE(WaitForResults(all));
    Bus.Unplug(Devices[1]);
    ASSERT_TRUE(WaitForMeters(2));
    Run->Tick(); // M2's last result, measured before it went
    ASSERT_TRUE(TickAfterResults({"M1", "M3"}));
    Bus.Plug(Devices[1]);
    ASSERT_TRUE(WaitForMeters(3));
    Run->Tick(); // whatever was measured around the device change
    ASSERT_TRUE(TickAfterResults(all));
    Run->Stop();

    const TRunLog log = Log("CAP1.M1\tTemp.M1\tCAP1.M2\tTemp.M2\tCAP1.M3\tTemp.M3\t");
    ASSERT_EQ(log.Rows.size(), 5u);
    const TFields full = {"1.250000",  "21.500000", "2.250000",
                          "21.500000", "3.250000",  "21.500000"};
    EXPECT_EQ(log.Rows[0].Fields, full);
    EXPECT_EQ(log.Rows[1].Fields, full);
    EXPECT_EQ(log.Rows[2].Fields,
              TFields({"1.250000", "21.500000", "", "", "3.250000", "21.500000"}));
    EXPECT_EQ(log.Rows[4].Fields, full);
}

// Fast mode: a meter pulled out and back keeps its column, no value lands in another meter's,
// and every result the meters' workers read is logged, also those still on their way when a
// device change frees every meter.
TEST_F(RunControllerTest, FastModeLogsEveryResultInItsColumnAcrossDeviceChanges) {
    Start(2);
    Run->SetFastMode(true);
    Run->SetFastModeInterval(2, QStringLiteral("20.0"));
    StartRun();
    for (int tick = 0; tick < 7; ++tick) {
        if (tick == 2) {
            QThread::msleep(150); // busy: results wait for the program
            Meters->Rediscover(); // as at every device change
            ASSERT_EQ(Meters->Meters().size(), 2u);
        }
        if (tick == 3) {
            Bus.Unplug(Devices[0]);
            ASSERT_TRUE(WaitForMeters(1));
        }
        if (tick == 5) {
            Bus.Plug(Devices[0]);
            ASSERT_TRUE(WaitForMeters(2));
        }
        ASSERT_TRUE(
            TickAfterResults(tick == 3 || tick == 4 ? QStringList{"M2"} : QStringList{"M1", "M2"}));
    }
    // What the workers read from the meters; what is still on its way at Stop is dropped.
    int read[2];
    for (std::size_t i = 0; i < 2; ++i)
        read[i] = Devices[i]->ResultsCompleted() - Devices[i]->LostResults();
    Run->Stop();

    const TRunLog log = Log("CAP1.M1\tCAP1.M2\t");
    int logged[2] = {};
    for (const TRunLog::TRow& row : log.Rows)
        for (int i = 0; i < 2 && i < row.Fields.size(); ++i) {
            EXPECT_TRUE(row.Fields[i].isEmpty() || row.Fields[i] == ValueText(i))
                << "line " << row.Line;
            logged[i] += !row.Fields[i].isEmpty();
        }
    EXPECT_EQ(log.Counted, int(log.Rows.size()));
    EXPECT_GE(RunResults["M1"], 5);
    EXPECT_GE(RunResults["M2"], 7);
    EXPECT_EQ(logged[0], RunResults["M1"]);
    EXPECT_EQ(logged[1], RunResults["M2"]);
    for (int i = 0; i < 2; ++i)
        EXPECT_GE(logged[i], read[i] - 2) << "meter " << i + 1 << ": every result read is logged";
}

// The register image decides what a meter measures: a meter whose image converts the
// temperature while its temperature flag is off logs it under its own name, and the meters after
// it keep their columns.
TEST_F(RunControllerTest, ColumnsNameWhatTheImageMeasuresWhateverTheFlagsSay) {
    Start(2, /*temperature=*/true);
    Meters->Meters()[0]->SetInternalTempEnabled(false);
    TRegData second = Meters->Meters()[1]->RegData();
    second[8] = 0; // no VT conversion: channel 1 alone
    Meters->Meters()[1]->SetRegData(second);
    StartRun();
    for (int tick = 0; tick < 3; ++tick)
        ASSERT_TRUE(TickAfterResults({"M1", "M2"}));
    Run->Stop();

    // The meter's block still shows its flags.
    EXPECT_EQ(ReadLines(LogName).value(8), "Internal Temperature Sensor:\tOff");
    const TRunLog log = Log("CAP1.M1\tTemp.M1\tCAP1.M2\t");
    ASSERT_EQ(log.Rows.size(), 3u);
    for (const TRunLog::TRow& row : log.Rows)
        EXPECT_EQ(row.Fields, TFields({"1.250000", "21.500000", "2.250000"}))
            << "line " << row.Line;
}

// A fast-mode log names exactly the columns its rows hold: one CAP1 a meter, whatever else the
// meters measure.
class FastModeColumnsTest : public TCoreRunTest, public testing::WithParamInterface<int> {};

TEST_P(FastModeColumnsTest, HeaderNamesTheColumnsTheRowsHold) {
    const int meters = GetParam();
    Start(meters, /*temperature=*/true);
    if (meters >= 2) {
        TRegData image = Meters->Meters()[1]->RegData();
        image[8] = 0; // channel 1 alone
        Meters->Meters()[1]->SetRegData(image);
    }
    Run->SetFastMode(true);
    Run->SetFastModeInterval(0, QStringLiteral("11.0"));
    StartRun();
    QStringList serials;
    QByteArray header;
    for (int i = 0; i < meters; ++i) {
        serials << Serial(i);
        header += "CAP1." + Serial(i).toUtf8() + '\t';
    }
    for (int tick = 0; tick < 2; ++tick)
        ASSERT_TRUE(TickAfterResults(serials));
    Run->Stop();

    const TRunLog log = Log(header);
    EXPECT_GE(log.Rows.size(), 2u);
    for (const TRunLog::TRow& row : log.Rows)
        for (int i = 0; i < meters && i < row.Fields.size(); ++i)
            EXPECT_TRUE(row.Fields[i].isEmpty() || row.Fields[i] == ValueText(i))
                << "line " << row.Line;
}

INSTANTIATE_TEST_SUITE_P(Meters, FastModeColumnsTest, testing::Values(1, 2, 3));

// A timer-mode field holds a value measured since the row before, or stays empty: a meter
// slower than the ticks leaves fields empty instead of repeating its last values, and Start says
// which interval is long enough. A quantity the image does not measure never shows as a number.
TEST_F(RunControllerTest, TimerRowsHoldOnlyFreshValuesAndStartWarnsOfAShortInterval) {
    Start(2, /*temperature=*/true, /*configuration=*/0xA0);
    TRegData image = Meters->Meters()[1]->RegData();
    image[8] = 0; // channel 1 alone: about a third of M1's time
    Meters->Meters()[1]->SetRegData(image);
    Meters->Meters()[1]->SetExternalResistorEnabled(true); // but not in the image
    QStringList warnings;
    QObject::connect(Run.get(), &TRunController::IntervalWarningChanged,
                     [&](const QString& warning) { warnings << warning; });
    Run->SetInterval(100);
    StartRun();
    // M1 converts its channel (62.0 ms) and the temperature twice (62.1 ms each).
    ASSERT_FALSE(warnings.isEmpty());
    EXPECT_EQ(warnings.last(),
              "The interval of 100 ms is shorter than the 194 ms meter M1 needs for a "
              "measurement: rows will have empty fields. 200 ms or more gives every row fresh "
              "values.");
    ASSERT_TRUE(TickAfterResults({"M1", "M2"}));
    for (int tick = 0; tick < 5; ++tick)
        ASSERT_TRUE(TickAfterResults({"M2"}));
    Run->Tick(); // at once: nothing measured since the last row
    Run->Stop();
    EXPECT_TRUE(warnings.last().isEmpty()) << "a stopped run warns no more";

    const TRunLog log = Log("CAP1.M1\tTemp.M1\tCAP1.M2\t");
    ASSERT_EQ(log.Rows.size(), 7u);
    int slowFilled = 0;
    for (const TRunLog::TRow& row : log.Rows) {
        const TFields slow = row.Fields.mid(0, 2);
        if (slow == TFields({"1.250000", "21.500000"}))
            ++slowFilled;
        else
            EXPECT_EQ(slow, TFields({"", ""}))
                << "M1's two fields come together, line " << row.Line;
    }
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_EQ(log.Rows[i].Fields.value(2), "2.250000") << "line " << log.Rows[i].Line;
    EXPECT_EQ(log.Rows[6].Fields, TFields({"", "", ""}));
    EXPECT_GT(slowFilled, 0);
    EXPECT_LE(slowFilled, RunResults["M1"]) << "no value logged twice";
}

// In fast mode a meter plugged in during the run has no log columns, but its points are drawn
// as they come.
TEST_F(RunControllerTest, FastModeDrawsAMeterThatJoinedTheRun) {
    Start(2);
    Bus.Unplug(Devices[1]);
    ASSERT_TRUE(WaitForMeters(1));
    Run->SetFastMode(true);
    Run->SetFastModeInterval(2, QStringLiteral("20.0"));
    std::vector<double> joined;
    int joinedTimes = 0;
    QObject::connect(Run.get(), &TRunController::PointNext,
                     [&](std::size_t meter, EChartQuantity quantity, double value) {
                         if (SerialOf(meter) != "M2")
                             return;
                         if (quantity == EChartQuantity::Cap1)
                             joined.push_back(value);
                         joinedTimes += quantity == EChartQuantity::Time;
                     });
    StartRun();
    Bus.Plug(Devices[1]);
    ASSERT_TRUE(WaitForMeters(2));
    ASSERT_TRUE(QTest::qWaitFor([&] { return joined.size() >= 5; }, 5000));
    ASSERT_TRUE(TickAfterResults({"M1"}));
    Run->Stop();
    for (const double value : joined)
        EXPECT_EQ(value, 2.25);
    EXPECT_GE(std::size_t(joinedTimes), joined.size());
    EXPECT_GE(Log("CAP1.M1\t").Rows.size(), 1u) << "the log keeps the run's columns";
}

TEST_F(RunControllerTest, AutoOffsetIsTheRunningMeanOfTheFirstTenValues) {
    Start(1, /*temperature=*/true);
    Run->SetFastMode(true);
    StartRun();
    // The meter's conversions end; the run goes on and its results are handed in by hand.
    Meters->Meters()[0]->SetContinuousMode(false);
    Run->StartAutoOffset();
    const auto receive = [&](double cap1) {
        const double values[] = {cap1, 21.0};
        Run->MeterResult(0, values, 11);
        return Run->Buffers().Values()[0].back();
    };
    EXPECT_EQ(receive(5.0), 0.0);
    EXPECT_EQ(receive(6.0), 6.0 - 5.5);
    for (int i = 0; i < 8; ++i)
        receive(5.0);
    EXPECT_DOUBLE_EQ(receive(5.0), 5.0 - 5.1) << "fixed after ten values";
    Run->StartAutoOffset(); // a second press starts a new mean
    EXPECT_EQ(receive(7.0), 0.0);
    Run->Stop();
    const std::size_t held = Run->Buffers().Values()[0].size();
    const double late[] = {9.0, 21.0};
    Run->MeterResult(0, late, 11);
    EXPECT_EQ(Run->Buffers().Values()[0].size(), held) << "results after Stop change nothing";
}

// Timer mode draws a measurement at the time of the tick that started it; fast mode where the
// meter's elapsed times since Start add up to, and after a failure where the clock says.
TEST_F(RunControllerTest, PointsStandAtTheTimesTheyWereMeasured) {
    Start(1, /*temperature=*/true);
    std::int64_t now = 1'000'000;
    Run->SetClock([&] { return now; });
    std::map<EChartQuantity, std::vector<std::int64_t>> drawn;
    QObject::connect(Run.get(), &TRunController::PointAt,
                     [&](std::size_t, EChartQuantity quantity, double, double, std::int64_t time) {
                         drawn[quantity].push_back(time);
                     });
    QObject::connect(Run.get(), &TRunController::PointNext,
                     [&](std::size_t, EChartQuantity quantity, double, std::int64_t time) {
                         drawn[quantity].push_back(time);
                     });
    const double values[] = {1.25, 21.5};
    using TTimes = std::vector<std::int64_t>;

    StartRun();
    EXPECT_EQ(Run->RunStartMs(), 1'000'000);
    Run->MeterResult(0, values, 40);
    now = 1'002'500;
    Run->Tick();
    now = 1'003'000; // the result comes later than its tick
    Run->MeterResult(0, values, 40);
    EXPECT_EQ(drawn[EChartQuantity::Cap1], TTimes({1'000'000, 1'002'500}));
    EXPECT_EQ(drawn[EChartQuantity::Time], TTimes({1'000'000, 1'002'500}));
    Run->Stop();

    drawn.clear();
    QFile::remove(LogName);
    Run->SetFastMode(true);
    now = 2'000'000;
    StartRun();
    // The meter's conversions end; its results are handed in by hand.
    Meters->Meters()[0]->SetContinuousMode(false);
    Run->MeterResult(0, values, 40);
    Run->MeterResult(0, values, 40);
    emit Meters->MeterFailed(0, QStringLiteral("pulled out"));
    now = 2'100'000;
    Run->MeterResult(0, values, 40);
    Run->MeterResult(0, values, 40);
    Run->Tick(); // draws the buffered CAP1 values and elapsed times
    const TTimes expected{2'000'040, 2'000'080, 2'100'000, 2'100'040};
    EXPECT_EQ(drawn[EChartQuantity::Temperature], expected);
    EXPECT_EQ(drawn[EChartQuantity::Cap1], expected);
    EXPECT_EQ(drawn[EChartQuantity::Time], expected);
    Run->Stop();
}

// Without anyone to ask, Start refuses where it would have to ask, and says why.
TEST_F(RunControllerTest, StartWithoutQuestionsRefusesInsteadOfGuessing) {
    Start(1);
    Run->SetLogFileName(QString());
    EXPECT_THROW(Run->Start(), ELogFileError);
    WriteAll(LogName, "an earlier run\n");
    Run->SetLogFileName(LogName);
    EXPECT_THROW(Run->Start(), ELogFileError);
    EXPECT_FALSE(Run->Running());
    EXPECT_EQ(ReadAll(LogName), "an earlier run\n");
}

// An unattended start asks nobody and replaces nothing: an existing file keeps its contents
// and the run writes to the next free name; without a name, it names the file by the date and
// time in its folder. The configured name stays for the next start.
TEST_F(RunControllerTest, UnattendedStartWritesToAFreeNameWithoutAsking) {
    Start(1);
    WriteAll(LogName, "an earlier run\n");
    WriteAll(Dir.filePath(QStringLiteral("run-2.txt")), "another\n");
    const std::pair<QString, QString> starts[] = {
        {LogName, Dir.filePath(QStringLiteral("run-3.txt"))},
        {LogName, Dir.filePath(QStringLiteral("run-4.txt"))},
        {Dir.filePath(QStringLiteral("plain")), Dir.filePath(QStringLiteral("plain"))},
        {Dir.filePath(QStringLiteral("plain")), Dir.filePath(QStringLiteral("plain-2"))}};
    for (const auto& [configured, expected] : starts) {
        Run->SetLogFileName(configured);
        Run->Start(TRunController::EStartedBy::Unattended);
        Run->TickTimer().stop();
        ASSERT_TRUE(Run->Running()) << configured.toStdString();
        Run->Tick();
        Run->Stop();
        EXPECT_EQ(Run->RunLogFileName(), expected);
        EXPECT_EQ(Run->LogFileName(), configured);
        EXPECT_TRUE(ReadAll(expected).startsWith("DieloMeter")) << expected.toStdString();
    }
    EXPECT_EQ(ReadAll(LogName), "an earlier run\n");
    EXPECT_EQ(ReadAll(Dir.filePath(QStringLiteral("run-2.txt"))), "another\n");

    const QString folder = Dir.filePath(QStringLiteral("documents"));
    Run->SetUnattendedFolder(folder);
    Run->SetLogFileName(QString());
    const QDateTime before = QDateTime::currentDateTime();
    Run->Start(TRunController::EStartedBy::Unattended);
    ASSERT_TRUE(Run->Running());
    Run->Stop();
    const QFileInfo written(Run->RunLogFileName());
    EXPECT_EQ(written.absolutePath(), QDir(folder).absolutePath());
    const QDateTime named = QDateTime::fromString(
        written.fileName(), QStringLiteral("'dielometer-'yyyyMMdd-HHmmss'.txt'"));
    ASSERT_TRUE(named.isValid()) << written.fileName().toStdString();
    EXPECT_LE(std::abs(named.secsTo(before)), 2);
    EXPECT_TRUE(Run->LogFileName().isEmpty());
}

// Without meters a run still logs: the header, its closing empty line, an empty column header
// row and an empty row a tick.
TEST_F(RunControllerTest, RunWithoutMetersLogsEmptyRows) {
    Start(0);
    StartRun();
    Run->Tick();
    Run->Tick();
    Run->Stop();
    const QList<QByteArray> lines = ReadLines(LogName);
    ASSERT_EQ(lines.size(), 8);
    EXPECT_EQ(lines[0], "DieloMeter5.1 Vantel");
    for (const QByteArray& line : lines.mid(4))
        EXPECT_TRUE(line.isEmpty()) << line.toStdString();
}

} // namespace
