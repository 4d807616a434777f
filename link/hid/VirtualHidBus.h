#pragma once

#include "link/hid/HidBackend.h"

#include <chrono>
#include <map>
#include <mutex>
#include <vector>

class TVirtualHidBus;
class TVirtualConnection;

// Waits until the time point within a few microseconds: the virtual bus models USB transfer
// times of about a millisecond, which a plain sleep overshoots by a tenth.
void WaitPreciselyUntil(std::chrono::steady_clock::time_point at);

// What a plugged-in virtual device sends its input reports to: a port of the virtual bus, or
// the test fixture behind /dev/hidrawN.
class TVirtualHidHost {
public:
    // Delivers one input report (report[0] the report ID), readable from deliverAt on.
    virtual void InputReport(const std::vector<std::uint8_t>& report,
                             std::chrono::steady_clock::time_point deliverAt) = 0;

protected:
    ~TVirtualHidHost() = default;
};

// A device that can be plugged into the virtual USB bus: a virtual meter, or a foreign HID
// device. Its handlers are called on the host's threads; a device guards its own state.
class TVirtualHidDevice {
public:
    enum class EPipe { Interrupt, Control };

    virtual ~TVirtualHidDevice();

    virtual QString Product() const = 0;
    virtual QString Serial() const = 0;
    virtual std::vector<std::uint8_t> ReportDescriptor() const = 0;

    // A report from the host (report[0] the report ID); true when the device accepts it. May
    // block for as long as the transfer takes.
    virtual bool OutputReport(const std::uint8_t* report, std::size_t length, EPipe pipe) = 0;
    virtual bool FeatureReport(const std::uint8_t* report, std::size_t length) = 0;

    // Plugs the device into a host, or pulls it out with nullptr. The host must not hold a
    // lock of its own here that it also takes in InputReport.
    void AttachHost(TVirtualHidHost* host);

protected:
    // Sends an input report to the host, readable from deliverAt on. Dropped while the device
    // is not plugged in.
    void SendInputReport(
        const std::vector<std::uint8_t>& report,
        std::chrono::steady_clock::time_point deliverAt = std::chrono::steady_clock::now());

private:
    std::mutex FHostLock;
    TVirtualHidHost* FHost = nullptr;
};

// An in-process USB bus: devices are plugged in and pulled out at any time, from any thread,
// and the bus raises the same change notifications as the platform does.
class TVirtualHidBus final : public THidBackend {
    Q_OBJECT
public:
    explicit TVirtualHidBus(QObject* parent = nullptr);
    ~TVirtualHidBus() override;

    // Plugs a device in and returns its port number. readWriteAllowed false refuses read-write
    // handles, as the platform does for a device the user may not open.
    int Plug(std::shared_ptr<TVirtualHidDevice> device, bool readWriteAllowed = true);
    // Pulls the device out: every handle to it fails from now on, a pending read included.
    void Unplug(int port);
    void Unplug(const std::shared_ptr<TVirtualHidDevice>& device);
    std::vector<std::shared_ptr<TVirtualHidDevice>> PluggedDevices() const;

    // The deepest input-report queue a handle may ask for: as deep as hidraw's, whose ring of
    // 64 entries per open file keeps one free. A handle that asks for nothing gets as much.
    static constexpr int MaxQueueDepth = 63;
    static constexpr int DefaultQueueDepth = MaxQueueDepth;

    std::vector<THidDeviceInfo> Enumerate() override;
    std::unique_ptr<THidConnection> Open(const THidDeviceInfo& device, EHidAccess access) override;

private:
    friend class TVirtualConnection;
    struct TPort;

    void Detach(TVirtualConnection* connection);

    mutable std::mutex FLock;
    std::map<int, std::unique_ptr<TPort>> FPorts; // by port number, in plugging order
    int FNextPort = 1;
};
