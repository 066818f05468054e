#pragma once

#include <QKeySequence>
#include <QString>

#include <functional>
#include <vector>

class QMenu;

namespace lumacast {

// One entry of a menu as plain data: what the tray menu and the application menus show for the
// state manager's current state. Built afresh on every change and turned into QMenu entries by
// `fillMenu`; tests read it without a display. An action runs on the main thread when the user
// chooses the entry.
struct MenuItem {
    enum class Kind { action, toggle, submenu, separator, header };

    Kind kind = Kind::action;
    QString title;
    bool enabled = true;
    bool checked = false;   // toggles: shown with a check mark when on
    QKeySequence keyHint;   // empty: none
    std::function<void()> action;
    std::vector<MenuItem> children; // submenus

    static MenuItem button(QString title, std::function<void()> action, QKeySequence key = {}, bool enabled = true);
    static MenuItem toggle(QString title, bool on, std::function<void()> action, bool enabled = true);
    static MenuItem submenu(QString title, std::vector<MenuItem> children, bool enabled = true);
    static MenuItem separator();
    static MenuItem header(QString title);
};

using MenuItems = std::vector<MenuItem>;

// The item with this title at this level (nullptr when there is none). A path of titles
// descends into submenus: {"Webcam", "Round"}.
const MenuItem *findItem(const MenuItems &items, const std::vector<QString> &path);
// The titles of a level, separators as "-", headers as they read.
std::vector<QString> titles(const MenuItems &items);

// Empties `menu` and fills it with `items`. The QActions call the items' actions on the next turn
// of the event loop, once the menu has closed; submenus are owned by `menu`.
void fillMenu(QMenu &menu, const MenuItems &items);
// Brings a menu filled by `fillMenu` to `items`. While the entries keep their kinds and number
// (submenus alike) the existing QActions take the new titles, enabling, check marks, keys and
// actions in place, so that a menu the user holds open stays open (and a D-Bus host sees only
// the properties that changed); otherwise the menu is filled afresh.
void updateMenu(QMenu &menu, const MenuItems &items);

} // namespace lumacast
