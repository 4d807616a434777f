#include "app/MainWindow.h"
#include "app/Program.h"
#include "link/hid/VirtualHidBus.h"
#include "model/IniFile.h"
#include "model/Meter.h"
#include "sim/ForeignHidDevice.h"
#include "sim/VirtualMeter.h"
#include "tests/support/ScriptedPrompts.h"

#include <QListWidget>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// The real window on a virtual bus; meters are plugged in before or after it starts.
class DiscoveryTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    QString IniName = Dir.filePath(QStringLiteral("Settings.ini"));
    TScriptedPrompts Prompts;
    TVirtualHidBus Bus;
    std::unique_ptr<TProgram> Program;
    TMainWindow* Form = nullptr;

    std::shared_ptr<TVirtualMeter> Plug(const QString& serial) {
        auto meter = std::make_shared<TVirtualMeter>(serial);
        Bus.Plug(meter);
        return meter;
    }
    void Start() {
        Program = std::make_unique<TProgram>(Bus, IniName);
        Form = &Program->Window();
    }
    // Waits until discovery has run with this many meters.
    bool Meters(std::size_t count) {
        return QTest::qWaitFor(
            [&] {
                return Form->MeterSet().Meters().size() == count &&
                       Form->Settings->MeterList->count() == int(count);
            },
            5000);
    }
    QStringList Lines() const {
        QStringList lines;
        for (int i = 0; i < Form->Settings->MeterList->count(); ++i)
            lines << Form->Settings->MeterList->item(i)->text();
        return lines;
    }
};

TEST_F(DiscoveryTest, OnlyTheExactProductStringMakesAMeter) {
    Plug(QStringLiteral("M1"));
    for (const char* product : {"corvane v2", "Corvane v2 ", " Corvane v2", "Corvane  v2"})
        Bus.Plug(std::make_shared<TForeignHidDevice>(QLatin1String(product), QStringLiteral("F")));
    Plug(QStringLiteral("M2"));
    Start();
    ASSERT_TRUE(Meters(2));
    EXPECT_EQ(Lines(), QStringList({"M1", "M2"}));
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(Form->MeterSet().Meters()[std::size_t(i)]->Channel(), i);
}

TEST_F(DiscoveryTest, EveryChangeRebuildsEveryMeterFromTheSettingsFile) {
    Plug(QStringLiteral("M1"));
    {
        TIniFile ini(IniName);
        ini.WriteInteger(QStringLiteral("M1"), QStringLiteral("CAP1Mode"), 1);
    }
    Start();
    ASSERT_TRUE(Meters(1));
    TMeter* first = Form->MeterSet().Meters()[0];
    EXPECT_EQ(first->CAP1Mode(), 1);
    first->SetCAP1Mode(2); // changed in memory only

    // A foreign device arrives: the meter is built anew and reads the file again.
    {
        TIniFile ini(IniName);
        ini.WriteInteger(QStringLiteral("M1"), QStringLiteral("CAP2Mode"), 2);
    }
    const auto keyboard = std::make_shared<TForeignHidDevice>();
    Bus.Plug(keyboard);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return !Form->MeterSet().Meters().empty() &&
                   Form->MeterSet().Meters()[0]->CAP2Mode() == 2;
        },
        5000));
    EXPECT_EQ(Form->MeterSet().Meters()[0]->CAP1Mode(), 1);
    EXPECT_EQ(keyboard->ReportsReceived(), 0) << "a foreign device is left alone";

    const auto second = Plug(QStringLiteral("M2"));
    ASSERT_TRUE(Meters(2));
    Bus.Unplug(second);
    ASSERT_TRUE(Meters(1));
    EXPECT_EQ(Lines(), QStringList({"M1"}));
}

TEST_F(DiscoveryTest, MeterErrorsShowInItsLineAndTheStatusBar) {
    const auto meter = Plug(QStringLiteral("M1"));
    Start();
    ASSERT_TRUE(Meters(1));
    TMeter* model = Form->MeterSet().Meters()[0];
    model->SetCAP1Mode(1);
    model->SetRegsFromConfig();
    model->StartMes();
    meter->SetTransfersFailing(true);
    model->TriggerMeasurement();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Form->Settings->MeterList->item(0)->text() == QLatin1String("M1 (error)"); },
        5000));
    EXPECT_TRUE(Form->statusBar()->currentMessage().contains(QLatin1String("M1")));
    EXPECT_FALSE(Form->Settings->MeterList->item(0)->toolTip().isEmpty());
}

// A meter the user may not open is listed with how to fix it, not left out; once plugged in
// again with access it is a meter like the others.
TEST_F(DiscoveryTest, MeterWithoutAccessIsListedWithTheFix) {
    Plug(QStringLiteral("M1"));
    const auto locked = std::make_shared<TVirtualMeter>(QStringLiteral("M2"));
    Bus.Plug(locked, false);
    Start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form->Settings->MeterList->count() == 2; }, 5000));
    EXPECT_EQ(Lines(), QStringList({"M1", "M2 (no access)"}));
    ASSERT_EQ(Form->MeterSet().Meters().size(), 1u);
    EXPECT_EQ(Form->MeterSet().Meters()[0]->SerNum(), QLatin1String("M1"));
    EXPECT_TRUE(Prompts.Errors.isEmpty()) << "listed, not an error box at every change";
    EXPECT_TRUE(Form->statusBar()->currentMessage().contains(QLatin1String("without access")));
    const QString fix = Form->Settings->MeterList->item(1)->toolTip();
    EXPECT_TRUE(fix.contains(QLatin1String("permission denied"))) << fix.toStdString();
    EXPECT_TRUE(fix.contains(QLatin1String("udevadm control --reload-rules")));

    // Its line explains, whether clicked or double-clicked; the meter's line still opens its
    // dialogs (not tested here).
    Form->Settings->MeterList->setCurrentRow(1);
    Form->MeterListClick();
    Form->MeterListDblClick();
    EXPECT_EQ(Prompts.Errors, QStringList({fix, fix}));

    Bus.Unplug(locked);
    ASSERT_TRUE(Meters(1));
    Bus.Plug(locked);
    ASSERT_TRUE(Meters(2));
    EXPECT_EQ(Lines(), QStringList({"M1", "M2"}));
}

TEST_F(DiscoveryTest, ShutdownWritesEveryMeterSection) {
    Plug(QStringLiteral("M1"));
    Plug(QStringLiteral("M2"));
    Start();
    ASSERT_TRUE(Meters(2));
    Form->MeterSet().Meters()[1]->SetCAP2Mode(2);
    Form = nullptr;
    Program.reset();
    const TIniFile ini(IniName);
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("M2"), QStringLiteral("CAP2Mode"), -1), 2);
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("M1"), QStringLiteral("SMode"), -1), 1);
}

} // namespace
