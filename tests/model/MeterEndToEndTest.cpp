// The model, its worker and the bridge against a virtual meter on the virtual bus: the values
// the meter is set to come back exact, and the converter sees the traffic of each mode.
#include "link/HidBridge.h"
#include "link/hid/HidDevice.h"
#include "link/hid/HidDeviceController.h"
#include "link/hid/VirtualHidBus.h"
#include "model/MeasurementWorker.h"
#include "model/Meter.h"
#include "sim/VirtualMeter.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

namespace {

class MeterEndToEndTest : public testing::Test {
protected:
    TVirtualHidBus Bus;
    std::shared_ptr<TVirtualMeter> Meter = std::make_shared<TVirtualMeter>(QStringLiteral("E2E"));
    std::unique_ptr<THidDeviceController> Controller;
    std::unique_ptr<TMeter> Model;
    std::vector<std::vector<double>> Results;

    void SetUp() override {
        Meter->SetInputCapacitance(1, 1.25);
        Meter->SetInputCapacitance(2, -0.48);
        Meter->SetTemperature(23.4);
        Meter->SetResistanceRatio(0.25);
        Bus.Plug(Meter);
        Controller = std::make_unique<THidDeviceController>(Bus);
        QCoreApplication::processEvents();
        auto device = Controller->CheckOut();
        ASSERT_NE(device, nullptr);
        Model = std::make_unique<TMeter>();
        Model->SetUpBridge(std::make_unique<THidBridge>(std::move(device)));
        QObject::connect(Model.get(), &TMeter::DataReceived,
                         [this](int, std::span<const double> values, std::uint32_t) {
                             Results.emplace_back(values.begin(), values.end());
                         });
    }
    void TearDown() override {
        Model.reset();
        Controller.reset();
    }
    bool WaitForRecords(std::size_t count) {
        return QTest::qWaitFor([&] { return Results.size() >= count; }, 10000);
    }
};

TEST_F(MeterEndToEndTest, TriggeredAcquisitionBringsBackEveryValueTheMeterMeasures) {
    Model->SetCAP1Mode(1);
    Model->SetCAP2Mode(1);
    Model->SetInternalTempEnabled(true);
    Model->SetExternalResistorEnabled(true);
    Model->SetReferenceResistor(50000);
    Model->SetRegsFromConfig();
    for (int sMode : {0, 1, 2}) {
        Model->SetSMode(sMode);
        Model->StartMes();
        Model->TriggerMeasurement();
        ASSERT_TRUE(WaitForRecords(Results.size() + 1)) << "SMode " << sMode;
        const auto& values = Results.back();
        ASSERT_EQ(values.size(), 4u);
        // One code step is 1 / 2048000 pF and 1 / 2048 °C.
        EXPECT_NEAR(values[0], 1.25, 1e-6);
        EXPECT_NEAR(values[1], -0.48, 1e-6);
        EXPECT_NEAR(values[2], 23.4, 1e-3);
        EXPECT_NEAR(values[3], 12500.0, 0.01);
    }
    EXPECT_FALSE(Meter->LedOn());
}

TEST_F(MeterEndToEndTest, PreSetModeWritesTheSetupIdleThenStartsWithRegister10) {
    Model->SetCAP1Mode(1);
    Model->SetCAP2Mode(1);
    Model->SetRegsFromConfig();
    Model->SetSMode(1);
    Model->StartMes();
    const std::size_t before = Meter->RegisterWrites().size();
    Model->TriggerMeasurement();
    ASSERT_TRUE(WaitForRecords(1));
    const auto writes = Meter->RegisterWrites();
    ASSERT_EQ(writes.size() - before, 4u);
    for (std::size_t i = before; i < writes.size(); i += 2) {
        EXPECT_EQ(writes[i].Start, 7);
        EXPECT_EQ(writes[i].Count, 6);
        EXPECT_EQ(writes[i + 1].Start, 10);
        EXPECT_EQ(writes[i + 1].Count, 1);
        EXPECT_EQ(writes[i].Pipe, TVirtualHidDevice::EPipe::Control);
    }
}

TEST_F(MeterEndToEndTest, ContinuousRunDeliversEveryResultAndStopsWithRegister10) {
    Model->SetCAP1Mode(1);
    Model->SetCAP2Mode(1);
    Model->SetRegsFromConfig();
    // 38.0 ms: a result is overwritten when it is not read before the next one, so the
    // interval leaves a loaded or instrumented build room to read every one.
    Model->SetContinuousModeInterval(3);
    Model->SetContinuousMode(true);
    Model->StartMes();
    ASSERT_TRUE(WaitForRecords(10));
    Model->StopMes();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Meter->LedOn(); }, 5000));
    QTest::qWait(50);
    EXPECT_EQ(Meter->LostResults(), 0);
    const auto writes = Meter->RegisterWrites();
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes.back().Start, 10);
    EXPECT_EQ(writes.back().Count, 1);
    EXPECT_EQ(ConfigurationMode.Get(Meter->Registers()[RegConfiguration]), ModeIdle)
        << "the converter idles";
    for (const auto& values : Results) {
        EXPECT_NEAR(values.at(0), 1.25, 1e-6);
        EXPECT_EQ(values.at(1), -4.096) << "no second conversion in continuous mode";
    }
}

// A fast run started while the last triggered acquisition is still under way: that
// acquisition's record takes the trigger, and the continuous run must start all the same.
TEST_F(MeterEndToEndTest, ContinuousRunStartsAfterATriggeredAcquisitionStillRunning) {
    Model->SetCAP1Mode(1);
    Model->SetRegsFromConfig();
    Model->StartMes();
    Model->TriggerMeasurement(); // about 70 ms
    ASSERT_TRUE(QTest::qWaitFor([&] { return Meter->ConversionsStarted() == 1; }, 5000));
    Model->SetContinuousModeInterval(3);
    Model->SetContinuousMode(true);
    Model->StartMes();
    EXPECT_TRUE(WaitForRecords(6));
    Model->StopMes();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Meter->LedOn(); }, 5000));
}

TEST_F(MeterEndToEndTest, MeasureCapMeasuresThroughTheDacs) {
    Meter->SetInputCapacitance(1, 9.0); // beyond the converter's range without the DACs
    const double step = TVirtualMeter::CapDacStepPf;
    const double measured = Model->MeasureCAP(1, 1, 60, 0, 0);
    EXPECT_NEAR(measured, 9.0 - 60 * step, 1e-6);
    EXPECT_NEAR(Model->MeasureCAP(2, 2, 0, 3, 3), -0.48 + 3 * step, 1e-6);
}

TEST_F(MeterEndToEndTest, MeasureCapDuringAContinuousRunIsRefusedAtOnce) {
    Model->SetCAP1Mode(1);
    Model->SetRegsFromConfig();
    Model->SetContinuousModeInterval(3);
    Model->SetContinuousMode(true);
    Model->StartMes();
    ASSERT_TRUE(WaitForRecords(2));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(Model->MeasureCAP(1, 1, 0, 0, 0), EMeterBusy);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    Model->StopMes();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Meter->LedOn(); }, 5000));
    // Once the run has ended, the meter measures on request again.
    EXPECT_NEAR(Model->MeasureCAP(1, 1, 0, 0, 0), 1.25, 1e-6);
}

TEST_F(MeterEndToEndTest, PulledOutMeterIsReportedAndDestroyedCleanly) {
    Model->SetCAP1Mode(1);
    Model->SetRegsFromConfig();
    Model->StartMes();
    QSignalSpy errors(Model.get(), &TMeter::ErrorOccurred);
    Bus.Unplug(Meter);
    Model->TriggerMeasurement();
    ASSERT_TRUE(QTest::qWaitFor([&] { return errors.count() == 1; }, 5000));
    EXPECT_THROW(Model->MeasureCAP(1, 1, 0, 0, 0), EHIDError);
    Model.reset();
    QCoreApplication::processEvents();
}

} // namespace
