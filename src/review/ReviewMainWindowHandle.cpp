#include "review/ReviewMainWindowHandle.h"

#include <QTimer>
#include <QWindow>

namespace lumacast::review {

namespace {
bool hideWhenLeftOnScreen = false;
}

void ReviewMainWindowHandle::setHiddenWhenLeftOnScreen(bool hide) { hideWhenLeftOnScreen = hide; }

ReviewMainWindowHandle::ReviewMainWindowHandle(QWidget *window)
    : MainWindowHandle(window)
    , m_window(window)
{
}

bool ReviewMainWindowHandle::isVisible() const
{
    return m_window && m_window->isVisible();
}

bool ReviewMainWindowHandle::isMinimized() const
{
    return m_window && m_window->isMinimized();
}

void ReviewMainWindowHandle::minimize()
{
    if (!m_window)
        return;
    m_window->showMinimized();
    if (!hideWhenLeftOnScreen)
        return;
    // Whether the desktop minimized the window shows only once it has answered; Qt's own state
    // says minimized from the request on, so what counts is whether the window is still drawn.
    m_minimizing = true;
    QTimer::singleShot(kMinimizeGraceMs, this, &ReviewMainWindowHandle::hideIfLeftOnScreen);
}

void ReviewMainWindowHandle::hideIfLeftOnScreen()
{
    if (!m_minimizing || !m_window || !m_window->isVisible())
        return;
    m_minimizing = false;
    const QWindow *window = m_window->windowHandle();
    if (window && window->isExposed()) {
        m_window->hide();
        m_hiddenForTake = true;
    }
}

void ReviewMainWindowHandle::restore()
{
    if (!m_window)
        return;
    m_minimizing = false;
    if (m_hiddenForTake || m_window->isMinimized())
        m_window->showNormal();
    else
        m_window->show();
    m_hiddenForTake = false;
    m_window->raise();
    m_window->activateWindow();
}

} // namespace lumacast::review
