#include "app/TrayItem.h"

#include "app/ShellCommands.h"
#include "app/StatusIcon.h"
#include "control/AppStateManager.h"

#include <QCursor>

namespace lumacast {

TrayItem::TrayItem(AppStateManager &manager, ShellCommands &commands, TrayMenuModel::Hooks hooks, QObject *parent)
    : QObject(parent)
    , m_manager(&manager)
    , m_commands(commands)
    , m_model(manager, commands, std::move(hooks))
    , m_menu(std::make_unique<QMenu>())
{
    m_menu->setObjectName(QStringLiteral("trayMenu"));
    m_icon.setToolTip(QStringLiteral("Lumacast"));
    m_icon.setContextMenu(m_menu.get());
    updateIcon();
    m_closeBound.setSingleShot(true);
    m_closeBound.setInterval(kDefaultCloseBound);
    connect(&m_closeBound, &QTimer::timeout, this, [this] {
        // A menu on screen says itself when it closes.
        if (m_menu->isVisible())
            m_closeBound.start();
        else
            menuClosed();
    });

    connect(&manager, &AppStateManager::stateChanged, this, &TrayItem::updateIcon);
    connect(m_menu.get(), &QMenu::aboutToShow, this, &TrayItem::menuOpened);
    connect(m_menu.get(), &QMenu::aboutToHide, this, &TrayItem::menuClosed);
    connect(&m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            m_menu->popup(QCursor::pos());
    });
    // While the menu is open it follows every change of the state it shows.
    const auto refresh = [this] {
        if (m_menuOpen)
            rebuild();
    };
    for (auto signal : {&AppStateManager::stateChanged, &AppStateManager::tailOperationChanged,
                        &AppStateManager::recoverableSessionsChanged, &AppStateManager::availableDisplaysChanged,
                        &AppStateManager::selectedDisplayIDChanged, &AppStateManager::captureTargetChanged,
                        &AppStateManager::availableCamerasChanged, &AppStateManager::selectedCameraIDChanged,
                        &AppStateManager::webcamEnabledChanged, &AppStateManager::webcamShapeChanged,
                        &AppStateManager::availableMicrophonesChanged, &AppStateManager::selectedMicrophoneIDChanged,
                        &AppStateManager::captureSystemAudioChanged, &AppStateManager::shortcutBindingsChanged,
                        &AppStateManager::copyChanged})
        connect(&manager, signal, this, refresh);
    connect(&manager, &ExportHost::currentSessionChanged, this, refresh);
    // Filled before it ever opens: a D-Bus host may pop the exported menu up as it is and only
    // then announce the opening (Xfce's panel, on a right click, shows its own menu instead of
    // an empty one).
    rebuild();
}

TrayItem::~TrayItem() = default;

void TrayItem::show()
{
    m_icon.show();
}

void TrayItem::menuOpened()
{
    // A D-Bus host may ask again while the menu is open (AboutToShow, then "opened"): the
    // manager hears of one opening, and the bound starts over.
    m_closeBound.start();
    if (m_menuOpen) {
        rebuild();
        return;
    }
    m_menuOpen = true;
    if (m_menuAppeared)
        m_menuAppeared();
    rebuild();
    m_commands.menuDidOpen();
    // menuDidOpen may pause the take: show the state it leaves.
    rebuild();
}

void TrayItem::menuClosed()
{
    m_closeBound.stop();
    if (!m_menuOpen)
        return;
    m_menuOpen = false;
    m_commands.menuDidClose();
}

void TrayItem::updateIcon()
{
    if (m_manager)
        m_icon.setIcon(status_icon::statusIcon(m_manager->state()));
}

void TrayItem::rebuild()
{
    updateMenu(*m_menu, TrayMenuModel::withExportedKeyHints(m_model.build()));
}

} // namespace lumacast
