#include "app/AxisLink.h"

#include "app/Chart.h"

#include <utility>

TAxisLink::TAxisLink(const std::vector<TChart*>& charts, QObject* parent)
    : QObject(parent)
    , FCharts(charts) {
    for (TChart* chart : FCharts) {
        connect(chart->xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this,
                [this, chart](const QCPRange& range) { RangeChanged(chart, range); });
        connect(chart, &TChart::FollowingChanged, this,
                [this, chart](bool following) { FollowingChanged(chart, following); });
    }
}

void TAxisLink::SetLinked(bool linked, TChart* from) {
    if (std::exchange(FLinked, linked) == linked)
        return;
    if (linked && from) {
        if (from->Following())
            FollowingChanged(from, true);
        else
            RangeChanged(from, from->xAxis->range());
    }
}

void TAxisLink::RangeChanged(TChart* from, const QCPRange& range) {
    // A chart that follows its newest values moves by itself at every redraw; only the user's
    // views are handed on.
    if (!FLinked || FSpreading || from->Following())
        return;
    FSpreading = true;
    for (TChart* chart : FCharts) {
        if (chart == from || chart->isHidden())
            continue;
        chart->SetFollowing(false);
        chart->xAxis->setRange(range);
        chart->ReplotSoon();
    }
    FSpreading = false;
}

void TAxisLink::FollowingChanged(TChart* from, bool following) {
    if (!FLinked || FSpreading)
        return;
    FSpreading = true;
    for (TChart* chart : FCharts)
        if (chart != from && !chart->isHidden())
            chart->SetFollowing(following);
    FSpreading = false;
}
