#pragma once

#include <QString>
#include <QStringList>

class QWidget;

// A file dialog that keeps its settings and the last chosen file name between runs, as the
// log file and settings file dialogs of the main window do.
class TFileDialog {
public:
    enum class EKind { Save, Open };

    // filter: the filter's name, a bar and its pattern, e.g. "Text file|*.txt"; more pairs
    // follow with further bars.
    TFileDialog(EKind kind, QString title, QString filter, QString defaultExt);

    EKind Kind() const { return FKind; }
    const QString& Title() const { return FTitle; }
    const QString& Filter() const { return FFilter; }
    const QString& DefaultExt() const { return FDefaultExt; }
    const QString& FileName() const { return FFileName; }
    void SetFileName(const QString& fileName) { FFileName = fileName; }

    // The filters as Qt's file dialog takes them: "Text file (*.txt)", joined by ";;".
    QString QtNameFilter() const;
    // The same filters one by one.
    QStringList QtNameFilters() const;
    // The extension that filter index stands for ("pdf" for "*.pdf"); DefaultExt for a filter
    // without one.
    QString FilterExtension(qsizetype index) const;

    // The filter the dialog starts with and, once it was shown, the one the user chose: an
    // index into the filters. The prompts show the dialog through a const reference and note
    // the choice here, as Qt's dialog keeps it in its own state.
    qsizetype SelectedFilter() const { return FSelectedFilter; }
    void SetSelectedFilter(qsizetype index) const { FSelectedFilter = index; }

    // Shows the dialog; on confirmation keeps the chosen name and returns true.
    bool Execute(QWidget* parent);

private:
    EKind FKind;
    QString FTitle;
    QString FFilter;
    QString FDefaultExt;
    QString FFileName;
    mutable qsizetype FSelectedFilter = 0;
};
