// A deliberate data race: two threads increment one plain int without any synchronisation.
// Under ThreadSanitizer with the suite's suppressions in force this program must still be
// reported; if it is not, a suppression hides real races and has to be narrowed. Each way of
// running it puts other frames around the race, as our code has them:
//
//   race_canary std      both writers are std::threads
//   race_canary qthread  both writers are QThreads, so that Qt's thread start code is on the stack
//   race_canary event    one writer is a std::thread, the other an event handler run by the
//                        application's event loop, so that Qt's event delivery is on the stack
//   race_canary list     both writers append to one QList, so that Qt's reallocation of its
//                        buffer is on the stack
#include <QApplication>
#include <QEvent>
#include <QList>
#include <QThread>

#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

namespace {

int Counter = 0; // written by both threads, deliberately unguarded

// Not inlined, so that the report names it.
[[gnu::noinline]] void CanaryWriter() {
    for (int i = 0; i < 1000; ++i)
        ++Counter;
}

QList<int> List; // appended to by both threads, deliberately unguarded

[[gnu::noinline]] void CanaryWriterOfList() {
    for (int i = 0; i < 1000; ++i)
        List.append(i);
}

class TCanaryReceiver : public QObject {
public:
    bool event(QEvent* event) override {
        if (event->type() != QEvent::User)
            return QObject::event(event);
        CanaryWriter();
        QCoreApplication::quit();
        return true;
    }
};

int RaceInEventHandler(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TCanaryReceiver receiver;
    std::thread writer(CanaryWriter);
    // Posted from this thread: the event itself is no hand-over between threads.
    QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User));
    QApplication::exec();
    writer.join();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const char* how = argc == 2 ? argv[1] : "";
    if (std::strcmp(how, "std") == 0) {
        std::thread first(CanaryWriter);
        std::thread second(CanaryWriter);
        first.join();
        second.join();
    } else if (std::strcmp(how, "qthread") == 0) {
        std::unique_ptr<QThread> first(QThread::create(CanaryWriter));
        std::unique_ptr<QThread> second(QThread::create(CanaryWriter));
        first->start();
        second->start();
        first->wait();
        second->wait();
    } else if (std::strcmp(how, "list") == 0) {
        std::thread first(CanaryWriterOfList);
        std::thread second(CanaryWriterOfList);
        first.join();
        second.join();
    } else if (std::strcmp(how, "event") == 0) {
        return RaceInEventHandler(argc, argv);
    } else {
        std::fprintf(stderr, "usage: %s std|qthread|event|list\n", argv[0]);
        return 2;
    }
    return 0;
}
