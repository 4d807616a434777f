#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <stdexcept>

// The converter's register image. Bytes 0 to 18 mirror converter registers 0 to 18; bytes 19
// to 22 are the contents of registers 7, 8, 11 and 12 for the second (channel 2) conversion.
using TRegData = std::array<std::uint8_t, 23>;

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

    virtual void SetIntName(const QString& value) = 0;
    virtual void SetSerNum(const QString& value) = 0;
    virtual QString IntName() = 0;
    // The meter's USB serial number.
    virtual QString SerNum() = 0;

    // Configures the port lines and darkens the LED; true when the latch report was taken.
    virtual bool Init() = 0;
    virtual bool IsOpen() = 0;
    // The converter's status register.
    virtual std::uint8_t ReadStatus() = 0;
    // Registers 0 to 6 into RegData bytes 0 to 6; the other bytes stay.
    virtual bool ReadValues(TRegData& RegData) = 0;
    // Waits until the converter is not busy (status bit 2 clear), then ReadValues.
    virtual bool ReadCAPValues(TRegData& RegData) = 0;
    // Writes bytes StartReg .. StartReg + RegCount - 1 of RegData to the same registers.
    virtual bool WriteRegs(std::uint8_t StartReg, std::uint8_t RegCount, TRegData RegData) = 0;
    virtual bool LED_on() = 0;
    virtual bool LED_off() = 0;
};
