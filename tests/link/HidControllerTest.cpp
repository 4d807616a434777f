#include "link/hid/HidDevice.h"
#include "link/hid/HidDeviceController.h"
#include "link/hid/VirtualHidBus.h"
#include "tests/support/EchoHidDevice.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <cerrno>
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
        QObject::connect(Controller.get(), &THidDeviceController::DevicesChanged,
                         [this] { ++Changes; });
    }
    static void Settle() {
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
    }
    std::vector<std::unique_ptr<THidDevice>> CheckOutAll() {
        std::vector<std::unique_ptr<THidDevice>> devices;
        while (auto device = Controller->CheckOut())
            devices.push_back(std::move(device));
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
}

TEST_F(HidControllerTest, CheckOutHandsOutEachDeviceOnceAndReleaseLeavesAFreshEntry) {
    for (const char* serial : {"1", "2", "3"})
        Bus.Plug(Device(serial));
    Create();
    Settle();
    std::unique_ptr<THidDevice> d[4];
    for (int i = 0; i < 3; ++i) {
        d[i] = Controller->CheckOut();
        ASSERT_NE(d[i], nullptr);
        EXPECT_EQ(d[i]->SerialNumber(), QString::number(i + 1));
        EXPECT_TRUE(d[i]->IsCheckedOut());
        EXPECT_EQ(Controller->Devices()[std::size_t(i)], d[i].get());
    }
    EXPECT_EQ(Controller->CheckOut(), nullptr);

    d[1].reset();
    ASSERT_EQ(Controller->Devices().size(), 3u);
    THidDevice* fresh = Controller->Devices()[1];
    EXPECT_FALSE(fresh->IsCheckedOut());
    d[3] = Controller->CheckOut();
    EXPECT_EQ(d[3].get(), fresh);
    EXPECT_EQ(d[3]->SerialNumber(), QStringLiteral("2"));
    // Releasing entries is no device change.
    Settle();
    EXPECT_EQ(Changes, 1);
}

TEST_F(HidControllerTest, PulledOutCheckedOutDeviceCountsAsRemovalUntilReleased) {
    const auto meter = Device("M");
    Bus.Plug(meter);
    Bus.Plug(Device("K", "Virtual Keyboard"));
    Create();
    Settle();
    auto held = Controller->CheckOut();
    ASSERT_NE(held, nullptr);
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

    held.reset(); // an unplugged device leaves the list when released
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
    auto held = Controller->CheckOut();
    ASSERT_NE(held, nullptr);
    Bus.Unplug(meter);
    Bus.Plug(meter);
    Settle();
    ASSERT_EQ(Controller->Devices().size(), 2u);
    EXPECT_FALSE(held->IsPluggedIn());
    auto again = Controller->CheckOut();
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(again->IsPluggedIn());
    EXPECT_EQ(again->SerialNumber(), QStringLiteral("M"));
}

TEST_F(HidControllerTest, ThreadSleepTimeOutsideItsRangeIsIgnored) {
    Bus.Plug(Device("A"));
    Create();
    Settle();
    const auto device = Controller->CheckOut();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->ThreadSleepTime(), 100);
    for (int value : {5, 20000, 9, 10001})
        device->SetThreadSleepTime(value);
    EXPECT_EQ(device->ThreadSleepTime(), 100);
    device->SetThreadSleepTime(10);
    EXPECT_EQ(device->ThreadSleepTime(), 10);
    device->SetThreadSleepTime(10000);
    EXPECT_EQ(device->ThreadSleepTime(), 10000);
}

TEST_F(HidControllerTest, DeviceRefusedReadWriteGivesStringsButNoTransfersAndNoReader) {
    Bus.Plug(Device("RO"), /*readWriteAllowed=*/false);
    Create();
    Settle();
    const auto device = Controller->CheckOut();
    ASSERT_NE(device, nullptr);
    EXPECT_FALSE(device->HasReadWriteAccess());
    EXPECT_EQ(device->ProductName(), QStringLiteral("Corvane v2"));
    EXPECT_EQ(device->SerialNumber(), QStringLiteral("RO"));
    EXPECT_EQ(device->Caps().InputReportByteLength, 64);
    device->StartReading();
    EXPECT_FALSE(device->ReaderRunning());
    std::uint8_t report[64] = {0x12};
    std::size_t count = 0;
    EXPECT_FALSE(device->WriteFile(report, sizeof report, count));
    EXPECT_FALSE(device->SetOutputReport(report, sizeof report));
    EXPECT_FALSE(device->SetFeature(report, 5));
    EXPECT_EQ(device->ReadFile(report, sizeof report, count, 0), EHidReadResult::Failed);
}

TEST_F(HidControllerTest, DevicesNotCheckedOutCannotBeUsed) {
    Bus.Plug(Device("A"));
    Create();
    Settle();
    THidDevice* device = Controller->Devices().front();
    EXPECT_TRUE(device->ProductName().isEmpty());
    std::uint8_t report[5] = {0x04};
    EXPECT_FALSE(device->SetFeature(report, sizeof report));
    // The enumeration's visitor may use them.
    QString product;
    Controller->Enumerate([&](THidDevice& d) {
        product = d.ProductName();
        return true;
    });
    EXPECT_EQ(product, QStringLiteral("Corvane v2"));
    EXPECT_FALSE(device->SetFeature(report, sizeof report)) << "only during the visit";
}

TEST_F(HidControllerTest, EnumerationVisitorMayCheckOutAndReleaseDevices) {
    Bus.Plug(Device("1"));
    Bus.Plug(Device("2"));
    Create();
    Settle();
    // The visitor checks out and releases the device shown and the one after it: the
    // enumeration must touch neither again, and both leave fresh entries.
    QStringList seen;
    Controller->Enumerate([&](THidDevice& shown) {
        seen << shown.SerialNumber();
        const auto first = Controller->CheckOut();
        const auto second = Controller->CheckOut();
        EXPECT_EQ(first.get(), &shown);
        EXPECT_NE(second, nullptr);
        return true;
    });
    EXPECT_EQ(seen, QStringList{QStringLiteral("1")});

    seen.clear();
    Controller->Enumerate([&](THidDevice& shown) {
        seen << shown.SerialNumber();
        return true;
    });
    EXPECT_EQ(seen, (QStringList{QStringLiteral("1"), QStringLiteral("2")}));
}

TEST_F(HidControllerTest, BackgroundReaderDeliversReportsOnTheWindowThread) {
    const auto meter = Device("A");
    Bus.Plug(meter);
    Create();
    Settle();
    // Reading asked for before the check-out starts with it.
    Controller->Enumerate([](THidDevice& shown) {
        shown.StartReading();
        EXPECT_FALSE(shown.ReaderRunning());
        return true;
    });
    const auto device = Controller->CheckOut();
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(device->ReaderRunning());
    device->StopReading();
    device->SetThreadSleepTime(10);
    device->SetNumOverlappedBuffers(32);
    EXPECT_EQ(device->NumOverlappedBuffers(), 32);
    device->SetNumInputBuffers(1000);
    EXPECT_EQ(device->NumInputBuffers(), TVirtualHidBus::MaxQueueDepth);

    std::vector<std::vector<std::uint8_t>> got;
    bool onWindowThread = true;
    QObject::connect(
        device.get(), &THidDevice::DataReceived, [&](quint8 id, const QByteArray& data) {
            onWindowThread &= QThread::currentThread() == QCoreApplication::instance()->thread();
            std::vector<std::uint8_t> report{id};
            report.insert(report.end(), data.begin(), data.end());
            got.push_back(report);
        });
    device->StartReading();
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

    device->StopReading();
    EXPECT_FALSE(device->ReaderRunning());
    meter->Send({0x13, 5});
    Settle();
    EXPECT_EQ(got.size(), 2u);
}

TEST_F(HidControllerTest, ReleaseAndUnplugStopTheReaderAtOnce) {
    const auto meter = Device("A");
    Bus.Plug(meter);
    Create();
    Settle();
    auto device = Controller->CheckOut();
    ASSERT_NE(device, nullptr);
    device->SetThreadSleepTime(10000);
    std::vector<int> errors;
    QObject::connect(device.get(), &THidDevice::DataError,
                     [&](int error) { errors.push_back(error); });
    device->StartReading();
    ASSERT_TRUE(device->ReaderRunning());
    Bus.Unplug(meter);
    Settle();
    // The read under way fails, or the reader finds no device to open.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !errors.empty(); }, 5000));
    EXPECT_TRUE(errors.front() == EIO || errors.front() == ENODEV) << errors.front();
    QElapsedTimer timer;
    timer.start();
    device.reset();
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

// Collects the warnings logged while it lives.
class TWarningLog {
public:
    TWarningLog() { FPrevious = qInstallMessageHandler(&Collect); }
    ~TWarningLog() {
        qInstallMessageHandler(FPrevious);
        Messages.clear();
    }
    static inline QStringList Messages;

private:
    static void Collect(QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtWarningMsg)
            Messages << message;
    }
    QtMessageHandler FPrevious;
};

TEST(HidControllerErrorTest, PassThatStopsWithAnErrorDoesNotBlockLaterPasses) {
    TRefusingBackend backend;
    backend.Inner.Plug(Device("A"));
    TWarningLog log;
    THidDeviceController controller(backend);
    int changes = 0;
    QStringList errors;
    QObject::connect(&controller, &THidDeviceController::DevicesChanged, [&] { ++changes; });
    QObject::connect(&controller, &THidDeviceController::ChangePassFailed,
                     [&](const QString& message) { errors << message; });
    QCoreApplication::processEvents();
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(errors, QStringList(QStringLiteral("Device cannot be opened")));
    EXPECT_TRUE(TWarningLog::Messages.isEmpty()) << "the receiver has it";
    EXPECT_FALSE(controller.PassRunning());

    backend.Refuse = false;
    emit backend.DevicesChanged();
    QCoreApplication::processEvents();
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(controller.Devices().size(), 1u);
}

TEST(HidControllerErrorTest, FailedPassWithoutReceiverGoesToTheLog) {
    TRefusingBackend backend;
    backend.Inner.Plug(Device("A"));
    TWarningLog log;
    THidDeviceController controller(backend);
    QCoreApplication::processEvents();
    EXPECT_EQ(TWarningLog::Messages,
              QStringList(QStringLiteral("HID device change: Device cannot be opened")));
}

TEST_F(HidControllerTest, ChangeDuringAReceiverIsNotLost) {
    Create();
    const auto late = Device("late");
    QObject::connect(Controller.get(), &THidDeviceController::DevicesChanged, [&] {
        if (Changes == 1) {
            // A nested event loop, as a message box in a receiver would run.
            Bus.Plug(late);
            QCoreApplication::processEvents();
        }
    });
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
    const auto held = Controller->CheckOut();
    ASSERT_NE(held, nullptr);
    held->StartReading();
    Controller.reset();
    EXPECT_FALSE(held->IsPluggedIn());
    std::uint8_t report[5] = {0x04};
    EXPECT_FALSE(held->SetFeature(report, sizeof report));
}

} // namespace
