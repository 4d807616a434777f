#include "app/Program.h"

#include "app/ErrorReport.h"
#include "app/MainWindow.h"
#include "app/SettingsLocation.h"
#include "app/SignalCloser.h"

#include <QApplication>

int RunProgram(QApplication& app, THidBackend& backend,
               const std::function<void(TMainWindow&)>& setUp) {
    QApplication::setApplicationName(QStringLiteral("dielometer"));
    // The installed desktop entry's name, so that Wayland shows the program's icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.dielometer.DieloMeter"));
    // The window reads the program settings when it is created and writes them when it goes,
    // after the event loop has ended.
    TMainWindow form(ProgramSettingsFileName(QCoreApplication::applicationDirPath()), backend);
    // SIGTERM and SIGINT close the window as "Exit" does, so the settings are written; a run
    // is stopped without asking, as nobody may be there to answer.
    TSignalCloser closer(&form, [&form] { form.CloseWithoutAsking(); });
    if (setUp)
        setUp(form);
    form.show();
    // The last step of start-up; a port that cannot be opened is reported and the program runs
    // on without remote access.
    Guarded(&form, [&] { form.StartRemoteAccess(); });
    return app.exec();
}
