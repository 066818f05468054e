#pragma once

#include "model/Error.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

// The records both editing-timeline writers format from, and the few text helpers they share.
// Everything here is QtCore only, so the writers can be tested without any media.
namespace lumacast::timeline_export {

// One checked take, measured and copied into the package's "media" folder.
struct Clip {
    QString name;         // "Scene 2 — Take 1" or the user's names
    QString filename;     // the take's movie name, kept unchanged in the package
    QString copiedURL;    // absolute local path of the copy inside "media"
    double fullDuration = 0; // seconds, as the copied movie reports it
    double trimStart = 0;    // seconds into the movie where the clip starts
    double trimmedDuration = 0;
    int width = 1920;
    int height = 1080;
    double fps = 60;
    QList<int> audioTrackChannels; // one entry per audio track; empty without audio
    int audioRate = 48000;

    friend bool operator==(const Clip &, const Clip &) = default;
};

// The failures of an editing-timeline export that are ours rather than the file system's
// (FileSystemError) or the media layer's: domain "Lumacast.TimelineExport.ExportError", code the
// case's position in `Kind`, the user-facing text as the description. Named apart from the movie
// exporter's session_exporter::ExportError so that either can be named without its namespace.
class TimelineExportError : public Error {
public:
    enum class Kind {
        missingSource,             // payload: the take's file name
        destinationNotReplaceable, // payload: the chosen folder's last path component
        noSelectedTakes,
        destinationHoldsSession,   // payload: the chosen folder's last path component
        unwritableTime, // a time that has no text form in the document
        takeWithoutTracks, // payload: the clip's name; its movie holds no track that can be read
    };

    static TimelineExportError missingSource(const QString &filename);
    static TimelineExportError destinationNotReplaceable(const QString &lastComponent);
    static TimelineExportError noSelectedTakes();
    static TimelineExportError destinationHoldsSession(const QString &lastComponent);
    static TimelineExportError unwritableTime(double seconds);
    static TimelineExportError takeWithoutTracks(const QString &clipName);

    Kind kind() const { return m_kind; }
    const QString &payload() const { return m_payload; }

private:
    TimelineExportError(Kind kind, QString payload, QString description);

    Kind m_kind;
    QString m_payload;
};

// Replaces & < > " ' by their entities, each once, and what XML 1.0 cannot carry by what it can:
// a control character other than tab, line feed and return by a space, a lone surrogate or
// U+FFFE/U+FFFF by U+FFFD. Names pasted from anywhere so make a document every reader takes.
QString escapeXML(const QString &text);

// The percent-encoded "file:" URL of an absolute local path (a space becomes %20).
QString fileURLText(const QString &absolutePath);

// Nearest integer, halves away from zero; nothing when the value is not finite or does not fit a
// signed 64-bit integer.
std::optional<std::int64_t> roundedToInt64(double value);

// The whole rate (24, 30, 48, 60 or 120) an NTSC frame rate (23.976, 29.97, 47.952, 59.94 or
// 119.88, within 0.05) runs 1000/1001 slower than; nothing for any other rate, whole rates
// included.
std::optional<int> ntscTimebase(double fps);

// Where one clip lies on the timeline and in its movie, in whole frames of the timeline's rate.
struct ClipFrames {
    std::int64_t offset = 0;   // the timeline frame the clip starts on
    std::int64_t length = 0;   // frames on the timeline, and as many taken from the movie
    std::int64_t in = 0;       // the movie's frame the clip starts at
    std::int64_t sourceLength = 0; // the movie's whole length; never shorter than in + length

    std::int64_t end() const { return offset + length; }
    std::int64_t out() const { return in + length; }
};

struct TimelineFrames {
    QList<ClipFrames> clips;
    std::int64_t total = 0; // the sequence's length: where the last clip ends
};

// A frame count of seconds at the timeline's rate, nothing when it has none.
using FrameCount = std::function<std::optional<std::int64_t>(double seconds)>;

// Lays the clips end to end, counting frames once, at frame boundaries: a trim between two frames
// must not open a gap in the timeline, nor make a clip longer on the timeline than in its movie,
// as rounding each time on its own would. A clip starts at the count of the earlier clips' summed
// lengths and ends at that of the sum including it; it takes as many frames from its movie,
// starting at the count of its trim start, moved back when that would run past the movie's
// counted end. Frame-aligned clips give what rounding each time gives. Throws
// TimelineExportError (unwritableTime) for a time without a frame count.
TimelineFrames timelineFrames(const QList<Clip> &clips, const FrameCount &frames);

} // namespace lumacast::timeline_export
