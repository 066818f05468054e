#include "dialogs/MessageBoxAlerts.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace lumacast {

int MessageBoxAlerts::runModal(const AlertRequest &request)
{
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(QStringLiteral("Lumacast"));
    box.setText(request.message);
    box.setInformativeText(request.informativeText);
    switch (request.style) {
    case AlertStyle::warning:
        box.setIcon(QMessageBox::Warning);
        break;
    case AlertStyle::informational:
        box.setIcon(QMessageBox::Information);
        break;
    case AlertStyle::critical:
        box.setIcon(QMessageBox::Critical);
        break;
    }
    const QStringList titles = request.buttons.isEmpty() ? QStringList{QStringLiteral("OK")} : request.buttons;
    QList<QAbstractButton *> buttons;
    for (qsizetype i = 0; i < titles.size(); ++i) {
        // The first button is the default one; the rest keep the order they were given in.
        QPushButton *button = box.addButton(titles[i], i == 0 ? QMessageBox::AcceptRole : QMessageBox::ActionRole);
        buttons.push_back(button);
    }
    box.setDefaultButton(qobject_cast<QPushButton *>(buttons.first()));
    box.setEscapeButton(buttons.last());
    box.exec();
    const qsizetype chosen = buttons.indexOf(box.clickedButton());
    return int(chosen < 0 ? buttons.size() - 1 : chosen);
}

} // namespace lumacast
