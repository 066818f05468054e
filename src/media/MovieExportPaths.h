#pragma once

// The exporter's three ways of writing the destination; used by the export plan.

#include "media/ConcatenationComposition.h"
#include "media/MovieExport.h"

#include <QSizeF>

#include <atomic>
#include <functional>
#include <memory>

namespace lumacast::session_exporter {

struct ExportContext {
    QList<Take> takes;
    QString takesFolder;
    QString destination;
    MovieExportOptions options;
    // Any thread; null when nobody listens.
    std::function<void(double)> progress;
};

// Every track copied as stored; several sample descriptions where the takes differ.
void exportPassthrough(const ExportContext &context, const RenderedMap &rendered);
// Video copied as stored, microphone and system audio mixed into one AAC track.
void exportWithAudioMixdown(const ExportContext &context, const RenderedMap &rendered);
// All video rendered onto the canvas and encoded anew, audio mixed.
void exportReencodingWholeVideo(const ExportContext &context, bool hasSystemAudio, const QSizeF &canvas);

} // namespace lumacast::session_exporter
