#pragma once

#include "link/Bridge.h"

#include <QEvent>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class QObject;
class QThread;
class TManualResetEvent;

// A sample record from the worker, posted to its receiver (the meter's model); the event owns the
// record. Run is the worker's run number when the acquisition began.
class TSampleEvent final : public QEvent {
public:
    static QEvent::Type EventType();
    explicit TSampleEvent(std::string record, std::uint32_t run = 0)
        : QEvent(EventType())
        , Record(std::move(record))
        , Run(run) {}
    std::string Record;
    std::uint32_t Run;
};

// A device error met by the worker, posted to its receiver.
class TWorkerErrorEvent final : public QEvent {
public:
    static QEvent::Type EventType();
    explicit TWorkerErrorEvent(QString message)
        : QEvent(EventType())
        , Message(std::move(message)) {}
    QString Message;
};

// One lock for the value reads of all meters, taken only while ThreadSafetyLevel is 3.
std::mutex& AcquisitionLock();

// How long a triggered acquisition of this image takes at least: the conversions it runs, by
// the image's conversion times, chop and clock bits, each twice in SMode 2, times the repeats,
// and the bridge's transfers around them. A timer-mode tick shorter than this finds no new
// result of the meter.
std::chrono::milliseconds TriggeredAcquisitionTime(const TRegData& image, int repeats, int sMode);

// A meter's measurement worker: on every trigger it lights the LED, programs the converter,
// waits for the conversions, reads the results, darkens the LED and posts the raw bytes as a
// sample record to its receiver on the window's thread. In continuous mode one trigger starts a
// run that posts a record for every converter result until the mode is switched off.
//
// The window's thread writes the register image (whole, under the image lock) and the
// atomics; the worker reads them. A device error is posted to the receiver as an error notice
// and the worker waits for the next trigger. The destructor ends the thread and waits for it.
class TMeasurementWorker {
public:
    // Every acquisition holds bridgeLock, which the bridge's other users on this meter take
    // too. The bridge, the lock, the receiver and the trigger must outlive the worker.
    TMeasurementWorker(TBridge& bridge, std::mutex& bridgeLock, QObject* receiver,
                       TManualResetEvent& TriggerEvent);
    ~TMeasurementWorker();

    TMeasurementWorker(const TMeasurementWorker&) = delete;
    TMeasurementWorker& operator=(const TMeasurementWorker&) = delete;

    // The live register image, copied whole.
    TRegData RegData() const;
    void SetRegData(const TRegData& regData);
    // Changes the image in one step under the image lock.
    template <class Change>
    void ChangeRegData(Change&& change) {
        std::lock_guard lock(FImageLock);
        change(FRegData);
    }

    // Acquisition mode for channel switching: 0 "Direct", 1 "Pre Set", 2 "Double Acq".
    std::atomic<int> SMode{1};
    // While true, a trigger starts a continuous run; clearing it ends a running one.
    std::atomic<bool> ContinuousMode{false};
    // Repeats per triggered acquisition: 1, 3 or 5.
    std::atomic<int> Repeats{1};
    // Advanced by the model at every start and stop of a run. An acquisition carries the number
    // it began under, so that a result measured before a Stop never counts in the next run; a
    // continuous run ends when the number moves on.
    std::atomic<std::uint32_t> RunNumber{0};

    // Ends the thread at its next check and waits for it.
    void Terminate();

    // A continuous run holds the meter's bridge until it is switched off.
    bool InContinuousRun() const { return FInContinuousRun; }
    // Starts a continuous run (ContinuousMode must be set) as soon as the worker is free, also
    // when a triggered acquisition is running now and takes the trigger with its record.
    void StartContinuousRun();
    // Takes back a run asked for but not started.
    void CancelContinuousRun() { FContinuousRunAsked = false; }

private:
    void Execute();
    void AcquireTriggered(std::uint32_t run);
    void AcquireContinuous(std::uint32_t run);
    // One conversion: send the setup by mode, wait until it is done, read the values into w.
    void Convert(TRegData& w, int sMode, bool direct);
    // Leaves the acquisition when the worker is being ended meanwhile.
    void WaitWhileBusy();
    void PostSampleRecord(std::string record, std::uint32_t ticks, std::uint32_t run);
    void PostError(const std::string& message);
    bool Terminated() const { return FTerminated; }

    TBridge& FBridge;
    std::mutex& FBridgeLock;
    QObject* const FReceiver;
    TManualResetEvent& TriggerEvent;
    mutable std::mutex FImageLock;
    TRegData FRegData{};
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FInContinuousRun{false};
    std::atomic<bool> FContinuousRunAsked{false};
    std::unique_ptr<QThread> FThread;
    std::mutex FExitLock;
};
