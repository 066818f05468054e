#include "app/InteractionWatch.h"

#include "dialogs/MessageBoxAlerts.h"
#include "review/ReviewSheet.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMenu>

namespace lumacast {

InteractionWatch::InteractionWatch(InteractionGate &gate, std::function<ShortcutBindings()> bindings, QObject *parent)
    : QObject(parent)
    , m_gate(gate)
    , m_bindings(std::move(bindings))
{
    qApp->installEventFilter(this);
}

InteractionWatch::~InteractionWatch()
{
    if (qApp)
        qApp->removeEventFilter(this);
}

bool InteractionWatch::asks(const QWidget *widget)
{
    if (!widget->isWindow())
        return false;
    // A file panel blocks no window, but its answer is a question's all the same.
    if (qobject_cast<const QMenu *>(widget) || qobject_cast<const QFileDialog *>(widget))
        return true;
    return qobject_cast<const QDialog *>(widget) && widget->isModal()
        && !qobject_cast<const review::ReviewSheet *>(widget);
}

bool InteractionWatch::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::Show:
    case QEvent::Hide:
        // A spontaneous one comes from the window system (the window minimized or restored,
        // alone or with the window it stands over): the question is still asked.
        if (auto *widget = qobject_cast<QWidget *>(watched); widget && !event->spontaneous() && asks(widget))
            follow(widget, event->type());
        return false;
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
        return isHotKeyInHeldWindow(watched, event);
    default:
        return false;
    }
}

void InteractionWatch::follow(QWidget *widget, QEvent::Type type)
{
    if (type == QEvent::Hide) {
        m_holds.erase(widget);
    } else if (!m_holds.contains(widget)) {
        m_holds.emplace(widget, m_gate.hold(InteractionGate::Kind::asking));
        // Deleted while shown: no Hide follows.
        connect(widget, &QObject::destroyed, this, &InteractionWatch::forget, Qt::UniqueConnection);
    }
}

bool InteractionWatch::isHotKeyInHeldWindow(QObject *watched, QEvent *event) const
{
    if (m_holds.empty())
        return false;
    auto *widget = qobject_cast<QWidget *>(watched);
    if (!widget || !m_holds.contains(widget->window()))
        return false;
    return MessageBoxAlerts::isChord(*static_cast<QKeyEvent *>(event), MessageBoxAlerts::chords(m_bindings()));
}

void InteractionWatch::forget(QObject *widget)
{
    m_holds.erase(widget);
}

} // namespace lumacast
