#pragma once

#include "model/IniFile.h"

#include <QString>

// A meter's section for runs: channel 1, excitation on. configuration is the Configuration
// register: 0x10 converts the channel in 20.0 ms and the temperature in 20.1 ms, 0xA0 in 62.0
// and 62.1 ms. temperature adds the internal sensor.
inline void WriteCap1MeterSettings(TIniFile& ini, const QString& serial, bool temperature = false,
                                   int configuration = 0x10) {
    ini.WriteInteger(serial, QStringLiteral("CAP1Mode"), 1);
    ini.WriteInteger(serial, QStringLiteral("Reg7"), 0x80);
    ini.WriteInteger(serial, QStringLiteral("Reg9"), 0x28);
    ini.WriteInteger(serial, QStringLiteral("Reg10"), configuration);
    if (temperature) {
        ini.WriteBool(serial, QStringLiteral("InternalTempEnabled"), true);
        ini.WriteInteger(serial, QStringLiteral("Reg8"), 0x81);
    }
}
