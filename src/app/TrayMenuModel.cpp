#include "app/TrayMenuModel.h"

#include "app/ShellCommands.h"
#include "control/AppStateManager.h"

#include <QPointer>

namespace lumacast {

TrayMenuModel::TrayMenuModel(AppStateManager &manager, ShellCommands &commands, Hooks hooks)
    : m_manager(manager)
    , m_commands(commands)
    , m_hooks(std::move(hooks))
{
}

std::optional<QString> TrayMenuModel::tailTargetLabel(const std::optional<Session> &session,
                                                      const std::optional<TailOperation> &operation)
{
    if (!session || !operation)
        return std::nullopt;
    for (qsizetype s = 0; s < session->scenes.size(); ++s) {
        const RecordingScene &scene = session->scenes[s];
        if (scene.id != operation->sceneID)
            continue;
        for (qsizetype t = 0; t < scene.takes.size(); ++t) {
            if (scene.takes[t].id == operation->targetTakeID)
                return QStringLiteral("S%1T%2").arg(s + 1).arg(t + 1);
        }
        return std::nullopt;
    }
    return std::nullopt;
}

QKeySequence TrayMenuModel::keyHint(const ShortcutBindings &bindings, ShortcutAction action)
{
    const auto found = bindings.find(action);
    const ShortcutBinding binding = found != bindings.end() ? found->second : defaultBinding(action);
    // The key the hot key grabs, as the layout in use now calls it; the stored character may be
    // another layout's, or "?".
    const QKeyCombination key = binding.menuKey();
    return key.key() == Qt::Key_unknown ? QKeySequence() : QKeySequence(key);
}

QKeySequence TrayMenuModel::exportedKeyHint(const QKeySequence &hint)
{
    if (hint.isEmpty())
        return hint;
    const QKeyCombination key = hint[0];
    const std::optional<QString> name = ShortcutBinding::nameOfMenuKey(key);
    if (!name)
        return hint; // no key of the layout: Qt's name is the one every place shows
    // The keypad modifier would add Qt's own word for the keypad ("KP 1" is "Num+1").
    const Qt::KeyboardModifiers held = key.keyboardModifiers();
    if (held.testFlag(Qt::KeypadModifier))
        return {};
    QList<Qt::Key> candidates{key.key()};
    if (const QList<uint> characters = name->toUcs4(); characters.size() == 1)
        candidates << static_cast<Qt::Key>(characters.front());
    bool number = false;
    const int function = name->startsWith(QLatin1Char('F')) ? name->mid(1).toInt(&number) : 0;
    if (number && function >= 1 && function <= 35)
        candidates << static_cast<Qt::Key>(Qt::Key_F1 + function - 1);
    for (const Qt::Key candidate : candidates) {
        if (QKeySequence(candidate).toString(QKeySequence::PortableText) == *name)
            return QKeySequence(QKeyCombination(held, candidate));
    }
    return {};
}

MenuItems TrayMenuModel::withExportedKeyHints(MenuItems items)
{
    for (MenuItem &item : items) {
        item.keyHint = exportedKeyHint(item.keyHint);
        item.children = withExportedKeyHints(std::move(item.children));
    }
    return items;
}

QString TrayMenuModel::sceneCountText(qsizetype count)
{
    return QStringLiteral("%1 scene%2").arg(count).arg(count == 1 ? QString() : QStringLiteral("s"));
}

int TrayMenuModel::sceneNumber() const
{
    const auto &session = m_manager.session();
    return int(session ? session->currentSceneIndex : 0) + 1;
}

MenuItems TrayMenuModel::build() const
{
    MenuItems items;
    QPointer<AppStateManager> manager(&m_manager);
    // The program is busy copying the recording's files; what is chosen below waits for it.
    if (const QString copying = m_manager.copyLabel(); !copying.isEmpty()) {
        items.push_back(MenuItem::header(copying));
        items.push_back(MenuItem::separator());
    }
    items.push_back(MenuItem::button(QStringLiteral("Show Scenes Window"), [manager] {
        if (manager)
            manager->openWindow(QStringLiteral("review"));
    }));
    items.push_back(MenuItem::separator());
    MenuItems section;
    switch (m_manager.state()) {
    case AppState::idle:
    case AppState::starting:
        section = idleSection();
        break;
    case AppState::recording:
        section = recordingSection();
        break;
    case AppState::paused:
        section = pausedSection();
        break;
    case AppState::reviewing:
        section.push_back(closeItem());
        break;
    }
    items.insert(items.end(), section.begin(), section.end());
    items.push_back(MenuItem::separator());
    items.push_back(MenuItem::button(QStringLiteral("Quit Lumacast"), m_hooks.quit,
                                     QKeySequence(Qt::CTRL | Qt::Key_Q)));
    return items;
}

MenuItems TrayMenuModel::captureChoices() const
{
    MenuItems items;
    ShellCommands &commands = m_commands;

    const auto displays = m_manager.availableDisplays();
    if (displays.size() >= 2) {
        MenuItems screens;
        for (const DisplayOption &display : displays) {
            const bool on = m_manager.selectedDisplayID() == display.id;
            screens.push_back(MenuItem::toggle(display.name, on, [&commands, on, id = display.id] {
                if (!on)
                    commands.selectDisplay(id);
            }));
        }
        items.push_back(MenuItem::submenu(QStringLiteral("Record Screen"), std::move(screens)));
    }
    items.push_back(captureMenu());
    items.push_back(webcamMenu());
    items.push_back(microphoneMenu());
    const bool systemAudio = m_manager.captureSystemAudio();
    items.push_back(MenuItem::toggle(QStringLiteral("Capture system audio"), systemAudio,
                                     [&commands, systemAudio] { commands.setCaptureSystemAudio(!systemAudio); }));
    return items;
}

MenuItems TrayMenuModel::idleSection() const
{
    MenuItems items = captureChoices();
    ShellCommands &commands = m_commands;
    items.push_back(MenuItem::separator());

    const ShortcutBindings bindings = m_manager.shortcutBindings();
    if (m_manager.session()) {
        const int scene = sceneNumber();
        const int take = m_manager.nextTakeNumber();
        items.push_back(MenuItem::button(QStringLiteral("Start S%1T%2 (Scene %1 Take #%2)").arg(scene).arg(take),
                                         [&commands] { commands.startRecording(); },
                                         keyHint(bindings, ShortcutAction::endTake)));
        items.push_back(MenuItem::button(QStringLiteral("New Scene"), [&commands] { commands.advanceToScene(); },
                                         keyHint(bindings, ShortcutAction::nextScene)));
    } else if (const auto recoverable = m_manager.recoverableSessions(); !recoverable.isEmpty()) {
        for (const Session &session : recoverable) {
            items.push_back(MenuItem::button(
                QStringLiteral("Resume recording (%1)").arg(sceneCountText(session.scenes.size())),
                [&commands, session] { commands.guardedResumeSession(session); }));
        }
        items.push_back(MenuItem::button(QStringLiteral("Discard all recovered recordings"),
                                         [&commands] { commands.discardRecoveredSessions(); }));
    }
    return items;
}

MenuItem TrayMenuModel::captureMenu() const
{
    QPointer<AppStateManager> manager(&m_manager);
    const CaptureTarget target = m_manager.captureTarget();
    const bool whole = target.isWholeScreen();
    MenuItems items;
    items.push_back(MenuItem::toggle(QStringLiteral("Whole screen"), whole, [manager, whole] {
        if (!whole && manager)
            manager->setCaptureTarget(CaptureTarget::wholeScreen());
    }));
    if (target.isWindow())
        items.push_back(MenuItem::toggle(QStringLiteral("Window"), true, [] {}));
    items.push_back(MenuItem::separator());
    items.push_back(MenuItem::button(QStringLiteral("Choose Window…"), m_hooks.chooseWindow));
    return MenuItem::submenu(QStringLiteral("Capture"), std::move(items));
}

MenuItem TrayMenuModel::webcamMenu() const
{
    ShellCommands &commands = m_commands;
    QPointer<AppStateManager> manager(&m_manager);
    const bool windowTarget = !m_manager.captureTarget().isWholeScreen();
    const bool enabled = m_manager.webcamEnabled();
    MenuItems items;
    if (windowTarget) {
        items.push_back(MenuItem::button(QStringLiteral("Available only when recording full screen"), {}, {}, false));
        items.push_back(MenuItem::separator());
    }
    items.push_back(MenuItem::toggle(QStringLiteral("Off"), !enabled, [&commands, enabled] {
        if (enabled)
            commands.disableWebcam();
    }));
    const auto cameras = m_manager.availableCameras();
    if (cameras.isEmpty()) {
        items.push_back(MenuItem::button(QStringLiteral("No camera found"), {}, {}, false));
    } else {
        items.push_back(MenuItem::separator());
        for (const CameraOption &camera : cameras) {
            const bool on = enabled && m_manager.selectedCameraID() == camera.id;
            items.push_back(MenuItem::toggle(camera.name, on, [&commands, on, id = camera.id] {
                if (!on)
                    commands.toggleWebcam(id);
            }));
        }
    }
    items.push_back(MenuItem::separator());
    const BlobShape shape = m_manager.webcamShape();
    for (const auto &[title, value] : {std::pair{QStringLiteral("Round"), BlobShape::round},
                                       std::pair{QStringLiteral("Square"), BlobShape::square}}) {
        const bool on = shape == value;
        items.push_back(MenuItem::toggle(title, on, [manager, on, value = value] {
            if (on || !manager)
                return;
            manager->setWebcamShape(value);
            manager->webcamOverlay().setShape(value);
        }, enabled));
    }
    // A custom target of any style turns the webcam off, so the whole submenu greys out.
    return MenuItem::submenu(QStringLiteral("Webcam"), std::move(items), !windowTarget);
}

MenuItem TrayMenuModel::microphoneMenu() const
{
    ShellCommands &commands = m_commands;
    const auto selected = m_manager.selectedMicrophoneID();
    MenuItems items;
    items.push_back(MenuItem::toggle(QStringLiteral("System Default"), !selected, [&commands, selected] {
        if (selected)
            commands.selectMicrophone(std::nullopt);
    }));
    const auto microphones = m_manager.availableMicrophones();
    if (!microphones.isEmpty()) {
        items.push_back(MenuItem::separator());
        for (const MicOption &microphone : microphones) {
            const bool on = selected == microphone.id;
            items.push_back(MenuItem::toggle(microphone.name, on, [&commands, on, id = microphone.id] {
                if (!on)
                    commands.selectMicrophone(id);
            }));
        }
    }
    return MenuItem::submenu(QStringLiteral("Microphone"), std::move(items));
}

MenuItems TrayMenuModel::recordingSection() const
{
    ShellCommands &commands = m_commands;
    const ShortcutBindings bindings = m_manager.shortcutBindings();
    const auto label = tailTargetLabel(m_manager.session(), m_manager.tailOperation());
    MenuItems items;
    items.push_back(MenuItem::header(label ? QStringLiteral("● Recording tail — %1").arg(*label)
                                           : QStringLiteral("● Recording — Scene %1, Take %2")
                                                 .arg(sceneNumber())
                                                 .arg(m_manager.nextTakeNumber())));
    items.push_back(MenuItem::separator());
    items.push_back(MenuItem::button(QStringLiteral("Pause"), [&commands] { commands.pauseRecording(); },
                                     keyHint(bindings, ShortcutAction::startPause)));
    items.push_back(MenuItem::button(QStringLiteral("End Take"), [&commands] { commands.endTake(); },
                                     keyHint(bindings, ShortcutAction::endTake)));
    items.push_back(MenuItem::button(QStringLiteral("End Take & New Scene"),
                                     [&commands] { commands.endTakeAndNextScene(); },
                                     keyHint(bindings, ShortcutAction::nextScene),
                                     !m_manager.tailOperation().has_value()));
    items.push_back(MenuItem::separator());
    items.push_back(closeItem());
    return items;
}

MenuItems TrayMenuModel::pausedSection() const
{
    ShellCommands &commands = m_commands;
    const ShortcutBindings bindings = m_manager.shortcutBindings();
    MenuItems items;
    items.push_back(MenuItem::header(QStringLiteral("Scene %1 — paused").arg(sceneNumber())));
    items.push_back(MenuItem::separator());
    items.push_back(MenuItem::button(QStringLiteral("Resume"), [&commands] { commands.resumeRecording(); },
                                     keyHint(bindings, ShortcutAction::startPause)));
    items.push_back(MenuItem::button(QStringLiteral("End Take"), [&commands] { commands.endTake(); },
                                     keyHint(bindings, ShortcutAction::endTake)));
    items.push_back(MenuItem::separator());
    items.push_back(closeItem());
    return items;
}

MenuItem TrayMenuModel::closeItem() const
{
    ShellCommands &commands = m_commands;
    return MenuItem::button(QStringLiteral("Close Recording"), [&commands] {
        if (!commands.deferWhileTailPending(PendingExternalAction::close))
            commands.closeRequest();
    });
}

} // namespace lumacast
