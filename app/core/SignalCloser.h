#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

// Ends the program in order when the process gets SIGTERM or SIGINT, as the window's "Exit"
// would, so that it writes its log and its settings. The signal handler only writes a byte to
// a socket pair; the owner's thread reads it and calls close there, as long as the owner lives.
class TSignalCloser : public QObject {
    Q_OBJECT
public:
    // owner: the window or the headless program; the closer is its child. close: how to end it.
    TSignalCloser(QObject* owner, std::function<void()> close);
    ~TSignalCloser() override;

    TSignalCloser(const TSignalCloser&) = delete;
    TSignalCloser& operator=(const TSignalCloser&) = delete;

private:
    void SignalArrived();

    std::function<void()> FClose;
    QSocketNotifier* FNotifier = nullptr;
};
