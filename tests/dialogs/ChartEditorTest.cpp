#include "dialogs/ChartEditor.h"

#include "tests/support/ScriptedPrompts.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <qcustomplot.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Strings(const QStringList& list) {
    std::vector<std::string> result;
    for (const QString& s : list)
        result.push_back(s.toStdString());
    return result;
}

// A chart with three series as the main window makes them; the middle one is hidden and one
// title ends in blanks.
class ChartEditorTest : public testing::Test {
protected:
    ChartEditorTest() {
        Plot.legend->setVisible(true);
        AddGraph("CAP1.12345", QPen(Qt::red, 2, Qt::DashLine), true);
        AddGraph("Temp.12345    ", QPen(Qt::blue, 2, Qt::DashLine), false);
        // A cosmetic pen is narrower than the field can show.
        AddGraph("CAP2.12345", QPen(Qt::darkGreen, 0), true);
        Editor.Load(&Plot);
    }

    void AddGraph(const char* name, const QPen& pen, bool visible) {
        QCPGraph* graph = Plot.addGraph();
        graph->setName(QString::fromLatin1(name));
        graph->setPen(pen);
        graph->setVisible(visible);
        Graphs.emplace_back(graph);
    }

    std::vector<std::string> Lines() const {
        QStringList lines;
        for (int row = 0; row < Editor.SeriesLB->count(); ++row)
            lines << Editor.SeriesLB->item(row)->text();
        return Strings(lines);
    }

    std::vector<std::string> Legend() const {
        QStringList names;
        for (int i = 0; i < Plot.legend->itemCount(); ++i)
            if (auto* item = qobject_cast<QCPPlottableLegendItem*>(Plot.legend->item(i)))
                names << item->plottable()->name();
        return Strings(names);
    }

    std::vector<bool> FieldsEnabled() const {
        return {Editor.TitleEd->isEnabled(), Editor.ColorBtn->isEnabled(),
                Editor.WidthSE->isEnabled(), Editor.VisibleCB->isEnabled(),
                Editor.DeleteBtn->isEnabled()};
    }

    TScriptedPrompts Prompts;
    QCustomPlot Plot;
    TChartEditor Editor;
    std::vector<QPointer<QCPGraph>> Graphs;
};

const std::vector<bool> AllEnabled(5, true);
const std::vector<bool> AllDisabled(5, false);

TEST_F(ChartEditorTest, LoadShowsEverySeriesWithoutChangingIt) {
    EXPECT_EQ(Editor.windowTitle(), QStringLiteral("Edit Chart"));
    EXPECT_EQ(Lines(), (std::vector<std::string>{"CAP1.12345", "Temp.12345    ", "CAP2.12345"}));
    const Qt::CheckState checks[] = {Qt::Checked, Qt::Unchecked, Qt::Checked};
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(Editor.SeriesLB->item(row)->checkState(), checks[row]) << row;

    EXPECT_EQ(Editor.SeriesLB->currentRow(), 0);
    EXPECT_EQ(FieldsEnabled(), AllEnabled);
    EXPECT_EQ(Editor.TitleEd->text().toStdString(), "CAP1.12345");
    EXPECT_EQ(Editor.WidthSE->value(), 2);
    EXPECT_TRUE(Editor.VisibleCB->isChecked());

    Editor.SeriesLB->setCurrentRow(1);
    EXPECT_EQ(Editor.TitleEd->text().toStdString(), "Temp.12345    ");
    EXPECT_FALSE(Editor.VisibleCB->isChecked());

    Editor.SeriesLB->setCurrentRow(2);
    EXPECT_EQ(Editor.WidthSE->value(), 1);
    // Showing a series in the fields writes nothing back to it.
    EXPECT_EQ(Graphs[2]->pen(), QPen(Qt::darkGreen, 0));
    EXPECT_FALSE(Graphs[1]->visible());
    EXPECT_TRUE(Prompts.Questions.isEmpty());
}

TEST_F(ChartEditorTest, EditsApplyToTheSelectedSeriesOnly) {
    Editor.SeriesLB->setCurrentRow(1);
    QCPGraph* graph = Graphs[1];

    Editor.TitleEd->setText(QStringLiteral("Temp renamed  "));
    Editor.TitleEdChange();
    EXPECT_EQ(graph->name().toStdString(), "Temp renamed  ");
    EXPECT_EQ(Editor.SeriesLB->item(1)->text().toStdString(), "Temp renamed  ");

    // The second answer cancels and keeps the colour of the first.
    Prompts.Colors = {QColor(10, 20, 30), QColor()};
    Editor.ColorBtnClick();
    Editor.ColorBtnClick();
    EXPECT_TRUE(Prompts.Colors.empty());
    EXPECT_EQ(graph->pen(), QPen(QColor(10, 20, 30), 2, Qt::DashLine));
    const QImage swatch = Editor.ColorBtn->icon().pixmap(Editor.ColorBtn->iconSize()).toImage();
    EXPECT_EQ(swatch.pixelColor(swatch.rect().center()), QColor(10, 20, 30));

    Editor.WidthSE->setValue(7);
    Editor.WidthSEChange();
    EXPECT_EQ(graph->pen(), QPen(QColor(10, 20, 30), 7, Qt::DashLine));

    Editor.VisibleCB->setChecked(true);
    Editor.VisibleCBClick();
    EXPECT_TRUE(graph->visible());
    EXPECT_EQ(Editor.SeriesLB->item(1)->checkState(), Qt::Checked);

    // The check box of another line hides that series and leaves the fields alone.
    Editor.SeriesLB->item(0)->setCheckState(Qt::Unchecked);
    EXPECT_FALSE(Graphs[0]->visible());
    EXPECT_TRUE(Editor.VisibleCB->isChecked());

    EXPECT_EQ(Graphs[0]->name().toStdString(), "CAP1.12345");
    EXPECT_EQ(Graphs[0]->pen(), QPen(Qt::red, 2, Qt::DashLine));
    EXPECT_EQ(Graphs[2]->pen(), QPen(Qt::darkGreen, 0));
}

TEST_F(ChartEditorTest, DeleteAsksFirstAndMovesToTheNextSeries) {
    Editor.SeriesLB->setCurrentRow(1);
    Prompts.Answers = {false};
    Editor.DeleteBtnClick();
    EXPECT_EQ(Strings(Prompts.Questions),
              std::vector<std::string>{"Confirm: Delete series \"Temp.12345    \"?"});
    EXPECT_EQ(Plot.graphCount(), 3);
    EXPECT_EQ(Lines().size(), 3u);

    // The Delete key in the list asks just like the button.
    Prompts.Answers = {true};
    QTest::keyClick(Editor.SeriesLB, Qt::Key_Delete);
    EXPECT_EQ(Prompts.Questions.size(), 2);
    EXPECT_TRUE(Graphs[1].isNull());
    EXPECT_EQ(Plot.graphCount(), 2);
    const std::vector<std::string> left{"CAP1.12345", "CAP2.12345"};
    EXPECT_EQ(Legend(), left);
    EXPECT_EQ(Lines(), left);
    EXPECT_EQ(Editor.SeriesLB->currentRow(), 1);
    EXPECT_EQ(Editor.TitleEd->text().toStdString(), "CAP2.12345");

    // Without a next line the one above takes over.
    Prompts.Answers = {true};
    Editor.DeleteBtnClick();
    EXPECT_TRUE(Graphs[2].isNull());
    EXPECT_EQ(Editor.SeriesLB->currentRow(), 0);
    EXPECT_EQ(Editor.TitleEd->text().toStdString(), "CAP1.12345");

    Prompts.Answers = {true};
    Editor.DeleteBtnClick();
    EXPECT_EQ(Plot.graphCount(), 0);
    EXPECT_EQ(Plot.legend->itemCount(), 0);
    EXPECT_EQ(Editor.SeriesLB->count(), 0);
    EXPECT_EQ(FieldsEnabled(), AllDisabled);
    EXPECT_TRUE(Editor.TitleEd->text().isEmpty());

    // With nothing selected the handlers neither ask nor fail.
    Prompts.Answers = {true};
    Prompts.Colors = {Qt::red};
    Editor.DeleteBtnClick();
    Editor.ColorBtnClick();
    Editor.TitleEdChange();
    EXPECT_EQ(Prompts.Questions.size(), 4);
    EXPECT_EQ(Prompts.Colors.size(), 1u);
}

// The window may drop series of its own while the dialog is open.
TEST_F(ChartEditorTest, SeriesDeletedByTheChartLeaveTheList) {
    // The selection stays on its series while the lines above it go.
    Editor.SeriesLB->setCurrentRow(1);
    Plot.removeGraph(Graphs[0]);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"Temp.12345    ", "CAP2.12345"}));
    EXPECT_EQ(Editor.TitleEd->text().toStdString(), "Temp.12345    ");
    Editor.WidthSE->setValue(4);
    EXPECT_EQ(Graphs[1]->pen().width(), 4);
    EXPECT_EQ(Graphs[2]->pen().width(), 0);

    Plot.clearGraphs();
    EXPECT_EQ(Editor.SeriesLB->count(), 0);
    EXPECT_EQ(FieldsEnabled(), AllDisabled);
    Editor.WidthSE->setValue(6);
    Editor.VisibleCBClick();
}

TEST_F(ChartEditorTest, EscapeAndCloseCloseTheDialog) {
    Editor.show();
    QTest::keyClick(Editor.SeriesLB, Qt::Key_Escape);
    EXPECT_FALSE(Editor.isVisible());

    Editor.show();
    Editor.CloseBtn->click();
    EXPECT_FALSE(Editor.isVisible());
    EXPECT_EQ(Plot.graphCount(), 3);
}

} // namespace
