// Program entry: builds the main window, runs the event loop, and shuts down in order.
#include "Main.h"

#include "SettingsLocation.h"
#include "SignalCloser.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("dielometer"));

    // The window reads the program settings when it is created and writes them when it goes.
    TForm1 form(ProgramSettingsFileName(QCoreApplication::applicationDirPath()));
    // SIGTERM and SIGINT close the window as "Exit" does, so the settings are written.
    TSignalCloser closer(&form);
    form.show();
    return app.exec();
}
