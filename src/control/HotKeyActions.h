#pragma once

namespace lumacast {

class AppStateManager;

// The actions of the six global hot keys and their registration. Each action reads the state
// when its key is pressed and never awaits: asynchronous operations are started as posted tasks.
// The handler table handed to the hot-key service holds the manager weakly; a key pressed after
// the manager is gone does nothing. Main thread only.
class HotKeyActions {
public:
    explicit HotKeyActions(AppStateManager &manager);

    // Hands the handler table to the hot-key service (registers no key).
    void installShortcutHandlers();
    void startPauseShortcut();
    void endTakeShortcut();
    void retakeShortcut();
    void nextSceneShortcut();
    void reloadShortcutBindings();

private:
    bool reviewedTakeIsUsable() const;

    AppStateManager &m;
};

} // namespace lumacast
