#include "link/hid/HidDeviceController.h"

#include "link/hid/HidDevice.h"

#include <QDebug>
#include <QMetaMethod>
#include <QPointer>

#include <algorithm>
#include <memory>

THidDeviceController::THidDeviceController(THidBackend& backend, QObject* parent)
    : QObject(parent)
    , FBackend(backend) {
    connect(&FBackend, &THidBackend::DevicesChanged, this,
            &THidDeviceController::DeviceChangeBroadcast, Qt::QueuedConnection);
    // The first pass runs from the event loop, once the owner has connected to the signals.
    QMetaObject::invokeMethod(
        this, [this] { ChangePass(true); }, Qt::QueuedConnection);
}

THidDeviceController::~THidDeviceController() {
    for (TEntry& entry : FEntries)
        if (!entry.Owned)
            entry.Device->Detach({});
}

std::unique_ptr<THidDevice> THidDeviceController::CheckOut() {
    for (TEntry& entry : FEntries) {
        if (!entry.Owned)
            continue;
        entry.Owned->HandOut({});
        return std::move(entry.Owned);
    }
    return nullptr;
}

void THidDeviceController::Enumerate(const std::function<bool(THidDevice& device)>& visit) {
    // Guarded copies: visit may check devices out and release them.
    std::vector<QPointer<THidDevice>> devices;
    for (const TEntry& entry : FEntries)
        devices.emplace_back(entry.Device);
    for (const QPointer<THidDevice>& device : devices) {
        if (!device || !device->IsPluggedIn() || device->IsCheckedOut())
            continue;
        device->SetEnumerating(true, {});
        const bool goOn = visit(*device);
        if (device)
            device->SetEnumerating(false, {});
        if (!goOn)
            break;
    }
}

std::vector<THidDevice*> THidDeviceController::Devices() const {
    std::vector<THidDevice*> devices;
    devices.reserve(FEntries.size());
    for (const TEntry& entry : FEntries)
        devices.push_back(entry.Device);
    return devices;
}

void THidDeviceController::DeviceChangeBroadcast() {
    // A broadcast during a pass (a receiver may run a nested event loop) is not lost: one
    // more pass follows the running one.
    if (FPassRunning)
        FChangePending = true;
    else
        ChangePass(false);
}

std::unique_ptr<THidDevice> THidDeviceController::NewDevice(const THidDeviceInfo& info,
                                                            bool readWrite) {
    auto device = std::make_unique<THidDevice>(THidDevice::TControllerKey{}, FBackend, info,
                                               readWrite, DevThreadSleepTime);
    // Direct: the device is being destroyed while the controller learns of it.
    connect(
        device.get(), &THidDevice::Released, this,
        [this, released = device.get()] { DeviceReleased(released); }, Qt::DirectConnection);
    return device;
}

std::unique_ptr<THidDevice> THidDeviceController::CreateCandidate(const THidDeviceInfo& info) {
    bool readWrite = true;
    std::unique_ptr<THidConnection> handle = FBackend.Open(info, EHidAccess::ReadWrite);
    if (!handle) {
        readWrite = false;
        handle = FBackend.Open(info, EHidAccess::QueryOnly);
    }
    if (!handle)
        throw EHidControllerError("Device cannot be opened");
    if (!handle->Identify())
        throw EHidControllerError("Device cannot be identified");
    handle->Shutdown();
    return NewDevice(info, readWrite);
}

void THidDeviceController::ChangePass(bool initial) {
    FPassRunning = true;
    FChangePending = false;
    std::vector<std::unique_ptr<THidDevice>> candidates;
    try {
        for (const THidDeviceInfo& info : FBackend.Enumerate())
            candidates.push_back(CreateCandidate(info));

        const auto hasCandidate = [&](const THidDevice* entry) {
            return std::any_of(candidates.begin(), candidates.end(), [&](const auto& c) {
                return c->InstanceId() == entry->InstanceId();
            });
        };
        bool changed = false;
        // Removals, from the end of the list to its start. A checked-out device that is gone
        // stays in the list until its holder releases it, and counts as a removal each time.
        for (std::size_t i = FEntries.size(); i-- > 0;) {
            THidDevice* device = FEntries[i].Device;
            if (device->IsPluggedIn() && hasCandidate(device))
                continue;
            changed = true;
            device->MarkUnplugged({});
            if (FEntries[i].Owned)
                FEntries.erase(FEntries.begin() + std::ptrdiff_t(i));
        }
        // Arrivals, in the platform's order.
        for (auto& candidate : candidates) {
            const bool known = std::any_of(FEntries.begin(), FEntries.end(), [&](const TEntry& e) {
                return e.Device->IsPluggedIn() && e.Device->InstanceId() == candidate->InstanceId();
            });
            if (known)
                continue;
            THidDevice* device = candidate.get();
            FEntries.push_back({device, std::move(candidate)});
            changed = true;
        }
        if (changed || initial)
            emit DevicesChanged();
    } catch (const std::exception& error) {
        // Later broadcasts must still be seen, so the pass ends as any other.
        if (isSignalConnected(QMetaMethod::fromSignal(&THidDeviceController::ChangePassFailed)))
            emit ChangePassFailed(QString::fromUtf8(error.what()));
        else
            qWarning().noquote() << "HID device change:" << error.what();
    }
    FPassRunning = false;
    if (FChangePending)
        QMetaObject::invokeMethod(this, &THidDeviceController::DeviceChangeBroadcast,
                                  Qt::QueuedConnection);
}

void THidDeviceController::DeviceReleased(THidDevice* device) {
    const auto it = std::find_if(FEntries.begin(), FEntries.end(),
                                 [device](const TEntry& entry) { return entry.Device == device; });
    if (it == FEntries.end())
        return;
    if (device->IsPluggedIn()) {
        it->Owned = NewDevice(device->Info(), device->HasReadWriteAccess());
        it->Device = it->Owned.get();
    } else {
        FEntries.erase(it);
    }
}
