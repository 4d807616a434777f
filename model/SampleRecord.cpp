#include "model/SampleRecord.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

constexpr double MidScale = 8388608.0;
constexpr std::size_t HeaderChars = 2;  // the status placeholder
constexpr std::size_t RepeatChars = 24; // 12 bytes per repeat
constexpr std::size_t TicksChars = 16;

constexpr std::array<std::int8_t, 256> MakeHexTable() {
    std::array<std::int8_t, 256> table{};
    for (auto& digit : table)
        digit = -1;
    for (int c = '0'; c <= '9'; ++c)
        table[std::size_t(c)] = std::int8_t(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) {
        table[std::size_t(c)] = std::int8_t(c - 'A' + 10);
        table[std::size_t(c - 'A' + 'a')] = std::int8_t(c - 'A' + 10);
    }
    return table;
}
constexpr auto HexTable = MakeHexTable();

int HexDigit(char c) {
    return HexTable[static_cast<unsigned char>(c)];
}

// The record comes from another thread or a file; show offending characters escaped.
std::string Printable(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F && c != '"' && c != '\\') {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", unsigned(u));
            out += escaped;
        }
    }
    return out;
}

// Every pair in [begin, end) must be two hexadecimal digits, or no value is trusted.
void CheckHexPairs(std::string_view record, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; i += 2) {
        if (HexDigit(record[i]) < 0 || HexDigit(record[i + 1]) < 0) {
            throw ESampleRecordError("Malformed sample record: \"" +
                                     Printable(record.substr(i, 2)) + "\" at index " +
                                     std::to_string(i) + " is not a hexadecimal pair");
        }
    }
}

// Digits already checked.
std::uint64_t ReadHex(std::string_view record, std::size_t begin, std::size_t digits) {
    std::uint64_t value = 0;
    for (std::size_t i = begin; i < begin + digits; ++i)
        value = (value << 4) | std::uint64_t(HexDigit(record[i]));
    return value;
}

// The 24-bit code of data bytes first .. first + 2 (byte 0 being the status placeholder).
std::uint32_t CodeAt(std::string_view record, std::size_t firstByte) {
    return std::uint32_t(ReadHex(record, 2 * firstByte, 6));
}

// Index of the value that deviates most from m among the repeats not yet excluded; on equal
// deviations the lowest repeat, and the lowest remaining one when all deviations are 0.
int MostDeviating(const std::vector<double>& scratch, std::size_t i, std::size_t vc, int repeats,
                  double m, int excluded) {
    int worst = excluded == 0 ? 1 : 0;
    double maxDeviation = 0.0;
    for (int r = 0; r < repeats; ++r) {
        if (r == excluded)
            continue;
        const double deviation = std::fabs(scratch[i + std::size_t(r) * vc] - m);
        if (deviation > maxDeviation) {
            maxDeviation = deviation;
            worst = r;
        }
    }
    return worst;
}

// Sum in repeat order of the values not excluded.
double SumExcept(const std::vector<double>& scratch, std::size_t i, std::size_t vc, int repeats,
                 int excluded1, int excluded2) {
    double sum = 0.0;
    for (int r = 0; r < repeats; ++r) {
        if (r != excluded1 && r != excluded2)
            sum += scratch[i + std::size_t(r) * vc];
    }
    return sum;
}

} // namespace

TMeasuredQuantities MeasuredQuantities(const TRegData& image) {
    return {(image[RegCapSetup] & CapSetupEnable) != 0, (image[RegCapSetup2] & CapSetupEnable) != 0,
            (image[RegVtSetup] & VtSetupEnable) != 0, (image[RegVtSetup2] & VtSetupEnable) != 0};
}

std::size_t SampleRecordLength(int repeats) {
    return HeaderChars + RepeatChars * std::size_t(repeats < 0 ? 0 : repeats) + TicksChars;
}

int RepeatsOfRecord(std::size_t length, int expected) {
    for (const int repeats : {1, 3, 5})
        if (length == SampleRecordLength(repeats))
            return repeats;
    return expected;
}

int ValuesPerRepeat(const TDecodeSettings& settings) {
    return int(settings.Cap1Enabled) + int(settings.Cap2Enabled) +
           int(settings.InternalTempEnabled) + int(settings.ExternalResistorEnabled);
}

TDecodedRecord DecodeSampleRecord(std::string_view record, const TDecodeSettings& settings) {
    const int repeats = settings.Repeats;
    const int vc = settings.ValueCount;
    if (repeats < 1) {
        throw ESampleRecordError("Sample record not decoded: repeat count " +
                                 std::to_string(repeats) + " is below 1");
    }
    // The filters index value i of repeat r at i + r x VC; that only holds when every repeat
    // yields VC values, and anything else would mix up or overrun the values.
    const int perRepeat = ValuesPerRepeat(settings);
    if (perRepeat != vc) {
        throw ESampleRecordError(
            "Sample record not decoded: the meter's register image and value count disagree (" +
            std::to_string(perRepeat) + " values enabled per repeat, value count " +
            std::to_string(vc) + ")");
    }
    const std::size_t required = SampleRecordLength(repeats);
    if (record.size() < required) {
        throw ESampleRecordError("Malformed sample record: " + std::to_string(record.size()) +
                                 " characters, " + std::to_string(repeats) +
                                 " repeats need at least " + std::to_string(required));
    }
    const std::size_t ticksBegin = HeaderChars + RepeatChars * std::size_t(repeats);
    CheckHexPairs(record, 0, ticksBegin);
    CheckHexPairs(record, ticksBegin, ticksBegin + TicksChars);
    const std::uint64_t ticks = ReadHex(record, ticksBegin, TicksChars);
    if (ticks > std::numeric_limits<std::uint32_t>::max()) {
        throw ESampleRecordError("Malformed sample record: elapsed time \"" +
                                 std::string(record.substr(ticksBegin, TicksChars)) +
                                 "\" exceeds 32 bits");
    }

    TDecodedRecord result;
    result.Ticks = std::uint32_t(ticks);
    std::vector<double>& scratch = result.Scratch;
    scratch.assign(std::size_t(vc) * std::size_t(repeats), 0.0);

    std::size_t s = 0;
    for (int r = 0; r < repeats; ++r) {
        const std::size_t b = 12 * std::size_t(r);
        if (settings.Cap1Enabled)
            scratch[s++] = CapacitanceOfCode(CodeAt(record, b + 1));
        if (settings.Cap2Enabled)
            scratch[s++] = CapacitanceOfCode(CodeAt(record, b + 7));
        if (settings.InternalTempEnabled)
            scratch[s++] = CalcInternalTemperature(std::int32_t(CodeAt(record, b + 4)));
        if (settings.ExternalResistorEnabled) {
            scratch[s++] = CalcExternalResistor(std::int32_t(CodeAt(record, b + 10)),
                                                settings.ReferenceResistor);
        }
    }

    std::vector<double>& values = result.Values;
    values.assign(std::size_t(vc), 0.0);
    const std::size_t n = std::size_t(vc);
    for (std::size_t i = 0; i < n; ++i) {
        double v = 0.0;
        for (int r = 0; r < repeats; ++r)
            v += scratch[i + std::size_t(r) * n];
        v /= repeats;
        if (repeats == 3) {
            const int worst = MostDeviating(scratch, i, n, 3, v, -1);
            v = SumExcept(scratch, i, n, 3, worst, -1) / 2;
        } else if (repeats == 5) {
            const int first = MostDeviating(scratch, i, n, 5, v, -1);
            v = SumExcept(scratch, i, n, 5, first, -1) / 4;
            const int second = MostDeviating(scratch, i, n, 5, v, first);
            v = SumExcept(scratch, i, n, 5, first, second) / 3;
        }
        values[i] = v;
    }
    std::copy(values.begin(), values.end(), scratch.begin());
    return result;
}

double CapacitanceOfCode(std::uint32_t code) {
    return (double(code) - MidScale) / 2048000.0;
}

double CalcInternalTemperature(std::int32_t value) {
    return double(value) / 2048.0 - 4096.0;
}

// In double the difference is exact for every 32-bit value, and cannot overflow.
double CalcExternalResistor(std::int32_t value, int referenceResistor) {
    return (double(value) - MidScale) / MidScale * referenceResistor;
}

double CalcVT(std::int32_t value, std::uint8_t vtSetup) {
    const std::uint8_t mode = VtSetupMode.Get(vtSetup);
    if (mode == VtModeInternalSensor || mode == VtModeExternalSensor)
        return CalcInternalTemperature(value);
    const double ratio = (double(value) - MidScale) / MidScale;
    if ((vtSetup & VtSetupExtRef) != 0)
        return ratio;
    if (mode == VtModeExternalInput)
        return ratio * 1170;
    return ratio * 1170 * 6;
}

void AppendHexBytes(std::string& record, const std::uint8_t* bytes, std::size_t count) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    record.reserve(record.size() + 2 * count);
    for (std::size_t i = 0; i < count; ++i) {
        record += Digits[bytes[i] >> 4];
        record += Digits[bytes[i] & 0x0F];
    }
}

void AppendTicks(std::string& record, std::uint32_t ticks) {
    char digits[TicksChars + 1];
    std::snprintf(digits, sizeof digits, "%016llX", static_cast<unsigned long long>(ticks));
    record.append(digits, TicksChars);
}
