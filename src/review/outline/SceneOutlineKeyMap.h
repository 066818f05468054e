#pragma once

#include "review/outline/PlaybackKey.h"

#include <QString>

#include <variant>

namespace lumacast {

// An editing key the outline carries out itself.
struct SceneOutlineCommand {
    enum Kind { jumpCheckedTake, beginRename, deleteSelection, escape };
    Kind kind = escape;
    int direction = 0; // jumpCheckedTake only: +1 next checked take, -1 previous one

    bool operator==(const SceneOutlineCommand &) const = default;
};

// What one key press means in the outline. `Standard` leaves the key to the tree view's own
// handling (plain arrows move the selection, letters type-select).
struct SceneOutlineKeyMap {
    struct Standard {
        bool operator==(const Standard &) const = default;
    };
    using Action = std::variant<Standard, PlaybackKey, SceneOutlineCommand>;

    // `key` is a Qt::Key, `modifiers` Qt::KeyboardModifiers, `text` the characters the key
    // produced. Alt stands for Option; other modifiers are not looked at, except that a key
    // producing "[" or "]" toggles a trim handle whatever is held.
    static Action actionFor(int key, int modifiers, const QString &text, bool trimHandleSelected);
};

} // namespace lumacast
