#include "app/core/RunController.h"

#include "app/core/MeterSet.h"
#include "link/hid/VirtualHidBus.h"
#include "model/IniFile.h"
#include "model/Meter.h"
#include "sim/VirtualMeter.h"
#include "tests/support/MeterSettings.h"
#include "tests/support/TextFiles.h"

#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <map>
#include <memory>

namespace {

// The meter set and the run on a virtual bus, without a window: meters M1 to M3 read 1.25,
// 2.25 and 3.25 pF on channel 1 with 20 ms conversions. The test drives the run tick by tick;
// the tick timer's interval is too long to fire meanwhile.
class RunControllerTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    QString IniName = Dir.filePath(QStringLiteral("Settings.ini"));
    QString LogName = Dir.filePath(QStringLiteral("run.txt"));
    TVirtualHidBus Bus;
    std::vector<std::shared_ptr<TVirtualMeter>> Devices;
    std::unique_ptr<TMeterSet> Meters;
    std::unique_ptr<TRunController> Run;
    // Results since the last wait, by serial number.
    std::map<QString, int> Results;

    void Start(int meters) {
        TIniFile ini(IniName);
        for (int i = 0; i < meters; ++i) {
            const QString serial = QStringLiteral("M%1").arg(i + 1);
            WriteCap1MeterSettings(ini, serial);
            Devices.push_back(std::make_shared<TVirtualMeter>(serial));
            Devices.back()->SetInputCapacitance(1, 1.25 + i);
            Bus.Plug(Devices.back());
        }
        Meters = std::make_unique<TMeterSet>(Bus, IniName);
        Run = std::make_unique<TRunController>(*Meters);
        QObject::connect(Meters.get(), &TMeterSet::Result, [this](std::size_t meter, auto...) {
            ++Results[Meters->Meters()[meter]->SerNum()];
        });
        ASSERT_TRUE(WaitForMeters(std::size_t(meters)));
        Run->SetInterval(30000);
        Run->SetLogFileName(LogName);
    }
    bool WaitForMeters(std::size_t count) {
        return QTest::qWaitFor([&] { return Meters->Meters().size() == count; }, 5000);
    }
    // Waits until each of serials has delivered a result since the last wait.
    bool WaitForResults(const QStringList& serials) {
        const bool all = QTest::qWaitFor(
            [&] {
                for (const QString& serial : serials)
                    if (Results[serial] == 0)
                        return false;
                return true;
            },
            5000);
        Results.clear();
        return all;
    }
    // The log's value rows after the column header, split into fields.
    std::vector<QList<QByteArray>> Rows(const QByteArray& header) const {
        const QList<QByteArray> lines = ReadAll(LogName).split('\n');
        std::vector<QList<QByteArray>> rows;
        const qsizetype at = lines.indexOf(header);
        EXPECT_GE(at, 0) << "no column header " << header.toStdString();
        for (qsizetype i = at + 1; at >= 0 && i < lines.size(); ++i)
            if (lines[i].endsWith("\t\r"))
                rows.push_back(lines[i].chopped(2).split('\t'));
        return rows;
    }
};

// Discovery frees and rebuilds every meter while the run goes on: a meter pulled out leaves its
// fields empty once its last result is logged, and takes them again when plugged back in.
TEST_F(RunControllerTest, TimerRowsFollowAMeterPulledOutAndBackTickByTick) {
    Start(3);
    Run->Start();
    ASSERT_TRUE(Run->Running());
    const QStringList all = {"M1", "M2", "M3"};
    ASSERT_TRUE(WaitForResults(all));
    Run->Tick();
    ASSERT_TRUE(WaitForResults(all));
    Bus.Unplug(Devices[1]);
    ASSERT_TRUE(WaitForMeters(2));
    Run->Tick(); // M2's last result, measured before it went
    ASSERT_TRUE(WaitForResults({"M1", "M3"}));
    Run->Tick();
    Bus.Plug(Devices[1]);
    ASSERT_TRUE(WaitForMeters(3));
    Run->Tick(); // whatever was measured around the device change
    ASSERT_TRUE(WaitForResults(all));
    Run->Tick();
    Run->Stop();

    const auto rows = Rows("CAP1.M1\tCAP1.M2\tCAP1.M3\t\r");
    ASSERT_EQ(rows.size(), 5u);
    const QList<QByteArray> full = {"1.250000", "2.250000", "3.250000"};
    EXPECT_EQ(rows[0], full);
    EXPECT_EQ(rows[1], full);
    EXPECT_EQ(rows[2], QList<QByteArray>({"1.250000", "", "3.250000"}));
    EXPECT_EQ(rows[3].size(), 3);
    EXPECT_EQ(rows[4], full);
}

// Fast mode: every tick writes what the meters delivered as a block; a meter pulled out and
// back keeps its column, and no value lands in another meter's.
TEST_F(RunControllerTest, FastModeBlocksKeepEachMetersColumnAcrossAPullOut) {
    Start(2);
    Run->SetFastMode(true);
    Run->SetFastModeInterval(2, QStringLiteral("20.0"));
    Run->Start();
    ASSERT_TRUE(Run->Running());
    for (int tick = 0; tick < 6; ++tick) {
        if (tick == 2)
            Bus.Unplug(Devices[0]);
        if (tick == 4)
            Bus.Plug(Devices[0]);
        if (tick == 2 || tick == 4) {
            ASSERT_TRUE(WaitForMeters(tick == 2 ? 1u : 2u));
        }
        ASSERT_TRUE(
            WaitForResults(tick == 2 || tick == 3 ? QStringList{"M2"} : QStringList{"M1", "M2"}));
        Run->Tick();
    }
    Run->Stop();

    const auto rows = Rows("CAP1.M1\tCAP1.M2\t\r");
    ASSERT_FALSE(rows.empty());
    int m1 = 0, m2 = 0;
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 2);
        EXPECT_TRUE(row[0].isEmpty() || row[0] == "1.250000");
        EXPECT_TRUE(row[1].isEmpty() || row[1] == "2.250000");
        m1 += !row[0].isEmpty();
        m2 += !row[1].isEmpty();
    }
    EXPECT_GE(m1, 4);
    EXPECT_GE(m2, 6);
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

} // namespace
