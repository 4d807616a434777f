#pragma once

#include "app/headless/HeadlessProgram.h"

#include <QString>
#include <QStringList>

// What the command line of the program or of the demo program asks for.
struct TCommandLine {
    enum class EAction {
        Window,    // the main window
        Headless,  // the program without a window
        Print,     // --help or --version: print Text on standard output and end with 0
        ExportCsv, // --export-csv: write the CSV file of the log LogFile and end
        Refuse, // bad arguments: print Text (the reason and the usage) on standard error, end with
                // 2
    };
    EAction Action = EAction::Window;
    QString Text;
    // --settings FILE; empty for the usual place. The window takes it too.
    QString SettingsFile;
    THeadlessOptions Headless;
    // The log of --export-csv.
    QString LogFile;
    // The log of --view, which the window of past runs shows alone.
    QString ViewLog;
    // The demo program's virtual meters plugged in at start.
    int VirtualMeters = 2;
};

// arguments: as the process got them, the program's name first. demo: the demo program, which
// also takes --meters. Options that the window does not know are left to Qt in window mode
// (for example -platform); with --headless they are refused.
TCommandLine ParseCommandLine(const QStringList& arguments, bool demo);
