#include "app/MainWindow.h"
#include "app/Program.h"
#include "app/core/TriggerThread.h"
#include "link/hid/VirtualHidBus.h"
#include "model/IniFile.h"
#include "model/Meter.h"
#include "model/ThreadingSettings.h"
#include "sim/VirtualMeter.h"
#include "tests/support/ScriptedPrompts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace {

using namespace std::chrono_literals;

QStringList ReadLines(const QString& fileName) {
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QString text = QString::fromUtf8(file.readAll());
    if (text.endsWith(QLatin1String("\r\n")))
        text.chop(2);
    return text.split(QStringLiteral("\r\n"));
}

// The real window on a virtual bus with meters whose channel 1 and temperature are on.
class RunTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    QString IniName = Dir.filePath(QStringLiteral("Settings.ini"));
    QString LogName = Dir.filePath(QStringLiteral("run.txt"));
    TScriptedPrompts Prompts;
    TVirtualHidBus Bus;
    std::vector<std::shared_ptr<TVirtualMeter>> Meters;
    std::unique_ptr<TProgram> Program;
    TMainWindow* Form = nullptr;

    // temperature false: channel 1 alone, so that fast mode converts every 11 ms.
    void Start(int meters, bool temperature = true) {
        {
            TIniFile ini(IniName);
            ini.WriteString(QStringLiteral("Measurement"), QStringLiteral("Logfile"), LogName);
            for (int i = 0; i < meters; ++i) {
                const QString serial = QStringLiteral("M%1").arg(i + 1);
                // Channel 1 single and the temperature sensor: image bytes 7 to 10.
                ini.WriteInteger(serial, QStringLiteral("CAP1Mode"), 1);
                ini.WriteBool(serial, QStringLiteral("InternalTempEnabled"), temperature);
                const int image[][2] = {
                    {7, 0x80}, {8, temperature ? 0x81 : 0}, {9, 0x28}, {10, 0xA0}};
                for (const auto& [n, value] : image)
                    ini.WriteInteger(serial, QStringLiteral("Reg%1").arg(n), value);
                auto meter = std::make_shared<TVirtualMeter>(serial);
                meter->SetInputCapacitance(1, 1.25 + i);
                meter->SetTemperature(21.5);
                Bus.Plug(meter);
                Meters.push_back(meter);
            }
        }
        Program = std::make_unique<TProgram>(Bus, IniName);
        Form = &Program->Window();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return Form->MeterSet().Meters().size() == std::size_t(meters); }, 5000));
    }
    void RunFor(std::chrono::milliseconds time) { QTest::qWait(int(time.count())); }
};

TEST_F(RunTest, TimerModeLogsHeadersAndOneRowPerTick) {
    Start(2);
    // A measurement with the temperature sensor takes about 190 ms: ticks leave it room.
    Form->Settings->IntervalSE->setValue(400);
    Form->StartBtnClick();
    ASSERT_TRUE(Form->Run().Running());
    EXPECT_EQ(Form->windowTitle(), QStringLiteral("DieloMeter - run.txt"));
    EXPECT_FALSE(Form->Settings->StartBtn->isEnabled() || Form->Settings->FastModeCB->isEnabled());
    RunFor(1700ms);
    Form->StopBtnClick();
    EXPECT_FALSE(Form->Run().Running());
    EXPECT_TRUE(Form->Settings->StartBtn->isEnabled());

    const QStringList lines = ReadLines(LogName);
    ASSERT_GT(lines.size(), 22);
    EXPECT_EQ(lines[0], QStringLiteral("DieloMeter5.1 Vantel"));
    EXPECT_EQ(lines[2], QStringLiteral("Auto Mode:\tOff"));
    EXPECT_EQ(lines[3], QStringLiteral("Interval [ms]\t400"));
    const int columns = lines.indexOf(QStringLiteral("CAP1.M1\tTemp.M1\tCAP1.M2\tTemp.M2\t"));
    ASSERT_GT(columns, 0);
    const QStringList rows = lines.mid(columns + 1);
    EXPECT_GE(rows.size(), 3);
    // From the second row on every row holds a finished measurement of both meters.
    for (const QString& row : rows.mid(1))
        EXPECT_EQ(row, QStringLiteral("1.250000\t21.500000\t2.250000\t21.500000\t"));
}

TEST_F(RunTest, FastModeLogsBlocksAndStopWritesWhatIsBuffered) {
    Start(1, /*temperature=*/false);
    Form->Settings->FastModeCB->setChecked(true);
    Form->Settings->FastModeIntervalCB->setCurrentIndex(0); // 11.0 ms
    // Noise reduction applies to timer mode's repeats; fast mode's one-conversion records
    // still decode.
    Form->Settings->NoiseCB->setCurrentIndex(1);
    Form->NoiseCBChange();
    std::uint64_t records = 0;
    TMeter* meter = Form->MeterSet().Meters()[0];
    QObject::connect(meter, &TMeter::ErrorOccurred,
                     [](const QString& m) { ADD_FAILURE() << m.toStdString(); });
    Form->StartBtnClick();
    ASSERT_TRUE(Form->Run().Running());
    RunFor(1200ms);
    const int readBeforeStop = Meters[0]->ResultsCompleted() - Meters[0]->LostResults();
    Form->StopBtnClick();
    records = std::uint64_t(Meters[0]->ReadTransactions()); // an upper bound of the results
    const QStringList lines = ReadLines(LogName);
    EXPECT_EQ(lines[2], QStringLiteral("Auto Mode:\tOn"));
    EXPECT_EQ(lines[3], QStringLiteral("Interval [ms]\t11.0"));
    const int columns = lines.indexOf(QStringLiteral("CAP1.M1\t"));
    ASSERT_GT(columns, 0);
    // Blocks: value rows, then the count of rows.
    int values = 0, blocks = 0, pending = 0;
    for (const QString& line : lines.mid(columns + 1)) {
        if (line.endsWith(u'\t')) {
            EXPECT_EQ(line, QStringLiteral("1.250000\t"));
            ++pending;
        } else {
            EXPECT_EQ(line.toInt(), pending);
            values += pending;
            pending = 0;
            ++blocks;
        }
    }
    EXPECT_EQ(pending, 0) << "the log ends with a count line";
    EXPECT_GE(blocks, 4);
    // Every result the program read during the run is in the log. The converter overwrites a
    // result that is not read within 11 ms, which a loaded machine may miss now and then; and
    // results still on their way to the window when Stop is pressed are dropped, as after Stop.
    ASSERT_GE(values, 60);
    EXPECT_LE(std::uint64_t(values), records);
    EXPECT_LE(values, Meters[0]->ResultsCompleted() - Meters[0]->LostResults());
    EXPECT_GE(values, readBeforeStop - 2);
    // The ticks drew every logged value once, numbered from 1.
    const auto drawn = Form->ChartArea->Series().Series(0, EChartQuantity::Cap1)->data();
    ASSERT_EQ(drawn->size(), values);
    EXPECT_EQ(drawn->constBegin()->key, 1);
    EXPECT_EQ((drawn->constEnd() - 1)->key, values);
    EXPECT_GE(Form->ChartArea->Series().Series(0, EChartQuantity::Time)->dataCount(), values);
}

// A meter pulled out during a run leaves its columns empty; plugged back in, it rejoins the run
// in the same columns. The other meters' columns never move. In fast mode the rejoining meter's
// continuous conversion starts again.
TEST_F(RunTest, MeterPulledOutAndBackKeepsEveryColumnInPlace) {
    for (const bool fast : {false, true}) {
        SCOPED_TRACE(fast ? "fast mode" : "timer mode");
        Meters.clear();
        Form = nullptr;
        Program.reset();
        for (const auto& device : Bus.PluggedDevices())
            Bus.Unplug(device);
        QFile::remove(LogName);
        Start(3, /*temperature=*/!fast);
        Form->Settings->IntervalSE->setValue(400);
        Form->Settings->FastModeCB->setChecked(fast);
        Form->Settings->FastModeIntervalCB->setCurrentIndex(2); // 20.0 ms
        Form->StartBtnClick();
        ASSERT_TRUE(Form->Run().Running());
        RunFor(1200ms);
        Bus.Unplug(Meters[1]);
        ASSERT_TRUE(QTest::qWaitFor([&] { return Form->MeterSet().Meters().size() == 2; }, 5000));
        RunFor(1200ms);
        Bus.Plug(Meters[1]);
        ASSERT_TRUE(QTest::qWaitFor([&] { return Form->MeterSet().Meters().size() == 3; }, 5000));
        RunFor(1500ms);
        Form->StopBtnClick();

        const QStringList lines = ReadLines(LogName);
        const QString header = fast ? QStringLiteral("CAP1.M1\tCAP1.M2\tCAP1.M3\t")
                                    : QStringLiteral("CAP1.M1\tTemp.M1\tCAP1.M2\tTemp.M2\t"
                                                     "CAP1.M3\tTemp.M3\t");
        const int columns = lines.indexOf(header);
        ASSERT_GT(columns, 0);
        const QString m2 =
            fast ? QStringLiteral("2.250000") : QStringLiteral("2.250000\t21.500000");
        int without = 0, withAfter = 0;
        for (const QString& row : lines.mid(columns + 2)) {
            if (!row.endsWith(u'\t'))
                continue; // a fast-mode count line
            const QStringList fields = row.split(u'\t');
            ASSERT_EQ(fields.size(), fast ? 4 : 7) << row.toStdString();
            EXPECT_TRUE(fields[0].isEmpty() || fields[0] == QLatin1String("1.250000"));
            EXPECT_TRUE(fields.at(fast ? 2 : 4).isEmpty() ||
                        fields.at(fast ? 2 : 4) == QLatin1String("3.250000"));
            const QString second = fields.mid(fast ? 1 : 2, fast ? 1 : 2).join(u'\t');
            if (second.trimmed().isEmpty())
                ++without;
            else if (without > 0 && second == m2)
                ++withAfter;
        }
        EXPECT_GT(without, 0) << "the meter's fields stay empty while it is out";
        EXPECT_GT(withAfter, 0) << "its values come back after it is plugged in again";
    }
}

// A device change frees every meter and sets it up anew: what the meters measured up to then
// still reaches the log, in timer mode with the next tick's row.
TEST_F(RunTest, NothingMeasuredBeforeAPullOutIsLost) {
    const auto valueRows = [&](const QString& header) {
        const QStringList lines = ReadLines(LogName);
        const qsizetype columns = lines.indexOf(header);
        return columns < 0 ? QStringList() : lines.mid(columns + 1);
    };
    const QString header = QStringLiteral("CAP1.M1\tCAP1.M2\t");
    {
        SCOPED_TRACE("timer mode");
        Start(2, /*temperature=*/false);
        Form->Settings->IntervalSE->setValue(600);
        Form->StartBtnClick();
        ASSERT_TRUE(QTest::qWaitFor([&] { return valueRows(header).size() >= 2; }, 5000));
        RunFor(200ms); // the tick's measurements are in
        const qsizetype logged = valueRows(header).size();
        Bus.Unplug(Meters[1]);
        ASSERT_TRUE(QTest::qWaitFor([&] { return valueRows(header).size() >= logged + 2; }, 5000));
        Form->StopBtnClick();
        const QStringList rows = valueRows(header);
        EXPECT_EQ(rows[logged], QStringLiteral("1.250000\t2.250000\t"))
            << "the result measured before the pull-out";
        EXPECT_EQ(rows[logged + 1], QStringLiteral("1.250000\t\t"));
    }
    Meters.clear();
    Form = nullptr;
    Program.reset();
    for (const auto& device : Bus.PluggedDevices())
        Bus.Unplug(device);
    QFile::remove(LogName);
    {
        SCOPED_TRACE("fast mode");
        Start(2, /*temperature=*/false);
        Form->Settings->FastModeCB->setChecked(true);
        Form->Settings->FastModeIntervalCB->setCurrentIndex(0); // 11.0 ms
        Form->StartBtnClick();
        RunFor(300ms);
        // The window is busy while the change is announced: M1's results pile up behind it.
        Bus.Unplug(Meters[1]);
        QThread::msleep(150);
        ASSERT_TRUE(QTest::qWaitFor([&] { return Form->MeterSet().Meters().size() == 1; }, 5000));
        RunFor(300ms);
        const int read = Meters[0]->ResultsCompleted() - Meters[0]->LostResults();
        Form->StopBtnClick();
        int values = 0;
        for (const QString& row : valueRows(header))
            values += row.startsWith(QLatin1String("1.250000\t"));
        // Results still on their way at Stop are dropped, as after Stop.
        EXPECT_GE(values, read - 2);
        EXPECT_LE(values, read);
    }
}

// The register image decides what a meter measures: a meter whose image converts the
// temperature while its temperature flag is off logs it under its own name, and the meters after
// it keep their columns.
TEST_F(RunTest, ColumnsNameWhatTheImageMeasuresWhateverTheFlagsSay) {
    Start(2);
    Form->MeterSet().Meters()[0]->SetInternalTempEnabled(false);
    TRegData second = Form->MeterSet().Meters()[1]->RegData();
    second[8] = 0; // no VT conversion: channel 1 alone
    Form->MeterSet().Meters()[1]->SetRegData(second);
    Form->Settings->IntervalSE->setValue(400);
    Form->StartBtnClick();
    ASSERT_TRUE(Form->Run().Running());
    RunFor(1300ms);
    Form->StopBtnClick();

    const QStringList lines = ReadLines(LogName);
    // The meter's block still shows its flags.
    EXPECT_EQ(lines.at(8), QStringLiteral("Internal Temperature Sensor:\tOff"));
    const qsizetype columns = lines.indexOf(QStringLiteral("CAP1.M1\tTemp.M1\tCAP1.M2\t"));
    ASSERT_GT(columns, 0);
    const QStringList rows = lines.mid(columns + 1);
    ASSERT_GE(rows.size(), 3);
    for (const QString& row : rows.mid(1))
        EXPECT_EQ(row, QStringLiteral("1.250000\t21.500000\t2.250000\t"));
}

// A fast-mode log names exactly the columns its rows hold: one CAP1 a meter, whatever else the
// meters measure.
TEST_F(RunTest, FastModeHeaderNamesTheColumnsTheRowsHold) {
    for (int meters = 1; meters <= 3; ++meters) {
        SCOPED_TRACE(meters);
        Meters.clear();
        Form = nullptr;
        Program.reset();
        for (const auto& device : Bus.PluggedDevices())
            Bus.Unplug(device);
        QFile::remove(LogName);
        Start(meters); // channel 1 and the temperature
        if (meters >= 2) {
            TRegData image = Form->MeterSet().Meters()[1]->RegData();
            image[8] = 0; // channel 1 alone
            Form->MeterSet().Meters()[1]->SetRegData(image);
        }
        Form->Settings->FastModeCB->setChecked(true);
        Form->Settings->FastModeIntervalCB->setCurrentIndex(0);
        Form->StartBtnClick();
        ASSERT_TRUE(Form->Run().Running());
        RunFor(700ms);
        Form->StopBtnClick();

        const QStringList lines = ReadLines(LogName);
        QString header;
        for (int i = 1; i <= meters; ++i)
            header += QStringLiteral("CAP1.M%1\t").arg(i);
        const qsizetype columns = lines.indexOf(header);
        ASSERT_GT(columns, 0) << lines.join(u'\n').toStdString();
        int rows = 0;
        for (const QString& row : lines.mid(columns + 1)) {
            if (!row.endsWith(u'\t'))
                continue; // a count line
            const QStringList fields = row.split(u'\t');
            ASSERT_EQ(fields.size(), meters + 1) << row.toStdString();
            for (int i = 0; i < meters; ++i)
                EXPECT_TRUE(fields[i].isEmpty() ||
                            fields[i] == QStringLiteral("%1.250000").arg(i + 1))
                    << row.toStdString();
            ++rows;
        }
        EXPECT_GE(rows, 2);
    }
}

// A timer-mode field holds a value measured since the row before, or stays empty: a meter
// slower than the tick leaves fields empty instead of repeating its last values, and Start says
// which interval is long enough. A quantity the image does not measure never shows as a number.
TEST_F(RunTest, TimerRowsHoldOnlyFreshValuesAndStartWarnsOfAShortInterval) {
    Start(2);
    TRegData image = Form->MeterSet().Meters()[1]->RegData();
    image[8] = 0; // channel 1 alone: about 70 ms
    Form->MeterSet().Meters()[1]->SetRegData(image);
    Form->MeterSet().Meters()[1]->SetExternalResistorEnabled(true); // but not in the image
    Form->Settings->IntervalSE->setValue(100);
    Form->StartBtnClick();
    ASSERT_TRUE(Form->Run().Running());
    // M1 converts its channel (62.0 ms) and the temperature twice (62.1 ms each).
    const QString warning = QStringLiteral(
        "The interval of 100 ms is shorter than the 194 ms meter M1 needs for a measurement: "
        "rows will have empty fields. 200 ms or more gives every row fresh values.");
    EXPECT_EQ(Form->statusBar()->currentMessage(), warning);
    EXPECT_TRUE(Form->Settings->IntervalSE->toolTip().endsWith(warning));
    RunFor(1500ms);
    Form->StopBtnClick();
    EXPECT_FALSE(Form->Settings->IntervalSE->toolTip().contains(warning))
        << "a stopped run warns no more";

    const QStringList lines = ReadLines(LogName);
    const qsizetype columns = lines.indexOf(QStringLiteral("CAP1.M1\tTemp.M1\tCAP1.M2\t"));
    ASSERT_GT(columns, 0);
    const QStringList rows = lines.mid(columns + 1);
    ASSERT_GE(rows.size(), 10);
    int slowFilled = 0, slowEmpty = 0, fastFilled = 0;
    for (const QString& row : rows) {
        ASSERT_EQ(row.count(u'\t'), 3) << row.toStdString();
        EXPECT_FALSE(row.contains(QLatin1String("-50000"))) << row.toStdString();
        if (row.startsWith(QLatin1String("1.250000\t21.500000\t")))
            ++slowFilled;
        else if (row.startsWith(QLatin1String("\t\t")))
            ++slowEmpty;
        else
            ADD_FAILURE() << "M1's two fields come together: " << row.toStdString();
        fastFilled += row.endsWith(QLatin1String("\t2.250000\t"));
    }
    EXPECT_GT(slowEmpty, 0);
    EXPECT_GT(slowFilled, 0);
    EXPECT_LE(slowFilled, Meters[0]->ConversionsStarted()) << "no value logged twice";
    EXPECT_GE(fastFilled, int(rows.size()) * 3 / 4);
}

// A new run draws after the last one's points, whatever the modes: the x values never go
// back.
TEST_F(RunTest, ANewRunContinuesAfterTheLastRunsPoints) {
    Start(1, /*temperature=*/false);
    Form->Settings->IntervalSE->setValue(100);
    for (const bool fast : {false, true, false}) {
        Form->Settings->FastModeCB->setChecked(fast);
        Form->StartBtnClick();
        ASSERT_TRUE(Form->Run().Running());
        RunFor(400ms);
        Form->StopBtnClick();
        // The next run starts once the meter has ended this one, as a user's next Start does.
        ASSERT_TRUE(QTest::qWaitFor([&] { return !Meters[0]->LedOn(); }, 5000));
        RunFor(50ms);
        QFile::remove(LogName);
    }
    const auto drawn = Form->ChartArea->Series().Series(0, EChartQuantity::Cap1)->data();
    ASSERT_GE(drawn->size(), 10);
    double last = 0;
    for (auto point = drawn->constBegin(); point != drawn->constEnd(); ++point) {
        EXPECT_GT(point->key, last);
        last = point->key;
    }
}

// In fast mode a meter plugged in during the run has no log columns, but its points are drawn.
TEST_F(RunTest, FastModeDrawsAMeterThatJoinedTheRun) {
    Start(2, /*temperature=*/false);
    Bus.Unplug(Meters[1]);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form->MeterSet().Meters().size() == 1; }, 5000));
    Form->Settings->FastModeCB->setChecked(true);
    Form->Settings->FastModeIntervalCB->setCurrentIndex(2); // 20.0 ms
    Form->StartBtnClick();
    ASSERT_TRUE(Form->Run().Running());
    Bus.Plug(Meters[1]);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form->MeterSet().Meters().size() == 2; }, 5000));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Form->ChartArea->Series().Series(1, EChartQuantity::Cap1)->dataCount() >= 5; },
        5000));
    Form->StopBtnClick();
    const auto drawn = Form->ChartArea->Series().Series(1, EChartQuantity::Cap1)->data();
    EXPECT_EQ(drawn->constBegin()->value, 2.25);
    EXPECT_GE(Form->ChartArea->Series().Series(1, EChartQuantity::Time)->dataCount(),
              drawn->size());
    EXPECT_TRUE(ReadLines(LogName).contains(QStringLiteral("CAP1.M1\t")))
        << "the log keeps the run's columns";
}

TEST_F(RunTest, StartAsksForTheFileAndBeforeReplacingIt) {
    Start(0);
    Form->Run().SetLogFileName(QString());
    Form->StartBtnClick(); // the dialog is cancelled
    EXPECT_FALSE(Form->Run().Running());
    EXPECT_EQ(Prompts.DialogTitles, QStringList(QStringLiteral("Set Logfile")));

    Prompts.Files = {LogName};
    Form->StartBtnClick();
    ASSERT_TRUE(Form->Run().Running());
    Form->StopBtnClick();

    // Start, Stop, Start on the same file asks again; No keeps the file.
    const QStringList first = ReadLines(LogName);
    Prompts.Answers = {false};
    Form->StartBtnClick();
    EXPECT_FALSE(Form->Run().Running());
    EXPECT_EQ(ReadLines(LogName), first);
    ASSERT_EQ(Prompts.Questions.size(), 1);
    EXPECT_TRUE(Prompts.Questions[0].startsWith(QStringLiteral("Confirm: File ")));
    EXPECT_TRUE(Prompts.Questions[0].endsWith(
        QStringLiteral(" already exists. Do you want to replace it?")));
    Prompts.Answers = {true};
    Form->Settings->IntervalSE->setValue(50);
    Form->StartBtnClick();
    ASSERT_TRUE(Form->Run().Running());
    RunFor(300ms);
    Form->StopBtnClick();
    // Without meters: the header, one empty line, an empty column row, an empty row per tick.
    const QStringList lines = ReadLines(LogName);
    EXPECT_EQ(lines.mid(4, 2), QStringList({QString(), QString()}));
    EXPECT_GE(lines.size(), 8);
    for (const QString& row : lines.mid(6))
        EXPECT_TRUE(row.isEmpty());
}

TEST_F(RunTest, FailingLogWriteIsShownAndTheRunGoesOn) {
    Start(1);
    Form->Settings->IntervalSE->setValue(50);
    Form->StartBtnClick();
    ASSERT_TRUE(Form->Run().Running());
    RunFor(200ms);
    // The disk is full: no further byte fits into the log.
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit full = old;
    full.rlim_cur = rlim_t(QFileInfo(LogName).size());
    setrlimit(RLIMIT_FSIZE, &full);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Prompts.Errors.isEmpty(); }, 5000));
    EXPECT_TRUE(Prompts.Errors[0].contains(LogName)) << Prompts.Errors[0].toStdString();
    EXPECT_TRUE(Form->Run().Running());
    const qint64 sizeWhileFull = QFileInfo(LogName).size();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    RunFor(300ms);
    Form->StopBtnClick();
    EXPECT_GT(QFileInfo(LogName).size(), sizeWhileFull) << "later ticks write again";
    for (const QString& line : ReadLines(LogName))
        EXPECT_FALSE(line.contains(QLatin1String("1.2500001.25"))) << "no torn rows";
}

TEST_F(RunTest, AutoOffsetIsTheRunningMeanOfTheFirstTenValues) {
    Start(1);
    Form->Settings->FastModeCB->setChecked(true);
    Form->StartBtnClick();
    ASSERT_TRUE(Form->Run().Running());
    // The meter's conversions end; the run goes on and its results are handed in by hand.
    Form->MeterSet().Meters()[0]->SetContinuousMode(false);
    Form->AutoOffsetBtnClick();
    const auto receive = [&](double cap1) {
        const double values[] = {cap1, 21.0};
        Form->Run().MeterResult(0, values, 11);
        return Form->Run().Buffers().Values()[0].back();
    };
    EXPECT_EQ(receive(5.0), 0.0);
    EXPECT_EQ(receive(6.0), 6.0 - 5.5);
    for (int i = 0; i < 8; ++i)
        receive(5.0);
    EXPECT_DOUBLE_EQ(receive(5.0), 5.0 - 5.1) << "fixed after ten values";
    Form->AutoOffsetBtnClick(); // a second press starts a new mean
    EXPECT_EQ(receive(7.0), 0.0);
    Form->StopBtnClick();
    const std::size_t held = Form->Run().Buffers().Values()[0].size();
    const double late[] = {9.0, 21.0};
    Form->Run().MeterResult(0, late, 11);
    EXPECT_EQ(Form->Run().Buffers().Values()[0].size(), held)
        << "results after Stop change nothing";
}

TEST_F(RunTest, ClosingTheWindowDuringARunAsksThenStopsItFirst) {
    Start(1);
    Form->Settings->FastModeCB->setChecked(true);
    Form->StartBtnClick();
    RunFor(400ms);
    Prompts.Answers = {false, true};
    EXPECT_FALSE(Form->close()) << "No: the run goes on";
    EXPECT_TRUE(Form->Run().Running());
    EXPECT_TRUE(Form->close());
    EXPECT_EQ(
        Prompts.Questions,
        QStringList(2, QStringLiteral("Confirm: A measurement is running. Stop it and quit?")));
    EXPECT_FALSE(Form->Run().Running());
    const QStringList lines = ReadLines(LogName);
    bool ok = false;
    lines.last().toInt(&ok);
    EXPECT_TRUE(ok) << "the log ends with a complete block";
}

TEST(TriggerThreadTest, SerialAcquisitionSpacesTheTriggers) {
    Threading().Serial = true;
    Threading().TriggerWait = 60;
    TTriggerThread thread;
    std::vector<std::shared_ptr<TManualResetEvent>> meters;
    for (int i = 0; i < 3; ++i)
        meters.push_back(std::make_shared<TManualResetEvent>());
    thread.SetMeters(meters);
    const auto start = std::chrono::steady_clock::now();
    thread.Do_Measurement();
    std::vector<std::chrono::steady_clock::duration> at;
    for (const auto& meter : meters) {
        ASSERT_TRUE(meter->WaitFor(5s));
        at.push_back(std::chrono::steady_clock::now() - start);
    }
    // Measured from before the first trigger, so that a late look at a trigger only adds:
    // the second and third come one and two waits after the first.
    EXPECT_GE(at[1], 60ms);
    EXPECT_GE(at[2], 120ms);
    Threading().Serial = false;
    Threading().TriggerWait = 1000;
}

} // namespace
