#pragma once

#include "app/Chart.h"
#include "app/core/ChartQuantity.h"

#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// What one meter of the list draws.
struct TMeterSeries {
    QString Serial;
    bool Cap1 = false;
    bool Cap2 = false;
    bool Temperature = false;
    bool Resistance = false;
    bool operator==(const TMeterSeries&) const = default;
};

// The four charts of the window and which series belongs to which meter. Within each chart
// the series follow the meters' list order, CAP1 before CAP2. Meters come and go with every
// device change, but their series stay for the session: a meter pulled out leaves its series
// as they are, and a meter known by its serial number goes on in its series with their
// points and the user's edits. A series deleted in the chart editor stays deleted for its
// meter while the meter measures that quantity; its points are dropped.
class TChartSet {
public:
    TChartSet(TChart* capacitance, TChart* temperature, TChart* resistance, TChart* timing);

    TChart* Chart(EChartQuantity quantity) const;
    const std::array<TChart*, 4>& Charts() const { return FCharts; }

    // Gives the meters of the list their series. A meter seen before keeps its series (points,
    // title, colour, pen, visibility and point counter); a quantity it no longer measures
    // loses its series, and one it measures anew gets a series in the first colour that its
    // chart does not show yet. Meters no longer in the list keep their series, in their
    // place. The capacitance, temperature and resistance charts show exactly when they hold a
    // series; the timing chart's visibility is the caller's.
    void Rebuild(const std::vector<TMeterSeries>& meters);

    // Adds (x, y) to the meter's series of quantity and keeps at most maxPoints points in it
    // (0: all). timeMs (ms since 1970) places the point on a time axis; without it, the point
    // stands at the time of the one before.
    void Add(std::size_t meter, EChartQuantity quantity, double x, double y, int maxPoints,
             std::optional<std::int64_t> timeMs = std::nullopt);
    // Adds y at the series' next point number: its counter advances by one and is the x.
    void AddNext(std::size_t meter, EChartQuantity quantity, double y, int maxPoints,
                 std::optional<std::int64_t> timeMs = std::nullopt);
    // Keeps at most maxPoints points in the meter's series of quantity.
    void Limit(std::size_t meter, EChartQuantity quantity, int maxPoints);
    // Every series loses its points and every counter starts again at 0; the series of meters
    // no longer in the list go.
    void Clear();

    // The largest x of the points in the capacitance, temperature and resistance charts; 0
    // when they hold none.
    double LastX() const;
    // The largest x of the points in the timing chart; 0 when it holds none.
    double LastTimingX() const;
    // Point numbers go on after x, in the timing chart after timingX: the next AddNext of
    // every series, also of a series that is added later, draws at x + 1 (timingX + 1). Clear
    // starts them at 0 again.
    void ContinueAfter(double x, double timingX);

    // How the four charts' time axis counts.
    ETimeAxis TimeAxis() const { return FTimeAxis; }
    void SetTimeAxis(ETimeAxis axis);
    // A run starts at startMs (ms since 1970): the elapsed time counts from it, unless the
    // charts still hold the points of an earlier run, whose start it then keeps counting from.
    void RunStarting(std::int64_t startMs);

    // The meter's series of quantity, or none (not enabled, or deleted by the user).
    QCPGraph* Series(std::size_t meter, EChartQuantity quantity) const;
    // The meter and quantity of a series, listed or pulled out; nothing for a series not ours.
    std::optional<TSeriesOwner> Owner(const QCPAbstractPlottable* series) const;
    // The series' point counter of fast mode: the x of its last AddNext.
    double SeriesPos(std::size_t meter, EChartQuantity quantity) const;

private:
    struct TSlot {
        QPointer<QCPGraph> Graph;
        QSharedPointer<TSeriesData> Data;
        double Pos = 0;
        bool Deleted = false; // by the user
        // A series the user deleted in the editor loses its points and stays deleted.
        void NoteIfDeleted() {
            if (Graph.isNull() && Data) {
                Deleted = true;
                Data.reset();
            }
        }
    };
    // The series of one meter, listed or pulled out.
    struct TMeterSlots {
        QString Serial;
        std::array<TSlot, 5> Slots;
    };

    // The listed meter's live slot of quantity, or none.
    TSlot* Find(std::size_t meter, EChartQuantity quantity);
    // Notes the series that the chart editor deleted and drops their points.
    void NoteDeleted();
    // Orders each chart's series as FMeters are ordered and shows the charts with series.
    void OrderAndShow();
    double StartPos(EChartQuantity quantity) const;

    std::array<TChart*, 4> FCharts;
    // In the order of the charts: the listed meters in list order, each meter pulled out after
    // the meter it followed.
    std::vector<TMeterSlots> FMeters;
    std::vector<std::size_t> FListed; // meter list index -> index into FMeters
    double FStartX = 0;
    double FStartTimingX = 0;
    ETimeAxis FTimeAxis = ETimeAxis::PointNumber;
    std::int64_t FTimeOrigin = 0;
};
