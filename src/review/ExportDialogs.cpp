#include "review/ExportDialogs.h"

#include "review/FileDialogPanel.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>

namespace lumacast {

DialogExportUserInterface::DialogExportUserInterface(QWidget *parent) : m_parent(parent) {}

FilePanel *DialogExportUserInterface::makeSavePanel(const ExportPanelRequest &request)
{
    FileDialogPanel *panel = FileDialogPanel::savePanel(
        m_parent, QStringLiteral("Export"), request.directory.value_or(QString()),
        request.moviesOnly ? QStringLiteral("Movies (*.mov)") : QString(),
        request.moviesOnly ? QStringLiteral("mov") : QString());
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

std::optional<QString> DialogExportUserInterface::panelDirectory(const FilePanel &panel) const
{
    const auto *dialogPanel = qobject_cast<const FileDialogPanel *>(&panel);
    if (!dialogPanel || !dialogPanel->dialog())
        return std::nullopt;
    const QString folder = dialogPanel->dialog()->directory().absolutePath();
    if (folder.isEmpty())
        return std::nullopt;
    return folder;
}

void DialogExportUserInterface::showNothingToExportAlert()
{
    QMessageBox alert(m_parent);
    alert.setObjectName(QStringLiteral("nothingToExportAlert"));
    alert.setIcon(QMessageBox::Information);
    alert.setText(QStringLiteral("Nothing to export"));
    alert.setInformativeText(QStringLiteral("No scenes have a selected take."));
    alert.setStandardButtons(QMessageBox::Ok);
    alert.exec();
}

} // namespace lumacast
