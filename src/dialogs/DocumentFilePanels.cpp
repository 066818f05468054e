#include "dialogs/DocumentFilePanels.h"

#include "dialogs/FileDialogPanel.h"

#include <QDir>
#include <QStandardPaths>

namespace lumacast {

namespace {
QString documentsFolder()
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return documents.isEmpty() ? QDir::homePath() : documents;
}
} // namespace

FilePanel *DocumentFilePanels::makeOpenPanel()
{
    // A package is a folder: the panel picks folders and accepts only those named *.lumacast. Qt's
    // panel has no message line, so the message is its title.
    auto *panel = FileDialogPanel::openPanel(nullptr, QStringLiteral("Choose a .lumacast recording"), documentsFolder(),
                                             QStringLiteral("Lumacast recordings (*.lumacast)"),
                                             QFileDialog::Directory);
    return panel;
}

FilePanel *DocumentFilePanels::makeSavePanel(const QString &nameFieldText)
{
    auto *panel = FileDialogPanel::savePanel(nullptr, QStringLiteral("Save Recording"),
                                             QDir(documentsFolder()).filePath(nameFieldText),
                                             QStringLiteral("Lumacast recordings (*.lumacast)"),
                                             QStringLiteral("lumacast"));
    return panel;
}

} // namespace lumacast
