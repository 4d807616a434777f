#include "link/hid/VirtualHidBus.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <thread>

using Clock = std::chrono::steady_clock;

namespace {

// A sleep ends up to this much late; the rest of a wait is spent spinning.
constexpr auto SleepOvershoot = std::chrono::microseconds(200);

} // namespace

void WaitPreciselyUntil(Clock::time_point at) {
    if (at - Clock::now() > SleepOvershoot)
        std::this_thread::sleep_until(at - SleepOvershoot);
    // A plain spin: yielding would hand the core to another thread for a whole time slice.
    while (Clock::now() < at) {
    }
}

// ---------------------------------------------------------------------------------------------
// The device side

TVirtualHidDevice::~TVirtualHidDevice() = default;

void TVirtualHidDevice::AttachHost(TVirtualHidHost* host) {
    std::lock_guard lock(FHostLock);
    FHost = host;
}

void TVirtualHidDevice::SendInputReport(const std::vector<std::uint8_t>& report,
                                        Clock::time_point deliverAt) {
    std::lock_guard lock(FHostLock);
    if (FHost)
        FHost->InputReport(report, deliverAt);
}

// ---------------------------------------------------------------------------------------------
// A handle to a device on the bus

class TVirtualConnection final : public THidConnection {
public:
    TVirtualConnection(TVirtualHidBus* bus, std::shared_ptr<TVirtualHidDevice> device,
                       EHidAccess access)
        : FBus(bus)
        , FDevice(std::move(device))
        , FAccess(access) {}

    ~TVirtualConnection() override {
        if (TVirtualHidBus* bus = FBus.load())
            bus->Detach(this);
    }

    bool Identify() override { return !Gone(); }
    std::optional<QString> ProductString() override {
        return Gone() ? std::nullopt : std::optional(FDevice->Product());
    }
    std::optional<QString> SerialString() override {
        return Gone() ? std::nullopt : std::optional(FDevice->Serial());
    }
    std::optional<std::vector<std::uint8_t>> ReportDescriptor() override {
        if (Gone())
            return std::nullopt;
        return FDevice->ReportDescriptor();
    }

    int SetInputQueueDepth(int requested) override {
        std::lock_guard lock(FLock);
        if (FShutdown || FAccess == EHidAccess::QueryOnly)
            return 0;
        FDepth = std::clamp(requested, 2, TVirtualHidBus::MaxQueueDepth);
        while (int(FQueue.size()) > FDepth)
            FQueue.pop_front();
        return FDepth;
    }

    bool Write(const std::uint8_t* report, std::size_t length) override {
        return CanWrite() &&
               FDevice->OutputReport(report, length, TVirtualHidDevice::EPipe::Interrupt) &&
               !Gone();
    }

    bool SetOutputReport(const std::uint8_t* report, std::size_t length) override {
        return CanWrite() &&
               FDevice->OutputReport(report, length, TVirtualHidDevice::EPipe::Control) && !Gone();
    }

    bool SetFeature(const std::uint8_t* report, std::size_t length) override {
        return CanWrite() && FDevice->FeatureReport(report, length) && !Gone();
    }

    EHidReadResult Read(std::uint8_t* buffer, std::size_t length, std::size_t& count,
                        int timeoutMs) override {
        count = 0;
        if (FAccess == EHidAccess::QueryOnly)
            return EHidReadResult::Failed;
        const auto deadline = timeoutMs < 0 ? Clock::time_point::max()
                                            : Clock::now() + std::chrono::milliseconds(timeoutMs);
        std::unique_lock lock(FLock);
        for (;;) {
            if (FShutdown)
                return EHidReadResult::Failed;
            const auto now = Clock::now();
            if (!FQueue.empty() && FQueue.front().DeliverAt <= now) {
                const std::vector<std::uint8_t>& report = FQueue.front().Bytes;
                count = std::min(length, report.size());
                std::memcpy(buffer, report.data(), count);
                FQueue.pop_front();
                return EHidReadResult::Ok;
            }
            if (now >= deadline)
                return EHidReadResult::TimedOut;
            // Wake for a new report or the deadline, and at the next report's delivery time:
            // to the microsecond on a read-write handle, where a transfer waits for its answer;
            // a reader's own handle needs no such precision and spends no time spinning.
            const bool precise = FAccess == EHidAccess::ReadWrite;
            if (precise && !FQueue.empty() && FQueue.front().DeliverAt <= deadline &&
                FQueue.front().DeliverAt - now <= SleepOvershoot) {
                const auto due = FQueue.front().DeliverAt;
                lock.unlock();
                WaitPreciselyUntil(due);
                lock.lock();
                continue;
            }
            auto wakeAt = deadline;
            if (!FQueue.empty())
                wakeAt = std::min(wakeAt, FQueue.front().DeliverAt -
                                              (precise ? SleepOvershoot : Clock::duration{}));
            if (wakeAt == Clock::time_point::max())
                FChanged.wait(lock);
            else
                FChanged.wait_until(lock, wakeAt);
        }
    }

    void Shutdown() override {
        {
            std::lock_guard lock(FLock);
            FShutdown = true;
            FQueue.clear();
        }
        FChanged.notify_all();
    }

    // From the bus: one input report for this handle's queue.
    void Enqueue(const std::vector<std::uint8_t>& report, Clock::time_point deliverAt) {
        if (FAccess == EHidAccess::QueryOnly)
            return;
        {
            std::lock_guard lock(FLock);
            if (FShutdown)
                return;
            // A full queue takes no further report, as hidraw's ring does: what is queued stays
            // in order, and the reader finds out by the answer that never comes.
            if (int(FQueue.size()) >= FDepth)
                return;
            FQueue.push_back({report, deliverAt});
        }
        FChanged.notify_all();
    }

    // From the bus when it goes first.
    void Orphan() {
        FBus = nullptr;
        Shutdown();
    }

private:
    struct TQueued {
        std::vector<std::uint8_t> Bytes;
        Clock::time_point DeliverAt;
    };

    bool Gone() {
        std::lock_guard lock(FLock);
        return FShutdown;
    }
    bool CanWrite() { return FAccess == EHidAccess::ReadWrite && !Gone(); }

    std::atomic<TVirtualHidBus*> FBus;
    const std::shared_ptr<TVirtualHidDevice> FDevice;
    const EHidAccess FAccess;
    std::mutex FLock;
    std::condition_variable FChanged;
    std::deque<TQueued> FQueue;
    int FDepth = TVirtualHidBus::DefaultQueueDepth;
    bool FShutdown = false;
};

// ---------------------------------------------------------------------------------------------
// The bus

struct TVirtualHidBus::TPort final : TVirtualHidHost {
    TVirtualHidBus* Bus = nullptr;
    std::shared_ptr<TVirtualHidDevice> Device;
    bool ReadWriteAllowed = true;
    std::vector<TVirtualConnection*> Connections; // guarded by the bus's lock

    void InputReport(const std::vector<std::uint8_t>& report,
                     Clock::time_point deliverAt) override {
        std::lock_guard lock(Bus->FLock);
        for (TVirtualConnection* connection : Connections)
            connection->Enqueue(report, deliverAt);
    }
};

TVirtualHidBus::TVirtualHidBus(QObject* parent)
    : THidBackend(parent) {}

TVirtualHidBus::~TVirtualHidBus() {
    std::vector<int> ports;
    {
        std::lock_guard lock(FLock);
        for (const auto& [number, port] : FPorts)
            ports.push_back(number);
    }
    for (int number : ports)
        Unplug(number);
}

int TVirtualHidBus::Plug(std::shared_ptr<TVirtualHidDevice> device, bool readWriteAllowed) {
    auto port = std::make_unique<TPort>();
    port->Bus = this;
    port->Device = device;
    port->ReadWriteAllowed = readWriteAllowed;
    TPort* host = port.get();
    int number;
    {
        std::lock_guard lock(FLock);
        number = FNextPort++;
        FPorts.emplace(number, std::move(port));
    }
    device->AttachHost(host);
    emit DevicesChanged();
    return number;
}

void TVirtualHidBus::Unplug(int number) {
    std::unique_ptr<TPort> port;
    {
        std::lock_guard lock(FLock);
        const auto it = FPorts.find(number);
        if (it == FPorts.end())
            return;
        port = std::move(it->second);
        FPorts.erase(it);
        // The handles stay with their holders; from now on every transfer on them fails.
        for (TVirtualConnection* connection : port->Connections)
            connection->Orphan();
    }
    // Outside the bus's lock: a device sending a report holds its host lock, then takes ours.
    port->Device->AttachHost(nullptr);
    emit DevicesChanged();
}

void TVirtualHidBus::Unplug(const std::shared_ptr<TVirtualHidDevice>& device) {
    int number = 0;
    {
        std::lock_guard lock(FLock);
        for (const auto& [n, port] : FPorts)
            if (port->Device == device)
                number = n;
    }
    Unplug(number);
}

std::vector<std::shared_ptr<TVirtualHidDevice>> TVirtualHidBus::PluggedDevices() const {
    std::lock_guard lock(FLock);
    std::vector<std::shared_ptr<TVirtualHidDevice>> devices;
    for (const auto& [number, port] : FPorts)
        devices.push_back(port->Device);
    return devices;
}

std::vector<THidDeviceInfo> TVirtualHidBus::Enumerate() {
    std::lock_guard lock(FLock);
    std::vector<THidDeviceInfo> devices;
    for (const auto& [number, port] : FPorts)
        devices.push_back(
            {"virtual:" + std::to_string(number), "VIRTUALBUS\\PORT_" + std::to_string(number)});
    return devices;
}

std::unique_ptr<THidConnection> TVirtualHidBus::Open(const THidDeviceInfo& device,
                                                     EHidAccess access) {
    const std::string prefix = "virtual:";
    if (device.Path.rfind(prefix, 0) != 0)
        return nullptr;
    const int number = std::atoi(device.Path.c_str() + prefix.size());
    std::lock_guard lock(FLock);
    const auto it = FPorts.find(number);
    if (it == FPorts.end())
        return nullptr;
    TPort& port = *it->second;
    if (access == EHidAccess::ReadWrite && !port.ReadWriteAllowed)
        return nullptr;
    auto connection = std::make_unique<TVirtualConnection>(this, port.Device, access);
    port.Connections.push_back(connection.get());
    return connection;
}

void TVirtualHidBus::Detach(TVirtualConnection* connection) {
    std::lock_guard lock(FLock);
    for (auto& [number, port] : FPorts)
        std::erase(port->Connections, connection);
}
