// The program: the window, or with --headless the program without one, on the platform's HID
// devices.
#include "app/headless/CommandLine.h"
#include "app/headless/Launcher.h"
#include "link/hid/LinuxHidBackend.h"

int main(int argc, char* argv[]) {
    TLauncherParts parts;
    parts.WindowModule = "dielometer-window.so";
    parts.RunHeadless = [](const TCommandLine& line) {
        TLinuxHidBackend backend;
        THeadlessProgram program(backend, line.Headless);
        return program.Exec();
    };
    return RunLauncher(argc, argv, parts);
}
