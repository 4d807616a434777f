#include "app/MainWindow.h"
#include "app/Program.h"
#include "link/hid/VirtualHidBus.h"
#include "model/Meter.h"
#include "sim/VirtualMeter.h"
#include "tests/support/PullOutRun.h"
#include "tests/support/ScriptedPrompts.h"

#include <QListWidget>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// Meters pulled out and plugged back in during runs of the whole program: the window follows
// every change without an error box, and the log keeps its columns. The hundredfold pull-outs,
// the device faults and the full disk are tested on the core without a window.
TEST(FaultTest, PullOutsDuringRunsThroughTheWindow) {
    for (const bool fast : {false, true}) {
        SCOPED_TRACE(fast ? "fast mode" : "timer mode");
        TPullOutRun run;
        TScriptedPrompts prompts;
        TVirtualHidBus bus;
        const auto meters = TPullOutRun::PlugMeters(bus);
        {
            TProgram program(bus, run.IniName);
            TMainWindow& form = program.Window();
            run.Run(
                form, fast, 20, [&](int i) { bus.Unplug(meters[std::size_t(i)]); },
                [&](int i) { bus.Plug(meters[std::size_t(i)]); });
            EXPECT_TRUE(prompts.Errors.isEmpty()) << prompts.Errors.join(u'\n').toStdString();
            // A line a meter, none marked.
            ASSERT_EQ(form.Settings->MeterList->count(), TPullOutRun::MeterCount);
            for (int i = 0; i < TPullOutRun::MeterCount; ++i)
                EXPECT_EQ(form.Settings->MeterList->item(i)->text(),
                          form.MeterSet().Meters()[std::size_t(i)]->SerNum());
        }
        run.CheckLog();
        EXPECT_TRUE(QTest::qWaitFor([] { return ThreadsNamed("Measurement") == 0; }, 2000))
            << ThreadsNamed("Measurement") << " workers left";
    }
}

} // namespace
