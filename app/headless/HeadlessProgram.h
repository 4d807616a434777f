#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class THidBackend;
class TMeterSet;
class TProgramValues;
class TRemoteRunControl;
class TRunController;
class TTelnetServer;

// How a headless run is asked for on the command line.
struct THeadlessOptions {
    // The program settings file: read at start, written at the end.
    QString SettingsFile;
    // Start a run as soon as the first discovery is done.
    bool Start = false;
    // The run's log file in place of the settings file's; for this run only, it is not saved.
    QString LogFile;
    // Stop the run after this long and end the program.
    std::optional<qint64> DurationMs;
    // Every ProgressIntervalMs during a run: the rows written and each meter's values per
    // second.
    bool Progress = false;
    int ProgressIntervalMs = 10000;
};

// The program without a window, for lab computers nobody sits at and for services: the meter
// set, the run controller and the command server, configured by the program settings file as
// the window is. It tells what happens as one line per event (meters found and lost, runs
// started and stopped, errors), and it ends in order on SIGTERM or SIGINT: the run is stopped
// and its log completed, and the settings are written as the window writes them at close.
class THeadlessProgram final : public QObject {
    Q_OBJECT
public:
    // Exit codes, as the command line documents them.
    static constexpr int ExitDone = 0;
    static constexpr int ExitFailed = 1; // the run could not start, or its log lost rows
    static constexpr int ExitBadArguments = 2;

    // backend: where the meters are found; it must outlive the program. printLine: where the
    // event lines go; standard error when not given. Reads the settings file now.
    THeadlessProgram(THidBackend& backend, THeadlessOptions options,
                     std::function<void(const QString&)> printLine = {});
    ~THeadlessProgram() override;

    THeadlessProgram(const THeadlessProgram&) = delete;
    THeadlessProgram& operator=(const THeadlessProgram&) = delete;

    // Opens the command server and, when asked, starts the run once the meters are found; runs
    // the event loop until the program ends. Returns the exit code.
    int Exec();
    // Stops a running run, writes the settings, closes the command server and ends the event
    // loop with exitCode, or with ExitFailed when the log lost rows. Only the first call acts.
    void Finish(int exitCode);

    TMeterSet& MeterSet() const { return *FMeterSet; }
    TRunController& Run() const { return *FRun; }
    TTelnetServer& TelnetServer() const { return *FTelnetServer; }

private:
    void Print(const QString& line) const;
    void ConnectEvents();
    void TellMeterChanges();
    // --start waits for the first discovery, whether it found meters or failed.
    void FirstDiscoveryDone();
    void StartRemoteAccess();
    void StartRun();
    void PrintProgress();
    void WriteSettings();

    const THeadlessOptions FOptions;
    std::function<void(const QString&)> FPrintLine;
    std::unique_ptr<TMeterSet> FMeterSet;
    std::unique_ptr<TRunController> FRun;
    std::unique_ptr<TProgramValues> FValues;
    std::unique_ptr<TRemoteRunControl> FTelnetHost;
    std::unique_ptr<TTelnetServer> FTelnetServer;

    // What the event lines compare against: the meters and the locked meters known so far.
    QStringList FSerials;
    QStringList FLockedSerials;
    bool FDiscovered = false;
    bool FFinished = false;
    QTimer FDurationTimer;
    QTimer FProgressTimer;
    QElapsedTimer FProgressClock;
    // Results of each meter since the last progress line, by the meter's index.
    std::vector<qint64> FResultsSinceProgress;
};
