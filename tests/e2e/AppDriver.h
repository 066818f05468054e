#pragma once

#include "AccessibilityTree.h"

#include <QJsonObject>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// Drives the shipped `lumacast` program from outside, as a user would: it owns a temporary home
// folder, a private D-Bus session bus (which starts the accessibility bus on demand), a window
// manager, the tray host, the microphone tone, and the program's process; it presses keys and
// clicks through XTest (xdotool), reads window geometry from the X server, finds widgets in the
// program's accessibility tree, and reads the files the program leaves on disk. Main thread
// only; every wait polls with a deadline and returns false (never throws) when the deadline
// passes.
class AppDriver {
public:
    // `outputFolder` receives the screenshots; it is created when missing.
    explicit AppDriver(QString outputFolder);
    ~AppDriver();

    // Empty when the rig can run the road; otherwise what is missing.
    static QString missingTools();

    bool startRig();      // session bus, openbox, tray host and the 440 Hz tone into the "micfeed" sink
    bool launch();        // the program, with the temporary home; waits for its tray icon
    bool quit();          // Ctrl+Q to the review window; true when the process ended by itself
    void killHard();      // SIGKILL, as a crash would
    bool running() const;
    QString mainThreadStack() const; // through gdb when it is installed, for a program that hangs

    // The running program's accessibility tree; nullptr when it did not show up on the
    // accessibility bus within 15 s of the first call after a launch.
    const AccessibilityTree *accessibility();
    // The centre of a widget on screen, found by role and accessible name; waits up to `timeout`.
    std::optional<QPoint> widgetCentre(const QString &role, const QString &name,
                                       std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // X input through XTest.
    void key(const QString &keys);                     // e.g. "super+shift+space"
    void keyTo(const QString &windowName, const QString &keys); // focuses the window first
    void click(QPoint screenPoint);
    void type(const QString &text);
    // Clicks at `point` until a new window of the program (a menu) shows; true when one did.
    bool openPopup(QPoint point);
    // Waits for a window of the program that is not in `known`, and returns it.
    std::optional<qulonglong> waitForNewWindow(const QList<qulonglong> &known, std::chrono::milliseconds timeout) const;
    // Answers the file panel `opening` brings up (keys or a click) with `path`: the whole name
    // field is replaced and Return pressed. True when the panel went away.
    bool answerFilePanel(const std::function<void()> &opening, const QString &path);
    std::optional<qulonglong> findWindow(const QString &namePattern) const; // visible windows only
    std::optional<QRect> geometry(qulonglong window) const;
    std::optional<QRect> trayIcon() const;             // our icon inside the tray host
    QList<qulonglong> visibleWindows() const;
    QList<qulonglong> appWindows() const; // the visible windows of the program's process
    QString windowName(qulonglong window) const;

    // Screenshots (PNG) of the whole screen or a part of it into the output folder.
    QString screenshot(const QString &name, std::optional<QRect> area = {}) const;

    // Files on disk.
    QString home() const { return m_home.path(); }
    QString logText() const;                            // the application log
    bool waitForLog(const QString &line, std::chrono::milliseconds timeout, qsizetype from = 0) const;
    QString scratchFolder() const;                      // the newest scratch session folder
    QJsonObject manifest(const QString &sessionFolder) const;

    static bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout);
    static QString run(const QString &program, const QStringList &arguments, int *exitCode = nullptr,
                       int timeoutMs = 30000);

private:
    static QStringList rootPropertyNames(const QString &display);
    QProcessEnvironment environment() const;

    QString m_output;
    QTemporaryDir m_home;
    std::unique_ptr<QProcess> m_bus; // dbus-daemon, the session bus
    QString m_busAddress;
    std::unique_ptr<QProcess> m_app;
    std::unique_ptr<AccessibilityTree> m_accessibility;
    bool m_accessibilityTried = false;
    std::unique_ptr<QProcess> m_windowManager; // openbox
    // The root window's properties before the window manager came: it leaves its own behind
    // (a client list of windows long gone among them), which later tests on the same display
    // would take for a running window manager's.
    QStringList m_rootPropertiesBefore;
    QString m_windowManagerDisplay;
    std::unique_ptr<QProcess> m_tray;
    std::unique_ptr<QProcess> m_tone;
};
