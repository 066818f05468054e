#include "ApplicationExport.h"

#include "capture/TakeWriter.h"
#include "media/MovieExport.h"
#include "dialogs/ExportDialogs.h"
#include "store/FilePanelGuard.h"
#include "store/Preferences.h"

namespace lumacast {

std::unique_ptr<ExportCoordinator> makeApplicationExportCoordinator(DialogExportUserInterface &ui)
{
    session_exporter::MovieExportOptions options;
    options.videoSettings = &TakeWriter::videoSettings;
    return std::make_unique<ExportCoordinator>(ui, Preferences::shared(), FilePanelGuard::shared(),
                                               session_exporter::movieExportWork(std::move(options)));
}

} // namespace lumacast
