#include "dialogs/MessageBoxAlerts.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

namespace lumacast {

namespace {
bool g_displayLost = false; // main thread only
} // namespace

void MessageBoxAlerts::setDisplayLost()
{
    g_displayLost = true;
}

int MessageBoxAlerts::runModal(const AlertRequest &request)
{
    if (g_displayLost)
        return request.buttons.isEmpty() ? 0 : int(request.buttons.size() - 1);
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(QStringLiteral("Lumacast"));
    box.setText(request.message);
    box.setInformativeText(request.informativeText);
    // Alerts carry file names, error texts and an update feed's words, none of them markup: a
    // "<a href=…>" in them is shown as typed and never becomes a link that opens something.
    box.setTextFormat(Qt::PlainText);
    for (QLabel *label : box.findChildren<QLabel *>()) {
        label->setTextFormat(Qt::PlainText);
        label->setOpenExternalLinks(false);
    }
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
