#include "app/core/TriggerThread.h"

#include "model/ThreadingSettings.h"

#include <chrono>

TTriggerThread::TTriggerThread()
    : FThread([this] { Execute(); }) {}

TTriggerThread::~TTriggerThread() {
    FTerminated = true;
    FTerminateEvent.Set();
    hGlobalMesEvent.Set();
    FThread.join();
}

void TTriggerThread::SetMeters(std::vector<std::shared_ptr<TManualResetEvent>> meters) {
    std::lock_guard lock(FMetersLock);
    FMeters = std::move(meters);
}

void TTriggerThread::Pause(int milliseconds) {
    // A negative delay from the settings file means no pause.
    if (milliseconds > 0)
        FTerminateEvent.WaitFor(std::chrono::milliseconds(milliseconds));
}

void TTriggerThread::Execute() {
    for (;;) {
        hGlobalMesEvent.WaitOr(FTerminated);
        if (FTerminated)
            return;
        std::vector<std::shared_ptr<TManualResetEvent>> meters;
        {
            std::lock_guard lock(FMetersLock);
            meters = FMeters;
        }
        const bool serial = Threading().Serial;
        for (const auto& meter : meters) {
            if (FTerminated)
                return;
            meter->Set();
            if (serial)
                Pause(Threading().TriggerWait);
        }
        hGlobalMesEvent.Reset();
    }
}
