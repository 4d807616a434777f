#include "link/CrossThreadEvent.h"

#if defined(__SANITIZE_THREAD__)
#include <mutex>

namespace {
// Qt grows its queue of posted events under a lock the sanitizer cannot see; posting threads
// also take this one, so that their hand-over is visible to it.
std::mutex PostLock;
} // namespace
#endif

void PostCrossThreadEvent(QObject* receiver, QEvent* event) {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(event);
    std::lock_guard lock(PostLock);
#endif
    QCoreApplication::postEvent(receiver, event);
}
