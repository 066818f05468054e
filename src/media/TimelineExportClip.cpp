#include "media/TimelineExportClip.h"

#include "media/ExportErrors.h"

#include <QUrl>

#include <algorithm>
#include <cmath>

namespace lumacast::timeline_export {

TimelineExportError::TimelineExportError(Kind kind, QString payload, QString description)
    : Error(QStringLiteral("Lumacast.TimelineExport.ExportError"), int(kind), std::move(description))
    , m_kind(kind)
    , m_payload(std::move(payload))
{
}

TimelineExportError TimelineExportError::missingSource(const QString &filename)
{
    return TimelineExportError(Kind::missingSource, filename,
                       QStringLiteral("Source media is missing: ") + filename);
}

TimelineExportError TimelineExportError::destinationNotReplaceable(const QString &lastComponent)
{
    return TimelineExportError(Kind::destinationNotReplaceable, lastComponent,
                       QStringLiteral("\u201C") + lastComponent
                           + QStringLiteral("\u201D already exists and isn\u2019t a Lumacast export "
                                            "folder, so it wasn\u2019t replaced. Choose a different "
                                            "name, or delete it yourself first."));
}

TimelineExportError TimelineExportError::noSelectedTakes()
{
    return TimelineExportError(Kind::noSelectedTakes, QString(),
                       QStringLiteral("No scenes have a selected take."));
}

TimelineExportError TimelineExportError::destinationHoldsSession(const QString &lastComponent)
{
    return TimelineExportError(Kind::destinationHoldsSession, lastComponent,
                       QStringLiteral("\u201C") + lastComponent
                           + QStringLiteral("\u201D holds the session\u2019s own recordings, so it "
                                            "wasn\u2019t replaced. Choose a different name."));
}

TimelineExportError TimelineExportError::unwritableTime(double seconds)
{
    return TimelineExportError(Kind::unwritableTime, QString::number(seconds),
                       QStringLiteral("A clip time of %1 seconds can\u2019t be written into the "
                                      "timeline document.")
                           .arg(seconds));
}

TimelineExportError TimelineExportError::takeWithoutTracks(const QString &clipName)
{
    return TimelineExportError(Kind::takeWithoutTracks, clipName,
                               session_exporter::ExportError::takeWithoutTracksText(clipName));
}

QString escapeXML(const QString &text)
{
    QString result;
    result.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        switch (c.unicode()) {
        case u'&': result += QLatin1String("&amp;"); continue;
        case u'<': result += QLatin1String("&lt;"); continue;
        case u'>': result += QLatin1String("&gt;"); continue;
        case u'"': result += QLatin1String("&quot;"); continue;
        case u'\'': result += QLatin1String("&apos;"); continue;
        case u'\t':
        case u'\n':
        case u'\r': result += c; continue;
        default: break;
        }
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            result += c;
            result += text.at(++i);
        } else if (c.unicode() < 0x20) {
            // A word processor's line break (U+000B) and the other controls XML cannot carry:
            // the words on either side stay apart.
            result += QLatin1Char(' ');
        } else if (c.isSurrogate() || c.unicode() >= 0xFFFE) {
            result += QChar(QChar::ReplacementCharacter);
        } else {
            result += c;
        }
    }
    return result;
}

QString fileURLText(const QString &absolutePath)
{
    return QString::fromLatin1(QUrl::fromLocalFile(absolutePath).toEncoded());
}

std::optional<std::int64_t> roundedToInt64(double value)
{
    if (!std::isfinite(value))
        return std::nullopt;
    const double rounded = std::round(value);
    // 2^63 is exactly representable; everything strictly below it converts without overflow.
    constexpr double limit = 9223372036854775808.0;
    if (rounded >= limit || rounded < -limit)
        return std::nullopt;
    return static_cast<std::int64_t>(rounded);
}

std::optional<int> ntscTimebase(double fps)
{
    // A whole rate is taken as it is: 30 and 24 lie within the NTSC tolerance of 29.97 and
    // 23.976, but a movie that says exactly 30 frames per second is not an NTSC movie.
    if (!std::isfinite(fps) || fps == std::round(fps))
        return std::nullopt;
    struct NTSC {
        double rate;
        int timebase;
    };
    static constexpr NTSC ntscRates[] = {
        {23.976, 24}, {29.97, 30}, {47.952, 48}, {59.94, 60}, {119.88, 120}};
    for (const NTSC &ntsc : ntscRates)
        if (std::abs(fps - ntsc.rate) < 0.05)
            return ntsc.timebase;
    return std::nullopt;
}

namespace {

std::int64_t counted(const FrameCount &frames, double seconds)
{
    if (auto count = frames(seconds))
        return *count;
    throw TimelineExportError::unwritableTime(seconds);
}

} // namespace

TimelineFrames timelineFrames(const QList<Clip> &clips, const FrameCount &frames)
{
    TimelineFrames result;
    // Summed in seconds and counted once per boundary, so each clip ends where the next starts.
    double elapsed = 0;
    std::int64_t start = 0;
    for (const Clip &clip : clips) {
        elapsed += clip.trimmedDuration;
        ClipFrames placed;
        placed.offset = start;
        placed.length = counted(frames, elapsed) - start;
        placed.in = counted(frames, clip.trimStart);
        placed.sourceLength = counted(frames, clip.fullDuration);
        // A clip that reaches the movie's end may count a frame more than the movie does: it
        // starts a frame earlier rather than asking for a frame after the end; a movie too short
        // even so is counted as long as the clip (it holds part of that frame).
        if (placed.out() > placed.sourceLength)
            placed.in = std::max<std::int64_t>(0, placed.sourceLength - placed.length);
        placed.sourceLength = std::max(placed.sourceLength, placed.out());
        result.clips.append(placed);
        start = placed.end();
    }
    result.total = start;
    return result;
}

} // namespace lumacast::timeline_export
