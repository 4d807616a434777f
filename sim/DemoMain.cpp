// The demo program: the main window on a virtual USB bus with three virtual meters and a
// foreign HID device, for trying the program without hardware.
#include "ForeignHidDevice.h"
#include "Program.h"
#include "VirtualMeter.h"

#include <QApplication>

#include <memory>

namespace {

struct TDemoMeter {
    const char* Serial;
    double Input1Pf, Input2Pf, Celsius, ResistanceRatio;
};

// Values as three meters on a lab bench might show them.
constexpr TDemoMeter DemoMeters[] = {
    {"DM100231", 1.250, -0.480, 23.4, 0.25},
    {"DM100232", 2.015, 0.730, 24.1, 0.50},
    {"DM100233", -0.875, 1.640, 22.8, -0.10},
};

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // Created before the window and freed after it.
    TVirtualHidBus bus;
    std::uint64_t seed = 1;
    for (const TDemoMeter& m : DemoMeters) {
        auto meter = std::make_shared<TVirtualMeter>(QString::fromLatin1(m.Serial), seed++);
        meter->SetInputCapacitance(1, m.Input1Pf);
        meter->SetInputCapacitance(2, m.Input2Pf);
        meter->SetTemperature(m.Celsius);
        meter->SetResistanceRatio(m.ResistanceRatio);
        meter->SetCapNoise(0.0004);
        meter->SetTemperatureNoise(0.02);
        meter->SetDrift(0.00002);
        meter->SetLatency(std::chrono::milliseconds(1));
        bus.Plug(meter);
    }
    bus.Plug(std::make_shared<TForeignHidDevice>());
    return RunProgram(app, bus);
}
