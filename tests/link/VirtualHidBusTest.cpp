#include "link/hid/VirtualHidBus.h"

#include "tests/support/EchoHidDevice.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

// What the virtual bus must do like the platform, beyond what the HID layer tests show.
class VirtualHidBusTest : public testing::Test {
protected:
    TVirtualHidBus Bus;
    std::shared_ptr<TEchoHidDevice> Device =
        std::make_shared<TEchoHidDevice>(QStringLiteral("Echo"), QStringLiteral("E1"));
    int Port = Bus.Plug(Device);

    std::unique_ptr<THidConnection> Open(EHidAccess access = EHidAccess::ReadWrite) {
        return Bus.Open(Bus.Enumerate().at(0), access);
    }
    static EHidReadResult ReadOne(THidConnection& handle, std::vector<std::uint8_t>& report,
                                  int timeoutMs = 0) {
        report.assign(64, 0);
        std::size_t count = 0;
        const EHidReadResult result = handle.Read(report.data(), report.size(), count, timeoutMs);
        report.resize(count);
        return result;
    }
};

TEST_F(VirtualHidBusTest, EveryReadingHandleGetsItsOwnCopyAndAFullQueueTakesNoMore) {
    auto a = Open(), b = Open(EHidAccess::ReadOnly), query = Open(EHidAccess::QueryOnly);
    EXPECT_EQ(a->SetInputQueueDepth(2), 2);
    EXPECT_EQ(query->SetInputQueueDepth(2), 0);
    for (std::uint8_t n = 1; n <= 3; ++n)
        Device->Send({0x13, n});
    std::vector<std::uint8_t> report;
    ASSERT_EQ(ReadOne(*a, report), EHidReadResult::Ok);
    EXPECT_EQ(report, (std::vector<std::uint8_t>{0x13, 1}));
    ASSERT_EQ(ReadOne(*a, report), EHidReadResult::Ok);
    EXPECT_EQ(report, (std::vector<std::uint8_t>{0x13, 2}));
    EXPECT_EQ(ReadOne(*a, report, 0), EHidReadResult::TimedOut) << "the third found it full";
    ASSERT_EQ(ReadOne(*b, report), EHidReadResult::Ok);
    EXPECT_EQ(report, (std::vector<std::uint8_t>{0x13, 1}));
    EXPECT_EQ(ReadOne(*query, report), EHidReadResult::Failed);
    std::uint8_t feature[5] = {0x04};
    EXPECT_FALSE(b->SetFeature(feature, 5)) << "a read-only handle sends nothing";
    EXPECT_FALSE(query->SetFeature(feature, 5));
    EXPECT_TRUE(a->SetFeature(feature, 5));
}

TEST_F(VirtualHidBusTest, ReportIsReadableOnlyFromItsDeliveryTime) {
    auto handle = Open();
    auto late = std::make_shared<TEchoHidDevice>(QStringLiteral("Late"), QString());
    Bus.Plug(late);
    auto lateHandle = Bus.Open(Bus.Enumerate().at(1), EHidAccess::ReadWrite);
    const auto start = std::chrono::steady_clock::now();
    late->Send({0x13, 7}, start + 30ms);
    std::vector<std::uint8_t> report;
    EXPECT_EQ(ReadOne(*lateHandle, report, 0), EHidReadResult::TimedOut);
    ASSERT_EQ(ReadOne(*lateHandle, report, 2000), EHidReadResult::Ok);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
    EXPECT_EQ(ReadOne(*handle, report, 0), EHidReadResult::TimedOut) << "other device's report";
}

TEST_F(VirtualHidBusTest, UnplugFailsAPendingReadAndEveryLaterTransfer) {
    auto handle = Open();
    auto pending = std::async(std::launch::async, [&] {
        std::vector<std::uint8_t> report;
        return ReadOne(*handle, report, -1);
    });
    std::this_thread::sleep_for(20ms);
    Bus.Unplug(Port);
    ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(pending.get(), EHidReadResult::Failed);
    std::uint8_t report[64] = {0x12};
    EXPECT_FALSE(handle->Write(report, sizeof report));
    EXPECT_FALSE(handle->SetOutputReport(report, sizeof report));
    EXPECT_FALSE(handle->Identify());
    EXPECT_TRUE(Bus.Enumerate().empty());
    EXPECT_EQ(Bus.Open({"virtual:1", "x"}, EHidAccess::QueryOnly), nullptr);
    Device->Send({0x13}); // a pulled-out device's reports go nowhere
}

} // namespace
