#include "review/outline/SceneOutlineKeyMap.h"

#include <Qt>

namespace lumacast {

SceneOutlineKeyMap::Action SceneOutlineKeyMap::actionFor(int key, int modifiers, const QString &text,
                                                         bool trimHandleSelected)
{
    const bool alt = (modifiers & Qt::AltModifier) != 0;
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (trimHandleSelected)
            return PlaybackKey{PlaybackKey::deselectTrim};
        return SceneOutlineCommand{SceneOutlineCommand::beginRename};
    case Qt::Key_Space:
        return PlaybackKey{PlaybackKey::playPauseOrSnap};
    case Qt::Key_Backspace:
    case Qt::Key_Delete:
        return SceneOutlineCommand{SceneOutlineCommand::deleteSelection};
    case Qt::Key_Escape:
        return SceneOutlineCommand{SceneOutlineCommand::escape};
    case Qt::Key_Left:
        return PlaybackKey::makeNudge(false, alt);
    case Qt::Key_Right:
        return PlaybackKey::makeNudge(true, alt);
    case Qt::Key_Down:
        if (alt)
            return SceneOutlineCommand{SceneOutlineCommand::jumpCheckedTake, +1};
        return Standard{};
    case Qt::Key_Up:
        if (alt)
            return SceneOutlineCommand{SceneOutlineCommand::jumpCheckedTake, -1};
        return Standard{};
    default:
        break;
    }
    if (text == QLatin1String("["))
        return PlaybackKey{PlaybackKey::toggleTrimStart};
    if (text == QLatin1String("]"))
        return PlaybackKey{PlaybackKey::toggleTrimEnd};
    return Standard{};
}

} // namespace lumacast
