#pragma once

#include <QProcess>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <set>

namespace lumacast::testing {

// An X server of the test's own with several RandR outputs, like a laptop's panel and its
// external monitors: Xorg with the dummy video driver, whose outputs DUMMY0 to DUMMY15 `xrandr`
// switches on and off (Xvfb has one). It starts with DUMMY0 alone at 1024 x 768 and is stopped
// with the object. Main thread.
class DummyXorg {
public:
    // Why it cannot start here, for a test's skip; empty when it can.
    static QString missing();

    DummyXorg();
    ~DummyXorg();
    DummyXorg(const DummyXorg &) = delete;
    DummyXorg &operator=(const DummyXorg &) = delete;

    // ":<n>" once it accepts connections; empty when it did not start (`failure` says why).
    QString display() const { return m_display; }
    QString failure() const { return m_failure; }

    // `xrandr` on this server with these arguments; true when it succeeded.
    bool xrandr(const QStringList &arguments);
    // Switches an output on at a size with a placement ("--left-of", "DUMMY0"; "--pos", "0x0").
    bool plug(const QString &output, QSize size, const QStringList &placement);

private:
    QTemporaryDir m_dir;
    QProcess m_server;
    QString m_display;
    QString m_failure;
    std::set<QString> m_modes;
};

} // namespace lumacast::testing
