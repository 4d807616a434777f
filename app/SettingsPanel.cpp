#include "app/SettingsPanel.h"

#include "model/ThreadingSettings.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <initializer_list>
#include <utility>

namespace {

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

const QString IntervalToolTip = QStringLiteral(
    "Timer mode: the time between two rows of the log, 10 to 30000 ms. A row holds the values "
    "each meter measured since the row before; a meter that has not finished leaves its fields "
    "empty.");

// The range and the items of the controls come with the program keys they show.
QSpinBox* MakeSpinEdit(QWidget* parent, const char* name, EProgramKey key, int step, int value) {
    auto* spin = new QSpinBox(parent);
    spin->setObjectName(QLatin1String(name));
    const auto [min, max] = ProgramKeyRange(key);
    spin->setRange(min, max);
    spin->setSingleStep(step);
    spin->setValue(value);
    return spin;
}

QComboBox* MakeDropDown(QWidget* parent, const char* name, EProgramKey key) {
    auto* list = new QComboBox(parent);
    list->setObjectName(QLatin1String(name));
    list->addItems(ProgramKeyItems(key));
    list->setCurrentIndex(0);
    return list;
}

} // namespace

TSettingsPanel::TSettingsPanel(QWidget* parent)
    : QTabWidget(parent) {
    setObjectName(QStringLiteral("Settings"));
    setFixedHeight(PanelHeight);

    // Tab "General"
    GeneralTab = new QWidget(this);
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

    IntervalSE = MakeSpinEdit(GeneralTab, "IntervalSE", EProgramKey::Interval, 250, 1000);
    FastModeIntervalCB =
        MakeDropDown(GeneralTab, "FastModeIntervalCB", EProgramKey::FastModeInterval);
    FastModeIntervalCB->hide();
    FastModeCB = new QCheckBox(QStringLiteral("Fast Mode"), GeneralTab);
    FastModeCB->setObjectName(QStringLiteral("FastModeCB"));
    MaxPointSE = MakeSpinEdit(GeneralTab, "MaxPointSE", EProgramKey::MaxPoints, 100, 0);
    NoiseCB = MakeDropDown(GeneralTab, "NoiseCB", EProgramKey::NoiseReduction);
    IntervalSE->setToolTip(IntervalToolTip);
    // A value below the least is refused with a word in the status bar, not silently.
    IntervalSE->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    connect(IntervalSE, &QSpinBox::textChanged, this,
            [this](const QString& text) { FTypedInterval = text; });
    connect(IntervalSE, &QSpinBox::editingFinished, this, [this] {
        bool number = false;
        const int typed = std::exchange(FTypedInterval, QString()).toInt(&number);
        if (number && typed < IntervalSE->minimum())
            emit Message(QStringLiteral("An interval of %1 ms is refused: %2 ms is the least, as "
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
    addTab(GeneralTab, QStringLiteral("General"));

    // Tab "Interface": kept for the settings files; its tab is never shown.
    InterfaceTab = new QWidget(this);
    InterfaceTab->setObjectName(QStringLiteral("InterfaceTab"));
    auto* iface = new QHBoxLayout(InterfaceTab);
    auto* port = new QGridLayout;
    IntModeCB = MakeDropDown(InterfaceTab, "IntModeCB", EProgramKey::Mode);
    BaudRateSE = MakeSpinEdit(InterfaceTab, "BaudRateSE", EProgramKey::Baudrate, 1000, 10000);
    LatencySE = MakeSpinEdit(InterfaceTab, "LatencySE", EProgramKey::Latency, 1, 16);
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
    TriggerWaitSE = MakeSpinEdit(serial, "TriggerWaitSE", EProgramKey::TriggerWait, 100, 1000);
    serialLayout->addWidget(ThreadSerialModeCB, 0, 0, 1, 2);
    serialLayout->addWidget(new QLabel(QStringLiteral("Delay [ms]"), serial), 1, 0);
    serialLayout->addWidget(TriggerWaitSE, 1, 1);
    iface->addWidget(serial);
    iface->addStretch(1);
    addTab(InterfaceTab, QStringLiteral("Interface"));
    setTabVisible(indexOf(InterfaceTab), false);

    // Fast mode's conversion times take the place of the interval while fast mode is on.
    connect(FastModeCB, &QCheckBox::toggled, this, [this](bool fast) {
        FastModeIntervalCB->setVisible(fast);
        IntervalSE->setVisible(!fast);
    });
    // A click opens its dialog only once it is sure to be no double click, so that the
    // double click's dialog can be reached at all.
    FListClickTimer.setSingleShot(true);
    FListClickTimer.setInterval(QApplication::doubleClickInterval());
    connect(&FListClickTimer, &QTimer::timeout, this, &TSettingsPanel::MeterClicked);
    connect(MeterList, &QListWidget::itemClicked, this, [this] { FListClickTimer.start(); });
    connect(MeterList, &QListWidget::itemDoubleClicked, this, [this] {
        FListClickTimer.stop();
        emit MeterDoubleClicked();
    });
}

void TSettingsPanel::SetRunning(bool running) {
    StartBtn->setEnabled(!running);
    StopBtn->setEnabled(running);
    for (QWidget* control : std::initializer_list<QWidget*>{NoiseCB, FastModeIntervalCB, FastModeCB,
                                                            IntModeCB, BaudRateSE, LatencySE})
        control->setEnabled(!running);
}

void TSettingsPanel::ShowIntervalWarning(const QString& warning) {
    IntervalSE->setToolTip(warning.isEmpty() ? IntervalToolTip
                                             : IntervalToolTip + QStringLiteral("\n\n") + warning);
}

bool TSettingsPanel::eventFilter(QObject* watched, QEvent* event) {
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
            emit FileNameClicked();
            return keyed;
        }
    }
    return QTabWidget::eventFilter(watched, event);
}

QVariant TSettingsPanel::ProgramKeyValue(EProgramKey key) const {
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

void TSettingsPanel::SetProgramKeyValue(EProgramKey key, const QVariant& value) {
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

void TSettingsPanel::ShowMeters(const QStringList& serials,
                                const std::vector<TMeterSet::TLockedMeter>& locked) {
    MeterList->clear();
    MeterList->addItems(serials);
    FMeterCount = int(serials.size());
    for (const TMeterSet::TLockedMeter& meter : locked) {
        auto* line = new QListWidgetItem(NoAccessLine(meter), MeterList);
        line->setToolTip(NoAccessText(meter));
        line->setForeground(palette().brush(QPalette::Disabled, QPalette::Text));
    }
}

void TSettingsPanel::MarkMeter(int meter, const QString& serial, const QString& error) {
    QListWidgetItem* line = meter < FMeterCount ? MeterList->item(meter) : nullptr;
    if (!line)
        return;
    const QString text = error.isEmpty() ? serial : QStringLiteral("%1 (error)").arg(serial);
    if (line->text() == text && line->toolTip() == error)
        return;
    line->setText(text);
    line->setToolTip(error);
}

int TSettingsPanel::SelectedMeter() const {
    const int row = MeterList->currentRow();
    return row < FMeterCount ? row : -1;
}

QString TSettingsPanel::SelectedMeterFix() const {
    const int row = MeterList->currentRow();
    const QListWidgetItem* line = row >= FMeterCount ? MeterList->item(row) : nullptr;
    return line ? line->toolTip() : QString();
}
