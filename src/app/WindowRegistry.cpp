#include "app/WindowRegistry.h"

#include "store/AppLog.h"

namespace lumacast {

WindowRegistry::WindowRegistry(AppLog *log, QObject *parent)
    : QObject(parent)
    , m_log(log)
{
}

void WindowRegistry::registerWindow(const QString &identifier, const QString &title, Factory factory)
{
    Entry &entry = m_entries[identifier];
    entry.title = title;
    entry.factory = std::move(factory);
}

QWidget *WindowRegistry::window(const QString &identifier) const
{
    const auto found = m_entries.constFind(identifier);
    return found == m_entries.cend() ? nullptr : found->window.data();
}

bool WindowRegistry::hasVisibleWindows() const
{
    for (const Entry &entry : m_entries) {
        if (entry.window && entry.window->isVisible())
            return true;
    }
    return false;
}

QWidget *WindowRegistry::show(const QString &identifier)
{
    const auto found = m_entries.find(identifier);
    if (found == m_entries.end() || !found->factory)
        return nullptr;
    if (!found->window) {
        QWidget *window = found->factory();
        if (!window)
            return nullptr;
        window->setAttribute(Qt::WA_DeleteOnClose);
        window->setWindowTitle(found->title);
        found->window = window;
        window->show();
        emit windowOpened(identifier, window);
    } else {
        found->window->showNormal();
    }
    return found->window;
}

void WindowRegistry::openWindowActivating(const QString &identifier)
{
    if (m_log)
        m_log->log(QStringLiteral("[window] openWindow(%1) — activating").arg(identifier));
    if (QWidget *window = show(identifier)) {
        window->raise();
        window->activateWindow();
    }
}

void WindowRegistry::openWindowWithoutActivating(const QString &identifier)
{
    if (m_log)
        m_log->log(QStringLiteral("[window] openWindow(%1) — WITHOUT activating").arg(identifier));
    if (QWidget *window = show(identifier))
        window->raise();
}

void WindowRegistry::dismissWindow(const QString &identifier)
{
    const auto found = m_entries.find(identifier);
    if (found == m_entries.end() || !found->window)
        return;
    // A closed window is deleted only on a later turn of the event loop: forgotten now, so that
    // opening it again in the same turn (closing one recording to resume another) makes a new
    // window rather than showing the one about to go.
    if (found->window->close())
        found->window = nullptr;
}

} // namespace lumacast
