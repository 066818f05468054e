#include "capture/MicrophoneDevices.h"

#include "model/LogCategories.h"
#include "threads/ThreadBridge.h"

#include <QPointer>

#include <chrono>
#include <utility>

namespace lumacast {

namespace {
constexpr auto kRetryInterval = std::chrono::seconds(2);
constexpr int kConnectTimeoutMs = 3000;
} // namespace

MicrophoneDevices::MicrophoneDevices(QObject *parent) : QObject(parent)
{
    m_retry.setSingleShot(true);
    m_retry.setInterval(kRetryInterval);
    connect(&m_retry, &QTimer::timeout, this, [this] { startTaskNow([this] { return reconnect(); }); });
    try {
        follow(pulse::PulseConnection::open(kConnectTimeoutMs, "mic devices"));
        m_microphones = MicOption::fromSources(m_connection->sources());
    } catch (const pulse::PulseError &error) {
        m_connection.reset();
        qCWarning(lumacast::log::recorder(), "microphone changes not followed until a sound server answers: %s",
                  error.what());
        retryLater();
    }
}

MicrophoneDevices::~MicrophoneDevices() { m_connection.reset(); }

void MicrophoneDevices::follow(std::shared_ptr<pulse::PulseConnection> connection)
{
    // Runs on the sound server's event thread; the connection is closed before this object goes
    // away, so the queued call finds it alive or is dropped with it.
    connection->watchSources([this] {
        postToMainThread(QPointer<MicrophoneDevices>(this), [this] {
            if (m_refreshQueued)
                return;
            m_refreshQueued = true;
            postToMainThread(QPointer<MicrophoneDevices>(this), [this] { refresh(); });
        });
    });
    m_connection = std::move(connection);
}

void MicrophoneDevices::refresh()
{
    m_refreshQueued = false;
    QList<MicOption> now;
    if (m_connection && m_connection->isAlive()) {
        try {
            now = MicOption::fromSources(m_connection->sources());
        } catch (const pulse::PulseError &error) {
            qCWarning(lumacast::log::recorder(), "microphone list unavailable: %s", error.what());
        }
    }
    if (m_connection && !m_connection->isAlive()) {
        // The server went away: its sources with it, until one answers again.
        qCInfo(lumacast::log::recorder(), "sound server gone — looking for it again");
        m_connection.reset();
        retryLater();
    }
    if (now == m_microphones)
        return;
    m_microphones = now;
    emit microphonesChanged();
}

void MicrophoneDevices::retryLater()
{
    if (!m_reconnecting && !m_connection)
        m_retry.start();
}

QCoro::Task<> MicrophoneDevices::reconnect()
{
    const QPointer<MicrophoneDevices> alive(this);
    m_reconnecting = true;
    // A server that accepts and then says nothing would hold the main thread for the whole
    // time-out: the connection is made on a thread of its own.
    auto opening = runInBackground("mic reconnect", []() -> std::shared_ptr<pulse::PulseConnection> {
        try {
            return pulse::PulseConnection::open(kConnectTimeoutMs, "mic devices");
        } catch (const pulse::PulseError &) {
            return nullptr;
        }
    });
    std::shared_ptr<pulse::PulseConnection> connection = co_await opening;
    if (!alive)
        co_return;
    m_reconnecting = false;
    try {
        if (connection) {
            follow(std::move(connection));
            qCInfo(lumacast::log::recorder(), "sound server back — following its microphones");
            refresh();
            co_return;
        }
    } catch (const pulse::PulseError &error) {
        qCWarning(lumacast::log::recorder(), "microphone changes not followed: %s", error.what());
    }
    m_connection.reset();
    retryLater();
}

} // namespace lumacast
