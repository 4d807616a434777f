#include "sim/VirtualMeter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

namespace {

using TTimePoint = std::chrono::steady_clock::time_point;
using std::chrono::microseconds;

// The setup snapshot holds registers CAP Setup to CAPDAC B, so its indices are register - 7.
constexpr std::size_t SCap = 0, SVt = 1, SExc = 2, SConfig = 3, SDacA = 4, SDacB = 5;
static_assert(SDacB == RegCapDacB - RegCapSetup);

constexpr std::int32_t MaxCode = 0xFFFFFF;
constexpr std::uint8_t LedLines = 0x03;
constexpr std::uint8_t ForeignFill = 0xEE;

std::int32_t ToCode(double value) {
    // !(value > 0) also catches NaN from nonsense settings.
    if (!(value > 0))
        return 0;
    if (value >= MaxCode)
        return MaxCode;
    return static_cast<std::int32_t>(std::llround(value));
}

void PutCode(std::uint8_t* target, std::int32_t code) {
    target[0] = static_cast<std::uint8_t>(code >> 16);
    target[1] = static_cast<std::uint8_t>(code >> 8);
    target[2] = static_cast<std::uint8_t>(code);
}

std::vector<std::uint8_t> MakeDescriptor() {
    std::vector<std::uint8_t> d = {
        0x06, 0x00, 0xFF, // Usage Page (vendor 0xFF00)
        0x09, 0x01,       // Usage (1)
        0xA1, 0x01,       // Collection (Application)
        0x15, 0x00,       //   Logical Minimum (0)
        0x26, 0xFF, 0x00, //   Logical Maximum (255)
        0x75, 0x08,       //   Report Size (8)
    };
    const auto report = [&d](std::uint8_t id, std::uint8_t count, std::uint8_t main) {
        // Report ID, Report Count, Usage (1), then Input / Output / Feature (Data, Var, Abs).
        d.insert(d.end(), {0x85, id, 0x95, count, 0x09, 0x01, main, 0x02});
    };
    const std::uint8_t dataBytes = TVirtualMeter::OutputReportLength - 1;
    const std::uint8_t featureBytes = TVirtualMeter::FeatureReportLength - 1;
    report(TVirtualMeter::PortConfigId, featureBytes, 0xB1);
    report(TVirtualMeter::PortLatchId, featureBytes, 0xB1);
    report(TVirtualMeter::ReadRequestId, dataBytes, 0x91);
    report(TVirtualMeter::ForceSendId, dataBytes, 0x91);
    report(TVirtualMeter::ReadResponseId, TVirtualMeter::InputReportLength - 1, 0x81);
    report(TVirtualMeter::WriteId, dataBytes, 0x91);
    d.push_back(0xC0); // End Collection
    return d;
}

} // namespace

TVirtualMeter::TVirtualMeter(QString serial, std::uint64_t seed, TClock clock)
    : FSerial(std::move(serial))
    , FClock(std::move(clock))
    , FRandom(seed) {
    const TTimePoint now = Now();
    FDriftSince = {now, now};
    FCycleStart = now;
}

QString TVirtualMeter::Product() const {
    return QStringLiteral("Corvane v2");
}

QString TVirtualMeter::Serial() const {
    return FSerial;
}

std::vector<std::uint8_t> TVirtualMeter::ReportDescriptor() const {
    static const std::vector<std::uint8_t> descriptor = MakeDescriptor();
    return descriptor;
}

bool TVirtualMeter::OutputReport(const std::uint8_t* report, std::size_t length, EPipe pipe) {
    const TDuration latency = AwaitTransfer();
    std::vector<TOutgoing> outgoing;
    {
        std::lock_guard lock(FLock);
        TTransfer transfer{TTransfer::EKind::Output, pipe, false, {}};
        if (report && length > 0)
            transfer.Report.assign(report, report + std::min(length, OutputReportLength));
        // The bridge takes its output reports at their declared length only.
        const bool known =
            report && length == OutputReportLength &&
            (report[0] == ReadRequestId || report[0] == ForceSendId || report[0] == WriteId);
        if (FTransfersFailing || !known) {
            Log(std::move(transfer));
            return false;
        }
        transfer.Ok = HandleOutput(report, pipe, outgoing);
        const bool ok = transfer.Ok;
        Log(std::move(transfer));
        if (!ok)
            return false;
        for (const TOutgoing& answer : outgoing)
            Log({TTransfer::EKind::Input, EPipe::Interrupt, !answer.Lost, answer.Report});
    }
    Deliver(outgoing, latency);
    return true;
}

bool TVirtualMeter::FeatureReport(const std::uint8_t* report, std::size_t length) {
    AwaitTransfer();
    {
        std::lock_guard lock(FLock);
        TTransfer transfer{TTransfer::EKind::Feature, EPipe::Control, false, {}};
        if (report && length > 0)
            transfer.Report.assign(report, report + std::min(length, FeatureReportLength));
        const bool known = report && length > 0 && length <= FeatureReportLength &&
                           (report[0] == PortConfigId || report[0] == PortLatchId);
        if (FTransfersFailing || !known) {
            Log(std::move(transfer));
            return false;
        }
        std::array<std::uint8_t, FeatureReportLength> data{};
        std::memcpy(data.data(), report, length);
        const bool wasOn = (PortLines() & LedLines) == 0;
        if (data[0] == PortConfigId) {
            std::copy(data.begin() + 1, data.end(), FPortConfiguration.begin());
        } else {
            // Only lines configured as outputs take the latch's level.
            const std::uint8_t mask = data[2] & FPortConfiguration[0];
            FPortLatch = static_cast<std::uint8_t>((FPortLatch & ~mask) | (data[1] & mask));
        }
        if (!wasOn && (PortLines() & LedLines) == 0)
            ++FLedSwitchOns;
        transfer.Ok = true;
        transfer.Report.assign(data.begin(), data.end());
        Log(std::move(transfer));
    }
    return true;
}

bool TVirtualMeter::HandleOutput(const std::uint8_t* data, EPipe pipe,
                                 std::vector<TOutgoing>& outgoing) {
    switch (data[0]) {
    case ReadRequestId:
        FReadAddressOk = data[1] == BusAddress;
        FReadLength = data[2] << 8 | data[3];
        return true;

    case ForceSendId: {
        if (FResponsesToLose != 0) {
            if (FResponsesToLose > 0)
                --FResponsesToLose;
            outgoing.push_back({{ReadResponseId}, {}, true});
            return true;
        }
        Advance();
        const std::size_t forceLength = static_cast<std::size_t>(data[1] << 8 | data[2]);
        std::size_t count =
            std::min({static_cast<std::size_t>(FReadLength), forceLength, MaxReadLength});
        std::vector<std::uint8_t> answer(InputReportLength, 0);
        answer[0] = ReadResponseId;
        if (!FReadAddressOk) {
            answer[1] = StatusNoAcknowledge;
            count = 0;
        }
        answer[2] = static_cast<std::uint8_t>(count);
        // The converter answers from register 0 on.
        for (std::size_t i = 0; i < count; ++i)
            answer[3 + i] = ReadRegister(i);
        // Reading through the capacitive data takes the result.
        if (count >= RegVtData)
            FResultWaiting = false;
        ++FReadTransactions;
        if (FForeignReportFirst) {
            std::vector<std::uint8_t> foreign(answer.size(), ForeignFill);
            foreign[0] = ForeignReportId;
            foreign[1] = answer[1];
            foreign[2] = answer[2];
            outgoing.push_back({std::move(foreign), FResponseDelay, false});
        }
        outgoing.push_back({std::move(answer), FResponseDelay, false});
        return true;
    }

    case WriteId: {
        const int count = data[2];
        const int start = data[3];
        // The count byte covers the start register and at most the rest of the report.
        if (count < 1 || count - 1 > static_cast<int>(OutputReportLength) - 4)
            return false;
        if (data[1] != BusAddress)
            return true; // nobody on the bus answers; the USB transfer itself went through
        Advance();
        bool modeWritten = false;
        for (int i = 0; i < count - 1; ++i) {
            const int reg = start + i;
            // Status and data registers are read-only; there is nothing behind register 18.
            if (reg < RegCapSetup || reg >= RegisterCount)
                continue;
            FRegisters[reg] = data[4 + i];
            modeWritten = modeWritten || reg == RegConfiguration;
        }
        ++FRegisterWriteCount;
        FRegisterWrites.push_back({start, count - 1, pipe});
        if (FRegisterWrites.size() > LogLimit)
            FRegisterWrites.pop_front();
        if (modeWritten) {
            switch (ConfigurationMode.Get(FRegisters[RegConfiguration])) {
            case ModeSingle:
                StartConversion(EMode::Single);
                break;
            case ModeContinuous:
                StartConversion(EMode::Continuous);
                break;
            default:
                FMode = EMode::Idle;
                break;
            }
        }
        return true;
    }
    }
    return false;
}

TVirtualMeter::TDuration TVirtualMeter::AwaitTransfer() const {
    TDuration latency;
    {
        std::lock_guard lock(FLock);
        latency = FLatency;
    }
    // The report reaches the bridge after its transfer time; the bridge handles it then, so a
    // conversion starts, and a register is read, at the end of the transfer.
    if (latency > TDuration::zero())
        WaitPreciselyUntil(std::chrono::steady_clock::now() + latency);
    return latency;
}

void TVirtualMeter::Deliver(const std::vector<TOutgoing>& outgoing, TDuration latency) {
    // Each answer takes one more transfer time back to the host.
    for (const TOutgoing& report : outgoing) {
        if (!report.Lost)
            SendInputReport(report.Report,
                            std::chrono::steady_clock::now() + latency + report.ExtraDelay);
    }
}

TTimePoint TVirtualMeter::Now() const {
    return FClock ? FClock() : std::chrono::steady_clock::now();
}

TVirtualMeter::TSetup TVirtualMeter::SetupNow() const {
    TSetup setup;
    std::copy_n(FRegisters.begin() + RegCapSetup, setup.size(), setup.begin());
    return setup;
}

microseconds TVirtualMeter::CycleTime(const TSetup& setup) {
    return microseconds(ConversionCycleUs(setup[SCap], setup[SVt], setup[SExc], setup[SConfig]));
}

void TVirtualMeter::StartConversion(EMode mode) {
    FMode = mode;
    FResultWaiting = false;
    FCycleStart = Now();
    FCycleSetup = SetupNow();
    ++FConversionsStarted;
    Advance(); // a cycle with nothing enabled is done at once
}

void TVirtualMeter::Advance() const {
    if (FMode == EMode::Idle)
        return;
    const TTimePoint now = Now();
    microseconds cycle = CycleTime(FCycleSetup);
    if (cycle.count() == 0) {
        // Nothing to convert: a cycle takes no time. Continuous conversion then simply keeps
        // a result ready; replacing it with an identical one would count as lost for nothing.
        if (FMode == EMode::Continuous && FResultWaiting)
            return;
        FCycleStart = std::max(FCycleStart, now);
    }
    TTimePoint end = FCycleStart + cycle;
    if (now < end)
        return;
    FinishCycle(FCycleSetup, end);
    if (FMode == EMode::Single) {
        FMode = EMode::Idle;
        FRegisters[RegConfiguration] =
            ConfigurationMode.Set(FRegisters[RegConfiguration], ModeIdle);
        return;
    }
    // The cycles after it run with the setup as it is now. Of a run of cycles nobody read,
    // only the last result is left to see.
    FCycleStart = end;
    FCycleSetup = SetupNow();
    cycle = CycleTime(FCycleSetup);
    if (cycle.count() == 0)
        return;
    const auto more = (now - end) / cycle;
    if (more == 0)
        return;
    FCycleStart = end + more * cycle;
    FinishCycle(FCycleSetup, FCycleStart);
    FLostResults += static_cast<int>(more - 1);
    FResultsCompleted += static_cast<int>(more - 1);
}

void TVirtualMeter::FinishCycle(const TSetup& setup, TTimePoint at) const {
    ++FResultsCompleted;
    if (FResultWaiting)
        ++FLostResults;
    FResultWaiting = true;
    const bool cap = setup[SCap] & CapSetupEnable;
    const bool vt = setup[SVt] & VtSetupEnable;
    if (!cap && !vt) {
        PutCode(&FRegisters[RegCapData], ZeroCode);
        PutCode(&FRegisters[RegVtData], ZeroCode);
        return;
    }
    // A disabled part leaves its data registers as they were.
    if (cap)
        PutCode(&FRegisters[RegCapData], CapCode(setup, at));
    if (vt)
        PutCode(&FRegisters[RegVtData], VtCode(setup));
}

std::int32_t TVirtualMeter::CapCode(const TSetup& setup, TTimePoint at) const {
    // Both random numbers are drawn every time, so the sequence depends on the number of
    // conversions only, not on the settings.
    const double noise = std::normal_distribution<double>(0, 1)(FRandom) * FCapNoisePf;
    const bool outlier =
        std::uniform_real_distribution<double>(0, 1)(FRandom) < FOutlierProbability;
    const std::size_t channel = setup[SCap] & CapSetupInput2 ? 1 : 0;
    const int excitation = (channel == 0 ? ExcSetupExcA : ExcSetupExcB).Get(setup[SExc]);
    if (excitation == ExcitationInvalid)
        return InvalidExcitationCode;
    if (excitation == ExcitationOff)
        return ToCode(ZeroCode + noise * CapCodesPerPf);

    const double seconds = std::chrono::duration<double>(at - FDriftSince[channel]).count();
    double positive = FPositivePf[channel] + FDriftPfPerSecond * seconds;
    // In single-ended mode the - input is not connected; the DAC on that side still is.
    double negative = setup[SCap] & CapSetupDifferential ? FNegativePf[channel] : 0.0;
    if (setup[SDacA] & CapDacEnable)
        positive -= (setup[SDacA] & CapDacCode) * CapDacStepPf;
    if (setup[SDacB] & CapDacEnable)
        negative -= (setup[SDacB] & CapDacCode) * CapDacStepPf;
    double pF = positive - negative;
    if (excitation == ExcitationInverted)
        pF = -pF;
    pF += noise + (outlier ? FOutlierPf : 0);
    return ToCode(ZeroCode + pF * CapCodesPerPf);
}

std::int32_t TVirtualMeter::VtCode(const TSetup& setup) const {
    const double noise = std::normal_distribution<double>(0, 1)(FRandom) * FTemperatureNoise;
    const std::uint8_t vt = setup[SVt];
    if (vt & VtSetupShort)
        return ZeroCode;
    switch (VtSetupMode.Get(vt)) {
    case VtModeInternalSensor:
    case VtModeExternalSensor:
        return ToCode(ZeroCode + (FTemperature + noise) * TempCodesPerDegree);
    case VtModeSupply: // divided by 6
        return ToCode(ZeroCode * (1 + FSupplyMv / (ReferenceMv * 6)));
    default: // the external voltage input
        if (vt & VtSetupExtRef)
            return ToCode(ZeroCode * (1 + FResistanceRatio));
        return ToCode(ZeroCode * (1 + FInputMv / ReferenceMv));
    }
}

std::uint8_t TVirtualMeter::PortLines() const {
    const std::uint8_t outputs = FPortConfiguration[0];
    return static_cast<std::uint8_t>((FPortLatch & outputs) | ~outputs);
}

std::uint8_t TVirtualMeter::ReadRegister(std::size_t index) const {
    if (index == RegStatus)
        return !FResultWaiting || FBusyStuck ? StatusNotReadyMask : 0;
    // Reads past the last register return 0.
    return index < FRegisters.size() ? FRegisters[index] : 0;
}

void TVirtualMeter::Log(TTransfer transfer) {
    FTransfers.push_back(std::move(transfer));
    if (FTransfers.size() > LogLimit)
        FTransfers.pop_front();
}

void TVirtualMeter::SetClock(TClock clock) {
    std::lock_guard lock(FLock);
    FClock = std::move(clock);
    const TTimePoint now = Now();
    FDriftSince = {now, now};
    FCycleStart = now;
}

void TVirtualMeter::SetSeed(std::uint64_t seed) {
    std::lock_guard lock(FLock);
    FRandom.seed(seed);
}

void TVirtualMeter::SetLatency(TDuration latency) {
    std::lock_guard lock(FLock);
    FLatency = std::max(latency, TDuration::zero());
}

void TVirtualMeter::SetInputCapacitance(int channel, double pF, EInputSide side) {
    if (channel != 1 && channel != 2)
        throw std::out_of_range("the meter has capacitive channels 1 and 2");
    std::lock_guard lock(FLock);
    // Results completed so far were measured with the old value.
    Advance();
    const std::size_t index = static_cast<std::size_t>(channel - 1);
    if (side == EInputSide::Negative) {
        FNegativePf[index] = pF;
        return;
    }
    FPositivePf[index] = pF;
    FDriftSince[index] = Now();
}

void TVirtualMeter::SetDrift(double pFPerSecond) {
    std::lock_guard lock(FLock);
    Advance();
    FDriftPfPerSecond = pFPerSecond;
}

void TVirtualMeter::SetCapNoise(double sigmaPf) {
    std::lock_guard lock(FLock);
    Advance();
    FCapNoisePf = sigmaPf;
}

void TVirtualMeter::SetOutliers(double probability, double sizePf) {
    std::lock_guard lock(FLock);
    Advance();
    FOutlierProbability = probability;
    FOutlierPf = sizePf;
}

void TVirtualMeter::SetTemperature(double celsius) {
    std::lock_guard lock(FLock);
    Advance();
    FTemperature = celsius;
}

void TVirtualMeter::SetTemperatureNoise(double sigmaCelsius) {
    std::lock_guard lock(FLock);
    Advance();
    FTemperatureNoise = sigmaCelsius;
}

void TVirtualMeter::SetResistanceRatio(double ratio) {
    std::lock_guard lock(FLock);
    Advance();
    FResistanceRatio = ratio;
}

void TVirtualMeter::SetInputVoltage(double mV) {
    std::lock_guard lock(FLock);
    Advance();
    FInputMv = mV;
}

void TVirtualMeter::SetSupplyVoltage(double mV) {
    std::lock_guard lock(FLock);
    Advance();
    FSupplyMv = mV;
}

void TVirtualMeter::SetBusyStuck(bool stuck) {
    std::lock_guard lock(FLock);
    FBusyStuck = stuck;
}

void TVirtualMeter::LoseResponses(int count) {
    std::lock_guard lock(FLock);
    FResponsesToLose = count < 0 ? AllResponses : count;
}

void TVirtualMeter::SetResponseDelay(TDuration delay) {
    std::lock_guard lock(FLock);
    FResponseDelay = std::max(delay, TDuration::zero());
}

void TVirtualMeter::SetForeignReportFirst(bool on) {
    std::lock_guard lock(FLock);
    FForeignReportFirst = on;
}

void TVirtualMeter::SetTransfersFailing(bool failing) {
    std::lock_guard lock(FLock);
    FTransfersFailing = failing;
}

TVirtualMeter::TRegisters TVirtualMeter::Registers() const {
    std::lock_guard lock(FLock);
    Advance();
    TRegisters registers;
    for (std::size_t i = 0; i < registers.size(); ++i)
        registers[i] = ReadRegister(i);
    return registers;
}

bool TVirtualMeter::LedOn() const {
    std::lock_guard lock(FLock);
    return (PortLines() & LedLines) == 0;
}

int TVirtualMeter::LedSwitchOns() const {
    std::lock_guard lock(FLock);
    return FLedSwitchOns;
}

std::array<std::uint8_t, 4> TVirtualMeter::PortConfiguration() const {
    std::lock_guard lock(FLock);
    return FPortConfiguration;
}

int TVirtualMeter::ReadTransactions() const {
    std::lock_guard lock(FLock);
    return FReadTransactions;
}

int TVirtualMeter::ConversionsStarted() const {
    std::lock_guard lock(FLock);
    return FConversionsStarted;
}

int TVirtualMeter::LostResults() const {
    std::lock_guard lock(FLock);
    Advance();
    return FLostResults;
}

int TVirtualMeter::ResultsCompleted() const {
    std::lock_guard lock(FLock);
    Advance();
    return FResultsCompleted;
}

int TVirtualMeter::RegisterWriteCount() const {
    std::lock_guard lock(FLock);
    return FRegisterWriteCount;
}

std::vector<TVirtualMeter::TRegisterWrite> TVirtualMeter::RegisterWrites() const {
    std::lock_guard lock(FLock);
    return {FRegisterWrites.begin(), FRegisterWrites.end()};
}

std::vector<TVirtualMeter::TTransfer> TVirtualMeter::Transfers() const {
    std::lock_guard lock(FLock);
    return {FTransfers.begin(), FTransfers.end()};
}
