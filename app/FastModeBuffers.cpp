#include "FastModeBuffers.h"

#include <algorithm>

void TFastModeBuffers::Resize(std::size_t meters) {
    FValues.resize(meters);
    FTicks.resize(meters);
}

void TFastModeBuffers::AddValue(std::size_t meter, double value) {
    if (meter < FValues.size())
        FValues[meter].push_back(value);
}

void TFastModeBuffers::AddTicks(std::size_t meter, int ticks) {
    if (meter < FTicks.size())
        FTicks[meter].push_back(ticks);
}

std::size_t TFastModeBuffers::Depth() const {
    std::size_t depth = 0;
    for (const auto& row : FValues)
        depth = std::max(depth, row.size());
    return depth;
}

void TFastModeBuffers::ClearValues() {
    for (auto& row : FValues)
        row.clear();
}

void TFastModeBuffers::ClearTicks() {
    for (auto& row : FTicks)
        row.clear();
}
