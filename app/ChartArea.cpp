#include "app/ChartArea.h"

#include "model/IniFile.h"

#include <QAction>
#include <QActionGroup>
#include <QLabel>
#include <QMenu>
#include <QVBoxLayout>

namespace {

// The program settings file's section of the window's size, place and splitters.
const QString WindowSection = QStringLiteral("Window");
const QString LinkTimeAxesKey = QStringLiteral("LinkTimeAxes");
const QString TimeAxisKey = QStringLiteral("TimeAxis");
// No chart is squeezed below this height: its axis labels and a few points stay readable.
constexpr int MinChartHeight = 90;

// Heights of the area's parts as first laid out, in pixels.
constexpr int LowerPanelHeight = 267;
constexpr int TimingChartHeight = 137;
constexpr int ResistanceChartHeight = 147;

// A panel of the area: one vertical splitter, without margins.
QSplitter* AddPanel(QSplitter* area, QWidget*& panel, const char* panelName,
                    const char* splitterName) {
    panel = new QWidget(area);
    panel->setObjectName(QLatin1String(panelName));
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* splitter = new QSplitter(Qt::Vertical, panel);
    splitter->setObjectName(QLatin1String(splitterName));
    layout->addWidget(splitter);
    return splitter;
}

TChart* MakeChart(QSplitter* parent, const char* name, const QString& axisTitle) {
    auto* chart = new TChart(axisTitle, parent);
    chart->setObjectName(QLatin1String(name));
    chart->setMinimumHeight(MinChartHeight);
    return chart;
}

} // namespace

TChartArea::TChartArea(QWidget* parent)
    : QSplitter(Qt::Vertical, parent) {
    setObjectName(QStringLiteral("ChartSplitter"));
    setHandleWidth(3);
    setChildrenCollapsible(false);

    FUpperSplitter = AddPanel(this, FUpperPanel, "UpperPanel", "UpperSplitter");
    TimingChart = MakeChart(FUpperSplitter, "TimingChart", QStringLiteral("Time [ms]"));
    CapacitanceChart =
        MakeChart(FUpperSplitter, "CapacitanceChart", QStringLiteral("Capacitance [pF]"));
    TimingChart->hide();
    FUpperSplitter->setStretchFactor(0, 0);
    FUpperSplitter->setStretchFactor(1, 1);
    // Where no chart shows, the area says what to do instead of staying grey.
    FHint = new QLabel(FUpperPanel);
    FHint->setObjectName(QStringLiteral("ChartHint"));
    FHint->setAlignment(Qt::AlignCenter);
    FHint->setWordWrap(true);
    FHint->hide();
    static_cast<QBoxLayout*>(FUpperPanel->layout())->insertWidget(0, FHint, 1);

    FLowerSplitter = AddPanel(this, FLowerPanel, "LowerPanel", "LowerSplitter");
    TemperatureChart =
        MakeChart(FLowerSplitter, "TemperatureChart", QStringLiteral("Temperature [°C]"));
    ResistanceChart =
        MakeChart(FLowerSplitter, "ResistanceChart", QStringLiteral("Resistence [Ohm]"));
    FLowerSplitter->setStretchFactor(0, 1);
    FLowerSplitter->setStretchFactor(1, 0);

    // The upper panel takes what the window gains; the lower panel keeps its height.
    setStretchFactor(0, 1);
    setStretchFactor(1, 0);

    FSeries = std::make_unique<TChartSet>(CapacitanceChart, TemperatureChart, ResistanceChart,
                                          TimingChart);
    const std::array<TChart*, 4>& charts = FSeries->Charts();
    FAxisLink = new TAxisLink(std::vector<TChart*>(charts.begin(), charts.end()), this);
    for (TChart* chart : charts) {
        connect(chart, &TChart::EditRequested, this, [this, chart] { emit EditRequested(chart); });
        connect(chart, &TChart::ImageSaved, this, &TChartArea::ImageSaved);
        connect(chart, &TChart::ContextMenuOpening, this, [this, chart](QMenu* menu) {
            QAction* link = menu->addAction(QStringLiteral("Link Time Axes"));
            link->setCheckable(true);
            link->setChecked(FAxisLink->Linked());
            // Linking from a chart brings the others to its view.
            connect(link, &QAction::triggered, this,
                    [this, chart](bool linked) { FAxisLink->SetLinked(linked, chart); });
            AddTimeAxisMenu(menu);
        });
    }
}

TChartArea::~TChartArea() = default;

void TChartArea::AddTimeAxisMenu(QMenu* menu) {
    QMenu* choices = menu->addMenu(QStringLiteral("Time Axis"));
    auto* group = new QActionGroup(choices);
    for (const ETimeAxis axis : {ETimeAxis::PointNumber, ETimeAxis::Elapsed, ETimeAxis::Clock}) {
        QAction* choice = choices->addAction(TimeAxisCaption(axis));
        choice->setCheckable(true);
        choice->setChecked(axis == FSeries->TimeAxis());
        group->addAction(choice);
        connect(choice, &QAction::triggered, this, [this, axis] { FSeries->SetTimeAxis(axis); });
    }
}

void TChartArea::Rebuild(const std::vector<TMeterSeries>& meters) {
    FSeries->Rebuild(meters);

    // The lower panel holds the temperature and resistance charts that have series.
    const bool temperature = !TemperatureChart->isHidden();
    const bool resistance = !ResistanceChart->isHidden();
    if (temperature && resistance) {
        const int panel = FLowerPanel->isHidden() || FLowerPanel->height() == 0
                              ? LowerPanelHeight
                              : FLowerPanel->height();
        const int room = panel - FLowerSplitter->handleWidth();
        const int height = FLowerSplitter->sizes().value(1);
        // A resistance chart that was hidden comes back at its first height; one that fills
        // the panel gets half of it.
        if (height == 0)
            FLowerSplitter->setSizes({room - ResistanceChartHeight, ResistanceChartHeight});
        else if (height > panel - 10)
            FLowerSplitter->setSizes({room - (panel / 2 - 2), panel / 2 - 2});
    }
    // The splitter between the panels goes with the lower panel.
    FLowerPanel->setVisible(temperature || resistance);
    handle(1)->setVisible(temperature || resistance);
    update();
}

bool TChartArea::ShowsNoChart() const {
    return CapacitanceChart->isHidden() && TemperatureChart->isHidden() &&
           ResistanceChart->isHidden();
}

void TChartArea::ShowHint(const QString& hint) {
    FHint->setText(hint);
    FHint->setVisible(!hint.isEmpty());
}

void TChartArea::ShowTimingChart(bool show) {
    TimingChart->setVisible(show);
}

void TChartArea::PlaceSplitters() {
    if (std::exchange(FPlaced, true))
        return;
    // Splitters take pixel sizes only once they have their own.
    const int total = height() - handleWidth();
    setSizes({total - LowerPanelHeight, LowerPanelHeight});
    const int lower = LowerPanelHeight - FLowerSplitter->handleWidth();
    FLowerSplitter->setSizes({lower - ResistanceChartHeight, ResistanceChartHeight});
    const int upper = total - LowerPanelHeight - FUpperSplitter->handleWidth();
    FUpperSplitter->setSizes({TimingChartHeight, upper - TimingChartHeight});
    // Where the user left them last time.
    const std::array<QSplitter*, 3> splitters = {this, FUpperSplitter, FLowerSplitter};
    for (std::size_t i = 0; i < splitters.size(); ++i)
        if (!FSavedStates[i].isEmpty())
            splitters[i]->restoreState(FSavedStates[i]);
}

void TChartArea::RestorePlacement(const TIniFile& ini) {
    // Qt's own record of each splitter, as base64 text.
    const auto stored = [&](const char* key) {
        return QByteArray::fromBase64(
            ini.ReadString(WindowSection, QLatin1String(key), QString()).toLatin1());
    };
    FSavedStates = {stored("ChartSplitter"), stored("UpperSplitter"), stored("LowerSplitter")};
    FAxisLink->SetLinked(ini.ReadBool(WindowSection, LinkTimeAxesKey, false));
    // A name not known, from a later version or a typing error, counts points as at first.
    FSeries->SetTimeAxis(TimeAxisNamed(ini.ReadString(WindowSection, TimeAxisKey, QString()))
                             .value_or(ETimeAxis::PointNumber));
}

void TChartArea::SavePlacement(TIniFile& ini) const {
    ini.WriteBool(WindowSection, LinkTimeAxesKey, FAxisLink->Linked());
    ini.WriteString(WindowSection, TimeAxisKey, TimeAxisName(FSeries->TimeAxis()));
    // An area never shown has no placement of its own to keep.
    if (!FPlaced)
        return;
    const auto store = [&](const char* key, const QByteArray& state) {
        ini.WriteString(WindowSection, QLatin1String(key), QString::fromLatin1(state.toBase64()));
    };
    store("ChartSplitter", saveState());
    store("UpperSplitter", FUpperSplitter->saveState());
    store("LowerSplitter", FLowerSplitter->saveState());
}
