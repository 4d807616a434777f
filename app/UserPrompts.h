#pragma once

#include <QColor>
#include <QString>

#include <optional>

class QWidget;
class TFileDialog;

// Every modal question, file or colour dialog and error box of the program goes through this
// seam, so that tests can answer them. The default shows Qt's message boxes and dialogs.
class TUserPrompts {
public:
    virtual ~TUserPrompts() = default;

    // A message box with the error's message.
    virtual void ShowError(QWidget* parent, const QString& message) = 0;
    // A confirmation box with a question icon and the buttons Yes and No; true for Yes.
    virtual bool Confirm(QWidget* parent, const QString& caption, const QString& text) = 0;
    // Runs a file dialog; the chosen file name, or nothing when the user cancelled.
    virtual std::optional<QString> ChooseFile(QWidget* parent, const TFileDialog& dialog) = 0;
    // A colour dialog that starts at initial; the chosen colour, or nothing when the user
    // cancelled.
    virtual std::optional<QColor> ChooseColor(QWidget* parent, const QColor& initial,
                                              const QString& title) = 0;

    // The prompts in use. Install(nullptr) brings back the default.
    static TUserPrompts& Current();
    static void Install(TUserPrompts* prompts);
};
