#include "app/MenuDescriptor.h"

#include "store/InteractionGate.h"
#include "store/Shortcut.h"
#include "threads/ThreadBridge.h"

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

const char *const kHeaderProperty = "lumacastMenuHeader";
const QString kRunnerName = QStringLiteral("lumacastMenuItemRunner");

// What a QAction runs: a child of the action, so that an update in place can swap the item's
// action (which holds the values it was built with) without touching the connection.
class ItemRunner : public QObject {
public:
    explicit ItemRunner(QAction *action) : QObject(action) { setObjectName(kRunnerName); }
    std::function<void()> run;
    bool checked = false; // a toggle's mark as the state has it
};

ItemRunner *runnerOf(const QAction *action)
{
    return static_cast<ItemRunner *>(action->findChild<QObject *>(kRunnerName, Qt::FindDirectChildrenOnly));
}

void attachRunner(QAction *action, const MenuItem &item)
{
    auto *runner = new ItemRunner(action);
    runner->run = item.action;
    runner->checked = item.checked;
    QObject::connect(action, &QAction::triggered, runner, [runner, action] {
        // Qt flips a checkable action's mark on every click; the mark shows the state, so it goes
        // back to what the state says now, and a change the action makes brings its own update.
        // A choice that is already on stays on.
        action->setChecked(runner->checked);
        // Run once the menu has finished its own activation: an item may rebuild the menu it
        // sits in, or open an alert whose modal loop does, and a menu deleted under its own
        // signal is written to after it was freed. A copy, for the runner may be gone by then.
        // Through the gate: a tray item chosen while a question is up waits for the answer.
        if (std::function<void()> run = runner->run) {
            postToMainThread([run = std::move(run), title = QString(action->text()).replace(QLatin1String("&&"), QLatin1String("&"))] {
                InteractionGate::shared().run(title, run);
            });
        }
    });
}

void applyKeyHint(QAction *action, const QKeySequence &key)
{
    // The hint first, as the menu shows it; then what Qt matches for the same key where that
    // differs (a keypad key, which Qt reports without its keypad modifier).
    QList<QKeySequence> keys{key};
    if (!key.isEmpty()) {
        for (const QKeyCombination firing : ShortcutBinding::firingKeys(key[0])) {
            if (!keys.contains(QKeySequence(firing)))
                keys << QKeySequence(firing);
        }
    }
    if (action->shortcuts() == keys)
        return;
    action->setShortcuts(keys);
    // The menu's own window handles the keys; the hint stays visible everywhere.
    action->setShortcutContext(Qt::WindowShortcut);
}

bool sameShape(const QMenu &menu, const MenuItems &items)
{
    const QList<QAction *> actions = menu.actions();
    if (actions.size() != qsizetype(items.size()))
        return false;
    for (qsizetype i = 0; i < actions.size(); ++i) {
        const QAction *action = actions[i];
        const MenuItem &item = items[size_t(i)];
        const QMenu *sub = QMenu::menuInAction(action);
        bool same = false;
        switch (item.kind) {
        case MenuItem::Kind::separator:
            same = action->isSeparator();
            break;
        case MenuItem::Kind::submenu:
            same = sub && sameShape(*sub, item.children);
            break;
        case MenuItem::Kind::header:
            same = action->property(kHeaderProperty).toBool();
            break;
        case MenuItem::Kind::action:
        case MenuItem::Kind::toggle:
            same = !sub && !action->isSeparator() && !action->property(kHeaderProperty).toBool()
                && action->isCheckable() == (item.kind == MenuItem::Kind::toggle) && runnerOf(action);
            break;
        }
        if (!same)
            return false;
    }
    return true;
}

void updateInPlace(QMenu &menu, const MenuItems &items)
{
    const QList<QAction *> actions = menu.actions();
    for (qsizetype i = 0; i < actions.size(); ++i) {
        QAction *action = actions[i];
        const MenuItem &item = items[size_t(i)];
        if (item.kind == MenuItem::Kind::separator)
            continue;
        action->setText(shownTitle(item.title));
        if (QMenu *sub = QMenu::menuInAction(action)) {
            sub->setTitle(shownTitle(item.title));
            sub->setEnabled(item.enabled);
            updateInPlace(*sub, item.children);
            continue;
        }
        if (item.kind == MenuItem::Kind::header)
            continue;
        action->setEnabled(item.enabled);
        if (item.kind == MenuItem::Kind::toggle)
            action->setChecked(item.checked);
        applyKeyHint(action, item.keyHint);
        runnerOf(action)->run = item.action;
        runnerOf(action)->checked = item.checked;
    }
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
            action->setProperty(kHeaderProperty, true);
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
            applyKeyHint(action, item.keyHint);
            attachRunner(action, item);
            break;
        }
        }
    }
}

void updateMenu(QMenu &menu, const MenuItems &items)
{
    if (sameShape(menu, items))
        updateInPlace(menu, items);
    else
        fillMenu(menu, items);
}

} // namespace lumacast
