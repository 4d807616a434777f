#include "app/headless/CommandLine.h"

#include "generated/BuildVersion.h"

#include <QCommandLineParser>
#include <QFileInfo>

namespace {

// The options only a run without a window takes.
const QStringList HeadlessOnly = {QStringLiteral("start"), QStringLiteral("log"),
                                  QStringLiteral("duration"), QStringLiteral("progress")};

// The parser names the program from the application object, which does not exist yet.
QString HelpText(const QCommandLineParser& parser, const QString& program) {
    QString text = parser.helpText();
    text.replace(QLatin1String("<executable_name>"), program);
    return text;
}

TCommandLine Refused(const QString& reason, const QCommandLineParser& parser,
                     const QString& program) {
    TCommandLine line;
    line.Action = TCommandLine::EAction::Refuse;
    line.Text = reason + QStringLiteral("\n\n") + HelpText(parser, program);
    return line;
}

} // namespace

TCommandLine ParseCommandLine(const QStringList& arguments, bool demo) {
    const QString program = demo ? QStringLiteral("dielometer-sim") : QStringLiteral("dielometer");
    QCommandLineParser parser;
    parser.setApplicationDescription(
        demo ? QStringLiteral("Capacitance meters, logged and charted; the demo program on "
                              "virtual meters.")
             : QStringLiteral("Capacitance meters, logged and charted."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption headless(
        QStringLiteral("headless"),
        QStringLiteral("Run without a window: find the meters, serve remote clients, and print "
                       "one line per event on standard error. SIGTERM or SIGINT stop a run, "
                       "write its log and the settings, and end the program."));
    const QCommandLineOption settings(
        QStringLiteral("settings"),
        QStringLiteral("Read and write the program settings in <file> in place of Settings.ini."),
        QStringLiteral("file"));
    const QCommandLineOption start(QStringLiteral("start"),
                                   QStringLiteral("Start a run at once (with --headless)."));
    const QCommandLineOption log(
        QStringLiteral("log"),
        QStringLiteral("Write the run's log to <file>; an existing file is kept and the run "
                       "writes the next free name (with --headless)."),
        QStringLiteral("file"));
    const QCommandLineOption duration(
        QStringLiteral("duration"),
        QStringLiteral("Stop the run after <seconds> and end the program (with --headless)."),
        QStringLiteral("seconds"));
    const QCommandLineOption progress(
        QStringLiteral("progress"),
        QStringLiteral("Print every 10 s the rows written and each meter's values per second "
                       "(with --headless)."));
    const QCommandLineOption meters(QStringLiteral("meters"),
                                    QStringLiteral("Plug in <count> virtual meters at start "
                                                   "(default 2)."),
                                    QStringLiteral("count"), QStringLiteral("2"));
    const QCommandLineOption exportCsv(
        QStringLiteral("export-csv"),
        QStringLiteral("Write the log <file> as a CSV file beside it, for spreadsheets and "
                       "scripts, and exit."),
        QStringLiteral("file"));
    const QCommandLineOption view(
        QStringLiteral("view"),
        QStringLiteral("Show the log <file> of an earlier run in its charts, read only."),
        QStringLiteral("file"));
    parser.addOptions(
        {help, version, headless, settings, start, log, duration, progress, exportCsv, view});
    if (demo)
        parser.addOption(meters);

    TCommandLine line;
    const bool parsed = parser.parse(arguments);
    const bool wantsHeadless = arguments.contains(QStringLiteral("--headless"));
    if (!parsed) {
        // In a window Qt takes its own options, such as -platform; it tells of the others.
        if (!wantsHeadless)
            return line;
        return Refused(parser.errorText(), parser, program);
    }
    if (parser.isSet(help)) {
        line.Action = TCommandLine::EAction::Print;
        line.Text = HelpText(parser, program);
        return line;
    }
    if (parser.isSet(version)) {
        line.Action = TCommandLine::EAction::Print;
        line.Text = program + u' ' + QLatin1String(dielo::BuildVersionText) + u'\n';
        return line;
    }
    if (!parser.positionalArguments().isEmpty())
        return Refused(QStringLiteral("Unexpected argument: %1")
                           .arg(parser.positionalArguments().constFirst()),
                       parser, program);
    if (parser.isSet(exportCsv)) {
        line.Action = TCommandLine::EAction::ExportCsv;
        line.LogFile = parser.value(exportCsv);
        if (parser.isSet(headless))
            return Refused(QStringLiteral("--export-csv runs alone, not with --headless."), parser,
                           program);
        return line;
    }
    if (parser.isSet(view)) {
        line.ViewLog = parser.value(view);
        if (parser.isSet(headless))
            return Refused(QStringLiteral("--view shows a window; it does not go with --headless."),
                           parser, program);
    }
    if (parser.isSet(settings)) {
        line.SettingsFile = parser.value(settings);
        if (!QFileInfo(line.SettingsFile).isFile())
            return Refused(
                QStringLiteral("The settings file %1 does not exist.").arg(line.SettingsFile),
                parser, program);
    }
    if (demo) {
        bool number = false;
        line.VirtualMeters = parser.value(meters).toInt(&number);
        if (!number || line.VirtualMeters < 0 || line.VirtualMeters > 64)
            return Refused(QStringLiteral("--meters takes a count from 0 to 64, not \"%1\".")
                               .arg(parser.value(meters)),
                           parser, program);
    }
    if (!parser.isSet(headless)) {
        for (const QString& name : HeadlessOnly)
            if (parser.isSet(name))
                return Refused(QStringLiteral("--%1 works only with --headless.").arg(name), parser,
                               program);
        return line;
    }

    line.Action = TCommandLine::EAction::Headless;
    THeadlessOptions& options = line.Headless;
    options.SettingsFile = line.SettingsFile;
    options.Start = parser.isSet(start);
    options.LogFile = parser.value(log);
    options.Progress = parser.isSet(progress);
    if (parser.isSet(log) && options.LogFile.isEmpty())
        return Refused(QStringLiteral("--log needs a file name."), parser, program);
    if (parser.isSet(duration)) {
        bool number = false;
        const double seconds = parser.value(duration).toDouble(&number);
        if (!number || !(seconds > 0) || seconds > 1e9)
            return Refused(QStringLiteral("--duration takes a number of seconds greater than 0, "
                                          "not \"%1\".")
                               .arg(parser.value(duration)),
                           parser, program);
        if (!options.Start)
            return Refused(QStringLiteral("--duration needs --start."), parser, program);
        options.DurationMs = qint64(seconds * 1000.0);
    }
    return line;
}
