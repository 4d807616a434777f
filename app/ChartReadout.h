#pragma once

#include "app/core/ChartQuantity.h"

#include <QLocale>
#include <QString>
#include <qcustomplot.h>

#include <functional>
#include <optional>

// Whom a chart's series belongs to: the meter, by serial number, and the quantity it draws.
struct TSeriesOwner {
    QString Serial;
    EChartQuantity Quantity = EChartQuantity::Cap1;
};
// Tells the owner of a series, or nothing for a series of no meter.
using TSeriesOwnerLookup = std::function<std::optional<TSeriesOwner>(const QCPAbstractPlottable*)>;

// The index of the point of series nearest to key, found by binary search in its sorted keys;
// before the first point the first, after the last point the last, and on a tie the earlier.
// Nothing for an empty series.
std::optional<int> NearestPoint(const QCPPlottableInterface1D& series, double key);

// A key of the time axis as the readout writes it: "point 1,234", an elapsed "0:01:02.250" or
// a clock time "14:05:09.250". The one place that knows how the axis counts.
QString ReadoutKeyText(const QCPAxis& axis, double key);

// One line of the readout: the series' point nearest to key, e.g. "CAP1.M1: 1.25 pF at point
// 12". A series whose title no longer names its meter names it after the title. A point
// without a value, in a gap of the series, is said to have none: a value from beyond the gap
// would belong to another time than the pointer's. Nothing for an empty series.
std::optional<QString> ReadoutLine(QCPAbstractPlottable& series,
                                   const std::optional<TSeriesOwner>& owner, const QCPAxis& keyAxis,
                                   double key);
