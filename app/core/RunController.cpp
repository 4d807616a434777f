#include "app/core/RunController.h"

#include "app/core/MeterSet.h"
#include "model/MeasurementWorker.h"
#include "model/Meter.h"
#include "model/SampleRecord.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLocale>

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <utility>

namespace {

std::int64_t SteadySystemClock() {
    static const std::int64_t start = QDateTime::currentMSecsSinceEpoch();
    static const QElapsedTimer since = [] {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    return start + since.elapsed();
}

} // namespace

TRunController::TRunController(TMeterSet& meters, QObject* parent)
    : QObject(parent)
    , FMeters(meters)
    , FClock(SteadySystemClock) {
    FTickTimer.setObjectName(QStringLiteral("TickTimer"));
    FTestTimer.setObjectName(QStringLiteral("TestTimer"));
    FTickTimer.setInterval(FSettings.Interval); // in step with the interval until Start sets it
    FTestTimer.setInterval(TestDuration);
    FStateTimer.setInterval(1000);
    connect(&FTickTimer, &QTimer::timeout, this, [this] {
        Signalled([this] {
            if (FRunning)
                Tick();
        });
    });
    connect(&FTestTimer, &QTimer::timeout, this, [this] {
        FTestTimer.stop();
        Signalled([this] { Stop(); });
    });
    connect(&FStateTimer, &QTimer::timeout, this, [this] {
        MeasureMeterRates();
        emit RunStateChanged();
    });
    connect(&meters, &TMeterSet::Result, this, &TRunController::MeterResult);
    connect(&meters, &TMeterSet::MeterFailed, this,
            [this](std::size_t meter, const QString&) { MeterFailed(meter); });
    connect(&meters, &TMeterSet::MetersAboutToGo, this, &TRunController::MetersAboutToGo);
    connect(&meters, &TMeterSet::MetersChanged, this, &TRunController::MetersChanged);
}

TRunController::~TRunController() = default;

template <class Body>
void TRunController::Signalled(Body&& body) {
    try {
        std::forward<Body>(body)();
    } catch (const std::exception& error) {
        emit ErrorOccurred(QString::fromUtf8(error.what()));
    } catch (...) {
        emit ErrorOccurred(QStringLiteral("Unknown error"));
    }
}

// ---------------------------------------------------------------------------------------------
// Settings

void TRunController::SetFastMode(bool fast) {
    FSettings.FastMode = fast;
    // Fast mode logs in blocks every 250 ms; the timer-mode interval is set again at Start.
    if (fast)
        FTickTimer.setInterval(FastModeTickInterval);
}

void TRunController::SetFastModeInterval(int index, const QString& text) {
    FSettings.FastModeInterval = index;
    FSettings.FastModeIntervalText = text;
}

void TRunController::SetInterval(int milliseconds) {
    FSettings.Interval = milliseconds;
    FTickTimer.setInterval(milliseconds);
    WarnOfShortInterval();
}

void TRunController::SetPoints(int point, int tickPoint) {
    FActPoint = point;
    FActTickPoint = tickPoint;
}

void TRunController::ContinueAfter(int point, int tickPoint) {
    FActPoint = std::max(FActPoint, point);
    FActTickPoint = std::max(FActTickPoint, tickPoint);
}

// ---------------------------------------------------------------------------------------------
// Start, Stop, Clear, Test

void TRunController::PrepareMeters() {
    for (TMeter* meter : FMeters.Meters()) {
        meter->SetContinuousMode(FSettings.FastMode);
        meter->SetContinuousModeInterval(FSettings.FastModeInterval);
    }
}

QString TRunController::LogFileOfStart(EStartedBy startedBy) {
    if (startedBy == EStartedBy::Unattended) {
        if (FLogFileName.isEmpty() && !FUnattendedFolder.isEmpty())
            QDir().mkpath(FUnattendedFolder);
        const QString fileName =
            FLogFileName.isEmpty()
                ? UnattendedLogFileName(FUnattendedFolder, QDateTime::currentDateTime())
                : FreeLogFileName(FLogFileName);
        if (fileName != FLogFileName)
            emit Status(
                QStringLiteral("The run writes to %1").arg(QDir::toNativeSeparators(fileName)));
        return fileName;
    }
    if (FLogFileName.isEmpty()) {
        if (!FQuestions)
            throw ELogFileError("No log file is set: set one before starting a measurement.");
        const std::optional<QString> chosen = FQuestions->ChooseLogFile();
        if (!chosen)
            return {};
        FLogFileName = *chosen;
    }
    const QString fileName = FLogFileName;
    emit LogFileChosen(fileName);
    if (QFileInfo::exists(fileName)) {
        if (!FQuestions)
            throw ELogFileError(QStringLiteral("The log file %1 exists already, and nobody is "
                                               "asked whether to replace it.")
                                    .arg(fileName)
                                    .toStdString());
        if (!FQuestions->MayReplace(fileName))
            return {};
    }
    return fileName;
}

void TRunController::Start(EStartedBy startedBy) {
    // A second Start during a run would empty the log it is writing.
    if (FRunning)
        return;
    const bool fast = FSettings.FastMode;
    PrepareMeters();
    const QString fileName = LogFileOfStart(startedBy);
    if (fileName.isEmpty())
        return;
    FLogFile.Open(fileName, LogSettings(), QLocale());
    FRunning = true;
    FFastModeRun = fast;
    FRunStartMs = FClock();
    FRowTimeMs = FRunStartMs;
    // The run's points follow the last run's, in timer and in fast mode alike.
    emit RunStarting();
    ++FActPoint;
    ++FActTickPoint;
    const std::vector<TMeter*>& meters = FMeters.Meters();
    FRunMeters.clear();
    for (const TMeter* meter : meters)
        FRunMeters.push_back({meter->SerNum(), meter->ValueCount(), {}});
    FBuffers.Resize(FRunMeters.size());
    FBuffers.ClearValues();
    FBuffers.ClearTicks();
    MapRunColumns();
    for (TMeterState& state : FMeterStates) {
        state.RestartDue = false;
        state.ResultTime = FRunStartMs;
    }
    FUnwrittenRows.clear();
    FLogFailing = false;
    PrepareMeters();
    for (TMeter* meter : meters)
        meter->StartMes();
    FTickTimer.setInterval(fast ? FastModeTickInterval : FSettings.Interval);
    FTickTimer.start();
    FRunClock.start();
    for (TMeterState& state : FMeterStates)
        state.ResultsSinceRates = 0;
    FMeterRates.clear();
    FRatesClock.start();
    FStateTimer.start();
    emit RunningChanged(true);
    emit RunStateChanged();
    WarnOfShortInterval();
    FMeters.TriggerAll();
}

void TRunController::Stop() {
    FTickTimer.stop();
    FTestTimer.stop();
    const bool wasRunning = std::exchange(FRunning, false);
    FStateTimer.stop();
    // What fast mode buffered since the last tick is written as a last block.
    std::exception_ptr lastBlockError;
    if (wasRunning && FFastModeRun && FBuffers.HasValues()) {
        try {
            FastModeTick();
        } catch (...) {
            lastBlockError = std::current_exception();
        }
    }
    // So are the rows that the disk refused so far.
    if (wasRunning && !FUnwrittenRows.isEmpty()) {
        try {
            WriteUnwrittenRows();
        } catch (...) {
            lastBlockError = std::current_exception();
        }
    }
    const qsizetype unwritten =
        FUnwrittenRows.size() + qsizetype(FFastModeRun ? FBuffers.Depth() : 0);
    if (wasRunning && unwritten > 0 && !lastBlockError)
        lastBlockError = std::make_exception_ptr(
            ELogFileError(QStringLiteral("%1 row(s) of the run could not be written to %2: the "
                                         "log ends before them")
                              .arg(unwritten)
                              .arg(FLogFile.FileName())
                              .toStdString()));
    FUnwrittenRows.clear();
    FLogFailing = false;
    FLogFile.Close();
    for (TMeter* meter : FMeters.Meters())
        meter->StopMes();
    emit RunningChanged(false);
    emit RunStateChanged();
    WarnOfShortInterval();
    if (lastBlockError)
        std::rethrow_exception(lastBlockError);
}

void TRunController::Clear() {
    FActPoint = 0;
    FActTickPoint = 0;
    emit Cleared();
}

void TRunController::Test() {
    Clear();
    Start();
    if (!FRunning)
        return;
    FTestTimer.start();
    emit RunStateChanged();
}

void TRunController::StartAutoOffset() {
    FAutoOffset = true;
    for (TMeter* meter : FMeters.Meters()) {
        meter->Offset_Count = 0;
        meter->Cal1Offset = 0.0;
        meter->Cal2Offset = 0.0;
    }
    emit AutoOffsetStarted();
}

void TRunController::WarnOfShortInterval() {
    if (!FRunning || FFastModeRun) {
        emit IntervalWarningChanged(QString());
        return;
    }
    std::chrono::milliseconds slowest{0};
    QString slowMeter;
    for (const TMeter* meter : FMeters.Meters()) {
        const auto time = TriggeredAcquisitionTime(
            meter->RegData(), meter->MeasurementWorker()->Repeats, meter->SMode());
        if (time > slowest) {
            slowest = time;
            slowMeter = meter->SerNum();
        }
    }
    if (FSettings.Interval >= slowest.count()) {
        emit IntervalWarningChanged(QString());
        return;
    }
    // Rows of ticks that come before a meter has finished leave its fields empty.
    const auto shortest = (slowest.count() + 9) / 10 * 10;
    emit IntervalWarningChanged(
        QStringLiteral("The interval of %1 ms is shorter than the %2 ms meter %3 needs for a "
                       "measurement: rows will have empty fields. %4 ms or more gives every row "
                       "fresh values.")
            .arg(FSettings.Interval)
            .arg(slowest.count())
            .arg(slowMeter)
            .arg(shortest));
}

// ---------------------------------------------------------------------------------------------
// Ticks

void TRunController::Tick() {
    if (FFastModeRun)
        FastModeTick();
    else
        TimerModeTick();
}

void TRunController::TimerModeTick() {
    const auto values = NewestValues();
    std::vector<int> columns;
    for (TRunMeter& meter : FRunMeters) {
        columns.push_back(meter.Columns);
        meter.Unlogged.clear();
    }
    for (TMeterState& state : FMeterStates)
        state.Unlogged = false;
    const QString row = ValueRow(values, QLocale(), columns);
    emit Line(row);
    FRowTimeMs = FClock();
    ++FActPoint;
    ++FActTickPoint;
    FMeters.TriggerAll();
    // Rows that the disk refused wait for the next tick and go ahead of its row.
    FUnwrittenRows << row;
    WriteUnwrittenRows();
}

void TRunController::WriteUnwrittenRows() {
    WriteLog([&] {
        FLogFile.WriteRowsText(FUnwrittenRows);
        FUnwrittenRows.clear();
    });
}

void TRunController::WriteLog(const std::function<void()>& write) {
    try {
        write();
        if (std::exchange(FLogFailing, false))
            emit Status(QStringLiteral("Log file written again"));
    } catch (const ELogFileError& error) {
        emit Status(QString::fromUtf8(error.what()));
        // Raised once until the log can be written again: a box per tick would pile up.
        if (!std::exchange(FLogFailing, true))
            throw;
    }
}

void TRunController::FastModeTick() {
    const std::vector<TMeter*>& meters = FMeters.Meters();
    for (std::size_t meter = 0; meter < meters.size(); ++meter)
        if (std::exchange(StateOf(meter).RestartDue, false))
            meters[meter]->TriggerMeasurement();
    // Clients get each value once: values that the log could not take yet are kept for it
    // alone. They are the ones not yet drawn.
    std::vector<std::vector<double>> fresh;
    for (std::size_t column = 0; column < FBuffers.Meters(); ++column) {
        const std::span<const double> values = FBuffers.UndrawnValues(column);
        fresh.emplace_back(values.begin(), values.end());
    }
    DrawBufferedPoints();
    const QStringList block = FastModeBlock(fresh, QLocale());
    // The line holds the block's rows without their count line.
    emit Line(block.mid(0, block.size() - 1).join(QString()));
    // On a failing write the buffers keep their values for the next tick.
    WriteLog([&] {
        FLogFile.WriteBlock(FBuffers.Values());
        FBuffers.ClearValues();
    });
}

void TRunController::DrawBufferedPoints() {
    // Values that a failed write left for the next tick are drawn only once.
    for (std::size_t column = 0; column < FBuffers.Meters(); ++column) {
        // A meter that is out keeps its buffered values for the log; they are not drawn.
        const int found = MeterOfRunColumn(column);
        if (found < 0)
            continue;
        const auto meter = std::size_t(found);
        // Each value with the time of the result it came with.
        const std::vector<std::int64_t>& times = FBuffers.Times()[column];
        const std::span<const double> values = FBuffers.UndrawnValues(column);
        for (std::size_t i = 0; i < values.size() && i < times.size(); ++i)
            emit PointNext(meter, EChartQuantity::Cap1, values[i], times[i]);
        for (std::size_t i = 0; i < times.size(); ++i)
            emit PointNext(meter, EChartQuantity::Time, FBuffers.Ticks()[column][i], times[i]);
    }
    FBuffers.MarkDrawn();
    FBuffers.ClearTicks();
}

// ---------------------------------------------------------------------------------------------
// Results

void TRunController::MeterResult(std::size_t meterIndex, std::span<const double> values,
                                 std::uint32_t ticks) {
    const std::vector<TMeter*>& meters = FMeters.Meters();
    if (!FRunning || meterIndex >= meters.size())
        return;
    TMeter& meter = *meters[meterIndex];
    TMeterState& state = StateOf(meterIndex);
    if (!std::exchange(state.HasResult, true))
        emit MeterMeasuresAgain(meterIndex);
    state.Unlogged = true;
    ++state.ResultsSinceRates;
    // Timer mode draws the result at its tick's time; fast mode where its elapsed time ends.
    std::int64_t time = FRowTimeMs;
    if (FFastModeRun) {
        time = state.ResultTime ? *state.ResultTime + ticks : FClock();
        state.ResultTime = time;
    }
    const TMeasuredQuantities measured = MeasuredQuantities(meter.RegData());
    auto [c1, c2, temperature, resistance] = ValuesByQuantity(measured, values);
    // The offsets are the running mean of each channel's first 10 values after the button.
    if (FAutoOffset && (measured.Cap1 || measured.Cap2)) {
        if (meter.Offset_Count < 10) {
            ++meter.Offset_Count;
            if (c1)
                meter.Cal1Offset += (*c1 - meter.Cal1Offset) / meter.Offset_Count;
            if (c2)
                meter.Cal2Offset += (*c2 - meter.Cal2Offset) / meter.Offset_Count;
        }
        if (c1)
            *c1 -= meter.Cal1Offset;
        if (c2)
            *c2 -= meter.Cal2Offset;
    }
    const int column = RunColumn(meterIndex); // where fast mode buffers the meter's results
    // In fast mode the tick draws the CAP1 values and elapsed times; their series' limits
    // apply as each result arrives. A meter that joined the run has no log columns and so
    // nothing in the buffers: its points are drawn as they come.
    const auto draw = [&](EChartQuantity quantity, double value) {
        if (FFastModeRun)
            emit PointNext(meterIndex, quantity, value, time);
        else
            emit PointAt(meterIndex, quantity, FActPoint, value, time);
    };
    if (c1 && FFastModeRun && column >= 0) {
        FBuffers.AddValue(std::size_t(column), *c1);
        emit PointsBuffered(meterIndex, EChartQuantity::Cap1);
    } else if (c1) {
        draw(EChartQuantity::Cap1, *c1);
    }
    if (c2)
        draw(EChartQuantity::Cap2, *c2);
    if (temperature)
        draw(EChartQuantity::Temperature, *temperature);
    if (resistance)
        draw(EChartQuantity::Resistance, *resistance);
    if (FFastModeRun && column >= 0) {
        FBuffers.AddTicks(std::size_t(column), int(ticks), time);
        emit PointsBuffered(meterIndex, EChartQuantity::Time);
    } else if (FFastModeRun) {
        emit PointNext(meterIndex, EChartQuantity::Time, ticks, time);
    } else {
        emit PointAt(meterIndex, EChartQuantity::Time, FActTickPoint, ticks, time);
    }
    emit TicksMeasured(ticks);
}

void TRunController::MeterFailed(std::size_t meter) {
    // Its last values are no measurement of now: its fields stay empty until it measures again,
    // and in fast mode the next tick starts its conversions again.
    TMeterState& state = StateOf(meter);
    state.HasResult = false;
    state.RestartDue = true;
    // The pause until it measures again is in no elapsed time.
    state.ResultTime.reset();
}

void TRunController::MetersAboutToGo() {
    // In timer mode a result that no tick has logged yet is kept for the next row.
    if (!FRunning || FFastModeRun)
        return;
    const std::vector<TMeter*>& meters = FMeters.Meters();
    for (std::size_t meter = 0; meter < meters.size(); ++meter) {
        const int column = RunColumn(meter);
        if (column < 0 || !StateOf(meter).Unlogged)
            continue;
        std::vector<double> values = ValuesForRunColumn(*meters[meter], std::size_t(column));
        if (!values.empty())
            FRunMeters[std::size_t(column)].Unlogged = std::move(values);
    }
}

void TRunController::MetersChanged() {
    const std::vector<TMeter*>& meters = FMeters.Meters();
    // Meters plugged in during a run join it at once, in fast mode with their continuous
    // conversion. Between runs the buffers follow the meters; during one, the run's log
    // columns, which a device change keeps.
    if (FRunning) {
        PrepareMeters();
        for (TMeter* meter : meters)
            meter->StartMes();
    } else {
        FBuffers.Resize(meters.size());
    }
    FMeterStates.assign(meters.size(), {});
    MapRunColumns();
}

TRunController::TMeterState& TRunController::StateOf(std::size_t meter) {
    // A meter may report before the states follow a device change.
    if (meter >= FMeterStates.size())
        FMeterStates.resize(std::max(meter + 1, FMeters.Meters().size()));
    return FMeterStates[meter];
}

std::vector<std::vector<double>> TRunController::NewestValues() const {
    // In the run's columns: a meter that is out, or came back measuring other quantities,
    // leaves its fields empty rather than shifting the others'.
    std::vector<std::vector<double>> values;
    const std::vector<TMeter*>& meters = FMeters.Meters();
    for (std::size_t column = 0; column < FRunMeters.size(); ++column) {
        const int found = MeterOfRunColumn(column);
        // A field holds a value measured since the row before, or stays empty: a meter that
        // has not finished a measurement since the last tick repeats nothing.
        const bool measured = found >= 0 && std::size_t(found) < FMeterStates.size() &&
                              FMeterStates[std::size_t(found)].Unlogged;
        std::vector<double> row = measured ? ValuesForRunColumn(*meters[std::size_t(found)], column)
                                           : std::vector<double>();
        if (row.empty())
            row = FRunMeters[column].Unlogged; // measured before its meter was pulled out
        values.push_back(std::move(row));
    }
    return values;
}

std::vector<double> TRunController::ValuesForRunColumn(const TMeter& meter,
                                                       std::size_t column) const {
    std::vector<double> values;
    if (meter.ValueCount() == FRunMeters[column].Columns)
        for (int q = 0; q < meter.ValueCount(); ++q)
            values.push_back(meter.Values(q));
    return values;
}

void TRunController::MapRunColumns() {
    const std::vector<TMeter*>& meters = FMeters.Meters();
    FRunColumnOfMeter.assign(meters.size(), -1);
    FMeterOfRunColumn.assign(FRunMeters.size(), -1);
    for (std::size_t meter = 0; meter < meters.size(); ++meter) {
        const QString serial = meters[meter]->SerNum();
        for (std::size_t column = 0; column < FRunMeters.size(); ++column) {
            if (FRunMeters[column].Serial == serial && FMeterOfRunColumn[column] < 0) {
                FRunColumnOfMeter[meter] = int(column);
                FMeterOfRunColumn[column] = int(meter);
                break;
            }
        }
    }
}

int TRunController::RunColumn(std::size_t meter) const {
    return meter < FRunColumnOfMeter.size() ? FRunColumnOfMeter[meter] : -1;
}

int TRunController::MeterOfRunColumn(std::size_t column) const {
    return column < FMeterOfRunColumn.size() ? FMeterOfRunColumn[column] : -1;
}

// ---------------------------------------------------------------------------------------------
// Reports

TLogSettings TRunController::LogSettings() const {
    TLogSettings settings;
    settings.FastMode = FSettings.FastMode;
    settings.Interval =
        settings.FastMode ? FSettings.FastModeIntervalText : QString::number(FSettings.Interval);
    settings.Created = QDateTime::currentDateTime();
    for (const TMeter* meter : FMeters.Meters()) {
        TLogMeter m;
        m.Serial = meter->SerNum();
        m.CAP1Mode = meter->CAP1Mode();
        m.CAPDAC1Mode = meter->CAPDAC1Mode();
        m.CAPDAC1A = meter->CAPDAC1A();
        m.CAPDAC1B = meter->CAPDAC1B();
        m.CAP2Mode = meter->CAP2Mode();
        m.CAPDAC2Mode = meter->CAPDAC2Mode();
        m.CAPDAC2A = meter->CAPDAC2A();
        m.CAPDAC2B = meter->CAPDAC2B();
        m.InternalTempEnabled = meter->InternalTempEnabled();
        m.ExternalResistorEnabled = meter->ExternalResistorEnabled();
        m.ReferenceResistor = meter->ReferenceResistor();
        m.RegData = meter->RegData();
        m.SMode = meter->SMode();
        settings.Meters.push_back(m);
    }
    return settings;
}

QString TRunController::RunStateText() const {
    if (!FRunning)
        return QStringLiteral("Idle");
    const qint64 seconds = FRunClock.elapsed() / 1000;
    QString text =
        FFastModeRun
            ? QStringLiteral("Running, fast mode %1 ms").arg(FSettings.FastModeIntervalText)
            : QStringLiteral("Running, every %1 ms").arg(FSettings.Interval);
    text += QStringLiteral(", %1:%2:%3")
                .arg(seconds / 3600)
                .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    if (FTestTimer.isActive())
        text +=
            QStringLiteral(", test ends in %1 s").arg((FTestTimer.remainingTime() + 999) / 1000);
    if (!FMeterRates.isEmpty())
        text += QStringLiteral("; ") + FMeterRates;
    return text;
}

void TRunController::MeasureMeterRates() {
    // What each meter really delivers, whatever its settings promise.
    const double seconds = double(FRatesClock.restart()) / 1000.0;
    const std::vector<TMeter*>& meters = FMeters.Meters();
    QStringList rates;
    for (std::size_t i = 0; i < meters.size(); ++i) {
        TMeterState& state = StateOf(i);
        rates << MeterRateText(meters[i]->SerNum(), double(state.ResultsSinceRates), seconds);
        state.ResultsSinceRates = 0;
    }
    FMeterRates = rates.join(QStringLiteral(", "));
}
