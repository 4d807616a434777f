#include "app/MainWindow.h"

#include "app/LogViewer.h"
#include "dialogs/About.h"
#include "dialogs/ChannelConfigDialog.h"
#include "dialogs/ChartEditor.h"
#include "dialogs/RegSetDialog.h"
#include "dialogs/prompts/ErrorReport.h"
#include "dialogs/prompts/UserPrompts.h"
#include "model/IniFile.h"
#include "model/Meter.h"
#include "model/SampleRecord.h"
#include "model/ThreadingSettings.h"
#include "remote/AddressWatcher.h"
#include "remote/TelnetSettings.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QDockWidget>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QStatusBar>
#include <QVBoxLayout>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace {

// The program settings file's section of the window's size, place and splitters.
const QString WindowSection = QStringLiteral("Window");
const QString ShowValuesKey = QStringLiteral("ShowValues");

// What a meter draws: the quantities its image measures.
TMeterSeries DrawnSeries(const TMeter& meter) {
    const TMeasuredQuantities measured = MeasuredQuantities(meter.RegData());
    return {meter.SerNum(), measured.Cap1, measured.Cap2, measured.Temperature,
            measured.Resistance};
}

QAction* MakeMenuItem(QMenu* menu, const char* name, const QString& caption) {
    QAction* action = menu->addAction(caption);
    action->setObjectName(QLatin1String(name));
    return action;
}

} // namespace

TMainWindow::TMainWindow(const QString& progIniFilename, TMeterSet& meters, TRunController& run,
                         TTelnetServer& telnetServer, TAddressWatcher& addressWatcher,
                         QWidget* parent)
    : QMainWindow(parent)
    , ProgIniFilename(progIniFilename)
    , TelnetServer(&telnetServer)
    , AddressWatch(&addressWatcher)
    , FMeterSet(&meters)
    , FRun(&run) {
    setObjectName(QStringLiteral("MainWindow"));
    BuildWindow();
    ConnectControllers();
    FRun->SetQuestions(this);
    ReadProgramSettings();
    AboutBox = new TAboutBox(this);
    ChartEditorDialog = new TChartEditor(this);
    RegSetDialog = new TRegSetDialog(this);
    ChannelConfigDialog = new TChannelConfigDialog(this);
}

TMainWindow::~TMainWindow() {
    WriteProgramSettings();
    FRun->SetQuestions(nullptr);
}

// ---------------------------------------------------------------------------------------------
// Building the window

void TMainWindow::BuildWindow() {
    setWindowTitle(QStringLiteral("Dielo Meter 5.2"));
    QFont font;
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans")});
    font.setPointSize(8);
    setFont(font);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    setCentralWidget(central);

    Settings = new TSettingsPanel(this);
    ChartArea = new TChartArea(this);
    layout->addWidget(Settings);
    layout->addWidget(ChartArea, 1);
    connect(ChartArea, &TChartArea::EditRequested, this,
            [this](TChart* chart) { ChartEditorDialog->Edit(chart); });
    connect(ChartArea, &TChartArea::ImageSaved, this, [this](const QString& fileName) {
        ShowStatus(QStringLiteral("Chart saved as %1").arg(QDir::toNativeSeparators(fileName)));
    });
    ValuesDock = new QDockWidget(QStringLiteral("Values"), this);
    ValuesDock->setObjectName(QStringLiteral("ValuesDock"));
    Values = new TValuesPanel({}, ValuesDock);
    ValuesDock->setWidget(Values);
    addDockWidget(Qt::RightDockWidgetArea, ValuesDock);
    ValuesDock->hide();
    BuildMenu();
    statusBar()->setObjectName(QStringLiteral("StatusBar"));
    FRunState = new QLabel(QStringLiteral("Idle"), this);
    FRunState->setObjectName(QStringLiteral("RunState"));
    statusBar()->addPermanentWidget(FRunState);
    connect(statusBar(), &QStatusBar::messageChanged, this, [this](const QString& message) {
        if (message.isEmpty())
            statusBar()->setToolTip(QString());
    });

    // A client area of 664 x 707 below the menu; the minimum is the outer 680 x 420 less
    // the window frame.
    setMinimumSize(664, 381);
    // A client area of 664 x 707 below the menu, as far as the screen has room for it at its
    // scale: a smaller screen gets a smaller window, inside its free area.
    QSize size(664, 707 + menuBar()->sizeHint().height() + statusBar()->sizeHint().height());
    QPoint place(281, 64);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect free = screen->availableGeometry();
        size = size.boundedTo(free.size());
        place.setX(std::clamp(place.x(), free.left(), free.right() + 1 - size.width()));
        place.setY(std::clamp(place.y(), free.top(), free.bottom() + 1 - size.height()));
    }
    resize(size);
    move(place);
}

void TMainWindow::RestorePlacement(const TIniFile& ini) {
    // Qt's own record of the window's frame, as base64 text. Restoring moves a window that
    // would lie off every screen back onto one.
    const QByteArray geometry = QByteArray::fromBase64(
        ini.ReadString(WindowSection, QStringLiteral("Geometry"), QString()).toLatin1());
    if (!geometry.isEmpty())
        restoreGeometry(geometry);
    ChartArea->RestorePlacement(ini);
    ValuesDock->setVisible(ini.ReadBool(WindowSection, ShowValuesKey, false));
    FRecentLogs.Read(ini);
    ShowRecentLogs();
}

void TMainWindow::SavePlacement(TIniFile& ini) const {
    // A window never shown has no placement of its own to keep.
    if (!ChartArea->SplittersPlaced())
        return;
    ini.WriteString(WindowSection, QStringLiteral("Geometry"),
                    QString::fromLatin1(saveGeometry().toBase64()));
    ChartArea->SavePlacement(ini);
    FRecentLogs.Write(ini);
    // Hidden by the user, not merely not shown yet.
    ini.WriteBool(WindowSection, ShowValuesKey, !ValuesDock->isHidden());
}

void TMainWindow::BuildMenu() {
    // Every menu and item has its Alt+letter; the actions of a run have function keys.
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    SetLogFileAction = MakeMenuItem(file, "SetLogFileAction", QStringLiteral("&Logfile..."));
    SetLogFileAction->setShortcut(QKeySequence::SaveAs);
    file->addSeparator();
    OpenLogAction = MakeMenuItem(file, "OpenLogAction", QStringLiteral("&Open Log..."));
    OpenLogAction->setShortcut(QKeySequence::Open);
    RecentLogsMenu = file->addMenu(QStringLiteral("&Recent Logs"));
    RecentLogsMenu->setObjectName(QStringLiteral("RecentLogsMenu"));
    ShowRecentLogs();
    file->addSeparator();
    ExitAction = MakeMenuItem(file, "ExitAction", QStringLiteral("E&xit"));
    ExitAction->setShortcut(QKeySequence::Quit);

    QMenu* measurement = menuBar()->addMenu(QStringLiteral("&Measurement"));
    StartAction = MakeMenuItem(measurement, "StartAction", QStringLiteral("&Start"));
    StartAction->setShortcut(Qt::Key_F5);
    StopAction = MakeMenuItem(measurement, "StopAction", QStringLiteral("S&top"));
    // Esc stops too, but only while a run goes on: the action is disabled otherwise.
    StopAction->setShortcuts({QKeySequence(Qt::Key_F6), QKeySequence(Qt::Key_Escape)});
    StopAction->setEnabled(false);
    ClearAction = MakeMenuItem(measurement, "ClearAction", QStringLiteral("&Clear"));
    ClearAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));

    QMenu* settings = menuBar()->addMenu(QStringLiteral("&Settings"));
    ShowSettingsAction =
        MakeMenuItem(settings, "ShowSettingsAction", QStringLiteral("Show Se&ttings"));
    ShowSettingsAction->setCheckable(true);
    ShowSettingsAction->setChecked(true);
    // The dock's own action follows the dock, also when its title bar closes it.
    ShowValuesAction = ValuesDock->toggleViewAction();
    ShowValuesAction->setText(QStringLiteral("Show &Values"));
    ShowValuesAction->setObjectName(QStringLiteral("ShowValuesAction"));
    settings->addAction(ShowValuesAction);
    settings->addSeparator();
    SaveSettingsAction = MakeMenuItem(settings, "SaveSettingsAction", QStringLiteral("&Save..."));
    LoadSettingsAction = MakeMenuItem(settings, "LoadSettingsAction", QStringLiteral("&Load..."));
    LoadSettingsAction->setToolTip(QStringLiteral("Not during a measurement"));

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    AboutAction = MakeMenuItem(help, "AboutAction", QStringLiteral("&About"));

    connect(SetLogFileAction, &QAction::triggered, this, &TMainWindow::FilenameEdClick);
    connect(ExitAction, &QAction::triggered, this, &QWidget::close);
    connect(StartAction, &QAction::triggered, this, &TMainWindow::StartBtnClick);
    connect(StopAction, &QAction::triggered, this, &TMainWindow::StopBtnClick);
    connect(ClearAction, &QAction::triggered, this, &TMainWindow::ClearBtnClick);
    connect(ShowSettingsAction, &QAction::toggled, Settings, &QWidget::setVisible);
    connect(SaveSettingsAction, &QAction::triggered, this, &TMainWindow::SaveSettingsClick);
    connect(LoadSettingsAction, &QAction::triggered, this, &TMainWindow::LoadSettingsClick);
    connect(OpenLogAction, &QAction::triggered, this, &TMainWindow::OpenLogClick);
    connect(AboutAction, &QAction::triggered, this, [this] { AboutBox->exec(); });
}

void TMainWindow::ConnectControllers() {
    connect(FMeterSet, &TMeterSet::MetersChanged, this, &TMainWindow::ShowMeters);
    connect(FMeterSet, &TMeterSet::MeterFailed, this, &TMainWindow::MeterError);
    connect(FMeterSet, &TMeterSet::DiscoveryFailed, this,
            [this](const QString& message) { ReportError(this, message); });

    TRunController* run = FRun;
    connect(run, &TRunController::RunStarting, this, [this] {
        TChartSet& charts = ChartArea->Series();
        FRun->ContinueAfter(int(charts.LastX()), int(charts.LastTimingX()));
        charts.ContinueAfter(FRun->ActPoint(), FRun->ActTickPoint());
        charts.RunStarting(FRun->RunStartMs());
    });
    connect(run, &TRunController::RunningChanged, this, [this](bool running) {
        LockRunControls(running);
        if (running)
            Values->RunStarted();
        else
            Values->RunStopped();
        if (running)
            setWindowTitle(QStringLiteral("DieloMeter - ") +
                           QFileInfo(FRun->RunLogFileName()).fileName());
    });
    connect(run, &TRunController::RunStateChanged, this,
            [this] { FRunState->setText(FRun->RunStateText()); });
    connect(run, &TRunController::LogFileChosen, this, [this](const QString& fileName) {
        Settings->FilenameEd->setText(fileName);
        LogFileDialog.SetFileName(fileName);
    });
    connect(run, &TRunController::Status, this, &TMainWindow::ShowStatus);
    connect(run, &TRunController::IntervalWarningChanged, this, [this](const QString& warning) {
        Settings->ShowIntervalWarning(warning);
        if (!warning.isEmpty())
            ShowStatus(warning);
    });
    connect(run, &TRunController::PointAt, this,
            [this](std::size_t meter, EChartQuantity quantity, double x, double value,
                   std::int64_t timeMs) {
                ChartArea->Series().Add(meter, quantity, x, value, Settings->MaxPointSE->value(),
                                        timeMs);
                NoteNewestValue(meter, quantity, value);
            });
    connect(run, &TRunController::PointNext, this,
            [this](std::size_t meter, EChartQuantity quantity, double value, std::int64_t timeMs) {
                ChartArea->Series().AddNext(meter, quantity, value, Settings->MaxPointSE->value(),
                                            timeMs);
                NoteNewestValue(meter, quantity, value);
            });
    connect(run, &TRunController::PointsBuffered, this,
            [this](std::size_t meter, EChartQuantity quantity) {
                ChartArea->Series().Limit(meter, quantity, Settings->MaxPointSE->value());
            });
    connect(run, &TRunController::TicksMeasured, this,
            [this](std::uint32_t ticks) { Settings->TicksLabel->setText(QString::number(ticks)); });
    connect(run, &TRunController::Line, TelnetServer, &TTelnetServer::QueueLine);
    connect(TelnetServer, &TTelnetServer::ClientConnected, this, [this](const QString& address) {
        TelnetClientIP = address;
        setWindowTitle(TelnetCaption() + QStringLiteral(" ClientIP: ") + TelnetClientIP);
    });
    connect(TelnetServer, &TTelnetServer::ClientDisconnected, this, [this] {
        TelnetClientIP.clear();
        setWindowTitle(TelnetCaption() + QStringLiteral(" ClientIP: "));
    });
    connect(TelnetServer, &TTelnetServer::ClientRefused, this, [this](const QString& address) {
        ShowStatus(RefusedConnectionText(address, TelnetServer->RefusedCount()));
    });
    connect(run, &TRunController::MeterMeasuresAgain, this, [this](std::size_t meter) {
        // Measuring again after an error: the line loses its mark.
        Settings->MarkMeter(int(meter), FMeterSet->Meters()[meter]->SerNum(), QString());
    });
    connect(run, &TRunController::Cleared, this, [this] {
        ChartArea->Series().Clear();
        // Clearing drops the series of meters that are gone: the charts are laid out anew.
        RebuildCharts();
    });
    connect(run, &TRunController::AutoOffsetStarted, this, [this] {
        // The charts show corrected values from now on, and say so.
        ChartArea->CapacitanceChart->SetValueAxisTitle(QStringLiteral("Capacitance − offset [pF]"));
    });
    connect(run, &TRunController::ErrorOccurred, this,
            [this](const QString& message) { ReportError(this, message); });

    ConnectSettingsPanel();
}

void TMainWindow::ConnectSettingsPanel() {
    connect(Settings->StartBtn, &QPushButton::clicked, this, &TMainWindow::StartBtnClick);
    connect(Settings->StopBtn, &QPushButton::clicked, this, &TMainWindow::StopBtnClick);
    connect(Settings->ClearBtn, &QPushButton::clicked, this, &TMainWindow::ClearBtnClick);
    connect(Settings->AutoOffsetBtn, &QPushButton::clicked, this, &TMainWindow::AutoOffsetBtnClick);
    connect(Settings->TestBtn, &QPushButton::clicked, this, &TMainWindow::TestBtnClick);
    // Controls take effect also when set from the settings file.
    connect(Settings->IntervalSE, &QSpinBox::valueChanged, FRun, &TRunController::SetInterval);
    connect(Settings->FastModeCB, &QCheckBox::toggled, FRun, &TRunController::SetFastMode);
    connect(Settings->FastModeIntervalCB, &QComboBox::currentIndexChanged, this, [this](int index) {
        FRun->SetFastModeInterval(index, Settings->FastModeIntervalCB->currentText());
    });
    FRun->SetFastModeInterval(Settings->FastModeIntervalCB->currentIndex(),
                              Settings->FastModeIntervalCB->currentText());
    FRun->SetInterval(Settings->IntervalSE->value());
    FRun->SetFastMode(Settings->FastModeCB->isChecked());
    connect(Settings->NoiseCB, &QComboBox::currentIndexChanged, this, &TMainWindow::NoiseCBChange);
    connect(Settings->ThreadSerialModeCB, &QCheckBox::toggled, this,
            [](bool serial) { Threading().Serial = serial; });
    connect(Settings->TriggerWaitSE, &QSpinBox::valueChanged, this,
            [](int wait) { Threading().TriggerWait = wait; });
    connect(Settings->ShowTicksCB, &QCheckBox::toggled, ChartArea, &TChartArea::ShowTimingChart);
    connect(Settings, &TSettingsPanel::MeterClicked, this, &TMainWindow::MeterListClick);
    connect(Settings, &TSettingsPanel::MeterDoubleClicked, this, &TMainWindow::MeterListDblClick);
    connect(Settings, &TSettingsPanel::FileNameClicked, this, &TMainWindow::FilenameEdClick);
    connect(Settings, &TSettingsPanel::Message, this, &TMainWindow::ShowStatus);
}

void TMainWindow::OpenLogClick() {
    // The folder of the run's log to start with.
    if (OpenLogDialog.FileName().isEmpty())
        OpenLogDialog.SetFileName(FRun->RunLogFileName());
    if (OpenLogDialog.Execute(this))
        OpenLog(OpenLogDialog.FileName());
}

TLogViewer* TMainWindow::OpenLog(const QString& fileName) {
    TLogViewer* viewer = TLogViewer::Show(fileName, ChartArea->Series().TimeAxis(), this);
    if (viewer)
        FRecentLogs.Add(QFileInfo(fileName).absoluteFilePath());
    else if (!QFileInfo::exists(fileName))
        FRecentLogs.Remove(fileName); // a file that went is no longer offered
    ShowRecentLogs();
    return viewer;
}

void TMainWindow::ShowRecentLogs() {
    RecentLogsMenu->clear();
    int number = 0;
    for (const QString& fileName : FRecentLogs.Files()) {
        // Alt+1 to Alt+8, as desktop programs number their recent files.
        QAction* entry = RecentLogsMenu->addAction(
            QStringLiteral("&%1 %2").arg(++number).arg(QDir::toNativeSeparators(fileName)));
        connect(entry, &QAction::triggered, this, [this, fileName] { OpenLog(fileName); });
    }
    RecentLogsMenu->setEnabled(!FRecentLogs.Files().isEmpty());
}

void TMainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (ChartArea->SplittersPlaced())
        return;
    centralWidget()->layout()->activate();
    ChartArea->PlaceSplitters();
}

// ---------------------------------------------------------------------------------------------
// Start-up and shutdown

void TMainWindow::ReadProgramSettings() {
    Guarded(this, [&] {
        {
            const TIniFile ini(ProgIniFilename);
            ReadProgramKeys(ini, *this, EKeyScope::ProgramFile);
            RestorePlacement(ini);
            // Start finds the log file chosen in an earlier run.
            LogFileDialog.SetFileName(Settings->FilenameEd->text());
            FRun->SetLogFileName(Settings->FilenameEd->text());
            RebuildCharts();
        }
    });
}

void TMainWindow::WriteProgramSettings() {
    Guarded(this, [&] {
        FMeterSet->EndContinuousModes();
        TIniFile ini(ProgIniFilename);
        WriteProgramKeys(ini, *this, EKeyScope::ProgramFile);
        FMeterSet->SaveSections(ini);
        SavePlacement(ini);
    });
    if (FRemoteAccessStarted)
        Guarded(this, [&] { AddressWatch->WriteHistory(QStringLiteral("iphist.dat")); });
}

QVariant TMainWindow::ProgramKeyValue(EProgramKey key) const {
    return Settings->ProgramKeyValue(key);
}

void TMainWindow::SetProgramKeyValue(EProgramKey key, const QVariant& value) {
    Settings->SetProgramKeyValue(key, value);
}

// ---------------------------------------------------------------------------------------------
// Handlers

void TMainWindow::StartBtnClick() {
    Guarded(this, [&] { FRun->Start(); });
}

void TMainWindow::StopBtnClick() {
    Guarded(this, [&] { FRun->Stop(); });
}

void TMainWindow::ClearBtnClick() {
    FRun->Clear();
}

void TMainWindow::TestBtnClick() {
    Guarded(this, [&] { FRun->Test(); });
}

void TMainWindow::AutoOffsetBtnClick() {
    FRun->StartAutoOffset();
}

void TMainWindow::NoiseCBChange() {
    FMeterSet->SetNoiseReduction(Settings->NoiseCB->currentIndex());
}

void TMainWindow::FilenameEdClick() {
    Guarded(this, [&] {
        // Only the name changes here; the file is created at Start.
        if (LogFileDialog.Execute(this)) {
            Settings->FilenameEd->setText(LogFileDialog.FileName());
            FRun->SetLogFileName(LogFileDialog.FileName());
        }
    });
}

std::optional<QString> TMainWindow::ChooseLogFile() {
    if (!LogFileDialog.Execute(this))
        return std::nullopt;
    return LogFileDialog.FileName();
}

bool TMainWindow::MayReplace(const QString& fileName) {
    return !QFileInfo::exists(fileName) ||
           TUserPrompts::Current().Confirm(
               this, QStringLiteral("Confirm"),
               QStringLiteral("File %1 already exists. Do you want to replace it?")
                   .arg(QDir::toNativeSeparators(fileName)));
}

void TMainWindow::SaveSettingsClick() {
    Guarded(this, [&] {
        if (!SaveSettingsDialog.Execute(this) || !MayReplace(SaveSettingsDialog.FileName()))
            return;
        // Written key by key into the file as it is: what this path leaves out stays there.
        TIniFile ini(SaveSettingsDialog.FileName());
        WriteProgramKeys(ini, *this, EKeyScope::SettingsFile);
        FMeterSet->SaveSections(ini);
    });
}

void TMainWindow::LoadSettingsClick() {
    Guarded(this, [&] {
        // The workers read the image that loading replaces and use the bridges it initialises.
        if (FRun->Running())
            throw std::runtime_error("Settings cannot be loaded during a measurement. Stop the "
                                     "measurement first, then load them.");
        if (!OpenSettingsDialog.Execute(this) || !QFileInfo::exists(OpenSettingsDialog.FileName()))
            return;
        const TIniFile ini(OpenSettingsDialog.FileName());
        ReadProgramKeys(ini, *this, EKeyScope::SettingsFile);
        LogFileDialog.SetFileName(Settings->FilenameEd->text());
        FRun->SetLogFileName(Settings->FilenameEd->text());
        // A meter that fails keeps the others from being skipped; the failures are told at the
        // end.
        QStringList failures;
        for (TMeter* meter : FMeterSet->Meters()) {
            try {
                meter->Bridge()->Init();
                meter->LoadFromIni(ini);
            } catch (const std::exception& error) {
                failures << MeterFailure(meter->SerNum(), error);
            }
        }
        RebuildCharts();
        FRun->SetPoints(0, FRun->ActTickPoint());
        if (!failures.isEmpty())
            ReportError(this, failures.join(u'\n'));
    });
}

TMeter* TMainWindow::MeterToEdit() {
    if (const QString fix = Settings->SelectedMeterFix(); !fix.isEmpty()) {
        ReportError(this, fix);
        return nullptr;
    }
    const int row = Settings->SelectedMeter();
    const std::vector<TMeter*>& meters = FMeterSet->Meters();
    if (FRun->Running() || row < 0 || std::size_t(row) >= meters.size())
        return nullptr;
    return meters[std::size_t(row)];
}

template <class Dialog>
void TMainWindow::EditSelectedMeter(Dialog* dialog) {
    Guarded(this, [&] {
        TMeter* meter = MeterToEdit();
        if (!meter)
            return;
        const TMeterSeries before = DrawnSeries(*meter);
        dialog->Edit(meter);
        if (DrawnSeries(*meter) != before)
            RebuildCharts();
    });
}

void TMainWindow::MeterListClick() {
    EditSelectedMeter(ChannelConfigDialog);
}

void TMainWindow::MeterListDblClick() {
    EditSelectedMeter(RegSetDialog);
}

void TMainWindow::RebuildCharts() {
    std::vector<TMeterSeries> meters;
    for (const TMeter* meter : FMeterSet->Meters())
        meters.push_back(DrawnSeries(*meter));
    ChartArea->Rebuild(meters);
    ShowChartHint();
}

void TMainWindow::ShowChartHint() {
    QString hint;
    const bool noMeter = FMeterSet->Meters().empty();
    if (noMeter && FMeterSet->LockedMeters().empty())
        hint = QStringLiteral("No meter connected.\nPlug in a meter: it appears in the list at "
                              "the right within a second.");
    else if (noMeter)
        hint = QStringLiteral("No meter can be used yet: a meter is listed as \"(no access)\".\n"
                              "Click its line in the list for how to give access.");
    else if (ChartArea->ShowsNoChart())
        hint = QStringLiteral("The connected meters measure nothing.\nClick a meter in the list "
                              "to switch on its channels.");
    ChartArea->ShowHint(hint);
}

void TMainWindow::ShowMeters() {
    QStringList serials;
    for (const TMeter* meter : FMeterSet->Meters())
        serials << meter->SerNum();
    const std::vector<TMeterSet::TLockedMeter> locked = FMeterSet->LockedMeters();
    Settings->ShowMeters(serials, locked);
    RebuildCharts();
    QString state = QStringLiteral("%1 meter(s) connected").arg(serials.size());
    if (!locked.empty())
        state += QStringLiteral("; %1 meter(s) without access: click the meter's line for how "
                                "to fix it")
                     .arg(locked.size());
    ShowStatus(state);
}

void TMainWindow::NoteNewestValue(std::size_t meter, EChartQuantity quantity, double value) {
    const std::vector<TMeter*>& meters = FMeterSet->Meters();
    if (meter < meters.size())
        Values->Note(meters[meter]->SerNum(), quantity, value);
}

void TMainWindow::MeterError(std::size_t meter, const QString& message) {
    const QString serial = FMeterSet->Meters()[meter]->SerNum();
    Settings->MarkMeter(int(meter), serial, message);
    ShowStatus(QStringLiteral("Meter %1: %2").arg(serial, message));
}

// ---------------------------------------------------------------------------------------------
// Remote access

void TMainWindow::StartRemoteAccess() {
    const TTelnetSettings telnet = ReadTelnetSettings(TIniFile(ProgIniFilename));
    FTelnetPort = telnet.Port;
    connect(AddressWatch, &TAddressWatcher::StatusChanged, this,
            &TMainWindow::AddressWatchStatusChanged);
    AddressWatch->Start();
    FRemoteAccessStarted = true;
    try {
        StartTelnetServer(*TelnetServer, telnet);
    } catch (const ETelnetStartError& error) {
        setWindowTitle(TelnetCaption());
        ShowStatus(QString::fromUtf8(error.what()));
        // The default port needs privileges that an ordinary user lacks: that is no surprise
        // worth a box at every start. A port or an address the user chose is.
        if (!error.DefaultPortRefused())
            throw;
    }
}

QString TMainWindow::TelnetCaption() const {
    if (!TelnetServer->IsListening())
        return QStringLiteral("Dielo Meter 5.2 - no telnet server (port %1 could not be opened)")
            .arg(FTelnetPort);
    return QStringLiteral("Dielo Meter 5.2 Telnet Server %1:%2")
        .arg(AddressWatch->Address())
        .arg(TelnetServer->Port());
}

void TMainWindow::AddressWatchStatusChanged() {
    setWindowTitle(TelnetCaption());
}

void TMainWindow::LockRunControls(bool running) {
    Settings->SetRunning(running);
    StartAction->setEnabled(!running);
    StopAction->setEnabled(running);
    // The workers read the image that loading replaces.
    LoadSettingsAction->setEnabled(!running);
}

void TMainWindow::ShowStatus(const QString& text) {
    statusBar()->showMessage(text);
    // A long message is cut off at the window's edge: the tooltip holds it whole.
    statusBar()->setToolTip(text);
}

void TMainWindow::CloseWithoutAsking() {
    FCloseWithoutAsking = true;
    close();
}

void TMainWindow::closeEvent(QCloseEvent* event) {
    if (FRun->Running() && !std::exchange(FCloseWithoutAsking, false) &&
        !TUserPrompts::Current().Confirm(
            this, QStringLiteral("Confirm"),
            QStringLiteral("A measurement is running. Stop it and quit?"))) {
        event->ignore();
        return;
    }
    // A run is stopped first, so that its log is complete.
    if (FRun->Running())
        StopBtnClick();
    QMainWindow::closeEvent(event);
}
