#include "AllMesThread.h"

#include "ThreadingSettings.h"

#include <chrono>

TAllMesThread::TAllMesThread()
    : FThread([this] { Execute(); }) {}

TAllMesThread::~TAllMesThread() {
    FTerminated = true;
    FTerminateEvent.Set();
    hGlobalMesEvent.Set();
    FThread.join();
}

void TAllMesThread::SetMeters(std::vector<std::shared_ptr<TManualResetEvent>> meters) {
    std::lock_guard lock(FMetersLock);
    FMeters = std::move(meters);
}

void TAllMesThread::Pause(int milliseconds) {
    // A negative delay from the settings file means no pause.
    if (milliseconds > 0)
        FTerminateEvent.WaitFor(std::chrono::milliseconds(milliseconds));
}

void TAllMesThread::Execute() {
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
