#include "app/ValuesPanel.h"

#include "app/Chart.h"

#include <QDateTime>
#include <QGridLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <iterator>
#include <utility>

namespace {

QLabel* MakeLabel(QWidget* parent, int pointSize, bool bold, Qt::Alignment alignment) {
    auto* label = new QLabel(parent);
    QFont font = label->font();
    font.setPointSize(pointSize);
    font.setBold(bold);
    label->setFont(font);
    label->setAlignment(alignment | Qt::AlignVCenter);
    return label;
}

void SetTextColor(QLabel* label, const QColor& color) {
    if (label->palette().color(QPalette::WindowText) == color)
        return;
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

} // namespace

TValuesPanel::TValuesPanel(TNewestValues::TClock clock, QWidget* parent)
    : QWidget(parent)
    , FValues(std::move(clock)) {
    setObjectName(QStringLiteral("ValuesPanel"));
    auto* layout = new QVBoxLayout(this);
    FState = new QLabel(this);
    FState->setWordWrap(true);
    layout->addWidget(FState);
    FGrid = new QGridLayout;
    FGrid->setHorizontalSpacing(10);
    FGrid->setColumnStretch(2, 1);
    layout->addLayout(FGrid);
    layout->addStretch(1);

    FShowTimer.setSingleShot(true);
    FShowTimer.setInterval(ShowGap);
    connect(&FShowTimer, &QTimer::timeout, this, &TValuesPanel::ShowChanges);
    ShowChanges();
    FState->setText(QStringLiteral("The meters' newest values show here during a run."));
}

void TValuesPanel::Note(const QString& serial, EChartQuantity quantity, double value) {
    if (FValues.Note(serial, quantity, value))
        PlanShowing();
}

void TValuesPanel::RunStarted() {
    FValues.StartRun();
    PlanShowing();
}

void TValuesPanel::RunStopped() {
    FValues.EndRun();
    PlanShowing();
}

void TValuesPanel::PlanShowing() {
    if (!FShowTimer.isActive())
        FShowTimer.start();
}

void TValuesPanel::AddRow() {
    const int row = int(FRows.size());
    TRow labels{MakeLabel(this, 12, false, Qt::AlignLeft),
                MakeLabel(this, 12, false, Qt::AlignLeft),
                MakeLabel(this, 22, true, Qt::AlignRight), MakeLabel(this, 22, true, Qt::AlignLeft),
                MakeLabel(this, 9, false, Qt::AlignLeft)};
    labels.Time->setToolTip(QStringLiteral("When the value was measured"));
    QLabel* const columns[] = {labels.Serial, labels.Quantity, labels.Value, labels.Unit,
                               labels.Time};
    for (int column = 0; column < int(std::size(columns)); ++column)
        FGrid->addWidget(columns[column], row, column);
    FRows.push_back(labels);
}

void TValuesPanel::ShowChanges() {
    FShowTimer.stop();
    const std::vector<TNewestValue>& values = FValues.Values();
    while (FRows.size() < values.size())
        AddRow();
    // The last run's values stay readable, but do not look like a running one's.
    const QColor grey(0x80, 0x80, 0x80);
    const QColor text = FValues.RunEnded() ? grey : palette().color(QPalette::WindowText);
    for (std::size_t i = 0; i < FRows.size(); ++i) {
        const TRow& row = FRows[i];
        const bool shown = i < values.size();
        for (QLabel* label : {row.Serial, row.Quantity, row.Value, row.Unit, row.Time}) {
            label->setVisible(shown);
            SetTextColor(label, label == row.Time ? grey : text);
        }
        if (!shown)
            continue;
        const TNewestValue& value = values[i];
        row.Serial->setText(value.Serial);
        row.Quantity->setText(QuantityName(value.Quantity));
        row.Value->setText(FormatGrouped(value.Value, locale()));
        row.Unit->setText(QuantityUnit(value.Quantity));
        row.Time->setText(
            QDateTime::fromMSecsSinceEpoch(value.MeasuredAt).toString(QStringLiteral("HH:mm:ss")));
    }
    FShownRows = int(values.size());
    if (FValues.RunEnded())
        FState->setText(QStringLiteral("The run has stopped: these are its last values."));
    else if (values.empty())
        FState->setText(QStringLiteral("Waiting for the meters' first values."));
    FState->setVisible(FValues.RunEnded() || values.empty());
    FValues.MarkShown();
}

QStringList TValuesPanel::ShownRows() const {
    QStringList rows;
    for (int i = 0; i < FShownRows; ++i) {
        const TRow& row = FRows[std::size_t(i)];
        rows << QStringList{row.Serial->text(), row.Quantity->text(), row.Value->text(),
                            row.Unit->text(), row.Time->text()}
                    .join(u' ');
    }
    return rows;
}

QString TValuesPanel::StateText() const {
    return FState->isHidden() ? QString() : FState->text();
}
