#include "sim/VirtualMeter.h"

#include "link/hid/ReportDescriptor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using TTimePoint = std::chrono::steady_clock::time_point;
using TBytes = std::vector<std::uint8_t>;
using EPipe = TVirtualHidDevice::EPipe;

constexpr std::uint8_t Busy = StatusBusy;

struct TReceived {
    TBytes Report;
    TTimePoint DeliverAt;
};

class TCapturingHost final : public TVirtualHidHost {
public:
    void InputReport(const TBytes& report, TTimePoint deliverAt) override {
        std::lock_guard lock(FLock);
        FReports.push_back({report, deliverAt});
    }
    std::vector<TReceived> Take() {
        std::lock_guard lock(FLock);
        return std::exchange(FReports, {});
    }

private:
    std::mutex FLock;
    std::vector<TReceived> FReports;
};

// A meter on a clock stepped by hand, plugged into a host that keeps what it sends.
struct TRig {
    explicit TRig(std::uint64_t seed = 1)
        : Meter("SN-1", seed, [this] { return Now; }) {
        Meter.AttachHost(&Host);
    }
    ~TRig() { Meter.AttachHost(nullptr); }

    void Step(std::chrono::microseconds time) { Now += time; }

    // Sends an output report padded to full length, as the host does.
    bool Output(TBytes report, EPipe pipe = EPipe::Interrupt) {
        report.resize(TVirtualMeter::OutputReportLength);
        return Meter.OutputReport(report.data(), report.size(), pipe);
    }
    bool Feature(TBytes report) {
        report.resize(TVirtualMeter::FeatureReportLength);
        return Meter.FeatureReport(report.data(), report.size());
    }
    void Write(std::uint8_t start, const TBytes& registers) {
        TBytes report = {0x14, 0x90, static_cast<std::uint8_t>(registers.size() + 1), start};
        report.insert(report.end(), registers.begin(), registers.end());
        EXPECT_TRUE(Output(report, EPipe::Control));
    }
    // Sends the read request and the force-send, without taking the answer.
    void RequestRead(std::uint8_t length) {
        EXPECT_TRUE(Output({0x10, 0x90, 0, length}));
        EXPECT_TRUE(Output({0x12, 0, length}));
    }
    // One read transaction; the one input report it answers with.
    TBytes Read(std::uint8_t length) {
        RequestRead(length);
        std::vector<TReceived> got = Host.Take();
        EXPECT_EQ(got.size(), 1u);
        return got.empty() ? TBytes() : got.front().Report;
    }
    bool IsBusy() const { return Meter.Registers()[0] & Busy; }

    TTimePoint Now = TTimePoint() + 1h;
    TCapturingHost Host;
    TVirtualMeter Meter;
};

// A 24-bit code from an answer to a read from register 0: register r is at byte 3 + r.
std::int32_t CodeAt(const TBytes& answer, int reg) {
    const std::size_t i = 3 + static_cast<std::size_t>(reg);
    return answer.size() < i + 3 ? -1 : answer[i] << 16 | answer[i + 1] << 8 | answer[i + 2];
}

double DecodePf(std::int32_t code) {
    return (code - 8388608) / 2048000.0;
}

// Register setups (registers 7 to 10).
constexpr std::uint8_t CapOn = 0x80, VtOn = 0x80, ExcA = 0x08;
constexpr std::uint8_t Single = 0x02, Continuous = 0x01;
// The port-line configuration report as the program sends it: lines 0 and 1 outputs.
const TBytes PortsAsOutputs = {0x02, 0x03, 0x03, 0x00, 0x00};

TEST(VirtualMeterTest, ConversionTakesItsConfiguredTimeThenClearsBusy) {
    struct TCase {
        const char* name;
        std::uint8_t cap, vt, exc, config;
        std::chrono::microseconds time;
    };
    const TCase cases[] = {
        {"capacitive, fastest", CapOn, 0, ExcA, Single, 11000us},
        {"capacitive and VT", CapOn, VtOn, ExcA, Single, 11000us + 20100us},
        {"clock halved", CapOn, VtOn, ExcA | 0x80, Single, 2 * 31100us},
        {"both chopped, slowest", CapOn | 0x01, VtOn | 0x01, ExcA, 0xF8 | Single,
         2 * 109600us + 2 * 122100us},
        {"VT only, 62.1 ms", 0, VtOn, 0, 0x80 | Single, 62100us},
    };
    TRig rig;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        rig.Write(7, {c.cap, c.vt, c.exc, c.config});
        EXPECT_TRUE(rig.IsBusy());
        EXPECT_EQ(rig.Meter.Registers()[10], c.config) << "mode reads single while converting";
        rig.Step(c.time - 100us);
        EXPECT_TRUE(rig.IsBusy());
        rig.Step(100us);
        EXPECT_FALSE(rig.IsBusy());
        EXPECT_EQ(rig.Meter.Registers()[10], c.config & ~0x07) << "mode reads idle when done";

        // A status poll leaves the result waiting; reading the data takes it.
        EXPECT_EQ(rig.Read(1)[3] & Busy, 0);
        EXPECT_EQ(rig.Read(4)[3] & Busy, 0);
        EXPECT_TRUE(rig.IsBusy());
        rig.Step(1s);
        EXPECT_TRUE(rig.IsBusy()) << "a single conversion gives one result";
    }
    EXPECT_EQ(rig.Meter.ConversionsStarted(), 5);

    // A new start discards a result nobody read.
    rig.Write(10, {Single}); // VT only, 20.1 ms
    rig.Step(20100us);
    EXPECT_FALSE(rig.IsBusy());
    rig.Write(10, {Single});
    EXPECT_TRUE(rig.IsBusy());
}

TEST(VirtualMeterTest, CycleWithNothingEnabledCompletesAtOnceWithMidScaleData) {
    TRig rig;
    rig.Meter.SetInputCapacitance(1, 1.0);
    rig.Write(7, {0, 0, ExcA, Continuous});
    for (int i = 0; i < 3; ++i) {
        const TBytes answer = rig.Read(7);
        EXPECT_EQ(answer[3] & Busy, 0);
        EXPECT_EQ(CodeAt(answer, 1), 0x800000);
        EXPECT_EQ(CodeAt(answer, 4), 0x800000);
    }
    EXPECT_EQ(rig.Meter.LostResults(), 0);
}

TEST(VirtualMeterTest, ContinuousModeDeliversEachResultOnceAndCountsLostOnes) {
    TRig rig;
    rig.Meter.SetDrift(1.0); // pF/s, so each result tells when its cycle ended
    rig.Write(7, {CapOn, 0, ExcA, Continuous});
    EXPECT_EQ(ConfigurationMode.Get(rig.Meter.Registers()[RegConfiguration]), Continuous);

    rig.Step(38500us); // 3.5 cycles of 11 ms
    EXPECT_EQ(rig.Meter.LostResults(), 2);
    TBytes answer = rig.Read(7);
    EXPECT_EQ(answer[3] & Busy, 0);
    EXPECT_NEAR(DecodePf(CodeAt(answer, 1)), 0.033, 1e-6) << "the third cycle's result";

    rig.Step(5400us);
    EXPECT_TRUE(rig.IsBusy()) << "the fourth cycle ends at 44 ms";
    rig.Step(100us);
    answer = rig.Read(7);
    EXPECT_EQ(answer[3] & Busy, 0);
    EXPECT_NEAR(DecodePf(CodeAt(answer, 1)), 0.044, 1e-6);
    EXPECT_TRUE(rig.IsBusy());

    rig.Step(11000us);
    EXPECT_EQ(rig.Meter.LostResults(), 2);
    EXPECT_EQ(rig.Meter.ConversionsStarted(), 1);

    rig.Write(10, {0x00});
    rig.Read(4);
    rig.Step(1s);
    EXPECT_TRUE(rig.IsBusy()) << "idle mode stops the cycles";
    EXPECT_EQ(rig.Meter.LostResults(), 2);
}

// Every row measures the same inputs, + and - input: channel 1 1.5 and 1.0 pF, channel 2 -3.0
// and 1.0 pF.
TEST(VirtualMeterTest, CapacitiveReadingFollowsTheChannelSetup) {
    constexpr double Step = TVirtualMeter::CapDacStepPf;
    constexpr double FullScale = (0xFFFFFF - 8388608) / 2048000.0;
    constexpr std::uint8_t Input2 = 0x40, Diff = 0x20;
    // EXC Setup fields: EXCB bits 5-4, EXCA bits 3-2; 1 inverted, 2 enabled, 3 invalid.
    constexpr std::uint8_t ExcB = 0x20, ExcAInverted = 0x04, ExcAInvalid = 0x0C,
                           ExcBInverted = 0x10, ExcBInvalid = 0x30;
    struct TCase {
        const char* name;
        std::uint8_t cap, exc, dacA, dacB;
        double expectedPf;
    };
    const TCase cases[] = {
        {"single reads the + input", CapOn, ExcA, 0, 0, 1.5},
        {"differential: + minus -", CapOn | Diff, ExcA, 0, 0, 0.5},
        {"channel 2 alone", CapOn | Input2, ExcB, 0, 0, -3.0},
        {"channel 2 differential", CapOn | Input2 | Diff, ExcB, 0, 0, -4.0},
        {"the program's setup: both excitations, level 3", CapOn, ExcA | ExcB | 0x03, 0, 0, 1.5},
        {"the other channel's excitation is no matter", CapOn, ExcA | ExcBInvalid, 0, 0, 1.5},
        {"channel 1 without its excitation", CapOn, ExcB, 0x80 | 5, 0, 0.0},
        {"channel 2 without its excitation", CapOn | Input2 | Diff, ExcA, 0, 0, 0.0},
        {"inverted excitation", CapOn | Diff, ExcAInverted, 0, 0, -0.5},
        {"inverted, CAPDACs too", CapOn | Input2, ExcBInverted, 0x80 | 4, 0, 3.0 + 4 * Step},
        {"invalid excitation", CapOn, ExcAInvalid, 0, 0, -4.096},
        {"DAC A subtracts", CapOn, ExcA, 0x80 | 5, 0, 1.5 - 5 * Step},
        {"DAC A code without enable", CapOn, ExcA, 5, 0, 1.5},
        {"DAC B adds in differential", CapOn | Diff, ExcA, 0, 0x80 | 3, 0.5 + 3 * Step},
        {"DAC B stays connected single-ended", CapOn, ExcA, 0, 0x80 | 3, 1.5 + 3 * Step},
        {"both DACs on channel 2", CapOn | Input2 | Diff, ExcB, 0x80 | 10, 0x80 | 40,
         -4.0 + 30 * Step},
        {"above full scale", CapOn, ExcA, 0, 0x80 | 30, FullScale},
        {"below full scale", CapOn, ExcA, 0x80 | 60, 0, -4.096},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TRig rig;
        rig.Meter.SetInputCapacitance(1, 1.5);
        rig.Meter.SetInputCapacitance(1, 1.0, TVirtualMeter::EInputSide::Negative);
        rig.Meter.SetInputCapacitance(2, -3.0);
        rig.Meter.SetInputCapacitance(2, 1.0, TVirtualMeter::EInputSide::Negative);
        rig.Write(7, {c.cap, 0, c.exc, Single, c.dacA, c.dacB});
        rig.Step(11ms);
        EXPECT_NEAR(DecodePf(CodeAt(rig.Read(7), 1)), c.expectedPf, 1e-6);
    }
    TRig rig;
    EXPECT_THROW(rig.Meter.SetInputCapacitance(3, 1.0), std::out_of_range);
    EXPECT_THROW(rig.Meter.SetInputCapacitance(0, 1.0, TVirtualMeter::EInputSide::Negative),
                 std::out_of_range);

    // The transfer function itself: 0.5 pF is code 0x8FA000.
    rig.Meter.SetInputCapacitance(1, 0.5);
    rig.Write(7, {CapOn, 0, ExcA, Single});
    rig.Step(11ms);
    EXPECT_EQ(CodeAt(rig.Read(7), 1), 0x8FA000);
}

TEST(VirtualMeterTest, VtCodesFollowTheChosenMeasurement) {
    struct TCase {
        const char* name;
        std::uint8_t vt;
        std::function<void(TVirtualMeter&)> set;
        std::int32_t expected;
    };
    const TCase cases[] = {
        {"internal sensor", VtOn, [](TVirtualMeter& m) { m.SetTemperature(25); }, 0x80C800},
        {"external sensor", VtOn | 0x20, [](TVirtualMeter& m) { m.SetTemperature(-10); },
         8388608 - 10 * 2048},
        {"resistance ratio", VtOn | 0x60 | 0x10,
         [](TVirtualMeter& m) { m.SetResistanceRatio(0.5); }, 0xC00000},
        {"voltage input", VtOn | 0x60, [](TVirtualMeter& m) { m.SetInputVoltage(-585); }, 0x400000},
        {"supply, default 5 V", VtOn | 0x40, [](TVirtualMeter&) {}, 14363400},
        {"supply 3.51 V", VtOn | 0x40, [](TVirtualMeter& m) { m.SetSupplyVoltage(3510); },
         0xC00000},
        {"shorted input", VtOn | 0x02, [](TVirtualMeter& m) { m.SetTemperature(25); }, 0x800000},
        {"clamped", VtOn | 0x60, [](TVirtualMeter& m) { m.SetInputVoltage(5000); }, 0xFFFFFF},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TRig rig;
        c.set(rig.Meter);
        rig.Write(8, {c.vt, 0, Single});
        rig.Step(20100us);
        EXPECT_EQ(CodeAt(rig.Read(7), 4), c.expected);
    }
}

TEST(VirtualMeterTest, ReadAndWriteTransactionsUseTheBridgeLayout) {
    TRig rig;
    rig.Write(7, {0x81, 0x82, 0x83, 0x80, 0x85, 0x86});
    const auto regs = rig.Meter.Registers();
    EXPECT_EQ(TBytes(regs.begin() + 7, regs.begin() + 13),
              (TBytes{0x81, 0x82, 0x83, 0x80, 0x85, 0x86}));
    ASSERT_EQ(rig.Meter.RegisterWrites().size(), 1u);
    EXPECT_EQ(rig.Meter.RegisterWrites()[0].Start, 7);
    EXPECT_EQ(rig.Meter.RegisterWrites()[0].Count, 6);
    EXPECT_EQ(rig.Meter.RegisterWrites()[0].Pipe, EPipe::Control);

    // Status and data are read-only, there is nothing past register 18, and 13 to 18 keep
    // what is written.
    rig.Write(0, {0x11, 0x22});
    rig.Write(17, {0x55, 0x66, 0x77});
    EXPECT_EQ(rig.Meter.Registers()[1], 0);
    EXPECT_EQ(rig.Meter.Registers()[17], 0x55);
    EXPECT_EQ(rig.Meter.Registers()[18], 0x66);

    TBytes expected(64, 0);
    expected[0] = 0x13;
    expected[2] = 7;
    for (int i = 0; i < 7; ++i)
        expected[3 + i] = rig.Meter.Registers()[i];
    EXPECT_EQ(rig.Read(7), expected);
    // The count tells a status answer from a value answer.
    EXPECT_EQ(rig.Read(1)[2], 1);

    // The answer is as long as the shorter of the two lengths, and at most 60 bytes.
    const TBytes all = rig.Read(25);
    EXPECT_EQ(all[2], 25);
    EXPECT_EQ(all[3 + 18], 0x66);
    EXPECT_EQ(all[3 + 19], 0) << "past the last register";
    EXPECT_TRUE(rig.Output({0x10, 0x90, 0, 30}));
    EXPECT_TRUE(rig.Output({0x12, 0, 4}));
    EXPECT_EQ(rig.Host.Take().at(0).Report[2], 4);
    EXPECT_EQ(rig.Read(200)[2], 60);

    // Another bus address gets no acknowledge and no data.
    EXPECT_TRUE(rig.Output({0x10, 0x92, 0, 7}));
    EXPECT_TRUE(rig.Output({0x12, 0, 7}));
    const TBytes nak = rig.Host.Take().at(0).Report;
    EXPECT_EQ(nak[1], TVirtualMeter::StatusNoAcknowledge);
    EXPECT_EQ(nak[2], 0);
    EXPECT_TRUE(rig.Output({0x14, 0x92, 2, 7, 0x00}, EPipe::Control));
    EXPECT_EQ(rig.Meter.Registers()[7], 0x81);
    EXPECT_EQ(rig.Meter.ReadTransactions(), 6);

    // Every report is logged with the pipe it came through.
    const auto transfers = rig.Meter.Transfers();
    ASSERT_GE(transfers.size(), 4u);
    using EKind = TVirtualMeter::TTransfer::EKind;
    EXPECT_EQ(transfers[0].Kind, EKind::Output);
    EXPECT_EQ(transfers[0].Pipe, EPipe::Control);
    EXPECT_EQ(transfers[0].Report.at(0), 0x14);
    const TVirtualMeter::TTransfer* last = &transfers[transfers.size() - 4];
    EXPECT_EQ(last[0].Report.at(0), 0x10);
    EXPECT_EQ(last[0].Pipe, EPipe::Interrupt);
    EXPECT_EQ(last[1].Report.at(0), 0x12);
    EXPECT_EQ(last[2].Kind, EKind::Input);
    EXPECT_EQ(last[2].Report, nak);
    EXPECT_EQ(last[3].Report.at(0), 0x14);
    EXPECT_EQ(last[3].Pipe, EPipe::Control);
}

TEST(VirtualMeterTest, MalformedReportsAreRefused) {
    struct TCase {
        const char* name;
        TBytes report;
        bool feature;
    };
    const TCase cases[] = {
        {"output 0x11", {0x11, 0x90, 0, 7}, false},
        {"the input report's ID as output", {0x13}, false},
        {"a feature ID as output", {0x04, 0x00, 0x03}, false},
        {"output ID as feature", {0x10, 0x90, 0, 7, 0}, true},
        {"feature 0x03", {0x03, 0, 0, 0, 0}, true},
        {"feature longer than 5 bytes", {0x04, 0x00, 0x03, 0, 0, 0}, true},
        {"empty output", {}, false},
        {"write without start register", {0x14, 0x90, 0}, false},
        {"write past the report's end", {0x14, 0x90, 62, 7}, false},
    };
    TRig rig;
    EXPECT_TRUE(rig.Feature(PortsAsOutputs));
    const auto refused = [&rig](const TBytes& report, bool feature) {
        EXPECT_FALSE(feature
                         ? rig.Meter.FeatureReport(report.data(), report.size())
                         : rig.Meter.OutputReport(report.data(), report.size(), EPipe::Interrupt));
        EXPECT_FALSE(rig.Meter.Transfers().back().Ok);
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TBytes report = c.report;
        // Output reports at full length, so that only their contents are wrong.
        if (!c.feature && !report.empty())
            report.resize(TVirtualMeter::OutputReportLength);
        refused(report, c.feature);
    }

    // Output reports of any other length than the declared 64 bytes, however sound their
    // contents.
    const TBytes write = {0x14, 0x90, 2, 9, 0x0C};
    const TBytes request = {0x10, 0x90, 0, 7};
    for (const std::size_t length : {std::size_t{5}, std::size_t{63}, std::size_t{65}}) {
        SCOPED_TRACE(testing::Message() << length << " bytes");
        for (TBytes report : {write, request}) {
            report.resize(length);
            refused(report, false);
        }
    }
    EXPECT_TRUE(rig.Host.Take().empty());
    EXPECT_FALSE(rig.Meter.LedOn());
    EXPECT_EQ(rig.Meter.RegisterWriteCount(), 0);
    EXPECT_EQ(rig.Meter.Registers()[9], 0);

    EXPECT_TRUE(rig.Output(write, EPipe::Control));
    EXPECT_EQ(rig.Meter.Registers()[9], 0x0C);
}

TEST(VirtualMeterTest, PortLatchSwitchesTheLedOnceTheLinesAreOutputs) {
    TRig rig;
    // The lines are inputs until configured: a latch report is taken, but drives nothing.
    EXPECT_TRUE(rig.Feature({0x04, 0x00, 0x03, 0, 0}));
    EXPECT_FALSE(rig.Meter.LedOn());
    EXPECT_TRUE(rig.Feature({0x02, 0x01, 0x01, 0x00, 0x00}));
    EXPECT_TRUE(rig.Feature({0x04, 0x00, 0x03, 0, 0}));
    EXPECT_FALSE(rig.Meter.LedOn()) << "line 1 is still an input";
    EXPECT_EQ(rig.Meter.LedSwitchOns(), 0);

    EXPECT_TRUE(rig.Feature(PortsAsOutputs));
    EXPECT_EQ(rig.Meter.PortConfiguration(), (std::array<std::uint8_t, 4>{0x03, 0x03, 0, 0}));
    EXPECT_FALSE(rig.Meter.LedOn()) << "line 1 latched nothing while an input";
    EXPECT_TRUE(rig.Feature({0x04, 0x03, 0x03, 0, 0}));

    struct TStep {
        std::uint8_t latch, mask;
        bool on;
        int switchOns;
    };
    const TStep steps[] = {
        {0x00, 0x03, true, 1},  {0x00, 0x03, true, 1},  {0x03, 0x03, false, 1},
        {0x00, 0x00, false, 1}, {0x00, 0x01, false, 1}, {0x00, 0x02, true, 2},
        {0xFC, 0xFC, true, 2},  {0x01, 0x03, false, 2}, {0x00, 0x03, true, 3},
    };
    for (const TStep& s : steps) {
        SCOPED_TRACE(testing::Message() << "latch " << int(s.latch) << " mask " << int(s.mask));
        EXPECT_TRUE(rig.Feature({0x04, s.latch, s.mask, 0, 0}));
        EXPECT_EQ(rig.Meter.LedOn(), s.on);
        EXPECT_EQ(rig.Meter.LedSwitchOns(), s.switchOns);
    }
    EXPECT_EQ(rig.Meter.Transfers().back().Pipe, EPipe::Control);
    EXPECT_EQ(rig.Meter.Transfers().back().Kind, TVirtualMeter::TTransfer::EKind::Feature);

    // Lines made inputs again float high.
    EXPECT_TRUE(rig.Feature({0x02, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_FALSE(rig.Meter.LedOn());
}

TEST(VirtualMeterTest, DescriptorDeclaresTheReportsAndTheirLengths) {
    TRig rig;
    EXPECT_EQ(rig.Meter.Product(), "Corvane v2");
    EXPECT_EQ(rig.Meter.Serial(), "SN-1");

    // Walks the short items, adding up the bits of each (main item, report ID).
    const TBytes d = rig.Meter.ReportDescriptor();
    ASSERT_GE(d.size(), 3u);
    EXPECT_EQ(TBytes(d.begin(), d.begin() + 3), (TBytes{0x06, 0x00, 0xFF}));
    std::map<std::pair<int, int>, unsigned> bits;
    unsigned size = 0, count = 0, id = 0;
    int depth = 0;
    for (std::size_t i = 0; i < d.size();) {
        const int tag = d[i] & 0xFC;
        const std::size_t n = (d[i] & 3) == 3 ? 4 : d[i] & 3;
        ASSERT_LE(i + 1 + n, d.size());
        unsigned value = 0;
        for (std::size_t k = 0; k < n; ++k)
            value |= unsigned(d[i + 1 + k]) << (8 * k);
        if (tag == 0x74)
            size = value;
        else if (tag == 0x94)
            count = value;
        else if (tag == 0x84)
            id = value;
        else if (tag == 0x80 || tag == 0x90 || tag == 0xB0)
            bits[{tag, int(id)}] += size * count;
        else if (tag == 0xA0)
            ++depth;
        else if (tag == 0xC0)
            --depth;
        i += 1 + n;
    }
    EXPECT_EQ(depth, 0);
    const std::map<std::pair<int, int>, unsigned> expected = {
        {{0x80, 0x13}, 63 * 8}, {{0x90, 0x10}, 63 * 8}, {{0x90, 0x12}, 63 * 8},
        {{0x90, 0x14}, 63 * 8}, {{0xB0, 0x02}, 4 * 8},  {{0xB0, 0x04}, 4 * 8},
    };
    EXPECT_EQ(bits, expected);

    // The lengths the program works with.
    const THidCaps caps = ComputeCaps(d);
    EXPECT_EQ(caps.InputReportByteLength, 64);
    EXPECT_EQ(caps.OutputReportByteLength, 64);
    EXPECT_EQ(caps.FeatureReportByteLength, 5);
}

// Five noisy conversions with outliers; their capacitive and VT codes.
std::vector<std::int32_t> NoisyCodes(TRig& rig) {
    rig.Meter.SetCapNoise(0.01);
    rig.Meter.SetOutliers(0.3, 1.0);
    rig.Meter.SetTemperatureNoise(0.5);
    std::vector<std::int32_t> codes;
    for (int i = 0; i < 5; ++i) {
        rig.Write(7, {CapOn, VtOn, ExcA, Single});
        rig.Step(40ms);
        const TBytes answer = rig.Read(7);
        codes.push_back(CodeAt(answer, 1));
        codes.push_back(CodeAt(answer, 4));
    }
    return codes;
}

TEST(VirtualMeterTest, SameSeedGivesTheSameNoise) {
    TRig first(7), second(7), other(8);
    const std::vector<std::int32_t> codes = NoisyCodes(first);
    EXPECT_EQ(NoisyCodes(second), codes);
    EXPECT_NE(NoisyCodes(other), codes);
    other.Meter.SetSeed(7);
    EXPECT_EQ(NoisyCodes(other), codes);

    // The noise is there: ten conversions differ, and with probability 0.3 at least one
    // outlier of 1 pF shows (the fixed seed makes this certain, not just likely).
    std::map<std::int32_t, int> distinct;
    bool outlier = false;
    for (std::size_t i = 0; i < codes.size(); i += 2) {
        ++distinct[codes[i]];
        outlier = outlier || DecodePf(codes[i]) > 0.5;
    }
    EXPECT_EQ(distinct.size(), 5u);
    EXPECT_TRUE(outlier);
}

TEST(VirtualMeterTest, BusyStuckHidesEveryResult) {
    TRig rig;
    rig.Write(7, {CapOn, 0, ExcA, Single});
    rig.Step(11ms);
    rig.Meter.SetBusyStuck(true);
    EXPECT_EQ(rig.Read(1)[3] & Busy, Busy);
    rig.Step(1s);
    EXPECT_EQ(rig.Read(1)[3] & Busy, Busy);
    rig.Meter.SetBusyStuck(false);
    EXPECT_EQ(rig.Read(1)[3] & Busy, 0) << "the result still waits";
}

TEST(VirtualMeterTest, LostResponsesSendNothing) {
    TRig rig;
    rig.Meter.LoseResponses(2);
    for (int i = 0; i < 2; ++i) {
        rig.RequestRead(7);
        EXPECT_TRUE(rig.Host.Take().empty());
    }
    EXPECT_EQ(rig.Read(7)[0], 0x13);
    EXPECT_EQ(rig.Meter.ReadTransactions(), 1);

    rig.Meter.LoseResponses(TVirtualMeter::AllResponses);
    for (int i = 0; i < 5; ++i)
        rig.RequestRead(7);
    EXPECT_TRUE(rig.Host.Take().empty());
    rig.Meter.LoseResponses(0);
    EXPECT_EQ(rig.Read(7)[0], 0x13);
}

TEST(VirtualMeterTest, ForeignReportComesBeforeTheAnswer) {
    TRig rig;
    rig.Write(7, {0x8A});
    rig.Meter.SetForeignReportFirst(true);
    rig.RequestRead(8);
    const std::vector<TReceived> got = rig.Host.Take();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].Report[0], TVirtualMeter::ForeignReportId);
    EXPECT_NE(got[0].Report[3 + 7], 0x8A);
    EXPECT_EQ(got[1].Report[0], 0x13);
    EXPECT_EQ(got[1].Report[3 + 7], 0x8A);
    EXPECT_EQ(rig.Meter.ReadTransactions(), 1);
}

TEST(VirtualMeterTest, FailingTransfersAreRefusedAndChangeNothing) {
    TRig rig;
    EXPECT_TRUE(rig.Feature(PortsAsOutputs));
    rig.Meter.SetTransfersFailing(true);
    EXPECT_FALSE(rig.Output({0x14, 0x90, 2, 7, 0x80}, EPipe::Control));
    EXPECT_FALSE(rig.Output({0x10, 0x90, 0, 7}));
    EXPECT_FALSE(rig.Output({0x12, 0, 7}));
    EXPECT_FALSE(rig.Feature({0x04, 0x00, 0x03, 0, 0}));
    EXPECT_TRUE(rig.Host.Take().empty());
    EXPECT_EQ(rig.Meter.Registers()[7], 0);
    EXPECT_FALSE(rig.Meter.LedOn());
    EXPECT_EQ(rig.Meter.ReadTransactions(), 0);

    rig.Meter.SetTransfersFailing(false);
    rig.Write(7, {0x80});
    EXPECT_EQ(rig.Read(8)[3 + 7], 0x80);
}

TEST(VirtualMeterTest, LatencyBlocksTransfersAndDelaysAnswers) {
    TRig rig;
    rig.Meter.SetLatency(3ms);
    rig.Meter.SetResponseDelay(10ms);
    EXPECT_TRUE(rig.Output({0x10, 0x90, 0, 7}));
    const TTimePoint start = std::chrono::steady_clock::now();
    EXPECT_TRUE(rig.Output({0x12, 0, 7}));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 3ms);
    const std::vector<TReceived> got = rig.Host.Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_GE(got[0].DeliverAt - start, 3ms + 3ms + 10ms);

    const TTimePoint featureStart = std::chrono::steady_clock::now();
    EXPECT_TRUE(rig.Feature({0x04, 0x00, 0x03, 0, 0}));
    EXPECT_GE(std::chrono::steady_clock::now() - featureStart, 3ms);
}

// The host's InputReport takes its own lock and may look at the device; the meter must not
// hold its lock while it sends. Two threads use the meter as the program's worker and window
// threads do.
TEST(VirtualMeterTest, ThreadsShareTheMeterWhileAnswersCallBack) {
    class TPeekingHost final : public TVirtualHidHost {
    public:
        explicit TPeekingHost(TVirtualMeter& meter)
            : FMeter(meter) {}
        void InputReport(const TBytes&, TTimePoint) override {
            std::lock_guard lock(FLock);
            FMeter.LedOn();
            ++Received;
        }
        int Received = 0;

    private:
        TVirtualMeter& FMeter;
        std::mutex FLock;
    };
    TRig rig;
    EXPECT_TRUE(rig.Feature(PortsAsOutputs));
    TPeekingHost host(rig.Meter);
    rig.Meter.AttachHost(&host);
    constexpr int Rounds = 200;
    std::thread worker([&rig] {
        for (int i = 0; i < Rounds; ++i)
            rig.RequestRead(7);
    });
    for (int i = 0; i < Rounds; ++i)
        EXPECT_TRUE(rig.Feature({0x04, static_cast<std::uint8_t>(i % 2 ? 0x03 : 0x00), 0x03}));
    worker.join();
    rig.Meter.AttachHost(nullptr);
    EXPECT_EQ(host.Received, Rounds);
    EXPECT_EQ(rig.Meter.ReadTransactions(), Rounds);
    EXPECT_EQ(rig.Meter.LedSwitchOns(), Rounds / 2);
}

// Each handle on the bus keeps as many answers as a hidraw file does, whatever it asked for.
TEST(VirtualMeterTest, BusQueuesAsManyAnswersPerHandleAsHidraw) {
    constexpr int HidrawDepth = 63;
    TVirtualHidBus bus;
    bus.Plug(std::make_shared<TVirtualMeter>(QStringLiteral("SN-Q")));
    const THidDeviceInfo device = bus.Enumerate().at(0);
    const auto main = bus.Open(device, EHidAccess::ReadWrite);
    const auto reader = bus.Open(device, EHidAccess::ReadOnly); // asks for no depth
    ASSERT_TRUE(main && reader);
    EXPECT_EQ(main->SetInputQueueDepth(128), HidrawDepth) << "as discovery asks";

    TBytes request = {0x10, 0x90, 0, 1}, force = {0x12, 0, 1};
    request.resize(TVirtualMeter::OutputReportLength);
    force.resize(TVirtualMeter::OutputReportLength);
    for (int i = 0; i < HidrawDepth + 7; ++i) {
        ASSERT_TRUE(main->Write(request.data(), request.size()));
        ASSERT_TRUE(main->Write(force.data(), force.size()));
    }
    for (THidConnection* handle : {main.get(), reader.get()}) {
        std::uint8_t buffer[TVirtualMeter::InputReportLength];
        std::size_t count = 0;
        int queued = 0;
        while (handle->Read(buffer, sizeof buffer, count, 0) == EHidReadResult::Ok)
            ++queued;
        EXPECT_EQ(queued, HidrawDepth);
    }
}

} // namespace
