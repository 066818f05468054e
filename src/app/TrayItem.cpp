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

    connect(&manager, &AppStateManager::stateChanged, this, &TrayItem::updateIcon);
    connect(m_menu.get(), &QMenu::aboutToShow, this, [this] {
        if (m_menuAppeared)
            m_menuAppeared();
        rebuild();
        m_commands.menuDidOpen();
        // menuDidOpen may pause the take: show the state it leaves.
        rebuild();
    });
    connect(m_menu.get(), &QMenu::aboutToHide, this, [this] { m_commands.menuDidClose(); });
    connect(&m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            m_menu->popup(QCursor::pos());
    });
    // While the menu is up it follows every change of the state it shows.
    const auto refresh = [this] {
        if (m_menu->isVisible())
            rebuild();
    };
    for (auto signal : {&AppStateManager::stateChanged, &AppStateManager::tailOperationChanged,
                        &AppStateManager::recoverableSessionsChanged, &AppStateManager::availableDisplaysChanged,
                        &AppStateManager::selectedDisplayIDChanged, &AppStateManager::captureTargetChanged,
                        &AppStateManager::availableCamerasChanged, &AppStateManager::selectedCameraIDChanged,
                        &AppStateManager::webcamEnabledChanged, &AppStateManager::webcamShapeChanged,
                        &AppStateManager::availableMicrophonesChanged, &AppStateManager::selectedMicrophoneIDChanged,
                        &AppStateManager::captureSystemAudioChanged, &AppStateManager::shortcutBindingsChanged})
        connect(&manager, signal, this, refresh);
    connect(&manager, &ExportHost::currentSessionChanged, this, refresh);
}

TrayItem::~TrayItem() = default;

void TrayItem::show()
{
    m_icon.show();
}

void TrayItem::updateIcon()
{
    if (m_manager)
        m_icon.setIcon(status_icon::statusIcon(m_manager->state()));
}

void TrayItem::rebuild()
{
    fillMenu(*m_menu, m_model.build());
}

} // namespace lumacast
