#include "app/Chart.h"

#include "app/SeriesGraph.h"
#include "dialogs/prompts/ErrorReport.h"

#include <QActionGroup>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QToolButton>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

// Series colours, given out in this order; neighbours stay easy to tell apart.
const QColor Palette[] = {QColor(0x1f, 0x77, 0xb4), QColor(0xd6, 0x27, 0x28),
                          QColor(0x2c, 0xa0, 0x2c), QColor(0xff, 0x7f, 0x0e),
                          QColor(0x94, 0x67, 0xbd), QColor(0x8c, 0x56, 0x4b),
                          QColor(0xe3, 0x77, 0xc2), QColor(0x7f, 0x7f, 0x7f),
                          QColor(0xbc, 0xbd, 0x22), QColor(0x17, 0xbe, 0xcf)};

// Room around the newest values when the view follows them, as a share of their span.
constexpr double FollowMargin = 0.05;

QCPRange Padded(QCPRange range) {
    if (range.size() > 0.0)
        return QCPRange(range.lower - range.size() * FollowMargin,
                        range.upper + range.size() * FollowMargin);
    // A single value, or all alike: a span around it that still shows it in the middle.
    const double half = range.lower == 0.0 ? 1.0 : std::abs(range.lower) * 0.01;
    return QCPRange(range.lower - half, range.upper + half);
}

} // namespace

QString FormatGrouped(double value, const QLocale& locale) {
    // Rounded to five decimals first, so that a tiny negative value does not show as "-0".
    const double rounded = std::round(value * 1e5) / 1e5;
    QString text = locale.toString(rounded == 0.0 ? 0.0 : rounded, 'f', 5);
    const QString point = locale.decimalPoint();
    if (text.contains(point)) {
        while (text.endsWith(u'0'))
            text.chop(1);
        if (text.endsWith(point))
            text.chop(point.size());
    }
    return text;
}

QString TGroupedTicker::getTickLabel(double tick, const QLocale& locale, QChar, int) {
    return FormatGrouped(tick, locale);
}

TChart::TChart(const QString& valueAxisTitle, QWidget* parent)
    : QCustomPlot(parent) {
    // The user's locale for the axis labels; the widget's own default is fixed.
    setLocale(QLocale());
    setBackground(Qt::white);
    yAxis->setLabel(valueAxisTitle);
    legend->setVisible(true);
    legend->setBrush(QColor(255, 255, 255, 210));
    // Drag to pan and wheel to zoom, on both axes.
    setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    axisRect()->setRangeDrag(Qt::Horizontal | Qt::Vertical);
    axisRect()->setRangeZoom(Qt::Horizontal | Qt::Vertical);
    // Long series are sampled down to a few points per pixel column that run up and down its
    // whole span; stroked segment by segment with a 2-pixel pen, such a zigzag costs seconds
    // per redraw, drawn as one polyline a few milliseconds.
    setPlottingHint(QCP::phFastPolylines, true);
    setFocusPolicy(Qt::ClickFocus);
    setContextMenuPolicy(Qt::DefaultContextMenu);

    FReplotTimer.setSingleShot(true);
    connect(&FReplotTimer, &QTimer::timeout, this, &TChart::ReplotNow);

    FFollowBtn = new QToolButton(this);
    FFollowBtn->setText(QStringLiteral("Follow newest"));
    FFollowBtn->setToolTip(
        QStringLiteral("The view stays where you moved it. Click, or press Home, to follow "
                       "the newest values again."));
    FFollowBtn->setCursor(Qt::PointingHandCursor);
    FFollowBtn->hide();
    connect(FFollowBtn, &QToolButton::clicked, this, [this] { SetFollowing(true); });
    connect(this, &QCustomPlot::afterLayout, this, &TChart::PlaceFollowButton);
    SetLegendPlace(ELegendPlace::TopLeft);
    BuildReadout();
}

QCPGraph* TChart::AddSeries(const QString& title, const QSharedPointer<TSeriesData>& data) {
    // A colour that no series has yet, so that a series added later never looks like one
    // already there; with every colour taken they repeat.
    QColor color = Palette[std::size_t(graphCount()) % std::size(Palette)];
    for (const QColor& candidate : Palette) {
        bool used = false;
        for (int i = 0; i < graphCount() && !used; ++i)
            used = graph(i)->pen().color() == candidate;
        if (!used) {
            color = candidate;
            break;
        }
    }
    // Drawn through the series' summary; the library's own graph would walk every point.
    auto* graph = new TSeriesGraph(xAxis, yAxis);
    graph->SetSeriesData(data);
    graph->SetByTime(FTimeAxis != ETimeAxis::PointNumber, TimeOrigin());
    graph->setName(title);
    QPen pen(color);
    pen.setWidth(2);
    graph->setPen(pen);
    std::erase_if(FSeries, [](const TSeries& s) { return s.Graph.isNull(); });
    FSeries.push_back({graph, data});
    ReplotSoon();
    return graph;
}

void TChart::OrderSeries(const std::vector<QCPGraph*>& order) {
    if (std::equal(order.begin(), order.end(), mGraphs.cbegin(), mGraphs.cend()) ||
        !std::is_permutation(order.begin(), order.end(), mGraphs.cbegin(), mGraphs.cend()))
        return;
    // The library keeps its graphs in the order of adding and offers no way to move one, so
    // its lists are reordered here; the graphs themselves stay, and with them whatever holds
    // on to them, such as an open chart editor.
    mGraphs = QList<QCPGraph*>(order.begin(), order.end());
    auto next = mGraphs.cbegin();
    for (QCPAbstractPlottable*& plottable : mPlottables)
        if (qobject_cast<QCPGraph*>(plottable))
            plottable = *next++;
    // The legend lists, and the layer draws, in the order in which they were given the graphs.
    for (QCPGraph* graph : mGraphs) {
        if (graph->removeFromLegend())
            graph->addToLegend();
        graph->setLayer(graph->layer());
    }
    ReplotSoon();
}

std::int64_t TChart::TimeOrigin() const {
    return FTimeAxis == ETimeAxis::Elapsed ? FTimeOrigin : 0;
}

void TChart::SetTimeAxis(ETimeAxis axis, std::int64_t originMs) {
    if (axis == FTimeAxis && originMs == FTimeOrigin)
        return;
    // The view that the user moved is found as the first shown series' points at its ends.
    TSeriesGraph* guide = nullptr;
    std::optional<int> first;
    std::optional<int> last;
    for (const TSeries& series : FSeries) {
        auto* graph = qobject_cast<TSeriesGraph*>(series.Graph.data());
        if (!FFollowing && graph && graph->visible() && graph->dataCount() > 0) {
            guide = graph;
            first = NearestPoint(*graph, xAxis->range().lower);
            last = NearestPoint(*graph, xAxis->range().upper);
            break;
        }
    }
    if (FTimeAxis == ETimeAxis::PointNumber)
        FPointTicker = xAxis->ticker();
    FTimeAxis = axis;
    FTimeOrigin = originMs;
    for (const TSeries& series : FSeries)
        if (auto* graph = qobject_cast<TSeriesGraph*>(series.Graph.data()))
            graph->SetByTime(axis != ETimeAxis::PointNumber, TimeOrigin());
    if (axis == ETimeAxis::PointNumber && FPointTicker)
        xAxis->setTicker(FPointTicker);
    else if (axis == ETimeAxis::Elapsed)
        xAxis->setTicker(QSharedPointer<TElapsedTicker>::create());
    else if (axis == ETimeAxis::Clock)
        xAxis->setTicker(QSharedPointer<TClockTicker>::create());
    if (guide && guide->KeyAt(*last) > guide->KeyAt(*first)) {
        // Each chart converts its own view; linked charts must not hand theirs on meanwhile.
        const QSignalBlocker quiet(xAxis);
        xAxis->setRange(guide->KeyAt(*first), guide->KeyAt(*last));
    }
    ReplotSoon();
}

void TChart::UseGroupedValueLabels() {
    if (!dynamic_cast<TGroupedTicker*>(yAxis->ticker().data()))
        yAxis->setTicker(QSharedPointer<TGroupedTicker>::create());
}

void TChart::SetValueAxisTitle(const QString& title) {
    yAxis->setLabel(title);
    ReplotSoon();
}

void TChart::SetLegendPlace(ELegendPlace place) {
    FLegendPlace = place;
    if (QCPLayout* holder = legend->layout())
        holder->take(legend);
    if (FLegendBox) {
        plotLayout()->remove(FLegendBox);
        FLegendBox = nullptr;
    }
    plotLayout()->simplify();
    if (place == ELegendPlace::TopLeft) {
        legend->setFillOrder(QCPLegend::foRowsFirst);
        axisRect()->insetLayout()->addElement(legend, Qt::AlignTop | Qt::AlignLeft);
    } else {
        // Outside the plot the legend keeps its own size: an empty element beside it takes the
        // rest of the room.
        FLegendBox = new QCPLayoutGrid;
        auto* room = new QCPLayoutElement(this);
        if (place == ELegendPlace::Right) {
            plotLayout()->addElement(0, 1, FLegendBox);
            plotLayout()->setColumnStretchFactor(1, 0.001);
            FLegendBox->addElement(0, 0, legend);
            FLegendBox->addElement(1, 0, room);
            FLegendBox->setRowStretchFactor(0, 0.001);
            FLegendBox->setMargins(QMargins(0, 12, 8, 0));
            legend->setFillOrder(QCPLegend::foRowsFirst);
        } else {
            plotLayout()->insertRow(0);
            plotLayout()->addElement(0, 0, FLegendBox);
            plotLayout()->setRowStretchFactor(0, 0.001);
            FLegendBox->addElement(0, 0, legend);
            FLegendBox->addElement(0, 1, room);
            FLegendBox->setColumnStretchFactor(0, 0.001);
            FLegendBox->setMargins(QMargins(12, 6, 0, 0));
            legend->setFillOrder(QCPLegend::foColumnsFirst);
        }
    }
    ReplotSoon();
}

void TChart::ReplotSoon() {
    if (FReplotTimer.isActive())
        return;
    using namespace std::chrono;
    const auto gap = std::max<microseconds>(MinReplotGap, 2 * FLastReplot);
    const auto since =
        FSinceReplot.isValid() ? microseconds(FSinceReplot.nsecsElapsed() / 1000) : gap;
    FReplotTimer.start(duration_cast<milliseconds>(std::max(gap - since, microseconds(0))));
}

void TChart::ReplotNow() {
    FReplotTimer.stop();
    // A hidden chart has nothing to paint on; it is drawn when it shows.
    if (!isVisible() || width() <= 0 || height() <= 0) {
        FReplotWanted = true;
        return;
    }
    FReplotWanted = false;
    QElapsedTimer clock;
    clock.start();
    MatchPixelRatio();
    if (FFollowing)
        FollowNewest();
    replot(rpQueuedRefresh);
    FLastReplot = std::chrono::microseconds(clock.nsecsElapsed() / 1000);
    FSinceReplot.start();
}

void TChart::FollowNewest() {
    bool any = false;
    QCPRange keys;
    QCPRange values;
    bool anyValue = false;
    for (TSeries& series : FSeries) {
        if (series.Graph.isNull() || !series.Graph->visible() || series.Data->isEmpty())
            continue;
        // Where the axis puts them: at their point numbers or their times.
        const QCPRange span(series.Graph->dataMainKey(0),
                            series.Graph->dataMainKey(series.Graph->dataCount() - 1));
        keys = any ? QCPRange(std::min(keys.lower, span.lower), std::max(keys.upper, span.upper))
                   : span;
        any = true;
        bool found = false;
        const QCPRange valueSpan = series.Data->ValueSpan(found);
        if (found) {
            values = anyValue ? QCPRange(std::min(values.lower, valueSpan.lower),
                                         std::max(values.upper, valueSpan.upper))
                              : valueSpan;
            anyValue = true;
        }
    }
    if (!any)
        return;
    xAxis->setRange(keys.size() > 0.0 ? keys : QCPRange(keys.lower - 0.5, keys.upper + 0.5));
    if (anyValue)
        yAxis->setRange(Padded(values));
}

void TChart::SetFollowing(bool following) {
    if (FFollowing == following)
        return;
    FFollowing = following;
    FFollowBtn->setVisible(!following);
    PlaceFollowButton();
    emit FollowingChanged(following);
    if (following)
        ReplotNow();
}

void TChart::PlaceFollowButton() {
    FFollowBtn->adjustSize();
    // The top-left corner holds the legend.
    const QRect area = axisRect()->rect();
    FFollowBtn->move(area.right() - FFollowBtn->width() - 6, area.top() + 6);
}

void TChart::MatchPixelRatio() {
    if (bufferDevicePixelRatio() != devicePixelRatioF())
        setBufferDevicePixelRatio(devicePixelRatioF());
}

void TChart::SaveImage(const QString& fileName) {
    bool saved = false;
    if (QFileInfo(fileName).suffix().compare(QLatin1String("pdf"), Qt::CaseInsensitive) == 0) {
        saved = savePdf(fileName);
    } else {
        const double ratio = devicePixelRatioF();
        saved = savePng(fileName, 0, 0, ratio, -1, int(std::lround(96 * ratio)));
    }
    if (!saved)
        throw std::runtime_error(
            QStringLiteral("The chart could not be saved to %1. Check that the folder exists "
                           "and that you may write there.")
                .arg(QDir::toNativeSeparators(fileName))
                .toStdString());
    emit ImageSaved(fileName);
}

void TChart::SaveImageAs() {
    Guarded(this, [&] {
        // The chart and the time, in the folder of the last image, of the type chosen last.
        const QString name =
            QStringLiteral("%1-%2.%3")
                .arg(FExportName,
                     QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-HHmmss")),
                     FImageDialog.FilterExtension(FImageDialog.SelectedFilter()));
        const QString last = FImageDialog.FileName();
        FImageDialog.SetFileName(last.isEmpty() ? name : QFileInfo(last).dir().filePath(name));
        if (!FImageDialog.Execute(this))
            return;
        QString fileName = FImageDialog.FileName();
        // A name that does not say what it holds is saved as the file type chosen, and named so.
        const QString suffix = QFileInfo(fileName).suffix();
        if (suffix.compare(QLatin1String("png"), Qt::CaseInsensitive) != 0 &&
            suffix.compare(QLatin1String("pdf"), Qt::CaseInsensitive) != 0)
            fileName += u'.' + FImageDialog.FilterExtension(FImageDialog.SelectedFilter());
        SaveImage(fileName);
    });
}

void TChart::mouseDoubleClickEvent(QMouseEvent* event) {
    QCustomPlot::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton)
        emit EditRequested();
}

void TChart::mouseMoveEvent(QMouseEvent* event) {
    // A drag moves the view: it stays where the user puts it.
    if (event->buttons() & Qt::LeftButton)
        SetFollowing(false);
    QCustomPlot::mouseMoveEvent(event);
    ShowReadout(event->position().toPoint());
}

void TChart::leaveEvent(QEvent* event) {
    QCustomPlot::leaveEvent(event);
    FReadout->hide();
}

void TChart::BuildReadout() {
    // Moves without a button pressed reach the chart only with tracking; they come only while
    // the pointer is over the chart, so the readout costs nothing while it is elsewhere.
    setMouseTracking(true);
    FReadout = new QLabel(this);
    FReadout->setObjectName(QStringLiteral("ChartReadout"));
    FReadout->setTextFormat(Qt::RichText);
    FReadout->setStyleSheet(
        QStringLiteral("QLabel { background: rgba(255, 255, 225, 235); border: 1px solid #a0a0a0; "
                       "padding: 3px; }"));
    // Under the pointer, it must not take the pointer from the chart.
    FReadout->setAttribute(Qt::WA_TransparentForMouseEvents);
    FReadout->hide();
    // New points change what lies under a pointer that stands still.
    connect(this, &QCustomPlot::afterReplot, this, [this] {
        if (FReadout->isVisible())
            ShowReadout(FReadoutPos);
    });
}

void TChart::ShowReadout(QPoint pos) {
    FReadoutPos = pos;
    QStringList lines;
    if (axisRect()->rect().contains(pos)) {
        const double key = xAxis->pixelToCoord(pos.x());
        for (int i = 0; i < plottableCount(); ++i) {
            QCPAbstractPlottable* series = plottable(i);
            if (!series->visible())
                continue;
            const std::optional<QString> line = ReadoutLine(
                *series, FSeriesOwners ? FSeriesOwners(series) : std::nullopt, *xAxis, key);
            if (line)
                lines << QStringLiteral("<span style=\"color:%1\">&#9632;</span> %2")
                             .arg(series->pen().color().name(), line->toHtmlEscaped());
        }
    }
    if (lines.isEmpty()) {
        FReadout->hide();
        return;
    }
    FReadout->setText(lines.join(QStringLiteral("<br>")));
    FReadout->adjustSize();
    // Beside the pointer, on the side where the chart has room for it.
    constexpr int Gap = 14;
    QPoint place = pos + QPoint(Gap, Gap);
    if (place.x() + FReadout->width() > width())
        place.setX(pos.x() - Gap - FReadout->width());
    if (place.y() + FReadout->height() > height())
        place.setY(pos.y() - Gap - FReadout->height());
    FReadout->move(std::max(place.x(), 0), std::max(place.y(), 0));
    FReadout->show();
    FReadout->raise();
}

void TChart::wheelEvent(QWheelEvent* event) {
    // The wheel zooms both axes; with Shift only the time axis, with Ctrl only the values.
    const Qt::KeyboardModifiers keys = event->modifiers();
    axisRect()->setRangeZoom(keys & Qt::ShiftModifier     ? Qt::Horizontal
                             : keys & Qt::ControlModifier ? Qt::Vertical
                                                          : Qt::Horizontal | Qt::Vertical);
    SetFollowing(false);
    QCustomPlot::wheelEvent(event);
}

void TChart::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Home) {
        SetFollowing(true);
        return;
    }
    QCustomPlot::keyPressEvent(event);
}

void TChart::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* follow = menu.addAction(QStringLiteral("Follow Newest Values"));
    follow->setCheckable(true);
    follow->setChecked(FFollowing);
    follow->setShortcut(Qt::Key_Home);
    connect(follow, &QAction::triggered, this, &TChart::SetFollowing);
    emit ContextMenuOpening(&menu);

    QMenu* legendMenu = menu.addMenu(QStringLiteral("Legend"));
    auto* places = new QActionGroup(legendMenu);
    const std::pair<ELegendPlace, QString> choices[] = {
        {ELegendPlace::TopLeft, QStringLiteral("Top Left Corner")},
        {ELegendPlace::Right, QStringLiteral("Right of the Plot")},
        {ELegendPlace::Above, QStringLiteral("Above the Plot")}};
    for (const auto& entry : choices) {
        // A copy for the lambda: clang does not capture structured bindings.
        const ELegendPlace place = entry.first;
        QAction* choice = legendMenu->addAction(entry.second);
        choice->setCheckable(true);
        choice->setChecked(place == FLegendPlace);
        places->addAction(choice);
        connect(choice, &QAction::triggered, this, [this, place] { SetLegendPlace(place); });
    }

    // The dialogs open once the menu has closed.
    QAction* save = menu.addAction(QStringLiteral("Save Image..."));
    connect(save, &QAction::triggered, this, &TChart::SaveImageAs, Qt::QueuedConnection);
    menu.addSeparator();
    QAction* edit = menu.addAction(QStringLiteral("Edit Chart..."));
    connect(edit, &QAction::triggered, this, &TChart::EditRequested, Qt::QueuedConnection);
    menu.exec(event->globalPos());
}

void TChart::resizeEvent(QResizeEvent*) {
    // As the library does, but a chart without area is not drawn: it has no buffer to draw in.
    setViewport(rect());
    if (!rect().isEmpty())
        replot(rpQueuedRefresh);
    PlaceFollowButton();
}

void TChart::showEvent(QShowEvent* event) {
    QCustomPlot::showEvent(event);
    MatchPixelRatio();
    if (FReplotWanted)
        ReplotSoon();
    QWindow* handle = window()->windowHandle();
    if (!FScreenWatched && handle) {
        FScreenWatched = true;
        connect(handle, &QWindow::screenChanged, this, [this] {
            MatchPixelRatio();
            ReplotSoon();
        });
    }
}
