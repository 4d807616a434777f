// One read transaction of the bridge (request, force send, response: three reports) on the
// virtual bus with 1 ms per report, against the 3 ms it needs at least.
#include "link/hid/HidDevice.h"
#include "link/hid/HidDeviceController.h"
#include "link/hid/VirtualHidBus.h"
#include "sim/VirtualMeter.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    using Clock = std::chrono::steady_clock;
    constexpr auto Latency = std::chrono::milliseconds(1);
    constexpr int Transactions = 300;

    TVirtualHidBus bus;
    auto meter = std::make_shared<TVirtualMeter>(QStringLiteral("BENCH"));
    meter->SetLatency(Latency);
    bus.Plug(meter);
    THidDeviceController controller(bus);
    QCoreApplication::processEvents();
    auto device = controller.CheckOut();
    if (!device) {
        std::fprintf(stderr, "no device\n");
        return 1;
    }
    const THidCaps caps = device->Caps();

    std::vector<double> seconds;
    seconds.reserve(Transactions);
    for (int i = 0; i < Transactions; ++i) {
        std::uint8_t request[65] = {0x10, 0x90, 0x00, 0x07};
        std::uint8_t force[65] = {0x12, 0x00, 0x07};
        std::uint8_t response[65] = {};
        std::size_t count = 0;
        const auto start = Clock::now();
        if (!device->WriteFile(request, std::size_t(caps.OutputReportByteLength), count) ||
            !device->WriteFile(force, std::size_t(caps.OutputReportByteLength), count) ||
            device->ReadFile(response, std::size_t(caps.InputReportByteLength), count, 1000) !=
                EHidReadResult::Ok) {
            std::fprintf(stderr, "transaction %d failed\n", i);
            return 1;
        }
        seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    device.reset();

    std::sort(seconds.begin(), seconds.end());
    const double median = seconds[seconds.size() / 2];
    const double minimum = 3 * std::chrono::duration<double>(Latency).count();
    std::printf("read_transaction_ms = %.3f\n", median * 1000);
    std::printf("read_transaction_ratio = %.3f\n", median / minimum);
    return 0;
}
