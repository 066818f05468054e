#include "capture/RecorderCallbackRelay.h"

#include "model/LogCategories.h"
#include "store/AppLog.h"
#include "threads/ThreadBridge.h"

#include <QPointer>

namespace lumacast {

namespace {
void logApp(const QString &message)
{
    AppLog::shared().log(message);
    qCInfo(lumacast::log::app(), "%s", qUtf8Printable(message));
}
} // namespace

RecorderCallbackRelay::RecorderCallbackRelay(StateManagerCallbacks &target, QObject *parent)
    : QObject(parent), m_target(target)
{
}

RecorderCallbackRelay::~RecorderCallbackRelay() = default;

// The closures hold the relay weakly: made here, on the main thread, and checked there when the
// posted call runs, so one called while the relay goes away finds it alive or does nothing.
std::function<void(const Error &)> RecorderCallbackRelay::onStreamErrorCallback()
{
    return [relay = QPointer<RecorderCallbackRelay>(this)](const Error &error) {
        // Always posted, never run inline, even when the recorder reports from the main thread.
        postToMainThread(relay, [relay, description = error.localizedDescription()] {
            relay->handleStreamError(description);
        });
    };
}

std::function<void(bool)> RecorderCallbackRelay::onVideoEffectChangedCallback()
{
    return [relay = QPointer<RecorderCallbackRelay>(this)](bool active) {
        postToMainThread(relay, [relay, active] { relay->m_target.updateWebcamOverlayVisibility(active); });
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
