#include "app/MainWindow.h"

#include "app/core/MeterSet.h"
#include "dialogs/About.h"
#include "dialogs/ChannelConfigDialog.h"
#include "dialogs/ChartEditor.h"
#include "dialogs/RegSetDialog.h"
#include "dialogs/prompts/ErrorReport.h"
#include "dialogs/prompts/UserPrompts.h"
#include "link/HidBridge.h"
#include "link/hid/HidDevice.h"
#include "link/hid/HidDeviceController.h"
#include "model/IniFile.h"
#include "model/MeasurementWorker.h"
#include "model/Meter.h"
#include "model/SampleRecord.h"
#include "model/ThreadingSettings.h"
#include "remote/AddressWatcher.h"
#include "remote/TelnetServer.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <climits>
#include <optional>
#include <set>
#include <stdexcept>
#include <utility>

namespace {

// The program settings file's section of the window's size, place and splitters.
const QString WindowSection = QStringLiteral("Window");
// No chart is squeezed below this height: its axis labels and a few points stay readable.
constexpr int MinChartHeight = 90;

// Heights of the window's parts as first laid out, in pixels.
constexpr int LowerPanelHeight = 267;
constexpr int TimingChartHeight = 137;
constexpr int ResistanceChartHeight = 147;

// What a meter draws: the quantities its image measures.
TMeterSeries DrawnSeries(const TMeter& meter) {
    const TMeasuredQuantities measured = MeasuredQuantities(meter.RegData());
    return {meter.SerNum(), measured.Cap1, measured.Cap2, measured.Temperature,
            measured.Resistance};
}

// What a meter the user may not open says in the list and when its line is clicked.
QString NoAccessLine(const TMeterSet::TLockedMeter& meter) {
    return QStringLiteral("%1 (no access)").arg(meter.Serial);
}

QString NoAccessText(const TMeterSet::TLockedMeter& meter) {
    return QStringLiteral(
               "Meter %1 (%2) cannot be opened: permission denied.\n"
               "To give the logged-in user access, install the udev rule 70-dielometer.rules "
               "(\"cmake --install\" puts it into the udev rules folder), reload the rules with\n"
               "    sudo udevadm control --reload-rules\n"
               "    sudo udevadm trigger --subsystem-match=hidraw\n"
               "and plug the meter in again.")
        .arg(meter.Serial, meter.DevicePath);
}

TChart* MakeChart(QWidget* parent, const char* name, const QString& axisTitle) {
    auto* chart = new TChart(axisTitle, parent);
    chart->setObjectName(QLatin1String(name));
    chart->setMinimumHeight(MinChartHeight);
    return chart;
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
    FormCreate();
    AboutBox = new TAboutBox(this);
    ChartEditorDialog = new TChartEditor(this);
    RegSetDialog = new TRegSetDialog(this);
    ChannelConfigDialog = new TChannelConfigDialog(this);
}

TMainWindow::~TMainWindow() {
    FormDestroy();
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
    BuildChartArea();
    layout->addWidget(Settings);
    layout->addWidget(ChartSplitter, 1);
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
    // Qt's own records of the window's frame and of each splitter, as base64 text.
    const auto stored = [&](const char* key) {
        return QByteArray::fromBase64(
            ini.ReadString(WindowSection, QLatin1String(key), QString()).toLatin1());
    };
    const QByteArray geometry = stored("Geometry");
    // Restoring moves a window that would lie off every screen back onto one.
    if (!geometry.isEmpty())
        restoreGeometry(geometry);
    FSavedSplitters = {stored("ChartSplitter"), stored("UpperSplitter"), stored("LowerSplitter")};
}

void TMainWindow::SavePlacement(TIniFile& ini) const {
    // A window never shown has no placement of its own to keep.
    if (!FSplittersPlaced)
        return;
    const auto store = [&](const char* key, const QByteArray& state) {
        ini.WriteString(WindowSection, QLatin1String(key), QString::fromLatin1(state.toBase64()));
    };
    store("Geometry", saveGeometry());
    store("ChartSplitter", ChartSplitter->saveState());
    store("UpperSplitter", UpperSplitter->saveState());
    store("LowerSplitter", LowerSplitter->saveState());
}

void TMainWindow::BuildChartArea() {
    ChartSplitter = new QSplitter(Qt::Vertical, this);
    ChartSplitter->setObjectName(QStringLiteral("ChartSplitter"));
    ChartSplitter->setHandleWidth(3);
    ChartSplitter->setChildrenCollapsible(false);

    UpperPanel = new QWidget(ChartSplitter);
    UpperPanel->setObjectName(QStringLiteral("UpperPanel"));
    auto* upper = new QVBoxLayout(UpperPanel);
    upper->setContentsMargins(0, 0, 0, 0);
    UpperSplitter = new QSplitter(Qt::Vertical, UpperPanel);
    UpperSplitter->setObjectName(QStringLiteral("UpperSplitter"));
    TimingChart = MakeChart(UpperSplitter, "TimingChart", QStringLiteral("Time [ms]"));
    CapacitanceChart =
        MakeChart(UpperSplitter, "CapacitanceChart", QStringLiteral("Capacitance [pF]"));
    TimingChart->hide();
    UpperSplitter->setStretchFactor(0, 0);
    UpperSplitter->setStretchFactor(1, 1);
    // Where no chart shows, the area says what to do instead of staying grey.
    FChartHint = new QLabel(UpperPanel);
    FChartHint->setObjectName(QStringLiteral("ChartHint"));
    FChartHint->setAlignment(Qt::AlignCenter);
    FChartHint->setWordWrap(true);
    FChartHint->hide();
    upper->addWidget(FChartHint, 1);
    upper->addWidget(UpperSplitter);

    LowerPanel = new QWidget(ChartSplitter);
    LowerPanel->setObjectName(QStringLiteral("LowerPanel"));
    auto* lower = new QVBoxLayout(LowerPanel);
    lower->setContentsMargins(0, 0, 0, 0);
    LowerSplitter = new QSplitter(Qt::Vertical, LowerPanel);
    LowerSplitter->setObjectName(QStringLiteral("LowerSplitter"));
    TemperatureChart =
        MakeChart(LowerSplitter, "TemperatureChart", QStringLiteral("Temperature [°C]"));
    ResistanceChart =
        MakeChart(LowerSplitter, "ResistanceChart", QStringLiteral("Resistence [Ohm]"));
    LowerSplitter->setStretchFactor(0, 1);
    LowerSplitter->setStretchFactor(1, 0);
    lower->addWidget(LowerSplitter);

    // The chart area takes what the window gains; the lower panel keeps its height.
    ChartSplitter->setStretchFactor(0, 1);
    ChartSplitter->setStretchFactor(1, 0);

    Charts = std::make_unique<TChartSet>(CapacitanceChart, TemperatureChart, ResistanceChart,
                                         TimingChart);
    connect(CapacitanceChart, &TChart::EditRequested, this, &TMainWindow::CapacitanceChartDblClick);
    connect(TemperatureChart, &TChart::EditRequested, this, &TMainWindow::TemperatureChartDblClick);
    connect(ResistanceChart, &TChart::EditRequested, this, &TMainWindow::ResistanceChartDblClick);
    connect(TimingChart, &TChart::EditRequested, this, &TMainWindow::TimingChartDblClick);
    for (TChart* chart : {CapacitanceChart, TemperatureChart, ResistanceChart, TimingChart})
        connect(chart, &TChart::ImageSaved, this, [this](const QString& fileName) {
            ShowStatus(QStringLiteral("Chart saved as %1").arg(QDir::toNativeSeparators(fileName)));
        });
}

void TMainWindow::BuildMenu() {
    // Every menu and item has its Alt+letter; the actions of a run have function keys.
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    SetLogFileAction = MakeMenuItem(file, "SetLogFileAction", QStringLiteral("&Logfile..."));
    SetLogFileAction->setShortcut(QKeySequence::SaveAs);
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
    settings->addSeparator();
    SaveSettingsAction = MakeMenuItem(settings, "SaveSettingsAction", QStringLiteral("&Save..."));
    LoadSettingsAction = MakeMenuItem(settings, "LoadSettingsAction", QStringLiteral("&Load..."));
    LoadSettingsAction->setToolTip(QStringLiteral("Not during a measurement"));

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    AboutAction = MakeMenuItem(help, "AboutAction", QStringLiteral("&About"));

    connect(SetLogFileAction, &QAction::triggered, this, &TMainWindow::SetLogFileClick);
    connect(ExitAction, &QAction::triggered, this, &TMainWindow::ExitClick);
    connect(StartAction, &QAction::triggered, this, &TMainWindow::StartBtnClick);
    connect(StopAction, &QAction::triggered, this, &TMainWindow::StopBtnClick);
    connect(ClearAction, &QAction::triggered, this, &TMainWindow::ClearBtnClick);
    connect(ShowSettingsAction, &QAction::triggered, this, &TMainWindow::ShowSettingsClick);
    connect(SaveSettingsAction, &QAction::triggered, this, &TMainWindow::SaveSettingsClick);
    connect(LoadSettingsAction, &QAction::triggered, this, &TMainWindow::LoadSettingsClick);
    connect(AboutAction, &QAction::triggered, this, &TMainWindow::AboutClick);
}

void TMainWindow::ConnectControllers() {
    connect(FMeterSet, &TMeterSet::MetersChanged, this, &TMainWindow::ShowMeters);
    connect(FMeterSet, &TMeterSet::MeterFailed, this, &TMainWindow::MeterError);
    connect(FMeterSet, &TMeterSet::DiscoveryFailed, this,
            [this](const QString& message) { ReportError(this, message); });

    TRunController* run = FRun;
    connect(run, &TRunController::RunStarting, this, [this] {
        FRun->ContinueAfter(int(Charts->LastX()), int(Charts->LastTimingX()));
        Charts->ContinueAfter(FRun->ActPoint(), FRun->ActTickPoint());
    });
    connect(run, &TRunController::RunningChanged, this, [this](bool running) {
        LockRunControls(running);
        if (running)
            setWindowTitle(QStringLiteral("DieloMeter - ") +
                           QFileInfo(FRun->LogFileName()).fileName());
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
            [this](std::size_t meter, EChartQuantity quantity, double x, double value) {
                Charts->Add(meter, quantity, x, value, Settings->MaxPointSE->value());
            });
    connect(run, &TRunController::PointNext, this,
            [this](std::size_t meter, EChartQuantity quantity, double value) {
                Charts->AddNext(meter, quantity, value, Settings->MaxPointSE->value());
            });
    connect(run, &TRunController::PointsBuffered, this,
            [this](std::size_t meter, EChartQuantity quantity) {
                Charts->Limit(meter, quantity, Settings->MaxPointSE->value());
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
    connect(run, &TRunController::MeterMeasuresAgain, this, [this](std::size_t meter) {
        // Measuring again after an error: the line loses its mark.
        const QString serial = FMeterSet->Meters()[meter]->SerNum();
        QListWidgetItem* line = Settings->MeterList->item(int(meter));
        if (line && line->text() != serial) {
            line->setText(serial);
            line->setToolTip(QString());
        }
    });
    connect(run, &TRunController::Cleared, this, [this] {
        Charts->Clear();
        // Clearing drops the series of meters that are gone: the charts are laid out anew.
        RebuildCharts();
    });
    connect(run, &TRunController::AutoOffsetStarted, this, [this] {
        // The charts show corrected values from now on, and say so.
        CapacitanceChart->SetValueAxisTitle(QStringLiteral("Capacitance − offset [pF]"));
    });
    connect(run, &TRunController::ErrorOccurred, this,
            [this](const QString& message) { ReportError(this, message); });

    ConnectSettingsPanel();
    // The run takes the settings panel's choices as they change, also from the settings file.
    connect(Settings->FastModeIntervalCB, &QComboBox::currentIndexChanged, this, [this](int index) {
        FRun->SetFastModeInterval(index, Settings->FastModeIntervalCB->currentText());
    });
    FRun->SetFastModeInterval(Settings->FastModeIntervalCB->currentIndex(),
                              Settings->FastModeIntervalCB->currentText());
    FRun->SetInterval(Settings->IntervalSE->value());
    FRun->SetFastMode(Settings->FastModeCB->isChecked());
}

void TMainWindow::ConnectSettingsPanel() {
    connect(Settings->StartBtn, &QPushButton::clicked, this, &TMainWindow::StartBtnClick);
    connect(Settings->StopBtn, &QPushButton::clicked, this, &TMainWindow::StopBtnClick);
    connect(Settings->ClearBtn, &QPushButton::clicked, this, &TMainWindow::ClearBtnClick);
    connect(Settings->AutoOffsetBtn, &QPushButton::clicked, this, &TMainWindow::AutoOffsetBtnClick);
    connect(Settings->TestBtn, &QPushButton::clicked, this, &TMainWindow::TestBtnClick);
    // Controls run their handlers also when set from the settings file.
    connect(Settings->IntervalSE, &QSpinBox::valueChanged, this, &TMainWindow::IntervalSEChange);
    connect(Settings->FastModeCB, &QCheckBox::toggled, this, &TMainWindow::FastModeCBClick);
    connect(Settings->NoiseCB, &QComboBox::currentIndexChanged, this, &TMainWindow::NoiseCBChange);
    connect(Settings->ThreadSerialModeCB, &QCheckBox::toggled, this,
            &TMainWindow::ThreadSerialModeCBClick);
    connect(Settings->TriggerWaitSE, &QSpinBox::valueChanged, this,
            &TMainWindow::TriggerWaitSEChange);
    connect(Settings->ShowTicksCB, &QCheckBox::toggled, this, &TMainWindow::ShowTicksCBClick);
    connect(Settings, &TSettingsPanel::MeterClicked, this, &TMainWindow::MeterListClick);
    connect(Settings, &TSettingsPanel::MeterDoubleClicked, this, &TMainWindow::MeterListDblClick);
    connect(Settings, &TSettingsPanel::FileNameClicked, this, &TMainWindow::FilenameEdClick);
    connect(Settings, &TSettingsPanel::Message, this, &TMainWindow::ShowStatus);
}

void TMainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (FSplittersPlaced)
        return;
    // Splitters take pixel sizes only once they have their own; place them on the first show.
    FSplittersPlaced = true;
    centralWidget()->layout()->activate();
    const int total = ChartSplitter->height() - ChartSplitter->handleWidth();
    ChartSplitter->setSizes({total - LowerPanelHeight, LowerPanelHeight});
    const int lower = LowerPanelHeight - LowerSplitter->handleWidth();
    LowerSplitter->setSizes({lower - ResistanceChartHeight, ResistanceChartHeight});
    const int upper = total - LowerPanelHeight - UpperSplitter->handleWidth();
    UpperSplitter->setSizes({TimingChartHeight, upper - TimingChartHeight});
    // Where the user left them last time.
    const std::array<QSplitter*, 3> splitters = {ChartSplitter, UpperSplitter, LowerSplitter};
    for (std::size_t i = 0; i < splitters.size(); ++i)
        if (!FSavedSplitters[i].isEmpty())
            splitters[i]->restoreState(FSavedSplitters[i]);
}

// ---------------------------------------------------------------------------------------------
// Start-up and shutdown

void TMainWindow::FormCreate() {
    Guarded(this, [&] {
        ShowTicks = true;
        TelnetClientIP.clear();
        ProgDir = QCoreApplication::applicationDirPath();
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

void TMainWindow::FormDestroy() {
    Guarded(this, [&] {
        // Continuous runs end at their next result.
        for (TMeter* meter : FMeterSet->Meters())
            meter->SetContinuousMode(false);
        TIniFile ini(ProgIniFilename);
        WriteProgramKeys(ini, *this, EKeyScope::ProgramFile);
        for (TMeter* meter : FMeterSet->Meters())
            meter->SaveToIni(ini);
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

void TMainWindow::IntervalSEChange() {
    FRun->SetInterval(Settings->IntervalSE->value());
}

void TMainWindow::FastModeCBClick() {
    FRun->SetFastMode(Settings->FastModeCB->isChecked());
}

void TMainWindow::NoiseCBChange() {
    FMeterSet->SetNoiseReduction(Settings->NoiseCB->currentIndex());
}

void TMainWindow::ThreadSerialModeCBClick() {
    Threading().Serial = Settings->ThreadSerialModeCB->isChecked();
}

void TMainWindow::TriggerWaitSEChange() {
    Threading().TriggerWait = Settings->TriggerWaitSE->value();
}

void TMainWindow::ShowTicksCBClick() {
    TimingChart->setVisible(Settings->ShowTicksCB->isChecked());
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

void TMainWindow::SetLogFileClick() {
    FilenameEdClick();
}

void TMainWindow::ExitClick() {
    close();
}

void TMainWindow::ShowSettingsClick() {
    Settings->setVisible(ShowSettingsAction->isChecked());
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
        for (const TMeter* meter : FMeterSet->Meters())
            meter->SaveToIni(ini);
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

void TMainWindow::AboutClick() {
    AboutBox->exec();
}

TMeter* TMainWindow::SelectedMeter() const {
    const int row = Settings->MeterList->currentRow();
    const std::vector<TMeter*>& meters = FMeterSet->Meters();
    return row >= 0 && std::size_t(row) < meters.size() ? meters[std::size_t(row)] : nullptr;
}

bool TMainWindow::ExplainLockedMeter() {
    const int row = Settings->MeterList->currentRow() - int(FMeterSet->Meters().size());
    const std::vector<TMeterSet::TLockedMeter> locked = FMeterSet->LockedMeters();
    if (row < 0 || std::size_t(row) >= locked.size())
        return false;
    ReportError(this, NoAccessText(locked[std::size_t(row)]));
    return true;
}

void TMainWindow::MeterListClick() {
    Guarded(this, [&] {
        if (ExplainLockedMeter())
            return;
        TMeter* meter = FRun->Running() ? nullptr : SelectedMeter();
        if (!meter)
            return;
        const auto shown = [meter] { return DrawnSeries(*meter); };
        const auto before = shown();
        ChannelConfigDialog->Edit(meter);
        if (shown() != before)
            RebuildCharts();
    });
}

void TMainWindow::MeterListDblClick() {
    Guarded(this, [&] {
        if (ExplainLockedMeter())
            return;
        TMeter* meter = FRun->Running() ? nullptr : SelectedMeter();
        if (!meter)
            return;
        const auto before = DrawnSeries(*meter);
        RegSetDialog->Edit(meter);
        if (DrawnSeries(*meter) != before)
            RebuildCharts();
    });
}

void TMainWindow::CapacitanceChartDblClick() {
    ChartEditorDialog->Edit(CapacitanceChart);
}

void TMainWindow::TemperatureChartDblClick() {
    ChartEditorDialog->Edit(TemperatureChart);
}

void TMainWindow::ResistanceChartDblClick() {
    ChartEditorDialog->Edit(ResistanceChart);
}

void TMainWindow::TimingChartDblClick() {
    ChartEditorDialog->Edit(TimingChart);
}

void TMainWindow::RebuildCharts() {
    std::vector<TMeterSeries> meters;
    for (const TMeter* meter : FMeterSet->Meters())
        meters.push_back(DrawnSeries(*meter));
    Charts->Rebuild(meters);

    // The lower panel holds the temperature and resistance charts that have series.
    const bool temperature = !TemperatureChart->isHidden();
    const bool resistance = !ResistanceChart->isHidden();
    if (temperature && resistance) {
        const int panel = LowerPanel->isHidden() || LowerPanel->height() == 0
                              ? LowerPanelHeight
                              : LowerPanel->height();
        const int room = panel - LowerSplitter->handleWidth();
        const int height = LowerSplitter->sizes().value(1);
        // A resistance chart that was hidden comes back at its first height; one that fills
        // the panel gets half of it.
        if (height == 0)
            LowerSplitter->setSizes({room - ResistanceChartHeight, ResistanceChartHeight});
        else if (height > panel - 10)
            LowerSplitter->setSizes({room - (panel / 2 - 2), panel / 2 - 2});
    }
    // The splitter between the charts and the lower panel goes with the panel.
    LowerPanel->setVisible(temperature || resistance);
    ChartSplitter->handle(1)->setVisible(temperature || resistance);
    ShowChartHint();
    update();
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
    else if (CapacitanceChart->isHidden() && TemperatureChart->isHidden() &&
             ResistanceChart->isHidden())
        hint = QStringLiteral("The connected meters measure nothing.\nClick a meter in the list "
                              "to switch on its channels.");
    FChartHint->setText(hint);
    FChartHint->setVisible(!hint.isEmpty());
}

void TMainWindow::ShowMeters() {
    Settings->MeterList->clear();
    const std::vector<TMeter*>& meters = FMeterSet->Meters();
    for (const TMeter* meter : meters)
        Settings->MeterList->addItem(meter->SerNum());
    RebuildCharts();
    // Meters the user may not open are listed after the others, with the fix.
    const std::vector<TMeterSet::TLockedMeter> locked = FMeterSet->LockedMeters();
    for (const TMeterSet::TLockedMeter& meter : locked) {
        auto* line = new QListWidgetItem(NoAccessLine(meter), Settings->MeterList);
        line->setToolTip(NoAccessText(meter));
        line->setForeground(palette().brush(QPalette::Disabled, QPalette::Text));
    }
    QString state = QStringLiteral("%1 meter(s) connected").arg(meters.size());
    if (!locked.empty())
        state += QStringLiteral("; %1 meter(s) without access: click the meter's line for how "
                                "to fix it")
                     .arg(locked.size());
    ShowStatus(state);
    ShowChartHint();
}

void TMainWindow::MeterError(std::size_t meter, const QString& message) {
    const QString serial = FMeterSet->Meters()[meter]->SerNum();
    if (QListWidgetItem* line = Settings->MeterList->item(int(meter))) {
        line->setText(QStringLiteral("%1 (error)").arg(serial));
        line->setToolTip(message);
    }
    ShowStatus(QStringLiteral("Meter %1: %2").arg(serial, message));
}

// ---------------------------------------------------------------------------------------------
// Remote access

void TMainWindow::StartRemoteAccess() {
    const TIniFile ini(ProgIniFilename);
    const bool portChosen = ini.KeyExists(QStringLiteral("Telnet"), QStringLiteral("Port"));
    const int port = ini.ReadInteger(QStringLiteral("Telnet"), QStringLiteral("Port"), 23);
    FTelnetPort = port;
    connect(AddressWatch, &TAddressWatcher::StatusChanged, this,
            &TMainWindow::AddressWatchStatusChanged);
    AddressWatch->Start();
    FRemoteAccessStarted = true;
    const QString settingsFile = QDir::toNativeSeparators(ProgIniFilename);
    try {
        if (port < 0 || port > 65535)
            throw std::runtime_error(
                QStringLiteral("The telnet server cannot listen on port %1: no such TCP port. Set "
                               "a port from 1024 to 65535 with the key Port in the section "
                               "[Telnet] of %2. The program runs on without remote access.")
                    .arg(port)
                    .arg(settingsFile)
                    .toStdString());
        TelnetServer->Listen(quint16(port), settingsFile);
    } catch (const std::exception& error) {
        setWindowTitle(TelnetCaption());
        ShowStatus(QString::fromUtf8(error.what()));
        // The default port needs privileges that an ordinary user lacks: that is no surprise
        // worth a box at every start. A port the user chose is.
        if (portChosen)
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
