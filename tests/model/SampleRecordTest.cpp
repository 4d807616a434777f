#include "model/SampleRecord.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <string>
#include <vector>

namespace {

// The raw codes of one repeat, in record order.
struct TRepeatCodes {
    std::uint32_t Cap1 = 0;
    std::uint32_t Vt1 = 0;
    std::uint32_t Cap2 = 0;
    std::uint32_t Vt2 = 0;
};

// Builds a record the way the worker does.
std::string MakeRecord(const std::vector<TRepeatCodes>& repeats, std::uint32_t ticks) {
    std::string record;
    const std::uint8_t status = 0;
    AppendHexBytes(record, &status, 1);
    for (const TRepeatCodes& r : repeats) {
        for (const std::uint32_t code : {r.Cap1, r.Vt1, r.Cap2, r.Vt2}) {
            const std::uint8_t bytes[3] = {std::uint8_t(code >> 16), std::uint8_t(code >> 8),
                                           std::uint8_t(code)};
            AppendHexBytes(record, bytes, 3);
        }
    }
    AppendTicks(record, ticks);
    return record;
}

// 1 fF is 2048 codes, so whole femtofarads give capacitances that are the nearest doubles to
// their decimal values.
constexpr std::uint32_t CapCode(int femtofarad) {
    return std::uint32_t(0x800000 + femtofarad * 2048);
}
constexpr std::uint32_t TempCode(int degrees) {
    return std::uint32_t(degrees + 4096) * 2048;
}

// One internal temperature value per repeat.
std::string TemperatureRecord(const std::vector<int>& degrees) {
    std::vector<TRepeatCodes> repeats;
    for (const int d : degrees)
        repeats.push_back({.Vt1 = TempCode(d)});
    return MakeRecord(repeats, 0);
}

void ExpectError(std::string_view record, const TDecodeSettings& settings,
                 const std::string& messageStart) {
    try {
        DecodeSampleRecord(record, settings);
        ADD_FAILURE() << "decoded without error";
    } catch (const ESampleRecordError& e) {
        EXPECT_EQ(std::string(e.what()).substr(0, messageStart.size()), messageStart) << e.what();
    }
}

const std::string WorkedExample = "00"
                                  "8FA000"
                                  "80C800"
                                  "000000000000"
                                  "0000000000000041";
const TDecodeSettings Cap1AndTemp{
    .ValueCount = 2, .Cap1Enabled = true, .InternalTempEnabled = true};

TEST(SampleRecordTest, DecodesTheWorkedExampleAndTheWorkerWritesIt) {
    EXPECT_EQ(MakeRecord({{.Cap1 = 0x8FA000, .Vt1 = 0x80C800}}, 65), WorkedExample);
    EXPECT_EQ(SampleRecordLength(1), WorkedExample.size());

    std::string lower = WorkedExample;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return char(std::tolower(static_cast<unsigned char>(c))); });
    lower.replace(lower.size() - 2, 2, "4a"); // a letter in the elapsed time, too

    for (const std::string& record : {WorkedExample, lower}) {
        const TDecodedRecord d = DecodeSampleRecord(record, Cap1AndTemp);
        EXPECT_EQ(d.Values, (std::vector<double>{0.5, 25.0})) << record;
        EXPECT_EQ(d.Scratch, d.Values) << record;
        EXPECT_EQ(d.Ticks, record == WorkedExample ? 65u : 0x4Au) << record;
    }
}

TEST(SampleRecordTest, TakesEachValueFromItsBytesInResultOrder) {
    const std::string record = MakeRecord(
        {{.Cap1 = 0x8FA000, .Vt1 = TempCode(25), .Cap2 = CapCode(-250), .Vt2 = 0xC00000}},
        0xFFFFFFFF);
    TDecodeSettings all{.ValueCount = 4,
                        .Cap1Enabled = true,
                        .Cap2Enabled = true,
                        .InternalTempEnabled = true,
                        .ExternalResistorEnabled = true,
                        .ReferenceResistor = 1000};
    TDecodedRecord d = DecodeSampleRecord(record, all);
    EXPECT_EQ(d.Values, (std::vector<double>{0.5, -0.25, 25.0, 500.0}));
    EXPECT_EQ(d.Ticks, 0xFFFFFFFFu);

    const TDecodeSettings cap2AndResistor{
        .ValueCount = 2, .Cap2Enabled = true, .ExternalResistorEnabled = true};
    d = DecodeSampleRecord(record, cap2AndResistor);
    EXPECT_EQ(d.Values, (std::vector<double>{-0.25, 25000.0}));
}

TEST(SampleRecordTest, ChannelTwoNotRunDecodesAsNegativeFullScale) {
    const std::string record = MakeRecord({{.Cap1 = CapCode(100)}}, 7);
    const TDecodedRecord d =
        DecodeSampleRecord(record, {.ValueCount = 2, .Cap1Enabled = true, .Cap2Enabled = true});
    EXPECT_EQ(d.Values, (std::vector<double>{0.1, -4.096}));
}

TEST(SampleRecordTest, TwoOfThreeDropsTheOutlier) {
    // Raw 1.0, 1.1 and 4.0 pF: the mean is about 2.03, 4.0 deviates most.
    const std::string record =
        MakeRecord({{.Cap1 = CapCode(1000)}, {.Cap1 = CapCode(1100)}, {.Cap1 = CapCode(4000)}}, 3);
    const TDecodedRecord d =
        DecodeSampleRecord(record, {.ValueCount = 1, .Repeats = 3, .Cap1Enabled = true});
    const double expected = (1.0 + 1.1) / 2;
    EXPECT_DOUBLE_EQ(expected, 1.05);
    EXPECT_EQ(d.Values, std::vector<double>{expected});
    EXPECT_EQ(d.Scratch, (std::vector<double>{expected, 1.1, 4.0}));
    EXPECT_EQ(d.Ticks, 3u);
}

// Mean and filters by repeat count, on whole degrees so that every step is exact.
TEST(SampleRecordTest, FiltersByRepeatCount) {
    struct TCase {
        const char* Name;
        std::vector<int> Raw;
        double Expected;
    };
    const TCase cases[] = {
        {"one repeat", {42}, 42.0},
        {"2 of 3, equal", {7, 7, 7}, 7.0},
        {"2 of 3, equal deviations drop the lowest repeat", {1, 2, 3}, 2.5},
        {"2 of 3, outlier first", {-90, 10, 11}, 10.5},
        {"3 of 5, example", {1, 2, 3, 4, 100}, 3.0}, // second step: 1 and 4 tie, 1 goes
        {"3 of 5, equal", {7, 7, 7, 7, 7}, 7.0},
        {"3 of 5, first step tie drops repeat 0", {0, 10, 9, 1, 5}, 8.0},
        {"mean only for two repeats", {1, 2}, 1.5},
        {"mean only for four repeats", {1, 2, 3, 100}, 26.5},
    };
    for (const TCase& c : cases) {
        const int repeats = int(c.Raw.size());
        const TDecodedRecord d =
            DecodeSampleRecord(TemperatureRecord(c.Raw),
                               {.ValueCount = 1, .Repeats = repeats, .InternalTempEnabled = true});
        ASSERT_EQ(d.Scratch.size(), c.Raw.size()) << c.Name;
        EXPECT_EQ(d.Values, std::vector<double>{c.Expected}) << c.Name;
        EXPECT_EQ(d.Scratch[0], c.Expected) << c.Name;
        for (int r = 1; r < repeats; ++r)
            EXPECT_EQ(d.Scratch[std::size_t(r)], double(c.Raw[std::size_t(r)])) << c.Name;
    }
}

TEST(SampleRecordTest, FiltersEachValueOfARepeatSeparately) {
    // Channel 1 has its outlier in repeat 2, channel 2 in repeat 0.
    const std::string record = MakeRecord({{.Cap1 = CapCode(100), .Cap2 = CapCode(-3000)},
                                           {.Cap1 = CapCode(200), .Cap2 = CapCode(500)},
                                           {.Cap1 = CapCode(3000), .Cap2 = CapCode(600)}},
                                          0);
    const TDecodedRecord d = DecodeSampleRecord(
        record, {.ValueCount = 2, .Repeats = 3, .Cap1Enabled = true, .Cap2Enabled = true});
    const double ch1 = (0.1 + 0.2) / 2;
    const double ch2 = (0.5 + 0.6) / 2;
    EXPECT_EQ(d.Values, (std::vector<double>{ch1, ch2}));
    EXPECT_EQ(d.Scratch, (std::vector<double>{ch1, ch2, 0.2, 0.5, 3.0, 0.6}));
}

TEST(SampleRecordTest, NoValuesEnabledGivesEmptyArraysAndTheTicks) {
    for (const int repeats : {1, 3}) {
        const std::string record = MakeRecord(std::vector<TRepeatCodes>(std::size_t(repeats)), 99);
        const TDecodedRecord d = DecodeSampleRecord(record, {.Repeats = repeats});
        EXPECT_TRUE(d.Values.empty());
        EXPECT_TRUE(d.Scratch.empty());
        EXPECT_EQ(d.Ticks, 99u);
    }
}

TEST(SampleRecordTest, ExtraCharactersAreIgnored) {
    const TDecodedRecord d = DecodeSampleRecord(WorkedExample + "ZZ\n", Cap1AndTemp);
    EXPECT_EQ(d.Values, (std::vector<double>{0.5, 25.0}));
    EXPECT_EQ(d.Ticks, 65u);
}

TEST(SampleRecordTest, RejectsWhatCannotBeDecoded) {
    const std::string malformed = "Malformed sample record: ";
    const std::string disagree = "Sample record not decoded: the meter's register image and "
                                 "value count disagree";
    auto withPair = [](std::size_t index, const char* pair) {
        std::string record = WorkedExample;
        return record.replace(index, 2, pair);
    };
    struct TCase {
        const char* Name;
        std::string Record;
        TDecodeSettings Settings;
        std::string MessageStart;
    };
    const TCase cases[] = {
        {"non-hex in a used value", withPair(2, "G0"), Cap1AndTemp,
         malformed + "\"G0\" at index 2"},
        {"second digit bad", withPair(4, "A "), Cap1AndTemp, malformed + "\"A \" at index 4"},
        {"non-hex in an unused value", withPair(14, "0x"), Cap1AndTemp, malformed},
        {"non-hex status", withPair(0, "\x01Z"), Cap1AndTemp, malformed + "\"\\x01Z\""},
        {"non-hex in the elapsed time", withPair(40, "4?"), Cap1AndTemp,
         malformed + "\"4?\" at index 40"},
        {"sign in the elapsed time", withPair(26, "+0"), Cap1AndTemp, malformed},
        {"elapsed time beyond 32 bits", withPair(32, "01"), Cap1AndTemp, malformed},
        {"one character short", WorkedExample.substr(0, 41), Cap1AndTemp,
         malformed + "41 characters, 1 repeats need at least 42"},
        {"shorter than the repeats need",
         WorkedExample,
         {.ValueCount = 2, .Repeats = 3, .Cap1Enabled = true, .InternalTempEnabled = true},
         malformed + "42 characters, 3 repeats need at least 90"},
        {"more values enabled than counted",
         WorkedExample,
         {.ValueCount = 2, .Cap1Enabled = true, .Cap2Enabled = true, .InternalTempEnabled = true},
         disagree},
        {"fewer values enabled than counted",
         WorkedExample,
         {.ValueCount = 2, .Cap1Enabled = true},
         disagree},
        {"values enabled, none counted",
         WorkedExample,
         {.ValueCount = 0, .Cap1Enabled = true},
         disagree},
        {"no repeats", WorkedExample, {.Repeats = 0}, "Sample record not decoded: repeat count 0"},
        {"negative repeats",
         WorkedExample,
         {.Repeats = INT_MIN},
         "Sample record not decoded: repeat count"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        ExpectError(c.Record, c.Settings, c.MessageStart);
    }
}

TEST(SampleRecordTest, ConvertsCodes) {
    EXPECT_EQ(CapacitanceOfCode(0x000000), -4.096);
    EXPECT_EQ(CapacitanceOfCode(0x800000), 0.0);
    const double top = CapacitanceOfCode(0xFFFFFF);
    EXPECT_EQ(top, 8388607.0 / 2048000.0);
    EXPECT_LT(top, 4.096);
    EXPECT_GT(top, 4.0959995);

    EXPECT_EQ(CalcInternalTemperature(0x800000), 0.0);
    EXPECT_EQ(CalcInternalTemperature(0x800000 + 25 * 2048), 25.0);
    EXPECT_EQ(CalcExternalResistor(0xC00000, 50000), 25000.0);
    EXPECT_EQ(CalcExternalResistor(INT_MIN, 1), -257.0); // no overflow below mid-scale

    struct TVtCase {
        std::uint8_t VtSetup;
        double Expected;
    };
    const TVtCase vt[] = {
        {0xC0, 3510.0}, // VDD monitor, mV
        {0xE0, 585.0},  // external voltage input, mV
        {0xF0, 0.5},    // external voltage input against the external reference
        {0x81, 2048.0}, // internal temperature sensor, degrees C
        {0xA0, 2048.0}, // external temperature sensor, degrees C
        {0xD0, 0.5},    // external reference, whatever bit 5 says
    };
    for (const TVtCase& c : vt)
        EXPECT_EQ(CalcVT(0xC00000, c.VtSetup), c.Expected) << int(c.VtSetup);
}

} // namespace
