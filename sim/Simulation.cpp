#include "sim/Simulation.h"

#include "link/hid/VirtualHidBus.h"
#include "model/IniFile.h"
#include "sim/VirtualMeter.h"

#include <QtGlobal>

#include <array>
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

TSimulation::TSimulation(TVirtualHidBus& bus, QString settingsFile, QObject* parent)
    : QObject(parent)
    , FBus(bus)
    , FSettingsFile(std::move(settingsFile)) {}

TSimulation::~TSimulation() = default;

std::shared_ptr<TVirtualMeter> TSimulation::PlugIn() {
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
    emit Changed();
    return device;
}

void TSimulation::PullOut(int index) {
    const std::shared_ptr<TVirtualMeter> device = At(index).Device;
    FMeters.erase(FMeters.begin() + index);
    FBus.Unplug(device);
    emit Changed();
}

void TSimulation::SetInput(int index, int input, double pF) {
    const TMeter& meter = At(index);
    meter.Device->SetInputCapacitance(input, pF); // checks input
    FMeters[std::size_t(index)].InputPf[std::size_t(input - 1)] = pF;
}

QStringList TSimulation::Serials() const {
    QStringList serials;
    for (const TMeter& meter : FMeters)
        serials << meter.Serial;
    return serials;
}

std::shared_ptr<TVirtualMeter> TSimulation::Meter(int index) const {
    return At(index).Device;
}

double TSimulation::InputPf(int index, int input) const {
    return At(index).InputPf.at(std::size_t(input - 1));
}

const TSimulation::TMeter& TSimulation::At(int index) const {
    if (index < 0 || std::size_t(index) >= FMeters.size())
        throw std::out_of_range("no virtual meter " + std::to_string(index));
    return FMeters[std::size_t(index)];
}

void TSimulation::WriteFirstStartSection(const QString& serial) const {
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
