#pragma once

#include "link/RegisterImage.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <stdexcept>

// A report transfer to or from the bridge was not carried out.
class EHIDError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The bridge to one meter's converter: status and value reads, register writes, the LED.
// Operations raise EHIDError when a transfer fails.
class TBridge {
public:
    virtual ~TBridge() = default;

    // The meter's USB serial number.
    virtual QString SerNum() = 0;

    // Configures the port lines and darkens the LED; true when the latch report was taken.
    virtual bool Init() = 0;
    // The converter's status register.
    virtual std::uint8_t ReadStatus() = 0;
    // Registers 0 to 6 into RegData bytes 0 to 6; the other bytes stay.
    virtual void ReadValues(TRegData& RegData) = 0;
    // Waits until the converter is not busy (WaitForConversion), then ReadValues.
    virtual void ReadCAPValues(TRegData& RegData) = 0;
    // Writes bytes StartReg .. StartReg + RegCount - 1 of RegData to the same registers.
    virtual void WriteRegs(std::uint8_t StartReg, std::uint8_t RegCount, TRegData RegData) = 0;
    virtual bool LED_on() = 0;
    virtual bool LED_off() = 0;
};

// A converter that stays busy longer than this has failed: the longest conversion pair with
// both chop bits and the halved clock takes well under a second.
inline constexpr std::chrono::milliseconds ConversionTimeout{2000};

// Polls the status until the converter's busy bit clears. A converter that never finishes (no
// conversion started, or a fault) must not keep the caller polling for ever: past timeout this
// raises EHIDError "Conversion did not complete". False when stop, looked at before every
// further poll, was set first.
bool WaitForConversion(TBridge& bridge, std::chrono::milliseconds timeout = ConversionTimeout,
                       const std::atomic<bool>* stop = nullptr);
