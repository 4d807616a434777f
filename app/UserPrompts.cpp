#include "UserPrompts.h"

#include "FileDialog.h"

#include <QColorDialog>
#include <QFileDialog>
#include <QMessageBox>

#include <atomic>

namespace {

class TQtUserPrompts final : public TUserPrompts {
public:
    void ShowError(QWidget* parent, const QString& message) override {
        QMessageBox::critical(parent, QString(), message);
    }

    bool Confirm(QWidget* parent, const QString& caption, const QString& text) override {
        return QMessageBox::question(parent, caption, text, QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::No) == QMessageBox::Yes;
    }

    std::optional<QString> ChooseFile(QWidget* parent, const TFileDialog& dialog) override {
        QFileDialog box(parent, dialog.Title());
        const bool save = dialog.Kind() == TFileDialog::EKind::Save;
        box.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        // Neither kind insists on an existing file nor asks about replacing one: the callers
        // make their own checks.
        box.setFileMode(QFileDialog::AnyFile);
        box.setOption(QFileDialog::DontConfirmOverwrite);
        box.setNameFilter(dialog.QtNameFilter());
        box.setDefaultSuffix(dialog.DefaultExt());
        if (!dialog.FileName().isEmpty())
            box.selectFile(dialog.FileName());
        if (box.exec() != QDialog::Accepted || box.selectedFiles().isEmpty())
            return std::nullopt;
        return box.selectedFiles().constFirst();
    }

    std::optional<QColor> ChooseColor(QWidget* parent, const QColor& initial,
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

} // namespace

TUserPrompts& TUserPrompts::Current() {
    TUserPrompts* prompts = Installed.load();
    return prompts ? *prompts : DefaultPrompts;
}

void TUserPrompts::Install(TUserPrompts* prompts) {
    Installed.store(prompts);
}
