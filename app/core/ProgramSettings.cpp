#include "app/core/ProgramSettings.h"

#include "model/IniFile.h"

#include <algorithm>
#include <climits>
#include <stdexcept>

namespace {

bool InScope(const TProgramKey& key, EKeyScope scope) {
    return scope == EKeyScope::ProgramFile || key.InSettingsFiles;
}

} // namespace

const TProgramKey& ProgramKeyInfo(EProgramKey id) {
    for (const TProgramKey& key : ProgramKeys)
        if (key.Id == id)
            return key;
    throw std::logic_error("unknown program key");
}

QStringList ProgramKeyItems(EProgramKey id) {
    switch (id) {
    case EProgramKey::Mode:
        return {QStringLiteral("Standard"), QStringLiteral("Open Collector"),
                QStringLiteral("High Speed")};
    case EProgramKey::FastModeInterval:
        // The converter's continuous conversion times, ms.
        return {QStringLiteral("11.0"), QStringLiteral("11.9"), QStringLiteral("20.0"),
                QStringLiteral("38.0"), QStringLiteral("62.0"), QStringLiteral("77.0"),
                QStringLiteral("92.0"), QStringLiteral("109.6")};
    case EProgramKey::NoiseReduction:
        return {QStringLiteral("None"), QStringLiteral("2 of 3"), QStringLiteral("3 of 5")};
    default:
        return {};
    }
}

std::pair<int, int> ProgramKeyRange(EProgramKey id) {
    switch (id) {
    case EProgramKey::Baudrate:
        return {1000, 400000};
    case EProgramKey::Latency:
        return {1, 16};
    case EProgramKey::MaxPoints:
        return {0, 1000000};
    case EProgramKey::Interval:
        return {10, 30000};
    default:
        return {INT_MIN, INT_MAX};
    }
}

int AcceptedProgramKeyValue(EProgramKey id, int value) {
    const QStringList items = ProgramKeyItems(id);
    if (!items.isEmpty())
        return value >= 0 && value < items.size() ? value : -1;
    const auto [min, max] = ProgramKeyRange(id);
    return std::clamp(value, min, max);
}

void ReadProgramKeys(const TIniFile& ini, TProgramKeyTarget& target, EKeyScope scope) {
    for (const TProgramKey& key : ProgramKeys) {
        if (!InScope(key, scope))
            continue;
        const QString section = QString::fromLatin1(key.Section);
        const QString name = QString::fromLatin1(key.Name);
        switch (key.Kind) {
        case EKeyKind::Integer:
            target.SetProgramKeyValue(key.Id, ini.ReadInteger(section, name, key.Default));
            break;
        case EKeyKind::Boolean:
            target.SetProgramKeyValue(key.Id, int(ini.ReadBool(section, name, key.Default != 0)));
            break;
        case EKeyKind::String:
            target.SetProgramKeyValue(key.Id, ini.ReadString(section, name, QString()));
            break;
        }
    }
}

void WriteProgramKeys(TIniFile& ini, const TProgramKeyTarget& target, EKeyScope scope) {
    for (EProgramKey id : ProgramKeyWriteOrder) {
        const TProgramKey& key = ProgramKeyInfo(id);
        if (!InScope(key, scope))
            continue;
        const QString section = QString::fromLatin1(key.Section);
        const QString name = QString::fromLatin1(key.Name);
        const QVariant value = target.ProgramKeyValue(id);
        switch (key.Kind) {
        case EKeyKind::Integer:
            ini.WriteInteger(section, name, value.toInt());
            break;
        case EKeyKind::Boolean:
            ini.WriteBool(section, name, value.toInt() != 0);
            break;
        case EKeyKind::String:
            ini.WriteString(section, name, value.toString());
            break;
        }
    }
}
