#include "model/Meter.h"

#include "model/IniFile.h"
#include "model/MeasurementWorker.h"
#include "model/SampleRecord.h"
#include "tests/support/RecordingBridge.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace {

// A model wired to a recording bridge, its worker running.
struct TModel {
    TRecordingBridge* Bridge = new TRecordingBridge;
    TMeter Model;
    TModel() { Model.SetUpBridge(std::unique_ptr<TBridge>(Bridge)); }
};

struct TConfig {
    int Cap1 = 0, Dac1 = 0, Dac1A = 0, Dac1B = 0;
    int Cap2 = 0, Dac2 = 0, Dac2A = 0, Dac2B = 0;
    bool Temp = false, Res = false;
    int Exc = 0;
};

struct TImageCase {
    const char* Name;
    TConfig Config;
    std::vector<std::pair<int, std::uint8_t>> Bytes; // every other byte must be 0
    int ValueCount;
};

class SetRegsFromConfigTest : public testing::TestWithParam<TImageCase> {};

TEST_P(SetRegsFromConfigTest, BuildsTheImage) {
    const TImageCase& c = GetParam();
    TModel m;
    TMeter& model = m.Model;
    model.SetRegData(TRegData{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}); // replaced whole
    model.SetCAP1Mode(c.Config.Cap1);
    model.SetCAPDAC1Mode(c.Config.Dac1);
    model.SetCAPDAC1A(c.Config.Dac1A);
    model.SetCAPDAC1B(c.Config.Dac1B);
    model.SetCAP2Mode(c.Config.Cap2);
    model.SetCAPDAC2Mode(c.Config.Dac2);
    model.SetCAPDAC2A(c.Config.Dac2A);
    model.SetCAPDAC2B(c.Config.Dac2B);
    model.SetInternalTempEnabled(c.Config.Temp);
    model.SetExternalResistorEnabled(c.Config.Res);
    model.SetExcitationVoltage(c.Config.Exc);
    model.SetRegsFromConfig();

    TRegData expected{};
    for (const auto& [byte, value] : c.Bytes)
        expected[std::size_t(byte)] = value;
    EXPECT_EQ(model.RegData(), expected);
    EXPECT_EQ(model.ValueCount(), c.ValueCount);
    EXPECT_TRUE(m.Bridge->Written().empty()) << "nothing is sent";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SetRegsFromConfigTest,
    testing::Values(TImageCase{"EverythingOff", {}, {{9, 0x28}, {10, 0xA0}}, 0},
                    TImageCase{"SingleWithDacs",
                               {.Cap1 = 1, .Dac1 = 1, .Dac1A = 5, .Dac1B = 9},
                               {{7, 0x80}, {9, 0x28}, {10, 0xA0}, {11, 0x85}},
                               1},
                    TImageCase{"DifferentialWithDacs",
                               {.Cap1 = 2, .Dac1 = 1, .Dac1A = 5, .Dac1B = 9},
                               {{7, 0xA0}, {9, 0x28}, {10, 0xA0}, {11, 0x85}, {12, 0x89}},
                               1},
                    TImageCase{"DacsOffKeepTheirCodesOut",
                               {.Cap1 = 2, .Dac1 = 0, .Dac1A = 5, .Dac1B = 9},
                               {{7, 0xA0}, {9, 0x28}, {10, 0xA0}},
                               1},
                    TImageCase{"Channel2Differential",
                               {.Cap2 = 2, .Dac2 = 1, .Dac2A = 3, .Dac2B = 4},
                               {{9, 0x28}, {10, 0xA0}, {19, 0xA0}, {21, 0x83}, {22, 0x84}},
                               1},
                    TImageCase{
                        "AllOnExcitation2",
                        {.Cap1 = 1, .Cap2 = 1, .Temp = true, .Res = true, .Exc = 2},
                        {{7, 0x80}, {8, 0x81}, {9, 0x2A}, {10, 0xA0}, {19, 0x80}, {20, 0xF1}},
                        4},
                    // Out of range values reach the image as they are: a code's bit 7 falls on the
                    // enable bit, an excitation above 3 sets bits above EXCLVL. A mode of 3 enables
                    // nothing, so it measures no value.
                    TImageCase{"OutOfRange",
                               {.Cap1 = 1, .Dac1 = 1, .Dac1A = 200, .Cap2 = 3, .Exc = 0xC3},
                               {{7, 0x80}, {9, 0xEB}, {10, 0xA0}, {11, 0xC8}},
                               1}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(MeterTest, ContinuousModeSetsConversionTimeAndMode) {
    TModel m;
    TMeter& model = m.Model;
    model.SetRegsFromConfig(); // byte 9 0x28, byte 10 0xA0
    TRegData clockHalved = model.RegData();
    clockHalved[RegExcSetup] |= ExcSetupClockHalved;
    model.SetRegData(clockHalved);
    model.SetContinuousModeInterval(3);
    EXPECT_EQ(model.RegData()[10], 0xA0) << "the interval alone changes nothing";
    model.SetContinuousMode(true);
    EXPECT_EQ(model.RegData()[10], 0x99);
    EXPECT_EQ(model.RegData()[9], 0x28);
    EXPECT_TRUE(model.MeasurementWorker()->ContinuousMode);
    model.SetContinuousModeInterval(7);
    EXPECT_EQ(model.RegData()[10], 0xB9);
    const TRegData before = model.RegData();
    model.SetContinuousMode(false);
    EXPECT_EQ(model.RegData(), before) << "switching off leaves the image";
    EXPECT_FALSE(model.MeasurementWorker()->ContinuousMode);
}

TEST(MeterTest, PropertiesStoreAsDescribed) {
    TModel m;
    TMeter& model = m.Model;
    EXPECT_EQ(model.ReferenceResistor(), 50000);
    EXPECT_EQ(model.SMode(), 1);
    for (int bad : {0, -5}) {
        model.SetReferenceResistor(bad);
        EXPECT_EQ(model.ReferenceResistor(), 1);
    }
    struct {
        int Choice, Repeats;
    } repeats[] = {{0, 1}, {1, 3}, {2, 5}, {7, 1}, {-1, 1}};
    for (const auto& r : repeats) {
        model.SetNoiseReduction(r.Choice);
        EXPECT_EQ(model.MeasurementWorker()->Repeats, r.Repeats) << r.Choice;
    }
    model.SetSMode(2);
    EXPECT_EQ(model.MeasurementWorker()->SMode, 2);

    model.SetValueCount(2);
    model.SetValues(0, 1.5);
    model.SetValues(1, 2.5);
    model.SetValues(2, 9.0);  // ignored
    model.SetValues(-1, 9.0); // ignored
    model.SetValueCount(3);
    EXPECT_EQ(model.Values(0), 1.5);
    EXPECT_EQ(model.Values(1), 2.5);
    EXPECT_EQ(model.Values(2), 0.0);
    EXPECT_EQ(model.Values(3), -1.0);
    EXPECT_EQ(model.Values(-1), -1.0);
    EXPECT_EQ(model.SerNum(), QStringLiteral("TEST1"));
    EXPECT_EQ(m.Bridge->Calls().first(), QStringLiteral("Init"));
}

TEST(MeterTest, RecordsAreDecodedOnTheWindowThreadAndRaised) {
    TModel m;
    TMeter& model = m.Model;
    model.SetChannel(3);
    model.SetCAP1Mode(1);
    model.SetInternalTempEnabled(true);
    model.SetRegsFromConfig();
    int calls = 0;
    QObject::connect(&model, &TMeter::DataReceived,
                     [&](int channel, std::span<const double> values, std::uint32_t ticks) {
                         ++calls;
                         EXPECT_EQ(channel, 3);
                         ASSERT_EQ(values.size(), 2u);
                         EXPECT_EQ(values[0], 0.5);
                         EXPECT_EQ(values[1], 25.0);
                         EXPECT_EQ(ticks, 65u);
                     });
    QCoreApplication::postEvent(&model,
                                new TSampleEvent("008FA00080C8000000000000000000000000000041"));
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(model.Values(0), 0.5);
    EXPECT_EQ(model.Values(1), 25.0);
}

// Fast mode's records hold one conversion whatever the noise reduction; a record acquired
// before the noise reduction changed holds the repeats of its time. Each is decoded by what it
// holds, instead of failing as too short or reading its elapsed time from the data.
TEST(MeterTest, RecordsAreDecodedWithTheRepeatsTheyCarry) {
    TModel m;
    TMeter& model = m.Model;
    model.SetCAP1Mode(1);
    model.SetRegsFromConfig();
    QSignalSpy errors(&model, &TMeter::ErrorOccurred);
    std::vector<std::pair<double, std::uint32_t>> received;
    QObject::connect(&model, &TMeter::DataReceived,
                     [&](int, std::span<const double> values, std::uint32_t ticks) {
                         received.emplace_back(values[0], ticks);
                     });
    // CAP1 code 0x8FA000: 0.5 pF. One repeat, 0x41 ms; three repeats, 0x42 ms.
    const std::string repeat = "8FA000"
                               "000000"
                               "000000"
                               "000000";
    model.SetNoiseReduction(1); // "2 of 3"
    model.DecodeSampleRecord("00" + repeat + "0000000000000041");
    model.SetNoiseReduction(0);
    model.DecodeSampleRecord("00" + repeat + repeat + repeat + "0000000000000042");
    EXPECT_EQ(errors.count(), 0);
    EXPECT_EQ(received, (std::vector<std::pair<double, std::uint32_t>>{{0.5, 0x41}, {0.5, 0x42}}));
}

TEST(MeterTest, MalformedRecordsAreReportedOncePerRun) {
    TModel m;
    TMeter& model = m.Model;
    model.SetCAP1Mode(1);
    model.SetRegsFromConfig();
    model.SetValues(0, 7.0);
    QSignalSpy errors(&model, &TMeter::ErrorOccurred);
    int calls = 0;
    QObject::connect(&model, &TMeter::DataReceived, [&] { ++calls; });
    for (int i = 0; i < 3; ++i)
        model.DecodeSampleRecord("00XYZ");
    EXPECT_EQ(errors.count(), 1);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(model.Values(0), 7.0) << "nothing changed";
    model.StartMes();
    model.DecodeSampleRecord("00XYZ");
    EXPECT_EQ(errors.count(), 2);
}

} // namespace

namespace {

class MeterSectionTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    QString FileName = Dir.filePath(QStringLiteral("Settings.ini"));
    TModel M;

    void Write(const QByteArray& text) {
        QFile file(FileName);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
};

TEST_F(MeterSectionTest, WrittenAndReadBackRestoresEverySettingAndByteExactly) {
    TMeter& model = M.Model;
    const int values[] = {2, 1, 17, 3, 1, 0, 127, 128, 3, -3, 2, 47000};
    model.SetCAP1Mode(values[0]);
    model.SetCAPDAC1Mode(values[1]);
    model.SetCAPDAC1A(values[2]);
    model.SetCAPDAC1B(values[3]);
    model.SetCAP2Mode(values[4]);
    model.SetCAPDAC2Mode(values[5]);
    model.SetCAPDAC2A(values[6]);
    model.SetCAPDAC2B(values[7]);
    model.SetExcitationVoltage(values[8]);
    model.SetCAP1Target(values[9]);
    model.SetCAP2Target(values[10]);
    model.SetReferenceResistor(values[11]);
    model.SetInternalTempEnabled(true);
    model.SetSMode(2);
    TRegData image;
    for (std::size_t n = 0; n < image.size(); ++n)
        image[n] = std::uint8_t(0xF0 + n * 7); // bytes that agree with no configuration
    model.SetRegData(image);
    {
        TIniFile ini(FileName);
        model.SaveToIni(ini);
    }

    TModel other;
    TMeter& loaded = other.Model;
    loaded.LoadFromIni(TIniFile(FileName));
    EXPECT_EQ(loaded.CAP1Mode(), values[0]);
    EXPECT_EQ(loaded.CAPDAC1Mode(), values[1]);
    EXPECT_EQ(loaded.CAPDAC1A(), values[2]);
    EXPECT_EQ(loaded.CAPDAC1B(), values[3]);
    EXPECT_EQ(loaded.CAP2Mode(), values[4]);
    EXPECT_EQ(loaded.CAPDAC2Mode(), values[5]);
    EXPECT_EQ(loaded.CAPDAC2A(), values[6]);
    EXPECT_EQ(loaded.CAPDAC2B(), values[7]);
    EXPECT_EQ(loaded.ExcitationVoltage(), values[8]);
    EXPECT_EQ(loaded.CAP1Target(), values[9]);
    EXPECT_EQ(loaded.CAP2Target(), values[10]);
    EXPECT_EQ(loaded.ReferenceResistor(), values[11]);
    EXPECT_TRUE(loaded.InternalTempEnabled());
    EXPECT_FALSE(loaded.ExternalResistorEnabled());
    EXPECT_EQ(loaded.SMode(), 2);
    EXPECT_EQ(loaded.RegData(), image);
    EXPECT_EQ(loaded.ValueCount(), 0) << "what the image measures, whatever the flags say";

    // The keys in the order they are written.
    QFile file(FileName);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    EXPECT_EQ(lines.at(0), "[TEST1]");
    EXPECT_EQ(lines.at(1), "SMode=2");
    EXPECT_EQ(lines.at(2), "CAP1Mode=2");
    EXPECT_EQ(lines.at(11), "InternalTempEnabled=1");
    EXPECT_EQ(lines.at(15), "ReferenceResistor=47000");
    EXPECT_EQ(lines.at(16), "Reg0=240");
    EXPECT_EQ(lines.at(38), "Reg22=138");
}

TEST_F(MeterSectionTest, ValuesAreTakenAsTheyStandOrFallBack) {
    TMeter& model = M.Model;
    model.SetCAP1Mode(1);
    model.SetCAPDAC1A(9);
    model.SetInternalTempEnabled(true);
    model.SetSMode(2);
    TRegData image{};
    image[3] = 0x33;
    model.SetRegData(image);
    Write("[test1]\nReg7=384\nReg8=-1\nReg9=0x1FF\nReferenceResistor=0\nCAP2Mode=2\n"
          "InternalTempEnabled=7\nCAPDAC1A=abc\n");
    model.LoadFromIni(TIniFile(FileName));
    const TRegData loaded = model.RegData();
    EXPECT_EQ(loaded[7], 128);
    EXPECT_EQ(loaded[8], 255);
    EXPECT_EQ(loaded[9], 255);
    EXPECT_EQ(loaded[3], 0x33) << "a missing byte keeps its value";
    EXPECT_EQ(model.ReferenceResistor(), 1);
    EXPECT_EQ(model.CAPDAC1A(), 9) << "no valid integer: the current value";
    EXPECT_TRUE(model.InternalTempEnabled());
    EXPECT_EQ(model.SMode(), 1) << "SMode defaults to 1";
    EXPECT_EQ(model.ValueCount(), 2) << "channel 1 and the VT conversion of the image";
}

TEST_F(MeterSectionTest, MissingSectionKeepsSettingsButResetsSModeAndCountsValues) {
    TMeter& model = M.Model;
    model.SetCAP1Mode(1);
    model.SetExternalResistorEnabled(true);
    model.SetSMode(0);
    TRegData image{};
    image[7] = 0x80;
    model.SetRegData(image);
    Write("[OTHER]\nCAP1Mode=0\n");
    model.LoadFromIni(TIniFile(FileName));
    EXPECT_EQ(model.CAP1Mode(), 1);
    EXPECT_EQ(model.RegData(), image);
    EXPECT_EQ(model.SMode(), 1);
    EXPECT_EQ(model.ValueCount(), 1) << "the image measures channel 1 alone";
}

} // namespace
