#include "capture/MicrophoneDevices.h"

#include "model/LogCategories.h"
#include "threads/ThreadBridge.h"

#include <QPointer>

namespace lumacast {

MicrophoneDevices::MicrophoneDevices(QObject *parent) : QObject(parent)
{
    try {
        m_connection = pulse::PulseConnection::open(3000, "mic devices");
        // Runs on the sound server's event thread; the connection is closed before this object
        // goes away, so the queued call finds it alive or is dropped with it.
        m_connection->watchSources([this] {
            postToMainThread(QPointer<MicrophoneDevices>(this), [this] {
                if (m_refreshQueued)
                    return;
                m_refreshQueued = true;
                postToMainThread(QPointer<MicrophoneDevices>(this), [this] { refresh(); });
            });
        });
        m_microphones = MicOption::fromSources(m_connection->sources());
    } catch (const pulse::PulseError &error) {
        m_connection.reset();
        qCWarning(lumacast::log::recorder(), "microphone changes not followed: %s", error.what());
    }
}

MicrophoneDevices::~MicrophoneDevices() { m_connection.reset(); }

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
    if (now == m_microphones)
        return;
    m_microphones = now;
    emit microphonesChanged();
}

} // namespace lumacast
