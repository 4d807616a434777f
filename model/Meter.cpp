#include "model/Meter.h"

#include "link/CrossThreadEvent.h"
#include "model/IniFile.h"
#include "model/MeasurementWorker.h"
#include "model/SampleRecord.h"
#include "model/ThreadingSettings.h"

#include <QCoreApplication>

#include <chrono>
#include <thread>

namespace {

// How often a wait for the meter's bridge looks whether a continuous run holds it. A plain
// mutex polled with try_lock, since the thread sanitizer does not follow timed locks.
constexpr auto BridgeWaitSlice = std::chrono::milliseconds(2);

// VT 62.1 ms, capacitive 62.0 ms: the Configuration byte's conversion times for triggered
// acquisitions and single measurements.
constexpr std::uint8_t TriggeredConversionTimes =
    ConfigurationVtF.Set(ConfigurationCapF.Set(0, 4), 2);

// The excitation field of EXC Setup set to the value.
void SetExcitation(TRegData& image, TRegField field, std::uint8_t value) {
    image[RegExcSetup] = field.Set(image[RegExcSetup], value);
}

// The excitation voltage into its field as it stands.
void SetExcitationLevel(TRegData& image, int level) {
    SetExcitation(image, ExcSetupLevel, std::uint8_t(level));
}

// Both excitation outputs on.
void EnableExcitations(TRegData& image) {
    SetExcitation(image, ExcSetupExcA, ExcitationEnabled);
    SetExcitation(image, ExcSetupExcB, ExcitationEnabled);
}

// A CAPDAC byte: the code, connected. A code beyond 7 bits falls on the enable bit.
std::uint8_t ConnectedDac(int code) {
    return std::uint8_t(std::uint8_t(code) | CapDacEnable);
}

// One capacitive channel of the configuration into the image: its CAP Setup byte, its DAC
// bytes and its excitation field.
void ChannelToImage(TRegData& image, int mode, int dacMode, int dacA, int dacB, std::uint8_t setup,
                    std::uint8_t dacAByte, std::uint8_t dacBByte, TRegField excitation) {
    switch (mode) {
    case 0:
        image[setup] &= ~CapSetupEnable;
        SetExcitation(image, excitation, ExcitationOff);
        break;
    case 1:
        image[setup] = std::uint8_t((image[setup] | CapSetupEnable) & ~CapSetupDifferential);
        SetExcitation(image, excitation, ExcitationEnabled);
        image[dacAByte] = dacMode > 0 ? ConnectedDac(dacA) : 0;
        image[dacBByte] = 0; // DAC B is used in differential mode only
        break;
    case 2:
        image[setup] |= CapSetupEnable | CapSetupDifferential;
        SetExcitation(image, excitation, ExcitationEnabled);
        image[dacAByte] = dacMode > 0 ? ConnectedDac(dacA) : 0;
        image[dacBByte] = dacMode > 0 ? ConnectedDac(dacB) : 0;
        break;
    default:
        break;
    }
    image[setup] &= ~CapSetupChop;
}

void ApplyContinuousMode(TRegData& image, int interval) {
    image[RegExcSetup] &= ~ExcSetupClockHalved;
    // The interval is the capacitive conversion time code.
    image[RegConfiguration] =
        ConfigurationCapF.Set(image[RegConfiguration], std::uint8_t(interval));
    SetConversionMode(image, ModeContinuous);
}

} // namespace

TMeter::TMeter(QObject* AOwner)
    : QObject(AOwner) {}

TMeter::~TMeter() {
    // The worker uses the bridge and posts to this object: it ends first.
    FWorker.reset();
    FBridge.reset();
}

void TMeter::SetUpBridge(std::unique_ptr<TBridge> NewInterface) {
    FBridge = std::move(NewInterface);
    FBridge->Init();
    FWorker = std::make_unique<TMeasurementWorker>(*FBridge, FBridgeLock, this, *TriggerEvent);
}

QString TMeter::SerNum() const {
    return FBridge ? FBridge->SerNum() : QString();
}

TMeasurementWorker& TMeter::Worker() const {
    if (!FWorker)
        throw std::logic_error("meter model used before its interface was set up");
    return *FWorker;
}

// ---------------------------------------------------------------------------------------------
// Settings forwarded to the worker

void TMeter::SetSMode(int value) {
    FSMode = value;
    Worker().SMode = value;
}

void TMeter::SetContinuousMode(bool value) {
    Worker().ContinuousMode = value;
    if (!value)
        Worker().CancelContinuousRun();
    FContinuousMode = value;
    if (value)
        Worker().ChangeRegData(
            [this](TRegData& image) { ApplyContinuousMode(image, FContinuousModeInterval); });
}

void TMeter::SetContinuousModeInterval(int value) {
    FContinuousModeInterval = value;
    if (FContinuousMode)
        Worker().ChangeRegData([value](TRegData& image) { ApplyContinuousMode(image, value); });
}

void TMeter::SetNoiseReduction(int value) {
    FNoiseReduction = value;
    Worker().Repeats = value == 1 ? 3 : value == 2 ? 5 : 1;
}

// ---------------------------------------------------------------------------------------------
// Image and values

TRegData TMeter::RegData() const {
    return Worker().RegData();
}

void TMeter::SetRegData(const TRegData& value) {
    Worker().SetRegData(value);
    // As many values as the image measures, so that decoding and the log's columns agree.
    SetValueCount(MeasuredQuantities(value).Count());
}

void TMeter::SetRegsFromConfig() {
    TRegData image{};
    ChannelToImage(image, FCAP1Mode, FCAPDAC1Mode, FCAPDAC1A, FCAPDAC1B, RegCapSetup, RegCapDacA,
                   RegCapDacB, ExcSetupExcA);
    ChannelToImage(image, FCAP2Mode, FCAPDAC2Mode, FCAPDAC2A, FCAPDAC2B, RegCapSetup2, RegCapDacA2,
                   RegCapDacB2, ExcSetupExcB);
    // Temperature: the internal sensor against the internal reference, chopped.
    if (FInternalTempEnabled)
        image[RegVtSetup] = VtSetupEnable | VtSetupMode.Set(0, VtModeInternalSensor) | VtSetupChop;
    // Resistance: the external voltage input against the external reference, chopped.
    if (FExternalResistorEnabled)
        image[RegVtSetup2] =
            VtSetupEnable | VtSetupMode.Set(0, VtModeExternalInput) | VtSetupExtRef | VtSetupChop;
    SetExcitationLevel(image, FExcitationVoltage);
    image[RegConfiguration] = ConfigurationMode.Set(TriggeredConversionTimes, ModeIdle);
    // Both excitation outputs are always on in the finished image.
    EnableExcitations(image);
    SetRegData(image);
}

void TMeter::SetValueCount(int value) {
    FValues.resize(std::size_t(std::max(value, 0)));
}

double TMeter::Values(int Index) const {
    return Index >= 0 && Index < ValueCount() ? FValues[std::size_t(Index)] : -1.0;
}

void TMeter::SetValues(int Index, double Value) {
    if (Index >= 0 && Index < ValueCount())
        FValues[std::size_t(Index)] = Value;
}

// ---------------------------------------------------------------------------------------------
// Settings files

namespace {

// The Integer settings of a meter section, in the order they are written; the two Boolean
// settings follow Mode and DAC settings, then the targets and the reference resistor.
struct TIntSetting {
    const char* Key;
    int (TMeter::*Get)() const;
    void (TMeter::*Set)(int);
};

const TIntSetting ChannelSettings[] = {
    {"CAP1Mode", &TMeter::CAP1Mode, &TMeter::SetCAP1Mode},
    {"CAPDAC1Mode", &TMeter::CAPDAC1Mode, &TMeter::SetCAPDAC1Mode},
    {"CAPDAC1A", &TMeter::CAPDAC1A, &TMeter::SetCAPDAC1A},
    {"CAPDAC1B", &TMeter::CAPDAC1B, &TMeter::SetCAPDAC1B},
    {"CAP2Mode", &TMeter::CAP2Mode, &TMeter::SetCAP2Mode},
    {"CAPDAC2Mode", &TMeter::CAPDAC2Mode, &TMeter::SetCAPDAC2Mode},
    {"CAPDAC2A", &TMeter::CAPDAC2A, &TMeter::SetCAPDAC2A},
    {"CAPDAC2B", &TMeter::CAPDAC2B, &TMeter::SetCAPDAC2B},
    {"ExcitationVoltage", &TMeter::ExcitationVoltage, &TMeter::SetExcitationVoltage},
};

const TIntSetting TargetSettings[] = {
    {"CAP1Target", &TMeter::CAP1Target, &TMeter::SetCAP1Target},
    {"CAP2Target", &TMeter::CAP2Target, &TMeter::SetCAP2Target},
    {"ReferenceResistor", &TMeter::ReferenceResistor, &TMeter::SetReferenceResistor},
};

QString RegKey(int n) {
    return QStringLiteral("Reg%1").arg(n);
}

} // namespace

void TMeter::LoadFromIni(const TIniFile& Ini) {
    const QString section = SerNum();
    const auto read = [&](const TIntSetting& s) {
        const QString key = QLatin1String(s.Key);
        (this->*s.Set)(Ini.ReadInteger(section, key, (this->*s.Get)()));
    };
    for (const TIntSetting& s : ChannelSettings)
        read(s);
    SetInternalTempEnabled(
        Ini.ReadBool(section, QStringLiteral("InternalTempEnabled"), FInternalTempEnabled));
    SetExternalResistorEnabled(
        Ini.ReadBool(section, QStringLiteral("ExternalResistorEnabled"), FExternalResistorEnabled));
    for (const TIntSetting& s : TargetSettings)
        read(s); // the reference resistor's setter keeps it at 1 Ohm or more

    const TRegData current = RegData();
    TRegData image{};
    for (int n = 0; n < int(image.size()); ++n)
        image[std::size_t(n)] =
            std::uint8_t(Ini.ReadInteger(section, RegKey(n), current[std::size_t(n)]));
    SetRegData(image); // the value count follows the image
    SetSMode(Ini.ReadInteger(section, QStringLiteral("SMode"), 1));
}

void TMeter::SaveToIni(TIniFile& Ini) const {
    const QString section = SerNum();
    Ini.WriteInteger(section, QStringLiteral("SMode"), FSMode);
    for (const TIntSetting& s : ChannelSettings)
        Ini.WriteInteger(section, QLatin1String(s.Key), (this->*s.Get)());
    Ini.WriteBool(section, QStringLiteral("InternalTempEnabled"), FInternalTempEnabled);
    Ini.WriteBool(section, QStringLiteral("ExternalResistorEnabled"), FExternalResistorEnabled);
    for (const TIntSetting& s : TargetSettings)
        Ini.WriteInteger(section, QLatin1String(s.Key), (this->*s.Get)());
    const TRegData image = RegData();
    for (int n = 0; n < int(image.size()); ++n)
        Ini.WriteInteger(section, RegKey(n), image[std::size_t(n)]);
}

// ---------------------------------------------------------------------------------------------
// Measurement

void TMeter::TriggerMeasurement() {
    if (FWorker)
        TriggerEvent->Set();
}

void TMeter::StartMes() {
    FMalformedReported = false; // a malformed record is reported once per run
    ++Worker().RunNumber;       // before the mode: a continuous run still going sees it and ends
    if (FContinuousMode) {
        Worker().ContinuousMode = true;
        Worker().StartContinuousRun();
    } else {
        Worker().ChangeRegData([](TRegData& image) { SetConversionMode(image, ModeSingle); });
    }
}

void TMeter::StopMes() {
    ++Worker().RunNumber;
    if (FContinuousMode) {
        Worker().ContinuousMode = false;
        Worker().CancelContinuousRun();
    }
}

void TMeter::EndWorker() {
    if (FWorker)
        FWorker->Terminate();
    QCoreApplication::sendPostedEvents(this, TSampleEvent::EventType());
}

double TMeter::MeasureCAP(int Channel, std::uint8_t Mode, std::uint8_t CAPDACA,
                          std::uint8_t CAPDACB, int ExcVolt) {
    if (Mode == 0 || !FBridge)
        return -10.0;
    TRegData m{};
    m[RegCapSetup] = CapSetupEnable;
    if (Mode == 2)
        m[RegCapSetup] |= CapSetupDifferential;
    if (Channel >= 2)
        m[RegCapSetup] |= CapSetupInput2;
    EnableExcitations(m);
    m[RegCapDacA] = ConnectedDac(CAPDACA); // both DACs connected, also with code 0
    m[RegCapDacB] = ConnectedDac(CAPDACB);
    SetExcitationLevel(m, ExcVolt);
    m[RegConfiguration] = ConfigurationMode.Set(TriggeredConversionTimes, ModeSingle);

    TBridge& bridge = *FBridge;
    // Kept apart from the worker's acquisitions on this meter, and from every meter's value
    // reads at level 3. A triggered acquisition ends by itself, so it is waited for; a
    // continuous one holds the meter until Stop, which needs the very thread that waits here.
    std::unique_lock meterLock(FBridgeLock, std::defer_lock);
    for (; !meterLock.try_lock(); std::this_thread::sleep_for(BridgeWaitSlice))
        if (FWorker && FWorker->InContinuousRun())
            throw EMeterBusy(
                QStringLiteral("Meter %1 is measuring continuously: stop the measurement before "
                               "measuring on it here.")
                    .arg(SerNum())
                    .toStdString());
    std::unique_lock<std::mutex> serialised;
    if (Threading().ThreadSafetyLevel == 3)
        serialised = std::unique_lock(AcquisitionLock());
    bridge.WriteRegs(RegCapSetup, SetupRegCount, m);
    // A result read before the conversion is done would be a wrong value: wait for it, within
    // a bound.
    WaitForConversion(bridge);
    bridge.ReadValues(m);
    return CapacitanceOfCode(std::uint32_t(m[RegCapData]) << 16 |
                             std::uint32_t(m[RegCapData + 1]) << 8 | m[RegCapData + 2]);
}

// ---------------------------------------------------------------------------------------------
// Decoding

void TMeter::DecodeSampleRecord(std::string_view record) {
    const TRegData image = RegData();
    TDecodeSettings settings;
    settings.ValueCount = ValueCount();
    // A record carries as many repeats as it was acquired with: one in continuous mode whatever
    // the noise reduction, and the old count when the noise reduction changed meanwhile.
    settings.Repeats = RepeatsOfRecord(record.size(), Worker().Repeats);
    // The image decides what was measured, whatever the configuration's flags say.
    const TMeasuredQuantities measured = MeasuredQuantities(image);
    settings.Cap1Enabled = measured.Cap1;
    settings.Cap2Enabled = measured.Cap2;
    settings.InternalTempEnabled = measured.Temperature;
    settings.ExternalResistorEnabled = measured.Resistance;
    settings.ReferenceResistor = FReferenceResistance;
    TDecodedRecord decoded;
    try {
        decoded = ::DecodeSampleRecord(record, settings);
    } catch (const ESampleRecordError& error) {
        if (!FMalformedReported) {
            FMalformedReported = true;
            emit ErrorOccurred(QString::fromUtf8(error.what()));
        }
        return;
    }
    for (int i = 0; i < int(decoded.Values.size()); ++i)
        SetValues(i, decoded.Values[std::size_t(i)]);
    emit DataReceived(FChannel, decoded.Scratch, decoded.Ticks);
}

bool TMeter::event(QEvent* event) {
    TakeCrossThreadEvent(event);
    if (event->type() == TSampleEvent::EventType()) {
        const auto& sample = *static_cast<TSampleEvent*>(event);
        if (FWorker && sample.Run != FWorker->RunNumber)
            return true; // measured before the last start or stop: of no run now going
        try {
            DecodeSampleRecord(sample.Record);
        } catch (const std::exception& error) {
            // Nothing may cross the event loop; the receiver's own failure is reported here.
            emit ErrorOccurred(QString::fromUtf8(error.what()));
        }
        return true;
    }
    if (event->type() == TWorkerErrorEvent::EventType()) {
        emit ErrorOccurred(static_cast<TWorkerErrorEvent*>(event)->Message);
        return true;
    }
    return QObject::event(event);
}
