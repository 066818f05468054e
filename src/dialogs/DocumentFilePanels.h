#pragma once

#include "control/ShellServices.h"

namespace lumacast {

// The document commands' open and save panels: QFileDialogs for ".lumacast" packages, which
// are folders. Main thread only; the caller owns each panel.
class DocumentFilePanels final : public FilePanelService {
public:
    FilePanel *makeOpenPanel() override;
    FilePanel *makeSavePanel(const QString &nameFieldText) override;
};

} // namespace lumacast
