#pragma once

#include "media/ExportCoordinator.h"

#include <QPointer>
#include <QWidget>

namespace lumacast {

// The export coordinator's panels and alert as widgets: save panels are file dialogs shown
// without modality through FileDialogPanel, the "Nothing to export" alert a modal message box.
class DialogExportUserInterface : public ExportUserInterface {
public:
    // `parent` (optional) is the window the panels and the alert belong to; without one the
    // alert stands over the active window.
    explicit DialogExportUserInterface(QWidget *parent = nullptr);

    FilePanel *makeSavePanel(const ExportPanelRequest &request) override;
    void showNothingToExportAlert() override;

private:
    QPointer<QWidget> m_parent;
};

} // namespace lumacast
