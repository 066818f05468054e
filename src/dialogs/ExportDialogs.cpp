#include "dialogs/ExportDialogs.h"

#include "dialogs/FileDialogPanel.h"
#include "store/InteractionGate.h"

#include <QApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>

namespace lumacast {

DialogExportUserInterface::DialogExportUserInterface(QWidget *parent) : m_parent(parent) {}

FilePanel *DialogExportUserInterface::makeSavePanel(const ExportPanelRequest &request)
{
    FileDialogPanel *panel = nullptr;
    const QString caption = QStringLiteral("Export");
    const QString directory = request.directory.value_or(QString());
    // A package is a folder: a typed name of an earlier export asks to replace it rather than
    // opening it, and the export itself decides whether it may be replaced.
    if (request.moviesOnly) {
        panel = FileDialogPanel::savePanel(m_parent, caption, directory,
                                           QStringLiteral("Movies (*.mov)"), QStringLiteral("mov"));
    } else {
        panel = FileDialogPanel::savePanel(m_parent, caption, directory, QString(), QString());
    }
    QFileDialog *dialog = panel->dialog();
    // Qt's own dialog on every desktop: a native one has no room for the explanation.
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->selectFile(request.nameFieldText);
    if (request.message) {
        if (auto *grid = qobject_cast<QGridLayout *>(dialog->layout())) {
            auto *label = new QLabel(*request.message, dialog);
            label->setObjectName(QStringLiteral("exportPanelMessage"));
            label->setWordWrap(true);
            label->setTextFormat(Qt::PlainText);
            grid->addWidget(label, grid->rowCount(), 0, 1, grid->columnCount());
        }
    }
    return panel;
}

void DialogExportUserInterface::showNothingToExportAlert()
{
    // Held by the alert itself until it is answered, minimized or not: what arrives meanwhile
    // (a hand-over, a tray command) waits for it.
    const InteractionGate::Hold asking = InteractionGate::shared().hold(InteractionGate::Kind::asking);
    // Over the window it was asked from, as every alert: minimized with it, and back with it.
    // On the heap and watched: that window may go, with its children, inside the alert's loop.
    const QPointer<QMessageBox> alert = new QMessageBox(m_parent ? m_parent.data() : QApplication::activeWindow());
    alert->setObjectName(QStringLiteral("nothingToExportAlert"));
    alert->setIcon(QMessageBox::Information);
    alert->setText(QStringLiteral("Nothing to export"));
    alert->setInformativeText(QStringLiteral("No scenes have a selected take."));
    alert->setStandardButtons(QMessageBox::Ok);
    alert->exec();
    delete alert.data();
}

} // namespace lumacast
