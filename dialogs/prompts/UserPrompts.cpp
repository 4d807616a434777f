#include "dialogs/prompts/UserPrompts.h"

#include "dialogs/prompts/FileDialog.h"

#include <QColorDialog>
#include <QFileDialog>
#include <QMessageBox>

#include <algorithm>
#include <atomic>

namespace {

class TQtUserPrompts final : public TUserPrompts {
public:
    void DoShowError(QWidget* parent, const QString& message) override {
        QMessageBox::critical(parent, QString(), message);
    }

    bool DoConfirm(QWidget* parent, const QString& caption, const QString& text) override {
        return QMessageBox::question(parent, caption, text, QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::No) == QMessageBox::Yes;
    }

    std::optional<QString> DoChooseFile(QWidget* parent, const TFileDialog& dialog) override {
        QFileDialog box(parent, dialog.Title());
        const bool save = dialog.Kind() == TFileDialog::EKind::Save;
        box.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        // Neither kind insists on an existing file nor asks about replacing one: the callers
        // make their own checks.
        box.setFileMode(QFileDialog::AnyFile);
        box.setOption(QFileDialog::DontConfirmOverwrite);
        const QStringList filters = dialog.QtNameFilters();
        box.setNameFilters(filters);
        // A name typed without extension gets the one of the filter chosen, not always the
        // first filter's.
        const qsizetype initial =
            std::clamp<qsizetype>(dialog.SelectedFilter(), 0, filters.size() - 1);
        box.selectNameFilter(filters.value(initial));
        box.setDefaultSuffix(dialog.FilterExtension(initial));
        QObject::connect(&box, &QFileDialog::filterSelected, &box, [&](const QString& filter) {
            if (filters.contains(filter))
                box.setDefaultSuffix(dialog.FilterExtension(filters.indexOf(filter)));
        });
        if (!dialog.FileName().isEmpty())
            box.selectFile(dialog.FileName());
        if (box.exec() != QDialog::Accepted || box.selectedFiles().isEmpty())
            return std::nullopt;
        if (filters.contains(box.selectedNameFilter()))
            dialog.SetSelectedFilter(filters.indexOf(box.selectedNameFilter()));
        return box.selectedFiles().constFirst();
    }

    std::optional<QColor> DoChooseColor(QWidget* parent, const QColor& initial,
                                        const QString& title) override {
        // The dialog answers a cancel with an invalid colour.
        const QColor color = QColorDialog::getColor(initial, parent, title);
        if (!color.isValid())
            return std::nullopt;
        return color;
    }
};

TQtUserPrompts DefaultPrompts;
std::atomic<TUserPrompts*> Installed{nullptr};
// Prompts shown now; they nest when a prompt's event loop runs a handler that asks again.
// Prompts belong to the window's thread.
int Showing = 0;

// Counts a prompt as shown for its lifetime.
class TShowing {
public:
    TShowing() { ++Showing; }
    ~TShowing() { --Showing; }
    TShowing(const TShowing&) = delete;
    TShowing& operator=(const TShowing&) = delete;
};

} // namespace

void TUserPrompts::ShowError(QWidget* parent, const QString& message) {
    const TShowing showing;
    DoShowError(parent, message);
}

bool TUserPrompts::Confirm(QWidget* parent, const QString& caption, const QString& text) {
    const TShowing showing;
    return DoConfirm(parent, caption, text);
}

std::optional<QString> TUserPrompts::ChooseFile(QWidget* parent, const TFileDialog& dialog) {
    const TShowing showing;
    return DoChooseFile(parent, dialog);
}

std::optional<QColor> TUserPrompts::ChooseColor(QWidget* parent, const QColor& initial,
                                                const QString& title) {
    const TShowing showing;
    return DoChooseColor(parent, initial, title);
}

bool TUserPrompts::IsShowing() {
    return Showing > 0;
}

TUserPrompts& TUserPrompts::Current() {
    TUserPrompts* prompts = Installed.load();
    return prompts ? *prompts : DefaultPrompts;
}

void TUserPrompts::Install(TUserPrompts* prompts) {
    Installed.store(prompts);
}
