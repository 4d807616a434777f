#pragma once

#include "app/ChartArea.h"
#include "app/SettingsPanel.h"
#include "app/ValuesPanel.h"
#include "app/core/MeterSet.h"
#include "app/core/ProgramSettings.h"
#include "app/core/RecentFiles.h"
#include "app/core/RunController.h"
#include "dialogs/prompts/FileDialog.h"
#include "remote/TelnetServer.h"

#include <QMainWindow>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <vector>

class QAction;
class QDockWidget;
class QLabel;
class QMenu;
class QWidget;
class TAboutBox;
class TAddressWatcher;
class TChannelConfigDialog;
class TChartEditor;
class TRegSetDialog;
class TMeter;
class TIniFile;
class TLogViewer;

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

    QString ProgIniFilename;
    QString TelnetClientIP;

    // The settings panel: the run's buttons and settings, the log file and the meter list.
    TSettingsPanel* Settings = nullptr;

    // The four charts, their series and their layout.
    TChartArea* ChartArea = nullptr;

    // The newest values in large type, in a panel beside the charts ("Show Values").
    QDockWidget* ValuesDock = nullptr;
    TValuesPanel* Values = nullptr;

    // --- main menu ---
    QAction* SetLogFileAction = nullptr;
    QAction* OpenLogAction = nullptr;
    QMenu* RecentLogsMenu = nullptr;
    QAction* ExitAction = nullptr;
    QAction* StartAction = nullptr;
    QAction* StopAction = nullptr;
    QAction* ClearAction = nullptr;
    QAction* ShowSettingsAction = nullptr;
    QAction* ShowValuesAction = nullptr;
    QAction* SaveSettingsAction = nullptr;
    QAction* LoadSettingsAction = nullptr;
    QAction* AboutAction = nullptr;

    // --- file dialogs ---
    TFileDialog LogFileDialog{TFileDialog::EKind::Save, QStringLiteral("Set Logfile"),
                              QStringLiteral("Text file|*.txt"), QStringLiteral("txt")};
    TFileDialog OpenLogDialog{TFileDialog::EKind::Open, QStringLiteral("Open Log"),
                              QStringLiteral("Log file|*.txt|All files|*"), QStringLiteral("txt")};
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
    void NoiseCBChange();
    void FilenameEdClick();
    void SaveSettingsClick();
    void LoadSettingsClick();
    void OpenLogClick();
    // Shows the log in a window of its own, read only, and lists it among the recent logs.
    // Errors are reported; returns the window, or none.
    TLogViewer* OpenLog(const QString& fileName);
    void MeterListClick();
    void MeterListDblClick();

    // Closes the window without asking, also during a run, which it stops: for signals.
    void CloseWithoutAsking();

    // Rebuilds the chart series from the current meters and lays out the charts.
    void RebuildCharts();

    // The last step of start-up: the command server as the settings file's [Telnet] keys say
    // (Port, 23 when missing; Bind; Allow) and the address watcher. Raises when a key is
    // malformed or the port cannot be opened, with a message that says why and what to do; the
    // watcher runs all the same.
    void StartRemoteAccess();
    void AddressWatchStatusChanged();

    // A message in the status bar, whole in its tooltip.
    void ShowStatus(const QString& text);

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void BuildWindow();
    void BuildMenu();
    // Shows what the meter set and the run controller signal.
    void ConnectControllers();
    // Hands the settings panel's controls to their handlers.
    void ConnectSettingsPanel();
    // The program settings file: read at start, written with the meters' sections at the end.
    void ReadProgramSettings();
    void WriteProgramSettings();
    // The window's size, place and splitters, the axis link and the values panel, as the user
    // left them, in the program settings file's section "Window".
    void RestorePlacement(const TIniFile& ini);
    void SavePlacement(TIniFile& ini) const;

    // The File menu's recent logs.
    void ShowRecentLogs();

    // The meter list anew: the meters, then those without access, with the fix.
    void ShowMeters();
    // Says in the chart area what to do while no chart shows: plug in a meter, give access to
    // one, or switch on its channels.
    void ShowChartHint();
    // The meter of the list's selected line, for its dialog: none during a run, and none when
    // the line is a meter without access, which shows how to give access instead.
    TMeter* MeterToEdit();
    // Runs a meter dialog on the selected meter; the charts follow what it switches on or off.
    template <class Dialog>
    void EditSelectedMeter(Dialog* dialog);
    void LockRunControls(bool running);
    // A meter's worker or decoding met an error: its list line and the status bar show it.
    void MeterError(std::size_t meter, const QString& message);
    // A value of a run for the values panel.
    void NoteNewestValue(std::size_t meter, EChartQuantity quantity, double value);

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
    bool FCloseWithoutAsking = false;
    QLabel* FRunState = nullptr;
    TRecentFiles FRecentLogs{QStringLiteral("Window"), QStringLiteral("RecentLog")};
};
