#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

// An event that stays signalled until it is reset, and releases every waiter while it is.
class TManualResetEvent {
public:
    void Set() {
        {
            std::lock_guard lock(FLock);
            FSignalled = true;
        }
        FChanged.notify_all();
    }
    void Reset() {
        std::lock_guard lock(FLock);
        FSignalled = false;
    }
    bool IsSet() const {
        std::lock_guard lock(FLock);
        return FSignalled;
    }
    void Wait() {
        std::unique_lock lock(FLock);
        FChanged.wait(lock, [this] { return FSignalled; });
    }
    // Waits until the event is signalled or stop is true; the one who sets stop then calls Set.
    void WaitOr(const std::atomic<bool>& stop) {
        std::unique_lock lock(FLock);
        FChanged.wait(lock, [&] { return FSignalled || stop.load(); });
    }
    // True when signalled within the time.
    template <class Rep, class Period>
    bool WaitFor(std::chrono::duration<Rep, Period> timeout) {
        std::unique_lock lock(FLock);
        return FChanged.wait_for(lock, timeout, [this] { return FSignalled; });
    }

private:
    mutable std::mutex FLock;
    std::condition_variable FChanged;
    bool FSignalled = false;
};
