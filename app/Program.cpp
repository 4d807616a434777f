#include "app/Program.h"

#include "app/LogViewer.h"
#include "app/MainWindow.h"
#include "app/core/MeterSet.h"
#include "app/core/RunController.h"
#include "app/core/SettingsLocation.h"
#include "app/core/SignalCloser.h"
#include "app/headless/RemoteRunControl.h"
#include "dialogs/prompts/ErrorReport.h"
#include "dialogs/prompts/UserPrompts.h"
#include "remote/AddressWatcher.h"
#include "remote/TelnetServer.h"

#include <QApplication>
#include <QStandardPaths>

TProgram::TProgram(THidBackend& backend, const QString& settingsFile)
    : FMeterSet(std::make_unique<TMeterSet>(backend, settingsFile))
    , FRun(std::make_unique<TRunController>(*FMeterSet))
    // Start and Stop of remote clients wait while the window asks a question.
    , FTelnetHost(std::make_unique<TRemoteRunControl>(
          *FRun,
          [] { return QApplication::activeModalWidget() != nullptr || TUserPrompts::IsShowing(); }))
    , FTelnetServer(std::make_unique<TTelnetServer>(*FTelnetHost))
    , FAddressWatcher(std::make_unique<TAddressWatcher>()) {
    // A remote start without a log file name writes into the user's documents.
    FRun->SetUnattendedFolder(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
    FWindow = std::make_unique<TMainWindow>(settingsFile, *FMeterSet, *FRun, *FTelnetServer,
                                            *FAddressWatcher);
}

TProgram::~TProgram() {
    // In this order:
    // - the command server first, so that no client reaches the program while it goes;
    // - the window, which writes the program settings and the meters' sections, and so needs
    //   the meters;
    // - the run, which reads the meters;
    // - the meters, whose workers end before the trigger thread and the HID layer go;
    // - the address watcher last, as nothing uses it any more.
    FTelnetServer.reset();
    FWindow.reset();
    FRun.reset();
    FMeterSet.reset();
    FAddressWatcher.reset();
}

namespace {

// The name and icon the desktop knows the program by: where its settings file lives depends on
// the name, and Wayland shows the icon of the installed desktop entry.
void NameProgram() {
    QApplication::setApplicationName(QStringLiteral("dielometer"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.dielometer.DieloMeter"));
}

} // namespace

int RunLogViewer(QApplication& app, const QString& fileName) {
    NameProgram();
    // The viewer deletes itself when it is closed.
    return TLogViewer::Show(fileName, ETimeAxis::PointNumber) ? app.exec() : 1;
}

int RunProgram(QApplication& app, THidBackend& backend, const QString& settingsFile,
               const std::function<void(TMainWindow&)>& setUp) {
    NameProgram();
    // The window reads the program settings when it is created and writes them when it goes,
    // after the event loop has ended.
    TProgram program(backend, settingsFile.isEmpty()
                                  ? ProgramSettingsFileName(QCoreApplication::applicationDirPath())
                                  : settingsFile);
    TMainWindow& window = program.Window();
    // SIGTERM and SIGINT close the window as "Exit" does, so the settings are written; a run
    // is stopped without asking, as nobody may be there to answer.
    TSignalCloser closer(&window, [&window] { window.CloseWithoutAsking(); });
    if (setUp)
        setUp(window);
    window.show();
    // The last step of start-up; a port that cannot be opened is reported and the program runs
    // on without remote access.
    Guarded(&window, [&] { window.StartRemoteAccess(); });
    return app.exec();
}
