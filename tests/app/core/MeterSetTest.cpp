#include "app/core/MeterSet.h"

#include "model/IniFile.h"
#include "model/Meter.h"
#include "sim/ForeignHidDevice.h"
#include "sim/VirtualMeter.h"
#include "tests/support/CoreRun.h"

#include <QTest>

#include <gtest/gtest.h>

#include <functional>

namespace {

// Discovery on a virtual bus; meters are plugged in before or after the set starts.
class MeterSetTest : public TCoreRunTest {
protected:
    std::shared_ptr<TVirtualMeter> Plug(const QString& serial, bool access = true) {
        auto meter = std::make_shared<TVirtualMeter>(serial);
        Bus.Plug(meter, access);
        return meter;
    }
    bool WaitFor(const std::function<bool()>& done) { return QTest::qWaitFor(done, 5000); }
};

TEST_F(MeterSetTest, OnlyTheExactProductStringMakesAMeter) {
    Plug(QStringLiteral("M1"));
    std::vector<std::shared_ptr<TForeignHidDevice>> foreign;
    for (const char* product : {"corvane v2", "Corvane v2 ", " Corvane v2", "Corvane  v2"}) {
        foreign.push_back(
            std::make_shared<TForeignHidDevice>(QLatin1String(product), QStringLiteral("F")));
        Bus.Plug(foreign.back());
    }
    Plug(QStringLiteral("M2"));
    CreateSet();
    ASSERT_TRUE(WaitForMeters(2));
    EXPECT_EQ(Serials(), QStringList({"M1", "M2"}));
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(Meters->Meters()[i]->Channel(), int(i));
        EXPECT_EQ(Meters->IndexOf(Meters->Meters()[i]), int(i));
    }
    for (const auto& device : foreign)
        EXPECT_EQ(device->ReportsReceived(), 0) << "a foreign device is left alone";
    EXPECT_TRUE(Meters->LockedMeters().empty());
    EXPECT_TRUE(DiscoveryFailures.isEmpty());
}

TEST_F(MeterSetTest, EveryChangeRebuildsEveryMeterFromTheSettingsFile) {
    Plug(QStringLiteral("M1"));
    TIniFile(IniName).WriteInteger(QStringLiteral("M1"), QStringLiteral("CAP1Mode"), 1);
    CreateSet();
    ASSERT_TRUE(WaitForMeters(1));
    TMeter* first = Meters->Meters()[0];
    EXPECT_EQ(first->CAP1Mode(), 1);
    first->SetCAP1Mode(2); // changed in memory only

    // A foreign device arrives: the meter is built anew and reads the file again.
    TIniFile(IniName).WriteInteger(QStringLiteral("M1"), QStringLiteral("CAP2Mode"), 2);
    const auto keyboard = std::make_shared<TForeignHidDevice>();
    Bus.Plug(keyboard);
    ASSERT_TRUE(
        WaitFor([&] { return !Meters->Meters().empty() && Meters->Meters()[0]->CAP2Mode() == 2; }));
    EXPECT_EQ(Meters->Meters()[0]->CAP1Mode(), 1);
    EXPECT_EQ(keyboard->ReportsReceived(), 0) << "a foreign device is left alone";

    const auto second = Plug(QStringLiteral("M2"));
    ASSERT_TRUE(WaitForMeters(2));
    Bus.Unplug(second);
    ASSERT_TRUE(WaitForMeters(1));
    EXPECT_EQ(Serials(), QStringList({"M1"}));
}

// A meter's worker error is signalled with that meter's index; the others are not touched.
TEST_F(MeterSetTest, MeterErrorIsSignalledForThatMeter) {
    Plug(QStringLiteral("M1"));
    const auto meter = Plug(QStringLiteral("M2"));
    CreateSet();
    ASSERT_TRUE(WaitForMeters(2));
    ASSERT_EQ(SerialOf(1), QStringLiteral("M2"));
    TMeter* model = Meters->Meters()[1];
    model->SetCAP1Mode(1);
    model->SetRegsFromConfig();
    model->StartMes();
    meter->SetTransfersFailing(true);
    model->TriggerMeasurement();
    ASSERT_TRUE(WaitFor([&] { return !Failures.empty(); }));
    ASSERT_EQ(Failures.size(), 1u);
    ASSERT_EQ(Failures.begin()->first, QStringLiteral("M2"));
    EXPECT_FALSE(Failures.begin()->second.value(0).isEmpty()) << "it says what failed";
}

// A meter the user may not open is kept apart with its device, not set up and not reported at
// every change; once plugged in again with access it is a meter like the others.
TEST_F(MeterSetTest, MeterWithoutAccessIsKeptApartUntilItHasAccess) {
    Plug(QStringLiteral("M1"));
    const auto locked = Plug(QStringLiteral("M2"), false);
    CreateSet();
    ASSERT_TRUE(WaitFor([&] { return Meters->LockedMeters().size() == 1; }));
    EXPECT_EQ(Serials(), QStringList({"M1"}));
    EXPECT_EQ(Meters->LockedMeters()[0].Serial, QStringLiteral("M2"));
    EXPECT_FALSE(Meters->LockedMeters()[0].DevicePath.isEmpty());
    int changes = 0;
    QObject::connect(Meters.get(), &TMeterSet::MetersChanged, [&] { ++changes; });
    Bus.Plug(std::make_shared<TForeignHidDevice>());
    ASSERT_TRUE(WaitFor([&] { return changes > 0; }));
    EXPECT_EQ(Meters->LockedMeters().size(), 1u);
    EXPECT_TRUE(DiscoveryFailures.isEmpty()) << "kept apart, not an error at every change";

    Bus.Unplug(locked);
    ASSERT_TRUE(WaitFor([&] { return Meters->LockedMeters().empty(); }));
    Bus.Plug(locked);
    ASSERT_TRUE(WaitForMeters(2));
    EXPECT_EQ(Serials(), QStringList({"M1", "M2"}));
    EXPECT_TRUE(Meters->LockedMeters().empty());
}

} // namespace
