#include "app/MenuKeyHintStyle.h"

#include "store/Shortcut.h"

#include <QApplication>
#include <QStyleFactory>
#include <QStyleOptionMenuItem>

#include <algorithm>

namespace lumacast {

void MenuKeyHintStyle::install()
{
    // A fresh instance of the current style as the base: QApplication deletes the style it
    // replaces, so the proxy must not wrap that one.
    QStyle *base = QStyleFactory::create(QApplication::style()->name());
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
    // Qt's portable key names ("Return", "Space", "Esc", "F1") are the ones the bindings use.
    return ShortcutBinding::shortcutText(carbon,
                                         QKeySequence(combination.key()).toString(QKeySequence::PortableText));
}

QString MenuKeyHintStyle::shownText(const QString &menuItemText)
{
    const qsizetype tab = menuItemText.indexOf(QLatin1Char('\t'));
    if (tab < 0)
        return menuItemText;
    // QMenu wrote the shortcut in native words; read it back the same way.
    const QKeySequence key = QKeySequence::fromString(menuItemText.mid(tab + 1), QKeySequence::NativeText);
    const QString hint = keyHintText(key);
    if (hint.isEmpty())
        return menuItemText;
    return menuItemText.left(tab + 1) + hint;
}

namespace {
// The item with its shortcut rewritten, and the shortcut column widened when the new words are
// longer: QMenu measured the column with Qt's words.
QStyleOptionMenuItem rewritten(const QStyleOptionMenuItem &item, int *extraWidth)
{
    QStyleOptionMenuItem shown(item);
    shown.text = MenuKeyHintStyle::shownText(item.text);
    const qsizetype oldTab = item.text.indexOf(QLatin1Char('\t'));
    const qsizetype newTab = shown.text.indexOf(QLatin1Char('\t'));
    int extra = 0;
    if (oldTab >= 0 && newTab >= 0)
        extra = std::max(0, item.fontMetrics.horizontalAdvance(shown.text.mid(newTab + 1))
                                - item.fontMetrics.horizontalAdvance(item.text.mid(oldTab + 1)));
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
            const QStyleOptionMenuItem shown = rewritten(*item, nullptr);
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
            const QStyleOptionMenuItem shown = rewritten(*item, &extra);
            return QProxyStyle::sizeFromContents(type, &shown, size + QSize(extra, 0), widget);
        }
    }
    return QProxyStyle::sizeFromContents(type, option, size, widget);
}

} // namespace lumacast
