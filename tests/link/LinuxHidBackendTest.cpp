// The Linux backend end to end: libudev, /dev/hidrawN and the udev monitor, against nodes that
// umockdev emulates.
#include "link/hid/LinuxHidBackend.h"

#include "link/hid/ReportDescriptor.h"
#include "tests/support/EchoHidDevice.h"
#include "tests/support/UmockdevTest.h"

#include <QSignalSpy>
#include <QTest>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using EKind = TEchoHidDevice::TReceived::EKind;
using TBytes = std::vector<std::uint8_t>;

std::shared_ptr<TEchoHidDevice> NewDevice(QString serial = "EM-0042") {
    return std::make_shared<TEchoHidDevice>("Echo Meter", std::move(serial));
}

class LinuxHidBackendTest : public TUmockdevTest {
protected:
    THidDeviceInfo Info(const std::string& devnode) {
        for (const THidDeviceInfo& info : FBackend->Enumerate())
            if (info.Path == devnode)
                return info;
        ADD_FAILURE() << devnode << " is not enumerated";
        return {devnode, {}};
    }

    std::unique_ptr<THidConnection> Open(const std::string& devnode,
                                         EHidAccess access = EHidAccess::ReadWrite) {
        return FBackend->Open(Info(devnode), access);
    }

    static TBytes ReadReport(THidConnection& connection, int timeoutMs = 2000) {
        TBytes buffer(64);
        std::size_t count = 0;
        EXPECT_EQ(connection.Read(buffer.data(), buffer.size(), count, timeoutMs),
                  EHidReadResult::Ok);
        buffer.resize(count);
        return buffer;
    }
};

TEST_F(LinuxHidBackendTest, EnumeratesDevicesWithTheirStrings) {
    struct TCase {
        const char* Name;
        bool UsbParent;
        QString Serial;
    };
    const TCase cases[] = {
        {"usb", true, "EM-0042"},
        {"no usb parent: product from the HID name", false, "EM-0043"},
        {"no serial", true, ""},
    };
    std::vector<std::string> devnodes;
    for (const TCase& c : cases) {
        TUmockdevDeviceOptions options;
        options.UsbParent = c.UsbParent;
        devnodes.push_back(FFixture->AddDevice(NewDevice(c.Serial), options));
    }

    const std::vector<THidDeviceInfo> devices = FBackend->Enumerate();
    ASSERT_EQ(devices.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].Name);
        const THidDeviceInfo info = Info(devnodes[i]);
        EXPECT_THAT(info.Path, testing::MatchesRegex("/dev/hidraw[0-9]+"));
        // The instance is the hid device above the node.
        EXPECT_THAT(info.InstanceId,
                    testing::MatchesRegex("/sys/devices/.*/000[35]:1234:5678\\.[0-9A-F]{4}"));
        for (EHidAccess access : {EHidAccess::ReadWrite, EHidAccess::QueryOnly}) {
            const auto connection = FBackend->Open(info, access);
            ASSERT_TRUE(connection);
            EXPECT_TRUE(connection->Identify());
            EXPECT_EQ(connection->ProductString(), "Echo Meter");
            EXPECT_EQ(connection->SerialString(), cases[i].Serial);
        }
    }
    EXPECT_NE(Info(devnodes[0]).InstanceId, Info(devnodes[1]).InstanceId);
}

TEST_F(LinuxHidBackendTest, ReportLengthsComeFromTheDescriptor) {
    const auto device = NewDevice();
    const std::string devnode = FFixture->AddDevice(device);

    // From the open node (ioctls) and, without one, from sysfs.
    for (EHidAccess access : {EHidAccess::ReadWrite, EHidAccess::QueryOnly}) {
        const auto connection = Open(devnode, access);
        ASSERT_TRUE(connection);
        const auto descriptor = connection->ReportDescriptor();
        ASSERT_TRUE(descriptor);
        EXPECT_EQ(*descriptor, device->ReportDescriptor());
        const THidCaps caps = ComputeCaps(*descriptor);
        EXPECT_EQ(caps.InputReportByteLength, 64);
        EXPECT_EQ(caps.OutputReportByteLength, 64);
        EXPECT_EQ(caps.FeatureReportByteLength, 5);
    }
}

TEST_F(LinuxHidBackendTest, EveryTransferReachesTheDeviceAndTheAnswerComesBack) {
    struct TCase {
        const char* Name;
        bool SetOutputIoctl;
        std::function<bool(THidConnection&, const TBytes&)> Send;
        std::uint8_t ReportId;
        EKind Kind;
    };
    const auto write = [](THidConnection& c, const TBytes& r) {
        return c.Write(r.data(), r.size());
    };
    const auto setOutput = [](THidConnection& c, const TBytes& r) {
        return c.SetOutputReport(r.data(), r.size());
    };
    const auto setFeature = [](THidConnection& c, const TBytes& r) {
        return c.SetFeature(r.data(), r.size());
    };
    const TCase cases[] = {
        {"write", true, write, 0x12, EKind::Interrupt},
        {"set output report", true, setOutput, 0x12, EKind::Control},
        // Without HIDIOCSOUTPUT the report goes out through write().
        {"set output report, old kernel", false, setOutput, 0x12, EKind::Interrupt},
        {"set feature", true, setFeature, 0x02, EKind::Feature},
    };
    std::uint8_t payload = 1;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const auto device = NewDevice();
        TUmockdevDeviceOptions options;
        options.SetOutputIoctl = c.SetOutputIoctl;
        const std::string devnode = FFixture->AddDevice(device, options);
        const auto connection = Open(devnode);
        ASSERT_TRUE(connection);

        const TBytes report = {c.ReportId, payload++, 0xA5, 0x00, 0xFF};
        ASSERT_TRUE(c.Send(*connection, report));
        const auto received = device->Received();
        ASSERT_EQ(received.size(), 1u);
        EXPECT_EQ(received[0].Bytes, report);
        EXPECT_EQ(received[0].Kind, c.Kind);
        if (c.Kind != EKind::Feature) {
            TBytes answer = report;
            answer[0] = 0x13;
            EXPECT_EQ(ReadReport(*connection), answer);
        }
        FFixture->Unplug(devnode);
    }
}

TEST_F(LinuxHidBackendTest, EveryReadingHandleGetsEachReportWhenItIsDue) {
    const auto device = NewDevice();
    const std::string devnode = FFixture->AddDevice(device);
    const auto main = Open(devnode);
    const auto reader = Open(devnode, EHidAccess::ReadOnly);
    ASSERT_TRUE(main && reader);
    EXPECT_EQ(main->SetInputQueueDepth(512), 63);
    EXPECT_EQ(reader->SetInputQueueDepth(8), 63);

    const TBytes report = {0x13, 7, 8, 9};
    device->Send(report, Clock::now() + 300ms);
    TBytes buffer(64);
    std::size_t count = 0;
    EXPECT_EQ(reader->Read(buffer.data(), buffer.size(), count, 0), EHidReadResult::TimedOut)
        << "the report is not due yet";

    EXPECT_EQ(ReadReport(*main), report);
    EXPECT_EQ(ReadReport(*reader), report);
    EXPECT_EQ(main->Read(buffer.data(), buffer.size(), count, 0), EHidReadResult::TimedOut);
}

TEST_F(LinuxHidBackendTest, AReadWithoutAnswerTimesOut) {
    const std::string devnode = FFixture->AddDevice(NewDevice());
    const auto connection = Open(devnode);
    ASSERT_TRUE(connection);

    TBytes buffer(64);
    std::size_t count = 99;
    const auto start = Clock::now();
    EXPECT_EQ(connection->Read(buffer.data(), buffer.size(), count, 100), EHidReadResult::TimedOut);
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(count, 0u);
    EXPECT_GE(elapsed, 90ms);
    EXPECT_LT(elapsed, 5s);
}

// A read blocked without time-out ends with failure when the device goes or the handle is shut
// down, and every transfer after it fails.
TEST_F(LinuxHidBackendTest, ABlockedReadFailsWhenItsHandleEnds) {
    struct TCase {
        const char* Name;
        std::function<void(TUmockdevHidFixture&, const std::string&, THidConnection&)> End;
        bool DeviceGone;
    };
    const TCase cases[] = {
        {"unplug",
         [](TUmockdevHidFixture& f, const std::string& node, THidConnection&) { f.Unplug(node); },
         true},
        {"shutdown",
         [](TUmockdevHidFixture&, const std::string&, THidConnection& c) { c.Shutdown(); }, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string devnode = FFixture->AddDevice(NewDevice());
        const THidDeviceInfo info = Info(devnode);
        const auto connection = FBackend->Open(info, EHidAccess::ReadWrite);
        ASSERT_TRUE(connection);

        auto pending = std::async(std::launch::async, [&] {
            TBytes buffer(64);
            std::size_t count = 0;
            return connection->Read(buffer.data(), buffer.size(), count, -1);
        });
        // Give the read time to block; it must fail either way.
        std::this_thread::sleep_for(50ms);
        c.End(*FFixture, devnode, *connection);
        if (pending.wait_for(5s) != std::future_status::ready) {
            ADD_FAILURE() << "the read did not return";
            // Try the other way out, so that the test can end.
            c.DeviceGone ? connection->Shutdown() : FFixture->Unplug(devnode);
            pending.wait();
            continue;
        }
        EXPECT_EQ(pending.get(), EHidReadResult::Failed);

        const TBytes report = {0x12, 1, 2};
        TBytes buffer(64);
        std::size_t count = 0;
        EXPECT_FALSE(connection->Write(report.data(), report.size()));
        EXPECT_FALSE(connection->SetOutputReport(report.data(), report.size()));
        EXPECT_FALSE(connection->SetFeature(report.data(), report.size()));
        EXPECT_EQ(connection->Read(buffer.data(), buffer.size(), count, 100),
                  EHidReadResult::Failed);
        EXPECT_EQ(connection->Identify(), !c.DeviceGone);
        if (c.DeviceGone) {
            EXPECT_EQ(connection->ProductString(), std::nullopt);
            EXPECT_EQ(FBackend->Open(info, EHidAccess::QueryOnly), nullptr);
        } else {
            FFixture->Unplug(devnode);
        }
    }
}

TEST_F(LinuxHidBackendTest, PlugAndUnplugSignalDevicesChanged) {
    QSignalSpy changes(FBackend.get(), &THidBackend::DevicesChanged);
    const std::string devnode = FFixture->AddDevice(NewDevice());
    EXPECT_TRUE(QTest::qWaitFor([&] { return changes.count() >= 1; }, 5000)) << "add";
    const THidDeviceInfo first = Info(devnode);

    changes.clear();
    FFixture->Unplug(devnode);
    EXPECT_TRUE(QTest::qWaitFor([&] { return changes.count() >= 1; }, 5000)) << "remove";
    EXPECT_TRUE(FBackend->Enumerate().empty());

    changes.clear();
    const std::string again = FFixture->Replug(devnode);
    EXPECT_TRUE(QTest::qWaitFor([&] { return changes.count() >= 1; }, 5000)) << "add again";
    // The same node number, but a new instance of the device: what was enumerated before does
    // not open it.
    EXPECT_EQ(again, devnode);
    EXPECT_NE(Info(again).InstanceId, first.InstanceId);
    EXPECT_EQ(FBackend->Open(first, EHidAccess::ReadWrite), nullptr);
    EXPECT_TRUE(Open(again));
}

TEST_F(LinuxHidBackendTest, ADeviceRefusedReadWriteStillGivesItsStrings) {
    const auto device = NewDevice();
    TUmockdevDeviceOptions refused;
    refused.ReadWriteAllowed = false;
    const std::string devnode = FFixture->AddDevice(device, refused);
    const THidDeviceInfo info = Info(devnode);

    EXPECT_EQ(FBackend->Open(info, EHidAccess::ReadWrite), nullptr);
    const auto query = FBackend->Open(info, EHidAccess::QueryOnly);
    ASSERT_TRUE(query);
    EXPECT_TRUE(query->Identify());
    EXPECT_EQ(query->ProductString(), "Echo Meter");
    EXPECT_EQ(query->SerialString(), "EM-0042");
    EXPECT_EQ(query->ReportDescriptor(), device->ReportDescriptor());

    // A query-only handle has no transfers.
    const TBytes report = {0x12, 1, 2};
    TBytes buffer(64);
    std::size_t count = 0;
    EXPECT_EQ(query->SetInputQueueDepth(32), 0);
    EXPECT_FALSE(query->Write(report.data(), report.size()));
    EXPECT_FALSE(query->SetFeature(report.data(), report.size()));
    EXPECT_EQ(query->Read(buffer.data(), buffer.size(), count, 0), EHidReadResult::Failed);
    EXPECT_TRUE(device->Received().empty());
}

} // namespace
