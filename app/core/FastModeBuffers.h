#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// The results that meters deliver in fast mode between two ticks of the window: each meter's
// CAP1 values and elapsed times (with the times where the charts draw them), in arrival order. The
// rows grow as needed, so no value is lost however long a tick is delayed; a tick takes them and
// empties the rows once written.
class TFastModeBuffers {
public:
    // One row per meter; rows of meters that remain keep what they hold.
    void Resize(std::size_t meters);
    std::size_t Meters() const { return FValues.size(); }

    void AddValue(std::size_t meter, double value);
    // A result's elapsed time, and its time (ms since 1970) where the chart draws it.
    void AddTicks(std::size_t meter, int ticks, std::int64_t timeMs);

    const std::vector<std::vector<double>>& Values() const { return FValues; }
    const std::vector<std::vector<int>>& Ticks() const { return FTicks; }
    const std::vector<std::vector<std::int64_t>>& Times() const { return FTimes; }
    // The largest number of values any meter holds.
    std::size_t Depth() const;
    bool HasValues() const { return Depth() > 0; }

    // The meter's values not yet drawn in the charts; a failed log write keeps the values
    // for the next tick, which must not draw them again.
    std::span<const double> UndrawnValues(std::size_t meter) const;
    void MarkDrawn();

    void ClearValues();
    void ClearTicks();

private:
    std::vector<std::vector<double>> FValues;
    std::vector<std::size_t> FDrawn;
    std::vector<std::vector<int>> FTicks;
    std::vector<std::vector<std::int64_t>> FTimes;
};
