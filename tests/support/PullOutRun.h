#pragma once

#include "app/MainWindow.h"
#include "link/hid/VirtualHidBus.h"
#include "model/IniFile.h"
#include "sim/VirtualMeter.h"
#include "tests/support/CoreRun.h"
#include "tests/support/MeterSettings.h"
#include "tests/support/PullOuts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>

// A run of the real window with the three meters M1 to M3 (channel 1 at 1.25, 2.25 and 3.25 pF,
// 20 ms conversions) in which meters are pulled out and plugged back in, on whatever bus.
class TPullOutRun : public TRunMeters {
public:
    static constexpr int MeterCount = PullOuts::MeterCount;
    // The three meters, plugged into bus.
    static std::vector<std::shared_ptr<TVirtualMeter>> PlugMeters(TVirtualHidBus& bus) {
        return TRunMeters::PlugMeters(bus, MeterCount);
    }

    TPullOutRun() {
        TIniFile ini(IniName);
        ini.WriteString(QStringLiteral("Measurement"), QStringLiteral("Logfile"), LogName);
        for (int i = 0; i < MeterCount; ++i)
            WriteCap1MeterSettings(ini, Serial(i));
    }

    // Starts a run through the window's controls in timer or fast mode, and pulls meters out
    // and back in as PullOuts::Cycle does. Afterwards the run has one worker per meter, and Stop
    // leaves no error.
    void Run(TMainWindow& form, bool fast, int cycles, const std::function<void(int meter)>& unplug,
             const std::function<void(int meter)>& plug,
             const std::function<void()>& beforeStop = {}) {
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return form.MeterSet().Meters().size() == std::size_t(MeterCount); }, 5000));
        form.Settings->IntervalSE->setValue(50);
        form.Settings->FastModeCB->setChecked(fast);
        form.Settings->FastModeIntervalCB->setCurrentIndex(2); // 20.0 ms
        form.StartBtnClick();
        ASSERT_TRUE(form.Run().Running());
        PullOuts::Cycle(form.MeterSet(), cycles, unplug, plug);
        if (testing::Test::HasFatalFailure())
            return;
        if (beforeStop)
            beforeStop();
        form.StopBtnClick();
    }

    void CheckLog() const { PullOuts::CheckLog(LogName); }

    QTemporaryDir Dir;
    QString IniName = Dir.filePath(QStringLiteral("Settings.ini"));
    QString LogName = Dir.filePath(QStringLiteral("run.txt"));
};
