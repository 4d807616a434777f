#include "ChartSet.h"

namespace {

std::size_t ChartIndex(EChartQuantity quantity) {
    switch (quantity) {
    case EChartQuantity::Cap1:
    case EChartQuantity::Cap2:
        return 0;
    case EChartQuantity::Temperature:
        return 1;
    case EChartQuantity::Resistance:
        return 2;
    case EChartQuantity::Time:
        break;
    }
    return 3;
}

} // namespace

TChartSet::TChartSet(TChart* capacitance, TChart* temperature, TChart* resistance, TChart* timing)
    : FCharts{capacitance, temperature, resistance, timing} {
    // The time axis of the capacitance chart always writes grouped thousands.
    capacitance->xAxis->setTicker(QSharedPointer<TGroupedTicker>::create());
}

TChart* TChartSet::Chart(EChartQuantity quantity) const {
    return FCharts[ChartIndex(quantity)];
}

void TChartSet::Rebuild(const std::vector<TMeterSeries>& meters) {
    for (TChart* chart : FCharts)
        chart->RemoveAllSeries();
    FSlots.assign(meters.size(), {});
    const QString blanks = QStringLiteral("    ");
    for (std::size_t i = 0; i < meters.size(); ++i) {
        const TMeterSeries& meter = meters[i];
        const auto add = [&](EChartQuantity quantity, const QString& title) {
            TSlot& slot = FSlots[i][std::size_t(quantity)];
            slot.Data = QSharedPointer<TSeriesData>::create();
            slot.Graph = Chart(quantity)->AddSeries(title, slot.Data);
        };
        if (meter.Cap1) {
            add(EChartQuantity::Cap1, QStringLiteral("CAP1.") + meter.Serial);
            FCharts[0]->UseGroupedValueLabels();
        }
        if (meter.Cap2)
            add(EChartQuantity::Cap2, QStringLiteral("CAP2.") + meter.Serial);
        if (meter.Temperature)
            add(EChartQuantity::Temperature, QStringLiteral("Temp.") + meter.Serial + blanks);
        if (meter.Resistance)
            add(EChartQuantity::Resistance, QStringLiteral("Res.") + meter.Serial + blanks);
        add(EChartQuantity::Time, QStringLiteral("Time.") + meter.Serial + blanks);
    }
    for (std::size_t c = 0; c < 3; ++c)
        FCharts[c]->setVisible(FCharts[c]->graphCount() > 0);
}

TChartSet::TSlot* TChartSet::Find(std::size_t meter, EChartQuantity quantity) {
    if (meter >= FSlots.size())
        return nullptr;
    TSlot& slot = FSlots[meter][std::size_t(quantity)];
    if (slot.Graph.isNull()) {
        // Deleted by the user: its points go with it.
        slot.Data.reset();
        return nullptr;
    }
    return &slot;
}

void TChartSet::Add(std::size_t meter, EChartQuantity quantity, double x, double y, int maxPoints) {
    if (TSlot* slot = Find(meter, quantity)) {
        slot->Data->Append(x, y);
        slot->Data->LimitTo(maxPoints);
        Chart(quantity)->ReplotSoon();
    }
}

void TChartSet::AddNext(std::size_t meter, EChartQuantity quantity, double y, int maxPoints) {
    if (TSlot* slot = Find(meter, quantity))
        Add(meter, quantity, ++slot->Pos, y, maxPoints);
}

void TChartSet::Limit(std::size_t meter, EChartQuantity quantity, int maxPoints) {
    if (TSlot* slot = Find(meter, quantity))
        slot->Data->LimitTo(maxPoints);
}

void TChartSet::Clear() {
    for (TMeterSlots& meterSlots : FSlots) {
        for (TSlot& slot : meterSlots) {
            slot.Pos = 0;
            if (slot.Data)
                slot.Data->Clear();
        }
    }
    for (TChart* chart : FCharts)
        chart->ReplotSoon();
}

QCPGraph* TChartSet::Series(std::size_t meter, EChartQuantity quantity) const {
    return meter < FSlots.size() ? FSlots[meter][std::size_t(quantity)].Graph.data() : nullptr;
}

int TChartSet::SeriesPos(std::size_t meter, EChartQuantity quantity) const {
    return meter < FSlots.size() ? FSlots[meter][std::size_t(quantity)].Pos : 0;
}
