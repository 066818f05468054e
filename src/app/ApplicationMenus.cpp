#include "app/ApplicationMenus.h"

#include "app/ShellCommands.h"
#include "app/TrayMenuModel.h"
#include "control/AppStateManager.h"
#include "store/FilePanelGuard.h"

#include <QMenu>
#include <QMenuBar>
#include <QTimer>

namespace lumacast {

namespace {
const QString kQuitTitle = QStringLiteral("Quit Lumacast");
} // namespace

ApplicationMenus::ApplicationMenus(AppStateManager &manager, ShellCommands &commands, FilePanelGuard &filePanels,
                                   Hooks hooks)
    : m_manager(manager)
    , m_commands(commands)
    , m_filePanels(filePanels)
    , m_hooks(std::move(hooks))
{
    if (!m_hooks.movieIsUsable)
        m_hooks.movieIsUsable = [](const QString &path) { return Take::isUsableFile(path); };
}

std::vector<ApplicationMenus::Menu> ApplicationMenus::build() const
{
    if (m_offersCaptureChoices)
        return {applicationMenu(), fileMenu(), editMenu(), takesMenu(), recordMenu(), helpMenu()};
    return {applicationMenu(), fileMenu(), editMenu(), takesMenu(), helpMenu()};
}

void ApplicationMenus::setOffersCaptureChoices(bool offer)
{
    if (offer == m_offersCaptureChoices)
        return;
    m_offersCaptureChoices = offer;
    emit captureChoicesOfferedChanged();
}

ApplicationMenus::Menu ApplicationMenus::recordMenu() const
{
    const TrayMenuModel tray(m_manager, m_commands, TrayMenuModel::Hooks{m_hooks.quit, m_hooks.chooseWindow});
    MenuItems items = tray.captureChoices();
    // The tray offers these only between takes; so does this menu.
    const AppState state = m_manager.state();
    if (state != AppState::idle && state != AppState::starting) {
        for (MenuItem &item : items)
            item.enabled = false;
    }
    return {QStringLiteral("Record"), std::move(items)};
}

void ApplicationMenus::showWindow(const QString &identifier) const
{
    m_manager.openWindow(identifier);
}

ApplicationMenus::Menu ApplicationMenus::applicationMenu() const
{
    ShellCommands &commands = m_commands;
    const ApplicationMenus *self = this;
    return {QStringLiteral("Lumacast"),
            {MenuItem::button(QStringLiteral("Check for Updates…"), [&commands] { commands.checkForUpdates(); }),
             MenuItem::separator(),
             MenuItem::button(QStringLiteral("Settings…"), [self] { self->showWindow(QStringLiteral("settings")); },
                              QKeySequence(Qt::CTRL | Qt::Key_Comma)),
             MenuItem::separator(),
             MenuItem::button(kQuitTitle, m_hooks.quit, QKeySequence(Qt::CTRL | Qt::Key_Q))}};
}

ApplicationMenus::Menu ApplicationMenus::fileMenu() const
{
    ShellCommands &commands = m_commands;
    const ApplicationMenus *self = this;
    // A take starting counts: a document command would replace the session under its countdown.
    const bool recording = app_state::isCapturing(m_manager.state());
    const bool tail = m_manager.tailOperation().has_value();
    const bool panelUp = m_filePanels.isPresenting();
    const auto &session = m_manager.session();
    const bool packaged = session && session->hasBundle();
    const bool canExport = packaged && !m_manager.isExporting() && !tail && !panelUp;

    MenuItems items;
    items.push_back(MenuItem::button(QStringLiteral("New Recording"), [&commands] { commands.guardedNewSession(); },
                                     QKeySequence(Qt::CTRL | Qt::Key_N), !recording && !tail && !panelUp));
    items.push_back(MenuItem::button(QStringLiteral("Open Recording…"), [&commands] { commands.guardedOpenSession(); },
                                     QKeySequence(Qt::CTRL | Qt::Key_O), !recording && !tail && !panelUp));
    if (const auto recoverable = m_manager.recoverableSessions(); !recoverable.isEmpty()) {
        MenuItems recover;
        for (const Session &entry : recoverable) {
            recover.push_back(MenuItem::button(
                QStringLiteral("Resume (%1)").arg(TrayMenuModel::sceneCountText(entry.scenes.size())),
                [&commands, entry] { commands.guardedResumeSession(entry); }));
        }
        recover.push_back(MenuItem::separator());
        recover.push_back(MenuItem::button(QStringLiteral("Discard All Recovered Recordings"),
                                           [&commands] { commands.discardRecoveredSessions(); }));
        items.push_back(MenuItem::submenu(QStringLiteral("Recover Recording"), std::move(recover)));
    }
    items.push_back(MenuItem::separator());
    items.push_back(MenuItem::button(QStringLiteral("Save Recording"), [&commands] { commands.saveIfPackaged(); },
                                     QKeySequence(Qt::CTRL | Qt::Key_S), packaged && !panelUp));
    items.push_back(MenuItem::button(QStringLiteral("Save Recording As…"), [&commands] { commands.presentSavePanel(); },
                                     QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S),
                                     session && !recording && !panelUp));
    items.push_back(MenuItem::button(QStringLiteral("Close Recording"), [&commands] {
        if (!commands.deferWhileTailPending(PendingExternalAction::close))
            commands.closeRequest();
    }, {}, session && !panelUp));
    items.push_back(MenuItem::separator());
    items.push_back(MenuItem::button(QStringLiteral("Export Video…"), [self] { self->showWindow(QStringLiteral("export")); },
                                     QKeySequence(Qt::CTRL | Qt::Key_E), canExport));
    items.push_back(MenuItem::button(QStringLiteral("Export to Final Cut Pro / Resolve…"),
                                     [&commands] { commands.exportFCPXML(); }, {}, canExport));
    items.push_back(MenuItem::button(QStringLiteral("Export for Premiere…"), [&commands] { commands.exportFCP7XML(); },
                                     {}, canExport));
    return {QStringLiteral("File"), std::move(items)};
}

ApplicationMenus::Menu ApplicationMenus::editMenu() const
{
    ShellCommands &commands = m_commands;
    QPointer<AppStateManager> manager(&m_manager);
    const AppState state = m_manager.state();
    const bool editable = (state == AppState::idle || state == AppState::reviewing) && !m_manager.tailOperation();
    const auto undoName = m_manager.undoActionName();
    const auto redoName = m_manager.redoActionName();
    // An inline rename owns the undo keys while it is open.
    const auto unlessRenaming = [manager](std::function<void()> run) {
        return [manager, run] {
            if (manager && !manager->isRenaming())
                run();
        };
    };
    return {QStringLiteral("Edit"),
            {MenuItem::button(undoName ? QStringLiteral("Undo ") + *undoName : QStringLiteral("Undo"),
                              unlessRenaming([&commands] { commands.undo(); }), QKeySequence(Qt::CTRL | Qt::Key_Z),
                              editable && m_manager.canUndo()),
             MenuItem::button(redoName ? QStringLiteral("Redo ") + *redoName : QStringLiteral("Redo"),
                              unlessRenaming([&commands] { commands.redo(); }),
                              QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), editable && m_manager.canRedo())}};
}

ApplicationMenus::Menu ApplicationMenus::takesMenu() const
{
    ShellCommands &commands = m_commands;
    const ShortcutBindings bindings = m_manager.shortcutBindings();
    const bool tail = m_manager.tailOperation().has_value();
    const bool pending = m_manager.pendingTakeID().has_value();
    const auto movie = m_manager.currentTakeURL();
    const bool reviewable = pending && movie && m_hooks.movieIsUsable(*movie) && !tail;
    const bool canStart = m_manager.session() && !pending && !tail;
    const auto key = [&bindings](ShortcutAction action) { return TrayMenuModel::keyHint(bindings, action); };

    MenuItems items;
    items.push_back(MenuItem::button(QStringLiteral("Retake"), [&commands] { commands.retake(); },
                                     key(ShortcutAction::retake), pending && !tail));
    items.push_back(MenuItem::button(QStringLiteral("Approve"), [&commands] { commands.approve(); },
                                     key(ShortcutAction::endTake), reviewable));
    items.push_back(MenuItem::button(QStringLiteral("Next Scene"), [&commands] { commands.approveAndNextScene(); },
                                     key(ShortcutAction::nextScene), reviewable));
    items.push_back(MenuItem::separator());
    items.push_back(MenuItem::button(QStringLiteral("New Take"), [&commands] {
        commands.autoApprove();
        commands.startRecording();
    }, key(ShortcutAction::endTake), canStart));
    items.push_back(MenuItem::button(QStringLiteral("New Scene"), [&commands] {
        commands.autoApprove();
        commands.advanceToScene();
        commands.startRecording();
    }, key(ShortcutAction::nextScene), canStart));
    return {QStringLiteral("Takes"), std::move(items)};
}

ApplicationMenus::Menu ApplicationMenus::helpMenu() const
{
    const ApplicationMenus *self = this;
    return {QStringLiteral("Help"),
            {MenuItem::button(QStringLiteral("Lumacast Keyboard Shortcuts"),
                              [self] { self->showWindow(QStringLiteral("help")); }, QKeySequence(Qt::Key_F1))}};
}

namespace {
const char *const kApplicationMenuProperty = "lumacastApplicationMenu";

// The application menus a holder carries, in order: on a menu bar they are its menus, on any
// other window hidden menus whose actions the window's keys reach.
QList<QMenu *> heldMenus(const QWidget &holder)
{
    QList<QMenu *> held;
    for (QAction *action : holder.actions()) {
        if (QMenu *menu = QMenu::menuInAction(action); menu && menu->property(kApplicationMenuProperty).toBool())
            held << menu;
    }
    return held;
}
} // namespace

void ApplicationMenus::install(QWidget &holder)
{
    QPointer<QWidget> target(&holder);
    auto rebuild = [this, target] {
        if (!target)
            return;
        const std::vector<Menu> menus = build();
        const QList<QMenu *> shown = heldMenus(*target);
        bool sameMenus = shown.size() == qsizetype(menus.size());
        for (qsizetype i = 0; sameMenus && i < shown.size(); ++i)
            sameMenus = shown[i]->title() == menus[size_t(i)].title;
        if (!sameMenus) {
            for (QMenu *old : shown) {
                target->removeAction(old->menuAction());
                old->deleteLater();
            }
            for (const Menu &menu : menus) {
                // Owned by the holder; a menu of a window that is no menu bar is never shown, its
                // actions' keys act while that window is active.
                auto *shownMenu = new QMenu(menu.title, target);
                shownMenu->setProperty(kApplicationMenuProperty, true);
                fillMenu(*shownMenu, menu.items);
                target->addAction(shownMenu->menuAction());
            }
            return;
        }
        for (qsizetype i = 0; i < shown.size(); ++i)
            updateMenu(*shown[i], menus[size_t(i)].items);
    };
    // Changes arrive in bursts (a state change publishes several properties): one update per
    // turn of the event loop.
    auto *timer = new QTimer(&holder);
    timer->setSingleShot(true);
    timer->setInterval(0);
    QObject::connect(timer, &QTimer::timeout, &holder, rebuild);
    const auto schedule = [timer] { timer->start(); };
    for (auto signal : {&AppStateManager::stateChanged,
                        &AppStateManager::currentTakeURLChanged, &AppStateManager::pendingTakeIDChanged,
                        &AppStateManager::tailOperationChanged, &AppStateManager::isExportingChanged,
                        &AppStateManager::canUndoChanged, &AppStateManager::canRedoChanged,
                        &AppStateManager::undoActionNameChanged, &AppStateManager::redoActionNameChanged,
                        &AppStateManager::recoverableSessionsChanged, &AppStateManager::shortcutBindingsChanged,
                        // The capture choices of "Record".
                        &AppStateManager::availableDisplaysChanged, &AppStateManager::selectedDisplayIDChanged,
                        &AppStateManager::captureTargetChanged, &AppStateManager::availableCamerasChanged,
                        &AppStateManager::selectedCameraIDChanged, &AppStateManager::webcamEnabledChanged,
                        &AppStateManager::webcamShapeChanged, &AppStateManager::availableMicrophonesChanged,
                        &AppStateManager::selectedMicrophoneIDChanged, &AppStateManager::captureSystemAudioChanged})
        QObject::connect(&m_manager, signal, timer, schedule);
    QObject::connect(&m_manager, &ExportHost::currentSessionChanged, timer, schedule);
    QObject::connect(&m_filePanels, &FilePanelGuard::isPresentingChanged, timer, schedule);
    QObject::connect(this, &ApplicationMenus::captureChoicesOfferedChanged, timer, schedule);
    rebuild();
}

void ApplicationMenus::installQuit(QWidget &holder)
{
    const Menu application = applicationMenu();
    const MenuItem *quit = findItem(application.items, {kQuitTitle});
    Q_ASSERT(quit);
    // The entry as the menu bar has it, so that the key runs the same way: on the next turn of
    // the event loop, through the interaction gate. Not marked as an application menu: `install`
    // on the same holder leaves it alone.
    auto *menu = new QMenu(application.title, &holder);
    fillMenu(*menu, {*quit});
    holder.addAction(menu->menuAction());
}

} // namespace lumacast
