#pragma once

#include "link/RegisterImage.h"
#include "link/hid/VirtualHidBus.h"

#include <QString>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <vector>

// A meter on the virtual USB bus: the bridge's HID reports in front of a two-channel
// capacitance converter at bus address 0x90. It answers as the real meter does, produces the
// values the test sets (with noise, drift and outliers on request) and can be made to
// misbehave in the ways a real meter or cable does.
//
// It is as strict as the hardware, so that a wrong setup shows as a wrong reading:
//
// - Each capacitive channel has a + and a - input (CIN+, CIN-). CAP Setup bit 6 selects the
//   channel; its excitation field drives both of its inputs: EXCA channel 1, EXCB channel 2.
//   The other channel's excitation makes no difference to the reading.
// - With C+ and C- the capacitances of the selected channel's inputs, and A and B the CAPDACs
//   in pF (each 0 unless its enable bit is set), the converter reads
//     differential (CAPDIFF set):  (C+ - A) - (C- - B)
//     single-ended:                (C+ - A) - (0 - B)    C- is not connected, DAC B still is
//   with the + input's drift added to C+. By the channel's excitation field, the reading is
//     2 enabled:   that value;
//     1 inverted:  its negative: the charge flows the other way, for the CAPDACs too;
//     0 off:       0 pF, mid-scale: nothing drives the inputs or the CAPDACs;
//     3 invalid:   no valid result: code 0x000000, the bottom of the range, without noise.
//   Noise and outliers come on top (outliers only on an excited input); the code is clamped
//   to the 24-bit range.
// - The port lines follow the latch report only while the configuration report has made them
//   outputs; before that, and for lines left as inputs, they stay high (LED dark).
// - Output reports must be exactly OutputReportLength bytes long, feature reports at most
//   FeatureReportLength (shorter ones read as padded with zeros).
//
// Its result codes come from the converter's transfer functions with constants of its own, so
// that a test checks the program's decoding against them rather than against itself.
//
// Conversions run on a clock that is only read when the host asks, so the meter needs no
// thread of its own and a test can step the clock by hand. Every member may be called from
// any thread.
class TVirtualMeter final : public TVirtualHidDevice {
public:
    using TClock = std::function<std::chrono::steady_clock::time_point()>;
    using TDuration = std::chrono::steady_clock::duration;

    static constexpr std::uint8_t BusAddress = 0x90;
    static constexpr std::uint8_t ReadRequestId = 0x10;
    static constexpr std::uint8_t ForceSendId = 0x12;
    static constexpr std::uint8_t ReadResponseId = 0x13;
    static constexpr std::uint8_t WriteId = 0x14;
    static constexpr std::uint8_t PortConfigId = 0x02;
    static constexpr std::uint8_t PortLatchId = 0x04;
    // The report ID of the stray input report sent with SetForeignReportFirst.
    static constexpr std::uint8_t ForeignReportId = 0x01;
    // Report lengths in bytes, the report ID included.
    static constexpr std::size_t InputReportLength = 64;
    static constexpr std::size_t OutputReportLength = 64;
    static constexpr std::size_t FeatureReportLength = 5;
    // The most register bytes one read answer carries.
    static constexpr std::size_t MaxReadLength = 60;
    // Transfer status in the read answer: the converter did not acknowledge its address.
    static constexpr std::uint8_t StatusNoAcknowledge = 0x01;

    static constexpr int RegisterCount = 19;
    using TRegisters = std::array<std::uint8_t, RegisterCount>;
    // Status bits while no result is available: StatusBusy, mirrored in bits 0 and 1.
    static constexpr std::uint8_t StatusNotReadyMask = 0x07;

    // One step of a CAPDAC in pF.
    static constexpr double CapDacStepPf = 17.0 / 127;
    static constexpr std::int32_t ZeroCode = 0x800000;
    // What a capacitive conversion gives with an invalid excitation setting.
    static constexpr std::int32_t InvalidExcitationCode = 0x000000;
    static constexpr double CapCodesPerPf = 2048000.0;
    static constexpr double TempCodesPerDegree = 2048.0;
    static constexpr double ReferenceMv = 1170.0;

    // Which report went where, for tests.
    struct TTransfer {
        enum class EKind { Output, Feature, Input };
        EKind Kind = EKind::Output;
        EPipe Pipe = EPipe::Interrupt; // Control for feature reports, Interrupt for input ones
        // Output and feature reports: accepted. Input reports: sent; a lost answer is logged
        // as its report ID alone with Ok false.
        bool Ok = false;
        std::vector<std::uint8_t> Report;
    };
    struct TRegisterWrite {
        int Start = 0;
        int Count = 0; // register bytes written
        EPipe Pipe = EPipe::Interrupt;
    };
    // The logs keep this many of the latest entries.
    static constexpr std::size_t LogLimit = 1000;

    // Losing every answer until LoseResponses(0).
    static constexpr int AllResponses = -1;

    explicit TVirtualMeter(QString serial, std::uint64_t seed = 0, TClock clock = {});

    TVirtualMeter(const TVirtualMeter&) = delete;
    TVirtualMeter& operator=(const TVirtualMeter&) = delete;

    QString Product() const override;
    QString Serial() const override;
    std::vector<std::uint8_t> ReportDescriptor() const override;
    bool OutputReport(const std::uint8_t* report, std::size_t length, EPipe pipe) override;
    bool FeatureReport(const std::uint8_t* report, std::size_t length) override;

    // The clock the conversions run on; an empty one is steady_clock::now. A new clock starts
    // the drift and the conversion in progress afresh at its present time.
    void SetClock(TClock clock);
    // Restarts the noise and outliers from this seed.
    void SetSeed(std::uint64_t seed);
    // How long each output and feature report takes, and how long an answer takes back.
    void SetLatency(TDuration latency);

    // The two inputs of a capacitive channel.
    enum class EInputSide { Positive, Negative };

    // What the converter measures. channel is 1 or 2 (std::out_of_range otherwise). The +
    // input is what a single-ended conversion reads; setting it restarts its drift. The -
    // input counts in differential conversions only.
    void SetInputCapacitance(int channel, double pF, EInputSide side = EInputSide::Positive);
    // Both + inputs drift by this much.
    void SetDrift(double pFPerSecond);
    void SetCapNoise(double sigmaPf);
    // Each capacitive conversion is off by sizePf with this probability.
    void SetOutliers(double probability, double sizePf);
    void SetTemperature(double celsius);
    void SetTemperatureNoise(double sigmaCelsius);
    // Rx / Rref, measured on the external voltage input against the external reference.
    void SetResistanceRatio(double ratio);
    void SetInputVoltage(double mV);
    void SetSupplyVoltage(double mV);

    // Faults.
    void SetBusyStuck(bool stuck);
    // The next count read answers are lost on the way: the request is accepted, but the
    // converter is not read and nothing comes back. AllResponses loses every one.
    void LoseResponses(int count);
    void SetResponseDelay(TDuration delay);
    // Sends a stray input report before each read answer: ForeignReportId, the answer's
    // status and count, other data bytes.
    void SetForeignReportFirst(bool on);
    // Every output and feature report is refused and nothing is sent: plugged in, but broken.
    void SetTransfersFailing(bool failing);

    // The register file as a read from register 0 returns it now.
    TRegisters Registers() const;
    bool LedOn() const;
    int LedSwitchOns() const;
    // The data bytes of the last port-line configuration feature report.
    std::array<std::uint8_t, 4> PortConfiguration() const;
    int ReadTransactions() const; // read answers sent
    int ConversionsStarted() const;
    int LostResults() const;      // completed results overwritten before they were read
    int ResultsCompleted() const; // every conversion cycle finished, read or not
    int RegisterWriteCount() const;
    std::vector<TRegisterWrite> RegisterWrites() const;
    std::vector<TTransfer> Transfers() const;

private:
    struct TOutgoing {
        std::vector<std::uint8_t> Report;
        TDuration ExtraDelay{};
        bool Lost = false; // logged, but never sent
    };
    enum class EMode { Idle, Single, Continuous };

    // CAP Setup to CAPDAC B, as a conversion cycle starts with them.
    using TSetup = std::array<std::uint8_t, SetupRegCount>;

    static std::chrono::microseconds CycleTime(const TSetup& setup);
    // The private members below expect FLock to be held.
    std::chrono::steady_clock::time_point Now() const;
    // Brings the converter up to the clock's present time.
    void Advance() const;
    void StartConversion(EMode mode);
    void FinishCycle(const TSetup& setup, std::chrono::steady_clock::time_point at) const;
    TSetup SetupNow() const;
    std::int32_t CapCode(const TSetup& setup, std::chrono::steady_clock::time_point at) const;
    std::int32_t VtCode(const TSetup& setup) const;
    std::uint8_t ReadRegister(std::size_t index) const;
    // The levels of the port lines: the latch where a line is an output, high elsewhere.
    std::uint8_t PortLines() const;
    bool HandleOutput(const std::uint8_t* data, EPipe pipe, std::vector<TOutgoing>& outgoing);
    void Log(TTransfer transfer);
    // Waits out a report's transfer time and returns it; FLock must not be held.
    TDuration AwaitTransfer() const;
    // Sends the answers, each readable one transfer time later; FLock must not be held.
    void Deliver(const std::vector<TOutgoing>& outgoing, TDuration latency);

    const QString FSerial;

    mutable std::mutex FLock;
    TClock FClock;
    TDuration FLatency{};

    // The converter. Reading it brings it up to the present time, hence mutable.
    mutable TRegisters FRegisters{};
    mutable EMode FMode = EMode::Idle;
    mutable bool FResultWaiting = false;
    mutable std::chrono::steady_clock::time_point FCycleStart;
    // The setup registers (7 to 12) as the cycle in progress started with them.
    mutable TSetup FCycleSetup{};
    mutable std::mt19937_64 FRandom;
    mutable int FLostResults = 0;
    mutable int FResultsCompleted = 0;
    int FConversionsStarted = 0;

    // The signals, by channel.
    std::array<double, 2> FPositivePf{};
    std::array<double, 2> FNegativePf{};
    std::array<std::chrono::steady_clock::time_point, 2> FDriftSince;
    double FDriftPfPerSecond = 0;
    double FCapNoisePf = 0;
    double FOutlierProbability = 0;
    double FOutlierPf = 0;
    double FTemperature = 25;
    double FTemperatureNoise = 0;
    double FResistanceRatio = 0;
    double FInputMv = 0;
    double FSupplyMv = 5000;

    // The bridge.
    int FReadLength = 0;
    bool FReadAddressOk = true;
    // The latch holds a level for the lines configured as outputs only.
    std::uint8_t FPortLatch = 0xFF;
    std::array<std::uint8_t, 4> FPortConfiguration{};
    int FLedSwitchOns = 0;
    int FReadTransactions = 0;
    int FRegisterWriteCount = 0;
    std::deque<TRegisterWrite> FRegisterWrites;
    std::deque<TTransfer> FTransfers;

    // Faults.
    bool FBusyStuck = false;
    int FResponsesToLose = 0;
    TDuration FResponseDelay{};
    bool FForeignReportFirst = false;
    bool FTransfersFailing = false;
};
