#pragma once

#include "model/IniFile.h"

#include <QString>

// A meter's section for runs of the window: channel 1 alone, excitation on, 20.0 ms conversions.
inline void WriteCap1MeterSettings(TIniFile& ini, const QString& serial) {
    ini.WriteInteger(serial, QStringLiteral("CAP1Mode"), 1);
    ini.WriteInteger(serial, QStringLiteral("Reg7"), 0x80);
    ini.WriteInteger(serial, QStringLiteral("Reg9"), 0x28);
    ini.WriteInteger(serial, QStringLiteral("Reg10"), 0x10);
}
