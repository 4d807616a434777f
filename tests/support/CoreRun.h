#pragma once

#include "app/core/MeterSet.h"
#include "app/core/RunController.h"
#include "link/hid/VirtualHidBus.h"
#include "model/IniFile.h"
#include "model/Meter.h"
#include "sim/VirtualMeter.h"
#include "tests/support/MeterSettings.h"
#include "tests/support/RunLog.h"
#include "tests/support/TextFiles.h"

#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

// The meters of run tests: meter i is M<i+1> and reads 1.25 + i pF on channel 1 and 21.5 °C.
struct TRunMeters {
    static QString Serial(int meter) { return QStringLiteral("M%1").arg(meter + 1); }
    static double Capacitance(int meter) { return 1.25 + meter; }
    // The meter's capacitance as the log writes it.
    static QByteArray ValueText(int meter) {
        return QByteArray::number(Capacitance(meter), 'f', 6);
    }
    static std::shared_ptr<TVirtualMeter> NewMeter(int meter) {
        auto device = std::make_shared<TVirtualMeter>(Serial(meter));
        device->SetInputCapacitance(1, Capacitance(meter));
        device->SetTemperature(21.5);
        return device;
    }
    // Meters 0 to count - 1, plugged into bus.
    static std::vector<std::shared_ptr<TVirtualMeter>> PlugMeters(TVirtualHidBus& bus, int count) {
        std::vector<std::shared_ptr<TVirtualMeter>> meters;
        for (int i = 0; i < count; ++i) {
            meters.push_back(NewMeter(i));
            bus.Plug(meters.back());
        }
        return meters;
    }
};

// The meter set and the run on a virtual bus, without a window. Tests of what a run writes
// drive it tick by tick: StartRun stops the tick timer that Start set going, and the test ticks
// once the results it waits for are in.
class TCoreRunTest : public testing::Test, public TRunMeters {
protected:
    QTemporaryDir Dir;
    QString IniName = Dir.filePath(QStringLiteral("Settings.ini"));
    QString LogName = Dir.filePath(QStringLiteral("run.txt"));
    TVirtualHidBus Bus;
    std::vector<std::shared_ptr<TVirtualMeter>> Devices;
    std::unique_ptr<TMeterSet> Meters;
    std::unique_ptr<TRunController> Run;
    // Results since the last WaitForResults, by serial number.
    std::map<QString, int> Results;
    // Results that reached the run while it ran, by serial number.
    std::map<QString, int> RunResults;
    // The errors each meter signalled, by serial number.
    std::map<QString, QStringList> Failures;
    // What discovery could not set up.
    QStringList DiscoveryFailures;

    // Plugs meters 0 to meters - 1 in with their sections (see WriteCap1MeterSettings), sets up
    // the meter set and the run, and waits until discovery has found the meters.
    void Start(int meters, bool temperature = false, int configuration = 0x10) {
        {
            TIniFile ini(IniName);
            for (int i = 0; i < meters; ++i)
                WriteCap1MeterSettings(ini, Serial(i), temperature, configuration);
        }
        Devices = PlugMeters(Bus, meters);
        CreateSet();
        ASSERT_TRUE(WaitForMeters(std::size_t(meters)));
    }
    // The meter set and the run on the bus as it is; discovery runs from the event loop. A
    // timer-mode tick of the run would come too late to get in the test's way.
    void CreateSet() {
        Meters = std::make_unique<TMeterSet>(Bus, IniName);
        Run = std::make_unique<TRunController>(*Meters);
        Run->SetInterval(30000);
        Run->SetLogFileName(LogName);
        QObject::connect(Meters.get(), &TMeterSet::Result, [this](std::size_t meter, auto...) {
            const QString serial = SerialOf(meter);
            ++Results[serial];
            RunResults[serial] += Run->Running();
        });
        QObject::connect(Meters.get(), &TMeterSet::MeterFailed,
                         [this](std::size_t meter, const QString& message) {
                             Failures[SerialOf(meter)] << message;
                         });
        QObject::connect(Meters.get(), &TMeterSet::DiscoveryFailed,
                         [this](const QString& message) { DiscoveryFailures << message; });
    }
    // Frees the run and the meter set, and first cuts every connection to them: tests connect
    // lambdas that capture their own locals, and the meters' workers hand on their last results
    // as the meters go.
    void FreeSet() {
        for (QObject* sender :
             {static_cast<QObject*>(Run.get()), static_cast<QObject*>(Meters.get())})
            if (sender)
                QObject::disconnect(sender, nullptr, nullptr, nullptr);
        Run.reset();
        Meters.reset();
    }
    void TearDown() override { FreeSet(); }
    QString SerialOf(std::size_t meter) const { return Meters->Meters().at(meter)->SerNum(); }
    QStringList Serials() const {
        QStringList serials;
        for (const TMeter* meter : Meters->Meters())
            serials << meter->SerNum();
        return serials;
    }

    // Starts the run, which then goes on only by the test's ticks.
    void StartRun() {
        Run->Start();
        ASSERT_TRUE(Run->Running());
        Run->TickTimer().stop();
    }
    bool WaitForMeters(std::size_t count) {
        return QTest::qWaitFor([&] { return Meters->Meters().size() == count; }, 5000);
    }
    // Waits until each of serials has delivered a result since the last wait.
    bool WaitForResults(const QStringList& serials) {
        const bool all = QTest::qWaitFor(
            [&] {
                for (const QString& serial : serials)
                    if (Results[serial] == 0)
                        return false;
                return true;
            },
            5000);
        Results.clear();
        return all;
    }
    // Waits for a result of each of serials, then ticks: its row or block holds them.
    bool TickAfterResults(const QStringList& serials) {
        if (!WaitForResults(serials))
            return false;
        Run->Tick();
        return true;
    }
    TRunLog Log(const QByteArray& header) const { return TRunLog::Read(LogName, header); }
};
