#include "review/WindowCloseGuard.h"

#include "control/AppStateManager.h"
#include "review/ReviewMainWindowHandle.h"

#include <QCloseEvent>
#include <QWidget>

namespace lumacast::review {

WindowCloseGuard::WindowCloseGuard(AppStateManager &manager, std::function<bool()> shouldClose, QObject *parent)
    : QObject(parent)
    , m_manager(manager)
    , m_shouldClose(std::move(shouldClose))
{
}

void WindowCloseGuard::attach(QWidget *window)
{
    if (!window || window == m_attached)
        return;
    if (m_attached)
        m_attached->removeEventFilter(this);
    delete m_handle;
    m_attached = window;
    window->installEventFilter(this);
    m_handle = new ReviewMainWindowHandle(window); // owned by the window, held weakly by the manager
    m_manager.setMainWindow(m_handle);
}

bool WindowCloseGuard::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_attached && event->type() == QEvent::Close && m_shouldClose && !m_shouldClose()) {
        event->ignore();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace lumacast::review
