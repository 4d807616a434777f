#pragma once

#include "app/core/MeterSet.h"
#include "app/core/ProgramSettings.h"

#include <QTabWidget>
#include <QTimer>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;

// The settings panel above the charts: the run's buttons and settings, the log file's name and
// the meter list on the tab "General", and the tab "Interface", whose tab is never shown but
// whose values the settings files keep. It holds the program keys that have a control.
class TSettingsPanel : public QTabWidget, public TProgramKeyTarget {
    Q_OBJECT
public:
    // The panel's height as first laid out, in pixels.
    static constexpr int PanelHeight = 121;

    explicit TSettingsPanel(QWidget* parent = nullptr);

    // --- tab "General" ---
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

    // --- tab "Interface" ---
    QWidget* InterfaceTab = nullptr;
    QComboBox* IntModeCB = nullptr;
    QSpinBox* BaudRateSE = nullptr;
    QSpinBox* LatencySE = nullptr;
    QLabel* TicksLabel = nullptr;
    QCheckBox* ShowTicksCB = nullptr;
    QCheckBox* ThreadSerialModeCB = nullptr;
    QSpinBox* TriggerWaitSE = nullptr;

    // The meter list anew: the meters' serial numbers, then the meters without access, greyed,
    // each with the fix in its tooltip.
    void ShowMeters(const QStringList& serials, const std::vector<TMeterSet::TLockedMeter>& locked);
    // Marks the meter's line with "(error)" and the message in its tooltip; an empty message
    // takes the mark away.
    void MarkMeter(int meter, const QString& serial, const QString& error);
    // The meter of the list's selected line, or -1 when none is or it is a meter without access.
    int SelectedMeter() const;
    // When the selected line is a meter without access: how to give access; else empty.
    QString SelectedMeterFix() const;

    // Start enabled while idle, Stop during a run, and the settings a run reads locked.
    void SetRunning(bool running);
    // The interval's tooltip, with why the interval is too short when warning says so.
    void ShowIntervalWarning(const QString& warning);

    QVariant ProgramKeyValue(EProgramKey key) const override;
    void SetProgramKeyValue(EProgramKey key, const QVariant& value) override;

signals:
    // A meter's line was clicked once (and it was no double click), or double-clicked.
    void MeterClicked();
    void MeterDoubleClicked();
    // The log file's name was clicked, or Return, Enter or Space pressed on it.
    void FileNameClicked();
    // A message for the status bar.
    void Message(const QString& text);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // What was last typed into the interval, before the spin box corrects it.
    QString FTypedInterval;
    // The meters in the list; the lines below them are meters without access.
    int FMeterCount = 0;
    QTimer FListClickTimer;
};
