#pragma once

#include "control/ShellServices.h"

#include <QPointer>
#include <QWidget>

namespace lumacast::review {

// The review window as the state manager's main window: minimized while a take is recorded,
// brought back afterwards. Once the window is gone every call does nothing and it reads as
// neither visible nor minimized.
//
// Where the take records every window on screen (a Wayland session's screen cast), a window that
// the desktop left on screen a moment after minimizing it (some desktops have no minimizing, or
// refuse it to the focused window) is hidden instead, and shown again on restore.
//
// Main thread only.
class ReviewMainWindowHandle final : public MainWindowHandle {
    Q_OBJECT
public:
    explicit ReviewMainWindowHandle(QWidget *window);

    bool isVisible() const override;
    bool isMinimized() const override;
    void minimize() override;
    void restore() override;

    // Set once at launch, before any take.
    static void setHiddenWhenLeftOnScreen(bool hide);
    static constexpr int kMinimizeGraceMs = 500;

private:
    void hideIfLeftOnScreen();

    QPointer<QWidget> m_window;
    bool m_minimizing = false;
    bool m_hiddenForTake = false;
};

} // namespace lumacast::review
