// The window's module of the demo program: the main window on a virtual USB bus with virtual
// meters and a foreign HID device, and a "Simulation" menu that plugs meters in and out and sets
// what they measure.
#include "app/MainWindow.h"
#include "app/Program.h"
#include "app/core/SettingsLocation.h"
#include "app/headless/WindowModule.h"
#include "link/hid/VirtualHidBus.h"
#include "sim/ForeignHidDevice.h"
#include "sim/Simulation.h"
#include "sim/SimulationMenu.h"

#include <QApplication>

#include <memory>

extern "C" int DieloWindowMain(int argc, char** argv, const TWindowArguments* arguments) {
    QApplication app(argc, argv);
    if (arguments->ViewLog)
        return RunLogViewer(app, QString::fromLocal8Bit(arguments->ViewLog));
    // As RunProgram names it: where the settings file lives depends on the name.
    QApplication::setApplicationName(QStringLiteral("dielometer"));
    const QString settingsFile =
        arguments->SettingsFile ? QString::fromLocal8Bit(arguments->SettingsFile)
                                : ProgramSettingsFileName(QCoreApplication::applicationDirPath());
    // Created before the window and freed after it.
    TVirtualHidBus bus;
    TSimulation simulation(bus, settingsFile);
    TSimulationMenu menu(simulation);
    // Plugged in before the window exists, so that it finds them in its first discovery.
    for (int i = 0; i < arguments->VirtualMeters; ++i)
        simulation.PlugIn();
    bus.Plug(std::make_shared<TForeignHidDevice>());
    return RunProgram(app, bus, settingsFile, [&](TMainWindow& form) { menu.AddTo(form); });
}
