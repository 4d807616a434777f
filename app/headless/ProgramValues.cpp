#include "app/headless/ProgramValues.h"

#include "app/core/MeterSet.h"
#include "app/core/RunController.h"
#include "model/ThreadingSettings.h"

TProgramValues::TProgramValues(TMeterSet& meters, TRunController& run)
    : FMeters(meters)
    , FRun(run) {
    for (const TProgramKey& key : ProgramKeys)
        if (key.Kind != EKeyKind::String)
            SetProgramKeyValue(key.Id, key.Default);
}

QVariant TProgramValues::ProgramKeyValue(EProgramKey key) const {
    if (key == EProgramKey::Logfile)
        return FLogFile;
    return FValues[std::size_t(key)];
}

void TProgramValues::SetProgramKeyValue(EProgramKey key, const QVariant& value) {
    if (key == EProgramKey::Logfile) {
        FLogFile = value.toString();
        FRun.SetLogFileName(FLogFile);
        return;
    }
    const int accepted = ProgramKeyInfo(key).Kind == EKeyKind::Boolean
                             ? int(value.toInt() != 0)
                             : AcceptedProgramKeyValue(key, value.toInt());
    FValues[std::size_t(key)] = accepted;
    switch (key) {
    case EProgramKey::ThreadSafetyLevel:
        Threading().ThreadSafetyLevel = accepted;
        break;
    case EProgramKey::Serial:
        Threading().Serial = accepted != 0;
        break;
    case EProgramKey::TriggerWait:
        Threading().TriggerWait = accepted;
        break;
    case EProgramKey::Interval:
        FRun.SetInterval(accepted);
        break;
    case EProgramKey::FastMode:
        FRun.SetFastMode(accepted != 0);
        break;
    case EProgramKey::FastModeInterval:
        FRun.SetFastModeInterval(accepted, ProgramKeyItems(key).value(accepted, QString()));
        break;
    case EProgramKey::NoiseReduction:
        FMeters.SetNoiseReduction(accepted);
        break;
    default:
        // The interface keys and the point limit are only kept: they act on the window.
        break;
    }
}
