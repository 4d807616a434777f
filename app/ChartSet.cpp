#include "app/ChartSet.h"

#include <algorithm>

namespace {

constexpr EChartQuantity Quantities[] = {EChartQuantity::Cap1, EChartQuantity::Cap2,
                                         EChartQuantity::Temperature, EChartQuantity::Resistance,
                                         EChartQuantity::Time};

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

bool Measures(const TMeterSeries& meter, EChartQuantity quantity) {
    switch (quantity) {
    case EChartQuantity::Cap1:
        return meter.Cap1;
    case EChartQuantity::Cap2:
        return meter.Cap2;
    case EChartQuantity::Temperature:
        return meter.Temperature;
    case EChartQuantity::Resistance:
        return meter.Resistance;
    case EChartQuantity::Time:
        break;
    }
    return true;
}

QString Title(const QString& serial, EChartQuantity quantity) {
    const QString blanks = QStringLiteral("    ");
    switch (quantity) {
    case EChartQuantity::Cap1:
        return QStringLiteral("CAP1.") + serial;
    case EChartQuantity::Cap2:
        return QStringLiteral("CAP2.") + serial;
    case EChartQuantity::Temperature:
        return QStringLiteral("Temp.") + serial + blanks;
    case EChartQuantity::Resistance:
        return QStringLiteral("Res.") + serial + blanks;
    case EChartQuantity::Time:
        break;
    }
    return QStringLiteral("Time.") + serial + blanks;
}

} // namespace

TChartSet::TChartSet(TChart* capacitance, TChart* temperature, TChart* resistance, TChart* timing)
    : FCharts{capacitance, temperature, resistance, timing} {
    // The time axis of the capacitance chart always writes grouped thousands.
    capacitance->xAxis->setTicker(QSharedPointer<TGroupedTicker>::create());
    const char* names[] = {"capacitance", "temperature", "resistance", "timing"};
    for (std::size_t c = 0; c < FCharts.size(); ++c) {
        FCharts[c]->SetExportName(QLatin1String(names[c]));
        FCharts[c]->SetSeriesOwners(
            [this](const QCPAbstractPlottable* series) { return Owner(series); });
    }
}

TChart* TChartSet::Chart(EChartQuantity quantity) const {
    return FCharts[ChartIndex(quantity)];
}

double TChartSet::StartPos(EChartQuantity quantity) const {
    return quantity == EChartQuantity::Time ? FStartTimingX : FStartX;
}

void TChartSet::NoteDeleted() {
    for (TMeterSlots& meter : FMeters) {
        for (TSlot& slot : meter.Slots)
            slot.NoteIfDeleted();
    }
}

void TChartSet::Rebuild(const std::vector<TMeterSeries>& meters) {
    NoteDeleted();

    // Each listed meter finds its series by its serial number; meters that share one are
    // told apart by their order.
    const std::size_t known = FMeters.size();
    std::vector<bool> listed(known, false);
    std::vector<std::size_t> found(meters.size());
    for (std::size_t i = 0; i < meters.size(); ++i) {
        std::size_t j = 0;
        while (j < known && (listed[j] || FMeters[j].Serial != meters[i].Serial))
            ++j;
        if (j < known) {
            listed[j] = true;
            found[i] = j;
        } else {
            found[i] = FMeters.size();
            FMeters.push_back({meters[i].Serial, {}});
        }
    }

    // The listed meters in list order; a meter pulled out stays behind the one it followed,
    // so that its series keep their place in the legend. One that has no series left goes.
    std::vector<std::size_t> order = found;
    for (std::size_t j = 0; j < known; ++j) {
        if (listed[j])
            continue;
        const bool keep = std::any_of(FMeters[j].Slots.begin(), FMeters[j].Slots.end(),
                                      [](const TSlot& s) { return s.Graph || s.Deleted; });
        if (!keep)
            continue;
        auto at = order.begin();
        for (std::size_t before = j; before-- > 0;) {
            const auto place = std::find(order.begin(), order.end(), before);
            if (place != order.end()) {
                at = place + 1;
                break;
            }
        }
        order.insert(at, j);
    }
    std::vector<TMeterSlots> ordered;
    ordered.reserve(order.size());
    for (const std::size_t j : order)
        ordered.push_back(std::move(FMeters[j]));
    FMeters = std::move(ordered);
    FListed.assign(meters.size(), 0);
    for (std::size_t i = 0; i < meters.size(); ++i)
        FListed[i] = std::size_t(std::find(order.begin(), order.end(), found[i]) - order.begin());

    // Series of quantities no longer measured go first, so that new series may take their
    // colours.
    for (std::size_t i = 0; i < meters.size(); ++i) {
        for (const EChartQuantity quantity : Quantities) {
            TSlot& slot = FMeters[FListed[i]].Slots[std::size_t(quantity)];
            if (Measures(meters[i], quantity))
                continue;
            if (slot.Graph)
                Chart(quantity)->removeGraph(slot.Graph);
            slot = {};
        }
    }
    for (std::size_t i = 0; i < meters.size(); ++i) {
        if (meters[i].Cap1)
            FCharts[0]->UseGroupedValueLabels();
        for (const EChartQuantity quantity : Quantities) {
            TSlot& slot = FMeters[FListed[i]].Slots[std::size_t(quantity)];
            if (!Measures(meters[i], quantity) || slot.Graph || slot.Deleted)
                continue;
            slot.Data = QSharedPointer<TSeriesData>::create();
            slot.Graph = Chart(quantity)->AddSeries(Title(meters[i].Serial, quantity), slot.Data);
            slot.Pos = StartPos(quantity);
        }
    }
    OrderAndShow();
}

void TChartSet::OrderAndShow() {
    for (std::size_t c = 0; c < FCharts.size(); ++c) {
        std::vector<QCPGraph*> order;
        for (const TMeterSlots& meter : FMeters)
            for (const EChartQuantity quantity : Quantities)
                if (ChartIndex(quantity) == c && meter.Slots[std::size_t(quantity)].Graph)
                    order.push_back(meter.Slots[std::size_t(quantity)].Graph);
        FCharts[c]->OrderSeries(order);
        if (c < 3)
            FCharts[c]->setVisible(FCharts[c]->graphCount() > 0);
    }
}

TChartSet::TSlot* TChartSet::Find(std::size_t meter, EChartQuantity quantity) {
    if (meter >= FListed.size())
        return nullptr;
    TSlot& slot = FMeters[FListed[meter]].Slots[std::size_t(quantity)];
    slot.NoteIfDeleted();
    if (slot.Graph.isNull())
        return nullptr;
    return &slot;
}

void TChartSet::Add(std::size_t meter, EChartQuantity quantity, double x, double y, int maxPoints,
                    std::optional<std::int64_t> timeMs) {
    if (TSlot* slot = Find(meter, quantity)) {
        slot->Data->Append(x, y, timeMs);
        slot->Data->LimitTo(maxPoints);
        Chart(quantity)->ReplotSoon();
    }
}

void TChartSet::AddNext(std::size_t meter, EChartQuantity quantity, double y, int maxPoints,
                        std::optional<std::int64_t> timeMs) {
    if (TSlot* slot = Find(meter, quantity))
        Add(meter, quantity, ++slot->Pos, y, maxPoints, timeMs);
}

void TChartSet::SetTimeAxis(ETimeAxis axis) {
    FTimeAxis = axis;
    for (TChart* chart : FCharts)
        chart->SetTimeAxis(axis, FTimeOrigin);
}

void TChartSet::RunStarting(std::int64_t startMs) {
    // Point numbers start at 1: the charts hold no point while both last ones are 0.
    if (LastX() > 0 || LastTimingX() > 0)
        return;
    FTimeOrigin = startMs;
    SetTimeAxis(FTimeAxis);
}

void TChartSet::Limit(std::size_t meter, EChartQuantity quantity, int maxPoints) {
    if (TSlot* slot = Find(meter, quantity))
        slot->Data->LimitTo(maxPoints);
}

void TChartSet::Clear() {
    NoteDeleted();
    std::vector<bool> listed(FMeters.size(), false);
    for (const std::size_t j : FListed)
        listed[j] = true;
    std::vector<TMeterSlots> kept;
    std::vector<std::size_t> keptIndex(FMeters.size(), 0);
    for (std::size_t j = 0; j < FMeters.size(); ++j) {
        if (listed[j]) {
            keptIndex[j] = kept.size();
            kept.push_back(std::move(FMeters[j]));
            continue;
        }
        for (std::size_t q = 0; q < FMeters[j].Slots.size(); ++q)
            if (const TSlot& slot = FMeters[j].Slots[q]; slot.Graph)
                Chart(EChartQuantity(q))->removeGraph(slot.Graph);
    }
    FMeters = std::move(kept);
    for (std::size_t& j : FListed)
        j = keptIndex[j];
    FStartX = FStartTimingX = 0;
    for (TMeterSlots& meter : FMeters) {
        for (TSlot& slot : meter.Slots) {
            slot.Pos = 0;
            if (slot.Data)
                slot.Data->Clear();
        }
    }
    OrderAndShow();
    for (TChart* chart : FCharts)
        chart->ReplotSoon();
}

double TChartSet::LastX() const {
    double last = 0;
    for (const TMeterSlots& meter : FMeters) {
        for (const EChartQuantity quantity : Quantities) {
            const TSlot& slot = meter.Slots[std::size_t(quantity)];
            if (quantity != EChartQuantity::Time && slot.Graph && !slot.Data->isEmpty())
                last = std::max(last, (slot.Data->constEnd() - 1)->key);
        }
    }
    return last;
}

double TChartSet::LastTimingX() const {
    double last = 0;
    for (const TMeterSlots& meter : FMeters) {
        const TSlot& slot = meter.Slots[std::size_t(EChartQuantity::Time)];
        if (slot.Graph && !slot.Data->isEmpty())
            last = std::max(last, (slot.Data->constEnd() - 1)->key);
    }
    return last;
}

void TChartSet::ContinueAfter(double x, double timingX) {
    FStartX = x;
    FStartTimingX = timingX;
    for (TMeterSlots& meter : FMeters)
        for (const EChartQuantity quantity : Quantities)
            meter.Slots[std::size_t(quantity)].Pos = StartPos(quantity);
}

QCPGraph* TChartSet::Series(std::size_t meter, EChartQuantity quantity) const {
    return meter < FListed.size()
               ? FMeters[FListed[meter]].Slots[std::size_t(quantity)].Graph.data()
               : nullptr;
}

double TChartSet::SeriesPos(std::size_t meter, EChartQuantity quantity) const {
    return meter < FListed.size() ? FMeters[FListed[meter]].Slots[std::size_t(quantity)].Pos : 0;
}

std::optional<TSeriesOwner> TChartSet::Owner(const QCPAbstractPlottable* series) const {
    for (const TMeterSlots& meter : FMeters)
        for (const EChartQuantity quantity : Quantities)
            if (meter.Slots[std::size_t(quantity)].Graph == series)
                return TSeriesOwner{meter.Serial, quantity};
    return std::nullopt;
}
