#pragma once

#include "model/Session.h"

#include <QObject>

#include <optional>

namespace lumacast {

// What the export window asks of the application's state: the open session, how many of its
// scenes have a checked take, and the movie export. The state manager implements it; every
// change of the session is announced through `currentSessionChanged`, after which the getters
// already answer with the new state.
class ExportHost : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Absent when no session is open.
    virtual std::optional<Session> currentSession() const = 0;
    // The number of checked takes of the current session; 0 without a session.
    virtual int selectedTakeCount() const = 0;
    // Starts the movie export of the current session (its save panel comes first).
    virtual void exportVideo() = 0;

signals:
    void currentSessionChanged();
};

// One per scene whose checked take is one of its takes; 0 without a session.
int checkedTakeCount(const std::optional<Session> &session);

} // namespace lumacast
