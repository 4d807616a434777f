#pragma once

#include "app/core/NewestValues.h"

#include <QTimer>
#include <QWidget>

#include <chrono>
#include <vector>

class QGridLayout;
class QLabel;

// Each meter's newest values in large type, a row per meter and quantity: serial number,
// quantity, value, unit and the time it was measured, so that a value that stopped coming
// shows its age. A run's start clears the rows; after its stop they stay, greyed, as the last
// run's values. Values are shown at most ten times a second, never once per value: the first
// value after a showing starts a timer, which runs only while values wait to be shown.
class TValuesPanel : public QWidget {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds ShowGap{100};

    explicit TValuesPanel(TNewestValues::TClock clock = {}, QWidget* parent = nullptr);

    void Note(const QString& serial, EChartQuantity quantity, double value);
    void RunStarted();
    void RunStopped();

    // Shows what changed since the last showing; the timer calls it.
    void ShowChanges();
    bool ShowPending() const { return FShowTimer.isActive(); }

    // The rows as shown: serial, quantity, value, unit, time; for tests and screen readers.
    QStringList ShownRows() const;
    // Above the rows: what they are, or nothing during a run.
    QString StateText() const;

private:
    struct TRow {
        QLabel* Serial;
        QLabel* Quantity;
        QLabel* Value;
        QLabel* Unit;
        QLabel* Time;
    };
    void AddRow();
    void PlanShowing();

    TNewestValues FValues;
    QTimer FShowTimer;
    QLabel* FState = nullptr;
    QGridLayout* FGrid = nullptr;
    std::vector<TRow> FRows;
    int FShownRows = 0;
};
