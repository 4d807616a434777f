#pragma once

#include "app/ChartReadout.h"
#include "app/ChartSeries.h"
#include "app/TimeAxis.h"
#include "dialogs/prompts/FileDialog.h"

#include <QElapsedTimer>
#include <QMenu>
#include <QPointer>
#include <QSharedPointer>
#include <QTimer>
#include <qcustomplot.h>

#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

class QLabel;
class QToolButton;

// Tick labels in the format "#,##0.#####": grouped thousands, at least one digit before the
// decimal separator, at most five decimals and no trailing zeros.
class TGroupedTicker : public QCPAxisTicker {
protected:
    QString getTickLabel(double tick, const QLocale& locale, QChar formatChar,
                         int precision) override;
};
QString FormatGrouped(double value, const QLocale& locale);

// Where a chart's legend sits: inside the plot in its top-left corner, away from the newest
// values at the right, or outside the plot, right of it or above it.
enum class ELegendPlace { TopLeft, Right, Above };

// One live chart: line series with a legend and a titled value axis on a white background.
// Points are added by the caller; the chart redraws at a capped rate, never once per point.
// The view follows the newest values until the user zooms or pans with the mouse; the
// "Follow newest" button, the Home key and the context menu bring it back. Under the pointer,
// a readout tells each visible series' point nearest to the pointer's time.
class TChart : public QCustomPlot {
    Q_OBJECT
public:
    // The least time between two redraws: about 30 a second at most.
    static constexpr std::chrono::milliseconds MinReplotGap{33};

    TChart(const QString& valueAxisTitle, QWidget* parent = nullptr);

    // A new series at the end, drawing data; pen width 2 and the first colour that no series
    // of the chart has.
    QCPGraph* AddSeries(const QString& title, const QSharedPointer<TSeriesData>& data);
    // Puts the chart's series in this order, in the legend and in drawing; order holds each
    // of them once.
    void OrderSeries(const std::vector<QCPGraph*>& order);
    // The value axis writes its labels as the bottom axis does: "#,##0.#####".
    void UseGroupedValueLabels();
    void SetValueAxisTitle(const QString& title);

    ELegendPlace LegendPlace() const { return FLegendPlace; }
    void SetLegendPlace(ELegendPlace place);

    // Asks for a redraw: at most one per event-loop pass and no sooner than MinReplotGap, or
    // twice the time the last one took, after the last one, so that drawing long series
    // never takes more than a third of the window's time.
    void ReplotSoon();
    bool ReplotPending() const { return FReplotTimer.isActive(); }
    // Redraws now; while following, the axes first take in every visible point.
    void ReplotNow();

    bool Following() const { return FFollowing; }
    void SetFollowing(bool following);

    // Saves the chart as a PDF (".pdf") or PNG image (any other name), at the screen's pixel
    // ratio so that it is as sharp as on the screen. Raises on failure.
    void SaveImage(const QString& fileName);
    // Asks for a file name, suggesting the export name with the date and time, and saves; a
    // name that does not end in ".png" or ".pdf" gets the extension of the chosen file type.
    // Errors are reported.
    void SaveImageAs();
    // The start of the suggested file names, e.g. "capacitance".
    void SetExportName(const QString& name) { FExportName = name; }

    // How the time axis counts, for every series and the tick labels; the elapsed time counts
    // from originMs, ms since 1970. A view that the user moved keeps showing the same points.
    void SetTimeAxis(ETimeAxis axis, std::int64_t originMs);
    ETimeAxis TimeAxis() const { return FTimeAxis; }

    // Tells the readout whose meter each series is, for its serial number and unit.
    void SetSeriesOwners(TSeriesOwnerLookup lookup) { FSeriesOwners = std::move(lookup); }
    // The readout under the pointer, hidden while the pointer is elsewhere.
    const QLabel* Readout() const { return FReadout; }

signals:
    // A double click, or "Edit Chart..." in the context menu.
    void EditRequested();
    void FollowingChanged(bool following);
    void ImageSaved(const QString& fileName);
    // The context menu is about to open: others add their entries to it here.
    void ContextMenuOpening(QMenu* menu);

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void FollowNewest();
    // Where the graphs' times count from: the origin on the elapsed time axis, else 0.
    std::int64_t TimeOrigin() const;
    void PlaceFollowButton();
    void BuildReadout();
    // Shows the readout for the pointer at pos, or hides it where the plot is not.
    void ShowReadout(QPoint pos);
    // Keeps the drawing buffer at the screen's pixel ratio, so that it stays sharp when the
    // window moves to a screen of another ratio.
    void MatchPixelRatio();

    struct TSeries {
        QPointer<QCPGraph> Graph;
        QSharedPointer<TSeriesData> Data;
    };
    std::vector<TSeries> FSeries;
    ELegendPlace FLegendPlace = ELegendPlace::TopLeft;
    // The grid outside the plot that holds the legend and the room beside it, while it is
    // there.
    QCPLayoutGrid* FLegendBox = nullptr;
    QString FExportName = QStringLiteral("chart");
    bool FFollowing = true;
    bool FReplotWanted = false; // asked for while hidden
    QTimer FReplotTimer;
    QElapsedTimer FSinceReplot;
    std::chrono::microseconds FLastReplot{0};
    QToolButton* FFollowBtn = nullptr;
    QLabel* FReadout = nullptr;
    QPoint FReadoutPos;
    TSeriesOwnerLookup FSeriesOwners;
    bool FScreenWatched = false;
    ETimeAxis FTimeAxis = ETimeAxis::PointNumber;
    std::int64_t FTimeOrigin = 0;
    // The ticker of point numbers, kept while the axis counts time.
    QSharedPointer<QCPAxisTicker> FPointTicker;
    TFileDialog FImageDialog{TFileDialog::EKind::Save, QStringLiteral("Save Chart"),
                             QStringLiteral("PNG image|*.png|PDF document|*.pdf"),
                             QStringLiteral("png")};
};
