#include "control/HotKeyActions.h"

#include "control/AppStateManager.h"
#include "control/TakeRecording.h"
#include "store/Preferences.h"
#include "threads/ThreadBridge.h"

#include <QPointer>

namespace lumacast {

HotKeyActions::HotKeyActions(AppStateManager &manager) : m(manager) {}

void HotKeyActions::installShortcutHandlers()
{
    const QPointer<AppStateManager> weak(&m);
    const auto action = [weak](void (AppStateManager::*operation)()) {
        return [weak, operation] {
            AppStateManager *manager = weak.data();
            if (!manager)
                return;
            // Behind a question, a menu, a drag or a panel a key would start or end a take the
            // user cannot see, and the answer would then meet another recording.
            if (manager->interactions().isAsking()) {
                manager->logApp(manager->isCopying()
                                    ? QStringLiteral("[keys] a hot key while the recording's files are copied — ignored")
                                    : QStringLiteral("[keys] a hot key while the user is being asked — ignored"));
                // A question minimized, or gone with its window, would leave the key unexplained.
                if (!app_state::isCapturing(manager->m_state))
                    manager->showQuestion();
                return;
            }
            (manager->*operation)();
        };
    };
    std::map<ShortcutAction, std::function<void()>> table;
    table[ShortcutAction::startPause] = action(&AppStateManager::startPauseShortcut);
    table[ShortcutAction::endTake] = action(&AppStateManager::endTakeShortcut);
    table[ShortcutAction::retake] = action(&AppStateManager::retakeShortcut);
    table[ShortcutAction::nextScene] = action(&AppStateManager::nextSceneShortcut);
    table[ShortcutAction::toggleWebcamZoom] = action(&AppStateManager::toggleWebcamZoom);
    table[ShortcutAction::toggleWebcamBlob] = action(&AppStateManager::toggleWebcamBlob);
    m.m_services.hotKeys->setHandlers(std::move(table));
}

bool HotKeyActions::reviewedTakeIsUsable() const
{
    return m.m_currentTakeURL && Take::isUsableFile(*m.m_currentTakeURL);
}

void HotKeyActions::startPauseShortcut()
{
    if (m.m_state == AppState::starting)
        m.m_takeRecording->cancelStart();
    else if (m.m_state == AppState::recording)
        m.pauseRecording();
    else if (m.m_state == AppState::paused)
        m.resumeRecording();
}

void HotKeyActions::endTakeShortcut()
{
    const QPointer<AppStateManager> weak(&m);
    switch (m.m_state) {
    case AppState::idle:
        if (m.m_currentSession)
            postToMainThread(weak, [manager = &m] { manager->startRecording(); });
        break;
    case AppState::starting:
        m.m_takeRecording->cancelStart(); // only while the desktop is asked what to share
        break;
    case AppState::recording:
    case AppState::paused:
        postToMainThread(weak, [manager = &m] { manager->endTake(); });
        break;
    case AppState::reviewing:
        if (reviewedTakeIsUsable())
            m.approveAndNewTake();
        break;
    }
}

void HotKeyActions::retakeShortcut()
{
    if (m.m_state == AppState::reviewing)
        m.retake();
}

void HotKeyActions::nextSceneShortcut()
{
    switch (m.m_state) {
    case AppState::idle:
        if (m.m_currentSession)
            m.advanceToScene();
        break;
    case AppState::starting:
        break;
    case AppState::recording:
    case AppState::paused:
        postToMainThread(QPointer<AppStateManager>(&m), [manager = &m] { manager->endTakeAndNextScene(); });
        break;
    case AppState::reviewing:
        if (reviewedTakeIsUsable())
            m.approveAndNextScene();
        break;
    }
}

void HotKeyActions::reloadShortcutBindings()
{
    m.setShortcutBindings(m.m_services.preferences->effectiveShortcutBindings());
    m.reinstallGlobalShortcuts();
}

} // namespace lumacast
