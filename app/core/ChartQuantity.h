#pragma once

#include "model/SampleRecord.h"

#include <array>
#include <optional>
#include <span>

// The quantities a meter draws, each in a chart of its own; both capacitance channels share
// the capacitance chart. Time is each acquisition's elapsed time.
enum class EChartQuantity { Cap1, Cap2, Temperature, Resistance, Time };

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
