#pragma once

#include <atomic>

// The process-wide threading values that the window sets from the settings file and the
// worker and trigger threads read.
struct TThreadingSettings {
    // 3 makes the worker threads of all meters serialise their bridge reads through one lock.
    std::atomic<int> ThreadSafetyLevel{2};
    // Serial acquisition: the trigger thread triggers one meter after another.
    std::atomic<bool> Serial{false};
    // Pause in milliseconds after each meter in serial acquisition.
    std::atomic<int> TriggerWait{1000};
};

// The one instance of the process.
inline TThreadingSettings& Threading() {
    static TThreadingSettings settings;
    return settings;
}
