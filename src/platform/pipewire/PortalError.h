#pragma once

#include "model/Error.h"

namespace lumacast::pipewire {

// The desktop's screen sharing as the portal and PipeWire report it: domain
// "Lumacast.ScreenCast", code the case's position in `Kind`.
class PortalError : public Error {
public:
    enum class Kind {
        cancelled,   // the user dismissed the desktop's screen sharing chooser (response 1)
        failed,      // the portal ended the request with an error (response 2 or a D-Bus error)
        unavailable, // no portal, or no ScreenCast interface, on the session bus
        stream,      // PipeWire refused or ended the stream
        noAnswer,    // the portal did not answer a request in time
    };
    PortalError(Kind kind, QString message)
        : Error(QStringLiteral("Lumacast.ScreenCast"), int(kind), std::move(message)), m_kind(kind)
    {
    }
    Kind kind() const { return m_kind; }

private:
    Kind m_kind;
};

} // namespace lumacast::pipewire
