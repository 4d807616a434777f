#include "app/core/FastModeBuffers.h"

#include <algorithm>

void TFastModeBuffers::Resize(std::size_t meters) {
    FValues.resize(meters);
    FTicks.resize(meters);
    FTimes.resize(meters);
    FDrawn.resize(meters);
}

void TFastModeBuffers::AddValue(std::size_t meter, double value) {
    if (meter < FValues.size())
        FValues[meter].push_back(value);
}

void TFastModeBuffers::AddTicks(std::size_t meter, int ticks, std::int64_t timeMs) {
    if (meter < FTicks.size()) {
        FTicks[meter].push_back(ticks);
        FTimes[meter].push_back(timeMs);
    }
}

std::size_t TFastModeBuffers::Depth() const {
    std::size_t depth = 0;
    for (const auto& row : FValues)
        depth = std::max(depth, row.size());
    return depth;
}

std::span<const double> TFastModeBuffers::UndrawnValues(std::size_t meter) const {
    if (meter >= FValues.size())
        return {};
    return std::span<const double>(FValues[meter]).subspan(FDrawn[meter]);
}

void TFastModeBuffers::MarkDrawn() {
    for (std::size_t meter = 0; meter < FValues.size(); ++meter)
        FDrawn[meter] = FValues[meter].size();
}

void TFastModeBuffers::ClearValues() {
    for (auto& row : FValues)
        row.clear();
    std::fill(FDrawn.begin(), FDrawn.end(), 0);
}

void TFastModeBuffers::ClearTicks() {
    for (auto& row : FTicks)
        row.clear();
    for (auto& row : FTimes)
        row.clear();
}
