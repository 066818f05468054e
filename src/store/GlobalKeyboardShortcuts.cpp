#include "store/GlobalKeyboardShortcuts.h"

#include "model/LogCategories.h"

namespace lumacast {

GlobalKeyboardShortcuts::GlobalKeyboardShortcuts(std::shared_ptr<HotKeyBackend> backend)
    : m_backend(std::move(backend))
{
}

GlobalKeyboardShortcuts::~GlobalKeyboardShortcuts() { unregisterAllHotKeys(); }

void GlobalKeyboardShortcuts::installHotKeys(const ShortcutBindings &bindings)
{
    unregisterAllHotKeys();

    EventHandlerRef handler = 0;
    // Without a backend (no display to grab keys on) nothing can be installed.
    const int installStatus = m_backend
        ? m_backend->installEventHandler(&GlobalKeyboardShortcuts::hotKeyEventHandler, this, &handler)
        : hot_key_status::eventInternalErr;
    if (installStatus != hot_key_status::noErr) {
        qCCritical(log::shortcuts(), "InstallEventHandler failed: %d", installStatus);
        return;
    }
    m_eventHandlerRef = handler;

    quint32 nextID = 1;
    for (const auto &[action, binding] : bindings) {
        m_idToAction[nextID] = action;
        EventHotKeyRef ref = 0;
        const int status = m_backend->registerEventHotKey(
            binding.carbonKeyCode, binding.carbonModifiers,
            EventHotKeyID{kGlobalShortcutSignature, nextID}, &ref);
        if (status == hot_key_status::noErr) {
            m_hotKeyRefs.push_back(ref);
        } else {
            qCCritical(log::shortcuts(), "RegisterEventHotKey failed for %s: %d",
                       qUtf8Printable(shortcut_action::rawValue(action)), status);
        }
        ++nextID;
    }
    qCInfo(log::shortcuts(), "X11 hotkeys installed (%ld/%ld)", long(m_hotKeyRefs.size()),
           long(bindings.size()));
    if (onInstalled)
        onInstalled(bindings);
}

void GlobalKeyboardShortcuts::unregisterAllHotKeys()
{
    if (m_backend) {
        for (EventHotKeyRef ref : m_hotKeyRefs)
            (void)m_backend->unregisterEventHotKey(ref);
    }
    m_hotKeyRefs.clear();
    m_idToAction.clear();
    if (m_eventHandlerRef) {
        if (m_backend)
            (void)m_backend->removeEventHandler(*m_eventHandlerRef);
        m_eventHandlerRef.reset();
    }
}

void GlobalKeyboardShortcuts::fireHotKey(quint32 id)
{
    const auto action = m_idToAction.find(id);
    if (action == m_idToAction.end())
        return;
    const auto handler = handlers.find(action->second);
    if (handler == handlers.end() || !handler->second)
        return;
    qCInfo(log::shortcuts(), "X11 hotkey fired: %s",
           qUtf8Printable(shortcut_action::rawValue(action->second)));
    // A copy: the closure may replace the handler table while it runs.
    const std::function<void()> run = handler->second;
    run();
}

int GlobalKeyboardShortcuts::hotKeyEventHandler(const HotKeyEvent *event, void *userData)
{
    if (!event || !userData)
        return hot_key_status::eventNotHandledErr;
    if (!event->hotKeyID)
        return hot_key_status::eventNotHandledErr;
    // Other components (the countdown's Escape key) register their own keys on the same backend;
    // their presses are passed on instead of firing whatever action has the same number here.
    if (event->hotKeyID->signature != kGlobalShortcutSignature)
        return hot_key_status::eventNotHandledErr;
    static_cast<GlobalKeyboardShortcuts *>(userData)->fireHotKey(event->hotKeyID->id);
    return hot_key_status::noErr;
}

} // namespace lumacast
