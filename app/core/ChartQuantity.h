#pragma once

// The quantities a meter draws, each in a chart of its own; both capacitance channels share
// the capacitance chart. Time is each acquisition's elapsed time.
enum class EChartQuantity { Cap1, Cap2, Temperature, Resistance, Time };
