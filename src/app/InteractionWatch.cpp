#include "app/InteractionWatch.h"

#include "review/ReviewSheet.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QMenu>

namespace lumacast {

InteractionWatch::InteractionWatch(InteractionGate &gate, QObject *parent)
    : QObject(parent)
    , m_gate(gate)
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
    if (qobject_cast<const QMenu *>(widget))
        return true;
    return qobject_cast<const QDialog *>(widget) && widget->isModal()
        && !qobject_cast<const review::ReviewSheet *>(widget);
}

bool InteractionWatch::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::Show && type != QEvent::Hide)
        return false;
    auto *widget = qobject_cast<QWidget *>(watched);
    if (!widget || !asks(widget))
        return false;
    if (type == QEvent::Hide) {
        m_holds.erase(widget);
    } else if (!m_holds.contains(widget)) {
        m_holds.emplace(widget, m_gate.hold(InteractionGate::Kind::asking));
        // Deleted while shown: no Hide follows.
        connect(widget, &QObject::destroyed, this, &InteractionWatch::forget, Qt::UniqueConnection);
    }
    return false;
}

void InteractionWatch::forget(QObject *widget)
{
    m_holds.erase(widget);
}

} // namespace lumacast
