#include "review/TrimBarAccessible.h"

#include "review/TrimBar.h"
#include "review/TrimBarLogic.h"

#include <QPointer>
#include <QWindow>

namespace lumacast::review {

namespace {

// One painted handle. Holds the bar weakly: after the bar is gone it reports itself invalid.
class TrimHandleAccessible : public QAccessibleInterface {
public:
    TrimHandleAccessible(TrimBar *bar, TrimHandle handle) : m_bar(bar), m_handle(handle) {}

    bool isValid() const override { return !m_bar.isNull(); }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return m_bar ? m_bar->window()->windowHandle() : nullptr; }
    QAccessibleInterface *parent() const override { return QAccessible::queryAccessibleInterface(m_bar.data()); }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QAccessible::Role role() const override { return QAccessible::Slider; }
    void setText(QAccessible::Text, const QString &) override {}

    QString text(QAccessible::Text t) const override
    {
        if (!m_bar)
            return {};
        switch (t) {
        case QAccessible::Name:
            return m_handle == TrimHandle::start ? QStringLiteral("Trim start") : QStringLiteral("Trim end");
        case QAccessible::Value:
            return formatTime(m_bar->handleTime(m_handle));
        default:
            return {};
        }
    }

    QRect rect() const override
    {
        if (!m_bar)
            return {};
        const QRect local = m_bar->handleRect(m_handle);
        return QRect(m_bar->mapToGlobal(local.topLeft()), local.size());
    }

    QAccessible::State state() const override
    {
        QAccessible::State state;
        state.invisible = !m_bar || !m_bar->isVisible() || m_bar->duration() <= 0;
        state.readOnly = true;
        return state;
    }

private:
    QPointer<TrimBar> m_bar;
    TrimHandle m_handle;
};

QAccessibleInterface *trimBarFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String(TrimBar::staticMetaObject.className()) && object && object->isWidgetType())
        return new TrimBarAccessible(static_cast<TrimBar *>(object));
    return nullptr;
}

} // namespace

TrimBarAccessible::TrimBarAccessible(TrimBar *bar) : QAccessibleWidget(bar, QAccessible::Grouping) {}

TrimBarAccessible::~TrimBarAccessible()
{
    for (const QAccessible::Id id : m_handles)
        if (id)
            QAccessible::deleteAccessibleInterface(id);
}

void TrimBarAccessible::installFactory()
{
    static const bool installed = [] {
        QAccessible::installFactory(trimBarFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

int TrimBarAccessible::widgetChildCount() const
{
    return QAccessibleWidget::childCount();
}

int TrimBarAccessible::childCount() const
{
    return widgetChildCount() + 2;
}

QAccessibleInterface *TrimBarAccessible::handle(TrimHandle which) const
{
    QAccessible::Id &id = m_handles[which == TrimHandle::start ? 0 : 1];
    if (!id)
        id = QAccessible::registerAccessibleInterface(
            new TrimHandleAccessible(static_cast<TrimBar *>(widget()), which));
    return QAccessible::accessibleInterface(id);
}

QAccessibleInterface *TrimBarAccessible::child(int index) const
{
    const int widgets = widgetChildCount();
    if (index < widgets)
        return QAccessibleWidget::child(index);
    if (index == widgets)
        return handle(TrimHandle::start);
    if (index == widgets + 1)
        return handle(TrimHandle::end);
    return nullptr;
}

int TrimBarAccessible::indexOfChild(const QAccessibleInterface *child) const
{
    const int widgets = widgetChildCount();
    for (int i = 0; i < 2; ++i)
        if (m_handles[i] && QAccessible::accessibleInterface(m_handles[i]) == child)
            return widgets + i;
    return QAccessibleWidget::indexOfChild(child);
}

QAccessibleInterface *TrimBarAccessible::childAt(int x, int y) const
{
    // The end handle lies over the start handle where they meet, as for the mouse.
    for (const TrimHandle which : {TrimHandle::end, TrimHandle::start}) {
        QAccessibleInterface *candidate = handle(which);
        if (candidate && !candidate->state().invisible && candidate->rect().contains(x, y))
            return candidate;
    }
    return QAccessibleWidget::childAt(x, y);
}

} // namespace lumacast::review
