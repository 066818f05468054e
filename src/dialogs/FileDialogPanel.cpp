#include "dialogs/FileDialogPanel.h"

#include "dialogs/FrontWindow.h"
#include "dialogs/SaveFileDialog.h"

#include <QFileDialog>

namespace lumacast {

FileDialogPanel::FileDialogPanel(QFileDialog *dialog, QObject *parent)
    : FilePanel(parent), m_dialog(dialog)
{
    Q_ASSERT(dialog);
    m_dialog->setWindowModality(Qt::NonModal);
    connect(m_dialog, &QDialog::finished, this, [this](int result) {
        const bool accepted = result == QDialog::Accepted;
        QStringList chosen;
        if (accepted && m_dialog) {
            const auto *save = qobject_cast<SaveFileDialog *>(m_dialog.data());
            chosen = save ? QStringList{save->chosenPath()} : m_dialog->selectedFiles();
            chosen.removeAll(QString());
        }
        emit finished(accepted, chosen);
    });
    // The dialog may go away with its parent window without answering: that is a cancel, and
    // the panel goes with it.
    connect(m_dialog, &QObject::destroyed, this, [this] {
        emit finished(false, {});
        deleteLater();
    });
}

FileDialogPanel::~FileDialogPanel()
{
    if (m_dialog)
        m_dialog->deleteLater();
}

FileDialogPanel *FileDialogPanel::savePanel(QWidget *parent, const QString &caption,
                                            const QString &directory, const QString &nameFilter,
                                            const QString &defaultSuffix)
{
    return new FileDialogPanel(new SaveFileDialog(parent, caption, directory, nameFilter, defaultSuffix));
}

FileDialogPanel *FileDialogPanel::openPanel(QWidget *parent, const QString &caption,
                                            const QString &directory, const QString &nameFilter,
                                            QFileDialog::FileMode mode)
{
    auto *dialog = new QFileDialog(parent, caption, directory, nameFilter);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(mode);
    return new FileDialogPanel(dialog);
}

void FileDialogPanel::showPanel()
{
    if (!m_dialog)
        return;
    m_dialog->show();
    bringToFront();
}

void FileDialogPanel::bringToFront()
{
    if (!m_dialog)
        return;
    m_dialog->show();
    FrontWindow::bring(m_dialog);
}

} // namespace lumacast
