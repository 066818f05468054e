#pragma once

#include "media/ExportCoordinator.h"

#include <QString>

#include <functional>

namespace lumacast {

class AppStateManager;

// The manager's side of the three exports (movie, FCPXML, FCP7 XML): the silent refusals, the
// history-log line, the published progress for the progress sheet and the result alerts; and
// the user's "Check for Updates…". Works on the manager's fields; the manager owns it.
// Main thread only; the export service may report from its own tasks through a handler that
// holds the manager weakly.
class ExportLauncher {
public:
    enum class Kind { video, fcpxml, fcp7xml };
    using Revealer = std::function<void(const QString &path)>;

    explicit ExportLauncher(AppStateManager &manager);

    void startExport(Kind kind);
    // `exportedFolder`: the folder of the recording the export reads (its package), whose history
    // log gets the result even when another recording is open by then.
    void handleExportResult(const ExportEvent &event, const QString &label, const QString &exportedFolder);
    void showExportComplete(const QString &location);
    // "Show in File Manager" found neither a file manager nor an opener for the folder.
    void showRevealFailed(const QString &path, const QString &folder);
    void checkForUpdates();

    // Shows a written file in the desktop's file manager; replaced in tests.
    void setRevealer(Revealer revealer) { m_reveal = std::move(revealer); }

private:
    // Appends to the history of the recording in `folder`: the open history log when that
    // recording is the open one, else that recording's own log, opened for the line.
    void appendToHistoryOf(const QString &folder, const QString &line);

    AppStateManager &m;
    Revealer m_reveal;
};

} // namespace lumacast
