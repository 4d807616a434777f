#include "app/core/MeterSet.h"

#include "app/core/TriggerThread.h"
#include "link/HidBridge.h"
#include "link/hid/HidDevice.h"
#include "link/hid/HidDeviceController.h"
#include "model/IniFile.h"
#include "model/Meter.h"

#include <QCoreApplication>

#include <algorithm>
#include <set>
#include <string>

namespace {

// The product name by which a HID device is known as a meter.
const QString MeterProductName = QStringLiteral("Corvane v2");

} // namespace

QString MeterFailure(const QString& serial, const std::exception& error) {
    return QStringLiteral("Meter %1: %2").arg(serial, QString::fromUtf8(error.what()));
}

QString MeterRateText(const QString& serial, double results, double seconds) {
    return QStringLiteral("%1 %2/s").arg(serial).arg(seconds > 0 ? results / seconds : 0.0, 0, 'f',
                                                     1);
}

TMeterSet::TMeterSet(THidBackend& backend, QString settingsFile, QObject* parent)
    : QObject(parent)
    , FSettingsFile(std::move(settingsFile))
    , FController(new THidDeviceController(backend, this))
    , FTriggerThread(std::make_unique<TTriggerThread>()) {
    // Its first change signal comes from the event loop, after the set exists.
    connect(FController, &THidDeviceController::DevicesChanged, this, [this] {
        try {
            Rediscover();
        } catch (const std::exception& error) {
            emit DiscoveryFailed(QString::fromUtf8(error.what()));
        }
    });
    connect(FController, &THidDeviceController::ChangePassFailed, this,
            &TMeterSet::DiscoveryFailed);
}

TMeterSet::~TMeterSet() {
    // In this order: the meters' workers end before the trigger thread and the HID layer go.
    FController->disconnect(this);
    FreeMeters();
    FTriggerThread.reset();
    FForeignDevices.clear();
    FLockedMeters.clear();
    delete FController;
}

int TMeterSet::IndexOf(const TMeter* meter) const {
    const auto it = std::find(FMeters.begin(), FMeters.end(), meter);
    return it == FMeters.end() ? -1 : int(it - FMeters.begin());
}

std::vector<TMeterSet::TLockedMeter> TMeterSet::LockedMeters() const {
    std::vector<TLockedMeter> locked;
    for (const auto& device : FLockedMeters)
        locked.push_back({device->SerialNumber(), QString::fromStdString(device->DevicePath())});
    return locked;
}

void TMeterSet::TriggerAll() {
    FTriggerThread->Do_Measurement();
}

void TMeterSet::SetNoiseReduction(int value) {
    FNoiseReduction = value;
    for (TMeter* meter : FMeters)
        meter->SetNoiseReduction(value);
}

void TMeterSet::FreeMeters() {
    // No trigger reaches a meter while the set changes.
    FTriggerThread->SetMeters({});
    // What the workers measured and posted is handed on before the meters go.
    for (TMeter* meter : FMeters)
        meter->EndWorker();
    emit MetersAboutToGo();
    while (!FMeters.empty()) {
        delete FMeters.back(); // ends its worker, darkens the LED, releases the device
        FMeters.pop_back();
    }
}

void TMeterSet::EndContinuousModes() {
    for (TMeter* meter : FMeters)
        meter->SetContinuousMode(false);
}

void TMeterSet::SaveSections(TIniFile& ini) const {
    for (const TMeter* meter : FMeters)
        meter->SaveToIni(ini);
}

void TMeterSet::Rediscover() {
    FreeMeters();
    const auto gone = [](const auto& d) { return !d->IsPluggedIn(); };
    std::erase_if(FForeignDevices, gone);
    std::erase_if(FLockedMeters, gone);
    const TIniFile ini(FSettingsFile);
    QStringList failures;
    // A meter whose set-up failed hands its device back, and the controller would hand it out
    // again at once: it is held here until the pass is over, and tried again at the next
    // device change.
    std::set<std::string> failed;
    std::vector<std::unique_ptr<THidDevice>> failedDevices;
    while (std::unique_ptr<THidDevice> device = FController->CheckOut()) {
        if (failed.contains(device->InstanceId())) {
            failedDevices.push_back(std::move(device));
            continue;
        }
        if (device->ProductName() != MeterProductName) {
            FForeignDevices.push_back(std::move(device));
            continue;
        }
        if (!device->HasReadWriteAccess()) {
            FLockedMeters.push_back(std::move(device));
            continue;
        }
        const QString serial = device->SerialNumber();
        const std::string instance = device->InstanceId();
        // An error with one meter is reported, and the others are still set up.
        try {
            device->SetNumInputBuffers(128);
            device->SetNumOverlappedBuffers(128);
            auto meter = std::make_unique<TMeter>(this);
            meter->SetChannel(int(FMeters.size()));
            connect(meter.get(), &TMeter::DataReceived, this,
                    [this](int channel, std::span<const double> values, std::uint32_t ticks) {
                        emit Result(std::size_t(channel), values, ticks);
                    });
            meter->SetUpBridge(std::make_unique<THidBridge>(std::move(device)));
            meter->LoadFromIni(ini);
            meter->Bridge()->Init();
            meter->SetNoiseReduction(FNoiseReduction);
            TMeter* added = meter.release();
            connect(added, &TMeter::ErrorOccurred, this, [this, added](const QString& message) {
                const int index = IndexOf(added);
                if (index >= 0)
                    emit MeterFailed(std::size_t(index), message);
            });
            FMeters.push_back(added);
        } catch (const std::exception& error) {
            failures << MeterFailure(serial, error);
            failed.insert(instance);
        }
    }
    failedDevices.clear();
    std::vector<std::shared_ptr<TManualResetEvent>> triggers;
    for (TMeter* meter : FMeters)
        triggers.push_back(meter->TriggerEvent);
    FTriggerThread->SetMeters(std::move(triggers));
    emit MetersChanged();
    if (!failures.isEmpty())
        emit DiscoveryFailed(failures.join(u'\n'));
}
