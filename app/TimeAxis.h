#pragma once

#include <QLocale>
#include <QString>
#include <qcustomplot.h>

#include <cstdint>
#include <optional>

// How the charts' time axis counts: by point number (a measurement's number in timer mode, a
// series' own count in fast mode), by the time elapsed since the run began, or by the clock.
enum class ETimeAxis { PointNumber, Elapsed, Clock };

// The names in the program settings file, and back; nothing for a name not known.
QString TimeAxisName(ETimeAxis axis);
std::optional<ETimeAxis> TimeAxisNamed(const QString& name);
// The caption in the charts' context menu, e.g. "Elapsed Time".
QString TimeAxisCaption(ETimeAxis axis);

// Where a point stands on a time axis: seconds after origin, ms since 1970 (the run's start for
// the elapsed time, 0 for the clock). Keys stay small numbers that a double holds to the ms.
double TimeKey(std::int64_t timeMs, std::int64_t originMs);
// The time of a key, ms since 1970, as a real number that lands on whole ms where the key
// came from one.
double KeyTime(double key, std::int64_t originMs);

// A time axis key as the readout writes it, with ms: "1:02:03.250" elapsed, "14:05:09.250"
// by the clock (local time).
QString TimeKeyText(ETimeAxis axis, double key, const QLocale& locale);

// Tick labels of a time axis, written by Label from the tick, the step between ticks and the
// span of the view, which tell how precise a label must be.
template <class Base, QString (*Label)(double tick, double step, double span, const QLocale&)>
class TTimeTicker : public Base {
protected:
    double getTickStep(const QCPRange& range) override {
        FStep = Base::getTickStep(range);
        FSpan = range.size();
        return FStep;
    }
    QString getTickLabel(double tick, const QLocale& locale, QChar, int) override {
        return Label(tick, FStep, FSpan, locale);
    }

private:
    double FStep = 1;
    double FSpan = 0;
};

// The elapsed time, h:mm:ss; with tenths, hundredths or ms where the ticks lie closer than a
// second.
QString ElapsedTickLabel(double tick, double step, double span, const QLocale& locale);
// The clock, local time: HH:mm:ss, with ms where the ticks lie closer than a second, and with
// the date (the locale's short format) where the view spans more than a day.
QString ClockTickLabel(double tick, double step, double span, const QLocale& locale);

using TElapsedTicker = TTimeTicker<QCPAxisTickerTime, ElapsedTickLabel>;
using TClockTicker = TTimeTicker<QCPAxisTickerDateTime, ClockTickLabel>;
