#include "LogCategories.h"

namespace lumacast::log {

// QLoggingCategory keeps the name pointer, so every name is a string literal with static storage.
#define LUMACAST_CATEGORY(function, category)                                                       \
    const QLoggingCategory &function()                                                              \
    {                                                                                               \
        static const QLoggingCategory instance("app.lumacast.Lumacast." category);                  \
        return instance;                                                                            \
    }

LUMACAST_CATEGORY(app, "app")
LUMACAST_CATEGORY(state, "state")
LUMACAST_CATEGORY(permissions, "permissions")
LUMACAST_CATEGORY(recorder, "recorder")
LUMACAST_CATEGORY(writer, "writer")
LUMACAST_CATEGORY(review, "review")
LUMACAST_CATEGORY(exporting, "export")
LUMACAST_CATEGORY(persistence, "persistence")
LUMACAST_CATEGORY(shortcuts, "shortcuts")

#undef LUMACAST_CATEGORY

} // namespace lumacast::log
