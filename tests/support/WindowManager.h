#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

namespace lumacast::testing {

// A window manager (openbox) on the test's X server ($DISPLAY) while the object lives, so that
// windows mapped after it started are framed, minimized and brought back as on a desktop. On
// destruction it is stopped and the root properties it added are removed, so that later tests
// see no manager. Main thread.
class WindowManager {
public:
    // Empty when openbox, xprop and xdotool are installed and an X server is there; otherwise
    // what is missing.
    static QString missing();

    WindowManager(); // waits up to 10 s until it manages the screen
    ~WindowManager();
    WindowManager(const WindowManager &) = delete;
    WindowManager &operator=(const WindowManager &) = delete;

    bool isManaging() const { return m_managing; }

private:
    std::unique_ptr<QProcess> m_process;
    QStringList m_rootPropertiesBefore;
    bool m_managing = false;
};

// Minimizes a managed window (as its title bar's button does) or brings it back, through
// xdotool; true when xdotool succeeded.
bool minimizeWindow(unsigned window);
bool restoreWindow(unsigned window);

} // namespace lumacast::testing
