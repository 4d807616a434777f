#pragma once

#include <QDialog>
#include <QPointer>

#include <vector>

class QCheckBox;
class QColor;
class QCPGraph;
class QCustomPlot;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QSpinBox;

// Edits the series of one chart: title, pen colour and width, visibility, and deletes series.
// Every edit applies to the chart at once, so the dialog's result carries no meaning.
class TChartEditor : public QDialog {
    Q_OBJECT
public:
    explicit TChartEditor(QWidget* parent = nullptr);

    // Fills the controls from the chart's graphs, the first one selected.
    void Load(QCustomPlot* plot);
    // Load, then shows the dialog modally.
    int Edit(QCustomPlot* plot);

    QListWidget* SeriesLB; // one line per graph: its title, checked while it is visible
    QLineEdit* TitleEd;
    QPushButton* ColorBtn;
    QSpinBox* WidthSE;
    QCheckBox* VisibleCB;
    QPushButton* DeleteBtn;
    QPushButton* CloseBtn;

    void SeriesLBClick();
    void TitleEdChange();
    void ColorBtnClick();
    void WidthSEChange();
    void VisibleCBClick();
    void DeleteBtnClick();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QCPGraph* CurrentGraph() const;
    void ShowSeries();
    void ShowColor(const QColor& color);
    void SeriesLBItemChanged(QListWidgetItem* item);
    void DropDeletedSeries();
    void Redraw();

    QPointer<QCustomPlot> FPlot;
    // Row by row with SeriesLB. The chart deletes its graphs when it likes; these turn null then.
    std::vector<QPointer<QCPGraph>> FGraphs;
    bool FFilling = false; // the controls are being set from the graphs, not by the user
};
