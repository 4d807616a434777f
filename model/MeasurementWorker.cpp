#include "model/MeasurementWorker.h"

#include "link/CrossThreadEvent.h"
#include "model/ManualResetEvent.h"
#include "model/SampleRecord.h"
#include "model/ThreadingSettings.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

const std::string NotRun = "000000000000";

// Milliseconds as a wrapping 32-bit tick count.
std::uint32_t TickCount() {
    return std::uint32_t(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
            .count());
}

// The worker is being ended: leave the acquisition without a report.
struct TTerminating {};

} // namespace

std::chrono::milliseconds TriggeredAcquisitionTime(const TRegData& image, int repeats, int sMode) {
    // A status poll, a value read and one or two register writes: a few reports each way.
    constexpr std::int64_t TransfersUs = 5000;
    // Lighting and darkening the LED.
    constexpr std::int64_t LedUs = 2000;
    // One conversion with the CAP and VT Setup bytes capSetup and vtSetup; SMode 2 runs it
    // twice, except the first one while the second channel is off, which is sent directly.
    const auto conversionUs = [&](std::uint8_t capSetup, std::uint8_t vtSetup,
                                  bool direct) -> std::int64_t {
        if (!(capSetup & CapSetupEnable) && !(vtSetup & VtSetupEnable))
            return 0;
        const std::int64_t us =
            ConversionCycleUs(capSetup, vtSetup, image[RegExcSetup], image[RegConfiguration]);
        return us * (sMode == 2 && !direct ? 2 : 1) + TransfersUs;
    };
    const std::int64_t repeatUs = conversionUs(image[RegCapSetup], image[RegVtSetup],
                                               !(image[RegCapSetup2] & CapSetupEnable)) +
                                  conversionUs(image[RegCapSetup2], image[RegVtSetup2], false);
    const std::int64_t us = repeatUs * std::max(repeats, 1) + LedUs;
    return std::chrono::milliseconds((us + 999) / 1000);
}

std::mutex& AcquisitionLock() {
    static std::mutex lock;
    return lock;
}

QEvent::Type TSampleEvent::EventType() {
    static const int type = QEvent::registerEventType();
    return QEvent::Type(type);
}

QEvent::Type TWorkerErrorEvent::EventType() {
    static const int type = QEvent::registerEventType();
    return QEvent::Type(type);
}

TMeasurementWorker::TMeasurementWorker(TBridge& bridge, std::mutex& bridgeLock, QObject* receiver,
                                       TManualResetEvent& event)
    : FBridge(bridge)
    , FBridgeLock(bridgeLock)
    , FReceiver(receiver)
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
        const std::uint32_t run = RunNumber;
        try {
            // One acquisition at a time on this meter, the window's single measurement included.
            std::lock_guard bridgeLock(FBridgeLock);
            FBridge.LED_on();
            if (ContinuousMode)
                AcquireContinuous(run);
            else
                AcquireTriggered(run);
            FBridge.LED_off();
        } catch (const TTerminating&) {
            return;
        } catch (const std::exception& error) {
            // Reported, and the worker waits for the next trigger instead of retrying at once.
            // Reset before posting: a trigger that answers the report must not be lost.
            TriggerEvent.Reset();
            FBridge.LED_off();
            PostError(error.what());
        }
    }
}

void TMeasurementWorker::WaitWhileBusy() {
    if (!WaitForConversion(FBridge, ConversionTimeout, &FTerminated))
        throw TTerminating();
}

void TMeasurementWorker::Convert(TRegData& w, int sMode, bool direct) {
    if (direct)
        sMode = 0;
    switch (sMode) {
    case 0: // setup and start in one write
        SetConversionMode(w, ModeSingle);
        FBridge.WriteRegs(RegCapSetup, SetupRegCount, w);
        break;
    case 1: // setup, then start
        SetConversionMode(w, ModeIdle);
        FBridge.WriteRegs(RegCapSetup, SetupRegCount, w);
        SetConversionMode(w, ModeSingle);
        FBridge.WriteRegs(RegConfiguration, 1, w);
        break;
    case 2: // a first conversion settles the input; the second one is read
        SetConversionMode(w, ModeSingle);
        FBridge.WriteRegs(RegCapSetup, SetupRegCount, w);
        WaitWhileBusy();
        SetConversionMode(w, ModeSingle);
        FBridge.WriteRegs(RegConfiguration, 1, w);
        break;
    default:
        break;
    }
    WaitWhileBusy();

    std::unique_lock<std::mutex> serialised;
    if (Threading().ThreadSafetyLevel == 3)
        serialised = std::unique_lock(AcquisitionLock());
    FBridge.ReadValues(w);
}

void TMeasurementWorker::AcquireTriggered(std::uint32_t run) {
    const std::uint32_t start = TickCount();
    std::string record = "00";
    const int repeats = Repeats;
    TRegData w{};
    for (int r = 0; r < repeats; ++r) {
        // The image is read afresh at every repeat, so a change takes effect at the next one.
        const TRegData image = RegData();
        std::copy_n(image.begin() + RegCapSetup, SetupRegCount, w.begin() + RegCapSetup);

        if ((image[RegCapSetup] & CapSetupEnable) || (image[RegVtSetup] & VtSetupEnable)) {
            w[RegCapSetup] &= ~CapSetupInput2; // the first capacitive input
            Convert(w, SMode, /*direct=*/!(image[RegCapSetup2] & CapSetupEnable));
            AppendHexBytes(record, w.data() + RegCapData, 6);
        } else {
            record += NotRun;
        }

        if ((image[RegCapSetup2] & CapSetupEnable) || (image[RegVtSetup2] & VtSetupEnable)) {
            w[RegCapSetup] = image[RegCapSetup2] | CapSetupInput2; // the second one
            w[RegVtSetup] = image[RegVtSetup2];
            w[RegExcSetup] = image[RegExcSetup];
            w[RegCapDacA] = image[RegCapDacA2];
            w[RegCapDacB] = image[RegCapDacB2];
            Convert(w, SMode, /*direct=*/false);
            AppendHexBytes(record, w.data() + RegCapData, 6);
        } else {
            record += NotRun;
        }
    }
    PostSampleRecord(std::move(record), TickCount() - start, run);
}

void TMeasurementWorker::AcquireContinuous(std::uint32_t run) {
    FContinuousRunAsked = false;
    FInContinuousRun = true;
    struct TRunEnds {
        std::atomic<bool>& Flag;
        ~TRunEnds() { Flag = false; }
    } runEnds{FInContinuousRun};
    ChangeRegData([](TRegData& image) { SetConversionMode(image, ModeContinuous); });
    FBridge.WriteRegs(RegCapSetup, SetupRegCount, RegData());
    auto previous = Clock::now();
    TRegData w{};
    // A Stop and a Start quicker than one conversion leave the mode on: the new run number
    // still ends this run, and the next one starts with the new number.
    while (ContinuousMode && RunNumber == run && !Terminated()) {
        FBridge.ReadCAPValues(w);
        if (w[RegStatus] & StatusBusy)
            continue;
        const auto now = Clock::now();
        const auto ticks =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - previous).count();
        previous = now;
        std::string record = "00";
        AppendHexBytes(record, w.data() + RegCapData, 6);
        record += NotRun; // only the first conversion runs in this mode
        PostSampleRecord(std::move(record), std::uint32_t(ticks), run);
    }
    ChangeRegData([](TRegData& image) { SetConversionMode(image, ModeIdle); });
    FBridge.WriteRegs(RegConfiguration, 1, RegData());
}

void TMeasurementWorker::PostSampleRecord(std::string record, std::uint32_t ticks,
                                          std::uint32_t run) {
    AppendTicks(record, ticks);
    // Reset before posting: a trigger given once the record is out must start the next
    // acquisition, never fall into the gap between the post and the reset.
    TriggerEvent.Reset();
    PostCrossThreadEvent(FReceiver, new TSampleEvent(std::move(record), run));
}

void TMeasurementWorker::PostError(const std::string& message) {
    PostCrossThreadEvent(FReceiver, new TWorkerErrorEvent(QString::fromStdString(message)));
}
