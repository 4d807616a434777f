#include "SignalCloser.h"

#include "Main.h"
#include "ScriptedPrompts.h"
#include "VirtualHidBus.h"

#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>

namespace {

// SIGTERM and SIGINT end the program as "Exit" does: the window closes, and its shutdown then
// writes the settings.
TEST(SignalCloserTest, TerminationSignalsCloseTheWindow) {
    TScriptedPrompts prompts;
    QTemporaryDir dir;
    TVirtualHidBus bus;
    for (int signal : {SIGTERM, SIGINT}) {
        TForm1 form(dir.filePath(QStringLiteral("Settings.ini")), bus);
        TSignalCloser closer(&form);
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
        std::raise(signal);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !form.isVisible(); }, 5000));
    }
    // After the closer is gone the default handling is back (checked without raising it).
    struct sigaction current = {};
    sigaction(SIGTERM, nullptr, &current);
    EXPECT_EQ(current.sa_handler, SIG_DFL);
}

} // namespace
