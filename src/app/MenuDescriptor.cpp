#include "app/MenuDescriptor.h"

#include <QAction>
#include <QFont>
#include <QMenu>

namespace lumacast {

MenuItem MenuItem::button(QString title, std::function<void()> action, QKeySequence key, bool enabled)
{
    MenuItem item;
    item.title = std::move(title);
    item.action = std::move(action);
    item.keyHint = std::move(key);
    item.enabled = enabled;
    return item;
}

MenuItem MenuItem::toggle(QString title, bool on, std::function<void()> action, bool enabled)
{
    MenuItem item = button(std::move(title), std::move(action), {}, enabled);
    item.kind = Kind::toggle;
    item.checked = on;
    return item;
}

MenuItem MenuItem::submenu(QString title, std::vector<MenuItem> children, bool enabled)
{
    MenuItem item;
    item.kind = Kind::submenu;
    item.title = std::move(title);
    item.children = std::move(children);
    item.enabled = enabled;
    return item;
}

MenuItem MenuItem::separator()
{
    MenuItem item;
    item.kind = Kind::separator;
    return item;
}

MenuItem MenuItem::header(QString title)
{
    MenuItem item;
    item.kind = Kind::header;
    item.title = std::move(title);
    item.enabled = false;
    return item;
}

const MenuItem *findItem(const MenuItems &items, const std::vector<QString> &path)
{
    const MenuItems *level = &items;
    const MenuItem *found = nullptr;
    for (const QString &title : path) {
        found = nullptr;
        for (const MenuItem &item : *level) {
            if (item.kind != MenuItem::Kind::separator && item.title == title) {
                found = &item;
                break;
            }
        }
        if (!found)
            return nullptr;
        level = &found->children;
    }
    return found;
}

std::vector<QString> titles(const MenuItems &items)
{
    std::vector<QString> result;
    for (const MenuItem &item : items)
        result.push_back(item.kind == MenuItem::Kind::separator ? QStringLiteral("-") : item.title);
    return result;
}

namespace {
// A menu title is shown as it reads: "&" would otherwise mark the next letter as a mnemonic.
QString shownTitle(const QString &title)
{
    QString shown = title;
    return shown.replace(QLatin1Char('&'), QLatin1String("&&"));
}
} // namespace

void fillMenu(QMenu &menu, const MenuItems &items)
{
    menu.clear();
    for (QMenu *old : menu.findChildren<QMenu *>(Qt::FindDirectChildrenOnly))
        old->deleteLater();
    for (const MenuItem &item : items) {
        switch (item.kind) {
        case MenuItem::Kind::separator:
            menu.addSeparator();
            break;
        case MenuItem::Kind::submenu: {
            QMenu *sub = menu.addMenu(shownTitle(item.title));
            sub->setEnabled(item.enabled);
            fillMenu(*sub, item.children);
            break;
        }
        case MenuItem::Kind::header: {
            QAction *action = menu.addAction(shownTitle(item.title));
            action->setEnabled(false);
            QFont font = action->font();
            font.setPointSizeF(font.pointSizeF() * 0.85); // the caption font
            action->setFont(font);
            break;
        }
        case MenuItem::Kind::action:
        case MenuItem::Kind::toggle: {
            QAction *action = menu.addAction(shownTitle(item.title));
            action->setEnabled(item.enabled);
            if (item.kind == MenuItem::Kind::toggle) {
                action->setCheckable(true);
                action->setChecked(item.checked);
            }
            if (!item.keyHint.isEmpty()) {
                action->setShortcut(item.keyHint);
                // The menu's own window handles the keys; the hint stays visible everywhere.
                action->setShortcutContext(Qt::WindowShortcut);
            }
            if (item.action)
                QObject::connect(action, &QAction::triggered, &menu, [run = item.action] { run(); });
            break;
        }
        }
    }
}

} // namespace lumacast
