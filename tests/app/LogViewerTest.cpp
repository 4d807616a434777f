#include "app/LogViewer.h"

#include "app/MainWindow.h"
#include "app/Program.h"
#include "app/core/LogFile.h"
#include "link/RegisterImage.h"
#include "link/hid/VirtualHidBus.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/support/TextFiles.h"

#include <QMenu>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace {

const QDateTime Created(QDate(2026, 12, 11), QTime(9, 30, 0));

QStringList Titles(const TChart& chart) {
    QStringList titles;
    for (int i = 0; i < chart.graphCount(); ++i)
        titles << chart.graph(i)->name();
    return titles;
}

class LogViewerTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    QString LogName = Dir.filePath(QStringLiteral("run.txt"));
    TScriptedPrompts Prompts;

    // A timer-mode log every 500 ms of meter A (CAP1 and temperature) and meter B (CAP1), 30
    // rows; B is out in rows 11 to 20. Row r holds CAP1 r of A, 100 + r of B and 20 + r / 10.
    void WriteLog(const QByteArray& damage = {}) {
        TLogSettings settings;
        settings.Interval = QStringLiteral("500");
        settings.Created = Created;
        TLogMeter a;
        a.Serial = QStringLiteral("A");
        a.RegData[RegCapSetup] = CapSetupEnable;
        a.RegData[RegVtSetup] = VtSetupEnable;
        TLogMeter b = a;
        b.Serial = QStringLiteral("B");
        b.RegData[RegVtSetup] = 0;
        settings.Meters = {a, b};
        TLogFile log;
        log.Open(LogName, settings, QLocale::c());
        for (int r = 1; r <= 30; ++r) {
            const bool out = r > 10 && r <= 20;
            log.WriteRowsText({ValueRow(
                {{double(r), 20 + r / 10.0}, out ? std::vector<double>{} : std::vector{100.0 + r}},
                QLocale::c(), std::vector{2, 1})});
        }
        log.Close();
        if (!damage.isEmpty()) {
            QFile file(LogName);
            ASSERT_TRUE(file.open(QIODevice::Append));
            file.write(damage);
        }
    }
};

// The log's series as a run draws them: titles, colours, which charts show, the points at their
// point numbers and, on a time axis, at their times.
TEST_F(LogViewerTest, ShowsTheSeriesARunDraws) {
    WriteLog();
    TLogViewer viewer;
    viewer.setAttribute(Qt::WA_DeleteOnClose, false);
    QSignalSpy loaded(&viewer, &TLogViewer::Loaded);
    viewer.Open(LogName);
    viewer.show();
    ASSERT_TRUE(loaded.wait(5000));
    EXPECT_EQ(viewer.RowsRead(), 30);
    EXPECT_EQ(viewer.StateText(),
              QStringLiteral("Timer mode every 500 ms, 2 meters, 30 rows, started %1")
                  .arg(CreatedText(Created, QLocale::c())));

    TChartArea& charts = viewer.Charts();
    EXPECT_EQ(Titles(*charts.CapacitanceChart), QStringList({"CAP1.A", "CAP1.B"}));
    EXPECT_EQ(Titles(*charts.TemperatureChart), QStringList({"Temp.A    "}));
    EXPECT_TRUE(charts.ResistanceChart->isHidden());
    EXPECT_TRUE(charts.TimingChart->isHidden());
    // The colours a run gives the same meters.
    TChartArea live;
    live.Rebuild({{QStringLiteral("A"), true, false, true, false},
                  {QStringLiteral("B"), true, false, false, false}});
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(charts.CapacitanceChart->graph(i)->pen(), live.CapacitanceChart->graph(i)->pen());

    const QCPGraph* a = charts.Series().Series(0, EChartQuantity::Cap1);
    const QCPGraph* b = charts.Series().Series(1, EChartQuantity::Cap1);
    ASSERT_EQ(a->dataCount(), 30);
    ASSERT_EQ(b->dataCount(), 20);
    EXPECT_EQ(a->dataMainKey(29), 30);
    EXPECT_EQ(a->dataMainValue(29), 30);
    EXPECT_EQ(b->dataMainKey(10), 21) << "no points while B was out";
    EXPECT_EQ(b->dataMainValue(10), 121);
    EXPECT_DOUBLE_EQ(charts.Series().Series(0, EChartQuantity::Temperature)->dataMainValue(14),
                     21.5);

    // Row r's values were measured from r - 2 intervals after Start on.
    charts.Series().SetTimeAxis(ETimeAxis::Elapsed);
    EXPECT_EQ(a->dataMainKey(0), 0);
    EXPECT_EQ(a->dataMainKey(29), 14);
    EXPECT_EQ(b->dataMainKey(10), 9.5);
    charts.Series().SetTimeAxis(ETimeAxis::Clock);
    EXPECT_EQ(a->dataMainKey(2), double(Created.toMSecsSinceEpoch()) / 1000 + 0.5);
}

// Cancel keeps what was read; damaged lines are counted and told in the tooltip.
TEST_F(LogViewerTest, CancelKeepsWhatWasReadAndDamageIsTold) {
    WriteLog("31.000000\t2x\t\r\n");
    TLogViewer viewer;
    viewer.setAttribute(Qt::WA_DeleteOnClose, false);
    viewer.Open(LogName);
    EXPECT_TRUE(viewer.Loading());
    viewer.CancelLoading();
    EXPECT_FALSE(viewer.Loading());
    EXPECT_EQ(viewer.RowsRead(), 0);
    EXPECT_TRUE(viewer.StateText().endsWith(QStringLiteral("0 rows, started %1: reading cancelled")
                                                .arg(CreatedText(Created, QLocale::c()))))
        << viewer.StateText().toStdString();

    viewer.Open(LogName);
    viewer.FinishLoading();
    EXPECT_EQ(viewer.RowsRead(), 31);
    EXPECT_EQ(viewer.Charts().Series().Series(0, EChartQuantity::Cap1)->dataCount(), 31);
    EXPECT_TRUE(viewer.StateText().endsWith(QStringLiteral("; 1 line could not be read in full")))
        << viewer.StateText().toStdString();
    const QString told = viewer.findChild<QLabel*>(QStringLiteral("LogState"))->toolTip();
    EXPECT_TRUE(told.startsWith(QStringLiteral("Line 53: field 2 (Temp.A) reads \"2x\"")))
        << told.toStdString();
}

// "Open Log..." shows a log in a window of its own while the main window goes on; the log is
// kept among the recent logs, also for the next start; a file that is no log is reported.
TEST_F(LogViewerTest, MainWindowOpensLogsAndKeepsTheRecentOnes) {
    WriteLog();
    const QString iniName = Dir.filePath(QStringLiteral("Settings.ini"));
    TVirtualHidBus bus;
    auto program = std::make_unique<TProgram>(bus, iniName);
    TMainWindow& form = program->Window();
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_FALSE(form.RecentLogsMenu->isEnabled());

    Prompts.Files = {LogName};
    form.OpenLogAction->trigger();
    EXPECT_EQ(Prompts.DialogTitles, QStringList({"Open Log"}));
    const QList<TLogViewer*> viewers = form.findChildren<TLogViewer*>();
    ASSERT_EQ(viewers.size(), 1);
    EXPECT_TRUE(viewers[0]->isVisible());
    EXPECT_TRUE(viewers[0]->isWindow());
    ASSERT_EQ(form.RecentLogsMenu->actions().size(), 1);
    EXPECT_EQ(form.RecentLogsMenu->actions()[0]->text(), QStringLiteral("&1 ") + LogName);

    const QString notes = Dir.filePath(QStringLiteral("notes.txt"));
    WriteAll(notes, "Bring the calibration weights.\n");
    EXPECT_EQ(form.OpenLog(notes), nullptr);
    ASSERT_EQ(Prompts.Errors.size(), 1);
    EXPECT_TRUE(Prompts.Errors[0].contains(QStringLiteral("is no log of this program")))
        << Prompts.Errors[0].toStdString();

    program.reset();
    EXPECT_TRUE(ReadAll(iniName).contains(("RecentLog1=" + LogName).toUtf8()));
    program = std::make_unique<TProgram>(bus, iniName);
    TMainWindow& again = program->Window();
    ASSERT_EQ(again.RecentLogsMenu->actions().size(), 1);
    again.RecentLogsMenu->actions()[0]->trigger();
    ASSERT_EQ(again.findChildren<TLogViewer*>().size(), 1);
    QPointer<TLogViewer> viewer = again.findChildren<TLogViewer*>()[0];
    viewer->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(viewer.isNull()) << "a closed viewer goes";
}

} // namespace
