#include "dialogs/ExportDialogs.h"

#include "dialogs/FileDialogPanel.h"
#include "store/InteractionGate.h"

#include <QApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>

namespace lumacast {

namespace {

// A package is a folder, and Qt's save dialog opens a folder whose name is typed instead of
// choosing it, so an earlier export could never be chosen again to be replaced. Here a typed
// name of an existing folder asks to replace it, as for a file; the export itself decides
// whether the folder may be replaced. Folders are still opened from the list.
class PackageSaveDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

    void accept() override
    {
        const QStringList files = selectedFiles();
        const auto *nameEdit = findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        const QString typed = nameEdit ? nameEdit->text() : QString();
        const bool namesAFolder = files.size() == 1 && QFileInfo(files.first()).isDir()
            && !typed.isEmpty() && !typed.endsWith(QLatin1Char('/')) && typed != QStringLiteral(".")
            && typed != QStringLiteral("..");
        if (!namesAFolder) {
            QFileDialog::accept();
            return;
        }
        const auto answer = QMessageBox::warning(
            this, windowTitle(),
            QStringLiteral("\u201C%1\u201D already exists. Do you want to replace it?")
                .arg(QFileInfo(files.first()).fileName()),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer == QMessageBox::Yes)
            QDialog::accept();
    }
};

} // namespace

DialogExportUserInterface::DialogExportUserInterface(QWidget *parent) : m_parent(parent) {}

FilePanel *DialogExportUserInterface::makeSavePanel(const ExportPanelRequest &request)
{
    FileDialogPanel *panel = nullptr;
    const QString caption = QStringLiteral("Export");
    const QString directory = request.directory.value_or(QString());
    if (request.moviesOnly) {
        panel = FileDialogPanel::savePanel(m_parent, caption, directory,
                                           QStringLiteral("Movies (*.mov)"), QStringLiteral("mov"));
    } else {
        auto *packageDialog = new PackageSaveDialog(m_parent, caption, directory);
        packageDialog->setAcceptMode(QFileDialog::AcceptSave);
        packageDialog->setFileMode(QFileDialog::AnyFile);
        panel = new FileDialogPanel(packageDialog);
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
