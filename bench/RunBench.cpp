// The real window (offscreen) with 8 virtual meters in fast mode at 11.0 ms for 60 s, twice:
// first with empty charts, then with charts that already hold 10,000,000 points in every series
// the run draws (as after about 30 hours of such a run), "Max. Points" at 0 so that none goes:
// - run_capture_ratio, prefilled_capture_ratio: values in the log against conversions the
//   meters made;
// - window_busy_share, prefilled_busy_share: CPU time of the window's thread against the run's
//   wall time.
#include "app/ChartArea.h"
#include "app/MainWindow.h"
#include "app/Program.h"
#include "app/SettingsPanel.h"
#include "bench/BenchMeters.h"
#include "bench/FastModeLog.h"
#include "link/hid/VirtualHidBus.h"
#include "model/IniFile.h"
#include "model/Meter.h"
#include "sim/VirtualMeter.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <random>

namespace {

constexpr int MeterCount = 8;
constexpr int RunSeconds = 60;
constexpr int PrefilledPoints = 10'000'000;

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

// Fills every series that a fast-mode run draws with points as such a run draws them: at the
// series' next point numbers, one every 11 ms up to now, meter i's capacitance at 0.1 * i pF
// with the virtual meters' noise, and conversion times of 11 ms give or take one.
void Prefill(TChartSet& charts, int points) {
    constexpr std::int64_t IntervalMs = 11;
    const std::int64_t startMs = QDateTime::currentMSecsSinceEpoch() - points * IntervalMs;
    std::mt19937 random(5);
    std::normal_distribution<double> noise(0.0, 0.0005);
    std::uniform_int_distribution<int> jitter(-1, 1);
    for (std::size_t meter = 0; meter < MeterCount; ++meter) {
        if (charts.Series(meter, EChartQuantity::Cap1))
            for (int i = 0; i < points; ++i)
                charts.AddNext(meter, EChartQuantity::Cap1, 0.1 * double(meter) + noise(random), 0,
                               startMs + i * IntervalMs);
        if (charts.Series(meter, EChartQuantity::Time))
            for (int i = 0; i < points; ++i)
                charts.AddNext(meter, EChartQuantity::Time, double(IntervalMs + jitter(random)), 0,
                               startMs + i * IntervalMs);
    }
}

struct TRunFigures {
    long long Values = 0;
    long long Conversions = 0;
    double BusyShare = 0;
};

// One run of the window with its own meters and settings; prefill: points per series in the
// charts before Start (0: none).
std::optional<TRunFigures> MeasureRun(int prefill) {
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
        return std::nullopt;
    }
    form.Settings->FastModeCB->setChecked(true);
    form.Settings->FastModeIntervalCB->setCurrentIndex(0); // 11.0 ms
    if (prefill > 0) {
        form.Settings->MaxPointSE->setValue(0);
        Prefill(form.ChartArea->Series(), prefill);
        RunEventLoopFor(500); // the charts take in their points once
    }

    const long long completedBefore = ConversionsCompleted(meters);
    const double cpuBefore = ThreadCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    form.StartBtnClick();
    if (!form.Run().Running()) {
        std::fprintf(stderr, "the run did not start\n");
        return std::nullopt;
    }
    RunEventLoopFor(RunSeconds * 1000);
    TRunFigures figures;
    figures.BusyShare = (ThreadCpuSeconds() - cpuBefore) / (double(wall.elapsed()) / 1000);
    figures.Conversions = ConversionsCompleted(meters) - completedBefore;
    form.StopBtnClick();

    figures.Values = FastModeLogValues(logName);
    if (figures.Values < 0) {
        std::fprintf(stderr, "no log\n");
        return std::nullopt;
    }
    return figures;
}

} // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    const std::optional<TRunFigures> plain = MeasureRun(0);
    if (!plain)
        return 1;
    std::printf("run_values_logged = %lld\n", plain->Values);
    std::printf("run_conversions = %lld\n", plain->Conversions);
    std::printf("run_capture_ratio = %.5f\n", double(plain->Values) / double(plain->Conversions));
    std::printf("window_busy_share = %.4f\n", plain->BusyShare);
    std::fflush(stdout);

    const std::optional<TRunFigures> prefilled = MeasureRun(PrefilledPoints);
    if (!prefilled)
        return 1;
    std::printf("prefilled_points = %d\n", PrefilledPoints);
    std::printf("prefilled_values_logged = %lld\n", prefilled->Values);
    std::printf("prefilled_conversions = %lld\n", prefilled->Conversions);
    std::printf("prefilled_capture_ratio = %.5f\n",
                double(prefilled->Values) / double(prefilled->Conversions));
    std::printf("prefilled_busy_share = %.4f\n", prefilled->BusyShare);
    return 0;
}
