#pragma once

// The window lives in a module of its own that the program loads only when it shows one, so that
// a run without a window loads no widget library. The program and the demo program each have
// one; both export this entry.
//
// What the command line gave the window. Plain C: the module and the program are built apart.
extern "C" {
struct TWindowArguments {
    // The program settings file from --settings; null for the usual place.
    const char* SettingsFile;
    // The demo program's virtual meters at start.
    int VirtualMeters;
    // The log of --view, shown alone in the window of past runs; null for the main window.
    const char* ViewLog;
};

// Runs the window's event loop and returns the exit code; argc and argv as main got them.
int DieloWindowMain(int argc, char** argv, const TWindowArguments* arguments);
using TWindowMainFunction = int (*)(int, char**, const TWindowArguments*);
}
