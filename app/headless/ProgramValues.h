#pragma once

#include "app/core/ProgramSettings.h"

#include <QString>

#include <array>

class TMeterSet;
class TRunController;

// The program keys without a window: each value is kept as the window's control would keep it
// and takes effect in the run and the meters as it does there. The headless program reads the
// settings file into it at start and writes it back at the end.
class TProgramValues final : public TProgramKeyTarget {
public:
    TProgramValues(TMeterSet& meters, TRunController& run);

    QVariant ProgramKeyValue(EProgramKey key) const override;
    void SetProgramKeyValue(EProgramKey key, const QVariant& value) override;

private:
    TMeterSet& FMeters;
    TRunController& FRun;
    // The Integer and Boolean keys, by their place in EProgramKey; the log file apart.
    std::array<int, std::size(ProgramKeys)> FValues{};
    QString FLogFile;
};
