#include "app/core/SignalCloser.h"

#include "app/MainWindow.h"
#include "app/Program.h"
#include "link/hid/VirtualHidBus.h"
#include "tests/support/ScriptedPrompts.h"

#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>

namespace {

// SIGTERM and SIGINT end the program as "Exit" does: the window closes, and its shutdown then
// writes the settings.
// As the program wires it: a signal stops a run and closes the window without a question,
// since nobody may be there to answer it.
TEST(SignalCloserTest, TerminationSignalsStopTheRunAndCloseTheWindow) {
    TScriptedPrompts prompts;
    QTemporaryDir dir;
    TVirtualHidBus bus;
    for (int signal : {SIGTERM, SIGINT}) {
        TProgram program(bus, dir.filePath(QStringLiteral("Settings.ini")));
        TMainWindow& form = program.Window();
        TSignalCloser closer(&form, [&form] { form.CloseWithoutAsking(); });
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
        form.Run().SetLogFileName(dir.filePath(QStringLiteral("run%1.txt").arg(signal)));
        form.StartBtnClick();
        ASSERT_TRUE(form.Run().Running());
        std::raise(signal);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !form.isVisible(); }, 5000));
        EXPECT_FALSE(form.Run().Running());
    }
    EXPECT_TRUE(prompts.Questions.isEmpty());
    // After the closer is gone the default handling is back (checked without raising it).
    struct sigaction current = {};
    sigaction(SIGTERM, nullptr, &current);
    EXPECT_EQ(current.sa_handler, SIG_DFL);
}

} // namespace
