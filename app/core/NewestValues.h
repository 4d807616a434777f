#pragma once

#include "app/core/ChartQuantity.h"

#include <QString>
#include <QtGlobal>

#include <functional>
#include <utility>
#include <vector>

// The newest value of one quantity of one meter.
struct TNewestValue {
    QString Serial;
    EChartQuantity Quantity = EChartQuantity::Cap1;
    double Value = 0;
    qint64 MeasuredAt = 0; // ms since the epoch
};

// Each meter's newest value of every quantity it measures, during a run and after it. A run's
// start drops the values of the run before, so that none of them passes for a new one; when the
// run stops, its values stay as the last run's. Whoever shows them asks whether anything
// changed, so that a burst of values costs one showing.
class TNewestValues {
public:
    // The wall clock, ms since the epoch; tests hand in their own.
    using TClock = std::function<qint64()>;
    explicit TNewestValues(TClock clock = {});

    // Notes value as the meter's newest of quantity, measured now. The elapsed time of an
    // acquisition is no measured quantity and is passed over. True when this is the first
    // change since the values were last shown: time to plan a showing.
    bool Note(const QString& serial, EChartQuantity quantity, double value);
    // A run started: the values of the run before go.
    void StartRun();
    // The run stopped: its values stay, marked as the last run's.
    void EndRun();

    // By serial number, each meter's quantities in the order of the charts.
    const std::vector<TNewestValue>& Values() const { return FValues; }
    // True after EndRun, until the next run starts.
    bool RunEnded() const { return FRunEnded; }
    bool Changed() const { return FChanged; }
    // The values as they are now have been shown.
    void MarkShown() { FChanged = false; }

private:
    // Notes a change; true when it is the first since the last showing.
    bool Change() { return !std::exchange(FChanged, true); }

    TClock FClock;
    std::vector<TNewestValue> FValues;
    bool FRunEnded = false;
    bool FChanged = false;
};
