#include "app/SettingsHostAdapter.h"

#include "app/ShellCommands.h"
#include "control/AppStateManager.h"

namespace lumacast {

SettingsHostAdapter::SettingsHostAdapter(AppStateManager &manager, ShellCommands &commands,
                                         GlobalKeyboardShortcuts *shortcuts, QObject *parent)
    : SettingsHost(parent)
    , m_manager(&manager)
    , m_commands(commands)
    , m_shortcuts(shortcuts)
{
    for (auto signal : {&AppStateManager::stateChanged, &AppStateManager::reopenLastDocumentChanged,
                        &AppStateManager::systemAudioMixLevelChanged,
                        &AppStateManager::automaticallyChecksForUpdatesChanged,
                        &AppStateManager::availableMicrophonesChanged, &AppStateManager::selectedMicrophoneIDChanged,
                        &AppStateManager::captureSystemAudioChanged, &AppStateManager::hideCursorWhenIdleChanged,
                        &AppStateManager::cursorHideDelayChanged, &AppStateManager::availableDisplaysChanged,
                        &AppStateManager::selectedDisplayIDChanged, &AppStateManager::shortcutBindingsChanged})
        connect(&manager, signal, this, &SettingsHost::settingsChanged);
}

bool SettingsHostAdapter::isRecording() const { return m_manager && m_manager->isRecording(); }
bool SettingsHostAdapter::reopenLastDocument() const { return m_manager && m_manager->reopenLastDocument(); }

void SettingsHostAdapter::setReopenLastDocument(bool reopen)
{
    if (m_manager)
        m_manager->setReopenLastDocument(reopen);
}

double SettingsHostAdapter::systemAudioMixLevel() const { return m_manager ? m_manager->systemAudioMixLevel() : 0; }

void SettingsHostAdapter::setSystemAudioMixLevel(double level)
{
    if (m_manager)
        m_manager->setSystemAudioMixLevel(level);
}

bool SettingsHostAdapter::automaticallyChecksForUpdates() const
{
    return m_manager && m_manager->automaticallyChecksForUpdates();
}

void SettingsHostAdapter::setAutomaticallyChecksForUpdates(bool check) { m_commands.setAutomaticallyChecksForUpdates(check); }
void SettingsHostAdapter::checkForUpdates() { m_commands.checkForUpdates(); }

QList<MicOption> SettingsHostAdapter::availableMicrophones() const
{
    return m_manager ? m_manager->availableMicrophones() : QList<MicOption>{};
}

std::optional<QString> SettingsHostAdapter::selectedMicrophoneID() const
{
    return m_manager ? m_manager->selectedMicrophoneID() : std::nullopt;
}

void SettingsHostAdapter::selectMicrophone(const std::optional<QString> &id) { m_commands.selectMicrophone(id); }
bool SettingsHostAdapter::captureSystemAudio() const { return m_manager && m_manager->captureSystemAudio(); }
void SettingsHostAdapter::setCaptureSystemAudio(bool capture) { m_commands.setCaptureSystemAudio(capture); }
bool SettingsHostAdapter::hideCursorWhenIdle() const { return m_manager && m_manager->hideCursorWhenIdle(); }
void SettingsHostAdapter::setHideCursorWhenIdle(bool hide) { m_commands.setHideCursorWhenIdle(hide); }
double SettingsHostAdapter::cursorHideDelay() const { return m_manager ? m_manager->cursorHideDelay() : 2.0; }
void SettingsHostAdapter::setCursorHideDelay(double seconds) { m_commands.setCursorHideDelay(seconds); }

std::vector<DisplayOption> SettingsHostAdapter::availableDisplays() const
{
    return m_manager ? m_manager->availableDisplays() : std::vector<DisplayOption>{};
}

std::optional<uint32_t> SettingsHostAdapter::selectedDisplayID() const
{
    return m_manager ? m_manager->selectedDisplayID() : std::nullopt;
}

void SettingsHostAdapter::selectDisplay(uint32_t id) { m_commands.selectDisplay(id); }
void SettingsHostAdapter::refreshDisplays() { m_commands.refreshDisplays(); }

ShortcutBindings SettingsHostAdapter::shortcutBindings() const
{
    return m_manager ? m_manager->shortcutBindings() : ShortcutBindings{};
}

void SettingsHostAdapter::shortcutBindingChanged() { m_commands.shortcutBindingChanged(); }

void SettingsHostAdapter::restoreGlobalShortcuts()
{
    if (m_manager)
        m_manager->restoreGlobalShortcuts();
}

} // namespace lumacast
