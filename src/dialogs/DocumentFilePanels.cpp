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
    // A package is a folder: the panel picks folders and accepts only those named *.lumacast.
    auto *panel = FileDialogPanel::openPanel(nullptr, QStringLiteral("Open Recording"), documentsFolder(),
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
