#pragma once

#include <QObject>
#include <QPointer>

class QSocketNotifier;
class QWidget;

// Closes a window when the process gets SIGTERM or SIGINT, as the menu "Exit" would, so that
// the program shuts down in order and writes its settings. The signal handler only writes a
// byte to a socket pair; the window's thread reads it and closes the window.
class TSignalCloser : public QObject {
    Q_OBJECT
public:
    explicit TSignalCloser(QWidget* window);
    ~TSignalCloser() override;

    TSignalCloser(const TSignalCloser&) = delete;
    TSignalCloser& operator=(const TSignalCloser&) = delete;

private:
    void SignalArrived();

    QPointer<QWidget> FWindow;
    QSocketNotifier* FNotifier = nullptr;
};
