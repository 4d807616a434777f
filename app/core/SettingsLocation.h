#pragma once

#include <QString>

// Where the program settings file "Settings.ini" lives: beside the program file when that
// folder is writable or already holds one; otherwise in the user's configuration folder.
QString ProgramSettingsFileName(const QString& progDir);
