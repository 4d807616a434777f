#pragma once

#include "app/core/ChartQuantity.h"
#include "app/core/FastModeBuffers.h"
#include "app/core/LogFile.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

class TMeter;
class TMeterSet;

// What a run asks of the person at the program: which log file, and whether one may be
// replaced. The window asks through its prompts; a program without one answers itself.
class TRunQuestions {
public:
    // The log file to write when none is set; nothing when the user cancelled.
    virtual std::optional<QString> ChooseLogFile() = 0;
    // True when the existing fileName may be replaced.
    virtual bool MayReplace(const QString& fileName) = 0;

protected:
    ~TRunQuestions() = default;
};

// What the settings panel chooses for the next run.
struct TRunSettings {
    bool FastMode = false;
    // The fast-mode interval: its index in the converter's list, and its text ("11.0").
    int FastModeInterval = 0;
    QString FastModeIntervalText;
    // Timer mode: the time between two rows, ms.
    int Interval = 1000;
};

// A run of the connected meters: Start, Stop, Clear, Test and the automatic offset, the tick
// and test timers, the log file, the fast-mode buffers, the run's log columns and what is known
// of each meter's results. Lives on the program's main thread, without widgets.
//
// In timer mode every tick writes a row of the values each meter measured since the row before
// and triggers the next measurement; in fast mode the meters convert continuously and every
// tick writes what they delivered meanwhile as a block. Tick can be called directly, so that a
// run can be driven tick by tick.
class TRunController : public QObject {
    Q_OBJECT
public:
    // Fast mode writes its blocks at this interval, ms.
    static constexpr int FastModeTickInterval = 250;
    // Test runs for this long, ms.
    static constexpr int TestDuration = 10000;

    explicit TRunController(TMeterSet& meters, QObject* parent = nullptr);
    ~TRunController() override;

    // The clock that places points in time, ms since 1970. By default the system's clock as it
    // was at the first reading, advanced by a steady clock since: setting the system's clock
    // during a run does not move its points.
    using TClock = std::function<std::int64_t()>;
    void SetClock(TClock clock) { FClock = std::move(clock); }
    // When the running or last run started, by that clock.
    std::int64_t RunStartMs() const { return FRunStartMs; }

    // Who is asked at Start; without anyone, Start refuses where it would have to ask.
    void SetQuestions(TRunQuestions* questions) { FQuestions = questions; }

    // --- settings of the next run ---
    const TRunSettings& Settings() const { return FSettings; }
    void SetFastMode(bool fast);
    void SetFastModeInterval(int index, const QString& text);
    // Takes effect at once, also in a running timer-mode run.
    void SetInterval(int milliseconds);
    // The log file of the next run; empty asks for one at Start.
    const QString& LogFileName() const { return FLogFileName; }
    void SetLogFileName(const QString& fileName) { FLogFileName = fileName; }
    // Where an unattended run without a log file name writes: the working folder unless set.
    void SetUnattendedFolder(const QString& folder) { FUnattendedFolder = folder; }
    // The file the running or last run writes, which an unattended start may have chosen.
    QString RunLogFileName() const { return FLogFile.FileName(); }
    // The value rows the running or last run has written to its log.
    qint64 RunLogRows() const { return FLogFile.RowsWritten(); }

    // --- the run ---
    // Who starts a run. The user is asked before a file is replaced and for a missing name; an
    // unattended start (a remote client, the headless program) asks nobody: it writes to the
    // next free name beside an existing file, and names a missing file by the date and time.
    enum class EStartedBy { User, Unattended };
    // Starts a run unless one runs. Raises when the log cannot be created; returns without a
    // run when the questions decline.
    void Start(EStartedBy startedBy = EStartedBy::User);
    // Stops the run: what fast mode buffered and what the disk refused is written, the log
    // closed. Raises when rows could not be written.
    void Stop();
    // Empties the charts and starts the points at 1 again.
    void Clear();
    // Clear, Start, and Stop after TestDuration.
    void Test();
    // From now on each capacitance is drawn and logged less the mean of its first 10 values.
    void StartAutoOffset();
    // One tick of the run: a row or a block to the log and the clients. Raises on a failing
    // log write the first time only; later failures show in the status until a write succeeds.
    void Tick();

    bool Running() const { return FRunning; }
    bool FastModeRun() const { return FFastModeRun; }
    bool AutoOffset() const { return FAutoOffset; }
    // The x of the next timer-mode point and of the next elapsed time.
    int ActPoint() const { return FActPoint; }
    int ActTickPoint() const { return FActTickPoint; }
    void SetPoints(int point, int tickPoint);
    // A new run's points follow those drawn: the charts' last x values.
    void ContinueAfter(int point, int tickPoint);

    // A result of the meter at index meter, as the meter set signals it.
    void MeterResult(std::size_t meter, std::span<const double> values, std::uint32_t ticks);

    // The settings header of a log or a status report, from the settings and the meters.
    TLogSettings LogSettings() const;
    // The run's state: mode, elapsed time, the test's countdown, each meter's values per second.
    QString RunStateText() const;

    const TFastModeBuffers& Buffers() const { return FBuffers; }
    const QTimer& TickTimer() const { return FTickTimer; }
    // A caller that drives the run tick by tick stops the timer after Start.
    QTimer& TickTimer() { return FTickTimer; }
    const QTimer& TestTimer() const { return FTestTimer; }

signals:
    // Start is about to draw the first point: the charts say where their points end.
    void RunStarting();
    void RunningChanged(bool running);
    // The run's state text changed: at Start, at Stop and every second.
    void RunStateChanged();
    // Start chose the run's log file: the one set, or the one the questions gave.
    void LogFileChosen(const QString& fileName);
    // A message for the status bar.
    void Status(const QString& message);
    // In a timer-mode run whose interval is shorter than the slowest meter's measurement, why
    // and which interval is long enough; empty otherwise.
    void IntervalWarningChanged(const QString& warning);
    // Points for the charts: at x, or after the series' last point; at timeMs (ms since 1970):
    // in timer mode the time of the tick that started the measurement, in fast mode the time
    // since Start that the meter's elapsed times add up to.
    void PointAt(std::size_t meter, EChartQuantity quantity, double x, double value,
                 std::int64_t timeMs);
    void PointNext(std::size_t meter, EChartQuantity quantity, double value, std::int64_t timeMs);
    // Values of the meter wait in the buffers for the next tick: its series' limit applies.
    void PointsBuffered(std::size_t meter, EChartQuantity quantity);
    // The newest acquisition's elapsed time, ms.
    void TicksMeasured(std::uint32_t ticks);
    // A row or block for the remote clients.
    void Line(const QString& line);
    // A meter that had failed measures again.
    void MeterMeasuresAgain(std::size_t meter);
    void Cleared();
    void AutoOffsetStarted();
    // An error of a tick or of the test's end, which no caller can take.
    void ErrorOccurred(const QString& message);

private:
    // The meters of the run as its log has their columns, from Start on: a meter pulled out
    // leaves its fields empty and takes them again when it is plugged back in.
    struct TRunMeter {
        QString Serial;
        int Columns = 0;
        // Timer mode: the result its meter measured after the last tick, kept for the next
        // row when the meter goes before that tick.
        std::vector<double> Unlogged;
    };
    // What is known of each meter's results, by meter index.
    struct TMeterState {
        // A result has arrived since the meter was set up or failed. Before, the log leaves
        // its fields empty rather than write values it never measured.
        bool HasResult = false;
        // Timer mode: a result has arrived since the last tick.
        bool Unlogged = false;
        // Fast mode: its worker stopped at an error and waits to be started again.
        bool RestartDue = false;
        // Results since its values per second were last counted.
        int ResultsSinceRates = 0;
        // Fast mode: the time of its last result, to which the next one's elapsed time adds;
        // none before its first result after joining the run or after a failure, which the
        // clock then places.
        std::optional<std::int64_t> ResultTime;
    };

    void PrepareMeters();
    // The file Start writes: asked for, or chosen without asking; empty when the user declined.
    QString LogFileOfStart(EStartedBy startedBy);
    void MetersAboutToGo();
    void MetersChanged();
    void MeterFailed(std::size_t meter);
    TMeterState& StateOf(std::size_t meter);
    void WarnOfShortInterval();
    void TimerModeTick();
    void FastModeTick();
    // Draws what fast mode buffered since the last tick: CAP1 values and elapsed times.
    void DrawBufferedPoints();
    // Writes the rows that wait for the log, in timer mode.
    void WriteUnwrittenRows();
    // Runs a log write. A failure raises once until a write succeeds again; later ones only
    // show in the status.
    void WriteLog(const std::function<void()>& write);
    // The newest values of every meter of the run, in its log columns.
    std::vector<std::vector<double>> NewestValues() const;
    // Pairs the connected meters with the run's log columns by serial number; at Start and at
    // every device change, so that results need no search.
    void MapRunColumns();
    int RunColumn(std::size_t meter) const;
    int MeterOfRunColumn(std::size_t column) const;
    // The meter's newest values when it measures the quantities of the run's column; else none.
    std::vector<double> ValuesForRunColumn(const TMeter& meter, std::size_t column) const;
    // Counts each meter's values per second since the last count.
    void MeasureMeterRates();
    // Runs body for a timer, where nobody can take its error: it is signalled.
    template <class Body>
    void Signalled(Body&& body);

    TMeterSet& FMeters;
    TRunQuestions* FQuestions = nullptr;
    TRunSettings FSettings;
    QString FLogFileName;
    QString FUnattendedFolder;
    TLogFile FLogFile;
    bool FRunning = false;
    bool FFastModeRun = false;
    bool FAutoOffset = false;
    int FActPoint = 0;
    int FActTickPoint = 0;
    // Fast mode: each meter's CAP1 values and elapsed times since the last tick.
    TFastModeBuffers FBuffers;
    std::vector<TRunMeter> FRunMeters;
    std::vector<int> FRunColumnOfMeter; // by meter index
    std::vector<int> FMeterOfRunColumn; // by run column
    std::vector<TMeterState> FMeterStates;
    // Timer mode: rows that the log could not take yet, oldest first.
    QStringList FUnwrittenRows;
    bool FLogFailing = false;
    QElapsedTimer FRunClock;
    TClock FClock;
    std::int64_t FRunStartMs = 0;
    // Timer mode: the time of the last tick, which its measurements are drawn at.
    std::int64_t FRowTimeMs = 0;
    // When each meter's values per second were last counted.
    QElapsedTimer FRatesClock;
    QString FMeterRates;
    QTimer FTickTimer;
    QTimer FTestTimer;
    QTimer FStateTimer;
};
