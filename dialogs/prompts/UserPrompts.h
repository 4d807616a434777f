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
    void ShowError(QWidget* parent, const QString& message);
    // A confirmation box with a question icon and the buttons Yes and No; true for Yes.
    bool Confirm(QWidget* parent, const QString& caption, const QString& text);
    // Runs a file dialog; the chosen file name, or nothing when the user cancelled.
    std::optional<QString> ChooseFile(QWidget* parent, const TFileDialog& dialog);
    // A colour dialog that starts at initial; the chosen colour, or nothing when the user
    // cancelled.
    std::optional<QColor> ChooseColor(QWidget* parent, const QColor& initial, const QString& title);

    // True while one of the calls above is shown, whichever prompts are installed: remote
    // commands wait for it to close.
    static bool IsShowing();

    // The prompts in use. Install(nullptr) brings back the default.
    static TUserPrompts& Current();
    static void Install(TUserPrompts* prompts);

protected:
    virtual void DoShowError(QWidget* parent, const QString& message) = 0;
    virtual bool DoConfirm(QWidget* parent, const QString& caption, const QString& text) = 0;
    virtual std::optional<QString> DoChooseFile(QWidget* parent, const TFileDialog& dialog) = 0;
    virtual std::optional<QColor> DoChooseColor(QWidget* parent, const QColor& initial,
                                                const QString& title) = 0;
};
