#include "app/MainWindow.h"
#include "app/Program.h"
#include "link/hid/VirtualHidBus.h"
#include "model/IniFile.h"
#include "sim/VirtualMeter.h"
#include "tests/support/CoreRun.h"
#include "tests/support/MeterSettings.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/support/TextFiles.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>

namespace {

using namespace std::chrono_literals;

// The real window on a virtual bus with meters whose channel 1 and temperature are on (62.0
// and 62.1 ms conversions).
class RunTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    QString IniName = Dir.filePath(QStringLiteral("Settings.ini"));
    QString LogName = Dir.filePath(QStringLiteral("run.txt"));
    TScriptedPrompts Prompts;
    TVirtualHidBus Bus;
    std::vector<std::shared_ptr<TVirtualMeter>> Meters;
    std::unique_ptr<TProgram> Program;
    TMainWindow* Form = nullptr;

    // temperature false: channel 1 alone.
    void Start(int meters, bool temperature = true) {
        {
            TIniFile ini(IniName);
            ini.WriteString(QStringLiteral("Measurement"), QStringLiteral("Logfile"), LogName);
            for (int i = 0; i < meters; ++i)
                WriteCap1MeterSettings(ini, TRunMeters::Serial(i), temperature, 0xA0);
        }
        Meters = TRunMeters::PlugMeters(Bus, meters);
        Program = std::make_unique<TProgram>(Bus, IniName);
        Form = &Program->Window();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return Form->MeterSet().Meters().size() == std::size_t(meters); }, 5000));
    }
    void RunFor(std::chrono::milliseconds time) { QTest::qWait(int(time.count())); }
};

// What the window does with a run; what the run writes is tested on the core without a window.
// During a run the run's controls are locked, the title names the log, and a short interval's
// warning shows.
TEST_F(RunTest, RunLocksTheControlsAndNamesTheLogInTheTitle) {
    Start(2);
    Form->Settings->IntervalSE->setValue(100); // shorter than M1's 194 ms
    Form->StartBtnClick();
    ASSERT_TRUE(Form->Run().Running());
    EXPECT_EQ(Form->windowTitle(), QStringLiteral("DieloMeter - run.txt"));
    EXPECT_FALSE(Form->Settings->StartBtn->isEnabled() || Form->Settings->FastModeCB->isEnabled());
    const QString warning = QStringLiteral("The interval of 100 ms is shorter than the 194 ms");
    EXPECT_TRUE(Form->statusBar()->currentMessage().startsWith(warning));
    EXPECT_TRUE(Form->Settings->IntervalSE->toolTip().contains(warning));
    Form->StopBtnClick();
    EXPECT_FALSE(Form->Run().Running());
    EXPECT_TRUE(Form->Settings->StartBtn->isEnabled() && Form->Settings->FastModeCB->isEnabled());
    EXPECT_FALSE(Form->Settings->IntervalSE->toolTip().contains(warning))
        << "a stopped run warns no more";
}

// A new run draws after the last one's points, whatever the modes: the x values never go
// back.
TEST_F(RunTest, ANewRunContinuesAfterTheLastRunsPoints) {
    Start(1, /*temperature=*/false);
    Form->Settings->IntervalSE->setValue(100);
    for (const bool fast : {false, true, false}) {
        Form->Settings->FastModeCB->setChecked(fast);
        Form->StartBtnClick();
        ASSERT_TRUE(Form->Run().Running());
        RunFor(400ms);
        Form->StopBtnClick();
        // The next run starts once the meter has ended this one, as a user's next Start does.
        ASSERT_TRUE(QTest::qWaitFor([&] { return !Meters[0]->LedOn(); }, 5000));
        RunFor(50ms);
        QFile::remove(LogName);
    }
    const auto drawn = Form->ChartArea->Series().Series(0, EChartQuantity::Cap1)->data();
    ASSERT_GE(drawn->size(), 10);
    double last = 0;
    for (auto point = drawn->constBegin(); point != drawn->constEnd(); ++point) {
        EXPECT_GT(point->key, last);
        last = point->key;
    }
}

TEST_F(RunTest, StartAsksForTheFileAndBeforeReplacingIt) {
    Start(0);
    Form->Run().SetLogFileName(QString());
    Form->StartBtnClick(); // the dialog is cancelled
    EXPECT_FALSE(Form->Run().Running());
    EXPECT_EQ(Prompts.DialogTitles, QStringList(QStringLiteral("Set Logfile")));

    Prompts.Files = {LogName};
    Form->StartBtnClick();
    ASSERT_TRUE(Form->Run().Running());
    Form->StopBtnClick();

    // Start, Stop, Start on the same file asks again; No keeps the file.
    const QList<QByteArray> first = ReadLines(LogName);
    Prompts.Answers = {false};
    Form->StartBtnClick();
    EXPECT_FALSE(Form->Run().Running());
    EXPECT_EQ(ReadLines(LogName), first);
    ASSERT_EQ(Prompts.Questions.size(), 1);
    EXPECT_TRUE(Prompts.Questions[0].startsWith(QStringLiteral("Confirm: File ")));
    EXPECT_TRUE(Prompts.Questions[0].endsWith(
        QStringLiteral(" already exists. Do you want to replace it?")));
    Prompts.Answers = {true};
    Form->StartBtnClick();
    EXPECT_TRUE(Form->Run().Running());
    Form->StopBtnClick();
}

TEST_F(RunTest, ClosingTheWindowDuringARunAsksThenStopsItFirst) {
    Start(1);
    Form->Settings->FastModeCB->setChecked(true);
    Form->StartBtnClick();
    RunFor(400ms);
    Prompts.Answers = {false, true};
    EXPECT_FALSE(Form->close()) << "No: the run goes on";
    EXPECT_TRUE(Form->Run().Running());
    EXPECT_TRUE(Form->close());
    EXPECT_EQ(
        Prompts.Questions,
        QStringList(2, QStringLiteral("Confirm: A measurement is running. Stop it and quit?")));
    EXPECT_FALSE(Form->Run().Running());
    const QList<QByteArray> lines = ReadLines(LogName);
    bool ok = false;
    lines.last().toInt(&ok);
    EXPECT_TRUE(ok) << "the log ends with a complete block";
}

} // namespace
