// A fast-mode log of 8 meters and 1,000,000 rows, as about three hours of such a run writes it:
// - log_rows_per_s: rows the log reader reads per second, values and times;
// - log_viewer_rows_per_s: the same, with every value appended to its chart series as the
//   window of past runs keeps them;
// - log_reader_bytes_per_point: the heap those series take, summary and times included, per
//   point.
#include "app/ChartSeries.h"
#include "app/core/LogFile.h"
#include "app/core/LogReader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>
#include <malloc.h>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr int MeterCount = 8;
constexpr int Rows = 1'000'000;
// Conversions at 11.0 ms fill a 250 ms block with 22 or 23 rows.
constexpr int RowsPerBlock = 23;

std::size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

void WriteLog(const QString& fileName) {
    TLogSettings settings;
    settings.FastMode = true;
    settings.Interval = QStringLiteral("11.0");
    settings.Created = QDateTime::currentDateTime();
    for (int m = 0; m < MeterCount; ++m) {
        TLogMeter meter;
        meter.Serial = QStringLiteral("SIM%1").arg(m + 1, 5, 10, QLatin1Char('0'));
        meter.CAP1Mode = 1;
        settings.Meters.push_back(meter);
    }
    TLogFile log;
    log.Open(fileName, settings, QLocale::c());
    std::mt19937 random(3);
    std::normal_distribution<double> noise(0.0, 0.002);
    std::vector<std::vector<double>> block(MeterCount);
    for (int written = 0; written < Rows; written += RowsPerBlock) {
        for (int m = 0; m < MeterCount; ++m) {
            block[std::size_t(m)].clear();
            for (int q = 0; q < RowsPerBlock && written + q < Rows; ++q)
                block[std::size_t(m)].push_back(10.0 + m + noise(random));
        }
        log.WriteBlock(block);
    }
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString logName = dir.filePath(QStringLiteral("run.txt"));
    WriteLog(logName);

    // Read twice, the first time to have the file in the page cache as a second look would.
    double seconds = 0;
    qint64 rows = 0;
    for (int pass = 0; pass < 2; ++pass) {
        TLogReader reader(logName);
        TLogRow row;
        rows = 0;
        QElapsedTimer clock;
        clock.start();
        while (reader.Next(row))
            ++rows;
        seconds = double(clock.nsecsElapsed()) / 1e9;
        if (reader.ProblemCount() > 0 || rows != Rows) {
            std::fprintf(stderr, "%lld rows, %lld problems\n", rows, reader.ProblemCount());
            return 1;
        }
    }

    const std::size_t heapBefore = HeapInUse();
    std::vector<std::unique_ptr<TSeriesData>> series;
    QElapsedTimer clock;
    clock.start();
    TLogReader reader(logName);
    const std::int64_t created = reader.Header().Created.toMSecsSinceEpoch();
    for (std::size_t c = 0; c < reader.Header().Columns.size(); ++c)
        series.push_back(std::make_unique<TSeriesData>());
    TLogRow row;
    std::size_t points = 0;
    while (reader.Next(row)) {
        for (std::size_t c = 0; c < row.Values.size(); ++c) {
            if (std::isnan(row.Values[c]))
                continue;
            series[c]->Append(double(row.Points[c]), row.Values[c], created + row.ElapsedMs);
            ++points;
        }
    }
    const double viewerSeconds = double(clock.nsecsElapsed()) / 1e9;
    const double bytesPerPoint = double(HeapInUse() - heapBefore) / double(points);

    std::printf("log_rows = %lld\n", rows);
    std::printf("log_meters = %d\n", MeterCount);
    std::printf("log_rows_per_s = %.0f\n", double(rows) / seconds);
    std::printf("log_viewer_rows_per_s = %.0f\n", double(rows) / viewerSeconds);
    std::printf("log_reader_bytes_per_point = %.2f\n", bytesPerPoint);
    return 0;
}
