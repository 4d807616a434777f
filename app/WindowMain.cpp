// The window's module of the program: the meters are the platform's HID devices.
#include "app/Program.h"
#include "app/headless/WindowModule.h"
#include "link/hid/LinuxHidBackend.h"

#include <QApplication>

extern "C" int DieloWindowMain(int argc, char** argv, const TWindowArguments* arguments) {
    QApplication app(argc, argv);
    if (arguments->ViewLog)
        return RunLogViewer(app, QString::fromLocal8Bit(arguments->ViewLog));
    // Created before the window and freed after it.
    TLinuxHidBackend backend;
    return RunProgram(app, backend, QString::fromLocal8Bit(arguments->SettingsFile));
}
