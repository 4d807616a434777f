// A meter's acquisitions end to end (worker, bridge, HID layer, virtual bus) with 1 ms per
// report, as on a USB full-speed link:
// - triggered_overhead_ratio: a triggered acquisition's Ticks against the time it needs at
//   least: its conversion plus the fewest bridge transactions (one register write, the status
//   read that finds the conversion done, one value read);
// - continuous_capture_ratio: records delivered against conversions the converter made, over
//   30 s of continuous conversion at 11.0 ms.
#include "link/HidBridge.h"
#include "link/hid/HidDevice.h"
#include "link/hid/HidDeviceController.h"
#include "link/hid/VirtualHidBus.h"
#include "model/Meter.h"
#include "sim/VirtualMeter.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <memory>

namespace {

using namespace std::chrono_literals;

constexpr auto Latency = 1ms;

// The event loop as the program runs it, for a while.
void RunEventLoopFor(std::chrono::milliseconds time) {
    QEventLoop loop;
    QTimer::singleShot(time, &loop, &QEventLoop::quit);
    loop.exec();
}

// The event loop until done() holds (checked after every event that ends a wait) or the limit.
template <class Predicate>
bool RunEventLoopUntil(Predicate done, std::chrono::milliseconds limit) {
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    check.start(1);
    QTimer::singleShot(limit, &loop, &QEventLoop::quit);
    if (!done())
        loop.exec();
    return done();
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    TVirtualHidBus bus;
    auto meter = std::make_shared<TVirtualMeter>(QStringLiteral("BENCH"));
    meter->SetLatency(Latency);
    meter->SetInputCapacitance(1, 0.5);
    bus.Plug(meter);
    THidDeviceController controller(bus);
    QCoreApplication::processEvents();
    auto device = controller.CheckOut();
    if (!device) {
        std::fprintf(stderr, "no meter\n");
        return 1;
    }

    TMeter model;
    model.SetUpBridge(std::make_unique<THidBridge>(std::move(device)));
    model.SetCAP1Mode(1); // channel 1 alone: one capacitive conversion of 62.0 ms
    model.SetRegsFromConfig();
    std::uint64_t records = 0;
    double ticksSum = 0;
    QObject::connect(&model, &TMeter::DataReceived,
                     [&](int, std::span<const double>, std::uint32_t ticks) {
                         ++records;
                         ticksSum += ticks;
                     });
    QObject::connect(&model, &TMeter::ErrorOccurred, [](const QString& message) {
        std::fprintf(stderr, "error: %s\n", qPrintable(message));
    });

    // Triggered acquisitions, one after another.
    constexpr int Acquisitions = 30;
    model.StartMes();
    for (int i = 0; i < Acquisitions; ++i) {
        const std::uint64_t before = records;
        model.TriggerMeasurement();
        if (!RunEventLoopUntil([&] { return records > before; }, 5000ms)) {
            std::fprintf(stderr, "acquisition %d posted nothing\n", i);
            return 1;
        }
    }
    model.StopMes();
    const double conversionMs = 62.0;
    const double fewestTransactionsMs =
        7 * std::chrono::duration<double, std::milli>(Latency).count();
    std::printf("triggered_ticks_ms = %.2f\n", ticksSum / Acquisitions);
    std::printf("triggered_overhead_ratio = %.3f\n",
                ticksSum / Acquisitions / (conversionMs + fewestTransactionsMs));

    // A continuous run at the fastest conversion time.
    records = 0;
    const int lostBefore = meter->LostResults();
    model.SetContinuousModeInterval(0);
    model.SetContinuousMode(true);
    model.StartMes();
    RunEventLoopFor(30s);
    model.StopMes();
    RunEventLoopFor(200ms);
    model.SetContinuousMode(false);
    const int lost = meter->LostResults() - lostBefore;
    std::printf("continuous_records = %llu\n", static_cast<unsigned long long>(records));
    std::printf("continuous_lost = %d\n", lost);
    std::printf("continuous_capture_ratio = %.5f\n", double(records) / double(records + lost));
    return 0;
}
