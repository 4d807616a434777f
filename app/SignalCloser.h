#pragma once

#include <QObject>
#include <QPointer>

#include <functional>

class QSocketNotifier;
class QWidget;

// Closes a window when the process gets SIGTERM or SIGINT, as the menu "Exit" would, so that
// the program shuts down in order and writes its settings. The signal handler only writes a
// byte to a socket pair; the window's thread reads it and closes the window.
class TSignalCloser : public QObject {
    Q_OBJECT
public:
    // close: how to close the window on a signal; by default its close().
    explicit TSignalCloser(QWidget* window, std::function<void()> close = {});
    ~TSignalCloser() override;

    TSignalCloser(const TSignalCloser&) = delete;
    TSignalCloser& operator=(const TSignalCloser&) = delete;

private:
    void SignalArrived();

    QPointer<QWidget> FWindow;
    std::function<void()> FClose;
    QSocketNotifier* FNotifier = nullptr;
};
