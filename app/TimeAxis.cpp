#include "app/TimeAxis.h"

#include <QDateTime>

#include <array>
#include <cmath>
#include <utility>

namespace {

struct TTimeAxisNames {
    ETimeAxis Axis;
    const char* Name;
    const char* Caption;
};
constexpr std::array<TTimeAxisNames, 3> Names{{
    {ETimeAxis::PointNumber, "PointNumber", "Point Number"},
    {ETimeAxis::Elapsed, "Elapsed", "Elapsed Time"},
    {ETimeAxis::Clock, "Clock", "Clock Time"},
}};

// The decimals of a second that ticks this far apart need.
int SecondDecimals(double step) {
    return step >= 1 ? 0 : step >= 0.1 ? 1 : step >= 0.01 ? 2 : 3;
}

QString ElapsedText(double seconds, int decimals, const QLocale& locale) {
    const bool negative = seconds < 0;
    const double scale = std::pow(10.0, decimals);
    const auto units = std::llround(std::abs(seconds) * scale);
    const auto whole = units / std::llround(scale);
    QString text = QStringLiteral("%1%2:%3:%4")
                       .arg(negative ? QStringLiteral("-") : QString())
                       .arg(whole / 3600)
                       .arg(whole / 60 % 60, 2, 10, QLatin1Char('0'))
                       .arg(whole % 60, 2, 10, QLatin1Char('0'));
    if (decimals > 0)
        text += locale.decimalPoint() + QStringLiteral("%1").arg(units % std::llround(scale),
                                                                 decimals, 10, QLatin1Char('0'));
    return text;
}

// The local time of a clock key: HH:mm:ss, with ms and before it the date when asked for.
QString ClockText(double key, bool withMs, bool withDate, const QLocale& locale) {
    QString format = QStringLiteral("HH:mm:ss");
    if (withMs)
        format += locale.decimalPoint() + QStringLiteral("zzz");
    if (withDate)
        format = locale.dateFormat(QLocale::ShortFormat) + u'\n' + format;
    return locale.toString(QDateTime::fromMSecsSinceEpoch(std::llround(KeyTime(key, 0))), format);
}

} // namespace

QString TimeAxisName(ETimeAxis axis) {
    for (const TTimeAxisNames& names : Names)
        if (names.Axis == axis)
            return QString::fromLatin1(names.Name);
    return {};
}

std::optional<ETimeAxis> TimeAxisNamed(const QString& name) {
    for (const TTimeAxisNames& names : Names)
        if (name.compare(QLatin1String(names.Name), Qt::CaseInsensitive) == 0)
            return names.Axis;
    return std::nullopt;
}

QString TimeAxisCaption(ETimeAxis axis) {
    for (const TTimeAxisNames& names : Names)
        if (names.Axis == axis)
            return QString::fromLatin1(names.Caption);
    return {};
}

double TimeKey(std::int64_t timeMs, std::int64_t originMs) {
    return double(timeMs - originMs) / 1000.0;
}

double KeyTime(double key, std::int64_t originMs) {
    const double ms = key * 1000.0;
    const double whole = std::round(ms);
    return (std::abs(ms - whole) < 1e-3 ? whole : ms) + double(originMs);
}

QString TimeKeyText(ETimeAxis axis, double key, const QLocale& locale) {
    if (axis == ETimeAxis::Clock)
        return ClockText(key, true, false, locale);
    return ElapsedText(key, 3, locale);
}

QString ElapsedTickLabel(double tick, double step, double, const QLocale& locale) {
    return ElapsedText(tick, SecondDecimals(step), locale);
}

QString ClockTickLabel(double tick, double step, double span, const QLocale& locale) {
    return ClockText(tick, step<1, span> 24 * 3600, locale);
}
