#pragma once

#include <QSharedPointer>
#include <QTransform>
#include <qcustomplot.h>

#include <cstdint>

class TSeriesData;

// A chart series' line, drawn through the min/max summary of its TSeriesData: a redraw costs
// per pixel column in view, not per point. Where a column holds more points than it takes to
// draw it, it is drawn as its first point, its smallest and largest value and its last point,
// all at the column's middle, which covers the same pixels as every point of it would; a
// column with a gap is drawn from its points, so that the line breaks where a full draw breaks
// it. Zoomed in to fewer points than pixel columns, every point is drawn where it lies.
// A vector export (PDF) draws the points as the library does.
//
// On a time axis the points stand at their times instead of their keys (point numbers): the
// graph then answers the library's questions about keys (nearest point, key range) by time.
class TSeriesGraph : public QCPGraph {
    Q_OBJECT
public:
    TSeriesGraph(QCPAxis* keyAxis, QCPAxis* valueAxis);

    // Draws these points; data given through the library's setData is drawn as the library
    // draws it, since it has no summary.
    void SetSeriesData(const QSharedPointer<TSeriesData>& data);

    // Off, every point in view is drawn, at the same pixel columns as the summary puts them:
    // the reference that the summary must look like.
    void SetSummarised(bool summarised) { FSummarised = summarised; }

    // Puts the points at their times, in seconds after originMs (ms since 1970), or back at
    // their keys.
    void SetByTime(bool byTime, std::int64_t originMs);
    bool ByTime() const { return FByTime && FSeriesData; }

    // Where the point at index stands on the key axis.
    double KeyAt(int index) const;
    double dataMainKey(int index) const override;
    double dataSortKey(int index) const override;
    int findBegin(double sortKey, bool expandedRange = true) const override;
    int findEnd(double sortKey, bool expandedRange = true) const override;
    QCPRange getKeyRange(bool& foundRange,
                         QCP::SignDomain inSignDomain = QCP::sdBoth) const override;

protected:
    void draw(QCPPainter* painter) override;
    void drawLinePlot(QCPPainter* painter, const QVector<QPointF>& lines) const override;
    void getOptimizedLineData(QVector<QCPGraphData>* lineData,
                              const QCPGraphDataContainer::const_iterator& begin,
                              const QCPGraphDataContainer::const_iterator& end) const override;

private:
    // The line through the points [first, last): per pixel column as the summary allows.
    void ColumnLineData(QVector<QCPGraphData>* lineData, int first, int last) const;
    // The same, with the points' keys on the axis from keyAt(index).
    template <class TKeyOf>
    void ReduceColumns(QVector<QCPGraphData>* lineData, int first, int last,
                       const TKeyOf& keyAt) const;
    // The points in the plot's pixels, as the library's dataToLines gives them.
    QVector<QPointF> Pixels(const QVector<QCPGraphData>& data) const;
    // Where a key lies in device pixels, as the axis says.
    double DevicePixel(double key) const;
    // Sets the mapping of keys to device pixel columns for the draw under way.
    void MapColumns() const;
    // The device pixel column that a key falls in.
    double Column(double key) const;
    // The key of a device pixel column's middle.
    double ColumnKey(double column) const;

    QSharedPointer<TSeriesData> FSeriesData;
    bool FSummarised = true;
    bool FByTime = false;
    std::int64_t FOriginMs = 0;
    // Of the painter of the draw under way: from the plot's coordinates to device pixels.
    QTransform FDevice;
    // On a linear axis, a key's device pixel is (key - FColumnLower) * FColumnScale +
    // FColumnBase.
    mutable bool FColumnsLinear = false;
    mutable double FColumnLower = 0;
    mutable double FColumnScale = 1;
    mutable double FColumnBase = 0;
    bool FVectorized = false;
};
