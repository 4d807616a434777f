// The window on Linux device nodes that umockdev emulates: libudev discovery, the udev
// monitor, and /dev/hidrawN transfers, with meters pulled out, plugged back in, and refused.
#include "app/MainWindow.h"
#include "app/Program.h"
#include "sim/VirtualMeter.h"
#include "tests/support/PullOutRun.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/support/UmockdevTest.h"

#include <QListWidget>
#include <QTest>

#include <gtest/gtest.h>

namespace {

class LinuxDevicesTest : public TUmockdevTest {
protected:
    void TearDown() override {
        Form = nullptr;
        Program.reset();
        TUmockdevTest::TearDown();
    }

    TScriptedPrompts Prompts;
    std::unique_ptr<TProgram> Program;
    TMainWindow* Form = nullptr;

    // The program's files on the nodes, without the fixture's own.
    int NodeFiles() const { return OpenFilesTo("/dev/hidraw") - FFixture->OwnNodeFiles(); }
    // Wake-up events beyond one per thread. Every Qt thread holds one for its event loop, and
    // Qt's pooled threads come and go as they please; a meter's event left behind by its worker
    // is one more. A thread caught while starting or ending may not hold its event, so a count
    // may be off by one or two; a leak grows with every pull-out.
    static int SpareWakeUpEvents() { return OpenFilesTo("[eventfd]") - int(ThreadNames().size()); }
};

// Pull-outs through the kernel's interfaces: each one closes the meter's files (main handle,
// reader handle, wake-up event) and the replugged meter opens them anew, so a leak would grow
// with every cycle.
TEST_F(LinuxDevicesTest, TwentyPullOutsPerModeLeakNoHandleOrThread) {
    for (const bool fast : {false, true}) {
        SCOPED_TRACE(fast ? "fast mode" : "timer mode");
        TPullOutRun run;
        std::vector<std::shared_ptr<TVirtualMeter>> meters;
        std::vector<std::string> nodes;
        for (int i = 0; i < TPullOutRun::MeterCount; ++i) {
            meters.push_back(TPullOutRun::NewMeter(i));
            nodes.push_back(FFixture->AddDevice(meters.back()));
        }
        Program = std::make_unique<TProgram>(*FBackend, run.IniName);
        Form = &Program->Window();
        int nodeFiles = -1, spareEvents = -1;
        run.Run(
            *Form, fast, 20,
            [&](int i) {
                if (nodeFiles < 0) { // in the run, before the first pull-out
                    nodeFiles = NodeFiles();
                    spareEvents = SpareWakeUpEvents();
                }
                FFixture->Unplug(nodes[std::size_t(i)]);
            },
            [&](int i) { nodes[std::size_t(i)] = FFixture->Replug(nodes[std::size_t(i)]); },
            [&] {
                EXPECT_TRUE(QTest::qWaitFor(
                    [&] {
                        return NodeFiles() == nodeFiles && SpareWakeUpEvents() <= spareEvents + 2;
                    },
                    2000))
                    << NodeFiles() << " files on the nodes; " << OpenFilesTo("[eventfd]")
                    << " wake-up events, " << spareEvents << " more than threads before, with "
                    << ThreadNames().join(u',').toStdString();
            });
        EXPECT_EQ(nodeFiles, 2 * TPullOutRun::MeterCount) << "a main and a reader handle each";
        EXPECT_TRUE(Prompts.Errors.isEmpty()) << Prompts.Errors.join(u'\n').toStdString();
        Form = nullptr;
        Program.reset();
        run.CheckLog();
        EXPECT_EQ(NodeFiles(), 0);
        EXPECT_TRUE(QTest::qWaitFor([] { return ThreadsNamed("Measurement") == 0; }, 2000));
        for (const std::string& node : nodes)
            FFixture->Unplug(node);
    }
}

// A node the user may not open: the meter is listed with how to fix it, and the other meter
// works.
TEST_F(LinuxDevicesTest, MeterWithoutAccessIsListedWithTheFix) {
    TPullOutRun run;
    FFixture->AddDevice(TPullOutRun::NewMeter(0));
    TUmockdevDeviceOptions refused;
    refused.ReadWriteAllowed = false;
    const std::string node = FFixture->AddDevice(TPullOutRun::NewMeter(1), refused);
    Program = std::make_unique<TProgram>(*FBackend, run.IniName);
    Form = &Program->Window();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form->Settings->MeterList->count() == 2; }, 5000));
    EXPECT_EQ(Form->MeterSet().Meters().size(), 1u);
    EXPECT_EQ(Form->Settings->MeterList->item(1)->text(), QStringLiteral("M2 (no access)"));
    const QString fix = Form->Settings->MeterList->item(1)->toolTip();
    EXPECT_TRUE(fix.contains(QString::fromStdString(node))) << fix.toStdString();
    EXPECT_TRUE(fix.contains(QLatin1String("70-dielometer.rules")));
    EXPECT_TRUE(Prompts.Errors.isEmpty()) << Prompts.Errors.join(u'\n').toStdString();
}

} // namespace
