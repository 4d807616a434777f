#pragma once

#include "Chart.h"

#include <QString>

#include <array>
#include <cstddef>
#include <vector>

// The quantities a meter draws, each in a chart of its own; both capacitance channels share
// the capacitance chart.
enum class EChartQuantity { Cap1, Cap2, Temperature, Resistance, Time };

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
// the series follow the meters' list order, CAP1 before CAP2. A series deleted in the chart
// editor leaves its meter without one: its points are dropped.
class TChartSet {
public:
    TChartSet(TChart* capacitance, TChart* temperature, TChart* resistance, TChart* timing);

    TChart* Chart(EChartQuantity quantity) const;
    const std::array<TChart*, 4>& Charts() const { return FCharts; }

    // Removes every series and builds them anew for meters; every point counter starts at 0.
    // The capacitance, temperature and resistance charts show exactly when they hold a
    // series; the timing chart's visibility is the caller's.
    void Rebuild(const std::vector<TMeterSeries>& meters);

    // Adds (x, y) to the meter's series of quantity and keeps at most maxPoints points in it
    // (0: all).
    void Add(std::size_t meter, EChartQuantity quantity, double x, double y, int maxPoints);
    // Adds y at the series' next point number: its counter advances by one and is the x.
    void AddNext(std::size_t meter, EChartQuantity quantity, double y, int maxPoints);
    // Keeps at most maxPoints points in the meter's series of quantity.
    void Limit(std::size_t meter, EChartQuantity quantity, int maxPoints);
    // Every series loses its points; every counter := 0.
    void Clear();

    // The meter's series of quantity, or none (not enabled, or deleted by the user).
    QCPGraph* Series(std::size_t meter, EChartQuantity quantity) const;
    // The series' point counter of fast mode.
    int SeriesPos(std::size_t meter, EChartQuantity quantity) const;

private:
    struct TSlot {
        QPointer<QCPGraph> Graph;
        QSharedPointer<TSeriesData> Data;
        int Pos = 0;
    };
    using TMeterSlots = std::array<TSlot, 5>;

    // The meter's live slot of quantity, or none.
    TSlot* Find(std::size_t meter, EChartQuantity quantity);

    std::array<TChart*, 4> FCharts;
    std::vector<TMeterSlots> FSlots;
};
