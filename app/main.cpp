// The program: the meters are the platform's HID devices.
#include "app/Program.h"
#include "link/hid/LinuxHidBackend.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // Created before the window and freed after it.
    TLinuxHidBackend backend;
    return RunProgram(app, backend);
}
