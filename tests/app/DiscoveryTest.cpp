#include "app/MainWindow.h"
#include "app/Program.h"
#include "link/hid/VirtualHidBus.h"
#include "model/IniFile.h"
#include "model/Meter.h"
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

// A meter the user may not open is listed with how to fix it, and its line explains when
// clicked; once plugged in again with access it is listed like the others. Which meters are set
// up is tested on the meter set without a window.
TEST_F(DiscoveryTest, MeterWithoutAccessIsListedWithTheFix) {
    Plug(QStringLiteral("M1"));
    const auto locked = std::make_shared<TVirtualMeter>(QStringLiteral("M2"));
    Bus.Plug(locked, false);
    Start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form->Settings->MeterList->count() == 2; }, 5000));
    EXPECT_EQ(Lines(), QStringList({"M1", "M2 (no access)"}));
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
