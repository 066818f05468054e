#pragma once

#include "media/TimelineExport.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>
#include <optional>

namespace lumacast {

struct FCPXMLFrameDuration {
    std::int64_t num = 100;
    std::int64_t den = 6000;
    friend bool operator==(const FCPXMLFrameDuration &, const FCPXMLFrameDuration &) = default;
};

// The frame duration every time of a document is counted in: the NTSC rates get their exact
// 1001-based durations, whole rates that divide 6000 a 6000 time base, any other rate 1/n.
FCPXMLFrameDuration fcpxmlFrameDuration(double fps);

// "frames*num/dens" with frames = seconds × den / num rounded half away from zero; nothing when
// the seconds are not finite or the product does not fit a signed 64-bit integer.
std::optional<QString> fcpxmlTime(double seconds, std::int64_t num, std::int64_t den);

// The format id for a frame size; a size not seen before gets the next "fN" and a format line.
QString fcpxmlFormatID(int width, int height, std::map<QString, QString> &formatTable,
                       QStringList &formatLines, const QString &frameDurationText);

// The sequence's audio rate name ("44.1k", "48k", …); any unlisted rate is "48k".
QString fcpxmlAudioRateName(int sampleRate);

// The whole FCPXML 1.10 document for the clips, titled `name`. Throws
// timeline_export::TimelineExportError (unwritableTime) only for a time that has no text form.
QString buildFCPXML(const QList<timeline_export::Clip> &clips, const QString &name);

// Prepares the package folder (see timeline_export::prepare), then writes the document
// "<name>.fcpxml" beside its "media" folder. Errors of either step reach the caller unchanged; a
// failed write leaves the copied media without a document.
QCoro::Task<void> writeFCPXMLPackage(Session session, QString name, QString packageFolder,
                                     timeline_export::MovieLoader loader);

} // namespace lumacast
