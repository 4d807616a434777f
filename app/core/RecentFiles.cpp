#include "app/core/RecentFiles.h"

#include "model/IniFile.h"

#include <utility>

TRecentFiles::TRecentFiles(QString section, QString keyPrefix)
    : FSection(std::move(section))
    , FKeyPrefix(std::move(keyPrefix)) {}

void TRecentFiles::Add(const QString& fileName) {
    FFiles.removeAll(fileName);
    FFiles.prepend(fileName);
    while (FFiles.size() > Capacity)
        FFiles.removeLast();
}

void TRecentFiles::Remove(const QString& fileName) {
    FFiles.removeAll(fileName);
}

void TRecentFiles::Read(const TIniFile& ini) {
    FFiles.clear();
    for (int i = 1; i <= Capacity; ++i) {
        const QString file = ini.ReadString(FSection, FKeyPrefix + QString::number(i), QString());
        if (!file.isEmpty() && !FFiles.contains(file))
            FFiles << file;
    }
}

void TRecentFiles::Write(TIniFile& ini) const {
    for (int i = 1; i <= Capacity; ++i) {
        const QString key = FKeyPrefix + QString::number(i);
        const QString file = i <= FFiles.size() ? FFiles[i - 1] : QString();
        // Slots never used stay out of the file.
        if (!file.isEmpty() || ini.KeyExists(FSection, key))
            ini.WriteString(FSection, key, file);
    }
}
