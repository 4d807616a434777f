#pragma once

#include "app/AxisLink.h"
#include "app/ChartSet.h"

#include <QSplitter>

#include <array>
#include <memory>
#include <vector>

class QLabel;
class QMenu;
class TIniFile;

// The window's chart area, split in two panels: above, the timing chart (shown on request)
// over the capacitance chart; below, the temperature chart over the resistance chart. A chart
// shows while it has series, the lower panel while one of its charts shows, and a hint takes
// the upper panel's place while no chart shows. The user's splitter positions persist, and so
// do whether the charts' time axes are linked ("Link Time Axes" in each chart's context menu)
// and how they count ("Time Axis": point number, elapsed time or clock time).
class TChartArea : public QSplitter {
    Q_OBJECT
public:
    explicit TChartArea(QWidget* parent = nullptr);
    ~TChartArea() override;

    TChart* CapacitanceChart = nullptr;
    TChart* TemperatureChart = nullptr;
    TChart* ResistanceChart = nullptr;
    TChart* TimingChart = nullptr;

    // Which series of the four charts belongs to which meter.
    TChartSet& Series() const { return *FSeries; }
    // Whether the charts' time axes move together.
    TAxisLink& AxisLink() const { return *FAxisLink; }

    // Gives the meters their series and lays out the charts that have series.
    void Rebuild(const std::vector<TMeterSeries>& meters);
    // True while the capacitance, temperature and resistance charts all have no series.
    bool ShowsNoChart() const;
    // What to do while no chart shows; an empty text takes the hint away.
    void ShowHint(const QString& hint);
    void ShowTimingChart(bool show);

    // The first layout, in pixels: call once the area has its size, at the window's first show.
    // The splitter positions read by RestorePlacement then replace it.
    void PlaceSplitters();
    bool SplittersPlaced() const { return FPlaced; }
    // The splitter positions, the axis link and how the time axis counts, in the program
    // settings file's section "Window".
    void RestorePlacement(const TIniFile& ini);
    void SavePlacement(TIniFile& ini) const;

    QWidget* LowerPanel() const { return FLowerPanel; }
    QSplitter* LowerSplitter() const { return FLowerSplitter; }

signals:
    // A chart's double click, or "Edit Chart..." in its context menu.
    void EditRequested(TChart* chart);
    void ImageSaved(const QString& fileName);

private:
    // The context menu's "Time Axis" choices.
    void AddTimeAxisMenu(QMenu* menu);

    QWidget* FUpperPanel = nullptr;
    QSplitter* FUpperSplitter = nullptr;
    QWidget* FLowerPanel = nullptr;
    QSplitter* FLowerSplitter = nullptr;
    QLabel* FHint = nullptr;
    std::unique_ptr<TChartSet> FSeries;
    TAxisLink* FAxisLink = nullptr;
    bool FPlaced = false;
    // Splitter states read at start, applied at the first show: charts, upper, lower.
    std::array<QByteArray, 3> FSavedStates;
};
