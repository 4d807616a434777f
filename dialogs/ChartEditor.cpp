#include "dialogs/ChartEditor.h"

#include "dialogs/prompts/UserPrompts.h"

#include <QCheckBox>
#include <QEvent>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QSpinBox>
#include <QVBoxLayout>
#include <qcustomplot.h>

#include <algorithm>
#include <initializer_list>

namespace {

constexpr int MinPenWidth = 1;
constexpr int MaxPenWidth = 10;
const QSize SwatchSize(24, 12);

} // namespace

TChartEditor::TChartEditor(QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("Edit Chart"));

    SeriesLB = new QListWidget(this);
    SeriesLB->setSelectionMode(QAbstractItemView::SingleSelection);
    SeriesLB->installEventFilter(this);

    TitleEd = new QLineEdit(this);
    ColorBtn = new QPushButton(QStringLiteral("Color..."), this);
    ColorBtn->setIconSize(SwatchSize);
    WidthSE = new QSpinBox(this);
    WidthSE->setRange(MinPenWidth, MaxPenWidth);
    VisibleCB = new QCheckBox(QStringLiteral("Visible"), this);
    DeleteBtn = new QPushButton(QStringLiteral("Delete"), this);
    CloseBtn = new QPushButton(QStringLiteral("Close"), this);
    // Return in the title field closes the dialog rather than pressing whichever button last
    // had the focus.
    for (QPushButton* button : {ColorBtn, DeleteBtn})
        button->setAutoDefault(false);
    CloseBtn->setDefault(true);

    auto* fields = new QFormLayout;
    fields->addRow(QStringLiteral("Title:"), TitleEd);
    fields->addRow(QStringLiteral("Color:"), ColorBtn);
    fields->addRow(QStringLiteral("Width:"), WidthSE);
    fields->addRow(QString(), VisibleCB);
    auto* right = new QVBoxLayout;
    right->addLayout(fields);
    right->addWidget(DeleteBtn, 0, Qt::AlignLeft);
    right->addStretch();
    auto* top = new QHBoxLayout;
    top->addWidget(SeriesLB, 1);
    top->addLayout(right, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    bottom->addWidget(CloseBtn);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(bottom);
    resize(520, 300);

    // Only the user's own changes edit the chart: filling the fields must not write them back.
    connect(SeriesLB, &QListWidget::currentRowChanged, this, [this] {
        if (!FFilling)
            SeriesLBClick();
    });
    connect(SeriesLB, &QListWidget::itemChanged, this, &TChartEditor::SeriesLBItemChanged);
    connect(TitleEd, &QLineEdit::textEdited, this, &TChartEditor::TitleEdChange);
    connect(ColorBtn, &QPushButton::clicked, this, &TChartEditor::ColorBtnClick);
    connect(WidthSE, &QSpinBox::valueChanged, this, &TChartEditor::WidthSEChange);
    connect(VisibleCB, &QCheckBox::clicked, this, &TChartEditor::VisibleCBClick);
    connect(DeleteBtn, &QPushButton::clicked, this, &TChartEditor::DeleteBtnClick);
    connect(CloseBtn, &QPushButton::clicked, this, &QDialog::reject);

    ShowSeries();
}

void TChartEditor::Load(QCustomPlot* plot) {
    // The graphs of an earlier load no longer concern this dialog.
    for (const QPointer<QCPGraph>& graph : FGraphs)
        if (graph)
            graph->disconnect(this);
    FGraphs.clear();
    FPlot = plot;
    {
        const QScopedValueRollback filling(FFilling, true);
        SeriesLB->clear();
        const int count = plot ? plot->graphCount() : 0;
        for (int i = 0; i < count; ++i) {
            QCPGraph* graph = plot->graph(i);
            FGraphs.emplace_back(graph);
            connect(graph, &QObject::destroyed, this, &TChartEditor::DropDeletedSeries);
            auto* item = new QListWidgetItem(graph->name());
            item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
            item->setCheckState(graph->visible() ? Qt::Checked : Qt::Unchecked);
            SeriesLB->addItem(item);
        }
        SeriesLB->setCurrentRow(count > 0 ? 0 : -1);
    }
    ShowSeries();
}

int TChartEditor::Edit(QCustomPlot* plot) {
    Load(plot);
    return exec();
}

QCPGraph* TChartEditor::CurrentGraph() const {
    const int row = SeriesLB->currentRow();
    if (row < 0 || row >= static_cast<int>(FGraphs.size()))
        return nullptr;
    return FGraphs[row];
}

void TChartEditor::ShowSeries() {
    QCPGraph* graph = CurrentGraph();
    const std::initializer_list<QWidget*> fields{TitleEd, ColorBtn, WidthSE, VisibleCB, DeleteBtn};
    for (QWidget* field : fields)
        field->setEnabled(graph != nullptr);

    const QScopedValueRollback filling(FFilling, true);
    if (!graph) {
        TitleEd->clear();
        ShowColor(QColor());
        WidthSE->setValue(MinPenWidth);
        VisibleCB->setChecked(false);
        return;
    }
    TitleEd->setText(graph->name());
    ShowColor(graph->pen().color());
    WidthSE->setValue(std::clamp(graph->pen().width(), MinPenWidth, MaxPenWidth));
    VisibleCB->setChecked(graph->visible());
}

void TChartEditor::ShowColor(const QColor& color) {
    if (!color.isValid()) {
        ColorBtn->setIcon(QIcon());
        return;
    }
    QPixmap swatch(SwatchSize);
    swatch.fill(color);
    ColorBtn->setIcon(QIcon(swatch));
}

void TChartEditor::Redraw() {
    if (FPlot)
        FPlot->replot(QCustomPlot::rpQueuedReplot);
}

void TChartEditor::SeriesLBClick() {
    ShowSeries();
}

void TChartEditor::TitleEdChange() {
    QCPGraph* graph = CurrentGraph();
    if (FFilling || !graph)
        return;
    const QString title = TitleEd->text();
    graph->setName(title);
    const QScopedValueRollback filling(FFilling, true);
    SeriesLB->currentItem()->setText(title);
    Redraw();
}

void TChartEditor::ColorBtnClick() {
    QPointer<QCPGraph> graph = CurrentGraph();
    if (!graph)
        return;
    const std::optional<QColor> color = TUserPrompts::Current().ChooseColor(
        this, graph->pen().color(), QStringLiteral("Series Color"));
    // The chart may have dropped the series while the dialog was open.
    if (!color || !graph)
        return;
    QPen pen = graph->pen();
    pen.setColor(*color);
    graph->setPen(pen);
    if (graph == CurrentGraph())
        ShowColor(*color);
    Redraw();
}

void TChartEditor::WidthSEChange() {
    QCPGraph* graph = CurrentGraph();
    if (FFilling || !graph)
        return;
    QPen pen = graph->pen();
    pen.setWidth(WidthSE->value());
    graph->setPen(pen);
    Redraw();
}

void TChartEditor::VisibleCBClick() {
    QCPGraph* graph = CurrentGraph();
    if (FFilling || !graph)
        return;
    const bool visible = VisibleCB->isChecked();
    graph->setVisible(visible);
    const QScopedValueRollback filling(FFilling, true);
    SeriesLB->currentItem()->setCheckState(visible ? Qt::Checked : Qt::Unchecked);
    Redraw();
}

// The check box of a line shows and hides its series too.
void TChartEditor::SeriesLBItemChanged(QListWidgetItem* item) {
    const int row = SeriesLB->row(item);
    if (FFilling || row < 0 || row >= static_cast<int>(FGraphs.size()) || !FGraphs[row])
        return;
    const bool visible = item->checkState() == Qt::Checked;
    FGraphs[row]->setVisible(visible);
    if (item == SeriesLB->currentItem()) {
        const QScopedValueRollback filling(FFilling, true);
        VisibleCB->setChecked(visible);
    }
    Redraw();
}

void TChartEditor::DeleteBtnClick() {
    QPointer<QCPGraph> graph = CurrentGraph();
    if (!graph)
        return;
    const bool yes =
        TUserPrompts::Current().Confirm(this, QStringLiteral("Confirm"),
                                        QStringLiteral("Delete series \"%1\"?").arg(graph->name()));
    if (!yes || !graph || !FPlot)
        return;
    // Deleting the graph drops its line through DropDeletedSeries, which selects the next one.
    FPlot->removeGraph(graph);
    Redraw();
}

// Runs whenever one of the loaded graphs is deleted, by this dialog or by the chart itself.
void TChartEditor::DropDeletedSeries() {
    int current = SeriesLB->currentRow();
    {
        const QScopedValueRollback filling(FFilling, true);
        for (int row = static_cast<int>(FGraphs.size()) - 1; row >= 0; --row) {
            if (FGraphs[row])
                continue;
            delete SeriesLB->takeItem(row);
            FGraphs.erase(FGraphs.begin() + row);
            // A line above the selected one moves it up; when the selected line itself goes,
            // the one below it takes its place.
            if (row < current)
                --current;
        }
        const int count = SeriesLB->count();
        current = count == 0 ? -1 : std::clamp(current, 0, count - 1);
        SeriesLB->setCurrentRow(current);
    }
    ShowSeries();
}

bool TChartEditor::eventFilter(QObject* watched, QEvent* event) {
    if (watched == SeriesLB && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
        DeleteBtnClick();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}
