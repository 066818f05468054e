#pragma once

#include "model/Error.h"

#include <QString>

namespace lumacast::x11 {

// A failure of the X11 layer: domain "X11"; the code is xcb's connection error (the
// XCB_CONN_ERROR family of xcb.h) when the connection to the server itself broke, 0 when the
// server answered but the request cannot be met (a display or window that does not exist).
// The description is the text a user is shown.
class X11Error : public Error {
public:
    explicit X11Error(const QString &description, int code = 0)
        : Error(QStringLiteral("X11"), code, description)
    {
    }
};

} // namespace lumacast::x11
