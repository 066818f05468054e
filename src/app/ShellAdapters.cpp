#include "app/ShellAdapters.h"

#include <QApplication>
#include <QGuiApplication>

namespace lumacast {

QtApplicationService::QtApplicationService(QObject *parent)
    : ApplicationService(parent)
{
    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive)
            emit becameActive();
        else
            emit resignedActive();
    });
}

bool QtApplicationService::isActive() const
{
    return QGuiApplication::applicationState() == Qt::ApplicationActive;
}

void QtApplicationService::activateIgnoringOtherApps()
{
    QWidget *target = QApplication::activeWindow();
    if (!target) {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            // Overlay panels are tool windows that must never take the focus.
            if (widget->isVisible() && !(widget->windowFlags() & Qt::Tool) && widget->windowType() == Qt::Window)
                target = widget;
        }
    }
    if (target) {
        target->raise();
        target->activateWindow();
    }
}

void QtApplicationService::replyToTermination(bool terminate)
{
    if (terminationHandler)
        terminationHandler(terminate);
}

WidgetMainWindowHandle::WidgetMainWindowHandle(QWidget *window, QObject *parent)
    : MainWindowHandle(parent)
    , m_window(window)
{
}

bool WidgetMainWindowHandle::isVisible() const
{
    return m_window && m_window->isVisible();
}

bool WidgetMainWindowHandle::isMinimized() const
{
    return m_window && m_window->isMinimized();
}

void WidgetMainWindowHandle::minimize()
{
    if (m_window)
        m_window->showMinimized();
}

void WidgetMainWindowHandle::restore()
{
    if (!m_window)
        return;
    if (m_window->isMinimized())
        m_window->showNormal();
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

} // namespace lumacast
