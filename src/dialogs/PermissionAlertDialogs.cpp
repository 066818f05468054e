#include "dialogs/PermissionAlertDialogs.h"

#include "capture/DesktopPermissionLayer.h"
#include "store/InteractionGate.h"

#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

namespace lumacast {

PermissionAlertDialogs::PermissionAlertDialogs(QWidget *parent) : m_parent(parent) {}

int PermissionAlertDialogs::runModal(const QString &title, const QString &message,
                                     const QStringList &buttons)
{
    // Held by the alert itself until it is answered, minimized or not: what arrives meanwhile
    // waits for it.
    const InteractionGate::Hold asking = InteractionGate::shared().hold(InteractionGate::Kind::asking);
    // On the heap and watched: the window it stands over may go, with its children, inside the
    // alert's own loop; it then answers as closed without a choice.
    const QPointer<QMessageBox> alertBox = new QMessageBox(m_parent);
    QMessageBox &alert = *alertBox;
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
    if (!alertBox)
        return -1;
    const int chosen = int(added.indexOf(alert.clickedButton()));
    delete alertBox.data();
    return chosen;
}

void PermissionAlertDialogs::openPrivacySettings()
{
    openDesktopPrivacySettings();
}

} // namespace lumacast
