#pragma once

#include <QString>

#include <qcoro/qcorotask.h>

namespace lumacast {

class AppStateManager;

// The end of construction and the launch sequence: the removal of what killed processes left
// (before any document opens), the updater started with the automatic-check setting, then
// (posted) the permission flow, the global hot keys, the removal of scratch folders that never
// held anything and the scan of the scratch folder for recoverable sessions, the reopening of
// the last document (or the empty review window) and the open panel built ahead of use. Works on
// the manager's fields; the manager owns it. Main thread only; failures are logged (a corrupt
// scratch session also gets one alert).
class Launch {
public:
    explicit Launch(AppStateManager &manager);

    // The services block of construction; posts the launch task.
    void startServices();
    QCoro::Task<> runLaunchTask();
    void scanRecoverableSessions();
    void reopenLastDocumentAtLaunch();

    // The scratch folder as the user would type it ("~/.cache/Lumacast/Sessions/").
    static QString scratchFolderForDisplay();

private:
    AppStateManager &m;
};

} // namespace lumacast
