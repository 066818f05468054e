#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

namespace lumacast::testing {

class XcbTestWindows;

// A window manager (openbox) on the test's X server ($DISPLAY) while the object lives, so that
// windows mapped after it started are framed, minimized and brought back as on a desktop. On
// destruction it is stopped, and the root properties and pointer images it left are removed, so
// that later tests see no manager and can capture the pointer. Main thread.
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
    bool framesAProbeWindow();

    std::unique_ptr<QProcess> m_process;
    // Open while the manager lives, so that no later connection is given the ids of its windows.
    std::unique_ptr<XcbTestWindows> m_probes;
    QStringList m_rootPropertiesBefore;
    bool m_managing = false;
};

// Minimizes a managed window (as its title bar's button does) or brings it back, through
// xdotool; true when xdotool succeeded.
bool minimizeWindow(unsigned window);
bool restoreWindow(unsigned window);

} // namespace lumacast::testing
