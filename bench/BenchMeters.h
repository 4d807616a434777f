#pragma once

#include "link/hid/VirtualHidBus.h"
#include "model/IniFile.h"
#include "sim/VirtualMeter.h"

#include <QString>

#include <chrono>
#include <memory>
#include <vector>

// The runs' benches measure count virtual meters BENCH0, BENCH1, ... that convert channel 1
// alone, one capacitive conversion per cycle, and answer a report in 1 ms. Their sections go into
// the settings file before they are plugged in.
inline std::vector<std::shared_ptr<TVirtualMeter>>
PlugBenchMeters(TVirtualHidBus& bus, const QString& iniName, int count) {
    std::vector<std::shared_ptr<TVirtualMeter>> meters;
    TIniFile ini(iniName);
    for (int i = 0; i < count; ++i) {
        const QString serial = QStringLiteral("BENCH%1").arg(i);
        ini.WriteInteger(serial, QStringLiteral("CAP1Mode"), 1);
        ini.WriteInteger(serial, QStringLiteral("Reg7"), 0x80);
        ini.WriteInteger(serial, QStringLiteral("Reg9"), 0x28);
        ini.WriteInteger(serial, QStringLiteral("Reg10"), 0xA0);
        auto meter = std::make_shared<TVirtualMeter>(serial, std::uint64_t(i + 1));
        meter->SetLatency(std::chrono::milliseconds(1));
        meter->SetInputCapacitance(1, 0.1 * i);
        meter->SetCapNoise(0.0005);
        bus.Plug(meter);
        meters.push_back(meter);
    }
    return meters;
}

// Every conversion cycle the meters finished so far.
inline long long ConversionsCompleted(const std::vector<std::shared_ptr<TVirtualMeter>>& meters) {
    long long completed = 0;
    for (const auto& meter : meters)
        completed += meter->ResultsCompleted();
    return completed;
}
