#include "dialogs/PermissionAlertDialogs.h"

#include "capture/DesktopPermissionLayer.h"

#include <QMessageBox>
#include <QPushButton>

namespace lumacast {

PermissionAlertDialogs::PermissionAlertDialogs(QWidget *parent) : m_parent(parent) {}

int PermissionAlertDialogs::runModal(const QString &title, const QString &message,
                                     const QStringList &buttons)
{
    QMessageBox alert(m_parent);
    alert.setObjectName(QStringLiteral("permissionAlert"));
    alert.setIcon(QMessageBox::Warning);
    alert.setWindowTitle(QStringLiteral("Lumacast"));
    alert.setText(title);
    alert.setInformativeText(message);
    QList<QAbstractButton *> added;
    for (qsizetype i = 0; i < buttons.size(); ++i) {
        const bool cancels = buttons[i] == QStringLiteral("Cancel");
        QPushButton *button =
            alert.addButton(buttons[i], cancels ? QMessageBox::RejectRole : QMessageBox::AcceptRole);
        if (i == 0)
            alert.setDefaultButton(button);
        if (cancels)
            alert.setEscapeButton(button);
        added.append(button);
    }
    alert.exec();
    return int(added.indexOf(alert.clickedButton()));
}

void PermissionAlertDialogs::openPrivacySettings()
{
    openDesktopPrivacySettings();
}

} // namespace lumacast
