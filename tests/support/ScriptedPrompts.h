#pragma once

#include "dialogs/prompts/FileDialog.h"
#include "dialogs/prompts/UserPrompts.h"

#include <QColor>
#include <QStringList>

#include <deque>
#include <functional>
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

    // Runs while a prompt is shown, before it is answered, as a dialog's event loop would run;
    // tests let clients talk to the window meanwhile.
    std::function<void()> WhileShown;

protected:
    void DoShowError(QWidget*, const QString& message) override {
        Errors << message;
        Shown();
    }

    bool DoConfirm(QWidget*, const QString& caption, const QString& text) override {
        Questions << caption + QStringLiteral(": ") + text;
        Shown();
        if (Answers.empty())
            return false;
        const bool answer = Answers.front();
        Answers.pop_front();
        return answer;
    }

    std::optional<QString> DoChooseFile(QWidget*, const TFileDialog& dialog) override {
        DialogTitles << dialog.Title();
        Shown();
        if (Files.empty())
            return std::nullopt;
        const QString file = Files.front();
        Files.pop_front();
        if (file.isNull())
            return std::nullopt;
        return file;
    }

    std::optional<QColor> DoChooseColor(QWidget*, const QColor&, const QString& title) override {
        DialogTitles << title;
        Shown();
        if (Colors.empty())
            return std::nullopt;
        const QColor color = Colors.front();
        Colors.pop_front();
        if (!color.isValid())
            return std::nullopt;
        return color;
    }

private:
    void Shown() {
        if (WhileShown)
            WhileShown();
    }
};
