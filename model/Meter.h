#pragma once

#include "link/Bridge.h"
#include "model/ManualResetEvent.h"
#include "model/MeasurementWorker.h"

#include <QEvent>
#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

class TIniFile;

// The meter is taken by a continuous acquisition and cannot measure on request meanwhile.
class EMeterBusy : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The converter model of one meter: its channel configuration and register image, its
// measurement worker, and the decoding of the worker's sample records into pF, °C and Ohm.
// Lives on the window's thread; the worker posts to it.
class TMeter : public QObject {
    Q_OBJECT
public:
    explicit TMeter(QObject* AOwner = nullptr);
    // Ends the worker and waits for it, then frees the bridge (LED dark, device released).
    ~TMeter() override;

    // --- wiring ---
    TBridge* Bridge() const { return FBridge.get(); }
    // Takes the bridge, sends its Init and starts the worker. Once per model.
    void SetUpBridge(std::unique_ptr<TBridge> NewInterface);
    TMeasurementWorker* MeasurementWorker() const { return FWorker.get(); }
    int Channel() const { return FChannel; }
    void SetChannel(int value) { FChannel = value; }
    // The bridge's serial number: names the meter's settings section.
    QString SerNum() const;

    // --- acquisition settings, forwarded to the worker ---
    int SMode() const { return FSMode; }
    void SetSMode(int value);
    bool ContinuousMode() const { return FContinuousMode; }
    void SetContinuousMode(bool value);
    int ContinuousModeInterval() const { return FContinuousModeInterval; }
    void SetContinuousModeInterval(int value);
    int NoiseReduction() const { return FNoiseReduction; }
    void SetNoiseReduction(int value);

    // --- channel configuration: stored; the image follows at SetRegsFromConfig ---
    int CAP1Mode() const { return FCAP1Mode; }
    void SetCAP1Mode(int value) { FCAP1Mode = value; }
    int CAPDAC1Mode() const { return FCAPDAC1Mode; }
    void SetCAPDAC1Mode(int value) { FCAPDAC1Mode = value; }
    int CAPDAC1A() const { return FCAPDAC1A; }
    void SetCAPDAC1A(int value) { FCAPDAC1A = value; }
    int CAPDAC1B() const { return FCAPDAC1B; }
    void SetCAPDAC1B(int value) { FCAPDAC1B = value; }
    int CAP2Mode() const { return FCAP2Mode; }
    void SetCAP2Mode(int value) { FCAP2Mode = value; }
    int CAPDAC2Mode() const { return FCAPDAC2Mode; }
    void SetCAPDAC2Mode(int value) { FCAPDAC2Mode = value; }
    int CAPDAC2A() const { return FCAPDAC2A; }
    void SetCAPDAC2A(int value) { FCAPDAC2A = value; }
    int CAPDAC2B() const { return FCAPDAC2B; }
    void SetCAPDAC2B(int value) { FCAPDAC2B = value; }
    int ExcitationVoltage() const { return FExcitationVoltage; }
    void SetExcitationVoltage(int value) { FExcitationVoltage = value; }
    bool InternalTempEnabled() const { return FInternalTempEnabled; }
    void SetInternalTempEnabled(bool value) { FInternalTempEnabled = value; }
    bool ExternalResistorEnabled() const { return FExternalResistorEnabled; }
    void SetExternalResistorEnabled(bool value) { FExternalResistorEnabled = value; }
    int CAP1Target() const { return FCAP1Target; }
    void SetCAP1Target(int value) { FCAP1Target = value; }
    int CAP2Target() const { return FCAP2Target; }
    void SetCAP2Target(int value) { FCAP2Target = value; }
    int ReferenceResistor() const { return FReferenceResistance; }
    // At least 1 Ohm.
    void SetReferenceResistor(int value) { FReferenceResistance = value < 1 ? 1 : value; }

    // --- settings files: the meter's own section, named after its serial number ---
    // Reads the section with the current values as defaults (SMode defaults to 1) and sets the
    // image from the Reg keys as they stand.
    void LoadFromIni(const TIniFile& Ini);
    void SaveToIni(TIniFile& Ini) const;

    // --- register image and values ---
    // A copy of the worker's image; writing replaces it whole and sets ValueCount to what the
    // image measures (MeasuredQuantities). Nothing is sent.
    TRegData RegData() const;
    void SetRegData(const TRegData& value);
    // Rebuilds the whole image from the channel configuration.
    void SetRegsFromConfig();
    int ValueCount() const { return int(FValues.size()); }
    // Entries that remain keep their values; new ones are 0.
    void SetValueCount(int value);
    // -1.0 outside 0 .. ValueCount - 1; writes there are ignored.
    double Values(int Index) const;
    void SetValues(int Index, double Value);

    // --- measurement ---
    // Wakes the worker for one acquisition; any thread may call it.
    void TriggerMeasurement();
    // Start and stop of a run. Each moves the run on, so that results acquired before either
    // are dropped when they arrive.
    void StartMes();
    void StopMes();
    // Ends the worker and hands on the results it has posted but this object has not taken
    // yet: a meter freed with them pending would lose values it had measured.
    void EndWorker();
    // One capacitance measurement on the caller's thread, in pF; -10.0 when nothing was
    // measured. Leaves the worker's image alone. Refused with EMeterBusy while the worker runs
    // a continuous acquisition, which holds the meter until it is stopped.
    double MeasureCAP(int Channel, std::uint8_t Mode, std::uint8_t CAPDACA, std::uint8_t CAPDACB,
                      int ExcVolt);

    // --- decoding ---
    // Decodes one record against the configuration in force and emits DataReceived. A
    // malformed record is reported once per run through ErrorOccurred.
    void DecodeSampleRecord(std::string_view record);

    // Progress of the automatic capacitance offset, kept by the receiver of the results.
    int Offset_Count = 0;
    double Cal1Offset = 0.0;
    double Cal2Offset = 0.0;

    // The trigger of the worker. Shared, so that a trigger thread holding it never touches a
    // freed model: setting the event of a model that is gone does nothing.
    const std::shared_ptr<TManualResetEvent> TriggerEvent = std::make_shared<TManualResetEvent>();

signals:
    // A decoded record, on the window's thread: the meter's number, its results (the first
    // ValueCount entries are the acquisition's, then the raw repeats) and the acquisition's
    // elapsed time in ms. The values live only while the signal is emitted: receivers connect
    // directly and copy what they keep.
    void DataReceived(int channel, std::span<const double> values, std::uint32_t ticks);
    // A device error of the worker or a malformed record, on the window's thread.
    void ErrorOccurred(const QString& message);

protected:
    bool event(QEvent* event) override;

private:
    TMeasurementWorker& Worker() const;

    std::unique_ptr<TMeasurementWorker> FWorker;
    std::unique_ptr<TBridge> FBridge;
    int FChannel = 0;
    std::vector<double> FValues;
    int FSMode = 1;
    bool FExternalResistorEnabled = false;
    bool FInternalTempEnabled = false;
    int FCAPDAC1Mode = 0;
    int FCAP1Mode = 0;
    int FCAPDAC1B = 0;
    int FCAPDAC1A = 0;
    int FExcitationVoltage = 0;
    int FCAPDAC2Mode = 0;
    int FCAP2Mode = 0;
    int FCAPDAC2B = 0;
    int FCAPDAC2A = 0;
    int FCAP2Target = 0;
    int FCAP1Target = 0;
    int FReferenceResistance = 50000;
    int FNoiseReduction = 0;
    bool FContinuousMode = false;
    int FContinuousModeInterval = 0;
    bool FMalformedReported = false;
    // Serialises the bridge traffic of the worker and MeasureCAP on this meter.
    std::mutex FBridgeLock;
};
