#include "link/hid/HidDeviceController.h"

#include "link/hid/HidDevice.h"

#include <QDebug>

#include <algorithm>
#include <memory>

THidDeviceController::THidDeviceController(THidBackend& backend, QObject* parent)
    : QObject(parent)
    , FBackend(backend) {
    connect(&FBackend, &THidBackend::DevicesChanged, this,
            &THidDeviceController::DeviceChangeBroadcast, Qt::QueuedConnection);
    // The first pass runs from the event loop, once the owner is ready for its notification.
    QMetaObject::invokeMethod(
        this, [this] { ChangePass(true); }, Qt::QueuedConnection);
}

THidDeviceController::~THidDeviceController() {
    OnDeviceChange = nullptr;
    OnError = nullptr;
    OnEnumerate = nullptr;
    // Checked-out devices stay with their holders, unplugged; the others go now.
    for (THidDevice* device : FDevices) {
        if (device->IsCheckedOut())
            device->Detach();
        else
            delete device;
    }
}

bool THidDeviceController::CheckOut(THidDevice*& device) {
    device = nullptr;
    for (THidDevice* entry : FDevices) {
        if (entry->IsCheckedOut())
            continue;
        entry->FCheckedOut = true;
        if (entry->FOnData)
            entry->StartReader();
        device = entry;
        return true;
    }
    return false;
}

void THidDeviceController::Enumerate() {
    if (!OnEnumerate)
        return;
    // A copy: the handler may check devices out.
    const std::vector<THidDevice*> devices = FDevices;
    for (THidDevice* device : devices) {
        if (!device->IsPluggedIn() || device->IsCheckedOut())
            continue;
        device->FEnumerating = true;
        const bool goOn = OnEnumerate(device);
        device->FEnumerating = false;
        if (!goOn)
            break;
    }
}

void THidDeviceController::DeviceChangeBroadcast() {
    // A broadcast during a pass (its handler may run a nested event loop) is not lost: one
    // more pass follows the running one.
    if (FPassRunning)
        FChangePending = true;
    else
        ChangePass(false);
}

THidDevice* THidDeviceController::CreateCandidate(const THidDeviceInfo& info) {
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
    return new THidDevice(this, &FBackend, info, readWrite, DevThreadSleepTime);
}

void THidDeviceController::ChangePass(bool initial) {
    FPassRunning = true;
    FChangePending = false;
    std::vector<std::unique_ptr<THidDevice>> candidates;
    try {
        for (const THidDeviceInfo& info : FBackend.Enumerate())
            candidates.emplace_back(CreateCandidate(info));

        const auto hasCandidate = [&](const THidDevice* entry) {
            return std::any_of(candidates.begin(), candidates.end(), [&](const auto& c) {
                return c->InstanceId() == entry->InstanceId();
            });
        };
        bool changed = false;
        // Removals, from the end of the list to its start. A checked-out device that is gone
        // stays in the list until its holder releases it, and counts as a removal each time.
        for (std::size_t i = FDevices.size(); i-- > 0;) {
            THidDevice* entry = FDevices[i];
            if (entry->IsPluggedIn() && hasCandidate(entry))
                continue;
            changed = true;
            entry->MarkUnplugged();
            if (!entry->IsCheckedOut()) {
                FDevices.erase(FDevices.begin() + std::ptrdiff_t(i));
                delete entry;
            }
        }
        // Arrivals, in the platform's order.
        for (auto& candidate : candidates) {
            const bool known = std::any_of(FDevices.begin(), FDevices.end(), [&](THidDevice* e) {
                return e->IsPluggedIn() && e->InstanceId() == candidate->InstanceId();
            });
            if (known)
                continue;
            FDevices.push_back(candidate.release());
            changed = true;
        }
        if ((changed || initial) && OnDeviceChange)
            OnDeviceChange();
    } catch (const std::exception& error) {
        // Later broadcasts must still be seen, so the pass ends as any other.
        if (OnError)
            OnError(QString::fromUtf8(error.what()));
        else
            qWarning().noquote() << "HID device change:" << error.what();
    }
    FPassRunning = false;
    if (FChangePending)
        QMetaObject::invokeMethod(this, &THidDeviceController::DeviceChangeBroadcast,
                                  Qt::QueuedConnection);
}

void THidDeviceController::DeviceReleased(THidDevice* device) {
    const auto it = std::find(FDevices.begin(), FDevices.end(), device);
    if (it == FDevices.end())
        return;
    if (device->IsPluggedIn())
        *it = new THidDevice(this, &FBackend, THidDeviceInfo{device->FInfo},
                             device->HasReadWriteAccess(), DevThreadSleepTime);
    else
        FDevices.erase(it);
}
