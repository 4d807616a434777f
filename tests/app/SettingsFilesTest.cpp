#include "app/MainWindow.h"
#include "app/Program.h"
#include "link/hid/VirtualHidBus.h"
#include "model/IniFile.h"
#include "model/Meter.h"
#include "sim/VirtualMeter.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/support/TextFiles.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// The real window on a virtual bus with two meters; "Save..." and "Load..." get their file
// names from the scripted prompts.
class SettingsFilesTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    QString IniName = Dir.filePath(QStringLiteral("Settings.ini"));
    QString Saved = Dir.filePath(QStringLiteral("saved.bin"));
    TScriptedPrompts Prompts;
    TVirtualHidBus Bus;
    std::unique_ptr<TProgram> Program;
    TMainWindow* Form = nullptr;

    void SetUp() override {
        // The program settings file knows M1 with channel 1 on.
        {
            TIniFile ini(IniName);
            ini.WriteInteger(QStringLiteral("M1"), QStringLiteral("CAP1Mode"), 1);
            ini.WriteInteger(QStringLiteral("M1"), QStringLiteral("Reg7"), 0x80);
        }
        for (const char* serial : {"M1", "M2"})
            Bus.Plug(std::make_shared<TVirtualMeter>(QLatin1String(serial)));
        Program = std::make_unique<TProgram>(Bus, IniName);
        Form = &Program->Window();
        ASSERT_TRUE(QTest::qWaitFor([&] { return Form->MeterSet().Meters().size() == 2; }, 5000));
    }
    TMeter& Meter(int i) { return *Form->MeterSet().Meters()[std::size_t(i)]; }
};

TEST_F(SettingsFilesTest, SaveWritesItsKeysAndKeepsWhatItLeavesOut) {
    WriteAll(Saved, "[Measurement]\r\nFastMode=1\r\nNoiseReduction=2\r\n[Other]\r\nKey=kept\r\n");
    Form->Settings->MaxPointSE->setValue(1234);
    Meter(1).SetCAP2Mode(2);
    Meter(1).SetRegsFromConfig();

    // No keeps the file as it was.
    Prompts.Files = {Saved};
    Prompts.Answers = {false};
    Form->SaveSettingsClick();
    ASSERT_EQ(Prompts.Questions.size(), 1);
    EXPECT_TRUE(Prompts.Questions[0].startsWith(QStringLiteral("Confirm: File ")));
    EXPECT_TRUE(Prompts.Questions[0].contains(QStringLiteral("saved.bin")));
    EXPECT_FALSE(ReadAll(Saved).contains("MaxPoints"));

    Prompts.Files = {Saved};
    Prompts.Answers = {true};
    Form->SaveSettingsClick();
    EXPECT_TRUE(Prompts.Errors.isEmpty()) << Prompts.Errors.join(u'\n').toStdString();
    const TIniFile saved(Saved);
    EXPECT_EQ(saved.ReadInteger(QStringLiteral("Graph"), QStringLiteral("MaxPoints"), 0), 1234);
    EXPECT_EQ(saved.ReadInteger(QStringLiteral("Measurement"), QStringLiteral("FastMode"), 0), 1);
    EXPECT_EQ(saved.ReadInteger(QStringLiteral("Measurement"), QStringLiteral("NoiseReduction"), 0),
              2);
    EXPECT_EQ(saved.ReadString(QStringLiteral("Other"), QStringLiteral("Key"), {}),
              QStringLiteral("kept"));
    EXPECT_EQ(saved.ReadInteger(QStringLiteral("M2"), QStringLiteral("CAP2Mode"), 0), 2);
    EXPECT_EQ(saved.ReadInteger(QStringLiteral("M2"), QStringLiteral("Reg19"), 0),
              Meter(1).RegData()[19]);
    EXPECT_EQ(saved.ReadInteger(QStringLiteral("M1"), QStringLiteral("Reg7"), 0), 0x80);
}

TEST_F(SettingsFilesTest, LoadSetsProgramKeysAndConnectedMetersAndRebuildsTheCharts) {
    WriteAll(Saved, "[Measurement]\r\nInterval=250\r\nFastMode=1\r\nLogfile=/tmp/x.txt\r\n"
                    "[M2]\r\nSMode=2\r\nCAP1Mode=1\r\nCAP2Mode=1\r\nInternalTempEnabled=1\r\n"
                    "Reg7=128\r\nReg8=129\r\nReg19=192\r\n[M9]\r\nCAP1Mode=2\r\n");
    Form->Settings->MaxPointSE->setValue(1234);
    const TRegData m1Image = Meter(0).RegData();
    Meter(0).SetSMode(0);
    Form->Run().SetPoints(17, Form->Run().ActTickPoint());

    Prompts.Files = {Saved};
    Form->LoadSettingsClick();
    EXPECT_TRUE(Prompts.Errors.isEmpty()) << Prompts.Errors.join(u'\n').toStdString();
    EXPECT_EQ(Form->Settings->IntervalSE->value(), 250);
    EXPECT_EQ(Form->Settings->MaxPointSE->value(), 500)
        << "a key missing from the file takes its default";
    EXPECT_FALSE(Form->Settings->FastModeCB->isChecked()) << "loading leaves fast mode alone";
    EXPECT_EQ(Form->Settings->FilenameEd->text(), QStringLiteral("/tmp/x.txt"));
    EXPECT_EQ(Form->Run().LogFileName(), QStringLiteral("/tmp/x.txt"));
    EXPECT_EQ(Form->Run().ActPoint(), 0);

    EXPECT_EQ(Meter(1).SMode(), 2);
    EXPECT_EQ(Meter(1).ValueCount(), 3);
    // No section for M1: its settings stay, its SMode becomes 1, its value count is recounted.
    EXPECT_EQ(Meter(0).RegData(), m1Image);
    EXPECT_EQ(Meter(0).SMode(), 1);
    EXPECT_EQ(Meter(0).ValueCount(), 1);
    // The charts follow: CAP1 of both meters and CAP2 and the temperature of M2.
    EXPECT_EQ(Form->ChartArea->CapacitanceChart->graphCount(), 3);
    EXPECT_EQ(Form->ChartArea->TemperatureChart->graphCount(), 1);

    // A device change rebuilds every meter from the program settings file.
    Bus.Plug(std::make_shared<TVirtualMeter>(QStringLiteral("M3")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form->MeterSet().Meters().size() == 3; }, 5000));
    EXPECT_EQ(Meter(1).CAP2Mode(), 0);
    EXPECT_FALSE(Meter(1).InternalTempEnabled());
    EXPECT_EQ(Form->ChartArea->TemperatureChart->graphCount(), 0);
}

TEST_F(SettingsFilesTest, LoadDoesNothingForAMissingFileAndIsRefusedDuringARun) {
    Form->Settings->MaxPointSE->setValue(1234);
    Prompts.Files = {Dir.filePath(QStringLiteral("none.bin"))};
    Form->LoadSettingsClick();
    EXPECT_EQ(Form->Settings->MaxPointSE->value(), 1234);
    EXPECT_TRUE(Prompts.Errors.isEmpty());

    WriteAll(Saved, "[Graph]\r\nMaxPoints=7\r\n");
    Form->Settings->FilenameEd->setText(Dir.filePath(QStringLiteral("run.txt")));
    Form->Run().SetLogFileName(Form->Settings->FilenameEd->text());
    Form->StartBtnClick();
    ASSERT_TRUE(Form->Run().Running());
    Prompts.Files = {Saved};
    Form->LoadSettingsClick();
    Form->StopBtnClick();
    EXPECT_EQ(Form->Settings->MaxPointSE->value(), 1234);
    ASSERT_EQ(Prompts.Errors.size(), 1);
    EXPECT_TRUE(Prompts.Errors[0].contains(QStringLiteral("during a measurement")));
    EXPECT_TRUE(Prompts.DialogTitles.count(QStringLiteral("Open Settings")) == 1)
        << "no file dialog while refused";
}

} // namespace
