#pragma once

// The converter's registers as the program and the virtual meter speak of them: the register
// image, the register numbers and the bits and fields of the setup registers in use.

#include <array>
#include <cstdint>

// The converter's register image. Bytes 0 to 18 mirror converter registers 0 to 18; bytes 19
// to 22 are the contents of registers 7, 8, 11 and 12 for the second (channel 2) conversion.
using TRegData = std::array<std::uint8_t, 23>;

// Register numbers, which are also the first conversion's places in the image.
inline constexpr std::uint8_t RegStatus = 0;
inline constexpr std::uint8_t RegCapData = 1; // 3 bytes, most significant first
inline constexpr std::uint8_t RegVtData = 4;  // 3 bytes, most significant first
inline constexpr std::uint8_t RegCapSetup = 7;
inline constexpr std::uint8_t RegVtSetup = 8;
inline constexpr std::uint8_t RegExcSetup = 9;
inline constexpr std::uint8_t RegConfiguration = 10;
inline constexpr std::uint8_t RegCapDacA = 11;
inline constexpr std::uint8_t RegCapDacB = 12;
// CAP Setup to CAPDAC B: the registers one conversion is set up with.
inline constexpr std::uint8_t SetupRegCount = RegCapDacB - RegCapSetup + 1;

// The second conversion's CAP Setup, VT Setup, CAPDAC A and CAPDAC B. Places in the image
// only: the worker sends them to registers 7, 8, 11 and 12.
inline constexpr std::uint8_t RegCapSetup2 = 19;
inline constexpr std::uint8_t RegVtSetup2 = 20;
inline constexpr std::uint8_t RegCapDacA2 = 21;
inline constexpr std::uint8_t RegCapDacB2 = 22;

// A field of Width bits from bit Shift on.
struct TRegField {
    int Shift;
    int Width;

    constexpr std::uint8_t Mask() const { return std::uint8_t(((1 << Width) - 1) << Shift); }
    constexpr std::uint8_t Get(std::uint8_t reg) const {
        return std::uint8_t((reg & Mask()) >> Shift);
    }
    // reg with the field replaced by value. A value wider than the field reaches the bits above
    // it: settings out of range go into the image as they are.
    constexpr std::uint8_t Set(std::uint8_t reg, std::uint8_t value) const {
        return std::uint8_t((reg & ~Mask()) | value << Shift);
    }
};

// Status: no new result yet.
inline constexpr std::uint8_t StatusBusy = 0x04;

// CAP Setup.
inline constexpr std::uint8_t CapSetupEnable = 0x80;       // the capacitive conversion runs
inline constexpr std::uint8_t CapSetupInput2 = 0x40;       // the second input, not the first
inline constexpr std::uint8_t CapSetupDifferential = 0x20; // CAPDIFF: against the - input
inline constexpr std::uint8_t CapSetupChop = 0x01;         // twice as long, less offset

// VT Setup.
inline constexpr std::uint8_t VtSetupEnable = 0x80; // the VT conversion runs
inline constexpr TRegField VtSetupMode{5, 2};       // what the VT conversion measures
inline constexpr std::uint8_t VtModeInternalSensor = 0, VtModeExternalSensor = 1, VtModeSupply = 2,
                              VtModeExternalInput = 3;
inline constexpr std::uint8_t VtSetupExtRef = 0x10; // against the external reference
inline constexpr std::uint8_t VtSetupShort = 0x02;  // the input shorted
inline constexpr std::uint8_t VtSetupChop = 0x01;   // twice as long, less offset

// EXC Setup.
inline constexpr std::uint8_t ExcSetupClockHalved = 0x80; // every conversion twice as long
// The excitation of the first (A) and second (B) capacitive channel.
inline constexpr TRegField ExcSetupExcA{2, 2};
inline constexpr TRegField ExcSetupExcB{4, 2};
inline constexpr std::uint8_t ExcitationOff = 0, ExcitationInverted = 1, ExcitationEnabled = 2,
                              ExcitationInvalid = 3;
inline constexpr TRegField ExcSetupLevel{0, 2}; // the excitation voltage

// Configuration.
inline constexpr TRegField ConfigurationMode{0, 3};
inline constexpr std::uint8_t ModeIdle = 0, ModeContinuous = 1, ModeSingle = 2;
// Writing a mode other than idle to the converter starts its conversions.
inline void SetConversionMode(TRegData& image, std::uint8_t mode) {
    image[RegConfiguration] = ConfigurationMode.Set(image[RegConfiguration], mode);
}
// Conversion time codes: CapConversionTimesUs and VtConversionTimesUs hold their times.
inline constexpr TRegField ConfigurationCapF{3, 3};
inline constexpr TRegField ConfigurationVtF{6, 2};
inline constexpr std::int64_t CapConversionTimesUs[8] = {11000, 11900, 20000, 38000,
                                                         62000, 77000, 92000, 109600};
inline constexpr std::int64_t VtConversionTimesUs[4] = {20100, 32100, 62100, 122100};

// How long one conversion cycle takes in microseconds with these setup registers: the enabled
// conversions by their time codes, each twice with its chop bit, all twice with the clock
// halved.
constexpr std::int64_t ConversionCycleUs(std::uint8_t capSetup, std::uint8_t vtSetup,
                                         std::uint8_t excSetup, std::uint8_t configuration) {
    std::int64_t us = 0;
    if (capSetup & CapSetupEnable)
        us += CapConversionTimesUs[ConfigurationCapF.Get(configuration)] *
              (capSetup & CapSetupChop ? 2 : 1);
    if (vtSetup & VtSetupEnable)
        us += VtConversionTimesUs[ConfigurationVtF.Get(configuration)] *
              (vtSetup & VtSetupChop ? 2 : 1);
    return excSetup & ExcSetupClockHalved ? 2 * us : us;
}

// CAPDAC A and B.
inline constexpr std::uint8_t CapDacEnable = 0x80; // connected to the input
inline constexpr std::uint8_t CapDacCode = 0x7F;
