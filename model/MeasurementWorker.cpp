#include "model/MeasurementWorker.h"

#include "link/CrossThreadEvent.h"
#include "model/ManualResetEvent.h"
#include "model/Meter.h"
#include "model/SampleRecord.h"
#include "model/ThreadingSettings.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t BusyBit = 0x04;
// A converter that stays busy longer than this has failed: the longest conversion pair with
// both chop bits and the halved clock takes well under a second.
constexpr auto BusyPollLimit = std::chrono::seconds(2);
const std::string NotRun = "000000000000";

// Milliseconds as a wrapping 32-bit tick count.
std::uint32_t TickCount() {
    return std::uint32_t(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
            .count());
}

void SetModeBits(TRegData& image, std::uint8_t mode) {
    image[10] = std::uint8_t((image[10] & ~0x07) | mode);
}

// The worker is being ended: leave the acquisition without a report.
struct TTerminating {};

} // namespace

std::chrono::milliseconds TriggeredAcquisitionTime(const TRegData& image, int repeats, int sMode) {
    // Conversion times in microseconds by the CAPF and VTF fields of the Configuration byte.
    constexpr std::int64_t CapTimesUs[8] = {11000, 11900, 20000, 38000,
                                            62000, 77000, 92000, 109600};
    constexpr std::int64_t VtTimesUs[4] = {20100, 32100, 62100, 122100};
    // A status poll, a value read and one or two register writes: a few reports each way.
    constexpr std::int64_t TransfersUs = 5000;
    // Lighting and darkening the LED.
    constexpr std::int64_t LedUs = 2000;
    const std::int64_t capUs = CapTimesUs[(image[10] >> 3) & 0x07];
    const std::int64_t vtUs = VtTimesUs[(image[10] >> 6) & 0x03];
    const bool slowClock = image[9] & 0x80;
    // One conversion with the CAP and VT Setup bytes capSetup and vtSetup; SMode 2 runs it
    // twice, except the first one while the second channel is off, which is sent directly.
    const auto conversionUs = [&](std::uint8_t capSetup, std::uint8_t vtSetup,
                                  bool direct) -> std::int64_t {
        if (!(capSetup & 0x80) && !(vtSetup & 0x80))
            return 0;
        std::int64_t us = 0;
        if (capSetup & 0x80)
            us += capUs * (capSetup & 0x01 ? 2 : 1);
        if (vtSetup & 0x80)
            us += vtUs * (vtSetup & 0x01 ? 2 : 1);
        if (slowClock)
            us *= 2;
        return us * (sMode == 2 && !direct ? 2 : 1) + TransfersUs;
    };
    const std::int64_t repeatUs = conversionUs(image[7], image[8], !(image[19] & 0x80)) +
                                  conversionUs(image[19], image[20], false);
    const std::int64_t us = repeatUs * std::max(repeats, 1) + LedUs;
    return std::chrono::milliseconds((us + 999) / 1000);
}

std::mutex& AcquisitionLock() {
    static std::mutex lock;
    return lock;
}

TMeasurementWorker::TMeasurementWorker(TMeter* meter, TManualResetEvent& event)
    : FMeter(meter)
    , TriggerEvent(event) {
    FThread.reset(QThread::create([this] {
        Execute();
        // Tells Terminate, in a way ThreadSanitizer sees, that the thread touches nothing more.
        std::lock_guard done(FExitLock);
    }));
    FThread->setObjectName(QStringLiteral("Measurement"));
    // Requested; where the system refuses, the worker runs at normal priority.
    FThread->start(QThread::TimeCriticalPriority);
}

TMeasurementWorker::~TMeasurementWorker() {
    Terminate();
}

void TMeasurementWorker::Terminate() {
    if (!FThread)
        return;
    FTerminated = true;
    TriggerEvent.Set();
    FThread->wait();
    std::lock_guard done(FExitLock);
    FThread.reset();
}

TRegData TMeasurementWorker::RegData() const {
    std::lock_guard lock(FImageLock);
    return FRegData;
}

void TMeasurementWorker::SetRegData(const TRegData& regData) {
    std::lock_guard lock(FImageLock);
    FRegData = regData;
}

// ---------------------------------------------------------------------------------------------

void TMeasurementWorker::StartContinuousRun() {
    FContinuousRunAsked = true;
    TriggerEvent.Set();
}

void TMeasurementWorker::Execute() {
    for (;;) {
        // An acquisition that ends after Terminate may reset the event: the flag still counts.
        // A continuous run asked for while a triggered acquisition ran starts without waiting:
        // that acquisition's record took the trigger that asked for it.
        if (!(ContinuousMode && FContinuousRunAsked))
            TriggerEvent.WaitOr(FTerminated);
        if (Terminated())
            return;
        TBridge* bridge = FMeter->Bridge();
        const std::uint32_t run = RunNumber;
        try {
            // One acquisition at a time on this meter, the window's single measurement included.
            std::lock_guard bridgeLock(FMeter->BridgeLock());
            bridge->LED_on();
            if (ContinuousMode)
                AcquireContinuous(*bridge, run);
            else
                AcquireTriggered(*bridge, run);
            bridge->LED_off();
        } catch (const TTerminating&) {
            return;
        } catch (const std::exception& error) {
            // Reported, and the worker waits for the next trigger instead of retrying at once.
            // Reset before posting: a trigger that answers the report must not be lost.
            TriggerEvent.Reset();
            bridge->LED_off();
            PostError(error.what());
        }
    }
}

void TMeasurementWorker::WaitWhileBusy(TBridge& bridge) {
    const auto limit = Clock::now() + BusyPollLimit;
    while (bridge.ReadStatus() & BusyBit) {
        if (Terminated())
            throw TTerminating();
        if (Clock::now() >= limit)
            throw EHIDError("Conversion did not complete");
    }
}

bool TMeasurementWorker::Convert(TBridge& bridge, TRegData& w, int sMode, bool direct) {
    if (direct)
        sMode = 0;
    switch (sMode) {
    case 0: // setup and start in one write
        SetModeBits(w, 2);
        bridge.WriteRegs(7, 6, w);
        break;
    case 1: // setup, then start
        SetModeBits(w, 0);
        bridge.WriteRegs(7, 6, w);
        SetModeBits(w, 2);
        bridge.WriteRegs(10, 1, w);
        break;
    case 2: // a first conversion settles the input; the second one is read
        SetModeBits(w, 2);
        bridge.WriteRegs(7, 6, w);
        WaitWhileBusy(bridge);
        SetModeBits(w, 2);
        bridge.WriteRegs(10, 1, w);
        break;
    default:
        break;
    }
    WaitWhileBusy(bridge);

    std::unique_lock<std::mutex> serialised;
    if (Threading().ThreadSafetyLevel == 3)
        serialised = std::unique_lock(AcquisitionLock());
    for (int attempt = 0; attempt < 3; ++attempt)
        if (bridge.ReadValues(w))
            return true;
    return false;
}

void TMeasurementWorker::AcquireTriggered(TBridge& bridge, std::uint32_t run) {
    const std::uint32_t start = TickCount();
    std::string record = "00";
    const int repeats = Repeats;
    TRegData w{};
    for (int r = 0; r < repeats; ++r) {
        // The image is read afresh at every repeat, so a change takes effect at the next one.
        const TRegData image = RegData();
        std::copy(image.begin() + 7, image.begin() + 13, w.begin() + 7);

        if ((image[7] & 0x80) || (image[8] & 0x80)) {
            w[7] &= ~0x40; // first capacitive input
            if (!Convert(bridge, w, SMode, /*direct=*/!(image[19] & 0x80)))
                return; // no record; the trigger stays, so a new acquisition follows
            AppendHexBytes(record, w.data() + 1, 6);
        } else {
            record += NotRun;
        }

        if ((image[19] & 0x80) || (image[20] & 0x80)) {
            w[7] = image[19] | 0x40; // second capacitive input
            w[8] = image[20];
            w[9] = image[9];
            w[11] = image[21];
            w[12] = image[22];
            if (!Convert(bridge, w, SMode, /*direct=*/false))
                return;
            AppendHexBytes(record, w.data() + 1, 6);
        } else {
            record += NotRun;
        }
    }
    PostSampleRecord(std::move(record), TickCount() - start, run);
}

void TMeasurementWorker::AcquireContinuous(TBridge& bridge, std::uint32_t run) {
    FContinuousRunAsked = false;
    FInContinuousRun = true;
    struct TRunEnds {
        std::atomic<bool>& Flag;
        ~TRunEnds() { Flag = false; }
    } runEnds{FInContinuousRun};
    ChangeRegData([](TRegData& image) { SetModeBits(image, 1); });
    bridge.WriteRegs(7, 6, RegData());
    auto previous = Clock::now();
    TRegData w{};
    // A Stop and a Start quicker than one conversion leave the mode on: the new run number
    // still ends this run, and the next one starts with the new number.
    while (ContinuousMode && RunNumber == run && !Terminated()) {
        if (!bridge.ReadCAPValues(w) || (w[0] & BusyBit))
            continue;
        const auto now = Clock::now();
        const auto ticks =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - previous).count();
        previous = now;
        std::string record = "00";
        AppendHexBytes(record, w.data() + 1, 6);
        record += NotRun; // only the first conversion runs in this mode
        PostSampleRecord(std::move(record), std::uint32_t(ticks), run);
    }
    ChangeRegData([](TRegData& image) { SetModeBits(image, 0); });
    bridge.WriteRegs(10, 1, RegData());
}

void TMeasurementWorker::PostSampleRecord(std::string record, std::uint32_t ticks,
                                          std::uint32_t run) {
    AppendTicks(record, ticks);
    // Reset before posting: a trigger given once the record is out must start the next
    // acquisition, never fall into the gap between the post and the reset.
    TriggerEvent.Reset();
    PostCrossThreadEvent(FMeter, new TSampleEvent(std::move(record), run));
}

void TMeasurementWorker::PostError(const std::string& message) {
    PostCrossThreadEvent(FMeter, new TWorkerErrorEvent(QString::fromStdString(message)));
}
