// The demo program: the program on a virtual USB bus with virtual meters and a foreign HID
// device, for trying it without hardware; with a window or, with --headless, without one.
#include "app/headless/CommandLine.h"
#include "app/headless/Launcher.h"
#include "link/hid/VirtualHidBus.h"
#include "sim/ForeignHidDevice.h"
#include "sim/Simulation.h"

#include <memory>

int main(int argc, char* argv[]) {
    TLauncherParts parts;
    parts.Demo = true;
    parts.WindowModule = "dielometer-sim-window.so";
    parts.RunHeadless = [](const TCommandLine& line) {
        TVirtualHidBus bus;
        TSimulation simulation(bus, line.Headless.SettingsFile);
        // Plugged in before the program exists, so that it finds them in its first discovery.
        for (int i = 0; i < line.VirtualMeters; ++i)
            simulation.PlugIn();
        bus.Plug(std::make_shared<TForeignHidDevice>());
        THeadlessProgram program(bus, line.Headless);
        return program.Exec();
    };
    return RunLauncher(argc, argv, parts);
}
