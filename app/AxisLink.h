#pragma once

#include <QObject>

#include <vector>

class QCPRange;
class TChart;

// Links the time axes of charts. While linked, zooming or panning one chart's time axis moves
// the other shown charts' with it, and the charts follow the newest values together: moving one
// chart's view stops all of them following, and "Follow newest" in one brings all of them back
// (each to its own newest values, which lie at the same time).
class TAxisLink : public QObject {
    Q_OBJECT
public:
    explicit TAxisLink(const std::vector<TChart*>& charts, QObject* parent = nullptr);

    bool Linked() const { return FLinked; }
    // Links or unlinks the charts. Linking brings the others to the view of from, when given.
    void SetLinked(bool linked, TChart* from = nullptr);

private:
    void RangeChanged(TChart* from, const QCPRange& range);
    void FollowingChanged(TChart* from, bool following);

    std::vector<TChart*> FCharts;
    bool FLinked = false;
    // Set while one chart's change is handed to the others: their own changes then go no
    // further, so that two charts never hand a change back and forth.
    bool FSpreading = false;
};
