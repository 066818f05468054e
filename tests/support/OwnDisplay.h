#pragma once

#include <QProcess>
#include <QString>

// An X server of the test's own (Xvfb), beside the rig's: a program under test runs on it, and
// the test may kill it. Its number is taken far above the ones rigs pick, and it counts as
// started only while it runs and its socket is there (rigs of other programs may start servers at
// the same moment). Without -noreset it would reset when the rig's first short-lived client
// (xdotool) leaves, refusing the tray that connects meanwhile. `name()` is empty when no server
// came up.
class OwnDisplay {
public:
    OwnDisplay();
    ~OwnDisplay();
    OwnDisplay(const OwnDisplay &) = delete;
    OwnDisplay &operator=(const OwnDisplay &) = delete;

    QString name() const { return m_name; } // ":<number>"
    void kill();

private:
    QProcess m_server;
    QString m_name;
    int m_number = 0;
};

// DISPLAY set to `display` for the life of the object, for the tools the driver runs (xdotool,
// the window manager, the program itself); the earlier value comes back afterwards.
class DisplayInUse {
public:
    explicit DisplayInUse(const QString &display);
    ~DisplayInUse();
    DisplayInUse(const DisplayInUse &) = delete;
    DisplayInUse &operator=(const DisplayInUse &) = delete;

private:
    QByteArray m_before;
};
