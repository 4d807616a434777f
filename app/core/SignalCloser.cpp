#include "app/core/SignalCloser.h"

#include <QSocketNotifier>

#include <csignal>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// One closer per process: the handler reaches it only through this pair.
int SignalFds[2] = {-1, -1};
struct sigaction OldTerm, OldInt;

void OnSignal(int) {
    const char byte = 1;
    // Only async-signal-safe calls here; a full socket just drops the extra byte.
    [[maybe_unused]] ssize_t n = ::write(SignalFds[0], &byte, 1);
}

} // namespace

TSignalCloser::TSignalCloser(QObject* owner, std::function<void()> close)
    : QObject(owner)
    , FClose(std::move(close)) {
    if (SignalFds[0] != -1)
        throw std::logic_error("only one signal closer per process");
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, SignalFds) != 0)
        throw std::runtime_error("cannot create the signal socket pair");
    FNotifier = new QSocketNotifier(SignalFds[1], QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, &TSignalCloser::SignalArrived);

    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, &OldTerm);
    ::sigaction(SIGINT, &action, &OldInt);
}

TSignalCloser::~TSignalCloser() {
    ::sigaction(SIGTERM, &OldTerm, nullptr);
    ::sigaction(SIGINT, &OldInt, nullptr);
    delete FNotifier;
    ::close(SignalFds[0]);
    ::close(SignalFds[1]);
    SignalFds[0] = SignalFds[1] = -1;
}

void TSignalCloser::SignalArrived() {
    char buffer[16];
    while (::read(SignalFds[1], buffer, sizeof buffer) > 0) {
    }
    FClose();
}
