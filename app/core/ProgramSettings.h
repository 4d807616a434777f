#pragma once

#include <QStringList>
#include <QVariant>

#include <utility>

class TIniFile;

// The twelve program keys of the settings files. Start-up, shutdown, "Save..." and "Load..."
// all walk the one table below.
enum class EProgramKey {
    ThreadSafetyLevel,
    Serial,
    TriggerWait,
    Mode,
    Baudrate,
    Latency,
    MaxPoints,
    Interval,
    FastMode,
    FastModeInterval,
    Logfile,
    NoiseReduction,
};

enum class EKeyKind { Integer, Boolean, String };

struct TProgramKey {
    EProgramKey Id;
    const char* Section;
    const char* Name;
    EKeyKind Kind;
    int Default; // the default of Integer and Boolean keys; String keys default to empty
    // False for the keys that only the program settings file carries: "Save..." and
    // "Load..." leave them out.
    bool InSettingsFiles;
};

// In the order in which start-up and "Load..." read them.
inline constexpr TProgramKey ProgramKeys[] = {
    {EProgramKey::ThreadSafetyLevel, "Threading", "ThreadSafetyLevel", EKeyKind::Integer, 2, true},
    {EProgramKey::Serial, "Threading", "Serial", EKeyKind::Boolean, 0, true},
    {EProgramKey::TriggerWait, "Threading", "TriggerWait", EKeyKind::Integer, 1000, true},
    {EProgramKey::Mode, "Interface", "Mode", EKeyKind::Integer, 0, true},
    {EProgramKey::Baudrate, "Interface", "Baudrate", EKeyKind::Integer, 10000, true},
    {EProgramKey::Latency, "Interface", "Latency", EKeyKind::Integer, 2, true},
    {EProgramKey::MaxPoints, "Graph", "MaxPoints", EKeyKind::Integer, 500, true},
    {EProgramKey::Interval, "Measurement", "Interval", EKeyKind::Integer, 1000, true},
    {EProgramKey::FastMode, "Measurement", "FastMode", EKeyKind::Boolean, 0, false},
    {EProgramKey::FastModeInterval, "Measurement", "FastModeInterval", EKeyKind::Integer, 0, false},
    {EProgramKey::Logfile, "Measurement", "Logfile", EKeyKind::String, 0, true},
    {EProgramKey::NoiseReduction, "Measurement", "NoiseReduction", EKeyKind::Integer, 0, false},
};

// In the order in which shutdown and "Save..." write them; a new file thus gets its sections
// in the order Interface, Graph, Measurement, Threading.
inline constexpr EProgramKey ProgramKeyWriteOrder[] = {
    EProgramKey::Mode,
    EProgramKey::Baudrate,
    EProgramKey::Latency,
    EProgramKey::MaxPoints,
    EProgramKey::Interval,
    EProgramKey::FastMode,
    EProgramKey::FastModeInterval,
    EProgramKey::Logfile,
    EProgramKey::NoiseReduction,
    EProgramKey::ThreadSafetyLevel,
    EProgramKey::Serial,
    EProgramKey::TriggerWait,
};

const TProgramKey& ProgramKeyInfo(EProgramKey id);

// What the window's controls take for an Integer key, so that the headless program keeps the
// same values. A key with items is a list: its value is an item's index, and any other index
// leaves no selection (-1). The others are spin edits: a value outside the range is clamped.
QStringList ProgramKeyItems(EProgramKey id);
std::pair<int, int> ProgramKeyRange(EProgramKey id);
int AcceptedProgramKeyValue(EProgramKey id, int value);

// Which keys a path touches: the program settings file carries all twelve, a settings file
// saved or loaded by the user nine.
enum class EKeyScope { ProgramFile, SettingsFile };

// Where the keys' values live: the window's controls and the process-wide values. Integer
// and Boolean keys travel as int (Boolean 0 or 1), String keys as QString.
class TProgramKeyTarget {
public:
    virtual QVariant ProgramKeyValue(EProgramKey key) const = 0;
    virtual void SetProgramKeyValue(EProgramKey key, const QVariant& value) = 0;

protected:
    ~TProgramKeyTarget() = default;
};

// Reads the keys of the scope in their reading order, each with its fixed default, and sets
// them into the target.
void ReadProgramKeys(const TIniFile& ini, TProgramKeyTarget& target, EKeyScope scope);
// Writes the keys of the scope in their writing order; stops at a failing write with the
// file's error.
void WriteProgramKeys(TIniFile& ini, const TProgramKeyTarget& target, EKeyScope scope);
