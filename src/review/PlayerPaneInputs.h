#pragma once

#include "review/TrimHandle.h"

#include <QPointer>

#include <functional>
#include <optional>

namespace lumacast::av {
class Player;
}

namespace lumacast::review {

// A two-way binding to a value (seconds) owned elsewhere: `get` reads it afresh each time,
// `set` asks the owner to change it (the owner may clamp). Both run on the main thread.
struct DoubleBinding {
    std::function<double()> get;
    std::function<void(double)> set;

    double value() const { return get ? get() : 0; }
    void write(double v) const
    {
        if (set)
            set(v);
    }
};

// Everything the player pane shows and reports, given by the review window each time its state
// changes. Actions that are empty are not called.
struct PlayerPaneInputs {
    QPointer<av::Player> player;        // absent: no movie loaded
    DoubleBinding trimStart;            // seconds
    DoubleBinding trimEnd;              // seconds
    double takeDuration = 0;            // seconds
    std::optional<TrimHandle> selectedHandle;
    std::optional<double> parkedPlayhead; // seconds
    bool showNoTakesMessage = false;
    std::function<void()> onTrimChanged; // a handle drag ended
    std::function<void()> onBeginEdit;   // a handle drag began
    bool trimEditingEnabled = true;
    bool canRecordTail = false;
    std::function<void()> onRecordTail;
};

} // namespace lumacast::review
