#include "sim/SimulationMenu.h"

#include "dialogs/prompts/ErrorReport.h"
#include "model/IniFile.h"
#include "sim/VirtualMeter.h"

#include <QAction>
#include <QInputDialog>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

#include <chrono>
#include <cstdint>
#include <iterator>
#include <stdexcept>
#include <string>

namespace {

// What the meters measure, in turn: values as meters on a lab bench might show them.
struct TPreset {
    double Input1Pf, Input2Pf, Celsius, ResistanceRatio;
};
constexpr TPreset Presets[] = {
    {1.250, -0.480, 23.4, 0.25},
    {2.015, 0.730, 22.6, 0.50},
    {-0.875, 1.640, 23.9, -0.10},
};

// Every key the window reads from a meter section. A section holding none of them is missing
// as far as the window is concerned, and the first-start section overwrites nothing.
QStringList MeterSectionKeys() {
    static constexpr const char* Settings[] = {
        "SMode",      "CAP1Mode",          "CAPDAC1Mode",         "CAPDAC1A",
        "CAPDAC1B",   "CAP2Mode",          "CAPDAC2Mode",         "CAPDAC2A",
        "CAPDAC2B",   "ExcitationVoltage", "InternalTempEnabled", "ExternalResistorEnabled",
        "CAP1Target", "CAP2Target",        "ReferenceResistor",
    };
    QStringList keys;
    for (const char* key : Settings)
        keys << QLatin1String(key);
    for (int n = 0; n < 23; ++n)
        keys << QStringLiteral("Reg%1").arg(n);
    return keys;
}

// The register image of channel 1 single-ended with the temperature sensor, as the window
// builds it from that configuration; the bytes not listed are 0.
struct TImageByte {
    int Reg;
    std::uint8_t Value;
};
constexpr TImageByte FirstStartImage[] = {
    {7, 0x80},  // CAP setup: capacitive channel on, input 1, single-ended
    {8, 0x81},  // VT setup: on, internal temperature sensor, chopping
    {9, 0x28},  // EXC setup: both excitation outputs on
    {10, 0xA0}, // configuration: VT 62.1 ms, capacitive 62.0 ms, idle
};

} // namespace

TSimulationMenu::TSimulationMenu(TVirtualHidBus& bus, QString settingsFile, QObject* parent)
    : QObject(parent)
    , FBus(bus)
    , FSettingsFile(std::move(settingsFile))
    , FMenu(std::make_unique<QMenu>(QStringLiteral("Simulation"))) {
    FMenu->setObjectName(QStringLiteral("SimulationMenu"));
    FPlugInAction = FMenu->addAction(QStringLiteral("Plug In Meter"));
    FPullOutMenu = FMenu->addMenu(QStringLiteral("Pull Out Meter"));
    FSetInputAction = FMenu->addAction(QStringLiteral("Set Input Capacitance..."));
    connect(FPlugInAction, &QAction::triggered, this,
            [this] { Guarded(FWindow, [this] { PlugIn(); }); });
    connect(FSetInputAction, &QAction::triggered, this,
            [this] { Guarded(FWindow, [this] { ChooseAndSetInput(); }); });
    UpdateActions();
}

// Out of line: the menu is complete here.
TSimulationMenu::~TSimulationMenu() = default;

void TSimulationMenu::AddTo(QMainWindow& window) {
    FWindow = &window;
    window.menuBar()->addMenu(FMenu.get());
}

std::shared_ptr<TVirtualMeter> TSimulationMenu::PlugIn() {
    const int number = ++FPlugged;
    const QString serial = QStringLiteral("SIM%1").arg(number, 5, 10, QLatin1Char('0'));
    try {
        WriteFirstStartSection(serial);
    } catch (const EIniFileError& error) {
        // The meter still works; it only starts without a configuration.
        qWarning("%s", error.what());
    }

    const TPreset& preset = Presets[std::size_t(number - 1) % std::size(Presets)];
    auto device = std::make_shared<TVirtualMeter>(serial, std::uint64_t(number));
    device->SetInputCapacitance(1, preset.Input1Pf);
    device->SetInputCapacitance(2, preset.Input2Pf);
    device->SetTemperature(preset.Celsius);
    device->SetResistanceRatio(preset.ResistanceRatio);
    device->SetCapNoise(0.0004);
    device->SetTemperatureNoise(0.02);
    device->SetDrift(0.00002);
    device->SetLatency(std::chrono::milliseconds(1));
    FMeters.push_back({device, serial, {preset.Input1Pf, preset.Input2Pf}});
    FBus.Plug(device);
    UpdateActions();
    return device;
}

void TSimulationMenu::PullOut(int index) {
    const std::shared_ptr<TVirtualMeter> device = At(index).Device;
    FMeters.erase(FMeters.begin() + index);
    FBus.Unplug(device);
    UpdateActions();
}

void TSimulationMenu::SetInput(int index, int input, double pF) {
    const TMeter& meter = At(index);
    meter.Device->SetInputCapacitance(input, pF); // checks input
    FMeters[std::size_t(index)].InputPf[std::size_t(input - 1)] = pF;
}

QStringList TSimulationMenu::Serials() const {
    QStringList serials;
    for (const TMeter& meter : FMeters)
        serials << meter.Serial;
    return serials;
}

std::shared_ptr<TVirtualMeter> TSimulationMenu::Meter(int index) const {
    return At(index).Device;
}

const TSimulationMenu::TMeter& TSimulationMenu::At(int index) const {
    if (index < 0 || std::size_t(index) >= FMeters.size())
        throw std::out_of_range("no virtual meter " + std::to_string(index));
    return FMeters[std::size_t(index)];
}

void TSimulationMenu::WriteFirstStartSection(const QString& serial) const {
    TIniFile ini(FSettingsFile);
    for (const QString& key : MeterSectionKeys())
        if (ini.KeyExists(serial, key))
            return;
    ini.WriteInteger(serial, QStringLiteral("SMode"), 1);
    ini.WriteInteger(serial, QStringLiteral("CAP1Mode"), 1);
    ini.WriteInteger(serial, QStringLiteral("InternalTempEnabled"), 1);
    std::array<std::uint8_t, 23> image{};
    for (const TImageByte& b : FirstStartImage)
        image[std::size_t(b.Reg)] = b.Value;
    for (int n = 0; n < int(image.size()); ++n)
        ini.WriteInteger(serial, QStringLiteral("Reg%1").arg(n), image[std::size_t(n)]);
}

void TSimulationMenu::UpdateActions() {
    // Rebuilt at every change. The old actions go later: one of them may be emitting its
    // triggered signal right now.
    for (QAction* action : FPullOutMenu->actions()) {
        FPullOutMenu->removeAction(action);
        action->deleteLater();
    }
    for (const TMeter& meter : FMeters) {
        QAction* action = FPullOutMenu->addAction(meter.Serial);
        connect(action, &QAction::triggered, this, [this, serial = meter.Serial] {
            const int index = int(Serials().indexOf(serial));
            if (index >= 0)
                Guarded(FWindow, [&] { PullOut(index); });
        });
    }
    FPullOutMenu->setEnabled(!FMeters.empty());
    FSetInputAction->setEnabled(!FMeters.empty());
}

void TSimulationMenu::ChooseAndSetInput() {
    QStringList choices;
    for (const TMeter& meter : FMeters)
        for (int input = 1; input <= 2; ++input)
            choices << QStringLiteral("%1, input %2").arg(meter.Serial).arg(input);
    if (choices.isEmpty())
        return;
    bool ok = false;
    const QString choice =
        QInputDialog::getItem(FWindow, QStringLiteral("Set Input Capacitance"),
                              QStringLiteral("Meter and input:"), choices, 0, false, &ok);
    if (!ok)
        return;
    const int chosen = int(choices.indexOf(choice));
    const int index = chosen / 2;
    const int input = chosen % 2 + 1;
    // Copies: the list may change while the next dialog is open.
    const QString serial = At(index).Serial;
    const double current = At(index).InputPf[std::size_t(input - 1)];
    const double pF =
        QInputDialog::getDouble(FWindow, QStringLiteral("Set Input Capacitance"),
                                QStringLiteral("%1, input %2, in pF:").arg(serial).arg(input),
                                current, MinInputPf, MaxInputPf, 3, &ok, {}, 0.1);
    const int now = int(Serials().indexOf(serial));
    if (ok && now >= 0)
        SetInput(now, input, pF);
}
