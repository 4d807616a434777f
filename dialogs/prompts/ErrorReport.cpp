#include "dialogs/prompts/ErrorReport.h"

#include "dialogs/prompts/UserPrompts.h"

#include <QDebug>

void ReportError(QWidget* parent, const QString& message) {
    // Also on stderr, so that an error during an unattended run leaves a trace.
    qWarning().noquote() << "Error:" << message;
    try {
        TUserPrompts::Current().ShowError(parent, message);
    } catch (...) {
        // Reporting must never raise in its turn.
    }
}

void ReportError(QWidget* parent, const std::exception& error) {
    ReportError(parent, QString::fromUtf8(error.what()));
}
