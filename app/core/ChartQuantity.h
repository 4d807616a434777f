#pragma once

#include "model/SampleRecord.h"

#include <QString>

#include <array>
#include <cstddef>
#include <optional>
#include <span>

// The quantities a meter draws, each in a chart of its own; both capacitance channels share
// the capacitance chart. Time is each acquisition's elapsed time.
enum class EChartQuantity { Cap1, Cap2, Temperature, Resistance, Time };

// What the user reads for a quantity, and the unit of its values as the charts' axes name it,
// in the order of EChartQuantity.
struct TQuantityText {
    const char16_t* Name;
    const char16_t* Unit;
};
inline constexpr TQuantityText QuantityTexts[] = {{u"CAP1", u"pF"},
                                                  {u"CAP2", u"pF"},
                                                  {u"Temperature", u"°C"},
                                                  {u"Resistance", u"Ohm"},
                                                  {u"Time", u"ms"}};
inline QString QuantityName(EChartQuantity quantity) {
    return QString::fromUtf16(QuantityTexts[std::size_t(quantity)].Name);
}
inline QString QuantityUnit(EChartQuantity quantity) {
    return QString::fromUtf16(QuantityTexts[std::size_t(quantity)].Unit);
}

// A result's values by quantity (indexed by Cap1 to Resistance): the values come in the order
// of what the image measures, as they were decoded; a quantity not measured, or missing from
// a short result, has none.
inline std::array<std::optional<double>, 4> ValuesByQuantity(const TMeasuredQuantities& measured,
                                                             std::span<const double> values) {
    std::array<std::optional<double>, 4> byQuantity;
    std::size_t next = 0;
    const bool on[] = {measured.Cap1, measured.Cap2, measured.Temperature, measured.Resistance};
    for (std::size_t quantity = 0; quantity < byQuantity.size(); ++quantity)
        if (on[quantity] && next < values.size())
            byQuantity[quantity] = values[next++];
    return byQuantity;
}
