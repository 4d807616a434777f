#pragma once

#include "link/hid/HidBackend.h"

#include <QObject>
#include <QString>

#include <functional>
#include <stdexcept>
#include <vector>

class THidDevice;

// A change pass that cannot set up a device stops with this error.
class EHidControllerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Keeps the list of present HID devices, tells its owner when that set changes, and hands out
// device objects by check-out. Runs on the window's thread.
class THidDeviceController : public QObject {
    Q_OBJECT
public:
    // The backend must outlive the controller. The first change pass is posted now and runs
    // once the event loop runs.
    explicit THidDeviceController(THidBackend& backend, QObject* parent = nullptr);
    ~THidDeviceController() override;

    // Called at the end of a change pass that found an arrival or a removal, and after the
    // first pass.
    std::function<void()> OnDeviceChange;
    // A change pass stopped with an error; without a handler it goes to the log.
    std::function<void(const QString& message)> OnError;
    // Called by Enumerate for each plugged-in device that is not checked out; false stops.
    std::function<bool(THidDevice* device)> OnEnumerate;

    // The reader wait slice given to new device objects, ms.
    int DevThreadSleepTime = 100;

    // Hands out the first entry that is not checked out yet; false when there is none.
    bool CheckOut(THidDevice*& device);
    void Enumerate();

    // The device list in the order found.
    const std::vector<THidDevice*>& Devices() const { return FDevices; }
    bool PassRunning() const { return FPassRunning; }

private:
    friend class THidDevice;

    void DeviceChangeBroadcast();
    void ChangePass(bool initial);
    THidDevice* CreateCandidate(const THidDeviceInfo& info);
    // A checked-out device is being destroyed by its holder.
    void DeviceReleased(THidDevice* device);

    THidBackend& FBackend;
    std::vector<THidDevice*> FDevices;
    bool FPassRunning = false;
    bool FChangePending = false;
};
