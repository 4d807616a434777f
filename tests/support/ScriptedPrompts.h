#pragma once

#include "FileDialog.h"
#include "UserPrompts.h"

#include <QColor>
#include <QStringList>

#include <deque>
#include <optional>

// Answers the program's questions, file and colour dialogs from scripts and records what was
// shown. Installed for its lifetime.
class TScriptedPrompts final : public TUserPrompts {
public:
    TScriptedPrompts() { Install(this); }
    ~TScriptedPrompts() override { Install(nullptr); }

    // What to answer, in order; an empty script answers No and Cancel.
    std::deque<bool> Answers;
    std::deque<QString> Files; // a null string cancels the dialog
    std::deque<QColor> Colors; // an invalid colour cancels the dialog

    // What was shown.
    QStringList Errors;
    QStringList Questions;
    QStringList DialogTitles; // of file and colour dialogs

    void ShowError(QWidget*, const QString& message) override { Errors << message; }

    bool Confirm(QWidget*, const QString& caption, const QString& text) override {
        Questions << caption + QStringLiteral(": ") + text;
        if (Answers.empty())
            return false;
        const bool answer = Answers.front();
        Answers.pop_front();
        return answer;
    }

    std::optional<QString> ChooseFile(QWidget*, const TFileDialog& dialog) override {
        DialogTitles << dialog.Title();
        if (Files.empty())
            return std::nullopt;
        const QString file = Files.front();
        Files.pop_front();
        if (file.isNull())
            return std::nullopt;
        return file;
    }

    std::optional<QColor> ChooseColor(QWidget*, const QColor&, const QString& title) override {
        DialogTitles << title;
        if (Colors.empty())
            return std::nullopt;
        const QColor color = Colors.front();
        Colors.pop_front();
        if (!color.isValid())
            return std::nullopt;
        return color;
    }
};
