#pragma once

#include "media/TimelineExport.h"

#include <QList>
#include <QString>

namespace lumacast {

struct FCP7Timebase {
    int timebase = 60;
    double rate = 60; // frames per second every frame count is taken at
    bool ntsc = false;
    friend bool operator==(const FCP7Timebase &, const FCP7Timebase &) = default;
};

// The sequence timebase for a frame rate: the NTSC rates give 24, 30, 48, 60 or 120 with the
// 1000/1001 rate; any other rate is rounded half away from zero and raised to at least 1.
FCP7Timebase fcp7TimebaseForFrameRate(double fps);

// The whole "xmeml" version 5 document for the clips, its sequence named `name`. Throws
// timeline_export::TimelineExportError (unwritableTime) only for a time that has no frame count.
QString buildFCP7XML(const QList<timeline_export::Clip> &clips, const QString &name);

// Prepares the package folder (see timeline_export::prepare), then writes the document
// "<name>.xml" beside its "media" folder. Errors of either step reach the caller unchanged; a
// failed write leaves the copied media without a document.
QCoro::Task<void> writeFCP7Package(Session session, QString name, QString packageFolder,
                                     timeline_export::MovieLoader loader);

} // namespace lumacast
