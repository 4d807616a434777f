#include "app/ChartReadout.h"

#include "app/Chart.h"

#include <cmath>

std::optional<int> NearestPoint(const QCPPlottableInterface1D& series, double key) {
    const int count = series.dataCount();
    if (count == 0)
        return std::nullopt;
    // The first point at or after key; the point before it is the other candidate.
    const int after = series.findBegin(key, false);
    if (after >= count)
        return count - 1;
    if (after == 0)
        return 0;
    const int before = after - 1;
    return key - series.dataMainKey(before) <= series.dataMainKey(after) - key ? before : after;
}

QString ReadoutKeyText(const QCPAxis& axis, double key) {
    const QLocale locale = axis.parentPlot()->locale();
    const auto* chart = qobject_cast<const TChart*>(axis.parentPlot());
    if (chart && chart->TimeAxis() != ETimeAxis::PointNumber)
        return TimeKeyText(chart->TimeAxis(), key, locale);
    return QStringLiteral("point ") + FormatGrouped(key, locale);
}

std::optional<QString> ReadoutLine(QCPAbstractPlottable& series,
                                   const std::optional<TSeriesOwner>& owner, const QCPAxis& keyAxis,
                                   double key) {
    const QCPPlottableInterface1D* points = series.interface1D();
    const std::optional<int> nearest = points ? NearestPoint(*points, key) : std::nullopt;
    if (!nearest)
        return std::nullopt;
    QString title = series.name().trimmed();
    if (owner && !title.contains(owner->Serial))
        title += QStringLiteral(" (%1)").arg(owner->Serial);
    const double value = points->dataMainValue(*nearest);
    QString shown = QStringLiteral("no value");
    if (!std::isnan(value)) {
        shown = FormatGrouped(value, keyAxis.parentPlot()->locale());
        if (owner)
            shown += u' ' + QuantityUnit(owner->Quantity);
    }
    return QStringLiteral("%1: %2 at %3")
        .arg(title, shown, ReadoutKeyText(keyAxis, points->dataMainKey(*nearest)));
}
