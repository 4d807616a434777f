// The real window (offscreen) with 8 virtual meters in fast mode at 11.0 ms for 60 s:
// - run_capture_ratio: values in the log against conversions the meters made;
// - window_busy_share: CPU time of the window's thread against the run's wall time.
#include "app/MainWindow.h"
#include "app/Program.h"
#include "link/hid/VirtualHidBus.h"
#include "model/IniFile.h"
#include "model/Meter.h"
#include "sim/VirtualMeter.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
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
    std::vector<std::shared_ptr<TVirtualMeter>> meters;
    {
        TIniFile ini(iniName);
        ini.WriteString(QStringLiteral("Measurement"), QStringLiteral("Logfile"), logName);
        for (int i = 0; i < MeterCount; ++i) {
            const QString serial = QStringLiteral("BENCH%1").arg(i);
            // Channel 1 alone: one capacitive conversion per cycle.
            ini.WriteInteger(serial, QStringLiteral("CAP1Mode"), 1);
            ini.WriteInteger(serial, QStringLiteral("Reg7"), 0x80);
            ini.WriteInteger(serial, QStringLiteral("Reg9"), 0x28);
            ini.WriteInteger(serial, QStringLiteral("Reg10"), 0xA0);
            auto meter = std::make_shared<TVirtualMeter>(serial, std::uint64_t(i + 1));
            meter->SetLatency(std::chrono::milliseconds(1));
            meter->SetInputCapacitance(1, 0.1 * i);
            meter->SetCapNoise(0.0005);
            bus.Plug(meter);
            meters.push_back(meter);
        }
    }
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

    int completedBefore = 0;
    for (const auto& meter : meters)
        completedBefore += meter->ResultsCompleted();
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
    int completed = -completedBefore;
    for (const auto& meter : meters)
        completed += meter->ResultsCompleted();
    form.StopBtnClick();

    // The log's blocks end with their count lines.
    QFile log(logName);
    if (!log.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "no log\n");
        return 1;
    }
    long long values = 0;
    bool inBlocks = false;
    for (const QByteArray& line : log.readAll().split('\n')) {
        if (line.startsWith("CAP1.")) {
            inBlocks = true;
            continue;
        }
        // Value rows end with a TAB; a meter with fewer values leaves its field empty.
        if (inBlocks && line.endsWith("\t\r"))
            for (const QByteArray& field : line.chopped(1).split('\t'))
                values += field.isEmpty() ? 0 : 1;
    }
    std::printf("run_values_logged = %lld\n", values);
    std::printf("run_conversions = %d\n", completed);
    std::printf("run_capture_ratio = %.5f\n", double(values) / double(completed));
    std::printf("window_busy_share = %.4f\n", busy);
    return 0;
}
