#pragma once

#include "app/settings/SettingsHost.h"

#include <QPointer>

namespace lumacast {

class AppStateManager;
class ShellCommands;

// The settings window's view of the state manager: getters read its published settings, changes
// go through its operations, and every change signal of a setting becomes `settingsChanged`.
// Main thread only; the manager is held weakly, the commands and the hot keys must outlive this.
class SettingsHostAdapter final : public SettingsHost {
    Q_OBJECT
public:
    SettingsHostAdapter(AppStateManager &manager, ShellCommands &commands, GlobalKeyboardShortcuts *shortcuts, QObject *parent = nullptr);

    bool isRecording() const override;
    bool reopenLastDocument() const override;
    void setReopenLastDocument(bool reopen) override;
    double systemAudioMixLevel() const override;
    void setSystemAudioMixLevel(double level) override;
    bool automaticallyChecksForUpdates() const override;
    void setAutomaticallyChecksForUpdates(bool check) override;
    void checkForUpdates() override;
    QList<MicOption> availableMicrophones() const override;
    std::optional<QString> selectedMicrophoneID() const override;
    void selectMicrophone(const std::optional<QString> &id) override;
    bool captureSystemAudio() const override;
    void setCaptureSystemAudio(bool capture) override;
    bool hideCursorWhenIdle() const override;
    void setHideCursorWhenIdle(bool hide) override;
    double cursorHideDelay() const override;
    void setCursorHideDelay(double seconds) override;
    std::vector<DisplayOption> availableDisplays() const override;
    std::optional<uint32_t> selectedDisplayID() const override;
    void selectDisplay(uint32_t id) override;
    void refreshDisplays() override;
    ShortcutBindings shortcutBindings() const override;
    void shortcutBindingChanged() override;
    void restoreGlobalShortcuts() override;
    GlobalKeyboardShortcuts *shortcuts() override { return m_shortcuts; }

private:
    QPointer<AppStateManager> m_manager;
    ShellCommands &m_commands;
    GlobalKeyboardShortcuts *m_shortcuts;
};

} // namespace lumacast
