#include "FileDialog.h"

#include "UserPrompts.h"

TFileDialog::TFileDialog(EKind kind, QString title, QString filter, QString defaultExt)
    : FKind(kind)
    , FTitle(std::move(title))
    , FFilter(std::move(filter))
    , FDefaultExt(std::move(defaultExt)) {}

QString TFileDialog::QtNameFilter() const {
    const qsizetype bar = FFilter.indexOf(u'|');
    if (bar < 0)
        return FFilter;
    const QString name = FFilter.left(bar);
    const QString pattern = FFilter.mid(bar + 1);
    // A name that already shows its pattern ("Settings (*.bin)") is taken as it stands.
    if (name.endsWith(u')') && name.contains(pattern))
        return name;
    return QStringLiteral("%1 (%2)").arg(name, pattern);
}

bool TFileDialog::Execute(QWidget* parent) {
    const auto chosen = TUserPrompts::Current().ChooseFile(parent, *this);
    if (!chosen)
        return false;
    FFileName = *chosen;
    return true;
}
