#pragma once

#include "app/ChartSet.h"
#include "app/FastModeBuffers.h"
#include "app/FileDialog.h"
#include "app/LogFile.h"
#include "app/ProgramSettings.h"
#include "remote/TelnetServer.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QStringList>
#include <QTimer>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

class QAction;
class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPushButton;
class QSpinBox;
class QSplitter;
class QTabWidget;
class QWidget;
class TAboutBox;
class TAddressWatcher;
class TTriggerThread;
class TChannelConfigDialog;
class TChartEditor;
class TRegSetDialog;
class TMeter;
class THidBackend;
class THidDevice;
class THidDeviceController;
class TIniFile;

// The main window: the settings panel, the meter list, the four charts, the menus, the timers
// of a run and the program settings. Its handlers hand the work to plain classes.
class TMainWindow : public QMainWindow, private TProgramKeyTarget, private TTelnetHost {
    Q_OBJECT
public:
    // progIniFilename: the program settings file, read here and written when the window goes.
    // backend: where the meters are found (the platform's HID devices or a virtual bus); it
    // must outlive the window.
    TMainWindow(const QString& progIniFilename, THidBackend& backend, QWidget* parent = nullptr);
    ~TMainWindow() override;

    // --- the window's state ---
    QString ProgDir;
    QString ProgIniFilename;
    int ActPoint = 0;
    int ActTickPoint = 0;
    TLogFile LogFile;
    bool Running = false;
    bool AutoOffset = false;
    bool ShowTicks = false;
    QString TelnetClientIP;
    // The connected meters; index = line of the meter list = the model's Channel.
    std::vector<TMeter*> Meters;
    std::unique_ptr<TTriggerThread> TriggerThread;
    // Fast mode: each meter's CAP1 values and elapsed times since the last tick.
    TFastModeBuffers ChannelBuffer;

    // --- settings panel, tab "General" ---
    QTabWidget* SettingsTabs = nullptr;
    QWidget* GeneralTab = nullptr;
    QPushButton* StartBtn = nullptr;
    QPushButton* StopBtn = nullptr;
    QPushButton* ClearBtn = nullptr;
    QPushButton* AutoOffsetBtn = nullptr;
    QPushButton* TestBtn = nullptr;
    QSpinBox* IntervalSE = nullptr;
    QComboBox* FastModeIntervalCB = nullptr;
    QCheckBox* FastModeCB = nullptr;
    QSpinBox* MaxPointSE = nullptr;
    QComboBox* NoiseCB = nullptr;
    QLineEdit* FilenameEd = nullptr;
    QListWidget* MeterList = nullptr;

    // --- tab "Interface", whose tab is never shown ---
    QWidget* InterfaceTab = nullptr;
    QComboBox* IntModeCB = nullptr;
    QSpinBox* BaudRateSE = nullptr;
    QSpinBox* LatencySE = nullptr;
    QLabel* TicksLabel = nullptr;
    QCheckBox* ShowTicksCB = nullptr;
    QCheckBox* ThreadSerialModeCB = nullptr;
    QSpinBox* TriggerWaitSE = nullptr;

    // --- chart area and lower panel ---
    QWidget* UpperPanel = nullptr;
    QSplitter* UpperSplitter = nullptr;
    TChart* TimingChart = nullptr;
    TChart* CapacitanceChart = nullptr;
    QSplitter* ChartSplitter = nullptr;
    QWidget* LowerPanel = nullptr;
    QSplitter* LowerSplitter = nullptr;
    TChart* TemperatureChart = nullptr;
    TChart* ResistanceChart = nullptr;
    // Which series of the four charts belongs to which meter.
    std::unique_ptr<TChartSet> Charts;

    // --- main menu ---
    QAction* SetLogFileAction = nullptr;
    QAction* ExitAction = nullptr;
    QAction* StartAction = nullptr;
    QAction* StopAction = nullptr;
    QAction* ClearAction = nullptr;
    QAction* ShowSettingsAction = nullptr;
    QAction* SaveSettingsAction = nullptr;
    QAction* LoadSettingsAction = nullptr;
    QAction* AboutAction = nullptr;

    // --- file dialogs and timers ---
    TFileDialog LogFileDialog{TFileDialog::EKind::Save, QStringLiteral("Set Logfile"),
                              QStringLiteral("Text file|*.txt"), QStringLiteral("txt")};
    TFileDialog SaveSettingsDialog{TFileDialog::EKind::Save, QStringLiteral("Save Settings"),
                                   QStringLiteral("Settings (*.bin)|*.bin"), QStringLiteral("bin")};
    TFileDialog OpenSettingsDialog{TFileDialog::EKind::Open, QStringLiteral("Open Settings"),
                                   QStringLiteral("Settings (*.bin)|*.bin"), QStringLiteral("bin")};
    QTimer TickTimer;
    QTimer TestTimer;

    TAboutBox* AboutBox = nullptr;
    // Remote access: the command server (none until StartRemoteAccess) and the address
    // watcher that shows the server's address in the caption.
    TTelnetServer* TelnetServer = nullptr;
    TAddressWatcher* AddressWatch = nullptr;
    TChartEditor* ChartEditorDialog = nullptr;
    TRegSetDialog* RegSetDialog = nullptr;
    TChannelConfigDialog* ChannelConfigDialog = nullptr;
    THidDeviceController* HidCtl = nullptr;

    // --- handlers ---
    void StartBtnClick();
    void StopBtnClick();
    void ClearBtnClick();
    void TestBtnClick();
    void AutoOffsetBtnClick();
    void TickTimerTimeout();
    void TestTimerTimeout();
    void IntervalSEChange();
    void FastModeCBClick();
    void NoiseCBChange();
    void ThreadSerialModeCBClick();
    void TriggerWaitSEChange();
    void ShowTicksCBClick();
    void FilenameEdClick();
    void SetLogFileClick();
    void ExitClick();
    void ShowSettingsClick();
    void SaveSettingsClick();
    void LoadSettingsClick();
    void AboutClick();
    void MeterListClick();
    void MeterListDblClick();
    void CapacitanceChartDblClick();
    void TemperatureChartDblClick();
    void ResistanceChartDblClick();
    void TimingChartDblClick();
    // Meter discovery: every meter is thrown away and built anew from the devices present.
    void HidDeviceChange();
    // A result of meter Channel, on the window's thread.
    void MeterReceiveData(int Channel, std::span<const double> Values, std::uint32_t Ticks);

    // Closes the window without asking, also during a run, which it stops: for signals.
    void CloseWithoutAsking();

    // Rebuilds the chart series and buffers from the current meters and lays out the charts.
    void RebuildCharts();
    // Says in the chart area what to do while no chart shows: plug in a meter, give access to
    // one, or switch on its channels.
    void ShowChartHint();

    // The last step of start-up: the command server on the port of the settings file's
    // [Telnet] Port (23 when missing) and the address watcher. Raises when the port cannot be
    // opened, with a message that says why and what to do; the watcher runs all the same.
    void StartRemoteAccess();
    void AddressWatchStatusChanged();
    // Start and Stop as the buttons run them, raising their errors instead of showing them.
    void StartRun();
    void StopRun();

    // The run's state in the status bar: mode, elapsed time, the test's countdown and each
    // meter's values per second.
    void ShowRunState();
    // A message in the status bar, whole in its tooltip.
    void ShowStatus(const QString& text);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void BuildWindow();
    void BuildSettingsPanel();
    void BuildChartArea();
    void BuildMenu();
    void FormCreate();
    void FormDestroy();
    // The window's size, place and splitters, as the user left them, in the program settings
    // file's section "Window".
    void RestorePlacement(const TIniFile& ini);
    void SavePlacement(TIniFile& ini) const;

    void FreeMeters();
    // True when fileName does not exist or the user agrees to replace it.
    bool MayReplace(const QString& fileName);
    // The meter of the list's selected line, or none.
    TMeter* SelectedMeter() const;
    // When the list's selected line is a meter without access, shows how to fix that.
    bool ExplainLockedMeter();
    void LockRunControls(bool running);
    TLogSettings LogSettings() const;
    // The newest values of every meter of the run, in its log columns.
    std::vector<std::vector<double>> NewestValues() const;
    // Pairs the connected meters with the run's log columns by serial number; at Start and at
    // every device change, so that results need no search.
    void MapRunColumns();
    // The run's log column of a connected meter, or -1; and back.
    int RunColumn(std::size_t meter) const;
    int MeterOfRunColumn(std::size_t column) const;
    // The meter's newest values when it measures the quantities of the run's column; else none.
    std::vector<double> ValuesForRunColumn(const TMeter& meter, std::size_t column) const;
    // Counts each meter's values per second since the last count.
    void MeasureMeterRates();
    // In a timer-mode run, says in the status bar and the interval's tooltip when the interval
    // is shorter than the slowest meter's measurement, and which interval is long enough.
    void WarnOfShortInterval();
    void FastModeTick();
    // Draws what fast mode buffered since the last tick: CAP1 values and elapsed times.
    void DrawBufferedPoints();
    void TimerModeTick();
    // Writes the rows that wait for the log, in timer mode.
    void WriteUnwrittenRows();
    // Runs a log write. A failure shows once until a write succeeds again; later ones only
    // in the status bar.
    void WriteLog(const std::function<void()>& write);
    // A meter's worker or decoding met an error: its list line and the status bar show it.
    void MeterError(TMeter* meter, const QString& message);

    // The command server's calls, all on the window's thread.
    void TelnetStart() override;
    void TelnetStop() override;
    QStringList TelnetStatus() override;
    bool ShowsModalDialog() override;
    // "Dielo Meter 5.2 Telnet Server " + the local address + ":" + the port.
    QString TelnetCaption() const;

    QVariant ProgramKeyValue(EProgramKey key) const override;
    void SetProgramKeyValue(EProgramKey key, const QVariant& value) override;

    // The command server's port as the settings file asks for it.
    int FTelnetPort = 23;
    bool FSplittersPlaced = false;
    // Splitter states read at start, applied at the first show: charts, upper, lower.
    std::array<QByteArray, 3> FSavedSplitters;
    bool FCloseWithoutAsking = false;
    // What was last typed into the interval, before the spin box corrects it.
    QString FTypedInterval;
    bool FFastModeRun = false;
    // The meters of the run as its log has their columns, from Start on: a meter pulled out
    // leaves its fields empty and takes them again when it is plugged back in.
    struct TRunMeter {
        QString Serial;
        int Columns = 0;
        // Timer mode: the result its meter measured after the last tick, kept for the next
        // row when the meter goes before that tick.
        std::vector<double> Unlogged;
    };
    std::vector<TRunMeter> FRunMeters;
    std::vector<int> FRunColumnOfMeter; // by meter index
    std::vector<int> FMeterOfRunColumn; // by run column
    // What the window knows of each meter's results, by meter index.
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
    };
    std::vector<TMeterState> FMeterStates;
    TMeterState& StateOf(std::size_t meter);
    // Timer mode: rows that the log could not take yet, oldest first.
    QStringList FUnwrittenRows;
    bool FLogFailing = false;
    QElapsedTimer FRunClock;
    // When each meter's values per second were last counted.
    QElapsedTimer FStateClock;
    QString FMeterRates;
    QTimer FListClickTimer;
    QTimer FStatusTimer;
    QLabel* FRunState = nullptr;
    QLabel* FChartHint = nullptr;
    // HID devices that are no meters: checked out once and kept, so that they are not asked
    // again at every discovery; released when they are gone.
    std::vector<std::unique_ptr<THidDevice>> FForeignDevices;
    // Meters the user may not open (permission denied): listed with the fix, kept like foreign
    // devices until they are gone; plugged in again after the fix, they come back as meters.
    std::vector<std::unique_ptr<THidDevice>> FLockedMeters;
};
