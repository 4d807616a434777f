#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <vector>

class THidBackend;
class THidDevice;
class THidDeviceController;
class TIniFile;
class TMeter;
class TTriggerThread;

// The connected meters and their lifetime: discovery on every device change, the devices that
// are no meters or may not be opened, and the trigger thread that wakes the meters' workers.
// Lives on the program's main thread, without widgets.
//
// At every device change each meter is thrown away and built anew from the devices present,
// set up from its section of the program settings file. A meter's index is its place in the
// list and its model's Channel.
// "Meter <serial>: <what failed>", as failures of one meter among others are told.
QString MeterFailure(const QString& serial, const std::exception& error);
// "<serial> <n>/s": the results a meter really delivered over seconds, as the run's state and
// the headless program's progress tell them.
QString MeterRateText(const QString& serial, double results, double seconds);

class TMeterSet : public QObject {
    Q_OBJECT
public:
    // A meter the user may not open (permission denied).
    struct TLockedMeter {
        QString Serial;
        QString DevicePath;
    };

    // backend: where the meters are found; it must outlive the set. settingsFile: the program
    // settings file, whose meter sections set up the meters found. The first discovery runs
    // from the event loop.
    TMeterSet(THidBackend& backend, QString settingsFile, QObject* parent = nullptr);
    // The meters' workers end before the trigger thread and the HID layer go.
    ~TMeterSet() override;

    const std::vector<TMeter*>& Meters() const { return FMeters; }
    // The index of meter, or -1 when it is not in the set.
    int IndexOf(const TMeter* meter) const;
    std::vector<TLockedMeter> LockedMeters() const;

    // One pass of the trigger thread: every meter's worker is woken, at once or, in serial
    // acquisition, one after another.
    void TriggerAll();
    // The noise reduction ("Off", "2 of 3", "3 of 5") of every meter, now and when found.
    void SetNoiseReduction(int value);
    int NoiseReduction() const { return FNoiseReduction; }

    // At the program's end: continuous conversions end at their next result.
    void EndContinuousModes();
    // Writes every meter's section into the program settings file.
    void SaveSections(TIniFile& ini) const;

    // Throws every meter away and sets up the devices present anew. Failures are signalled,
    // and the other meters are still set up.
    void Rediscover();

signals:
    // The meters are about to go; what their workers posted has been handed on.
    void MetersAboutToGo();
    // The set was built anew: the meters, the locked meters or both changed.
    void MetersChanged();
    // A result of the meter at index: its values in the order of what its image measures, and
    // the acquisition's elapsed time in ms.
    void Result(std::size_t meter, std::span<const double> values, std::uint32_t ticks);
    // The meter's worker or decoding met an error.
    void MeterFailed(std::size_t meter, const QString& message);
    // Meters that could not be set up, a line each, or a failed change pass.
    void DiscoveryFailed(const QString& message);

private:
    void FreeMeters();

    const QString FSettingsFile;
    int FNoiseReduction = 0;
    THidDeviceController* FController;
    std::vector<TMeter*> FMeters;
    std::unique_ptr<TTriggerThread> FTriggerThread;
    // HID devices that are no meters: checked out once and kept, so that they are not asked
    // again at every discovery; released when they are gone.
    std::vector<std::unique_ptr<THidDevice>> FForeignDevices;
    // Meters the user may not open: kept like foreign devices until they are gone; plugged in
    // again after the fix, they come back as meters.
    std::vector<std::unique_ptr<THidDevice>> FLockedMeters;
};
