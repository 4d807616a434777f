// The headless program with 8 virtual meters in fast mode at 11.0 ms for 60 s, in this process,
// which links what the headless program links and no widgets:
// - headless_rss_mb: the process's peak resident memory;
// - headless_capture_ratio: values in the log against conversions the meters made.
#include "app/core/MeterSet.h"
#include "app/core/RunController.h"
#include "app/headless/HeadlessProgram.h"
#include "bench/BenchMeters.h"
#include "bench/FastModeLog.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int MeterCount = 8;
constexpr int RunSeconds = 60;

// The peak resident set of this process, MB; -1 when unknown.
double PeakResidentMb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString iniName = dir.filePath(QStringLiteral("Settings.ini"));
    const QString logName = dir.filePath(QStringLiteral("run.txt"));
    TVirtualHidBus bus;
    const auto meters = PlugBenchMeters(bus, iniName, MeterCount);
    {
        TIniFile ini(iniName);
        ini.WriteInteger(QStringLiteral("Measurement"), QStringLiteral("FastMode"), 1);
        ini.WriteInteger(QStringLiteral("Measurement"), QStringLiteral("FastModeInterval"), 0);
        ini.WriteInteger(QStringLiteral("Telnet"), QStringLiteral("Port"), 0);
    }

    THeadlessOptions options;
    options.SettingsFile = iniName;
    options.Start = true;
    options.LogFile = logName;
    // The run's end is the bench's: the conversions are counted just before the stop.
    THeadlessProgram program(bus, options, [](const QString&) {});
    long long completedAtStart = -1;
    long long completed = 0;
    QObject::connect(&program.Run(), &TRunController::RunningChanged, &program, [&](bool running) {
        if (!running)
            return;
        completedAtStart = ConversionsCompleted(meters);
        QTimer::singleShot(RunSeconds * 1000, &program, [&] {
            completed = ConversionsCompleted(meters) - completedAtStart;
            program.Finish(THeadlessProgram::ExitDone);
        });
    });
    const int exitCode = program.Exec();
    if (exitCode != 0 || completedAtStart < 0 ||
        program.MeterSet().Meters().size() != std::size_t(MeterCount)) {
        std::fprintf(stderr, "the run did not go as planned (exit code %d, %zu meters)\n", exitCode,
                     program.MeterSet().Meters().size());
        return 1;
    }
    const long long values = FastModeLogValues(logName);
    std::printf("headless_values_logged = %lld\n", values);
    std::printf("headless_conversions = %lld\n", completed);
    std::printf("headless_capture_ratio = %.5f\n", double(values) / double(completed));
    std::printf("headless_rss_mb = %.1f\n", PeakResidentMb());
    return 0;
}
