#include "link/HidBridge.h"

#include "link/hid/HidDevice.h"

#include <algorithm>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

// The converter's bus address, read/write bit clear.
constexpr std::uint8_t BusAddress = 0x90;

constexpr std::uint8_t ReadRequestId = 0x10;
constexpr std::uint8_t ForceSendId = 0x12;
constexpr std::uint8_t ReadResponseId = 0x13;
constexpr std::uint8_t WriteId = 0x14;
constexpr std::uint8_t PortConfigId = 0x02;
constexpr std::uint8_t PortLatchId = 0x04;

// Port lines 0 and 1 drive the LED, which is lit while they are low.
constexpr std::uint8_t LedLines = 0x03;
constexpr std::uint8_t LinesLow = 0x00;

constexpr std::size_t FeatureLength = 5;
constexpr std::size_t MinReportBuffer = 65;
constexpr std::size_t ReadRequestLength = 4;   // ID, address, length high and low
constexpr std::size_t ResponseCountOffset = 2; // the bridge's count of data bytes
constexpr std::size_t ResponseDataOffset = 3;  // ID, bridge status, byte count
constexpr std::size_t WriteHeaderLength = 4;   // ID, address, count, first register
constexpr std::uint8_t ReadStatusLength = 1;   // the status register
constexpr std::uint8_t ReadValuesLength = 7;   // status and the six data registers

// The meter sends nothing unasked, so a queue that keeps refilling while it is drained is not
// worth waiting out; the transaction goes on and still takes only a response.
constexpr int MaxStaleReports = 1024;

constexpr const char* ReadRequestFailed = "Data Read Request failed";
constexpr const char* ForceSendFailed = "Data Read Force Send Request failed";
constexpr const char* ResponseFailed = "Data Read Response Request failed";
constexpr const char* WriteFailed = "Data Write Request failed";

// A report length from the device's caps; 0 when the caps could not be read.
std::size_t CapsLength(int length) {
    return static_cast<std::size_t>(std::max(length, 0));
}

// A zeroed buffer for reports of the given length, never smaller than a full report.
std::vector<std::uint8_t> ReportBuffer(std::size_t length) {
    return std::vector<std::uint8_t>(std::max(length, MinReportBuffer), 0);
}

} // namespace

void TOwedAnswers::GiveUp(std::uint8_t count, TTime now) {
    // A bridge that stays silent for long owes nothing worth remembering by the dozen.
    constexpr std::size_t MaxOwed = 8;
    if (FOwed.size() == MaxOwed)
        FOwed.pop_front();
    FOwed.push_back({count, now});
}

void TOwedAnswers::TakeStale(std::uint8_t count) {
    PayOff(count);
}

TOwedAnswers::EAnswer TOwedAnswers::Classify(std::uint8_t answerCount, std::uint8_t requestCount,
                                             TTime now) {
    std::erase_if(FOwed, [now](const TOwed& owed) { return now - owed.GivenUp > Lifetime; });
    const bool owed = PayOff(answerCount);
    if (answerCount != requestCount)
        return owed ? EAnswer::Owed : EAnswer::Malformed;
    return owed ? EAnswer::OwedAlike : EAnswer::Own;
}

bool TOwedAnswers::PayOff(std::uint8_t count) {
    const auto it = std::find_if(FOwed.begin(), FOwed.end(),
                                 [count](const TOwed& owed) { return owed.Count == count; });
    if (it == FOwed.end())
        return false;
    FOwed.erase(it);
    return true;
}

THidBridge::THidBridge(std::unique_ptr<THidDevice> NewHIDDevice)
    : FHIDDevice(std::move(NewHIDDevice)) {
    // Nobody takes the reader's reports: the responses are read through the main handle.
    FHIDDevice->StartReading();
}

THidBridge::~THidBridge() {
    // A meter that is gone cannot be darkened; the device is released all the same when
    // FHIDDevice goes.
    LED_off();
}

QString THidBridge::SerNum() {
    return FHIDDevice->SerialNumber();
}

bool THidBridge::Init() {
    // Lines 0 and 1 as push-pull outputs, no alternate pin functions, clock divider 0.
    const std::uint8_t config[FeatureLength] = {PortConfigId, LedLines, LedLines, 0x00, 0x00};
    FHIDDevice->SetFeature(config, sizeof config);
    return SendPortLatch(LedLines);
}

bool THidBridge::LED_on() {
    return SendPortLatch(LinesLow);
}

bool THidBridge::LED_off() {
    return SendPortLatch(LedLines);
}

bool THidBridge::SendPortLatch(std::uint8_t lines) {
    // Byte 2 is the mask: only lines 0 and 1 are set.
    const std::uint8_t latch[FeatureLength] = {PortLatchId, lines, LedLines, 0x00, 0x00};
    return FHIDDevice->SetFeature(latch, sizeof latch);
}

void THidBridge::ReadTransaction(std::uint8_t count, std::uint8_t* data) {
    const THidCaps caps = FHIDDevice->Caps();
    const std::size_t outLength = CapsLength(caps.OutputReportByteLength);
    const std::size_t inLength = CapsLength(caps.InputReportByteLength);
    // Reports too short for the request or the answer cannot be carried out.
    if (outLength < ReadRequestLength)
        throw EHIDError(ReadRequestFailed);
    if (inLength < ResponseDataOffset + count)
        throw EHIDError(ResponseFailed);

    std::vector<std::uint8_t> input = ReportBuffer(inLength);
    std::size_t transferred = 0;
    // Reports left from earlier transactions would otherwise be taken as this one's answer. A
    // read that fails here is left to the request, which then names the step that failed.
    for (int stale = 0; stale < MaxStaleReports; ++stale) {
        if (FHIDDevice->ReadFile(input.data(), inLength, transferred, 0) != EHidReadResult::Ok)
            break;
        if (input[0] == ReadResponseId)
            FOwedAnswers.TakeStale(input[ResponseCountOffset]);
    }

    std::vector<std::uint8_t> output = ReportBuffer(outLength);
    output[0] = ReadRequestId;
    output[1] = BusAddress;
    output[2] = 0x00;
    output[3] = count;
    if (!FHIDDevice->WriteFile(output.data(), outLength, transferred))
        throw EHIDError(ReadRequestFailed);

    std::fill(output.begin(), output.end(), 0);
    output[0] = ForceSendId;
    output[1] = 0x00;
    output[2] = count;
    if (!FHIDDevice->WriteFile(output.data(), outLength, transferred))
        throw EHIDError(ForceSendFailed);

    // A lost answer must not hang the caller, and reports of other kinds are not answers.
    const auto deadline = TClock::now() + ResponseTimeout;
    bool tookOwedAlike = false;
    const auto giveUp = [&] {
        // When an answer was dropped as owed to a request given up before, but none came
        // after it, the dropped one was this request's own and the owed one was lost.
        if (tookOwedAlike)
            FOwedAnswers.Clear();
        else
            FOwedAnswers.GiveUp(count, TClock::now());
        return EHIDError(ResponseFailed);
    };
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now());
        std::fill(input.begin(), input.end(), 0);
        const EHidReadResult result =
            FHIDDevice->ReadFile(input.data(), inLength, transferred,
                                 static_cast<int>(std::max<long long>(left.count(), 0)));
        if (result == EHidReadResult::Failed)
            throw EHIDError(ResponseFailed);
        if (result == EHidReadResult::TimedOut)
            throw giveUp();
        if (input[0] == ReadResponseId) {
            const auto answer =
                FOwedAnswers.Classify(input[ResponseCountOffset], count, TClock::now());
            if (answer == TOwedAnswers::EAnswer::Own)
                break;
            // The bridge answered this request, but not with the bytes asked for (the
            // converter did not acknowledge, for one): no value may come of it.
            if (answer == TOwedAnswers::EAnswer::Malformed)
                throw EHIDError(ResponseFailed);
            tookOwedAlike = tookOwedAlike || answer == TOwedAnswers::EAnswer::OwedAlike;
        }
        // A device that keeps sending other reports must not keep the caller past the time-out.
        if (TClock::now() >= deadline)
            throw giveUp();
    }
    std::copy_n(input.begin() + ResponseDataOffset, count, data);
}

std::uint8_t THidBridge::ReadStatus() {
    std::uint8_t status = 0;
    ReadTransaction(ReadStatusLength, &status);
    return status;
}

void THidBridge::ReadValues(TRegData& RegData) {
    ReadTransaction(ReadValuesLength, RegData.data());
}

void THidBridge::ReadCAPValues(TRegData& RegData) {
    WaitForConversion(*this);
    ReadValues(RegData);
}

void THidBridge::WriteRegs(std::uint8_t StartReg, std::uint8_t RegCount, TRegData RegData) {
    const std::size_t length = CapsLength(FHIDDevice->Caps().OutputReportByteLength);
    // Never send bytes from beyond the image, nor more than one report holds.
    if (std::size_t{StartReg} + RegCount > RegData.size() || WriteHeaderLength + RegCount > length)
        throw EHIDError(WriteFailed);

    std::vector<std::uint8_t> report = ReportBuffer(length);
    report[0] = WriteId;
    report[1] = BusAddress;
    report[2] = static_cast<std::uint8_t>(RegCount + 1); // the register address counts too
    report[3] = StartReg;
    std::copy_n(RegData.begin() + StartReg, RegCount, report.begin() + WriteHeaderLength);
    if (!FHIDDevice->SetOutputReport(report.data(), length))
        throw EHIDError(WriteFailed);
}
