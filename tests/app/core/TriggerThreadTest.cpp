#include "app/core/TriggerThread.h"

#include "model/ThreadingSettings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(TriggerThreadTest, SerialAcquisitionSpacesTheTriggers) {
    Threading().Serial = true;
    Threading().TriggerWait = 60;
    TTriggerThread thread;
    std::vector<std::shared_ptr<TManualResetEvent>> meters;
    for (int i = 0; i < 3; ++i)
        meters.push_back(std::make_shared<TManualResetEvent>());
    thread.SetMeters(meters);
    const auto start = std::chrono::steady_clock::now();
    thread.Do_Measurement();
    std::vector<std::chrono::steady_clock::duration> at;
    for (const auto& meter : meters) {
        ASSERT_TRUE(meter->WaitFor(5s));
        at.push_back(std::chrono::steady_clock::now() - start);
    }
    // Measured from before the first trigger, so that a late look at a trigger only adds:
    // the second and third come one and two waits after the first.
    EXPECT_GE(at[1], 60ms);
    EXPECT_GE(at[2], 120ms);
    Threading().Serial = false;
    Threading().TriggerWait = 1000;
}

} // namespace
