// A deliberate data race: two threads increment one plain int without any synchronisation.
// Under ThreadSanitizer with the suite's suppressions in force this program must still be
// reported; if it is not, a suppression hides real races and has to be narrowed.
//
//   race_canary std      the writers are std::threads
//   race_canary qthread  the writers are QThreads, so that their stacks run through Qt's thread
//                        start code: a suppression matching Qt's own frames too broadly hides it
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

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "std") == 0) {
        std::thread first(CanaryWriter);
        std::thread second(CanaryWriter);
        first.join();
        second.join();
    } else if (argc == 2 && std::strcmp(argv[1], "qthread") == 0) {
        std::unique_ptr<QThread> first(QThread::create(CanaryWriter));
        std::unique_ptr<QThread> second(QThread::create(CanaryWriter));
        first->start();
        second->start();
        first->wait();
        second->wait();
    } else {
        std::fprintf(stderr, "usage: %s std|qthread\n", argv[0]);
        return 2;
    }
    return 0;
}
