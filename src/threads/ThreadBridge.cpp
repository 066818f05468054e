#include "threads/ThreadBridge.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <cstring>

#include <pthread.h>

namespace lumacast {

void nameCurrentThread(const char *name)
{
    char cut[16] = {};
    std::strncpy(cut, name, sizeof cut - 1);
    pthread_setname_np(pthread_self(), cut);
}

void postToMainThread(std::function<void()> work)
{
    // The application object lives as long as the main loop runs, so a post from another thread
    // never races the destruction of the object it names; the receiver check runs on the main
    // thread, where receivers are destroyed.
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return;
    QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
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

} // namespace lumacast
