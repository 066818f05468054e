#include "threads/ThreadBridge.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <cstring>
#include <memory>

#include <pthread.h>

namespace lumacast {

void nameCurrentThread(const char *name)
{
    char cut[16] = {};
    std::strncpy(cut, name, sizeof cut - 1);
    pthread_setname_np(pthread_self(), cut);
}

#ifdef LUMACAST_TSAN
extern "C" {
void AnnotateIgnoreReadsBegin(const char *file, int line);
void AnnotateIgnoreReadsEnd(const char *file, int line);
void AnnotateIgnoreWritesBegin(const char *file, int line);
void AnnotateIgnoreWritesEnd(const char *file, int line);
}
#endif

void postToMainThread(std::function<void()> work)
{
    // The application object lives as long as the main loop runs, so a post from another thread
    // never races the destruction of the object it names; the receiver check runs on the main
    // thread, where receivers are destroyed.
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return;
#ifdef LUMACAST_TSAN
    // Qt builds the posted call after any hand-off we could announce, so what this thread writes
    // into it is kept from ThreadSanitizer; the closure itself goes before the hand-off.
    auto handed = std::make_shared<std::function<void()>>(std::move(work));
    detail::handOff(handed.get());
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
    QMetaObject::invokeMethod(app, [handed = std::move(handed)] {
        detail::takeOver(handed.get());
        (*handed)();
    }, Qt::QueuedConnection);
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
#else
    QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
#endif
}

namespace detail {
QCoro::Task<> runDroppingErrors(std::function<QCoro::Task<>()> work)
{
    try {
        co_await work();
    } catch (...) {
        // The operation has already reported its failure.
    }
}
} // namespace detail

void startTaskNow(std::function<QCoro::Task<>()> work)
{
    detail::runDroppingErrors(std::move(work)); // runs on by itself; its frame frees itself
}

} // namespace lumacast
