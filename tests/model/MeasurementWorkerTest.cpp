#include "model/MeasurementWorker.h"

#include "model/Meter.h"
#include "model/ThreadingSettings.h"
#include "tests/support/RecordingBridge.h"

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A model on a recording bridge that collects the records its worker posts.
class MeasurementWorkerTest : public testing::Test {
protected:
    TRecordingBridge* Bridge = new TRecordingBridge;
    TMeter Model;
    std::vector<std::vector<double>> Results;
    std::vector<std::uint32_t> Ticks;

    void SetUp() override {
        Threading().ThreadSafetyLevel = 2;
        Model.SetUpBridge(std::unique_ptr<TBridge>(Bridge));
        QObject::connect(&Model, &TMeter::DataReceived,
                         [this](int, std::span<const double> values, std::uint32_t ticks) {
                             Results.emplace_back(values.begin(), values.end());
                             Ticks.push_back(ticks);
                         });
    }
    void Configure(int cap1, int cap2, int noise = 0) {
        Model.SetCAP1Mode(cap1);
        Model.SetCAP2Mode(cap2);
        Model.SetRegsFromConfig();
        Model.SetNoiseReduction(noise);
        Model.StartMes();
    }
    bool WaitForRecords(std::size_t count) {
        return QTest::qWaitFor([&] { return Results.size() >= count; }, 5000);
    }
    // The bridge calls between the LEDs of one acquisition.
    QStringList Acquisition() {
        QStringList calls = Bridge->Calls();
        calls.removeAll(QStringLiteral("Init"));
        return calls;
    }
};

TEST_F(MeasurementWorkerTest, ChannelOneAloneIsSentDirectlyWhateverTheMode) {
    Configure(1, 0);
    Model.SetSMode(1);
    Bridge->BusyPolls = 2;
    Bridge->ClearCalls();
    Model.TriggerMeasurement();
    ASSERT_TRUE(WaitForRecords(1));
    EXPECT_EQ(Acquisition(), QStringList({"LED_on", "WriteRegs(7,6) mode 2", "ReadStatus",
                                          "ReadStatus", "ReadStatus", "ReadValues", "LED_off"}));
    EXPECT_EQ(Results[0].size(), 1u);
}

struct TModeCase {
    int SMode;
    QStringList PerChannel; // the writes and reads of one conversion
};

class SModeTest : public MeasurementWorkerTest, public testing::WithParamInterface<TModeCase> {};

TEST_P(SModeTest, BothChannelsAreSentByTheMode) {
    Configure(1, 1);
    Model.SetSMode(GetParam().SMode);
    Bridge->ClearCalls();
    Model.TriggerMeasurement();
    ASSERT_TRUE(WaitForRecords(1));
    QStringList expected{"LED_on"};
    expected << GetParam().PerChannel << GetParam().PerChannel << "LED_off";
    EXPECT_EQ(Acquisition(), expected);
    // The second conversion reads the second input.
    const auto written = Bridge->Written();
    if (GetParam().SMode <= 2) {
        ASSERT_FALSE(written.empty());
        EXPECT_EQ(written.front()[RegCapSetup] & CapSetupInput2, 0);
        EXPECT_EQ(written.back()[RegCapSetup] & CapSetupInput2, CapSetupInput2);
    } else {
        EXPECT_TRUE(written.empty()) << "an unknown mode sends nothing";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SModeTest,
    testing::Values(TModeCase{0, {"WriteRegs(7,6) mode 2", "ReadStatus", "ReadValues"}},
                    TModeCase{1,
                              {"WriteRegs(7,6) mode 0", "WriteRegs(10,1) mode 2", "ReadStatus",
                               "ReadValues"}},
                    TModeCase{2,
                              {"WriteRegs(7,6) mode 2", "ReadStatus", "WriteRegs(10,1) mode 2",
                               "ReadStatus", "ReadValues"}},
                    TModeCase{9, {"ReadStatus", "ReadValues"}}));

TEST_F(MeasurementWorkerTest, RecordCarriesEveryRepeatAndTheFilteredResult) {
    // Channel 2 only, "2 of 3": three conversions of the second input.
    Configure(0, 1, 1);
    for (std::uint32_t code : {0x8FA000u, 0x900000u, 0x400000u}) {
        TRegData answer{};
        answer[1] = std::uint8_t(code >> 16);
        answer[2] = std::uint8_t(code >> 8);
        answer[3] = std::uint8_t(code);
        Bridge->Answers.push_back(answer);
    }
    Model.TriggerMeasurement();
    ASSERT_TRUE(WaitForRecords(1));
    ASSERT_EQ(Results[0].size(), 3u);
    // Raw 0.5, 0.512 and -2.048 pF: the last deviates most, the other two are averaged.
    EXPECT_DOUBLE_EQ(Results[0][0], (0.5 + 0.512) / 2);
    EXPECT_EQ(Bridge->Calls().count(QStringLiteral("ReadValues")), 3);
}

TEST_F(MeasurementWorkerTest, TriggerDuringAnAcquisitionIsAbsorbed) {
    Configure(1, 0);
    std::atomic<int> conversions{0};
    // While the first conversion runs, the trigger comes again.
    Bridge->BeforeCall = [&](const QString& call) {
        if (call == QLatin1String("ReadValues") && conversions++ == 0)
            Model.TriggerMeasurement();
    };
    Model.TriggerMeasurement();
    ASSERT_TRUE(WaitForRecords(1));
    QTest::qWait(100);
    EXPECT_EQ(Results.size(), 1u);
    // One after the record was posted starts exactly one more.
    Model.TriggerMeasurement();
    ASSERT_TRUE(WaitForRecords(2));
    QTest::qWait(100);
    EXPECT_EQ(Results.size(), 2u);
}

TEST_F(MeasurementWorkerTest, ContinuousRunPostsFirstConversionOnlyAndStopsWithRegister10) {
    Configure(1, 1);
    Model.SetContinuousModeInterval(0);
    Model.SetContinuousMode(true);
    Bridge->ClearCalls();
    Model.StartMes();
    ASSERT_TRUE(WaitForRecords(3));
    Model.StopMes();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return Bridge->Calls().contains(QStringLiteral("LED_off")); }, 5000));
    const QStringList calls = Bridge->Calls();
    EXPECT_EQ(calls.mid(0, 2), QStringList({"LED_on", "WriteRegs(7,6) mode 1"}));
    EXPECT_EQ(calls.mid(calls.size() - 2), QStringList({"WriteRegs(10,1) mode 0", "LED_off"}));
    EXPECT_EQ(calls.count(QStringLiteral("WriteRegs(7,6) mode 1")), 1);
    EXPECT_EQ(ConfigurationMode.Get(Model.RegData()[RegConfiguration]), ModeIdle);
    // Channel 2 is enabled, but continuous records carry no second conversion: -4.096 pF.
    QCoreApplication::processEvents();
    for (const auto& values : Results)
        EXPECT_EQ(values.at(1), -4.096);
}

TEST_F(MeasurementWorkerTest, DeviceErrorIsReportedAndTheWorkerWaitsForTheNextTrigger) {
    Configure(1, 0);
    QSignalSpy errors(&Model, &TMeter::ErrorOccurred);
    std::atomic<bool> failing{true};
    Bridge->BeforeCall = [&](const QString& call) {
        if (failing && call == QLatin1String("ReadValues"))
            throw EHIDError("Data Read Response Request failed");
    };
    Model.TriggerMeasurement();
    ASSERT_TRUE(QTest::qWaitFor([&] { return errors.count() == 1; }, 5000));
    EXPECT_EQ(errors.at(0).at(0).toString(), QStringLiteral("Data Read Response Request failed"));
    QTest::qWait(100);
    EXPECT_EQ(errors.count(), 1) << "no retry without a trigger";
    EXPECT_TRUE(Bridge->Calls().endsWith(QStringLiteral("LED_off")));
    failing = false;
    Model.TriggerMeasurement();
    ASSERT_TRUE(WaitForRecords(1));
}

TEST_F(MeasurementWorkerTest, StuckBusyBitEndsInAnErrorAfterTheBound) {
    Configure(1, 0);
    QSignalSpy errors(&Model, &TMeter::ErrorOccurred);
    Bridge->BusyPolls = 1 << 30;
    Model.TriggerMeasurement();
    ASSERT_TRUE(QTest::qWaitFor([&] { return errors.count() == 1; }, 6000));
    EXPECT_EQ(errors.at(0).at(0).toString(), QStringLiteral("Conversion did not complete"));
}

TEST_F(MeasurementWorkerTest, AcquisitionLockIsTakenOnlyAtLevel3) {
    Configure(1, 0);
    for (int level : {2, 3}) {
        Threading().ThreadSafetyLevel = level;
        const std::size_t before = Results.size();
        std::unique_lock held(AcquisitionLock());
        Model.TriggerMeasurement();
        const bool posted = QTest::qWaitFor([&] { return Results.size() > before; }, 300);
        EXPECT_EQ(posted, level != 3) << "level " << level;
        held.unlock();
        ASSERT_TRUE(WaitForRecords(before + 1));
    }
    Threading().ThreadSafetyLevel = 2;
}

// A Stop and a Start within one conversion: the value being read when the run stopped was
// measured for the old run and is dropped, and the new run measures on. Triggered and
// continuous acquisition alike.
TEST_F(MeasurementWorkerTest, AResultMeasuredBeforeAStopCountsInNoLaterRun) {
    // The first value read of each case waits until the test lets it go.
    std::atomic<bool> reading{false}, held{true};
    Bridge->BeforeCall = [&](const QString& call) {
        if (call != QLatin1String("ReadValues") || reading.exchange(true))
            return;
        while (held)
            std::this_thread::sleep_for(1ms);
    };
    for (const bool continuous : {false, true}) {
        SCOPED_TRACE(continuous ? "continuous" : "triggered");
        Results.clear();
        Configure(1, 0);
        Model.SetContinuousMode(continuous);
        TRegData oldRun{}; // CAP1 code 0x8FA000: 0.5 pF, a value no later read gives
        oldRun[1] = 0x8F;
        oldRun[2] = 0xA0;
        Bridge->Answers = {oldRun};
        held = true;
        reading = false;
        if (continuous)
            Model.StartMes();
        else
            Model.TriggerMeasurement();
        ASSERT_TRUE(QTest::qWaitFor([&] { return reading.load(); }, 5000));
        Model.StopMes();
        Model.StartMes();
        held = false;
        if (continuous) {
            ASSERT_TRUE(WaitForRecords(3)) << "the new run measures";
        } else {
            ASSERT_TRUE(QTest::qWaitFor(
                [&] { return Bridge->Calls().endsWith(QStringLiteral("LED_off")); }, 5000));
            QCoreApplication::processEvents();
            EXPECT_TRUE(Results.empty());
            Model.TriggerMeasurement();
            ASSERT_TRUE(WaitForRecords(1)) << "the new run measures";
        }
        for (const auto& values : Results)
            EXPECT_NE(values.at(0), 0.5);
        Model.StopMes();
        Model.SetContinuousMode(false);
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return !Model.MeasurementWorker()->InContinuousRun(); }, 5000));
        // The worker is idle once the LED is dark: nothing calls the bridge meanwhile.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return Bridge->Calls().endsWith(QStringLiteral("LED_off")); }, 5000));
    }
}

TEST_F(MeasurementWorkerTest, DestroyingTheModelEndsItsWorkerMidRun) {
    auto bridge = new TRecordingBridge;
    bridge->BusyPolls = 1 << 30;
    auto model = std::make_unique<TMeter>();
    model->SetUpBridge(std::unique_ptr<TBridge>(bridge));
    model->SetCAP1Mode(1);
    model->SetRegsFromConfig();
    model->TriggerMeasurement();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return bridge->Calls().contains(QStringLiteral("ReadStatus")); }, 5000));
    model.reset(); // joins the worker, which is polling a busy converter
    QCoreApplication::processEvents();
}

struct TMeasureCase {
    const char* Name;
    int Channel;
    std::uint8_t Mode, DacA, DacB;
    int Exc;
    std::uint8_t Byte7, Byte9;
};

class MeasureCapTest : public MeasurementWorkerTest,
                       public testing::WithParamInterface<TMeasureCase> {};

TEST_P(MeasureCapTest, SendsItsOwnImageAndReturnsTheCapacitance) {
    const TMeasureCase& c = GetParam();
    const TRegData workerImage = Model.RegData();
    TRegData answer{};
    answer[1] = 0x8F;
    answer[2] = 0xA0; // 0.5 pF
    Bridge->Answers.push_back(answer);
    Bridge->ClearCalls();
    EXPECT_EQ(Model.MeasureCAP(c.Channel, c.Mode, c.DacA, c.DacB, c.Exc), 0.5);
    const auto written = Bridge->Written();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0][7], c.Byte7);
    EXPECT_EQ(written[0][8], 0);
    EXPECT_EQ(written[0][9], c.Byte9);
    EXPECT_EQ(written[0][10], 0xA2);
    EXPECT_EQ(written[0][11], c.DacA | 0x80);
    EXPECT_EQ(written[0][12], c.DacB | 0x80);
    EXPECT_EQ(Bridge->Calls(), QStringList({"WriteRegs(7,6) mode 2", "ReadStatus", "ReadValues"}));
    EXPECT_EQ(Model.RegData(), workerImage);
}

INSTANTIATE_TEST_SUITE_P(Images, MeasureCapTest,
                         testing::Values(TMeasureCase{"Channel1Single", 1, 1, 5, 0, 0, 0x80, 0x28},
                                         TMeasureCase{"Channel1Differential", 0, 2, 5, 9, 3, 0xA0,
                                                      0x2B},
                                         TMeasureCase{"Channel2", 2, 1, 0, 0, 1, 0xC0, 0x29}),
                         [](const auto& info) { return std::string(info.param.Name); });

// A converter that never finishes fails the measurement within the bound, and leaves the meter
// free for the next one.
TEST_F(MeasurementWorkerTest, MeasureCapGivesUpOnAStuckBusyBit) {
    Bridge->BusyPolls = 1 << 30;
    try {
        Model.MeasureCAP(1, 1, 0, 0, 0);
        ADD_FAILURE() << "measured with the converter busy";
    } catch (const EHIDError& error) {
        EXPECT_STREQ(error.what(), "Conversion did not complete");
    }
    Bridge->BusyPolls = 0;
    EXPECT_EQ(Model.MeasureCAP(1, 1, 0, 0, 0), -4.096);
}

TEST_F(MeasurementWorkerTest, MeasureCapWithModeZeroSendsNothing) {
    Bridge->ClearCalls();
    EXPECT_EQ(Model.MeasureCAP(1, 0, 5, 5, 0), -10.0);
    EXPECT_TRUE(Bridge->Calls().isEmpty());
}

} // namespace
