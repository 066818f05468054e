#pragma once

#include "TestEnvironment.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <optional>

class QProcess;

namespace lumacast::testing {

// A PulseAudio server of the test's own, in a temporary folder, which the code under test
// reaches for as long as the object lives (PULSE_SERVER points at it; the previous value comes
// back on destruction). It can be killed and started again on the same socket, while the rig's
// own server, which tests running beside this one use, is left alone. Main thread.
class PrivateSoundServer {
public:
    // Whether pulseaudio and pactl are there at all; a test without them skips.
    static bool installed();

    // Started at once; `modules`, each as `pulseaudio -L` takes it ("module-null-source
    // source_name=mic"), are loaded at every start, after the socket.
    explicit PrivateSoundServer(QStringList modules);
    ~PrivateSoundServer();
    PrivateSoundServer(const PrivateSoundServer &) = delete;
    PrivateSoundServer &operator=(const PrivateSoundServer &) = delete;

    // Starts it and waits until it answers (10 s at most); false, with the reason, when it does
    // not or a module did not load.
    bool start();
    // Gone at once, as a crashed server goes: no goodbye to its clients, its socket left behind.
    void kill();
    bool ready() const { return m_ready; }
    QString reason() const { return m_reason; }

    // pactl against this server.
    ProcessResult pactl(const QStringList &args) const;

private:
    QTemporaryDir m_dir;
    QStringList m_modules;
    std::unique_ptr<QProcess> m_server;
    std::optional<QByteArray> m_savedServer;
    bool m_ready = false;
    QString m_reason;
};

} // namespace lumacast::testing
