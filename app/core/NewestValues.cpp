#include "app/core/NewestValues.h"

#include <QDateTime>

#include <algorithm>
#include <tuple>
#include <utility>

TNewestValues::TNewestValues(TClock clock)
    : FClock(clock ? std::move(clock) : TClock(&QDateTime::currentMSecsSinceEpoch)) {}

bool TNewestValues::Note(const QString& serial, EChartQuantity quantity, double value) {
    if (quantity == EChartQuantity::Time)
        return false;
    const auto before = [](const TNewestValue& a, const TNewestValue& b) {
        return std::tie(a.Serial, a.Quantity) < std::tie(b.Serial, b.Quantity);
    };
    const TNewestValue noted{serial, quantity, value, FClock()};
    // Few meters and quantities: a sorted vector finds the place as fast as a map.
    const auto place = std::lower_bound(FValues.begin(), FValues.end(), noted, before);
    if (place != FValues.end() && !before(noted, *place))
        *place = noted;
    else
        FValues.insert(place, noted);
    return Change();
}

void TNewestValues::StartRun() {
    FValues.clear();
    FRunEnded = false;
    Change();
}

void TNewestValues::EndRun() {
    FRunEnded = true;
    Change();
}
