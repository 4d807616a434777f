#include "app/MainWindow.h"

#include "app/Program.h"
#include "link/hid/VirtualHidBus.h"
#include "model/IniFile.h"
#include "model/ThreadingSettings.h"
#include "sim/VirtualMeter.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/support/TextFiles.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QSplitter>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace {

class MainWindowTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    QString IniName = Dir.filePath(QStringLiteral("Settings.ini"));
    TScriptedPrompts Prompts;
    TVirtualHidBus Bus;

    // The program as the user starts it; -> reaches its window.
    struct TStarted {
        std::unique_ptr<TProgram> Program;
        TMainWindow* operator->() const { return &Program->Window(); }
        TMainWindow& operator*() const { return Program->Window(); }
        TMainWindow* get() const { return &Program->Window(); }
        void reset() { Program.reset(); }
    };
    TStarted Create() { return {std::make_unique<TProgram>(Bus, IniName)}; }
};

TEST_F(MainWindowTest, FirstStartShowsDefaultsAndShutdownWritesEveryKey) {
    auto form = Create();
    EXPECT_EQ(form->Settings->IntervalSE->value(), 1000);
    EXPECT_EQ(form->Settings->MaxPointSE->value(), 500);
    EXPECT_EQ(form->Settings->BaudRateSE->value(), 10000);
    EXPECT_EQ(form->Settings->LatencySE->value(), 2);
    EXPECT_EQ(form->Settings->TriggerWaitSE->value(), 1000);
    EXPECT_EQ(Threading().ThreadSafetyLevel, 2);
    EXPECT_EQ(Threading().TriggerWait, 1000);
    EXPECT_FALSE(Threading().Serial);
    for (QComboBox* list :
         {form->Settings->IntModeCB, form->Settings->FastModeIntervalCB, form->Settings->NoiseCB})
        EXPECT_EQ(list->currentIndex(), 0) << list->objectName().toStdString();
    EXPECT_FALSE(form->Settings->FastModeCB->isChecked());
    EXPECT_FALSE(form->Settings->ThreadSerialModeCB->isChecked());
    EXPECT_TRUE(form->Settings->FilenameEd->text().isEmpty());
    EXPECT_EQ(form->Run().TickTimer().interval(), 1000);
    EXPECT_EQ(form->Run().ActPoint(), 0);
    EXPECT_FALSE(QFile::exists(IniName));

    form.reset();
    EXPECT_EQ(ReadAll(IniName), QByteArray("[Interface]\n"
                                           "Mode=0\n"
                                           "Baudrate=10000\n"
                                           "Latency=2\n"
                                           "[Graph]\n"
                                           "MaxPoints=500\n"
                                           "[Measurement]\n"
                                           "Interval=1000\n"
                                           "FastMode=0\n"
                                           "FastModeInterval=0\n"
                                           "Logfile=\n"
                                           "NoiseReduction=0\n"
                                           "[Threading]\n"
                                           "ThreadSafetyLevel=2\n"
                                           "Serial=0\n"
                                           "TriggerWait=1000\n"));
    EXPECT_TRUE(Prompts.Errors.isEmpty());
}

// A value in the file, what the window makes of it, and what shutdown writes back.
QString ProgramKeyName(const QString& name) {
    for (const TProgramKey& key : ProgramKeys)
        if (name.compare(QLatin1String(key.Name), Qt::CaseInsensitive) == 0)
            return QLatin1String(key.Name);
    return name;
}

struct StoredKeyCase {
    const char* Section;
    const char* Key;
    const char* Stored;
    int Shown;
    const char* Written;

    friend void PrintTo(const StoredKeyCase& c, std::ostream* os) {
        *os << c.Section << "/" << c.Key << "=" << c.Stored;
    }
};

class StoredKeyTest : public MainWindowTest, public testing::WithParamInterface<StoredKeyCase> {
protected:
    static int Shown(const TMainWindow& form, const QString& name) {
        // Names in the file may come in any case.
        const QString key = ProgramKeyName(name);
        if (key == QLatin1String("Interval"))
            return form.Settings->IntervalSE->value();
        if (key == QLatin1String("Latency"))
            return form.Settings->LatencySE->value();
        if (key == QLatin1String("Baudrate"))
            return form.Settings->BaudRateSE->value();
        if (key == QLatin1String("MaxPoints"))
            return form.Settings->MaxPointSE->value();
        if (key == QLatin1String("FastMode"))
            return form.Settings->FastModeCB->isChecked();
        if (key == QLatin1String("Serial"))
            return form.Settings->ThreadSerialModeCB->isChecked() && Threading().Serial;
        if (key == QLatin1String("NoiseReduction"))
            return form.Settings->NoiseCB->currentIndex();
        if (key == QLatin1String("Mode"))
            return form.Settings->IntModeCB->currentIndex();
        if (key == QLatin1String("FastModeInterval"))
            return form.Settings->FastModeIntervalCB->currentIndex();
        if (key == QLatin1String("TriggerWait")) {
            EXPECT_EQ(form.Settings->TriggerWaitSE->value(), Threading().TriggerWait.load());
            return Threading().TriggerWait;
        }
        if (key == QLatin1String("ThreadSafetyLevel"))
            return Threading().ThreadSafetyLevel;
        ADD_FAILURE() << "no control for " << key.toStdString();
        return 0;
    }
};

TEST_P(StoredKeyTest, IsShownClampedAndWrittenBack) {
    const StoredKeyCase& c = GetParam();
    WriteAll(IniName, QByteArray("[") + c.Section + "]\r\n" + c.Key + "=" + c.Stored + "\r\n");
    auto form = Create();
    EXPECT_EQ(Shown(*form, QLatin1String(c.Key)), c.Shown);
    form.reset();
    EXPECT_EQ(TIniFile(IniName).ReadString(QLatin1String(c.Section), QLatin1String(c.Key), {}),
              QLatin1String(c.Written));
}

INSTANTIATE_TEST_SUITE_P(
    Keys, StoredKeyTest,
    testing::Values(StoredKeyCase{"Measurement", "Interval", "5", 10, "10"},
                    StoredKeyCase{"Measurement", "Interval", "99999", 30000, "30000"},
                    StoredKeyCase{"Interface", "Latency", "0x10", 16, "16"},
                    StoredKeyCase{"Interface", "Latency", "abc", 2, "2"},
                    StoredKeyCase{"Interface", "Baudrate", "$7A120", 400000, "400000"},
                    StoredKeyCase{"Interface", "Mode", "2", 2, "2"},
                    StoredKeyCase{"Graph", "MaxPoints", "-3", 0, "0"},
                    StoredKeyCase{"Measurement", "FastMode", "2", 1, "1"},
                    StoredKeyCase{"Measurement", "FastModeInterval", "7", 7, "7"},
                    StoredKeyCase{"Measurement", "NoiseReduction", "7", -1, "-1"},
                    StoredKeyCase{"Threading", "Serial", "1", 1, "1"},
                    StoredKeyCase{"Threading", "TriggerWait", "100000", 100000, "100000"},
                    StoredKeyCase{"Threading", "TriggerWait", "-20", -20, "-20"},
                    StoredKeyCase{"threading", "threadsafetylevel", "3", 3, "3"}));

TEST_F(MainWindowTest, StoredFastModeShowsConversionTimesInPlaceOfInterval) {
    WriteAll(IniName, "[Measurement]\nFastMode=1\nFastModeInterval=3\nInterval=2000\n");
    auto form = Create();
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    EXPECT_TRUE(form->Settings->FastModeIntervalCB->isVisible());
    EXPECT_FALSE(form->Settings->IntervalSE->isVisible());
    EXPECT_EQ(form->Settings->FastModeIntervalCB->currentText(), QStringLiteral("38.0"));
    EXPECT_EQ(form->Run().TickTimer().interval(), 250);

    form->Settings->FastModeCB->click();
    EXPECT_FALSE(form->Settings->FastModeIntervalCB->isVisible());
    EXPECT_TRUE(form->Settings->IntervalSE->isVisible());
}

TEST_F(MainWindowTest, ChoosingALogFileOnlyChangesTheShownName) {
    const QString logName = Dir.filePath(QStringLiteral("run.txt"));
    WriteAll(logName, "earlier run\n");
    WriteAll(IniName, "[Measurement]\nLogfile=/data/old.txt\n");
    auto form = Create();
    EXPECT_EQ(form->Run().LogFileName(), QStringLiteral("/data/old.txt"));

    Prompts.Files = {QString(), logName, Dir.filePath(QStringLiteral("other.txt"))};
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    QTest::mouseClick(form->Settings->FilenameEd, Qt::LeftButton);
    EXPECT_EQ(form->Settings->FilenameEd->text(), QStringLiteral("/data/old.txt")) << "cancelled";
    QTest::mouseClick(form->Settings->FilenameEd, Qt::LeftButton);
    EXPECT_EQ(form->Settings->FilenameEd->text(), logName);
    EXPECT_EQ(form->Run().LogFileName(), logName);
    EXPECT_EQ(ReadAll(logName), QByteArray("earlier run\n"));

    form->SetLogFileAction->trigger();
    EXPECT_EQ(form->Settings->FilenameEd->text(), Dir.filePath(QStringLiteral("other.txt")));
    EXPECT_FALSE(QFile::exists(Dir.filePath(QStringLiteral("other.txt"))));
    EXPECT_EQ(Prompts.DialogTitles, QStringList(3, QStringLiteral("Set Logfile")));
}

TEST_F(MainWindowTest, LayoutAndMenusStartAsDescribed) {
    // A meter that fills every chart but the timing one.
    {
        TIniFile ini(IniName);
        ini.WriteInteger(QStringLiteral("M1"), QStringLiteral("Reg7"), 0x80);
        ini.WriteInteger(QStringLiteral("M1"), QStringLiteral("Reg8"), 0x81);
        ini.WriteInteger(QStringLiteral("M1"), QStringLiteral("Reg20"), 0xF1);
        ini.WriteBool(QStringLiteral("M1"), QStringLiteral("InternalTempEnabled"), true);
        ini.WriteBool(QStringLiteral("M1"), QStringLiteral("ExternalResistorEnabled"), true);
    }
    Bus.Plug(std::make_shared<TVirtualMeter>(QStringLiteral("M1")));
    auto form = Create();
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->MeterSet().Meters().size() == 1; }, 5000));
    QTest::qWait(100);
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Dielo Meter 5.2"));
    EXPECT_EQ(form->Settings->height(), 121);
    EXPECT_EQ(form->ChartArea->LowerPanel()->height(), 267);
    EXPECT_EQ(form->ChartArea->ResistanceChart->height(), 147);
    EXPECT_FALSE(form->ChartArea->TimingChart->isVisible());
    for (QWidget* chart : {form->ChartArea->CapacitanceChart, form->ChartArea->TemperatureChart,
                           form->ChartArea->ResistanceChart})
        EXPECT_TRUE(chart->isVisible()) << chart->objectName().toStdString();
    EXPECT_FALSE(
        form->Settings->isTabVisible(form->Settings->indexOf(form->Settings->InterfaceTab)));
    EXPECT_EQ(form->Settings->tabText(0), QStringLiteral("General"));

    EXPECT_TRUE(form->Settings->StartBtn->isEnabled() && form->StartAction->isEnabled());
    EXPECT_FALSE(form->Settings->StopBtn->isEnabled() || form->StopAction->isEnabled());
    EXPECT_TRUE(form->ShowSettingsAction->isChecked());
    EXPECT_FALSE(form->Run().TickTimer().isActive() || form->Run().TestTimer().isActive());
    EXPECT_EQ(form->Run().TestTimer().interval(), 10000);

    struct SpinCase {
        QSpinBox* Spin;
        int Min, Max, Step;
    };
    for (const SpinCase& c : {SpinCase{form->Settings->IntervalSE, 10, 30000, 250},
                              SpinCase{form->Settings->MaxPointSE, 0, 1000000, 100},
                              SpinCase{form->Settings->BaudRateSE, 1000, 400000, 1000},
                              SpinCase{form->Settings->LatencySE, 1, 16, 1},
                              SpinCase{form->Settings->TriggerWaitSE, INT_MIN, INT_MAX, 100}}) {
        EXPECT_EQ(c.Spin->minimum(), c.Min) << c.Spin->objectName().toStdString();
        EXPECT_EQ(c.Spin->maximum(), c.Max) << c.Spin->objectName().toStdString();
        EXPECT_EQ(c.Spin->singleStep(), c.Step) << c.Spin->objectName().toStdString();
    }
    EXPECT_EQ(form->SaveSettingsDialog.QtNameFilter(), QStringLiteral("Settings (*.bin)"));
    EXPECT_EQ(form->LogFileDialog.QtNameFilter(), QStringLiteral("Text file (*.txt)"));

    form->ShowSettingsAction->trigger();
    EXPECT_FALSE(form->ShowSettingsAction->isChecked());
    EXPECT_FALSE(form->Settings->isVisible());
    form->ShowSettingsAction->trigger();
    EXPECT_TRUE(form->Settings->isVisible());
}

// The window comes back where the user left it: size, place and splitters, through a real
// close and start.
TEST_F(MainWindowTest, PlacementIsRestoredAtTheNextStart) {
    {
        TIniFile ini(IniName);
        ini.WriteInteger(QStringLiteral("M1"), QStringLiteral("Reg7"), 0x80);
        ini.WriteInteger(QStringLiteral("M1"), QStringLiteral("Reg8"), 0x81);
    }
    Bus.Plug(std::make_shared<TVirtualMeter>(QStringLiteral("M1")));
    QList<int> charts;
    {
        auto form = Create();
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        ASSERT_TRUE(QTest::qWaitFor([&] { return form->MeterSet().Meters().size() == 1; }, 5000));
        form->resize(900, 700);
        QTest::qWait(50);
        const int total = form->ChartArea->sizes().value(0) + form->ChartArea->sizes().value(1);
        form->ChartArea->setSizes({total - 200, 200});
        charts = form->ChartArea->sizes();
        form->close();
    }
    auto form = Create();
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->MeterSet().Meters().size() == 1; }, 5000));
    EXPECT_EQ(form->size(), QSize(900, 700));
    EXPECT_EQ(form->ChartArea->sizes(), charts);
}

// The first window fits the screen, whatever its size and scale.
TEST_F(MainWindowTest, FirstWindowFitsTheScreen) {
    auto form = Create();
    const QRect free = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_TRUE(free.contains(form->geometry())) << free.width() << "x" << free.height();
}

TEST_F(MainWindowTest, SettingsChangedInTheWindowAreWrittenAtShutdown) {
    auto form = Create();
    form->Settings->IntervalSE->setValue(2500);
    EXPECT_EQ(form->Run().TickTimer().interval(), 2500);
    form->Settings->TriggerWaitSE->setValue(300);
    form->Settings->ThreadSerialModeCB->setChecked(true);
    EXPECT_EQ(Threading().TriggerWait, 300);
    EXPECT_TRUE(Threading().Serial);
    form.reset();
    const TIniFile ini(IniName);
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("Measurement"), QStringLiteral("Interval"), 0), 2500);
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("Threading"), QStringLiteral("TriggerWait"), 0), 300);
    EXPECT_TRUE(ini.ReadBool(QStringLiteral("Threading"), QStringLiteral("Serial"), false));
}

TEST_F(MainWindowTest, ShutdownKeepsOtherLinesOfTheSettingsFile) {
    WriteAll(IniName, "; written by hand\n[ABC123]\nCAP1Mode=1\n\n[Measurement]\nInterval=500\n");
    Create().reset();
    const QByteArray text = ReadAll(IniName);
    EXPECT_TRUE(text.startsWith("; written by hand\n[ABC123]\nCAP1Mode=1\n\n[Measurement]\n"
                                "Interval=500\nFastMode=0\n"))
        << text.toStdString();
}

TEST_F(MainWindowTest, FailingShutdownWriteIsReportedWithTheFileName) {
    // A folder that is a regular file cannot hold the settings file, not even for root.
    WriteAll(Dir.filePath(QStringLiteral("blocker")), "x");
    IniName = Dir.filePath(QStringLiteral("blocker/Settings.ini"));
    Create().reset();
    EXPECT_EQ(Prompts.Errors, QStringList(QStringLiteral("Unable to write to ") + IniName));
}

} // namespace
