// The real window (offscreen) with 8 virtual meters in fast mode at 11.0 ms for 60 s:
// - run_capture_ratio: values in the log against conversions the meters made;
// - window_busy_share: CPU time of the window's thread against the run's wall time.
#include "app/MainWindow.h"
#include "app/Program.h"
#include "bench/BenchMeters.h"
#include "bench/FastModeLog.h"
#include "link/hid/VirtualHidBus.h"
#include "model/IniFile.h"
#include "model/Meter.h"
#include "sim/VirtualMeter.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <memory>

namespace {

constexpr int MeterCount = 8;
constexpr int RunSeconds = 60;

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// The window's own event loop, as in the program, for a while.
void RunEventLoopFor(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QString iniName = dir.filePath(QStringLiteral("Settings.ini"));
    const QString logName = dir.filePath(QStringLiteral("run.txt"));
    TVirtualHidBus bus;
    TIniFile(iniName).WriteString(QStringLiteral("Measurement"), QStringLiteral("Logfile"),
                                  logName);
    const auto meters = PlugBenchMeters(bus, iniName, MeterCount);
    TProgram program(bus, iniName);
    TMainWindow& form = program.Window();
    form.show();
    RunEventLoopFor(500);
    if (form.MeterSet().Meters().size() != MeterCount) {
        std::fprintf(stderr, "%zu meters found\n", form.MeterSet().Meters().size());
        return 1;
    }
    form.Settings->FastModeCB->setChecked(true);
    form.Settings->FastModeIntervalCB->setCurrentIndex(0); // 11.0 ms

    const long long completedBefore = ConversionsCompleted(meters);
    const double cpuBefore = ThreadCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    form.StartBtnClick();
    if (!form.Run().Running()) {
        std::fprintf(stderr, "the run did not start\n");
        return 1;
    }
    RunEventLoopFor(RunSeconds * 1000);
    const double busy = (ThreadCpuSeconds() - cpuBefore) / (double(wall.elapsed()) / 1000);
    const long long completed = ConversionsCompleted(meters) - completedBefore;
    form.StopBtnClick();

    const long long values = FastModeLogValues(logName);
    if (values < 0) {
        std::fprintf(stderr, "no log\n");
        return 1;
    }
    std::printf("run_values_logged = %lld\n", values);
    std::printf("run_conversions = %lld\n", completed);
    std::printf("run_capture_ratio = %.5f\n", double(values) / double(completed));
    std::printf("window_busy_share = %.4f\n", busy);
    return 0;
}
