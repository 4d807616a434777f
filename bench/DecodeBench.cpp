// Sample record decoding on the window's thread: records per second for a triggered acquisition
// with three repeats and four values per repeat (the headline), and for a single-repeat record
// with two values, as continuous mode delivers them.
#include "model/SampleRecord.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Records with varying codes, built the way the worker builds them.
std::vector<std::string> MakeRecords(int repeats, std::size_t count) {
    std::vector<std::string> records;
    std::uint32_t state = 12345;
    for (std::size_t n = 0; n < count; ++n) {
        std::string record = "00";
        for (int r = 0; r < repeats; ++r) {
            for (int conversion = 0; conversion < 4; ++conversion) {
                state = state * 1664525u + 1013904223u;
                const std::uint32_t code = 0x7F0000 + (state >> 16);
                const std::uint8_t bytes[3] = {std::uint8_t(code >> 16), std::uint8_t(code >> 8),
                                               std::uint8_t(code)};
                AppendHexBytes(record, bytes, 3);
            }
        }
        AppendTicks(record, std::uint32_t(n * 25));
        records.push_back(std::move(record));
    }
    return records;
}

struct TResult {
    double RecordsPerSecond = 0;
    double Checksum = 0;
};

TResult Run(const std::vector<std::string>& records, const TDecodeSettings& settings,
            std::chrono::duration<double> duration) {
    TResult result;
    std::uint64_t decoded = 0;
    const auto start = Clock::now();
    auto now = start;
    do {
        for (const std::string& record : records) {
            const TDecodedRecord d = DecodeSampleRecord(record, settings);
            result.Checksum += d.Scratch.back() + d.Values.front() + d.Ticks;
        }
        decoded += records.size();
        now = Clock::now();
    } while (now - start < duration);
    result.RecordsPerSecond = double(decoded) / std::chrono::duration<double>(now - start).count();
    return result;
}

} // namespace

int main() {
    const TDecodeSettings fourValues{.ValueCount = 4,
                                     .Repeats = 3,
                                     .Cap1Enabled = true,
                                     .Cap2Enabled = true,
                                     .InternalTempEnabled = true,
                                     .ExternalResistorEnabled = true};
    const TDecodeSettings twoValues{
        .ValueCount = 2, .Repeats = 1, .Cap1Enabled = true, .InternalTempEnabled = true};

    const TResult headline = Run(MakeRecords(3, 256), fourValues, std::chrono::milliseconds(1500));
    const TResult single = Run(MakeRecords(1, 256), twoValues, std::chrono::milliseconds(500));

    std::printf("decode_records_per_s = %.0f\n", headline.RecordsPerSecond);
    std::printf("decode_r1_two_values_records_per_s = %.0f\n", single.RecordsPerSecond);
    std::printf("decode_checksum = %.6g\n", headline.Checksum + single.Checksum);
    return 0;
}
