#include "app/MainWindow.h"

#include "app/ErrorReport.h"
#include "app/TriggerThread.h"
#include "app/UserPrompts.h"
#include "dialogs/About.h"
#include "dialogs/ChannelConfigDialog.h"
#include "dialogs/ChartEditor.h"
#include "dialogs/RegSetDialog.h"
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
constexpr int SettingsPanelHeight = 121;
constexpr int LowerPanelHeight = 267;
constexpr int TimingChartHeight = 137;
constexpr int ResistanceChartHeight = 147;

const QString IntervalToolTip = QStringLiteral(
    "Timer mode: the time between two rows of the log, 10 to 30000 ms. A row holds the values "
    "each meter measured since the row before; a meter that has not finished leaves its fields "
    "empty.");

QSpinBox* MakeSpinEdit(QWidget* parent, const char* name, int min, int max, int step, int value) {
    auto* spin = new QSpinBox(parent);
    spin->setObjectName(QLatin1String(name));
    spin->setRange(min, max);
    spin->setSingleStep(step);
    spin->setValue(value);
    return spin;
}

QComboBox* MakeDropDown(QWidget* parent, const char* name, const QStringList& items) {
    auto* list = new QComboBox(parent);
    list->setObjectName(QLatin1String(name));
    list->addItems(items);
    list->setCurrentIndex(0);
    return list;
}

// What a meter draws: the quantities its image measures.
TMeterSeries DrawnSeries(const TMeter& meter) {
    const TMeasuredQuantities measured = MeasuredQuantities(meter.RegData());
    return {meter.SerNum(), measured.Cap1, measured.Cap2, measured.Temperature,
            measured.Resistance};
}

QString MeterFailure(const QString& serial, const std::exception& error) {
    return QStringLiteral("Meter %1: %2").arg(serial, QString::fromUtf8(error.what()));
}

// What a meter the user may not open says in the list and when its line is clicked.
QString NoAccessLine(THidDevice& device) {
    return QStringLiteral("%1 (no access)").arg(device.SerialNumber());
}

QString NoAccessText(THidDevice& device) {
    return QStringLiteral(
               "Meter %1 (%2) cannot be opened: permission denied.\n"
               "To give the logged-in user access, install the udev rule 70-dielometer.rules "
               "(\"cmake --install\" puts it into the udev rules folder), reload the rules with\n"
               "    sudo udevadm control --reload-rules\n"
               "    sudo udevadm trigger --subsystem-match=hidraw\n"
               "and plug the meter in again.")
        .arg(device.SerialNumber(), QString::fromStdString(device.DevicePath()));
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

TMainWindow::TMainWindow(const QString& progIniFilename, THidBackend& backend, QWidget* parent)
    : QMainWindow(parent)
    , ProgIniFilename(progIniFilename) {
    setObjectName(QStringLiteral("MainWindow"));
    BuildWindow();
    // Its first change notification comes from the event loop, after the window exists.
    HidCtl = new THidDeviceController(backend, this);
    HidCtl->OnDeviceChange = [this] { HidDeviceChange(); };
    HidCtl->OnError = [this](const QString& message) { ReportError(this, message); };
    FormCreate();
    // The command server exists from the start, so that no line for the clients is lost; it
    // listens once StartRemoteAccess has run.
    TelnetServer = new TTelnetServer(*this, this);
    connect(TelnetServer, &TTelnetServer::ClientConnected, this, [this](const QString& address) {
        TelnetClientIP = address;
        setWindowTitle(TelnetCaption() + QStringLiteral(" ClientIP: ") + TelnetClientIP);
    });
    connect(TelnetServer, &TTelnetServer::ClientDisconnected, this, [this] {
        TelnetClientIP.clear();
        setWindowTitle(TelnetCaption() + QStringLiteral(" ClientIP: "));
    });
    AboutBox = new TAboutBox(this);
    ChartEditorDialog = new TChartEditor(this);
    RegSetDialog = new TRegSetDialog(this);
    ChannelConfigDialog = new TChannelConfigDialog(this);
}

TMainWindow::~TMainWindow() {
    // No client reaches the window while it goes.
    delete TelnetServer;
    TelnetServer = nullptr;
    FormDestroy();
    // In this order: the meters' workers end before the trigger thread and the HID layer go.
    FreeMeters();
    TriggerThread.reset();
    FForeignDevices.clear();
    FLockedMeters.clear();
    delete HidCtl;
    HidCtl = nullptr;
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

    BuildSettingsPanel();
    BuildChartArea();
    layout->addWidget(SettingsTabs);
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
    FStatusTimer.setInterval(1000);
    connect(&FStatusTimer, &QTimer::timeout, this, [this] {
        MeasureMeterRates();
        ShowRunState();
    });

    TickTimer.setObjectName(QStringLiteral("TickTimer"));
    TestTimer.setObjectName(QStringLiteral("TestTimer"));
    TickTimer.setInterval(IntervalSE->value()); // in step with the interval until Start sets it
    TestTimer.setInterval(10000);
    connect(&TickTimer, &QTimer::timeout, this, &TMainWindow::TickTimerTimeout);
    connect(&TestTimer, &QTimer::timeout, this, &TMainWindow::TestTimerTimeout);

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

void TMainWindow::BuildSettingsPanel() {
    SettingsTabs = new QTabWidget(this);
    SettingsTabs->setObjectName(QStringLiteral("SettingsTabs"));
    SettingsTabs->setFixedHeight(SettingsPanelHeight);

    // Tab "General"
    GeneralTab = new QWidget(SettingsTabs);
    GeneralTab->setObjectName(QStringLiteral("GeneralTab"));
    auto* general = new QHBoxLayout(GeneralTab);
    general->setContentsMargins(4, 3, 4, 3);
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(1);
    general->addLayout(grid, 1);

    auto addButton = [&](const char* name, const QString& caption) {
        auto* button = new QPushButton(caption, GeneralTab);
        button->setObjectName(QLatin1String(name));
        return button;
    };
    StartBtn = addButton("StartBtn", QStringLiteral("Start"));
    StopBtn = addButton("StopBtn", QStringLiteral("Stop"));
    StopBtn->setEnabled(false);
    ClearBtn = addButton("ClearBtn", QStringLiteral("Clear"));
    AutoOffsetBtn = addButton("AutoOffsetBtn", QStringLiteral("Auto Offset Cap"));
    TestBtn = addButton("TestBtn", QStringLiteral("Test 10s"));
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(4);
    for (QPushButton* button : {StartBtn, StopBtn, ClearBtn, AutoOffsetBtn, TestBtn})
        buttons->addWidget(button);
    StartBtn->setToolTip(QStringLiteral("Start a measurement and its log file (F5)"));
    StopBtn->setToolTip(
        QStringLiteral("Stop the measurement and close its log file (F6, or Esc during a run)"));
    ClearBtn->setToolTip(
        QStringLiteral("Empty the charts; a running measurement and its log go on (Ctrl+L)"));
    AutoOffsetBtn->setToolTip(
        QStringLiteral("Subtract from each capacitance channel the mean of its next 10 values; "
                       "pressing again starts a new mean"));
    TestBtn->setToolTip(QStringLiteral("Empty the charts, then measure for 10 seconds"));
    buttons->addStretch(1);
    grid->addLayout(buttons, 0, 0, 1, 5);

    IntervalSE = MakeSpinEdit(GeneralTab, "IntervalSE", 10, 30000, 250, 1000);
    FastModeIntervalCB =
        MakeDropDown(GeneralTab, "FastModeIntervalCB",
                     {QStringLiteral("11.0"), QStringLiteral("11.9"), QStringLiteral("20.0"),
                      QStringLiteral("38.0"), QStringLiteral("62.0"), QStringLiteral("77.0"),
                      QStringLiteral("92.0"), QStringLiteral("109.6")});
    FastModeIntervalCB->hide();
    FastModeCB = new QCheckBox(QStringLiteral("Fast Mode"), GeneralTab);
    FastModeCB->setObjectName(QStringLiteral("FastModeCB"));
    MaxPointSE = MakeSpinEdit(GeneralTab, "MaxPointSE", 0, 1000000, 100, 0);
    NoiseCB =
        MakeDropDown(GeneralTab, "NoiseCB",
                     {QStringLiteral("None"), QStringLiteral("2 of 3"), QStringLiteral("3 of 5")});
    IntervalSE->setToolTip(IntervalToolTip);
    // A value below the least is refused with a word in the status bar, not silently.
    IntervalSE->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    connect(IntervalSE, &QSpinBox::textChanged, this,
            [this](const QString& text) { FTypedInterval = text; });
    connect(IntervalSE, &QSpinBox::editingFinished, this, [this] {
        bool number = false;
        const int typed = std::exchange(FTypedInterval, QString()).toInt(&number);
        if (number && typed < IntervalSE->minimum())
            ShowStatus(QStringLiteral("An interval of %1 ms is refused: %2 ms is the least, as "
                                      "a meter needs that long to be read once.")
                           .arg(typed)
                           .arg(IntervalSE->minimum()));
    });
    FastModeIntervalCB->setToolTip(
        QStringLiteral("Fast mode: the conversion time of each meter's continuous conversions, "
                       "in ms"));
    FastModeCB->setToolTip(
        QStringLiteral("Fast mode: the meters convert continuously and every CAP1 value is "
                       "logged, in blocks every 250 ms"));
    MaxPointSE->setToolTip(QStringLiteral("How many of the newest points each chart series "
                                          "keeps; 0 keeps all. The log gets every value."));
    NoiseCB->setToolTip(
        QStringLiteral("Timer mode: measure 3 or 5 times and drop the values farthest from the "
                       "mean"));

    auto addLabel = [&](const QString& caption, QWidget* buddy, int column) {
        auto* label = new QLabel(caption, GeneralTab);
        label->setBuddy(buddy);
        grid->addWidget(label, 1, column);
    };
    addLabel(QStringLiteral("Interval [ms]"), IntervalSE, 0);
    addLabel(QStringLiteral("Max. Points"), MaxPointSE, 2);
    addLabel(QStringLiteral("Noise Reduction"), NoiseCB, 3);
    // The fast-mode conversion times take the place of the interval while fast mode is on.
    auto* intervalPlace = new QHBoxLayout;
    intervalPlace->setContentsMargins(0, 0, 0, 0);
    intervalPlace->addWidget(IntervalSE);
    intervalPlace->addWidget(FastModeIntervalCB);
    grid->addLayout(intervalPlace, 2, 0);
    grid->addWidget(FastModeCB, 2, 1);
    grid->addWidget(MaxPointSE, 2, 2);
    grid->addWidget(NoiseCB, 2, 3);
    grid->setColumnStretch(4, 1);

    FilenameEd = new QLineEdit(GeneralTab);
    FilenameEd->setObjectName(QStringLiteral("FilenameEd"));
    FilenameEd->setReadOnly(true);
    FilenameEd->setToolTip(QStringLiteral("The log file; click to choose it (Ctrl+Shift+S)"));
    FilenameEd->installEventFilter(this);
    auto* fileRow = new QHBoxLayout;
    auto* fileLabel = new QLabel(QStringLiteral("Filename"), GeneralTab);
    fileLabel->setBuddy(FilenameEd);
    fileRow->addWidget(fileLabel);
    fileRow->addWidget(FilenameEd, 1);
    grid->addLayout(fileRow, 3, 0, 1, 5);

    MeterList = new QListWidget(GeneralTab);
    MeterList->setObjectName(QStringLiteral("MeterList"));
    MeterList->setFixedWidth(150);
    MeterList->setToolTip(QStringLiteral("The connected meters. Click: channel configuration; "
                                         "double click: register settings (not during a run)"));
    auto* listColumn = new QVBoxLayout;
    listColumn->setSpacing(1);
    auto* listLabel = new QLabel(QStringLiteral("Dielometer Serialnumbers"), GeneralTab);
    listLabel->setBuddy(MeterList);
    listColumn->addWidget(listLabel);
    listColumn->addWidget(MeterList, 1);
    general->addLayout(listColumn);
    SettingsTabs->addTab(GeneralTab, QStringLiteral("General"));

    // Tab "Interface": kept for the settings files; its tab is never shown.
    InterfaceTab = new QWidget(SettingsTabs);
    InterfaceTab->setObjectName(QStringLiteral("InterfaceTab"));
    auto* iface = new QHBoxLayout(InterfaceTab);
    auto* port = new QGridLayout;
    IntModeCB = MakeDropDown(InterfaceTab, "IntModeCB",
                             {QStringLiteral("Standard"), QStringLiteral("Open Collector"),
                              QStringLiteral("High Speed")});
    BaudRateSE = MakeSpinEdit(InterfaceTab, "BaudRateSE", 1000, 400000, 1000, 10000);
    LatencySE = MakeSpinEdit(InterfaceTab, "LatencySE", 1, 16, 1, 16);
    port->addWidget(new QLabel(QStringLiteral("Mode"), InterfaceTab), 0, 0);
    port->addWidget(IntModeCB, 0, 1);
    port->addWidget(new QLabel(QStringLiteral("Baudrate"), InterfaceTab), 1, 0);
    port->addWidget(BaudRateSE, 1, 1);
    port->addWidget(new QLabel(QStringLiteral("Latency [ms]"), InterfaceTab), 2, 0);
    port->addWidget(LatencySE, 2, 1);
    iface->addLayout(port);

    auto* testing = new QGroupBox(QStringLiteral("Testing"), InterfaceTab);
    auto* testingLayout = new QGridLayout(testing);
    TicksLabel = new QLabel(QStringLiteral("0"), testing);
    TicksLabel->setObjectName(QStringLiteral("TicksLabel"));
    ShowTicksCB = new QCheckBox(QStringLiteral("Show Graph"), testing);
    ShowTicksCB->setObjectName(QStringLiteral("ShowTicksCB"));
    testingLayout->addWidget(new QLabel(QStringLiteral("Last Timing [ms]:"), testing), 0, 0);
    testingLayout->addWidget(TicksLabel, 0, 1);
    testingLayout->addWidget(ShowTicksCB, 1, 0, 1, 2);
    iface->addWidget(testing);

    auto* serial = new QGroupBox(QStringLiteral("Serial Acquisition"), InterfaceTab);
    auto* serialLayout = new QGridLayout(serial);
    ThreadSerialModeCB = new QCheckBox(QStringLiteral("Enabled"), serial);
    ThreadSerialModeCB->setObjectName(QStringLiteral("ThreadSerialModeCB"));
    TriggerWaitSE = MakeSpinEdit(serial, "TriggerWaitSE", INT_MIN, INT_MAX, 100, 1000);
    serialLayout->addWidget(ThreadSerialModeCB, 0, 0, 1, 2);
    serialLayout->addWidget(new QLabel(QStringLiteral("Delay [ms]"), serial), 1, 0);
    serialLayout->addWidget(TriggerWaitSE, 1, 1);
    iface->addWidget(serial);
    iface->addStretch(1);
    SettingsTabs->addTab(InterfaceTab, QStringLiteral("Interface"));
    SettingsTabs->setTabVisible(SettingsTabs->indexOf(InterfaceTab), false);

    connect(StartBtn, &QPushButton::clicked, this, &TMainWindow::StartBtnClick);
    connect(StopBtn, &QPushButton::clicked, this, &TMainWindow::StopBtnClick);
    connect(ClearBtn, &QPushButton::clicked, this, &TMainWindow::ClearBtnClick);
    connect(AutoOffsetBtn, &QPushButton::clicked, this, &TMainWindow::AutoOffsetBtnClick);
    connect(TestBtn, &QPushButton::clicked, this, &TMainWindow::TestBtnClick);
    // Spin edits and check boxes run their handlers also when set from the settings file;
    // drop-down lists only when the user picks an item.
    connect(IntervalSE, &QSpinBox::valueChanged, this, &TMainWindow::IntervalSEChange);
    connect(FastModeCB, &QCheckBox::toggled, this, &TMainWindow::FastModeCBClick);
    connect(NoiseCB, &QComboBox::activated, this, &TMainWindow::NoiseCBChange);
    connect(ThreadSerialModeCB, &QCheckBox::toggled, this, &TMainWindow::ThreadSerialModeCBClick);
    connect(TriggerWaitSE, &QSpinBox::valueChanged, this, &TMainWindow::TriggerWaitSEChange);
    connect(ShowTicksCB, &QCheckBox::toggled, this, &TMainWindow::ShowTicksCBClick);
    // A click opens its dialog only once it is sure to be no double click, so that the
    // double click's dialog can be reached at all.
    FListClickTimer.setSingleShot(true);
    FListClickTimer.setInterval(QApplication::doubleClickInterval());
    connect(&FListClickTimer, &QTimer::timeout, this, &TMainWindow::MeterListClick);
    connect(MeterList, &QListWidget::itemClicked, this, [this] { FListClickTimer.start(); });
    connect(MeterList, &QListWidget::itemDoubleClicked, this, [this] {
        FListClickTimer.stop();
        MeterListDblClick();
    });
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

bool TMainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == FilenameEd) {
        const bool clicked =
            event->type() == QEvent::MouseButtonRelease &&
            static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton &&
            FilenameEd->rect().contains(static_cast<QMouseEvent*>(event)->position().toPoint());
        const bool keyed = event->type() == QEvent::KeyPress &&
                           (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Return ||
                            static_cast<QKeyEvent*>(event)->key() == Qt::Key_Enter ||
                            static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space);
        if (clicked || keyed) {
            FilenameEdClick();
            return keyed;
        }
    }
    return QMainWindow::eventFilter(watched, event);
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
            LogFileDialog.SetFileName(FilenameEd->text());
            RebuildCharts();
        }
        ActPoint = 0;
        ActTickPoint = 0;
        TriggerThread = std::make_unique<TTriggerThread>();
    });
}

void TMainWindow::FormDestroy() {
    Guarded(this, [&] {
        // Continuous runs end at their next result.
        for (TMeter* meter : Meters)
            meter->SetContinuousMode(false);
        TIniFile ini(ProgIniFilename);
        WriteProgramKeys(ini, *this, EKeyScope::ProgramFile);
        for (TMeter* meter : Meters)
            meter->SaveToIni(ini);
        SavePlacement(ini);
    });
    if (AddressWatch)
        Guarded(this, [&] { AddressWatch->WriteHistory(QStringLiteral("iphist.dat")); });
}

QVariant TMainWindow::ProgramKeyValue(EProgramKey key) const {
    switch (key) {
    case EProgramKey::ThreadSafetyLevel:
        return Threading().ThreadSafetyLevel.load();
    case EProgramKey::Serial:
        return int(Threading().Serial.load());
    case EProgramKey::TriggerWait:
        return Threading().TriggerWait.load();
    case EProgramKey::Mode:
        return IntModeCB->currentIndex();
    case EProgramKey::Baudrate:
        return BaudRateSE->value();
    case EProgramKey::Latency:
        return LatencySE->value();
    case EProgramKey::MaxPoints:
        return MaxPointSE->value();
    case EProgramKey::Interval:
        return IntervalSE->value();
    case EProgramKey::FastMode:
        return int(FastModeCB->isChecked());
    case EProgramKey::FastModeInterval:
        return FastModeIntervalCB->currentIndex();
    case EProgramKey::Logfile:
        return FilenameEd->text();
    case EProgramKey::NoiseReduction:
        return NoiseCB->currentIndex();
    }
    return {};
}

void TMainWindow::SetProgramKeyValue(EProgramKey key, const QVariant& value) {
    // Spin edits clamp to their range; a list index outside the items leaves no selection.
    switch (key) {
    case EProgramKey::ThreadSafetyLevel:
        Threading().ThreadSafetyLevel = value.toInt();
        break;
    case EProgramKey::Serial:
        Threading().Serial = value.toInt() != 0;
        ThreadSerialModeCB->setChecked(value.toInt() != 0);
        break;
    case EProgramKey::TriggerWait:
        Threading().TriggerWait = value.toInt();
        TriggerWaitSE->setValue(value.toInt());
        break;
    case EProgramKey::Mode:
        IntModeCB->setCurrentIndex(value.toInt());
        break;
    case EProgramKey::Baudrate:
        BaudRateSE->setValue(value.toInt());
        break;
    case EProgramKey::Latency:
        LatencySE->setValue(value.toInt());
        break;
    case EProgramKey::MaxPoints:
        MaxPointSE->setValue(value.toInt());
        break;
    case EProgramKey::Interval:
        IntervalSE->setValue(value.toInt());
        break;
    case EProgramKey::FastMode:
        FastModeCB->setChecked(value.toInt() != 0);
        break;
    case EProgramKey::FastModeInterval:
        FastModeIntervalCB->setCurrentIndex(value.toInt());
        break;
    case EProgramKey::Logfile:
        FilenameEd->setText(value.toString());
        break;
    case EProgramKey::NoiseReduction:
        NoiseCB->setCurrentIndex(value.toInt());
        break;
    }
}

// ---------------------------------------------------------------------------------------------
// Handlers

void TMainWindow::StartBtnClick() {
    Guarded(this, [&] { StartRun(); });
}

void TMainWindow::StartRun() {
    {
        // A second Start during a run would empty the log it is writing.
        if (Running)
            return;
        const bool fast = FastModeCB->isChecked();
        const auto prepareMeters = [&] {
            for (TMeter* meter : Meters) {
                meter->SetContinuousMode(fast);
                meter->SetContinuousModeInterval(FastModeIntervalCB->currentIndex());
            }
        };
        prepareMeters();
        if (LogFileDialog.FileName().isEmpty() && !LogFileDialog.Execute(this))
            return;
        const QString fileName = LogFileDialog.FileName();
        FilenameEd->setText(fileName);
        if (!MayReplace(fileName))
            return;
        setWindowTitle(QStringLiteral("DieloMeter - ") + QFileInfo(fileName).fileName());
        LogFile.Open(fileName, LogSettings(), QLocale());
        Running = true;
        FFastModeRun = fast;
        // The run's points follow the last run's, in timer and in fast mode alike.
        ActPoint = std::max(ActPoint, int(Charts->LastX()));
        ActTickPoint = std::max(ActTickPoint, int(Charts->LastTimingX()));
        Charts->ContinueAfter(ActPoint, ActTickPoint);
        ++ActPoint;
        ++ActTickPoint;
        LockRunControls(true);
        FRunMeters.clear();
        for (const TMeter* meter : Meters)
            FRunMeters.push_back({meter->SerNum(), meter->ValueCount(), {}});
        ChannelBuffer.Resize(FRunMeters.size());
        ChannelBuffer.ClearValues();
        ChannelBuffer.ClearTicks();
        MapRunColumns();
        for (TMeterState& state : FMeterStates)
            state.RestartDue = false;
        FUnwrittenRows.clear();
        FLogFailing = false;
        prepareMeters();
        for (TMeter* meter : Meters)
            meter->StartMes();
        TickTimer.setInterval(fast ? 250 : IntervalSE->value());
        TickTimer.start();
        FRunClock.start();
        for (TMeterState& state : FMeterStates)
            state.ResultsSinceRates = 0;
        FMeterRates.clear();
        FStateClock.start();
        FStatusTimer.start();
        ShowRunState();
        WarnOfShortInterval();
        TriggerThread->Do_Measurement();
    }
}

void TMainWindow::WarnOfShortInterval() {
    IntervalSE->setToolTip(IntervalToolTip);
    if (!Running || FFastModeRun)
        return;
    std::chrono::milliseconds slowest{0};
    QString slowMeter;
    for (const TMeter* meter : Meters) {
        const auto time = TriggeredAcquisitionTime(
            meter->RegData(), meter->MeasurementWorker()->Repeats, meter->SMode());
        if (time > slowest) {
            slowest = time;
            slowMeter = meter->SerNum();
        }
    }
    if (IntervalSE->value() >= slowest.count())
        return;
    // Rows of ticks that come before a meter has finished leave its fields empty.
    const auto shortest = (slowest.count() + 9) / 10 * 10;
    const QString warning =
        QStringLiteral("The interval of %1 ms is shorter than the %2 ms meter %3 needs for a "
                       "measurement: rows will have empty fields. %4 ms or more gives every row "
                       "fresh values.")
            .arg(IntervalSE->value())
            .arg(slowest.count())
            .arg(slowMeter)
            .arg(shortest);
    ShowStatus(warning);
    IntervalSE->setToolTip(IntervalToolTip + QStringLiteral("\n\n") + warning);
}

void TMainWindow::StopBtnClick() {
    Guarded(this, [&] { StopRun(); });
}

void TMainWindow::StopRun() {
    {
        TickTimer.stop();
        TestTimer.stop();
        StartBtn->setEnabled(true);
        StartAction->setEnabled(true);
        StopBtn->setEnabled(false);
        StopAction->setEnabled(false);
        NoiseCB->setEnabled(true);
        const bool wasRunning = Running;
        Running = false;
        FStatusTimer.stop();
        // What fast mode buffered since the last tick is written as a last block.
        std::exception_ptr lastBlockError;
        if (wasRunning && FFastModeRun && ChannelBuffer.HasValues()) {
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
            FUnwrittenRows.size() + qsizetype(FFastModeRun ? ChannelBuffer.Depth() : 0);
        if (wasRunning && unwritten > 0 && !lastBlockError)
            lastBlockError = std::make_exception_ptr(ELogFileError(
                QStringLiteral("%1 row(s) of the run could not be written to %2: the log ends "
                               "before them")
                    .arg(unwritten)
                    .arg(LogFile.FileName())
                    .toStdString()));
        FUnwrittenRows.clear();
        FLogFailing = false;
        LogFile.Close();
        LockRunControls(false);
        for (TMeter* meter : Meters)
            meter->StopMes();
        ShowRunState();
        WarnOfShortInterval();
        if (lastBlockError)
            std::rethrow_exception(lastBlockError);
    }
}

void TMainWindow::ClearBtnClick() {
    ActPoint = 0;
    ActTickPoint = 0;
    Charts->Clear();
    // Clearing drops the series of meters that are gone: the charts are laid out anew.
    RebuildCharts();
}

void TMainWindow::TestBtnClick() {
    ClearBtnClick();
    StartBtnClick();
    TestTimer.start();
    ShowRunState();
}

void TMainWindow::AutoOffsetBtnClick() {
    AutoOffset = true;
    // The charts show corrected values from now on, and say so.
    CapacitanceChart->SetValueAxisTitle(QStringLiteral("Capacitance − offset [pF]"));
    for (TMeter* meter : Meters) {
        meter->Offset_Count = 0;
        meter->Cal1Offset = 0.0;
        meter->Cal2Offset = 0.0;
    }
}

void TMainWindow::TickTimerTimeout() {
    Guarded(this, [&] {
        if (!Running)
            return;
        if (FFastModeRun)
            FastModeTick();
        else
            TimerModeTick();
    });
}

void TMainWindow::TimerModeTick() {
    const auto values = NewestValues();
    std::vector<int> columns;
    for (TRunMeter& meter : FRunMeters) {
        columns.push_back(meter.Columns);
        meter.Unlogged.clear();
    }
    for (TMeterState& state : FMeterStates)
        state.Unlogged = false;
    const QString row = ValueRow(values, QLocale(), columns);
    TelnetServer->QueueLine(row);
    ++ActPoint;
    ++ActTickPoint;
    TriggerThread->Do_Measurement();
    // Rows that the disk refused wait for the next tick and go ahead of its row.
    FUnwrittenRows << row;
    WriteUnwrittenRows();
}

void TMainWindow::WriteUnwrittenRows() {
    WriteLog([&] {
        LogFile.WriteRowsText(FUnwrittenRows);
        FUnwrittenRows.clear();
    });
}

void TMainWindow::WriteLog(const std::function<void()>& write) {
    try {
        write();
        if (std::exchange(FLogFailing, false))
            ShowStatus(QStringLiteral("Log file written again"));
    } catch (const ELogFileError& error) {
        ShowStatus(QString::fromUtf8(error.what()));
        // Shown once until the log can be written again: a box per tick would pile up.
        if (!std::exchange(FLogFailing, true))
            throw;
    }
}

void TMainWindow::FastModeTick() {
    for (std::size_t meter = 0; meter < Meters.size(); ++meter)
        if (std::exchange(StateOf(meter).RestartDue, false))
            Meters[meter]->TriggerMeasurement();
    // Clients get each value once: values that the log could not take yet are kept for it
    // alone. They are the ones not yet drawn.
    std::vector<std::vector<double>> fresh;
    for (std::size_t column = 0; column < ChannelBuffer.Meters(); ++column) {
        const std::span<const double> values = ChannelBuffer.UndrawnValues(column);
        fresh.emplace_back(values.begin(), values.end());
    }
    DrawBufferedPoints();
    const QStringList block = FastModeBlock(fresh, QLocale());
    // The telnet line holds the block's rows without their count line.
    TelnetServer->QueueLine(block.mid(0, block.size() - 1).join(QString()));
    // On a failing write the buffers keep their values for the next tick.
    WriteLog([&] {
        LogFile.WriteBlock(ChannelBuffer.Values());
        ChannelBuffer.ClearValues();
    });
}

void TMainWindow::DrawBufferedPoints() {
    // Values that a failed write left for the next tick are drawn only once.
    for (std::size_t column = 0; column < ChannelBuffer.Meters(); ++column) {
        // A meter that is out keeps its buffered values for the log; they are not drawn.
        const int found = MeterOfRunColumn(column);
        if (found < 0)
            continue;
        const auto meter = std::size_t(found);
        for (const double value : ChannelBuffer.UndrawnValues(column))
            Charts->AddNext(meter, EChartQuantity::Cap1, value, 0);
        for (const int ticks : ChannelBuffer.Ticks()[column])
            Charts->AddNext(meter, EChartQuantity::Time, ticks, 0);
    }
    ChannelBuffer.MarkDrawn();
    ChannelBuffer.ClearTicks();
}

void TMainWindow::TestTimerTimeout() {
    TestTimer.stop();
    StopBtnClick();
}

void TMainWindow::IntervalSEChange() {
    TickTimer.setInterval(IntervalSE->value());
    WarnOfShortInterval();
}

void TMainWindow::FastModeCBClick() {
    const bool fast = FastModeCB->isChecked();
    FastModeIntervalCB->setVisible(fast);
    IntervalSE->setVisible(!fast);
    // Fast mode logs in blocks every 250 ms; the timer-mode interval is set again at Start.
    if (fast)
        TickTimer.setInterval(250);
}

void TMainWindow::NoiseCBChange() {
    for (TMeter* meter : Meters)
        meter->SetNoiseReduction(NoiseCB->currentIndex());
}

void TMainWindow::ThreadSerialModeCBClick() {
    Threading().Serial = ThreadSerialModeCB->isChecked();
}

void TMainWindow::TriggerWaitSEChange() {
    Threading().TriggerWait = TriggerWaitSE->value();
}

void TMainWindow::ShowTicksCBClick() {
    TimingChart->setVisible(ShowTicksCB->isChecked());
}

void TMainWindow::FilenameEdClick() {
    Guarded(this, [&] {
        // Only the name changes here; the file is created at Start.
        if (LogFileDialog.Execute(this))
            FilenameEd->setText(LogFileDialog.FileName());
    });
}

void TMainWindow::SetLogFileClick() {
    FilenameEdClick();
}

void TMainWindow::ExitClick() {
    close();
}

void TMainWindow::ShowSettingsClick() {
    SettingsTabs->setVisible(ShowSettingsAction->isChecked());
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
        for (const TMeter* meter : Meters)
            meter->SaveToIni(ini);
    });
}

void TMainWindow::LoadSettingsClick() {
    Guarded(this, [&] {
        // The workers read the image that loading replaces and use the bridges it initialises.
        if (Running)
            throw std::runtime_error("Settings cannot be loaded during a measurement. Stop the "
                                     "measurement first, then load them.");
        if (!OpenSettingsDialog.Execute(this) || !QFileInfo::exists(OpenSettingsDialog.FileName()))
            return;
        const TIniFile ini(OpenSettingsDialog.FileName());
        ReadProgramKeys(ini, *this, EKeyScope::SettingsFile);
        LogFileDialog.SetFileName(FilenameEd->text());
        // A meter that fails keeps the others from being skipped; the failures are told at the
        // end.
        QStringList failures;
        for (TMeter* meter : Meters) {
            try {
                meter->Bridge()->Init();
                meter->LoadFromIni(ini);
            } catch (const std::exception& error) {
                failures << MeterFailure(meter->SerNum(), error);
            }
        }
        RebuildCharts();
        ActPoint = 0;
        if (!failures.isEmpty())
            ReportError(this, failures.join(u'\n'));
    });
}

void TMainWindow::AboutClick() {
    AboutBox->exec();
}

TMeter* TMainWindow::SelectedMeter() const {
    const int row = MeterList->currentRow();
    return row >= 0 && std::size_t(row) < Meters.size() ? Meters[std::size_t(row)] : nullptr;
}

bool TMainWindow::ExplainLockedMeter() {
    const int row = MeterList->currentRow() - int(Meters.size());
    if (row < 0 || std::size_t(row) >= FLockedMeters.size())
        return false;
    ReportError(this, NoAccessText(*FLockedMeters[std::size_t(row)]));
    return true;
}

void TMainWindow::MeterListClick() {
    Guarded(this, [&] {
        if (ExplainLockedMeter())
            return;
        TMeter* meter = Running ? nullptr : SelectedMeter();
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
        TMeter* meter = Running ? nullptr : SelectedMeter();
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
    // During a run the buffers follow the run's log columns, which a device change keeps.
    if (!Running)
        ChannelBuffer.Resize(Meters.size());
    std::vector<TMeterSeries> meters;
    for (const TMeter* meter : Meters)
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
    if (Meters.empty() && FLockedMeters.empty())
        hint = QStringLiteral("No meter connected.\nPlug in a meter: it appears in the list at "
                              "the right within a second.");
    else if (Meters.empty())
        hint = QStringLiteral("No meter can be used yet: a meter is listed as \"(no access)\".\n"
                              "Click its line in the list for how to give access.");
    else if (CapacitanceChart->isHidden() && TemperatureChart->isHidden() &&
             ResistanceChart->isHidden())
        hint = QStringLiteral("The connected meters measure nothing.\nClick a meter in the list "
                              "to switch on its channels.");
    FChartHint->setText(hint);
    FChartHint->setVisible(!hint.isEmpty());
}

void TMainWindow::FreeMeters() {
    // No trigger reaches a meter while the set changes.
    if (TriggerThread)
        TriggerThread->SetMeters({});
    // What the workers measured and posted is taken before the meters go, and in timer mode
    // a result that no tick has logged yet is kept for the next row.
    for (TMeter* meter : Meters)
        meter->EndWorker();
    if (Running && !FFastModeRun)
        for (std::size_t meter = 0; meter < Meters.size(); ++meter) {
            const int column = RunColumn(meter);
            if (column < 0 || !StateOf(meter).Unlogged)
                continue;
            std::vector<double> values = ValuesForRunColumn(*Meters[meter], std::size_t(column));
            if (!values.empty())
                FRunMeters[std::size_t(column)].Unlogged = std::move(values);
        }
    while (!Meters.empty()) {
        delete Meters.back(); // ends its worker, darkens the LED, releases the device
        Meters.pop_back();
    }
}

void TMainWindow::HidDeviceChange() {
    Guarded(this, [&] {
        FreeMeters();
        MeterList->clear();
        const auto gone = [](const auto& d) { return !d->IsPluggedIn(); };
        std::erase_if(FForeignDevices, gone);
        std::erase_if(FLockedMeters, gone);
        const TIniFile ini(ProgIniFilename);
        THidDevice* device = nullptr;
        QStringList failures;
        // A meter whose set-up failed hands its device back, and the controller would hand it
        // out again at once: it is held here until the pass is over, and tried again at the
        // next device change.
        std::set<std::string> failed;
        std::vector<std::unique_ptr<THidDevice>> failedDevices;
        while (HidCtl->CheckOut(device)) {
            if (failed.contains(device->InstanceId())) {
                failedDevices.emplace_back(device);
                continue;
            }
            if (device->ProductName() != QLatin1String("Corvane v2")) {
                FForeignDevices.emplace_back(device);
                continue;
            }
            if (!device->HasReadWriteAccess()) {
                FLockedMeters.emplace_back(device);
                continue;
            }
            const QString serial = device->SerialNumber();
            const std::string instance = device->InstanceId();
            std::unique_ptr<THidDevice> owned(device); // until the bridge takes it
            // An error with one meter is reported, and the others are still set up.
            try {
                owned->SetNumInputBuffers(128);
                owned->SetNumOverlappedBuffers(128);
                auto meter = std::make_unique<TMeter>(this);
                meter->SetChannel(int(Meters.size()));
                meter->SetOnReceiveData(
                    [this](int channel, std::span<const double> values, std::uint32_t ticks) {
                        MeterReceiveData(channel, values, ticks);
                    });
                meter->SetUpBridge(std::make_unique<THidBridge>(owned.release()));
                meter->LoadFromIni(ini);
                meter->Bridge()->Init();
                meter->SetNoiseReduction(NoiseCB->currentIndex());
                TMeter* added = meter.release();
                connect(added, &TMeter::ErrorOccurred, this,
                        [this, added](const QString& message) { MeterError(added, message); });
                Meters.push_back(added);
                MeterList->addItem(serial);
            } catch (const std::exception& error) {
                failures << MeterFailure(serial, error);
                failed.insert(instance);
            }
        }
        failedDevices.clear();
        std::vector<std::shared_ptr<TManualResetEvent>> triggers;
        for (TMeter* meter : Meters)
            triggers.push_back(meter->TriggerEvent);
        // Meters plugged in during a run join it at once, in fast mode with their continuous
        // conversion.
        if (Running) {
            for (TMeter* meter : Meters) {
                meter->SetContinuousMode(FFastModeRun);
                meter->SetContinuousModeInterval(FastModeIntervalCB->currentIndex());
                meter->StartMes();
            }
        }
        FMeterStates.assign(Meters.size(), {});
        MapRunColumns();
        TriggerThread->SetMeters(std::move(triggers));
        RebuildCharts();
        // Meters the user may not open are listed after the others, with the fix.
        for (const auto& locked : FLockedMeters) {
            auto* line = new QListWidgetItem(NoAccessLine(*locked), MeterList);
            line->setToolTip(NoAccessText(*locked));
            line->setForeground(palette().brush(QPalette::Disabled, QPalette::Text));
        }
        QString state = QStringLiteral("%1 meter(s) connected").arg(Meters.size());
        if (!FLockedMeters.empty())
            state += QStringLiteral("; %1 meter(s) without access: click the meter's line for "
                                    "how to fix it")
                         .arg(FLockedMeters.size());
        ShowStatus(state);
        ShowChartHint();
        if (!failures.isEmpty())
            ReportError(this, failures.join(u'\n'));
    });
}

void TMainWindow::MeterError(TMeter* meter, const QString& message) {
    const auto it = std::find(Meters.begin(), Meters.end(), meter);
    if (it == Meters.end())
        return;
    const int index = int(it - Meters.begin());
    // Its last values are no measurement of now: its fields stay empty until it measures again,
    // and in fast mode the next tick starts its conversions again.
    TMeterState& state = StateOf(std::size_t(index));
    state.HasResult = false;
    state.RestartDue = true;
    if (QListWidgetItem* line = MeterList->item(index)) {
        line->setText(QStringLiteral("%1 (error)").arg(meter->SerNum()));
        line->setToolTip(message);
    }
    ShowStatus(QStringLiteral("Meter %1: %2").arg(meter->SerNum(), message));
}

void TMainWindow::MeterReceiveData(int Channel, std::span<const double> Values,
                                   std::uint32_t Ticks) {
    if (!Running || Channel < 0 || std::size_t(Channel) >= Meters.size())
        return;
    TMeter& meter = *Meters[std::size_t(Channel)];
    TMeterState& state = StateOf(std::size_t(Channel));
    if (!state.HasResult) {
        // Measuring again after an error: the line loses its mark.
        QListWidgetItem* line = MeterList->item(Channel);
        if (line && line->text() != meter.SerNum()) {
            line->setText(meter.SerNum());
            line->setToolTip(QString());
        }
    }
    state.HasResult = true;
    state.Unlogged = true;
    ++state.ResultsSinceRates;
    // The values come in the order of what the image measures, as they were decoded.
    const TMeasuredQuantities measured = MeasuredQuantities(meter.RegData());
    std::size_t next = 0;
    const auto take = [&](bool enabled) -> std::optional<double> {
        if (!enabled || next >= Values.size())
            return std::nullopt;
        return Values[next++];
    };
    std::optional<double> c1 = take(measured.Cap1);
    std::optional<double> c2 = take(measured.Cap2);
    // The offsets are the running mean of each channel's first 10 values after the button.
    if (AutoOffset && (measured.Cap1 || measured.Cap2)) {
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
    const int maxPoints = MaxPointSE->value();
    const std::size_t meterIndex = std::size_t(Channel);
    const int column = RunColumn(meterIndex); // where fast mode buffers the meter's results
    // In fast mode the tick draws the CAP1 values and elapsed times; their series' limits
    // apply as each result arrives.
    // A meter that joined the run has no log columns and so nothing in the buffers: its
    // points are drawn as they come.
    if (c1 && FFastModeRun && column >= 0) {
        ChannelBuffer.AddValue(std::size_t(column), *c1);
        Charts->Limit(meterIndex, EChartQuantity::Cap1, maxPoints);
    } else if (c1 && FFastModeRun) {
        Charts->AddNext(meterIndex, EChartQuantity::Cap1, *c1, maxPoints);
    } else if (c1) {
        Charts->Add(meterIndex, EChartQuantity::Cap1, ActPoint, *c1, maxPoints);
    }
    const auto draw = [&](EChartQuantity quantity, double value) {
        if (FFastModeRun)
            Charts->AddNext(meterIndex, quantity, value, maxPoints);
        else
            Charts->Add(meterIndex, quantity, ActPoint, value, maxPoints);
    };
    if (c2)
        draw(EChartQuantity::Cap2, *c2);
    if (const auto temperature = take(measured.Temperature))
        draw(EChartQuantity::Temperature, *temperature);
    if (const auto resistance = take(measured.Resistance))
        draw(EChartQuantity::Resistance, *resistance);
    if (FFastModeRun && column >= 0) {
        ChannelBuffer.AddTicks(std::size_t(column), int(Ticks));
        Charts->Limit(meterIndex, EChartQuantity::Time, maxPoints);
    } else if (FFastModeRun) {
        Charts->AddNext(meterIndex, EChartQuantity::Time, Ticks, maxPoints);
    } else {
        Charts->Add(meterIndex, EChartQuantity::Time, ActTickPoint, Ticks, maxPoints);
    }
    TicksLabel->setText(QString::number(Ticks));
}

// ---------------------------------------------------------------------------------------------
// Remote access

void TMainWindow::StartRemoteAccess() {
    const TIniFile ini(ProgIniFilename);
    const bool portChosen = ini.KeyExists(QStringLiteral("Telnet"), QStringLiteral("Port"));
    const int port = ini.ReadInteger(QStringLiteral("Telnet"), QStringLiteral("Port"), 23);
    FTelnetPort = port;
    AddressWatch = new TAddressWatcher({}, this);
    connect(AddressWatch, &TAddressWatcher::StatusChanged, this,
            &TMainWindow::AddressWatchStatusChanged);
    AddressWatch->Start();
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
    if (!TelnetServer || !TelnetServer->IsListening())
        return QStringLiteral("Dielo Meter 5.2 - no telnet server (port %1 could not be opened)")
            .arg(FTelnetPort);
    return QStringLiteral("Dielo Meter 5.2 Telnet Server %1:%2")
        .arg(AddressWatch ? AddressWatch->Address() : QString())
        .arg(TelnetServer->Port());
}

void TMainWindow::AddressWatchStatusChanged() {
    setWindowTitle(TelnetCaption());
}

void TMainWindow::TelnetStart() {
    StartRun();
}

void TMainWindow::TelnetStop() {
    StopRun();
}

QStringList TMainWindow::TelnetStatus() {
    return StatusReportLines(LogSettings(), QLocale());
}

bool TMainWindow::ShowsModalDialog() {
    return QApplication::activeModalWidget() != nullptr || TUserPrompts::IsShowing();
}

std::vector<std::vector<double>> TMainWindow::NewestValues() const {
    // In the run's columns: a meter that is out, or came back measuring other quantities,
    // leaves its fields empty rather than shifting the others'.
    std::vector<std::vector<double>> values;
    for (std::size_t column = 0; column < FRunMeters.size(); ++column) {
        const int found = MeterOfRunColumn(column);
        // A field holds a value measured since the row before, or stays empty: a meter that
        // has not finished a measurement since the last tick repeats nothing.
        const bool measured = found >= 0 && std::size_t(found) < FMeterStates.size() &&
                              FMeterStates[std::size_t(found)].Unlogged;
        std::vector<double> row = measured ? ValuesForRunColumn(*Meters[std::size_t(found)], column)
                                           : std::vector<double>();
        if (row.empty())
            row = FRunMeters[column].Unlogged; // measured before its meter was pulled out
        values.push_back(std::move(row));
    }
    return values;
}

std::vector<double> TMainWindow::ValuesForRunColumn(const TMeter& meter, std::size_t column) const {
    std::vector<double> values;
    if (meter.ValueCount() == FRunMeters[column].Columns)
        for (int q = 0; q < meter.ValueCount(); ++q)
            values.push_back(meter.Values(q));
    return values;
}

TMainWindow::TMeterState& TMainWindow::StateOf(std::size_t meter) {
    // Meters are set up one by one before the states are reset, and may report meanwhile.
    if (meter >= FMeterStates.size())
        FMeterStates.resize(std::max(meter + 1, Meters.size()));
    return FMeterStates[meter];
}

void TMainWindow::MapRunColumns() {
    FRunColumnOfMeter.assign(Meters.size(), -1);
    FMeterOfRunColumn.assign(FRunMeters.size(), -1);
    for (std::size_t meter = 0; meter < Meters.size(); ++meter) {
        const QString serial = Meters[meter]->SerNum();
        for (std::size_t column = 0; column < FRunMeters.size(); ++column) {
            if (FRunMeters[column].Serial == serial && FMeterOfRunColumn[column] < 0) {
                FRunColumnOfMeter[meter] = int(column);
                FMeterOfRunColumn[column] = int(meter);
                break;
            }
        }
    }
}

int TMainWindow::RunColumn(std::size_t meter) const {
    return meter < FRunColumnOfMeter.size() ? FRunColumnOfMeter[meter] : -1;
}

int TMainWindow::MeterOfRunColumn(std::size_t column) const {
    return column < FMeterOfRunColumn.size() ? FMeterOfRunColumn[column] : -1;
}

TLogSettings TMainWindow::LogSettings() const {
    TLogSettings settings;
    settings.FastMode = FastModeCB->isChecked();
    settings.Interval = settings.FastMode ? FastModeIntervalCB->currentText()
                                          : QString::number(IntervalSE->value());
    settings.Created = QDateTime::currentDateTime();
    for (const TMeter* meter : Meters) {
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

void TMainWindow::LockRunControls(bool running) {
    StartBtn->setEnabled(!running);
    StartAction->setEnabled(!running);
    StopBtn->setEnabled(running);
    StopAction->setEnabled(running);
    // The workers read the image that loading replaces.
    LoadSettingsAction->setEnabled(!running);
    for (QWidget* control : std::initializer_list<QWidget*>{NoiseCB, FastModeIntervalCB, FastModeCB,
                                                            IntModeCB, BaudRateSE, LatencySE})
        control->setEnabled(!running);
}

void TMainWindow::ShowRunState() {
    if (!Running) {
        FRunState->setText(QStringLiteral("Idle"));
        return;
    }
    const qint64 seconds = FRunClock.elapsed() / 1000;
    QString text =
        FFastModeRun
            ? QStringLiteral("Running, fast mode %1 ms").arg(FastModeIntervalCB->currentText())
            : QStringLiteral("Running, every %1 ms").arg(IntervalSE->value());
    text += QStringLiteral(", %1:%2:%3")
                .arg(seconds / 3600)
                .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    if (TestTimer.isActive())
        text += QStringLiteral(", test ends in %1 s").arg((TestTimer.remainingTime() + 999) / 1000);
    if (!FMeterRates.isEmpty())
        text += QStringLiteral("; ") + FMeterRates;
    FRunState->setText(text);
}

void TMainWindow::MeasureMeterRates() {
    // What each meter really delivers, whatever its settings promise.
    const double seconds = double(FStateClock.restart()) / 1000.0;
    QStringList rates;
    for (std::size_t i = 0; i < Meters.size(); ++i) {
        TMeterState& state = StateOf(i);
        rates << QStringLiteral("%1 %2/s")
                     .arg(Meters[i]->SerNum())
                     .arg(seconds > 0 ? state.ResultsSinceRates / seconds : 0.0, 0, 'f', 1);
        state.ResultsSinceRates = 0;
    }
    FMeterRates = rates.join(QStringLiteral(", "));
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
    if (Running && !std::exchange(FCloseWithoutAsking, false) &&
        !TUserPrompts::Current().Confirm(
            this, QStringLiteral("Confirm"),
            QStringLiteral("A measurement is running. Stop it and quit?"))) {
        event->ignore();
        return;
    }
    // A run is stopped first, so that its log is complete.
    if (Running)
        StopBtnClick();
    QMainWindow::closeEvent(event);
}
