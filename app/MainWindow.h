#pragma once

#include "app/ChartSet.h"
#include "app/ProgramSettings.h"
#include "app/SettingsPanel.h"
#include "app/core/MeterSet.h"
#include "app/core/RunController.h"
#include "dialogs/prompts/FileDialog.h"
#include "remote/TelnetServer.h"

#include <QMainWindow>
#include <QStringList>
#include <QTimer>

#include <array>
#include <cstdint>
#include <memory>
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
class TChannelConfigDialog;
class TChartEditor;
class TRegSetDialog;
class TMeter;
class THidBackend;
class TIniFile;

// The main window: the settings panel, the meter list, the four charts, the menus, the timers
// of a run and the program settings. Its handlers hand the work to plain classes.
// The main window: the settings panel, the meter list, the four charts, the menus and the
// program settings. It shows what the meter set and the run controller do and hands them the
// user's actions; it keeps no run or meter state of its own.
class TMainWindow : public QMainWindow, private TProgramKeyTarget, private TRunQuestions {
    Q_OBJECT
public:
    // progIniFilename: the program settings file, read here and written when the window goes.
    // The meter set, the run, the command server and the address watcher must outlive the
    // window; the run asks its questions through the window while it exists.
    TMainWindow(const QString& progIniFilename, TMeterSet& meters, TRunController& run,
                TTelnetServer& telnetServer, TAddressWatcher& addressWatcher,
                QWidget* parent = nullptr);
    ~TMainWindow() override;

    // The connected meters and the run.
    TMeterSet& MeterSet() const { return *FMeterSet; }
    TRunController& Run() const { return *FRun; }

    QString ProgDir;
    QString ProgIniFilename;
    bool ShowTicks = false;
    QString TelnetClientIP;

    // The settings panel: the run's buttons and settings, the log file and the meter list.
    TSettingsPanel* Settings = nullptr;

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

    // --- file dialogs ---
    TFileDialog LogFileDialog{TFileDialog::EKind::Save, QStringLiteral("Set Logfile"),
                              QStringLiteral("Text file|*.txt"), QStringLiteral("txt")};
    TFileDialog SaveSettingsDialog{TFileDialog::EKind::Save, QStringLiteral("Save Settings"),
                                   QStringLiteral("Settings (*.bin)|*.bin"), QStringLiteral("bin")};
    TFileDialog OpenSettingsDialog{TFileDialog::EKind::Open, QStringLiteral("Open Settings"),
                                   QStringLiteral("Settings (*.bin)|*.bin"), QStringLiteral("bin")};

    TAboutBox* AboutBox = nullptr;
    // Remote access: the command server (listening once StartRemoteAccess ran) and the address
    // watcher that shows the server's address in the caption.
    TTelnetServer* const TelnetServer;
    TAddressWatcher* const AddressWatch;
    TChartEditor* ChartEditorDialog = nullptr;
    TRegSetDialog* RegSetDialog = nullptr;
    TChannelConfigDialog* ChannelConfigDialog = nullptr;

    // --- handlers ---
    void StartBtnClick();
    void StopBtnClick();
    void ClearBtnClick();
    void TestBtnClick();
    void AutoOffsetBtnClick();
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

    // Closes the window without asking, also during a run, which it stops: for signals.
    void CloseWithoutAsking();

    // Rebuilds the chart series from the current meters and lays out the charts.
    void RebuildCharts();
    // Says in the chart area what to do while no chart shows: plug in a meter, give access to
    // one, or switch on its channels.
    void ShowChartHint();

    // The last step of start-up: the command server on the port of the settings file's
    // [Telnet] Port (23 when missing) and the address watcher. Raises when the port cannot be
    // opened, with a message that says why and what to do; the watcher runs all the same.
    void StartRemoteAccess();
    void AddressWatchStatusChanged();

    // A message in the status bar, whole in its tooltip.
    void ShowStatus(const QString& text);

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void BuildWindow();
    void BuildChartArea();
    void BuildMenu();
    // Shows what the meter set and the run controller signal.
    void ConnectControllers();
    // Hands the settings panel's controls to their handlers.
    void ConnectSettingsPanel();
    void FormCreate();
    void FormDestroy();
    // The window's size, place and splitters, as the user left them, in the program settings
    // file's section "Window".
    void RestorePlacement(const TIniFile& ini);
    void SavePlacement(TIniFile& ini) const;

    // The meter list anew: the meters, then those without access, with the fix.
    void ShowMeters();
    // The meter of the list's selected line, or none.
    TMeter* SelectedMeter() const;
    // When the list's selected line is a meter without access, shows how to fix that.
    bool ExplainLockedMeter();
    void LockRunControls(bool running);
    // A meter's worker or decoding met an error: its list line and the status bar show it.
    void MeterError(std::size_t meter, const QString& message);

    // The run's questions, through the prompts.
    std::optional<QString> ChooseLogFile() override;
    bool MayReplace(const QString& fileName) override;

    // "Dielo Meter 5.2 Telnet Server " + the local address + ":" + the port.
    QString TelnetCaption() const;

    QVariant ProgramKeyValue(EProgramKey key) const override;
    void SetProgramKeyValue(EProgramKey key, const QVariant& value) override;

    TMeterSet* const FMeterSet;
    TRunController* const FRun;
    // The address watcher runs, and keeps its history, once remote access has started.
    bool FRemoteAccessStarted = false;
    // The command server's port as the settings file asks for it.
    int FTelnetPort = 23;
    bool FSplittersPlaced = false;
    // Splitter states read at start, applied at the first show: charts, upper, lower.
    std::array<QByteArray, 3> FSavedSplitters;
    bool FCloseWithoutAsking = false;
    QLabel* FRunState = nullptr;
    QLabel* FChartHint = nullptr;
};
