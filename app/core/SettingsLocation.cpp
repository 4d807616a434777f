#include "app/core/SettingsLocation.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

QString ProgramSettingsFileName(const QString& progDir) {
    const QString besideProgram = QDir(progDir).filePath(QStringLiteral("Settings.ini"));
    if (QFileInfo::exists(besideProgram) || QFileInfo(progDir).isWritable())
        return besideProgram;
    const QString configDir = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    // Created now, so that the first shutdown can write the file.
    QDir().mkpath(configDir);
    return QDir(configDir).filePath(QStringLiteral("Settings.ini"));
}
