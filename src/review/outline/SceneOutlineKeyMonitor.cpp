#include "review/outline/SceneOutlineKeyMonitor.h"

#include "review/outline/SceneOutline.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>

namespace lumacast {

static bool isTextEditor(const QWidget *widget)
{
    return qobject_cast<const QLineEdit *>(widget) || qobject_cast<const QTextEdit *>(widget)
        || qobject_cast<const QPlainTextEdit *>(widget) || qobject_cast<const QAbstractSpinBox *>(widget);
}

SceneOutlineKeyMonitor::SceneOutlineKeyMonitor(SceneOutline *outline)
    : QObject(outline), m_outline(outline)
{
    qApp->installEventFilter(this);
}

SceneOutlineKeyMonitor::~SceneOutlineKeyMonitor()
{
    if (qApp)
        qApp->removeEventFilter(this);
}

bool SceneOutlineKeyMonitor::eventFilter(QObject *watched, QEvent *event)
{
    // Behind the start screen the outline has no say over keys. A disabled outline (a live
    // tail) still takes the window's keys: playback and the checked-take jumps stay; its
    // commands refuse the edits themselves.
    if (event->type() != QEvent::KeyPress || !m_outline || !m_outline->isVisible())
        return false;
    auto *receiver = qobject_cast<QWidget *>(watched);
    QWidget *window = m_outline->window();
    if (!receiver || receiver->window() != window || !window->isActiveWindow())
        return false;
    // A key press travels up from the focus widget; only its first delivery is looked at.
    QWidget *focus = QApplication::focusWidget();
    if (focus ? receiver != focus : receiver != window)
        return false;
    if (focus && (isTextEditor(focus) || focus == m_outline || m_outline->isAncestorOf(focus)))
        return false;
    m_outline->setFocus(Qt::OtherFocusReason);
    m_outline->runKeyMap(static_cast<QKeyEvent *>(event));
    return true;
}

} // namespace lumacast
