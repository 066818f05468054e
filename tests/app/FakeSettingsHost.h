#pragma once

#include "app/settings/SettingsHost.h"
#include "store/GlobalKeyboardShortcuts.h"
#include "store/Preferences.h"

#include <QStringList>
#include <QVariant>

#include <functional>

namespace lumacast::testing {

// The state manager's side of the settings window, as far as the window can tell: published
// values, and a log of the operations called, by name and argument. Bindings reload from the
// given preferences and register on the given hot-key service, as the manager does.
class FakeSettingsHost : public SettingsHost {
public:
    explicit FakeSettingsHost(Preferences &preferences) : m_preferences(preferences)
    {
        bindings = preferences.effectiveShortcutBindings();
    }

    bool recording = false;
    bool reopen = false, autoCheck = true, systemAudio = false, hideCursor = false;
    double level = 0.3, delay = 2.0;
    QList<MicOption> microphones;
    std::optional<QString> microphone;
    std::vector<DisplayOption> displays{{1, "Screen", 1920, 1080}};
    std::optional<uint32_t> display;
    ShortcutBindings bindings;
    GlobalKeyboardShortcuts *service = nullptr;
    QStringList calls;

    void changed() { emit settingsChanged(); }

    bool isRecording() const override { return recording; }
    bool reopenLastDocument() const override { return reopen; }
    void setReopenLastDocument(bool on) override { reopen = on, log("reopen", on), changed(); }
    double systemAudioMixLevel() const override { return level; }
    void setSystemAudioMixLevel(double value) override { level = value, log("level", value), changed(); }
    bool automaticallyChecksForUpdates() const override { return autoCheck; }
    void setAutomaticallyChecksForUpdates(bool on) override { autoCheck = on, log("autoCheck", on), changed(); }
    void checkForUpdates() override { log("checkForUpdates"); }
    QList<MicOption> availableMicrophones() const override { return microphones; }
    std::optional<QString> selectedMicrophoneID() const override { return microphone; }
    void selectMicrophone(const std::optional<QString> &id) override
    {
        microphone = id, log("microphone", id.value_or("<none>")), changed();
    }
    bool captureSystemAudio() const override { return systemAudio; }
    void setCaptureSystemAudio(bool on) override { systemAudio = on, log("systemAudio", on), changed(); }
    bool hideCursorWhenIdle() const override { return hideCursor; }
    void setHideCursorWhenIdle(bool on) override { hideCursor = on, log("hideCursor", on), changed(); }
    double cursorHideDelay() const override { return delay; }
    void setCursorHideDelay(double seconds) override { delay = seconds, log("delay", seconds), changed(); }
    std::vector<DisplayOption> availableDisplays() const override { return displays; }
    std::optional<uint32_t> selectedDisplayID() const override { return display; }
    void selectDisplay(uint32_t id) override { display = id, log("display", id), changed(); }
    void refreshDisplays() override { log("refreshDisplays"); }
    ShortcutBindings shortcutBindings() const override { return bindings; }
    void shortcutBindingChanged() override
    {
        log("shortcutBindingChanged");
        bindings = m_preferences.effectiveShortcutBindings();
        if (service)
            service->installHotKeys(bindings);
        changed();
    }
    void restoreGlobalShortcuts() override
    {
        log("restoreGlobalShortcuts");
        if (service)
            service->installHotKeys(bindings);
    }
    GlobalKeyboardShortcuts *shortcuts() override { return service; }

private:
    void log(const char *name, const QVariant &value = {})
    {
        calls << (value.isValid() ? QStringLiteral("%1=%2").arg(name, value.toString()) : QString(name));
    }
    Preferences &m_preferences;
};

} // namespace lumacast::testing
