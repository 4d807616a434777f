#pragma once

#include <QString>
#include <QStringList>

class TIniFile;

// The files opened last, newest first, each once; kept in the program settings file as
// <prefix>1 to <prefix>N of a section, empty where there are fewer.
class TRecentFiles {
public:
    static constexpr int Capacity = 8;

    TRecentFiles(QString section, QString keyPrefix);

    const QStringList& Files() const { return FFiles; }
    // To the front; a file listed already moves there.
    void Add(const QString& fileName);
    void Remove(const QString& fileName);

    void Read(const TIniFile& ini);
    void Write(TIniFile& ini) const;

private:
    QString FSection;
    QString FKeyPrefix;
    QStringList FFiles;
};
