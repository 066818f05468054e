#pragma once

#include "store/FilePanelGuard.h"

#include <QFileDialog>
#include <QPointer>

namespace lumacast {

// A file panel backed by a QFileDialog that the caller has configured (mode, filters, default
// suffix, native or not). The panel owns the dialog; the dialog is shown without modality, so the
// rest of the application stays usable while it is up.
class FileDialogPanel : public FilePanel {
    Q_OBJECT
public:
    explicit FileDialogPanel(QFileDialog *dialog, QObject *parent = nullptr);
    ~FileDialogPanel() override;

    // A save panel for one path, taken as typed and ending in `defaultSuffix` unless that is
    // empty, asking before it overwrites an existing item (SaveFileDialog).
    static FileDialogPanel *savePanel(QWidget *parent, const QString &caption,
                                      const QString &directory, const QString &nameFilter,
                                      const QString &defaultSuffix);
    // An open panel for one existing item; a ".lumacast" package is a folder, so document
    // panels pass QFileDialog::Directory.
    static FileDialogPanel *openPanel(QWidget *parent, const QString &caption,
                                      const QString &directory, const QString &nameFilter,
                                      QFileDialog::FileMode mode = QFileDialog::ExistingFile);

    void showPanel() override;
    void bringToFront() override;

    QFileDialog *dialog() const { return m_dialog.data(); }

private:
    QPointer<QFileDialog> m_dialog;
};

} // namespace lumacast
