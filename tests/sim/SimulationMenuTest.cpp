#include "sim/SimulationMenu.h"

#include "app/MainWindow.h"
#include "app/Program.h"
#include "link/hid/VirtualHidBus.h"
#include "model/IniFile.h"
#include "model/Meter.h"
#include "sim/Simulation.h"
#include "sim/VirtualMeter.h"
#include "tests/support/ScriptedPrompts.h"

#include <QAction>
#include <QFile>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

// The menu on a virtual bus, with the real window discovering what it plugs in.
class SimulationMenuTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    QString IniName = Dir.filePath(QStringLiteral("Settings.ini"));
    TScriptedPrompts Prompts;
    TVirtualHidBus Bus;
    TProgram Program{Bus, IniName};
    TMainWindow& Form = Program.Window();
    TSimulation Simulation{Bus, IniName};
    TSimulationMenu Menu{Simulation};

    QStringList Lines() const {
        QStringList lines;
        for (int i = 0; i < Form.Settings->MeterList->count(); ++i)
            lines << Form.Settings->MeterList->item(i)->text();
        return lines;
    }
    // Waits until discovery has run and the window lists these meters.
    bool Listed(const QStringList& serials) {
        return QTest::qWaitFor(
            [&] {
                return Lines() == serials && int(Form.MeterSet().Meters().size()) == serials.size();
            },
            5000);
    }
};

QByteArray FileContents(const QString& name) {
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST_F(SimulationMenuTest, APluggedInMeterStartsWithChannel1AndTheTemperature) {
    Simulation.PlugIn();
    Simulation.PlugIn();
    ASSERT_TRUE(Listed({"SIM00001", "SIM00002"}));

    const TIniFile ini(IniName);
    for (const QString& serial : Simulation.Serials()) {
        SCOPED_TRACE(serial.toStdString());
        EXPECT_EQ(ini.ReadInteger(serial, QStringLiteral("CAP1Mode"), -1), 1);
        EXPECT_EQ(ini.ReadInteger(serial, QStringLiteral("InternalTempEnabled"), -1), 1);
        EXPECT_EQ(ini.ReadInteger(serial, QStringLiteral("SMode"), -1), 1);
    }
    // The window took the section at discovery, and the image written is the one the window
    // itself builds from that configuration.
    for (TMeter* model : Form.MeterSet().Meters()) {
        EXPECT_EQ(model->CAP1Mode(), 1);
        EXPECT_EQ(model->CAP2Mode(), 0);
        EXPECT_TRUE(model->InternalTempEnabled());
        EXPECT_EQ(model->ValueCount(), 2);
        const TRegData loaded = model->RegData();
        model->SetRegsFromConfig();
        EXPECT_EQ(model->RegData(), loaded);
    }
}

TEST(SimulationMenu, AnExistingSectionIsLeftAlone) {
    const char* const files[] = {
        "[SIM00001]\r\nCAP1Mode=0\r\n",
        "[sim00001]\nCAP2Mode=2\n", // section names are matched without regard to case
        "[SIM00001]\nReg7=not a number\n",
        "[SIM00001]\nExternalResistorEnabled=1\n[Other]\nX=1\n",
    };
    for (const char* contents : files) {
        SCOPED_TRACE(contents);
        QTemporaryDir dir;
        const QString name = dir.filePath(QStringLiteral("Settings.ini"));
        QFile file(name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(contents);
        file.close();

        TVirtualHidBus bus;
        TSimulation simulation(bus, name);
        simulation.PlugIn();
        EXPECT_EQ(FileContents(name), QByteArray(contents));
        EXPECT_EQ(bus.PluggedDevices().size(), 1u) << "plugged in all the same";
    }
}

TEST_F(SimulationMenuTest, PullOutTakesTheMeterOffTheWindowsList) {
    for (int i = 0; i < 3; ++i)
        Simulation.PlugIn();
    ASSERT_TRUE(Listed({"SIM00001", "SIM00002", "SIM00003"}));
    Simulation.PullOut(1);
    ASSERT_TRUE(Listed({"SIM00001", "SIM00003"}));
    EXPECT_EQ(Simulation.Serials(), QStringList({"SIM00001", "SIM00003"}));
    EXPECT_THROW(Simulation.PullOut(2), std::out_of_range);

    // A serial is never given twice.
    Simulation.PlugIn();
    EXPECT_TRUE(Listed({"SIM00001", "SIM00003", "SIM00004"}));
}

TEST_F(SimulationMenuTest, SetInputChangesWhatTheMeterMeasures) {
    Simulation.PlugIn();
    Simulation.PlugIn();
    ASSERT_TRUE(Listed({"SIM00001", "SIM00002"}));
    struct TCase {
        int Input;
        double SetPf, MeasuredPf;
    };
    const TCase cases[] = {
        {1, 3.0, 3.0},
        {2, -1.5, -1.5},
        {1, 20.0, 4.096}, // beyond the converter's range: it reads its limit
    };
    TMeter& model = *Form.MeterSet().Meters()[1];
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.SetPf);
        Simulation.SetInput(1, c.Input, c.SetPf);
        EXPECT_NEAR(model.MeasureCAP(c.Input, 1, 0, 0, 0), c.MeasuredPf, 0.01);
    }
    // The other meter is unchanged.
    EXPECT_NEAR(Form.MeterSet().Meters()[0]->MeasureCAP(1, 1, 0, 0, 0), 1.25, 0.01);
    EXPECT_THROW(Simulation.SetInput(0, 3, 1.0), std::out_of_range);
}

TEST_F(SimulationMenuTest, TheWindowsMenuPlugsInAndPullsOut) {
    Menu.AddTo(Form);
    QMenu* menu = nullptr;
    for (QAction* action : Form.menuBar()->actions())
        if (action->text() == QLatin1String("Simulation"))
            menu = action->menu();
    ASSERT_NE(menu, nullptr);
    const auto item = [&](const QString& text) -> QAction* {
        for (QAction* action : menu->actions())
            if (action->text() == text)
                return action;
        return nullptr;
    };
    QAction* plugIn = item(QStringLiteral("Plug In Meter"));
    QAction* pullOut = item(QStringLiteral("Pull Out Meter"));
    QAction* setInput = item(QStringLiteral("Set Input Capacitance..."));
    ASSERT_TRUE(plugIn && pullOut && pullOut->menu() && setInput);
    EXPECT_FALSE(setInput->isEnabled());

    plugIn->trigger();
    ASSERT_TRUE(Listed({"SIM00001"}));
    EXPECT_TRUE(setInput->isEnabled());
    const QList<QAction*> meters = pullOut->menu()->actions();
    ASSERT_EQ(meters.size(), 1);
    EXPECT_EQ(meters[0]->text(), QLatin1String("SIM00001"));

    meters[0]->trigger();
    ASSERT_TRUE(Listed({}));
    EXPECT_TRUE(pullOut->menu()->actions().isEmpty());
    EXPECT_FALSE(setInput->isEnabled());
}

} // namespace
