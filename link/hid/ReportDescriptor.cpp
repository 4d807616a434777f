#include "link/hid/ReportDescriptor.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <map>

namespace {

enum EDirection { Input, Output, Feature, DirectionCount };

// The part of the global item state that report lengths depend on; Push and Pop save and
// restore all of it.
struct TGlobals {
    std::uint64_t ReportSize = 0;
    std::uint64_t ReportCount = 0;
    std::uint32_t ReportId = 0;
};

using TBits = std::array<std::uint64_t, DirectionCount>;

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

std::uint64_t SaturatingMul(std::uint64_t a, std::uint64_t b) {
    return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

int ByteLength(std::uint64_t bits) {
    const std::uint64_t bytes = bits / 8 + (bits % 8 != 0);
    // One more for the report ID byte.
    return int(std::min<std::uint64_t>(bytes, INT_MAX - 1) + 1);
}

} // namespace

THidCaps ComputeCaps(const std::vector<std::uint8_t>& descriptor) {
    std::map<std::uint32_t, TBits> bitsById;
    std::array<bool, DirectionCount> seen{};
    TGlobals globals;
    std::vector<TGlobals> stack;

    const std::size_t end = descriptor.size();
    std::size_t pos = 0;
    while (pos < end) {
        const std::uint8_t prefix = descriptor[pos];
        if (prefix == 0xFE) {
            // Long item: size byte, tag byte, data. Nothing in it affects report lengths.
            if (end - pos < 3)
                break;
            const std::size_t size = descriptor[pos + 1];
            if (end - pos - 3 < size)
                break;
            pos += 3 + size;
            continue;
        }

        static constexpr std::size_t DataSizes[4] = {0, 1, 2, 4};
        const std::size_t size = DataSizes[prefix & 0x03];
        if (end - pos - 1 < size)
            break;
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < size; ++i)
            value |= std::uint32_t(descriptor[pos + 1 + i]) << (8 * i);
        pos += 1 + size;

        switch (prefix & 0xFC) {
        case 0x80: // Input
        case 0x90: // Output
        case 0xB0: // Feature
        {
            const EDirection direction = (prefix & 0xFC) == 0x80   ? Input
                                         : (prefix & 0xFC) == 0x90 ? Output
                                                                   : Feature;
            seen[direction] = true;
            std::uint64_t& bits = bitsById[globals.ReportId][direction];
            bits = SaturatingAdd(bits, SaturatingMul(globals.ReportSize, globals.ReportCount));
            break;
        }
        case 0x74:
            globals.ReportSize = value;
            break;
        case 0x94:
            globals.ReportCount = value;
            break;
        case 0x84:
            globals.ReportId = value;
            break;
        case 0xA4:
            stack.push_back(globals);
            break;
        case 0xB4:
            if (!stack.empty()) {
                globals = stack.back();
                stack.pop_back();
            }
            break;
        default:
            break;
        }
    }

    std::array<int, DirectionCount> lengths{};
    for (int direction = 0; direction < DirectionCount; ++direction) {
        if (!seen[direction])
            continue;
        std::uint64_t longest = 0;
        for (const auto& [id, bits] : bitsById)
            longest = std::max(longest, bits[direction]);
        lengths[direction] = ByteLength(longest);
    }
    return {lengths[Input], lengths[Output], lengths[Feature]};
}
