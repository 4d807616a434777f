#include "app/LogViewer.h"

#include "app/ChartArea.h"
#include "app/core/CsvExport.h"
#include "dialogs/ChartEditor.h"
#include "dialogs/prompts/ErrorReport.h"
#include "dialogs/prompts/FileDialog.h"

#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>

#include <cmath>
#include <memory>

namespace {

// Each slice of reading leaves the event loop the rest of the time: a run in the main window
// and redraws go on.
constexpr int SliceMs = 25;
// Problems told in the tooltip; the rest are counted.
constexpr std::size_t ProblemsShown = 20;

} // namespace

TLogViewer::TLogViewer(QWidget* parent)
    : QMainWindow(parent) {
    setWindowFlag(Qt::Window);
    setAttribute(Qt::WA_DeleteOnClose);
    FCharts = new TChartArea(this);
    setCentralWidget(FCharts);
    // A log holds no elapsed times of the meters.
    FCharts->ShowTimingChart(false);
    FChartEditor = new TChartEditor(this);
    connect(FCharts, &TChartArea::EditRequested, this,
            [this](TChart* chart) { FChartEditor->Edit(chart); });
    connect(FCharts, &TChartArea::ImageSaved, this, [this](const QString& fileName) {
        statusBar()->showMessage(QStringLiteral("Saved %1").arg(fileName), 5000);
    });

    FState = new QLabel(this);
    FState->setObjectName(QStringLiteral("LogState"));
    FProgress = new QProgressBar(this);
    FProgress->setRange(0, 1000);
    FProgress->setMaximumWidth(200);
    FCancel = new QPushButton(QStringLiteral("Cancel"), this);
    connect(FCancel, &QPushButton::clicked, this, &TLogViewer::CancelLoading);
    statusBar()->addWidget(FState, 1);
    statusBar()->addPermanentWidget(FProgress);
    statusBar()->addPermanentWidget(FCancel);
    FProgress->hide();
    FCancel->hide();
    BuildMenu();
    resize(900, 700);

    FSliceTimer.setInterval(0);
    connect(&FSliceTimer, &QTimer::timeout, this,
            [this] { Guarded(this, [this] { ReadSlice(); }); });
}

TLogViewer::~TLogViewer() = default;

void TLogViewer::BuildMenu() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    QAction* exportCsv = file->addAction(QStringLiteral("&Export CSV..."));
    connect(exportCsv, &QAction::triggered, this, &TLogViewer::ExportCsvAs);
    file->addSeparator();
    QAction* close = file->addAction(QStringLiteral("&Close"));
    close->setShortcut(QKeySequence::Close);
    connect(close, &QAction::triggered, this, &QWidget::close);
}

TLogViewer* TLogViewer::Show(const QString& fileName, ETimeAxis axis, QWidget* parent) {
    auto viewer = std::make_unique<TLogViewer>(parent);
    viewer->Charts().Series().SetTimeAxis(axis);
    try {
        viewer->Open(fileName);
    } catch (const std::exception& error) {
        ReportError(parent, error);
        return nullptr;
    }
    viewer->show();
    return viewer.release();
}

void TLogViewer::Open(const QString& fileName) {
    auto reader = std::make_unique<TLogReader>(fileName);
    FFileName = fileName;
    FHeader = reader->Header();
    FReader = std::move(reader);
    FRows = 0;
    FProblemCount = 0;
    FDamagedLines = 0;
    FProblems.clear();
    FEnding.clear();
    setWindowTitle(
        QStringLiteral("DieloMeter - %1 (read only)").arg(QFileInfo(fileName).fileName()));

    // The meters' series as a run draws them: each quantity that has a column.
    std::vector<TMeterSeries> meters;
    for (const TLogMeterHeader& meter : FHeader.Meters)
        meters.push_back({meter.Serial});
    for (const TLogColumn& column : FHeader.Columns) {
        TMeterSeries& meter = meters[column.Meter];
        (column.Quantity == EChartQuantity::Cap1          ? meter.Cap1
         : column.Quantity == EChartQuantity::Cap2        ? meter.Cap2
         : column.Quantity == EChartQuantity::Temperature ? meter.Temperature
                                                          : meter.Resistance) = true;
    }
    FCharts->Series().Clear();
    FCharts->Rebuild(meters);
    FCharts->ShowHint(FCharts->ShowsNoChart() ? QStringLiteral("This log holds no values.")
                                              : QString());
    // Without a readable date the clock counts from 1970; the elapsed time is right either way.
    FCreatedMs = FHeader.Created.isValid() ? FHeader.Created.toMSecsSinceEpoch() : 0;
    FCharts->Series().RunStarting(FCreatedMs);

    FProgress->setValue(0);
    FProgress->show();
    FCancel->show();
    ShowState();
    FSliceTimer.start();
}

void TLogViewer::ReadSlice() {
    if (!FReader)
        return;
    QElapsedTimer slice;
    slice.start();
    TChartSet& series = FCharts->Series();
    TLogRow row;
    bool more = true;
    try {
        while (slice.elapsed() < SliceMs && (more = FReader->Next(row))) {
            ++FRows;
            for (std::size_t c = 0; c < row.Values.size(); ++c) {
                // An empty field is no point, as a run draws none for it.
                if (std::isnan(row.Values[c]))
                    continue;
                const TLogColumn& column = FHeader.Columns[c];
                series.Add(column.Meter, column.Quantity, double(row.Points[c]), row.Values[c], 0,
                           FCreatedMs + row.ElapsedMs);
            }
        }
    } catch (const ELogReadError&) {
        EndLoading(QStringLiteral("stopped by a read error"));
        throw;
    }
    if (FReader->Size() > 0)
        FProgress->setValue(int(1000 * FReader->BytesRead() / FReader->Size()));
    FProblemCount = FReader->ProblemCount();
    FDamagedLines = FReader->DamagedLines();
    FProblems = FReader->Problems();
    if (!more)
        EndLoading(QString());
    else
        ShowState();
}

void TLogViewer::FinishLoading() {
    while (FReader)
        ReadSlice();
}

void TLogViewer::CancelLoading() {
    if (FReader)
        EndLoading(QStringLiteral("cancelled"));
}

void TLogViewer::EndLoading(const QString& how) {
    FSliceTimer.stop();
    FReader.reset();
    FEnding = how;
    FProgress->hide();
    FCancel->hide();
    ShowState();
    emit Loaded();
}

QString TLogViewer::StateText() const {
    QString text =
        QStringLiteral("%1, %2 %3, %4 %5")
            .arg(FHeader.FastMode
                     ? QStringLiteral("Fast mode at %1 ms").arg(FHeader.IntervalText)
                     : QStringLiteral("Timer mode every %1 ms").arg(FHeader.IntervalMs))
            .arg(FHeader.Meters.size())
            .arg(FHeader.Meters.size() == 1 ? QStringLiteral("meter") : QStringLiteral("meters"))
            .arg(QLocale().toString(FRows))
            .arg(FRows == 1 ? QStringLiteral("row") : QStringLiteral("rows"));
    if (!FHeader.CreatedText.isEmpty())
        text += QStringLiteral(", started %1").arg(FHeader.CreatedText);
    if (Loading())
        text += QStringLiteral(" so far");
    else if (!FEnding.isEmpty())
        text += QStringLiteral(": reading %1").arg(FEnding);
    if (FDamagedLines > 0)
        text += QStringLiteral("; %1 %2 could not be read in full")
                    .arg(FDamagedLines)
                    .arg(FDamagedLines == 1 ? QStringLiteral("line") : QStringLiteral("lines"));
    return text;
}

void TLogViewer::ShowState() {
    FState->setText(StateText());
    QStringList lines;
    for (std::size_t i = 0; i < FProblems.size() && i < ProblemsShown; ++i)
        lines << QStringLiteral("Line %1: %2").arg(FProblems[i].Line).arg(FProblems[i].Reason);
    if (FProblemCount > qint64(lines.size()) && !lines.isEmpty())
        lines << QStringLiteral("... and %1 more").arg(FProblemCount - qint64(lines.size()));
    FState->setToolTip(lines.join(u'\n'));
}

void TLogViewer::ExportCsvAs() {
    Guarded(this, [this] {
        TFileDialog dialog(TFileDialog::EKind::Save, QStringLiteral("Export CSV"),
                           QStringLiteral("CSV file|*.csv"), QStringLiteral("csv"));
        dialog.SetFileName(CsvFileNameOf(FFileName));
        if (!dialog.Execute(this))
            return;
        const TCsvExport written = ExportCsv(FFileName, dialog.FileName());
        statusBar()->showMessage(
            QStringLiteral("Wrote %1 rows to %2").arg(written.Rows).arg(dialog.FileName()), 5000);
    });
}

void TLogViewer::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (FCharts->SplittersPlaced())
        return;
    FCharts->PlaceSplitters();
}
