#pragma once

#include "link/hid/HidBackend.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

class THidDevice;

// A change pass that cannot set up a device stops with this error.
class EHidControllerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Keeps the list of present HID devices, signals when that set changes, and hands out device
// objects by check-out. Runs on the window's thread.
class THidDeviceController : public QObject {
    Q_OBJECT
public:
    // The backend must outlive the controller. The first change pass is posted now and runs
    // once the event loop runs.
    explicit THidDeviceController(THidBackend& backend, QObject* parent = nullptr);
    // Devices not checked out go with the controller; checked-out ones stay with their
    // holders, unplugged.
    ~THidDeviceController() override;

    // The reader wait slice given to new device objects, ms.
    int DevThreadSleepTime = 100;

    // Hands out the first entry that is not checked out yet; nothing when there is none. The
    // holder releases the device by destroying it, on this thread.
    std::unique_ptr<THidDevice> CheckOut();
    // Shows visit each plugged-in device that is not checked out; visit may query it and check
    // devices out. Its false stops.
    void Enumerate(const std::function<bool(THidDevice& device)>& visit);

    // The device list in the order found, checked-out devices included.
    std::vector<THidDevice*> Devices() const;
    bool PassRunning() const { return FPassRunning; }

signals:
    // At the end of a change pass that found an arrival or a removal, and after the first pass.
    void DevicesChanged();
    // A change pass stopped with an error; with no receiver it goes to the log.
    void ChangePassFailed(const QString& message);

private:
    // A device of the list, owned here until it is checked out.
    struct TEntry {
        THidDevice* Device;
        std::unique_ptr<THidDevice> Owned;
    };

    void DeviceChangeBroadcast();
    void ChangePass(bool initial);
    std::unique_ptr<THidDevice> NewDevice(const THidDeviceInfo& info, bool readWrite);
    std::unique_ptr<THidDevice> CreateCandidate(const THidDeviceInfo& info);
    // A checked-out device is being destroyed by its holder.
    void DeviceReleased(THidDevice* device);

    THidBackend& FBackend;
    std::vector<TEntry> FEntries;
    bool FPassRunning = false;
    bool FChangePending = false;
};
