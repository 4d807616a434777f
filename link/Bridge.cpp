#include "link/Bridge.h"

bool WaitForConversion(TBridge& bridge, std::chrono::milliseconds timeout,
                       const std::atomic<bool>* stop) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (bridge.ReadStatus() & StatusBusy) {
        if (stop && *stop)
            return false;
        if (std::chrono::steady_clock::now() >= deadline)
            throw EHIDError("Conversion did not complete");
    }
    return true;
}
