#pragma once

// The sample record: the text in which the measurement worker hands one acquisition's raw
// converter bytes to the model, and its decoding into physical values.
//
// A record is hexadecimal digit pairs, one pair per byte (written in upper case, read in either
// case): "00" (status placeholder, not evaluated), then for each repeat 12 bytes (channel 1
// conversion: capacitive data, VT data; channel 2 conversion: capacitive data, VT data; three
// bytes each, most significant first; a conversion that was not run is all zeros), then the
// acquisition's elapsed milliseconds as 16 digits. 18 + 24 x repeats characters in all.

#include "link/RegisterImage.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// A record that cannot be decoded: malformed text, or settings under which it has no sound
// result. Nothing is decoded from such a record.
class ESampleRecordError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a meter's acquisition measures, read from its register image: the worker runs the
// conversions the image enables, and a record holds exactly these values, in this order. The
// log's columns, the charts' series and the decoding all take them from here, so that they
// can never disagree.
struct TMeasuredQuantities {
    bool Cap1 = false;        // CAP Setup (byte 7) bit 7
    bool Cap2 = false;        // second conversion's CAP Setup (byte 19) bit 7
    bool Temperature = false; // VT Setup (byte 8) bit 7: the first conversion's VT data
    bool Resistance = false;  // second conversion's VT Setup (byte 20) bit 7: its VT data
    int Count() const { return int(Cap1) + int(Cap2) + int(Temperature) + int(Resistance); }
    bool operator==(const TMeasuredQuantities&) const = default;
};
TMeasuredQuantities MeasuredQuantities(const TRegData& image);

// The model's configuration as it stands when the record arrives.
struct TDecodeSettings {
    int ValueCount = 0;       // values per acquisition
    int Repeats = 1;          // 1, 3 or 5; 3 and 5 select the "2 of 3" and "3 of 5" filters
    bool Cap1Enabled = false; // image byte 7 bit 7
    bool Cap2Enabled = false; // image byte 19 bit 7
    bool InternalTempEnabled = false;
    bool ExternalResistorEnabled = false;
    int ReferenceResistor = 50000; // Ohm
};

struct TDecodedRecord {
    // ValueCount results in the order channel 1 (pF), channel 2 (pF), internal temperature
    // (degrees C), external resistance (Ohm), each only when enabled.
    std::vector<double> Values;
    // ValueCount x Repeats entries as receivers get them: first the results, then the raw
    // values of repeats 1 .. Repeats - 1 (repeat r's value i at i + r x ValueCount).
    std::vector<double> Scratch;
    std::uint32_t Ticks = 0; // elapsed milliseconds of the acquisition
};

// Characters a record of the given number of repeats needs.
std::size_t SampleRecordLength(int repeats);

// The repeats a record of this length carries when it is exactly as long as 1, 3 or 5 repeats
// need; otherwise expected.
int RepeatsOfRecord(std::size_t length, int expected);

// Values each repeat yields under the settings' enable bits and flags.
int ValuesPerRepeat(const TDecodeSettings& settings);

// Decodes a record against the settings: values, mean over the repeats, then the filter chosen
// by the repeat count. Characters beyond the required length are ignored. Raises
// ESampleRecordError when the record is malformed (a non-hexadecimal pair, too short, elapsed
// time beyond 32 bits), when Repeats is below 1, or when ValuesPerRepeat differs from
// ValueCount.
TDecodedRecord DecodeSampleRecord(std::string_view record, const TDecodeSettings& settings);

// Capacitance in pF of a 24-bit capacitive code; mid-scale is 0 pF.
double CapacitanceOfCode(std::uint32_t code);
// Internal temperature in degrees C of a VT code.
double CalcInternalTemperature(std::int32_t value);
// External resistance in Ohm of a VT code measured against the reference resistor.
double CalcExternalResistor(std::int32_t value, int referenceResistor);
// A VT code by VT mode, given image byte 8 (VT Setup): degrees C for a temperature sensor, the
// ratio to the external reference when EXTREF is set, else mV of the external input or of VDD.
double CalcVT(std::int32_t value, std::uint8_t vtSetup);

// The worker's side: appends two upper-case hexadecimal digits per byte.
void AppendHexBytes(std::string& record, const std::uint8_t* bytes, std::size_t count);
// Appends the elapsed milliseconds as 16 upper-case hexadecimal digits, zero-extended.
void AppendTicks(std::string& record, std::uint32_t ticks);
