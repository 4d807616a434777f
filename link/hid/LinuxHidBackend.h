#pragma once

#include "link/hid/HidBackend.h"

#include <memory>

class QSocketNotifier;
struct udev;
struct udev_monitor;

// The Linux platform: libudev enumeration of hidraw devices, hot-plug from a udev monitor, and
// transfers on /dev/hidrawN.
class TLinuxHidBackend final : public THidBackend {
    Q_OBJECT
public:
    explicit TLinuxHidBackend(QObject* parent = nullptr);
    ~TLinuxHidBackend() override;

    std::vector<THidDeviceInfo> Enumerate() override;
    std::unique_ptr<THidConnection> Open(const THidDeviceInfo& device, EHidAccess access) override;

private:
    struct TUdevUnref {
        void operator()(udev* context) const;
    };
    struct TMonitorUnref {
        void operator()(udev_monitor* monitor) const;
    };

    void ReceiveUevents();

    // Used on the creating thread only: a udev context must not be shared between threads.
    std::unique_ptr<udev, TUdevUnref> FUdev;
    std::unique_ptr<udev_monitor, TMonitorUnref> FMonitor;
    QSocketNotifier* FNotifier = nullptr;
};
