#include "app/core/LogFile.h"

#include "tests/support/FileSizeLimit.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtNumeric>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Lines compared as std::string, which gtest prints readably.
using TLines = std::vector<std::string>;

TLines Std(const QStringList& lines) {
    TLines result;
    for (const QString& line : lines)
        result.push_back(line.toStdString());
    return result;
}

const QLocale PointLocale(QLocale::English, QLocale::UnitedKingdom);
const QLocale CommaLocale(QLocale::German, QLocale::Germany);

const QDateTime Created(QDate(2012, 3, 12), QTime(10, 15, 0));

// The lines of a file, checked to end each with CR LF and to hold no other line break.
TLines FileLines(const QString& fileName) {
    QFile file(fileName);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(text.isEmpty() || text.endsWith(QStringLiteral("\r\n")));
    QStringList lines = text.split(QStringLiteral("\r\n"));
    lines.removeLast();
    for (const QString& line : lines)
        EXPECT_FALSE(line.contains(u'\r') || line.contains(u'\n')) << line.toStdString();
    return Std(lines);
}

TLogMeter SingleCap1Meter(const QString& serial) {
    TLogMeter meter;
    meter.Serial = serial;
    meter.CAP1Mode = 1;
    meter.RegData[7] = 0x80;
    return meter;
}

TEST(LogFileTest, FormatsValuesWithSixDecimalsAndNoLeadingZero) {
    const struct {
        double Value;
        const char* Point;
        const char* Comma;
    } cases[] = {
        {0, ".000000", ",000000"},
        {0.25, ".250000", ",250000"},
        {-0.25, "-.250000", "-,250000"},
        {12.5, "12.500000", "12,500000"},
        {-12.5, "-12.500000", "-12,500000"},
        {3.14159265, "3.141593", "3,141593"},
        {1234567.5, "1234567.500000", "1234567,500000"},
        // Rounds to zero: no sign.
        {-0.0000001, ".000000", ",000000"},
        {-0.0, ".000000", ",000000"},
        // Halves round up as written, although the double nearest 0.0000005 lies just below it.
        {0.0000005, ".000001", ",000001"},
        {-0.0000005, "-.000001", "-,000001"},
        {0.00000049, ".000000", ",000000"},
        // The carry reaches the integer digits.
        {0.9999995, "1.000000", "1,000000"},
        {-999.9999999, "-1000.000000", "-1000,000000"},
        {1e20, "100000000000000000000.000000", "100000000000000000000,000000"},
        {qQNaN(), "nan", "nan"},
        {-qInf(), "-inf", "-inf"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Point);
        EXPECT_EQ(FormatValue(c.Value, PointLocale).toStdString(), c.Point);
        EXPECT_EQ(FormatValue(c.Value, CommaLocale).toStdString(), c.Comma);
    }
}

TEST(LogFileTest, CapLineShowsTheModeAndCapdacValues) {
    const struct {
        int Mode, CapdacMode, A, B;
        const char* Line;
    } cases[] = {
        {0, 1, 17, 3, "CAP1:\tOff\t"},          {1, 0, 17, 3, "CAP1:\tSingle\t"},
        {1, 1, 17, 3, "CAP1:\tSingle\t17\t"},   {2, 1, 17, 3, "CAP1:\tDifferential\t17\t3\t"},
        {2, 0, 17, 3, "CAP1:\tDifferential\t"}, {5, 1, 17, 3, "CAP1:\t"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CapLine(1, c.Mode, c.CapdacMode, c.A, c.B).toStdString(), c.Line);
    EXPECT_EQ(CapLine(2, 1, 1, 9, 0).toStdString(), "CAP2:\tSingle\t9\t");
}

// A timer-mode run for one meter: header, column header row, and each row in the file as soon
// as it is written. An older, longer file of the same name is replaced.
TEST(LogFileTest, WritesTheWholeFileOfATimerModeRun) {
    QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("log.txt"));
    {
        QFile old(name);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(5000, 'x'));
    }
    TLogMeter meter = SingleCap1Meter(QStringLiteral("0001"));
    meter.RegData[0] = 0xAB;
    meter.RegData[22] = 0x0C;
    TLogFile log;
    log.Open(name, {false, QStringLiteral("1000"), Created, {meter}}, PointLocale);
    ASSERT_TRUE(log.IsOpen());
    log.WriteRow({{12.345678}});
    log.WriteRow({{12.3457024}});

    const TLines expected = {
        "DieloMeter5.1 Vantel",
        "Created:\t12/03/2012 10:15:00",
        "Auto Mode:\tOff",
        "Interval [ms]\t1000",
        "",
        "Settings of 0001",
        "CAP1:\tSingle\t",
        "CAP2:\tOff\t",
        "Internal Temperature Sensor:\tOff",
        "External Resistor:\tOff",
        "Registers:\tAB\t00\t00\t00\t00\t00\t00\t80\t00\t00\t00\t00\t00\t00\t00\t00\t00\t00\t00\t00"
        "\t00\t00\t0C",
        "SMode:\t1",
        "",
        "CAP1.0001\t",
        "12.345678\t",
        "12.345702\t",
    };
    EXPECT_EQ(FileLines(name), expected);
    log.Close();
    EXPECT_FALSE(log.IsOpen());
    EXPECT_EQ(FileLines(name), expected);
}

// The date is the locale's short date, the time its long time without a zone name.
TEST(LogFileTest, CreatedLineHasNoTimeZone) {
    const struct {
        QLocale Locale;
        const char* Line;
    } cases[] = {
        {PointLocale, "Created:\t12/03/2012 10:15:00"},
        {QLocale(QLocale::English, QLocale::UnitedStates), "Created:\t3/12/12 10:15:00 AM"},
        {CommaLocale, "Created:\t12.03.12 10:15:00"},
        {QLocale(QLocale::Chinese, QLocale::China), "Created:\t2012/3/12 10:15:00"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SettingsHeaderLines({false, "1000", Created, {}}, c.Locale)[1].toStdString(),
                  c.Line);
}

// Two meters: each one's settings block, and its columns in the same order in the column header
// row and in a value row.
TEST(LogFileTest, KeepsTheMeterOrderEverywhere) {
    TLogMeter first;
    first.Serial = QStringLiteral("A1");
    first.CAP1Mode = 2;
    first.CAPDAC1Mode = 1;
    first.CAPDAC1A = 17;
    first.CAPDAC1B = 3;
    first.CAP2Mode = 1;
    first.RegData[7] = 0x80;
    first.RegData[8] = 0x81;
    first.RegData[19] = 0x80;
    first.RegData[20] = 0xF1;
    first.InternalTempEnabled = true;
    first.ExternalResistorEnabled = true;
    first.ReferenceResistor = 1000;
    first.SMode = 3;
    const TLogMeter second = SingleCap1Meter(QStringLiteral("B2"));
    const std::vector<TLogMeter> meters = {first, second};

    const QStringList header =
        SettingsHeaderLines({true, QStringLiteral("11.0"), Created, meters}, PointLocale);
    ASSERT_EQ(header.size(), 4 + 2 * 8 + 1);
    EXPECT_EQ(header[2].toStdString(), "Auto Mode:\tOn");
    EXPECT_EQ(header[3].toStdString(), "Interval [ms]\t11.0");
    const TLines firstBlock = {"",
                               "Settings of A1",
                               "CAP1:\tDifferential\t17\t3\t",
                               "CAP2:\tSingle\t",
                               "Internal Temperature Sensor:\tOn",
                               "External Resistor:\tOn\tReference Resistor\t1000"};
    EXPECT_EQ(Std(header.mid(4, 6)), firstBlock);
    EXPECT_EQ(header[11].toStdString(), "SMode:\t3");
    const TLines secondBlock = {"",
                                "Settings of B2",
                                "CAP1:\tSingle\t",
                                "CAP2:\tOff\t",
                                "Internal Temperature Sensor:\tOff",
                                "External Resistor:\tOff"};
    EXPECT_EQ(Std(header.mid(12, 6)), secondBlock);
    EXPECT_EQ(header[20].toStdString(), "");

    EXPECT_EQ(ColumnHeaderLine(meters).toStdString(),
              "CAP1.A1\tCAP2.A1\tTemp.A1\tRes.A1\tCAP1.B2\t");
    EXPECT_EQ(ValueRow({{1, 2, 3, 4}, {-5}}, PointLocale).toStdString(),
              "1.000000\t2.000000\t3.000000\t4.000000\t-5.000000\t");
}

// The image names the columns: a meter whose flags and image disagree gets the columns of what
// its image measures, which are the values its rows hold.
TEST(LogFileTest, ColumnsFollowTheImageWhereTheFlagsDisagree) {
    TLogMeter meter = SingleCap1Meter(QStringLiteral("A1"));
    meter.RegData[8] = 0x81;              // the temperature is converted ...
    meter.InternalTempEnabled = false;    // ... though its flag is off
    meter.ExternalResistorEnabled = true; // and the resistor's flag is on without its conversion
    EXPECT_EQ(ColumnHeaderLine({meter, SingleCap1Meter(QStringLiteral("B2"))}).toStdString(),
              "CAP1.A1\tTemp.A1\tCAP1.B2\t");
}

// The status report is the log's header without its empty lines, ending with the column row.
TEST(LogFileTest, StatusReportForOneAndTwoMetersInBothModes) {
    const TLogMeter a = SingleCap1Meter(QStringLiteral("A1"));
    TLogMeter b = SingleCap1Meter(QStringLiteral("B2"));
    b.InternalTempEnabled = true;
    b.RegData[8] = 0x81;
    b.SMode = 2;
    const std::string registers =
        "Registers:\t00\t00\t00\t00\t00\t00\t00\t80\t00\t00\t00\t00\t00\t00\t00\t00"
        "\t00\t00\t00\t00\t00\t00\t00";
    const TLines blockA = {"Settings of A1",
                           "CAP1:\tSingle\t",
                           "CAP2:\tOff\t",
                           "Internal Temperature Sensor:\tOff",
                           "External Resistor:\tOff",
                           registers,
                           "SMode:\t1"};
    TLines blockB = blockA;
    blockB[0] = "Settings of B2";
    blockB[3] = "Internal Temperature Sensor:\tOn";
    blockB[5] = "Registers:\t00\t00\t00\t00\t00\t00\t00\t80\t81\t00\t00\t00\t00\t00\t00\t00"
                "\t00\t00\t00\t00\t00\t00\t00";
    blockB[6] = "SMode:\t2";
    const struct {
        bool Fast;
        const char* Interval;
        std::vector<TLogMeter> Meters;
        TLines Blocks;
        std::string Columns;
    } cases[] = {
        {false, "1000", {a}, blockA, "CAP1.A1\t"},
        {true, "11.0", {a}, blockA, "CAP1.A1\t"},
        {false, "250", {a, b}, {}, "CAP1.A1\tCAP1.B2\tTemp.B2\t"},
        {true, "109.6", {a, b}, {}, "CAP1.A1\tCAP1.B2\t"},
    };
    for (const auto& c : cases) {
        TLines expected = {"DieloMeter5.1 Vantel", "Created:\t12/03/2012 10:15:00",
                           c.Fast ? "Auto Mode:\tOn" : "Auto Mode:\tOff",
                           std::string("Interval [ms]\t") + c.Interval};
        TLines blocks = c.Blocks;
        if (c.Meters.size() == 2) {
            blocks = blockA;
            blocks.insert(blocks.end(), blockB.begin(), blockB.end());
        }
        expected.insert(expected.end(), blocks.begin(), blocks.end());
        expected.push_back(c.Columns);
        EXPECT_EQ(Std(StatusReportLines({c.Fast, QLatin1String(c.Interval), Created, c.Meters},
                                        PointLocale)),
                  expected);
    }
}

// A meter that buffered fewer values leaves empty fields, never another block's values.
TEST(LogFileTest, FastModeBlockPadsShortBuffersWithEmptyFields) {
    const TLines expected = {"1.000000\t4.000000\t\t", "2.000000\t\t\t", "3.000000\t\t\t", "3"};
    EXPECT_EQ(Std(FastModeBlock({{1, 2, 3}, {4}, {}}, PointLocale)), expected);
    EXPECT_EQ(Std(FastModeBlock({{}, {}}, PointLocale)), TLines{"0"});
}

// Without meters the header has no settings blocks and the rows are empty.
TEST(LogFileTest, RunWithoutMeters) {
    QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("log.txt"));
    for (bool fastMode : {false, true}) {
        SCOPED_TRACE(fastMode);
        TLogFile log;
        log.Open(name, {fastMode, fastMode ? "11.0" : "1000", Created, {}}, PointLocale);
        for (int tick = 0; tick < 2; ++tick)
            fastMode ? log.WriteBlock({}) : log.WriteRow({});
        const TLines lines = FileLines(name);
        ASSERT_EQ(lines.size(), 8);
        EXPECT_EQ(lines[0], "DieloMeter5.1 Vantel");
        EXPECT_EQ(lines[3], fastMode ? "Interval [ms]\t11.0" : "Interval [ms]\t1000");
        const std::string row = fastMode ? "0" : "";
        EXPECT_EQ(TLines(lines.begin() + 4, lines.end()), TLines({"", "", row, row}));
    }
}

TEST(LogFileTest, FailedCreateLeavesTheLogClosed) {
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("no-such-folder/log.txt"));
    const QString full = QStringLiteral("/dev/full");
    const struct {
        QString Name;
        std::string Message;
    } cases[] = {
        {missing, "Cannot create " + missing.toStdString() + ": No such file or directory"},
        // Created, but the header cannot be written.
        {full, "Cannot write to /dev/full: No space left on device"},
    };
    for (const auto& c : cases) {
        if (!QFileInfo::exists(QFileInfo(c.Name).path()))
            continue;
        TLogFile log;
        try {
            log.Open(c.Name, {false, "1000", Created, {SingleCap1Meter("0001")}}, PointLocale);
            ADD_FAILURE() << "no error for " << c.Message;
        } catch (const ELogFileError& error) {
            EXPECT_EQ(error.what(), c.Message);
        }
        EXPECT_FALSE(log.IsOpen());
        EXPECT_THROW(log.WriteRowsText({QString()}), ELogFileError);
    }
}

// A write that fails during a run is reported, takes back what it wrote of its line and leaves
// the file open; the next write goes on from the last whole line.
TEST(LogFileTest, FailedWriteDuringARunKeepsTheFileUsable) {
    QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("log.txt"));
    TLogFile log;
    log.Open(name, {false, "1000", Created, {SingleCap1Meter("0001")}}, PointLocale);
    log.WriteRow({{1.5}});
    TLines expected = FileLines(name);

    {
        // Room for part of the next row only.
        TFileSizeLimit limit(QFileInfo(name).size() + 4);
        try {
            log.WriteRow({{2.5}});
            ADD_FAILURE() << "no error";
        } catch (const ELogFileError& error) {
            EXPECT_EQ(error.what(), "Cannot write to " + name.toStdString() + ": File too large");
        }
        EXPECT_THROW(log.WriteBlock({{2.5, 3.5}}), ELogFileError);
    }
    EXPECT_TRUE(log.IsOpen());
    EXPECT_EQ(FileLines(name), expected);

    log.WriteRow({{3.5}});
    expected.push_back("3.500000\t");
    EXPECT_EQ(FileLines(name), expected);
}

} // namespace
