#include "app/ProgramSettings.h"

#include "model/IniFile.h"

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
