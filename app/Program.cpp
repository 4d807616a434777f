#include "app/Program.h"

#include "app/MainWindow.h"
#include "app/SettingsLocation.h"
#include "app/SignalCloser.h"
#include "app/core/LogFile.h"
#include "app/core/MeterSet.h"
#include "app/core/RunController.h"
#include "dialogs/prompts/ErrorReport.h"
#include "dialogs/prompts/UserPrompts.h"
#include "remote/AddressWatcher.h"
#include "remote/TelnetServer.h"

#include <QApplication>
#include <QLocale>
#include <QStandardPaths>

// What remote clients ask of the program: the run's Start, Stop and status. They wait while a
// modal dialog or question of the window is open.
class TRemoteRunControl final : public TTelnetHost {
public:
    explicit TRemoteRunControl(TRunController& run)
        : FRun(run) {}

    void TelnetStart() override { FRun.Start(TRunController::EStartedBy::Unattended); }
    void TelnetStop() override { FRun.Stop(); }
    QStringList TelnetStatus() override { return StatusReportLines(FRun.LogSettings(), QLocale()); }
    bool ShowsModalDialog() override {
        return QApplication::activeModalWidget() != nullptr || TUserPrompts::IsShowing();
    }

private:
    TRunController& FRun;
};

TProgram::TProgram(THidBackend& backend, const QString& settingsFile)
    : FMeterSet(std::make_unique<TMeterSet>(backend, settingsFile))
    , FRun(std::make_unique<TRunController>(*FMeterSet))
    , FTelnetHost(std::make_unique<TRemoteRunControl>(*FRun))
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

int RunProgram(QApplication& app, THidBackend& backend,
               const std::function<void(TMainWindow&)>& setUp) {
    QApplication::setApplicationName(QStringLiteral("dielometer"));
    // The installed desktop entry's name, so that Wayland shows the program's icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.dielometer.DieloMeter"));
    // The window reads the program settings when it is created and writes them when it goes,
    // after the event loop has ended.
    TProgram program(backend, ProgramSettingsFileName(QCoreApplication::applicationDirPath()));
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
