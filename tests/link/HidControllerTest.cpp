#include "link/hid/HidDevice.h"
#include "link/hid/HidDeviceController.h"
#include "link/hid/VirtualHidBus.h"
#include "tests/support/EchoHidDevice.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>

namespace {

std::shared_ptr<TEchoHidDevice> Device(const char* serial, const char* product = "Corvane v2") {
    return std::make_shared<TEchoHidDevice>(QString::fromLatin1(product),
                                            QString::fromLatin1(serial));
}

// A controller on a virtual bus, counting its change notifications.
class HidControllerTest : public testing::Test {
protected:
    TVirtualHidBus Bus;
    std::unique_ptr<THidDeviceController> Controller;
    int Changes = 0;

    void Create() {
        Controller = std::make_unique<THidDeviceController>(Bus);
        Controller->OnDeviceChange = [this] { ++Changes; };
    }
    static void Settle() {
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
    }
    std::vector<THidDevice*> CheckOutAll() {
        std::vector<THidDevice*> devices;
        THidDevice* device = nullptr;
        while (Controller->CheckOut(device))
            devices.push_back(device);
        return devices;
    }
};

TEST_F(HidControllerTest, FirstNotificationComesOnceEvenWithoutDevices) {
    Create();
    EXPECT_EQ(Changes, 0) << "the first pass runs from the event loop";
    Settle();
    EXPECT_EQ(Changes, 1);
    EXPECT_TRUE(Controller->Devices().empty());
    emit Bus.DevicesChanged(); // a broadcast that changes nothing
    Settle();
    EXPECT_EQ(Changes, 1);
}

TEST_F(HidControllerTest, ArrivalsAndRemovalsKeepTheOrderFound) {
    const auto a = Device("A"), b = Device("B"), c = Device("C");
    Bus.Plug(a);
    Create();
    Settle();
    Bus.Plug(b);
    Bus.Plug(c);
    Settle();
    // Both plugs arrive before the pass runs; the second finds nothing new.
    EXPECT_EQ(Changes, 2);
    ASSERT_EQ(Controller->Devices().size(), 3u);
    Bus.Unplug(b);
    Settle();
    EXPECT_EQ(Changes, 3);

    auto devices = CheckOutAll();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0]->SerialNumber(), QStringLiteral("A"));
    EXPECT_EQ(devices[1]->SerialNumber(), QStringLiteral("C"));
    EXPECT_EQ(devices[0]->ProductName(), QStringLiteral("Corvane v2"));
    for (THidDevice* device : devices)
        delete device;
}

TEST_F(HidControllerTest, CheckOutHandsOutEachDeviceOnceAndReleaseLeavesAFreshEntry) {
    for (const char* serial : {"1", "2", "3"})
        Bus.Plug(Device(serial));
    Create();
    Settle();
    THidDevice* d[4] = {};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(Controller->CheckOut(d[i]));
        EXPECT_EQ(d[i]->SerialNumber(), QString::number(i + 1));
        EXPECT_TRUE(d[i]->IsCheckedOut());
    }
    EXPECT_FALSE(Controller->CheckOut(d[3]));
    EXPECT_EQ(d[3], nullptr);

    delete d[1];
    ASSERT_EQ(Controller->Devices().size(), 3u);
    THidDevice* fresh = Controller->Devices()[1];
    EXPECT_FALSE(fresh->IsCheckedOut());
    ASSERT_TRUE(Controller->CheckOut(d[3]));
    EXPECT_EQ(d[3], fresh);
    EXPECT_EQ(d[3]->SerialNumber(), QStringLiteral("2"));
    // Releasing entries is no device change.
    Settle();
    EXPECT_EQ(Changes, 1);
    for (THidDevice* device : {d[0], d[2], d[3]})
        delete device;
}

TEST_F(HidControllerTest, PulledOutCheckedOutDeviceCountsAsRemovalUntilReleased) {
    const auto meter = Device("M");
    Bus.Plug(meter);
    Bus.Plug(Device("K", "Virtual Keyboard"));
    Create();
    Settle();
    THidDevice* held = nullptr;
    ASSERT_TRUE(Controller->CheckOut(held));
    Bus.Unplug(meter);
    Settle();
    EXPECT_EQ(Changes, 2);
    EXPECT_FALSE(held->IsPluggedIn());
    std::uint8_t report[5] = {0x04, 3, 3, 0, 0};
    EXPECT_FALSE(held->SetFeature(report, sizeof report));

    // Every later pass counts it again, though nothing else changed.
    emit Bus.DevicesChanged();
    Settle();
    EXPECT_EQ(Changes, 3);
    EXPECT_EQ(Controller->Devices().size(), 2u);

    delete held; // an unplugged device leaves the list when released
    EXPECT_EQ(Controller->Devices().size(), 1u);
    emit Bus.DevicesChanged();
    Settle();
    EXPECT_EQ(Changes, 3);
}

TEST_F(HidControllerTest, ReplugWhileCheckedOutAppearsAsANewEntry) {
    const auto meter = Device("M");
    Bus.Plug(meter);
    Create();
    Settle();
    THidDevice* held = nullptr;
    ASSERT_TRUE(Controller->CheckOut(held));
    Bus.Unplug(meter);
    Bus.Plug(meter);
    Settle();
    ASSERT_EQ(Controller->Devices().size(), 2u);
    EXPECT_FALSE(held->IsPluggedIn());
    THidDevice* again = nullptr;
    ASSERT_TRUE(Controller->CheckOut(again));
    EXPECT_TRUE(again->IsPluggedIn());
    EXPECT_EQ(again->SerialNumber(), QStringLiteral("M"));
    delete held;
    delete again;
}

TEST_F(HidControllerTest, ThreadSleepTimeOutsideItsRangeIsIgnored) {
    Bus.Plug(Device("A"));
    Create();
    Settle();
    THidDevice* device = nullptr;
    ASSERT_TRUE(Controller->CheckOut(device));
    EXPECT_EQ(device->ThreadSleepTime(), 100);
    for (int value : {5, 20000, 9, 10001})
        device->SetThreadSleepTime(value);
    EXPECT_EQ(device->ThreadSleepTime(), 100);
    device->SetThreadSleepTime(10);
    EXPECT_EQ(device->ThreadSleepTime(), 10);
    device->SetThreadSleepTime(10000);
    EXPECT_EQ(device->ThreadSleepTime(), 10000);
    delete device;
}

TEST_F(HidControllerTest, DeviceRefusedReadWriteGivesStringsButNoTransfersAndNoReader) {
    Bus.Plug(Device("RO"), /*readWriteAllowed=*/false);
    Create();
    Settle();
    THidDevice* device = nullptr;
    ASSERT_TRUE(Controller->CheckOut(device));
    EXPECT_FALSE(device->HasReadWriteAccess());
    EXPECT_EQ(device->ProductName(), QStringLiteral("Corvane v2"));
    EXPECT_EQ(device->SerialNumber(), QStringLiteral("RO"));
    EXPECT_EQ(device->Caps().InputReportByteLength, 64);
    device->SetOnData([](THidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) {});
    EXPECT_FALSE(device->ReaderRunning());
    std::uint8_t report[64] = {0x12};
    std::size_t count = 0;
    EXPECT_FALSE(device->WriteFile(report, sizeof report, count));
    EXPECT_FALSE(device->SetOutputReport(report, sizeof report));
    EXPECT_FALSE(device->SetFeature(report, 5));
    EXPECT_EQ(device->ReadFile(report, sizeof report, count, 0), EHidReadResult::Failed);
    delete device;
}

TEST_F(HidControllerTest, DevicesNotCheckedOutCannotBeUsed) {
    Bus.Plug(Device("A"));
    Create();
    Settle();
    THidDevice* device = Controller->Devices().front();
    EXPECT_TRUE(device->ProductName().isEmpty());
    std::uint8_t report[5] = {0x04};
    EXPECT_FALSE(device->SetFeature(report, sizeof report));
    // The enumeration handler may use them.
    QString product;
    Controller->OnEnumerate = [&](THidDevice* d) {
        product = d->ProductName();
        return true;
    };
    Controller->Enumerate();
    EXPECT_EQ(product, QStringLiteral("Corvane v2"));
}

TEST_F(HidControllerTest, BackgroundReaderDeliversReportsOnTheWindowThread) {
    const auto meter = Device("A");
    Bus.Plug(meter);
    Create();
    Settle();
    THidDevice* device = nullptr;
    ASSERT_TRUE(Controller->CheckOut(device));
    device->SetThreadSleepTime(10);
    device->SetNumOverlappedBuffers(32);
    EXPECT_EQ(device->NumOverlappedBuffers(), 32);
    device->SetNumInputBuffers(1000);
    EXPECT_EQ(device->NumInputBuffers(), TVirtualHidBus::MaxQueueDepth);

    std::vector<std::vector<std::uint8_t>> got;
    bool onWindowThread = true;
    device->SetOnData(
        [&](THidDevice* d, std::uint8_t id, const std::uint8_t* data, std::uint16_t size) {
            onWindowThread &= QThread::currentThread() == QCoreApplication::instance()->thread();
            EXPECT_EQ(d, device);
            std::vector<std::uint8_t> report{id};
            report.insert(report.end(), data, data + size);
            got.push_back(report);
        });
    EXPECT_TRUE(device->ReaderRunning());
    meter->Send({0x13, 1, 2, 3});
    meter->Send({0x13, 4});
    ASSERT_TRUE(QTest::qWaitFor([&] { return got.size() == 2; }, 5000));
    EXPECT_EQ(got[0], (std::vector<std::uint8_t>{0x13, 1, 2, 3}));
    EXPECT_EQ(got[1], (std::vector<std::uint8_t>{0x13, 4}));
    EXPECT_TRUE(onWindowThread);

    // The main handle gets its own copy of every report.
    std::uint8_t buffer[64];
    std::size_t count = 0;
    ASSERT_EQ(device->ReadFile(buffer, sizeof buffer, count, 0), EHidReadResult::Ok);
    EXPECT_EQ(count, 4u);

    device->SetOnData(nullptr);
    EXPECT_FALSE(device->ReaderRunning());
    meter->Send({0x13, 5});
    Settle();
    EXPECT_EQ(got.size(), 2u);
    delete device;
}

TEST_F(HidControllerTest, ReleaseAndUnplugStopTheReaderAtOnce) {
    const auto meter = Device("A");
    Bus.Plug(meter);
    Create();
    Settle();
    THidDevice* device = nullptr;
    ASSERT_TRUE(Controller->CheckOut(device));
    device->SetThreadSleepTime(10000);
    device->SetOnData([](THidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) {});
    ASSERT_TRUE(device->ReaderRunning());
    Bus.Unplug(meter);
    Settle();
    QElapsedTimer timer;
    timer.start();
    delete device;
    EXPECT_LT(timer.elapsed(), 5000) << "the reader must not wait out its 10 s slice";
}

// A backend whose devices cannot be opened at all, until told otherwise.
class TRefusingBackend final : public THidBackend {
public:
    bool Refuse = true;
    TVirtualHidBus Inner;
    std::vector<THidDeviceInfo> Enumerate() override { return Inner.Enumerate(); }
    std::unique_ptr<THidConnection> Open(const THidDeviceInfo& device, EHidAccess access) override {
        return Refuse ? nullptr : Inner.Open(device, access);
    }
};

TEST(HidControllerErrorTest, PassThatStopsWithAnErrorDoesNotBlockLaterPasses) {
    TRefusingBackend backend;
    backend.Inner.Plug(Device("A"));
    THidDeviceController controller(backend);
    int changes = 0;
    QStringList errors;
    controller.OnDeviceChange = [&] { ++changes; };
    controller.OnError = [&](const QString& message) { errors << message; };
    QCoreApplication::processEvents();
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(errors, QStringList(QStringLiteral("Device cannot be opened")));
    EXPECT_FALSE(controller.PassRunning());

    backend.Refuse = false;
    emit backend.DevicesChanged();
    QCoreApplication::processEvents();
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(controller.Devices().size(), 1u);
}

TEST_F(HidControllerTest, ChangeDuringTheHandlerIsNotLost) {
    Create();
    const auto late = Device("late");
    Controller->OnDeviceChange = [&] {
        ++Changes;
        if (Changes == 1) {
            // A nested event loop, as a message box in the handler would run.
            Bus.Plug(late);
            QCoreApplication::processEvents();
        }
    };
    Settle();
    Settle();
    EXPECT_EQ(Changes, 2);
    EXPECT_EQ(Controller->Devices().size(), 1u);
}

TEST_F(HidControllerTest, DevicesOutliveTheirControllerUnplugged) {
    Bus.Plug(Device("A"));
    Bus.Plug(Device("B"));
    Create();
    Settle();
    THidDevice* held = nullptr;
    ASSERT_TRUE(Controller->CheckOut(held));
    held->SetOnData([](THidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) {});
    Controller.reset();
    EXPECT_FALSE(held->IsPluggedIn());
    std::uint8_t report[5] = {0x04};
    EXPECT_FALSE(held->SetFeature(report, sizeof report));
    delete held;
}

} // namespace
