#pragma once

#include "control/ShellServices.h"

class QKeyEvent;

namespace lumacast {

// The state manager's modal alerts as QMessageBox dialogs. Main thread only; blocks in a nested
// event loop until the user answers. An alert whose window goes away meanwhile answers as closed
// without a choice.
class MessageBoxAlerts final : public AlertService {
public:
    // The index of the chosen button; 0 for the single "OK", and the last button (the cancel
    // choice by convention) when the box is closed without a choice.
    // While the display is lost, no alert is shown (its event loop would only meet the broken
    // connection) and each answers as if closed without a choice.
    // A key press or release of a withheld hot key goes to no button of the alert: the focused
    // default button would otherwise take a chord on Return or Space as its own key.
    int runModal(const AlertRequest &request) override;
    void withholdHotKeys(const ShortcutBindings &bindings) override;
    // The innermost modal window of the application, whichever part of it asks, restored when it
    // or the window under it is minimized.
    void bringToFront() override;

    // The display connection is gone for good; called once, on the main thread.
    static void setDisplayLost();

    // The hot keys' chords as key events carry them, and whether a key event is one of them.
    static QList<QKeyCombination> chords(const ShortcutBindings &bindings);
    static bool isChord(const QKeyEvent &key, const QList<QKeyCombination> &chords);

private:
    QList<QKeyCombination> m_withheld;
};

} // namespace lumacast
