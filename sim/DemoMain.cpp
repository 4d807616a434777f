// The demo program: the main window on a virtual USB bus with two virtual meters and a
// foreign HID device, and a "Simulation" menu that plugs meters in and out and sets what they
// measure; for trying the program without hardware.
#include "app/MainWindow.h"
#include "app/Program.h"
#include "app/SettingsLocation.h"
#include "link/hid/VirtualHidBus.h"
#include "sim/ForeignHidDevice.h"
#include "sim/SimulationMenu.h"

#include <QApplication>

#include <memory>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // As RunProgram names it: where the settings file lives depends on the name.
    QApplication::setApplicationName(QStringLiteral("dielometer"));
    // Created before the window and freed after it.
    TVirtualHidBus bus;
    TSimulationMenu simulation(bus,
                               ProgramSettingsFileName(QCoreApplication::applicationDirPath()));
    // Plugged in before the window exists, so that it finds them in its first discovery.
    simulation.PlugIn();
    simulation.PlugIn();
    bus.Plug(std::make_shared<TForeignHidDevice>());
    return RunProgram(app, bus, [&](TMainWindow& form) { simulation.AddTo(form); });
}
