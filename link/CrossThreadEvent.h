#pragma once

#include <QCoreApplication>
#include <QEvent>

// Posting an event from a worker thread to the window's thread. Qt's event queue lock lives in
// a library that ThreadSanitizer does not see, so a sanitizer build marks the hand-over
// explicitly; elsewhere these are plain posts.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

// Posts event to receiver from any thread; the receiver owns it from then on.
void PostCrossThreadEvent(QObject* receiver, QEvent* event);

// Called first by the receiver's event handler for every event it may get from another thread.
inline void TakeCrossThreadEvent([[maybe_unused]] QEvent* event) {
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(event);
#endif
}
