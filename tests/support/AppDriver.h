#pragma once

#include "support/AccessibilityTree.h"

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

// Drives the shipped `lumacast` program of this build tree from outside, as a user would: it owns
// a temporary home folder (the XDG folders and the temporary folder, TMPDIR, inside it), a
// private D-Bus session bus (which starts the accessibility bus on demand), a window manager, the
// tray host, the microphone tone, and the program's process (its output goes to lumacast.out in
// the output folder); it presses keys and clicks through XTest (xdotool), reads window geometry
// from the X server, finds widgets in the program's accessibility tree, and reads the files the
// program leaves on disk. Main thread only; every wait polls with a deadline and returns false
// (never throws) when the deadline passes.
class AppDriver {
public:
    // `outputFolder` receives the screenshots; it is created when missing.
    explicit AppDriver(QString outputFolder);
    ~AppDriver();

    // The test program's application object, made once when there is none: QtDBus, which reads
    // the accessibility tree, wants one.
    static void ensureApplication();

    // Empty when the display, the accessibility bus, the program and `tools` are there (by
    // default what the road needs); otherwise what is missing.
    static QString missingTools(const QStringList &tools = {"xdotool", "openbox", "trayer", "ffmpeg", "ffprobe",
                                                            "xmllint", "dbus-daemon"});

    // Session bus, openbox, tray host (trayer, an XEmbed one) and the 440 Hz tone into the
    // "micfeed" sink. With `sessionBus` the program runs on that bus instead, whose owner also
    // hosts its tray (a StatusNotifierItem host): no bus and no trayer of the driver's own.
    bool startRig(const QString &sessionBus = {});
    // The program, with the temporary home; waits for its tray icon (trayer's), or for its log's
    // "ready" on another tray host.
    bool launch(const QStringList &arguments = {});
    // A further launch with the same environment, which hands `arguments` to the running program
    // and ends: its exit code, or -1 when it crashed or did not end within `timeout`.
    int launchAgain(const QStringList &arguments, std::chrono::milliseconds timeout);
    bool quit();          // SIGTERM, as a logout does; true when the process ended by itself with status 0
    void terminate();     // SIGTERM without waiting, for a program that asks before it ends
    void killHard();      // SIGKILL, as a crash would
    bool running() const;
    QString exitState() const; // "running", "crashed" or "exited with status N", for messages
    QString mainThreadStack() const; // through gdb when it is installed, for a program that hangs
    QString programOutput() const; // what its launches wrote to stdout and stderr
    // What AddressSanitizer or UndefinedBehaviorSanitizer reported in the program's output (a
    // sanitized build), from its first report on; empty when nothing.
    QString sanitizerReport() const;

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
    // Minimizes the window as its title bar's button does (the window manager takes the windows
    // that stand over it along); true once it is off the screen.
    bool minimize(qulonglong window);
    // Clicks at `point` until a new window of the program (a menu) shows; true when one did.
    bool openPopup(QPoint point);
    // Opens `menu` of the menu bar of the program's window in front and clicks `item` in it,
    // both found in the accessibility tree; false when one of them was not found.
    bool chooseMenuItem(const QString &menu, const QString &item);
    // Waits for a window of the program that is not in `known`, and returns it.
    std::optional<qulonglong> waitForNewWindow(const QList<qulonglong> &known, std::chrono::milliseconds timeout) const;
    // Answers the file panel `opening` brings up (keys or a click) with `path`: the whole name
    // field is replaced and Return pressed. True when the panel went away.
    bool answerFilePanel(const std::function<void()> &opening, const QString &path);
    std::optional<qulonglong> findWindow(const QString &namePattern) const; // visible windows only
    // The program's alerts and questions on screen: windows titled Lumacast, larger than a tray
    // icon and smaller than the screen.
    QList<qulonglong> alerts() const;
    std::optional<qulonglong> waitForAlert(std::chrono::milliseconds timeout) const;
    std::optional<QRect> geometry(qulonglong window) const;
    std::optional<QRect> trayIcon() const;             // our icon inside the tray host
    QList<qulonglong> visibleWindows() const;
    QList<qulonglong> appWindows() const; // the visible windows of the program's process
    QString windowName(qulonglong window) const;

    // Screenshots (PNG) of the whole screen or a part of it into the output folder.
    QString screenshot(const QString &name, std::optional<QRect> area = {}) const;
    // A failure's traces in the output folder: the screen (`<name>.png`), app.log,
    // accessibility.txt (the tree on screen) and, with gdb installed, stack.txt.
    void keepEvidence(const QString &name);

    // Files on disk.
    QString home() const { return m_sharedHome.isEmpty() ? m_home.path() : m_sharedHome; }
    // The program of this driver runs in `home`, another driver's: two programs of one user
    // (two displays, or two machines on one home folder). Before the rig starts.
    void shareHome(const QString &home) { m_sharedHome = home; }
    QString temporaryFolder() const { return home() + QStringLiteral("/tmp"); } // the programs' TMPDIR
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
    bool startWindowManager();
    void start(QProcess &process, const QStringList &arguments) const; // the program

    QString m_output;
    QTemporaryDir m_home;
    QString m_sharedHome;
    std::unique_ptr<QProcess> m_bus; // dbus-daemon, the session bus, unless it is the caller's
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
    std::unique_ptr<QProcess> m_tray; // trayer, unless the caller hosts the tray
    std::unique_ptr<QProcess> m_tone;
};
