#include "link/HidBridge.h"

#include "link/hid/HidDevice.h"
#include "link/hid/HidDeviceController.h"
#include "link/hid/VirtualHidBus.h"
#include "sim/VirtualMeter.h"

#include <QCoreApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <thread>

namespace {

using namespace std::chrono_literals;
using TTransfer = TVirtualMeter::TTransfer;
using EKind = TTransfer::EKind;
using EPipe = TVirtualHidDevice::EPipe;
using TClock = std::chrono::steady_clock;

// A register image whose bytes tell where they came from.
TRegData NumberedImage() {
    TRegData image{};
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(0xA0 + i);
    return image;
}

// The capacitive data bytes (registers 1 to 3, MSB first) of an image.
std::int32_t CapCode(const TRegData& image) {
    return image[1] << 16 | image[2] << 8 | image[3];
}

std::int32_t ExpectedCapCode(double pF) {
    return static_cast<std::int32_t>(
        std::llround(TVirtualMeter::ZeroCode + pF * TVirtualMeter::CapCodesPerPf));
}

// Runs op and expects EHIDError with this message; returns how long op took.
template <class Op>
TClock::duration ExpectHidError(Op&& op, const char* message) {
    const auto start = TClock::now();
    try {
        op();
        ADD_FAILURE() << "no EHIDError, expected \"" << message << '"';
    } catch (const EHIDError& error) {
        EXPECT_STREQ(error.what(), message);
    }
    return TClock::now() - start;
}

// One meter on a virtual bus, its device checked out and wrapped in the interface.
class HidBridgeTest : public testing::Test {
protected:
    void SetUp() override {
        Bus.Plug(Meter);
        Controller = std::make_unique<THidDeviceController>(Bus);
        Settle();
        auto device = Controller->CheckOut();
        ASSERT_NE(device, nullptr);
        Bridge = std::make_unique<THidBridge>(std::move(device));
    }

    static void Settle() {
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
    }

    // Output and feature reports the meter received since the start of the test.
    std::vector<TTransfer> SentReports() const {
        std::vector<TTransfer> sent;
        for (const TTransfer& transfer : Meter->Transfers())
            if (transfer.Kind != EKind::Input)
                sent.push_back(transfer);
        return sent;
    }

    // Starts one capacitive conversion on input 1 (CAPF 0: about 11 ms) through the bridge.
    void StartConversion(double pF) {
        Meter->SetInputCapacitance(1, pF);
        TRegData image{};
        image[RegCapSetup] = 0x80;      // capacitive channel on, input 1
        image[RegExcSetup] = 0x08;      // excitation A enabled
        image[RegConfiguration] = 0x02; // single conversion, CAPF 0
        Bridge->WriteRegs(7, 6, image);
    }

    void WaitForResult() {
        ASSERT_TRUE(QTest::qWaitFor([this] { return Meter->Registers()[0] == 0; }, 2000));
    }

    TVirtualHidBus Bus;
    std::shared_ptr<TVirtualMeter> Meter =
        std::make_shared<TVirtualMeter>(QStringLiteral("SN0042"));
    std::unique_ptr<THidDeviceController> Controller;
    std::unique_ptr<THidBridge> Bridge; // goes before the controller
};

// --------------------------------------------------------------------------------------------
// The report bytes of every operation

struct TExpectedReport {
    EKind Kind;
    EPipe Pipe;
    std::size_t Length;
    std::vector<std::uint8_t> Head; // every byte after these is 0
};

struct TReportCase {
    const char* Name;
    std::function<bool(THidBridge&)> Run;
    std::vector<TExpectedReport> Reports;
};

const TRegData Image = NumberedImage();

const TExpectedReport DarkLatch{EKind::Feature, EPipe::Control, 5, {0x04, 0x03, 0x03, 0x00, 0x00}};

const TReportCase ReportCases[] = {
    {"Init",
     [](THidBridge& b) { return b.Init(); },
     {{EKind::Feature, EPipe::Control, 5, {0x02, 0x03, 0x03, 0x00, 0x00}}, DarkLatch}},
    {"LedOn",
     [](THidBridge& b) { return b.LED_on(); },
     {{EKind::Feature, EPipe::Control, 5, {0x04, 0x00, 0x03, 0x00, 0x00}}}},
    {"LedOff", [](THidBridge& b) { return b.LED_off(); }, {DarkLatch}},
    {"WriteSetupRegisters",
     [](THidBridge& b) {
         b.WriteRegs(7, 6, Image);
         return true;
     },
     {{EKind::Output,
       EPipe::Control,
       64,
       {0x14, 0x90, 0x07, 0x07, Image[7], Image[8], Image[9], Image[10], Image[11], Image[12]}}}},
    {"WriteOneRegister",
     [](THidBridge& b) {
         b.WriteRegs(10, 1, Image);
         return true;
     },
     {{EKind::Output, EPipe::Control, 64, {0x14, 0x90, 0x02, 0x0A, Image[10]}}}},
    {"WriteAddressOnly",
     [](THidBridge& b) {
         b.WriteRegs(5, 0, Image);
         return true;
     },
     {{EKind::Output, EPipe::Control, 64, {0x14, 0x90, 0x01, 0x05}}}},
    {"WriteToTheImageEnd",
     [](THidBridge& b) {
         b.WriteRegs(16, 7, Image);
         return true;
     },
     {{EKind::Output,
       EPipe::Control,
       64,
       {0x14, 0x90, 0x08, 0x10, Image[16], Image[17], Image[18], Image[19], Image[20], Image[21],
        Image[22]}}}},
    {"ReadStatus",
     [](THidBridge& b) {
         b.ReadStatus();
         return true;
     },
     {{EKind::Output, EPipe::Interrupt, 64, {0x10, 0x90, 0x00, 0x01}},
      {EKind::Output, EPipe::Interrupt, 64, {0x12, 0x00, 0x01}}}},
    {"ReadValues",
     [](THidBridge& b) {
         TRegData image{};
         b.ReadValues(image);
         return true;
     },
     {{EKind::Output, EPipe::Interrupt, 64, {0x10, 0x90, 0x00, 0x07}},
      {EKind::Output, EPipe::Interrupt, 64, {0x12, 0x00, 0x07}}}},
};

class HidBridgeReportTest : public HidBridgeTest,
                            public testing::WithParamInterface<TReportCase> {};

TEST_P(HidBridgeReportTest, SendsTheseReports) {
    const TReportCase& c = GetParam();
    EXPECT_TRUE(c.Run(*Bridge));
    const std::vector<TTransfer> sent = SentReports();
    ASSERT_EQ(sent.size(), c.Reports.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "report " << i);
        const TExpectedReport& expected = c.Reports[i];
        EXPECT_EQ(sent[i].Kind, expected.Kind);
        EXPECT_EQ(sent[i].Pipe, expected.Pipe);
        EXPECT_TRUE(sent[i].Ok);
        ASSERT_EQ(sent[i].Report.size(), expected.Length);
        std::vector<std::uint8_t> whole = expected.Head;
        whole.resize(expected.Length, 0);
        EXPECT_EQ(sent[i].Report, whole);
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, HidBridgeReportTest, testing::ValuesIn(ReportCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(HidBridgeTest, WriteRegsRefusesRangesBeyondTheImageUnsent) {
    const std::pair<int, int> ranges[] = {{17, 7}, {22, 2}, {23, 1}, {0, 24}, {255, 1}, {0, 255}};
    for (const auto& [start, count] : ranges) {
        SCOPED_TRACE(testing::Message() << "start " << start << ", count " << count);
        ExpectHidError(
            [&] {
                Bridge->WriteRegs(static_cast<std::uint8_t>(start),
                                  static_cast<std::uint8_t>(count), Image);
            },
            "Data Write Request failed");
    }
    EXPECT_TRUE(SentReports().empty());
}

// --------------------------------------------------------------------------------------------
// Reading the converter

TEST_F(HidBridgeTest, ReadValuesFillsRegistersZeroToSixOnly) {
    StartConversion(1.0);
    WaitForResult();
    const TVirtualMeter::TRegisters before = Meter->Registers();
    TRegData image;
    image.fill(0x5A);
    Bridge->ReadValues(image);
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 7, before.begin()));
    EXPECT_EQ(CapCode(image), ExpectedCapCode(1.0));
    EXPECT_TRUE(std::all_of(image.begin() + 7, image.end(), [](auto b) { return b == 0x5A; }));
}

TEST_F(HidBridgeTest, ReadCAPValuesOnAFinishedConversionReadsTwice) {
    StartConversion(1.0);
    WaitForResult();
    const int before = Meter->ReadTransactions();
    TRegData image{};
    Bridge->ReadCAPValues(image);
    EXPECT_EQ(Meter->ReadTransactions() - before, 2);
    EXPECT_EQ(image[0], 0);
    EXPECT_EQ(CapCode(image), ExpectedCapCode(1.0));
}

TEST_F(HidBridgeTest, ReadCAPValuesWaitsForARunningConversion) {
    StartConversion(2.0);
    TRegData image{};
    Bridge->ReadCAPValues(image);
    EXPECT_GT(Meter->ReadTransactions(), 2) << "the converter was busy at first";
    EXPECT_EQ(image[RegStatus] & StatusBusy, 0);
    EXPECT_EQ(CapCode(image), ExpectedCapCode(2.0));
    EXPECT_EQ(Meter->ConversionsStarted(), 1);
}

TEST_F(HidBridgeTest, ReadCAPValuesGivesUpOnAStuckBusyBit) {
    Meter->SetBusyStuck(true);
    TRegData image{};
    const auto took =
        ExpectHidError([&] { Bridge->ReadCAPValues(image); }, "Conversion did not complete");
    EXPECT_GE(took, ConversionTimeout);
    EXPECT_LT(took, ConversionTimeout + 3s);
}

TEST_F(HidBridgeTest, ALostResponseFailsAfterTheTimeOutAndReadsRecover) {
    StartConversion(1.0);
    WaitForResult();
    Meter->LoseResponses(1);
    const auto took =
        ExpectHidError([&] { Bridge->ReadStatus(); }, "Data Read Response Request failed");
    EXPECT_GE(took, THidBridge::ResponseTimeout - 10ms);
    EXPECT_LT(took, THidBridge::ResponseTimeout + 2s);
    // The next answer of the same length could be the lost one's coming late: it is not
    // trusted, and once no other follows, the lost one counts as lost.
    ExpectHidError([&] { Bridge->ReadStatus(); }, "Data Read Response Request failed");
    EXPECT_EQ(Bridge->ReadStatus(), 0);
}

// A value read whose answer comes 1.3 s late, then at once a conversion of another
// capacitance, read with the status polls first or with the value read alone: the late answer
// arrives while the new transaction waits, and is never taken for its answer.
class LateResponseTest : public HidBridgeTest,
                         public testing::WithParamInterface<bool /*polls the status first*/> {};

TEST_P(LateResponseTest, NeverBecomesTheAnswerOfTheNextRequest) {
    StartConversion(1.0);
    WaitForResult();
    Meter->SetResponseDelay(1300ms);
    TRegData image{};
    ExpectHidError([&] { Bridge->ReadValues(image); }, "Data Read Response Request failed");
    Meter->SetResponseDelay({});

    StartConversion(2.0);
    if (GetParam()) {
        Bridge->ReadCAPValues(image);
    } else {
        WaitForResult();
        Bridge->ReadValues(image);
    }
    EXPECT_EQ(image[0], 0);
    EXPECT_EQ(CapCode(image), ExpectedCapCode(2.0));
    // Nothing of the late answer is left to shift a later reading.
    StartConversion(-1.0);
    Bridge->ReadCAPValues(image);
    EXPECT_EQ(CapCode(image), ExpectedCapCode(-1.0));
}

INSTANTIATE_TEST_SUITE_P(NextRead, LateResponseTest, testing::Bool(), [](const auto& info) {
    return info.param ? "StatusPollsFirst" : "ValuesAtOnce";
});

TEST_F(HidBridgeTest, AForeignReportBeforeTheResponseIsSkipped) {
    StartConversion(1.0);
    WaitForResult();
    Meter->SetForeignReportFirst(true);
    TRegData image{};
    Bridge->ReadValues(image);
    EXPECT_EQ(image[0], 0);
    EXPECT_EQ(CapCode(image), ExpectedCapCode(1.0));
}

// --------------------------------------------------------------------------------------------
// A meter that fails, is pulled out, or goes

TEST_F(HidBridgeTest, ARefusedRequestRaisesAndFeaturesReturnFalse) {
    Meter->SetTransfersFailing(true);
    ExpectHidError([&] { Bridge->ReadStatus(); }, "Data Read Request failed");
    ExpectHidError([&] { Bridge->WriteRegs(7, 6, Image); }, "Data Write Request failed");
    EXPECT_FALSE(Bridge->Init());
    EXPECT_FALSE(Bridge->LED_on());
}

TEST_F(HidBridgeTest, APulledOutMeterRaisesAndIsReleasedSilently) {
    Bus.Unplug(Meter);
    TRegData image{};
    // The request is the step that fails, whatever draining the queue met before it.
    ExpectHidError([&] { Bridge->ReadStatus(); }, "Data Read Request failed");
    ExpectHidError([&] { Bridge->ReadValues(image); }, "Data Read Request failed");
    ExpectHidError([&] { Bridge->ReadCAPValues(image); }, "Data Read Request failed");
    ExpectHidError([&] { Bridge->WriteRegs(10, 1, Image); }, "Data Write Request failed");
    EXPECT_FALSE(Bridge->Init());
    EXPECT_FALSE(Bridge->LED_on());
    EXPECT_FALSE(Bridge->LED_off());

    Bridge.reset();
    EXPECT_TRUE(QTest::qWaitFor([this] { return Controller->Devices().empty(); }, 2000));
}

TEST_F(HidBridgeTest, DestructionDarkensTheLedAndReleasesTheDevice) {
    ASSERT_TRUE(Bridge->LED_on());
    Bridge.reset();
    EXPECT_FALSE(Meter->LedOn());
    EXPECT_EQ(SentReports().back().Report, DarkLatch.Head);
    Settle();
    auto again = Controller->CheckOut();
    ASSERT_NE(again, nullptr);
    Bridge = std::make_unique<THidBridge>(std::move(again));
    EXPECT_TRUE(Bridge->LED_on());
}

TEST_F(HidBridgeTest, SerialNumberComesFromTheDevice) {
    EXPECT_EQ(Bridge->SerNum(), QStringLiteral("SN0042"));

    Bus.Plug(std::make_shared<TVirtualMeter>(QString()));
    std::unique_ptr<THidDevice> device;
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return (device = Controller->CheckOut()) != nullptr; }, 2000));
    THidBridge unnamed(std::move(device));
    EXPECT_TRUE(unnamed.SerNum().isEmpty());
}

} // namespace
