#pragma once

#include <functional>

struct TCommandLine;

// What differs between the program and the demo program at start.
struct TLauncherParts {
    // The demo program: it takes --meters.
    bool Demo = false;
    // The file name of the window's module, without its folder.
    const char* WindowModule = nullptr;
    // Runs the headless program on the platform's meters or on virtual ones and returns the exit
    // code. Called with the application object made and the settings file's name settled.
    std::function<int(const TCommandLine&)> RunHeadless;
};

// The whole main of both programs: reads the command line, then prints the help or the version,
// refuses bad arguments (exit code 2), runs without a window, or loads the window's module and
// runs the window.
int RunLauncher(int argc, char* argv[], const TLauncherParts& parts);
