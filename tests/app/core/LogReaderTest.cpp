#include "app/core/LogReader.h"

#include "app/core/CsvExport.h"
#include "app/core/LogFile.h"
#include "app/core/MeterSet.h"
#include "link/RegisterImage.h"
#include "tests/support/CoreRun.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr double Nan = std::numeric_limits<double>::quiet_NaN();

struct TMeterKind {
    const char* Serial;
    bool Cap1, Cap2, Temperature, Resistance;
};

TLogMeter LogMeter(const TMeterKind& kind) {
    TLogMeter meter;
    meter.Serial = QLatin1String(kind.Serial);
    meter.CAP1Mode = kind.Cap1 ? 1 : 0;
    meter.CAP2Mode = kind.Cap2 ? 1 : 0;
    meter.InternalTempEnabled = kind.Temperature;
    meter.ExternalResistorEnabled = kind.Resistance;
    meter.RegData[RegCapSetup] = kind.Cap1 ? CapSetupEnable : 0;
    meter.RegData[RegCapSetup2] = kind.Cap2 ? CapSetupEnable : 0;
    meter.RegData[RegVtSetup] = kind.Temperature ? VtSetupEnable : 0;
    meter.RegData[RegVtSetup2] = kind.Resistance ? VtSetupEnable : 0;
    return meter;
}

int Quantities(const TMeterKind& kind) {
    return int(kind.Cap1) + int(kind.Cap2) + int(kind.Temperature) + int(kind.Resistance);
}

// A value as the log keeps it: rounded to six decimals.
double AsLogged(double value) {
    return std::isnan(value) ? value : QString(FormatValue(value, QLocale::c())).toDouble();
}

bool SameValues(const std::vector<double>& a, const std::vector<double>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](double x, double y) {
        return (std::isnan(x) && std::isnan(y)) || x == y;
    });
}

QString WriteText(const QTemporaryDir& dir, const char* name, const QByteArray& text) {
    const QString fileName = dir.filePath(QLatin1String(name));
    QFile file(fileName);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
    return fileName;
}

// Logs written as runs write them read back to the same columns, values, point numbers and
// times: timer and fast mode, no meter to three, every quantity, a meter out for a while
// (empty fields), values below one, negative ones as an automatic offset gives, large ones,
// in locales with a decimal point, a comma and a separator of more than one byte.
TEST(LogReaderTest, ReadsBackWhatTheProgramWrites) {
    const TMeterKind a{"SIM00001", true, false, false, false};
    const TMeterKind b{"SIM00002", true, true, true, true};
    const TMeterKind c{"M-3", true, false, true, false};
    const struct {
        const char* Name;
        bool Fast;
        std::vector<TMeterKind> Meters;
        QLocale Locale;
    } cases[] = {
        {"timer, one meter", false, {a}, QLocale::c()},
        {"timer, three meters, decimal comma", false, {a, b, c}, QLocale(QLocale::German)},
        {"timer, no meter", false, {}, QLocale::c()},
        {"fast, two meters", true, {a, c}, QLocale(QLocale::English)},
        {"fast, three meters, Arabic separator",
         true,
         {a, b, c},
         QLocale(QLocale::Arabic, QLocale::Egypt)},
        {"fast, no meter", true, {}, QLocale::c()},
    };
    QTemporaryDir dir;
    std::mt19937 random(5);
    const double samples[] = {0, 0.25, -0.25, 12.5, 3.14159265, -0.0000004, 1234567.123456};
    const auto value = [&] {
        return random() % 3 == 0 ? samples[random() % std::size(samples)]
                                 : double(int(random() % 2000000) - 1000000) / 4096.0;
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.Name);
        TLogSettings settings;
        settings.FastMode = test.Fast;
        settings.Interval = test.Fast ? QStringLiteral("11.0") : QStringLiteral("500");
        settings.Created = QDateTime(QDate(2026, 12, 11), QTime(9, 30, 5));
        std::vector<int> columns;
        for (const TMeterKind& kind : test.Meters) {
            settings.Meters.push_back(LogMeter(kind));
            columns.push_back(test.Fast ? 1 : Quantities(kind));
        }
        const QString fileName = dir.filePath(QString::fromLatin1(test.Name) + ".txt");
        // What each row holds, as the columns of the reader.
        std::vector<std::vector<double>> written;
        std::vector<std::int64_t> elapsed;
        {
            TLogFile log;
            log.Open(fileName, settings, test.Locale);
            for (int tick = 0; tick < 40; ++tick) {
                // The second meter is out from tick 10 to 19: its fields stay empty.
                std::vector<std::vector<double>> perMeter;
                for (std::size_t m = 0; m < test.Meters.size(); ++m) {
                    const bool out = m == 1 && tick >= 10 && tick < 20;
                    const int count = test.Fast ? (out ? 0 : int(random() % 5)) : columns[m];
                    perMeter.emplace_back();
                    for (int i = 0; i < count && !(out && !test.Fast); ++i)
                        perMeter.back().push_back(value());
                }
                if (test.Fast) {
                    log.WriteBlock(perMeter);
                    std::size_t rows = 0;
                    for (const auto& values : perMeter)
                        rows = std::max(rows, values.size());
                    for (std::size_t q = 0; q < rows; ++q) {
                        written.emplace_back();
                        for (const auto& values : perMeter)
                            written.back().push_back(q < values.size() ? AsLogged(values[q]) : Nan);
                        elapsed.push_back(std::max<std::int64_t>(
                            0, (tick - 1) * 250 + std::int64_t(q + 1) * 250 / std::int64_t(rows)));
                    }
                } else {
                    log.WriteRowsText({ValueRow(perMeter, test.Locale, columns)});
                    written.emplace_back();
                    for (std::size_t m = 0; m < perMeter.size(); ++m)
                        for (int q = 0; q < columns[m]; ++q)
                            written.back().push_back(
                                q < int(perMeter[m].size()) ? AsLogged(perMeter[m][q]) : Nan);
                    elapsed.push_back(std::max(0, tick - 1) * 500);
                }
            }
        }

        TLogReader reader(fileName);
        const TLogHeader& header = reader.Header();
        EXPECT_EQ(header.FastMode, test.Fast);
        EXPECT_EQ(header.IntervalMs, test.Fast ? 0 : 500);
        EXPECT_EQ(header.Created, settings.Created);
        ASSERT_EQ(header.Meters.size(), test.Meters.size());
        std::vector<TLogColumn> expectedColumns;
        for (std::size_t m = 0; m < test.Meters.size(); ++m) {
            const TMeterKind& kind = test.Meters[m];
            const QString serial = QLatin1String(kind.Serial);
            EXPECT_EQ(header.Meters[m].Serial, serial);
            const std::pair<bool, EChartQuantity> quantities[] = {
                {kind.Cap1, EChartQuantity::Cap1},
                {kind.Cap2 && !test.Fast, EChartQuantity::Cap2},
                {kind.Temperature && !test.Fast, EChartQuantity::Temperature},
                {kind.Resistance && !test.Fast, EChartQuantity::Resistance}};
            const char* prefixes[] = {"CAP1.", "CAP2.", "Temp.", "Res."};
            for (std::size_t q = 0; q < 4; ++q)
                if (quantities[q].first)
                    expectedColumns.push_back(
                        {QLatin1String(prefixes[q]) + serial, m, quantities[q].second});
        }
        EXPECT_EQ(header.Columns, expectedColumns);

        TLogRow row;
        std::size_t rows = 0;
        std::vector<std::int64_t> points(expectedColumns.size(), 0);
        while (reader.Next(row)) {
            ASSERT_LT(rows, written.size());
            EXPECT_TRUE(SameValues(row.Values, written[rows])) << "row " << rows;
            EXPECT_EQ(row.ElapsedMs, elapsed[rows]) << "row " << rows;
            for (std::size_t col = 0; col < points.size(); ++col) {
                points[col] =
                    test.Fast ? points[col] + !std::isnan(row.Values[col]) : std::int64_t(rows + 1);
                EXPECT_EQ(row.Points[col], points[col]) << "row " << rows;
            }
            ++rows;
        }
        EXPECT_EQ(rows, written.size());
        EXPECT_EQ(reader.ProblemCount(), 0);
        if (!test.Meters.empty()) {
            EXPECT_EQ(reader.DecimalSeparator(), test.Locale.decimalPoint());
        }
    }
}

// A real run, timer and fast mode, with a meter pulled out and back: the reader takes every row
// the run wrote, without a problem, with the values the meters gave.
class LogOfARunTest : public TCoreRunTest, public testing::WithParamInterface<bool> {};

TEST_P(LogOfARunTest, ReadsEveryRowOfARun) {
    const bool fast = GetParam();
    Start(2, /*temperature=*/true);
    Run->SetFastMode(fast);
    StartRun();
    ASSERT_TRUE(TickAfterResults({"M1", "M2"}));
    Bus.Unplug(Devices[1]);
    ASSERT_TRUE(WaitForMeters(1));
    Run->Tick();
    ASSERT_TRUE(TickAfterResults({"M1"}));
    Bus.Plug(Devices[1]);
    ASSERT_TRUE(WaitForMeters(2));
    Run->Tick();
    ASSERT_TRUE(TickAfterResults({"M1", "M2"}));
    Run->Stop();

    TLogReader reader(LogName);
    ASSERT_EQ(reader.Header().Columns.size(), fast ? 2u : 4u);
    TLogRow row;
    qint64 rows = 0;
    int values = 0;
    while (reader.Next(row)) {
        ++rows;
        for (std::size_t col = 0; col < row.Values.size(); ++col) {
            if (std::isnan(row.Values[col]))
                continue;
            ++values;
            const TLogColumn& column = reader.Header().Columns[col];
            const double expected = column.Quantity == EChartQuantity::Temperature ? 21.5
                                    : column.Meter == 0                            ? 1.25
                                                                                   : 2.25;
            EXPECT_EQ(row.Values[col], expected) << column.Name.toStdString();
        }
    }
    EXPECT_EQ(rows, Run->RunLogRows());
    EXPECT_GT(values, 0);
    EXPECT_EQ(reader.ProblemCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, LogOfARunTest, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Fast" : "Timer"; });

const QByteArray TimerHeader = "DieloMeter5.1 Vantel\r\n"
                               "Created:\t11.12.2026 09:30:05\r\n"
                               "Auto Mode:\tOff\r\n"
                               "Interval [ms]\t1000\r\n"
                               "\r\n"
                               "Settings of A1\r\n"
                               "CAP1:\tSingle\t\r\n"
                               "CAP2:\tOff\t\r\n"
                               "Internal Temperature Sensor:\tOn\r\n"
                               "External Resistor:\tOff\r\n"
                               "Registers:\t00\r\n"
                               "SMode:\t1\r\n"
                               "\r\n"
                               "CAP1.A1\tTemp.A1\t\r\n";
const QByteArray FastHeader = QByteArray(TimerHeader)
                                  .replace("Auto Mode:\tOff", "Auto Mode:\tOn")
                                  .replace("Interval [ms]\t1000", "Interval [ms]\t11.0")
                                  .replace("CAP1.A1\tTemp.A1\t", "CAP1.A1\t");

// Damaged logs: each damage is told with its line and reason, and what can be read is read.
// Files that are no log of this program are refused, saying why.
TEST(LogReaderTest, TellsWhereALogIsDamaged) {
    const struct {
        const char* Name;
        QByteArray Text;
        int Rows;            // read
        int Line;            // of the first problem; 0 for none
        const char* Problem; // a part of its reason, or of the refusal
    } cases[] = {
        {"truncated last line", TimerHeader + "1,000000\t21,500000\t\r\n2,00", 2, 16,
         "the file ends in the middle of this line"},
        {"stray count line", FastHeader + "0\r\n1.000000\t\r\n1\r\n7\r\n2.000000\t\r\n1\r\n", 2, 18,
         "the count line says 7 rows, but the block above it has 0"},
        {"too many fields", TimerHeader + "1,000000\t21,500000\t9,000000\t\r\n2,000000\t21,0\t\r\n",
         2, 15, "the row has 3 fields, but the column header names 2"},
        {"no value", TimerHeader + "1,000000\tabc\t\r\n", 1, 15, "field 2 (Temp.A1) reads \"abc\""},
        {"last block without count", FastHeader + "0\r\n1.000000\t\r\n", 1, 16,
         "the last block has no count line"},
        {"empty file", "", -1, 0, "is no log of this program: the file is empty"},
        {"binary file", QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), -1, 0,
         "its first line is"},
        {"a spreadsheet", "time_s,CAP1.A1 [pF]\r\n0.000,1.250000\r\n", -1, 0,
         "its first line is \"time_s,CAP1.A1 [pF]\""},
        {"header cut short", TimerHeader.left(88), -1, 0, "it ends at line 4"},
        {"unknown column", QByteArray(TimerHeader).replace("Temp.A1", "Volt.A1"), -1, 0,
         "names a column \"Volt.A1\""},
    };
    QTemporaryDir dir;
    for (const auto& test : cases) {
        SCOPED_TRACE(test.Name);
        const QString fileName = WriteText(dir, test.Name, test.Text);
        if (test.Rows < 0) {
            try {
                TLogReader reader(fileName);
                ADD_FAILURE() << "not refused";
            } catch (const ELogReadError& error) {
                EXPECT_NE(std::string(error.what()).find(test.Problem), std::string::npos)
                    << error.what();
            }
            continue;
        }
        TLogReader reader(fileName);
        TLogRow row;
        int rows = 0;
        while (reader.Next(row))
            ++rows;
        EXPECT_EQ(rows, test.Rows);
        ASSERT_FALSE(reader.Problems().empty());
        EXPECT_EQ(reader.Problems().front().Line, test.Line);
        EXPECT_TRUE(reader.Problems().front().Reason.contains(QLatin1String(test.Problem)))
            << reader.Problems().front().Reason.toStdString();
    }
}

// The CSV of a known log, byte for byte: a dot for the decimal comma, a leading zero, empty
// cells, the elapsed time in seconds and no count lines.
TEST(CsvExportTest, WritesAKnownLogAsCsv) {
    QTemporaryDir dir;
    const QString timer = WriteText(dir, "timer.txt",
                                    TimerHeader + "\t\t\r\n,250000\t21,500000\t\r\n"
                                                  "-12,000001\t\t\r\n\t22,000000\t\r\n");
    ASSERT_EQ(CsvFileNameOf(timer), dir.filePath(QStringLiteral("timer.csv")));
    const TCsvExport written = ExportCsv(timer, CsvFileNameOf(timer));
    EXPECT_EQ(written.Rows, 4);
    EXPECT_EQ(written.ProblemCount, 0);
    QFile csv(CsvFileNameOf(timer));
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
    EXPECT_EQ(csv.readAll(), QByteArray("time_s,CAP1.A1 [pF],Temp.A1 [\xC2\xB0"
                                        "C]\r\n"
                                        "0.000,,\r\n"
                                        "0.000,0.250000,21.500000\r\n"
                                        "1.000,-12.000001,\r\n"
                                        "2.000,,22.000000\r\n"));

    const QString fast = WriteText(dir, "fast.txt",
                                   FastHeader + "0\r\n1.000000\t\r\n2.000000\t\r\n2\r\n0\r\n"
                                                "3.000000\t\r\n1\r\n");
    ExportCsv(fast, CsvFileNameOf(fast));
    QFile fastCsv(CsvFileNameOf(fast));
    ASSERT_TRUE(fastCsv.open(QIODevice::ReadOnly));
    EXPECT_EQ(fastCsv.readAll(), QByteArray("time_s,CAP1.A1 [pF]\r\n"
                                            "0.125,1.000000\r\n"
                                            "0.250,2.000000\r\n"
                                            "0.750,3.000000\r\n"));
}

} // namespace
