#include "dialogs/prompts/FileDialog.h"

#include "dialogs/prompts/UserPrompts.h"

#include <QStringList>

TFileDialog::TFileDialog(EKind kind, QString title, QString filter, QString defaultExt)
    : FKind(kind)
    , FTitle(std::move(title))
    , FFilter(std::move(filter))
    , FDefaultExt(std::move(defaultExt)) {}

QString TFileDialog::QtNameFilter() const {
    return QtNameFilters().join(QStringLiteral(";;"));
}

QStringList TFileDialog::QtNameFilters() const {
    const QStringList parts = FFilter.split(u'|');
    if (parts.size() < 2)
        return {FFilter};
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString& name = parts[i];
        const QString& pattern = parts[i + 1];
        // A name that already shows its pattern ("Settings (*.bin)") is taken as it stands.
        if (name.endsWith(u')') && name.contains(pattern))
            filters << name;
        else
            filters << QStringLiteral("%1 (%2)").arg(name, pattern);
    }
    return filters;
}

QString TFileDialog::FilterExtension(qsizetype index) const {
    const QStringList parts = FFilter.split(u'|');
    // The first pattern of the pair, e.g. "*.pdf" of "*.pdf;*.PDF".
    const QString pattern = parts.value(index * 2 + 1).section(u';', 0, 0).trimmed();
    const QString extension = pattern.section(u'.', 1);
    if (!pattern.startsWith(QLatin1String("*.")) || extension.isEmpty() ||
        extension.contains(u'*') || extension.contains(u'?'))
        return FDefaultExt;
    return extension;
}

bool TFileDialog::Execute(QWidget* parent) {
    const auto chosen = TUserPrompts::Current().ChooseFile(parent, *this);
    if (!chosen)
        return false;
    FFileName = *chosen;
    return true;
}
