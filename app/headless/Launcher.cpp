#include "app/headless/Launcher.h"

#include "app/core/CsvExport.h"
#include "app/core/SettingsLocation.h"
#include "app/headless/CommandLine.h"
#include "app/headless/WindowModule.h"

#include <QCoreApplication>

#include <cstdio>
#include <dlfcn.h>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

void PrintText(std::FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
    if (!text.endsWith(u'\n'))
        std::fputc('\n', stream);
}

// The module lies where the install step puts it, in the same place relative to the program in
// the build tree and when installed.
std::filesystem::path ModulePath(const char* module) {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::canonical("/proc/self/exe", error);
    return program.parent_path() / DIELO_WINDOW_MODULE_DIR / module;
}

int RunWindowModule(const char* module, int argc, char* argv[], const TCommandLine& line) {
    const std::filesystem::path path = ModulePath(module);
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr,
                     "The window cannot be shown: %s\nThe program without a window runs with "
                     "--headless; --help tells more.\n",
                     ::dlerror());
        return 1;
    }
    const auto windowMain =
        reinterpret_cast<TWindowMainFunction>(::dlsym(handle, "DieloWindowMain"));
    if (!windowMain) {
        std::fprintf(stderr, "The window cannot be shown: %s\n", ::dlerror());
        return 1;
    }
    const std::string settingsFile = line.SettingsFile.toLocal8Bit().toStdString();
    const std::string viewLog = line.ViewLog.toLocal8Bit().toStdString();
    const TWindowArguments arguments{settingsFile.empty() ? nullptr : settingsFile.c_str(),
                                     line.VirtualMeters,
                                     viewLog.empty() ? nullptr : viewLog.c_str()};
    // The module stays loaded until the process ends: Qt may still hold its objects at exit.
    return windowMain(argc, argv, &arguments);
}

// Writes the CSV file of a log; tells what it wrote, and the log's damaged lines.
int ExportLogAsCsv(const QString& logName) {
    const QString csvName = CsvFileNameOf(logName);
    try {
        const TCsvExport written = ExportCsv(logName, csvName);
        for (const TLogProblem& problem : written.Problems)
            PrintText(stderr, QStringLiteral("%1, line %2: %3")
                                  .arg(logName)
                                  .arg(problem.Line)
                                  .arg(problem.Reason));
        if (written.ProblemCount > qint64(written.Problems.size()))
            PrintText(stderr, QStringLiteral("%1: %2 more lines could not be read in full.")
                                  .arg(logName)
                                  .arg(written.ProblemCount - qint64(written.Problems.size())));
        PrintText(stderr, QStringLiteral("Wrote %1 rows to %2.").arg(written.Rows).arg(csvName));
        return 0;
    } catch (const std::exception& error) {
        PrintText(stderr, QString::fromUtf8(error.what()));
        return THeadlessProgram::ExitFailed;
    }
}

} // namespace

int RunLauncher(int argc, char* argv[], const TLauncherParts& parts) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    TCommandLine line = ParseCommandLine(arguments, parts.Demo);
    switch (line.Action) {
    case TCommandLine::EAction::Print:
        PrintText(stdout, line.Text);
        return 0;
    case TCommandLine::EAction::Refuse:
        PrintText(stderr, line.Text);
        return THeadlessProgram::ExitBadArguments;
    case TCommandLine::EAction::Window:
        return RunWindowModule(parts.WindowModule, argc, argv, line);
    case TCommandLine::EAction::ExportCsv: {
        QCoreApplication app(argc, argv);
        return ExportLogAsCsv(line.LogFile);
    }
    case TCommandLine::EAction::Headless:
        break;
    }
    QCoreApplication app(argc, argv);
    // Where the settings file lives depends on the name.
    QCoreApplication::setApplicationName(QStringLiteral("dielometer"));
    if (line.Headless.SettingsFile.isEmpty())
        line.Headless.SettingsFile =
            ProgramSettingsFileName(QCoreApplication::applicationDirPath());
    try {
        return parts.RunHeadless(line);
    } catch (const std::exception& error) {
        PrintText(stderr, QString::fromUtf8(error.what()));
        return THeadlessProgram::ExitFailed;
    }
}
