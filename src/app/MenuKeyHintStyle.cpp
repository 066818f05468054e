#include "app/MenuKeyHintStyle.h"

#include "store/Shortcut.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QStyleFactory>
#include <QStyleOptionMenuItem>

#include <algorithm>

namespace lumacast {

void MenuKeyHintStyle::install()
{
    // A fresh instance of the current style as the base: QApplication deletes the style it
    // replaces, so the proxy must not wrap that one.
    QStyle *base = QStyleFactory::create(QApplication::style()->name());
    if (!base)
        return; // a style no factory makes again: keep its look, and Qt's words in the menus
    QApplication::setStyle(new MenuKeyHintStyle(base));
}

QString MenuKeyHintStyle::keyHintText(const QKeySequence &key)
{
    if (key.isEmpty())
        return {};
    const QKeyCombination combination = key[0];
    const Qt::KeyboardModifiers modifiers = combination.keyboardModifiers();
    quint32 carbon = 0;
    if (modifiers & Qt::ShiftModifier)
        carbon |= carbon_modifier::shift;
    if (modifiers & Qt::ControlModifier)
        carbon |= carbon_modifier::control;
    if (modifiers & Qt::AltModifier)
        carbon |= carbon_modifier::option;
    if (modifiers & Qt::MetaModifier)
        carbon |= carbon_modifier::command;
    // A key of the current layout is named as the bindings name it ("Page Up", where Qt writes
    // "PgUp"; "KP 1", "´", "ß"); Qt's portable names of the other keys read the same.
    const std::optional<QString> named = ShortcutBinding::nameOfMenuKey(combination);
    return ShortcutBinding::shortcutText(
        carbon, named.value_or(QKeySequence(combination.key()).toString(QKeySequence::PortableText)));
}

QString MenuKeyHintStyle::shownText(const QString &menuItemText, const QWidget *menu)
{
    const qsizetype tab = menuItemText.indexOf(QLatin1Char('\t'));
    if (tab < 0)
        return menuItemText;
    // QMenu wrote its action's shortcut in native words; without the action, read them back.
    QKeySequence key;
    if (const auto *shown = qobject_cast<const QMenu *>(menu)) {
        const QString title = menuItemText.left(tab);
        for (const QAction *action : shown->actions()) {
            if (action->text() == title && !action->shortcut().isEmpty()) {
                key = action->shortcut();
                break;
            }
        }
    }
    if (key.isEmpty())
        key = QKeySequence::fromString(menuItemText.mid(tab + 1), QKeySequence::NativeText);
    const QString hint = keyHintText(key);
    if (hint.isEmpty())
        return menuItemText;
    return menuItemText.left(tab + 1) + hint;
}

namespace {
// How much wider the menu's shortcut column gets: QMenu measured it with Qt's words, and every
// item must start its shortcut at the same place.
int extraColumnWidth(const QWidget *widget, const QFontMetrics &metrics)
{
    const auto *menu = qobject_cast<const QMenu *>(widget);
    if (!menu)
        return 0;
    int extra = 0;
    for (const QAction *action : menu->actions()) {
        const QKeySequence key = action->shortcut();
        if (key.isEmpty() || action->text().contains(QLatin1Char('\t')))
            continue;
        extra = std::max(extra, metrics.horizontalAdvance(MenuKeyHintStyle::keyHintText(key))
                                    - metrics.horizontalAdvance(key.toString(QKeySequence::NativeText)));
    }
    return extra;
}

QStyleOptionMenuItem rewritten(const QStyleOptionMenuItem &item, const QWidget *widget, int *extraWidth)
{
    QStyleOptionMenuItem shown(item);
    shown.text = MenuKeyHintStyle::shownText(item.text, widget);
    const int extra = extraColumnWidth(widget, item.fontMetrics);
    shown.reservedShortcutWidth += extra;
    if (extraWidth)
        *extraWidth = extra;
    return shown;
}
} // namespace

void MenuKeyHintStyle::drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                                   const QWidget *widget) const
{
    if (element == CE_MenuItem) {
        if (const auto *item = qstyleoption_cast<const QStyleOptionMenuItem *>(option)) {
            const QStyleOptionMenuItem shown = rewritten(*item, widget, nullptr);
            QProxyStyle::drawControl(element, &shown, painter, widget);
            return;
        }
    }
    QProxyStyle::drawControl(element, option, painter, widget);
}

QSize MenuKeyHintStyle::sizeFromContents(ContentsType type, const QStyleOption *option, const QSize &size,
                                         const QWidget *widget) const
{
    if (type == CT_MenuItem) {
        if (const auto *item = qstyleoption_cast<const QStyleOptionMenuItem *>(option)) {
            int extra = 0;
            const QStyleOptionMenuItem shown = rewritten(*item, widget, &extra);
            return QProxyStyle::sizeFromContents(type, &shown, size + QSize(extra, 0), widget);
        }
    }
    return QProxyStyle::sizeFromContents(type, option, size, widget);
}

} // namespace lumacast
