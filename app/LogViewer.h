#pragma once

#include "app/TimeAxis.h"
#include "app/core/LogReader.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QTimer>

#include <memory>

class QLabel;
class QProgressBar;
class QPushButton;
class TChartArea;
class TChartEditor;

// A read-only window with a log of an earlier run in the charts a run draws in: the same series
// titles and colours, zoom, pan, follow, image export, readout and time axes. It reads the log
// in slices from the event loop, so that a run in the main window goes on meanwhile, with a
// progress bar and Cancel in its status bar; what was read stays shown when the user cancels.
// Lines that could not be read in full are counted in the status bar, each told in its tooltip.
class TLogViewer : public QMainWindow {
    Q_OBJECT
public:
    explicit TLogViewer(QWidget* parent = nullptr);
    ~TLogViewer() override;

    // Opens the log in a new viewer on the given time axis and shows it; a file that cannot be
    // read is reported, and gives nullptr.
    static TLogViewer* Show(const QString& fileName, ETimeAxis axis, QWidget* parent = nullptr);

    // Shows the log, read from the event loop from now on. Raises ELogReadError when the file
    // cannot be read or is no log of this program.
    void Open(const QString& fileName);
    const QString& FileName() const { return FFileName; }
    bool Loading() const { return FReader != nullptr; }
    // Reads the rest of the log at once.
    void FinishLoading();
    // Stops reading; the rows read so far stay shown.
    void CancelLoading();
    qint64 RowsRead() const { return FRows; }

    TChartArea& Charts() const { return *FCharts; }
    // The text beside the progress bar: the run's mode, meters, rows and any damage.
    QString StateText() const;

signals:
    void Loaded();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void BuildMenu();
    // Reads rows for a slice of the event loop's time.
    void ReadSlice();
    void EndLoading(const QString& how);
    void ShowState();
    void ExportCsvAs();

    TChartArea* FCharts = nullptr;
    TChartEditor* FChartEditor = nullptr;
    QLabel* FState = nullptr;
    QProgressBar* FProgress = nullptr;
    QPushButton* FCancel = nullptr;
    QString FFileName;
    std::unique_ptr<TLogReader> FReader;
    TLogHeader FHeader;
    qint64 FRows = 0;
    qint64 FProblemCount = 0;
    qint64 FDamagedLines = 0;
    std::vector<TLogProblem> FProblems;
    QString FEnding; // how loading ended, when not by reaching the end
    std::int64_t FCreatedMs = 0;
    QTimer FSliceTimer;
};
