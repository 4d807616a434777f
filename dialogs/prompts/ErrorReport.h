#pragma once

#include <QString>

#include <exception>
#include <utility>

class QWidget;

// The program's one error report: a message box with the error's message. Exceptions never
// cross the Qt event loop; every handler that can raise runs its body through Guarded.
void ReportError(QWidget* parent, const QString& message);
void ReportError(QWidget* parent, const std::exception& error);

// Runs body and reports any exception it raises.
template <class Body>
void Guarded(QWidget* parent, Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
    } catch (const std::exception& error) {
        ReportError(parent, error);
    } catch (...) {
        ReportError(parent, QStringLiteral("Unknown error"));
    }
}
