// What the HID layer must do the same on both backends: the virtual bus, and the Linux backend
// on /dev/hidrawN under umockdev. Every test runs on each.
#include "link/hid/HidDevice.h"
#include "link/hid/HidDeviceController.h"
#include "link/hid/VirtualHidBus.h"
#include "sim/ForeignHidDevice.h"
#include "sim/VirtualMeter.h"
#include "tests/support/UmockdevHidFixture.h"

#include <QCoreApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <future>
#include <map>

namespace {

using namespace std::chrono_literals;

// Plugs virtual devices into one backend.
class THarness {
public:
    virtual ~THarness() = default;
    virtual THidBackend& Backend() = 0;
    virtual void Plug(const std::shared_ptr<TVirtualHidDevice>& device) = 0;
    virtual void Unplug(const std::shared_ptr<TVirtualHidDevice>& device) = 0;
};

class TVirtualHarness final : public THarness {
public:
    THidBackend& Backend() override { return FBus; }
    void Plug(const std::shared_ptr<TVirtualHidDevice>& device) override { FBus.Plug(device); }
    void Unplug(const std::shared_ptr<TVirtualHidDevice>& device) override { FBus.Unplug(device); }

private:
    TVirtualHidBus FBus;
};

class TUmockdevHarness final : public THarness {
public:
    THidBackend& Backend() override { return *FBackend; }
    void Plug(const std::shared_ptr<TVirtualHidDevice>& device) override {
        const auto known = FNodes.find(device.get());
        if (known == FNodes.end())
            FNodes[device.get()] = FFixture.AddDevice(device);
        else
            known->second = FFixture.Replug(known->second);
    }
    void Unplug(const std::shared_ptr<TVirtualHidDevice>& device) override {
        FFixture.Unplug(FNodes.at(device.get()));
    }

private:
    TUmockdevHidFixture FFixture; // before the backend, which must see the testbed
    std::unique_ptr<TLinuxHidBackend> FBackend = FFixture.CreateBackend();
    std::map<TVirtualHidDevice*, std::string> FNodes;
};

enum class EBackend { Virtual, Linux };

class HidContractTest : public testing::TestWithParam<EBackend> {
protected:
    void SetUp() override {
        if (GetParam() == EBackend::Linux) {
            if (!TUmockdevHidFixture::Available())
                GTEST_SKIP() << "needs umockdev-wrapper";
            Harness = std::make_unique<TUmockdevHarness>();
        } else {
            Harness = std::make_unique<TVirtualHarness>();
        }
        Meter = std::make_shared<TVirtualMeter>(QStringLiteral("SN0042"));
        Harness->Plug(std::make_shared<TForeignHidDevice>());
        Harness->Plug(Meter);
        Controller = std::make_unique<THidDeviceController>(Harness->Backend());
        QObject::connect(Controller.get(), &THidDeviceController::DevicesChanged,
                         [this] { ++Changes; });
        ASSERT_TRUE(QTest::qWaitFor([this] { return Changes == 1; }, 5000));
    }
    void TearDown() override {
        Held.clear();
        Controller.reset();
    }

    // Checks out every device and returns the meter's; the test holds them.
    THidDevice* CheckOutMeter() {
        THidDevice* meter = nullptr;
        while (auto device = Controller->CheckOut()) {
            if (device->ProductName() == QLatin1String("Corvane v2"))
                meter = device.get();
            Held.push_back(std::move(device));
        }
        return meter;
    }

    std::unique_ptr<THarness> Harness;
    std::shared_ptr<TVirtualMeter> Meter;
    std::unique_ptr<THidDeviceController> Controller;
    std::vector<std::unique_ptr<THidDevice>> Held;
    int Changes = 0;
};

TEST_P(HidContractTest, FindsTheMeterWithItsStringsAndReportLengths) {
    ASSERT_EQ(Controller->Devices().size(), 2u);
    THidDevice* meter = CheckOutMeter();
    ASSERT_NE(meter, nullptr);
    EXPECT_EQ(meter->SerialNumber(), QStringLiteral("SN0042"));
    EXPECT_TRUE(meter->HasReadWriteAccess());
    const THidCaps caps = meter->Caps();
    EXPECT_EQ(caps.InputReportByteLength, 64);
    EXPECT_EQ(caps.OutputReportByteLength, 64);
    EXPECT_EQ(caps.FeatureReportByteLength, 5);
}

TEST_P(HidContractTest, EveryTransferKindReachesTheMeterWithItsBytes) {
    THidDevice* meter = CheckOutMeter();
    ASSERT_NE(meter, nullptr);
    // The bridge drives its port lines only once they are configured as outputs.
    std::uint8_t outputs[5] = {0x02, 0x03, 0x03, 0x00, 0x00};
    ASSERT_TRUE(meter->SetFeature(outputs, sizeof outputs));
    std::uint8_t lit[5] = {0x04, 0x00, 0x03, 0x00, 0x00};
    ASSERT_TRUE(meter->SetFeature(lit, sizeof lit));
    EXPECT_TRUE(Meter->LedOn());

    // Data write through the control pipe: registers 7 to 12.
    std::uint8_t write[64] = {0x14, 0x90, 0x07, 0x07, 0x80, 0x81, 0x28, 0xA0, 0x85, 0x00};
    ASSERT_TRUE(meter->SetOutputReport(write, sizeof write));
    const auto registers = Meter->Registers();
    EXPECT_EQ(registers[7], 0x80);
    EXPECT_EQ(registers[11], 0x85);
    ASSERT_FALSE(Meter->RegisterWrites().empty());
    EXPECT_EQ(Meter->RegisterWrites().back().Pipe, TVirtualHidDevice::EPipe::Control);

    // A read transaction through the interrupt pipe.
    std::uint8_t request[64] = {0x10, 0x90, 0x00, 0x07};
    std::uint8_t force[64] = {0x12, 0x00, 0x07};
    std::size_t count = 0;
    ASSERT_TRUE(meter->WriteFile(request, sizeof request, count));
    EXPECT_EQ(count, sizeof request);
    ASSERT_TRUE(meter->WriteFile(force, sizeof force, count));
    std::uint8_t response[64] = {};
    ASSERT_EQ(meter->ReadFile(response, sizeof response, count, 2000), EHidReadResult::Ok);
    EXPECT_EQ(response[0], 0x13);
    EXPECT_EQ(response[2], 7);
    const auto now = Meter->Registers();
    for (int r = 1; r < 7; ++r)
        EXPECT_EQ(response[3 + r], now[r]) << "register " << r;
    EXPECT_EQ(Meter->Transfers().at(Meter->Transfers().size() - 2).Pipe,
              TVirtualHidDevice::EPipe::Interrupt);
}

TEST_P(HidContractTest, ReadWithoutAnswerTimesOut) {
    THidDevice* meter = CheckOutMeter();
    ASSERT_NE(meter, nullptr);
    std::uint8_t response[64];
    std::size_t count = 0;
    EXPECT_EQ(meter->ReadFile(response, sizeof response, count, 0), EHidReadResult::TimedOut);
    EXPECT_EQ(meter->ReadFile(response, sizeof response, count, 100), EHidReadResult::TimedOut);
}

TEST_P(HidContractTest, PullingTheMeterOutFailsAPendingReadAndIsAChange) {
    THidDevice* meter = CheckOutMeter();
    ASSERT_NE(meter, nullptr);
    auto pending = std::async(std::launch::async, [meter] {
        std::uint8_t response[64];
        std::size_t count = 0;
        return meter->ReadFile(response, sizeof response, count, -1);
    });
    std::this_thread::sleep_for(50ms);
    Harness->Unplug(Meter);
    ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(pending.get(), EHidReadResult::Failed);
    // Notifications of the plugging before may still be on their way: wait for the removal.
    ASSERT_TRUE(QTest::qWaitFor([&] { return Changes > 1 && !meter->IsPluggedIn(); }, 5000));
    std::uint8_t dark[5] = {0x04, 0x03, 0x03, 0x00, 0x00};
    EXPECT_FALSE(meter->SetFeature(dark, sizeof dark));

    Harness->Plug(Meter);
    THidDevice* again = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (again = CheckOutMeter()) != nullptr; }, 5000));
    EXPECT_TRUE(again->SetFeature(dark, sizeof dark));
}

TEST_P(HidContractTest, BackgroundReaderHandsReportsToTheWindowThread) {
    THidDevice* meter = CheckOutMeter();
    ASSERT_NE(meter, nullptr);
    meter->SetThreadSleepTime(10);
    meter->SetNumOverlappedBuffers(128);
    EXPECT_GT(meter->NumOverlappedBuffers(), 0);
    std::vector<std::uint8_t> ids;
    QObject::connect(meter, &THidDevice::DataReceived, [&](quint8 id, const QByteArray& data) {
        ids.push_back(id);
        EXPECT_EQ(data.size(), 63);
    });
    meter->StartReading();
    ASSERT_TRUE(meter->ReaderRunning());
    std::uint8_t request[64] = {0x10, 0x90, 0x00, 0x01};
    std::uint8_t force[64] = {0x12, 0x00, 0x01};
    std::size_t count = 0;
    ASSERT_TRUE(meter->WriteFile(request, sizeof request, count));
    ASSERT_TRUE(meter->WriteFile(force, sizeof force, count));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ids.empty(); }, 5000));
    EXPECT_EQ(ids, std::vector<std::uint8_t>{0x13});
    // The main handle still gets the answer: the reader reads through its own handle.
    std::uint8_t response[64];
    EXPECT_EQ(meter->ReadFile(response, sizeof response, count, 1000), EHidReadResult::Ok);
    meter->StopReading();
    EXPECT_FALSE(meter->ReaderRunning());
}

INSTANTIATE_TEST_SUITE_P(Backends, HidContractTest,
                         testing::Values(EBackend::Virtual, EBackend::Linux), [](const auto& info) {
                             return info.param == EBackend::Virtual ? "Virtual" : "Linux";
                         });

} // namespace
