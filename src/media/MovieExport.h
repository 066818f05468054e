#pragma once

#include "media/ConcatenationComposition.h"
#include "media/ExportCoordinator.h"
#include "model/Session.h"

#include <QCoroTask>
#include <QHash>
#include <QList>
#include <QString>
#include <QUuid>

#include <functional>

namespace lumacast::session_exporter {

struct MovieExportOptions {
    // The take writer's video settings for a frame size (TakeWriter::videoSettings). Without
    // one, the media layer's defaults for that size are used, which are what the take writer
    // asks for.
    VideoSettingsSource videoSettings;
    // The system audio's level in a mixdown; Preferences::shared()'s, read on the calling thread
    // as the export starts, when not given.
    std::function<double()> systemAudioMixLevel;
    // Called before each re-encoded frame is handed to the writer with the number written so
    // far; a throw from it is a failure of the writer. For tests of failure handling.
    std::function<void(qint64 framesWritten)> beforeVideoAppend;
    // What a message calls each take, by take id ("Scene 2 — Take 1"); a take without an entry
    // is called by its movie's file name.
    QHash<QUuid, QString> takeNames;
};

// Writes the checked takes' kept ranges, in order, as one QuickTime movie at `destination`:
// passed through when the takes share one frame size (the audio mixed down to one stereo track
// when some take has system audio), otherwise with the other-sized takes re-encoded onto a canvas
// of the largest size. `onProgress` (0 to 1) is called on the calling (main) thread, never after
// the task has ended. The destination is replaced only by a complete movie. A take whose movie
// holds no track that can be read is refused before anything is written
// (ExportError::takeWithoutTracks).
QCoro::Task<void> exportMovie(QList<Take> takes, QString takesFolder, QString destination,
                              std::function<void(double)> onProgress, MovieExportOptions options = {});

// The coordinator's work with this exporter as its movie export.
ExportWork movieExportWork(MovieExportOptions options = {});

} // namespace lumacast::session_exporter
