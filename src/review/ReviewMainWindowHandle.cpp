#include "review/ReviewMainWindowHandle.h"

namespace lumacast::review {

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
    if (m_window)
        m_window->showMinimized();
}

void ReviewMainWindowHandle::restore()
{
    if (!m_window)
        return;
    if (m_window->isMinimized())
        m_window->showNormal();
    else
        m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

} // namespace lumacast::review
