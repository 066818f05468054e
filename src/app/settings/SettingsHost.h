#pragma once

#include "capture/AudioRecorder.h"
#include "capture/DisplayOption.h"
#include "store/Shortcut.h"

#include <QList>
#include <QObject>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace lumacast {

class GlobalKeyboardShortcuts;

// What the settings window reads and calls of the application's state. The state manager
// implements it (a thin adapter); every getter answers from the published settings, and every
// change of any of them is announced through `settingsChanged`, after which the getters already
// give the new values. Main thread only; nothing here fails towards the window: the manager
// reports its own failures.
class SettingsHost : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // True while a take is recording or paused.
    virtual bool isRecording() const = 0;

    // Published values written directly by the window, which then stores them in the
    // preferences itself ("reopenLastDocument", "systemAudioMixLevel").
    virtual bool reopenLastDocument() const = 0;
    virtual void setReopenLastDocument(bool reopen) = 0;
    virtual double systemAudioMixLevel() const = 0; // 0 to 1
    virtual void setSystemAudioMixLevel(double level) = 0;

    virtual bool automaticallyChecksForUpdates() const = 0;
    // Stores the flag under "autoCheckForUpdates" and hands it to the updater.
    virtual void setAutomaticallyChecksForUpdates(bool check) = 0;
    // A user-initiated update check (or the alert that none can run).
    virtual void checkForUpdates() = 0;

    virtual QList<MicOption> availableMicrophones() const = 0;
    // Absent: the system default input.
    virtual std::optional<QString> selectedMicrophoneID() const = 0;
    virtual void selectMicrophone(const std::optional<QString> &id) = 0;

    virtual bool captureSystemAudio() const = 0;
    virtual void setCaptureSystemAudio(bool capture) = 0;

    virtual bool hideCursorWhenIdle() const = 0;
    virtual void setHideCursorWhenIdle(bool hide) = 0;
    virtual double cursorHideDelay() const = 0; // seconds
    // The manager clamps the stored delay to 0.5 to 10 seconds.
    virtual void setCursorHideDelay(double seconds) = 0;

    virtual std::vector<DisplayOption> availableDisplays() const = 0;
    virtual std::optional<uint32_t> selectedDisplayID() const = 0;
    virtual void selectDisplay(uint32_t id) = 0;
    // Rebuilds the display list from the connected screens; called each time the window shows.
    virtual void refreshDisplays() = 0;

    // The effective bindings; an action missing from the map uses its default binding.
    virtual ShortcutBindings shortcutBindings() const = 0;
    // Reloads the bindings from the preferences and registers the global hot keys again.
    virtual void shortcutBindingChanged() = 0;
    // Registers the global hot keys again from the current bindings; changes no binding.
    virtual void restoreGlobalShortcuts() = 0;
    // The hot-key service, owned by the manager; null when there is none (no X server).
    virtual GlobalKeyboardShortcuts *shortcuts() = 0;

signals:
    void settingsChanged();
};

} // namespace lumacast
