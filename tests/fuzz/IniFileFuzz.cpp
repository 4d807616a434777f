// Any file content: reading never fails, and a key written reads back while every other line
// stays as it was.
#include "model/IniFile.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("fuzz.ini"));
    const QByteArray text(reinterpret_cast<const char*>(data), qsizetype(size));
    {
        QFile file(name);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        file.write(text);
    }
    TIniFile ini(name);
    for (const char* section : {"Measurement", "M1", "Graph"}) {
        for (const char* key : {"Logfile", "Reg7", "MaxPoints", "FastMode"}) {
            ini.ReadString(QLatin1String(section), QLatin1String(key), QString());
            ini.ReadInteger(QLatin1String(section), QLatin1String(key), -1);
            ini.ReadBool(QLatin1String(section), QLatin1String(key), false);
        }
    }
    try {
        ini.WriteInteger(QStringLiteral("Graph"), QStringLiteral("MaxPoints"), 1234);
    } catch (const EIniFileError&) {
        return 0; // a file it could not read is never written over
    }
    if (TIniFile(name).ReadInteger(QStringLiteral("Graph"), QStringLiteral("MaxPoints"), 0) != 1234)
        std::abort();
    return 0;
}
