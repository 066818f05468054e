#include "capture/RecorderCallbackRelay.h"

#include "model/LogCategories.h"
#include "store/AppLog.h"

#include <QPointer>

#include <mutex>

namespace lumacast {

// Shared with every closure handed out, so that a closure called on another thread while the
// relay goes away either posts to a live relay or finds it gone.
struct RecorderCallbackRelay::Link {
    std::mutex mutex;
    RecorderCallbackRelay *relay = nullptr;

    template <typename Work> void post(Work work)
    {
        std::lock_guard lock(mutex);
        if (relay)
            QMetaObject::invokeMethod(relay, std::move(work), Qt::QueuedConnection);
    }
};

namespace {
void logApp(const QString &message)
{
    AppLog::shared().log(message);
    qCInfo(lumacast::log::app(), "%s", qUtf8Printable(message));
}
} // namespace

RecorderCallbackRelay::RecorderCallbackRelay(StateManagerCallbacks &target, QObject *parent)
    : QObject(parent), m_target(target), m_link(std::make_shared<Link>())
{
    m_link->relay = this;
}

RecorderCallbackRelay::~RecorderCallbackRelay()
{
    std::lock_guard lock(m_link->mutex);
    m_link->relay = nullptr;
}

std::function<void(const Error &)> RecorderCallbackRelay::onStreamErrorCallback()
{
    return [link = m_link](const Error &error) {
        // Always posted, never run inline, even when the recorder reports from the main thread.
        link->post([link, description = error.localizedDescription()] {
            std::unique_lock lock(link->mutex);
            RecorderCallbackRelay *relay = link->relay;
            lock.unlock();
            if (relay)
                relay->handleStreamError(description);
        });
    };
}

std::function<void(bool)> RecorderCallbackRelay::onVideoEffectChangedCallback()
{
    return [link = m_link](bool active) {
        link->post([link, active] {
            std::unique_lock lock(link->mutex);
            RecorderCallbackRelay *relay = link->relay;
            lock.unlock();
            if (relay)
                relay->m_target.updateWebcamOverlayVisibility(active);
        });
    };
}

QCoro::Task<> RecorderCallbackRelay::handleStreamError(QString description)
{
    logApp(QStringLiteral("[app] stream error: ") + description);
    if (m_handlingStreamError) {
        logApp(QStringLiteral("[app] stream error ignored — already handling one"));
        co_return;
    }
    m_handlingStreamError = true;
    // The relay may go away while the take is being ended; the flag then goes with it.
    const QPointer<RecorderCallbackRelay> self(this);
    co_await m_target.endTakeAfterStreamError(description);
    if (self)
        m_handlingStreamError = false;
}

} // namespace lumacast
