#pragma once

#include "model/ManualResetEvent.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The trigger thread: one pass per request triggers every meter's worker, at once or, in
// serial acquisition, one after another with a pause. It triggers the meters' events, never
// the models, so a meter that discovery frees meanwhile is never touched.
class TTriggerThread {
public:
    TTriggerThread();
    // Ends the thread and waits for it.
    ~TTriggerThread();

    TTriggerThread(const TTriggerThread&) = delete;
    TTriggerThread& operator=(const TTriggerThread&) = delete;

    // Requests one pass; returns at once. A request that comes while a pass runs is lost.
    void Do_Measurement() { hGlobalMesEvent.Set(); }
    // The meters' trigger events in list order; discovery hands in each new set.
    void SetMeters(std::vector<std::shared_ptr<TManualResetEvent>> meters);

    TManualResetEvent hGlobalMesEvent;

private:
    void Execute();
    // Sleeps, unless the thread is being ended.
    void Pause(int milliseconds);

    std::mutex FMetersLock; // the meter list, handed over by discovery
    std::vector<std::shared_ptr<TManualResetEvent>> FMeters;
    std::atomic<bool> FTerminated{false};
    TManualResetEvent FTerminateEvent;
    std::thread FThread;
};
