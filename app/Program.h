#pragma once

#include <QString>

#include <functional>
#include <memory>

class QApplication;
class TAddressWatcher;
class THidBackend;
class TMainWindow;
class TMeterSet;
class TRemoteRunControl;
class TRunController;
class TTelnetServer;

// The program's one composition root: it builds the meter set, the run controller, the command
// server, the address watcher and the window on a HID backend, and takes them down in the one
// order that is safe. The program, the demo program, the tests and the benches build the
// program through it.
class TProgram {
public:
    // backend: where the meters are found; it must outlive the program. settingsFile: the
    // program settings file, read now and written when the program goes.
    TProgram(THidBackend& backend, const QString& settingsFile);
    ~TProgram();

    TProgram(const TProgram&) = delete;
    TProgram& operator=(const TProgram&) = delete;

    TMeterSet& MeterSet() const { return *FMeterSet; }
    TRunController& Run() const { return *FRun; }
    TTelnetServer& TelnetServer() const { return *FTelnetServer; }
    TAddressWatcher& AddressWatcher() const { return *FAddressWatcher; }
    TMainWindow& Window() const { return *FWindow; }

private:
    std::unique_ptr<TMeterSet> FMeterSet;
    std::unique_ptr<TRunController> FRun;
    std::unique_ptr<TRemoteRunControl> FTelnetHost;
    std::unique_ptr<TTelnetServer> FTelnetServer;
    std::unique_ptr<TAddressWatcher> FAddressWatcher;
    std::unique_ptr<TMainWindow> FWindow;
};

// The window of past runs alone, with the log fileName, until it closes; for --view. A file that
// is no log is reported and ends it with 1.
int RunLogViewer(QApplication& app, const QString& fileName);

// Runs the program on a HID backend: its parts, the signal handling, the event loop. The
// program and the demo program differ only in the backend they hand in, and in setUp: when
// given, it is called with the window before the window is shown. settingsFile: the program
// settings file, or empty for the usual place.
int RunProgram(QApplication& app, THidBackend& backend, const QString& settingsFile = {},
               const std::function<void(TMainWindow&)>& setUp = {});
