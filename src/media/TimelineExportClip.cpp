#include "media/TimelineExportClip.h"

#include "media/ExportErrors.h"

#include <QUrl>

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
    QString result = text;
    result.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    result.replace(QLatin1Char('<'), QLatin1String("&lt;"));
    result.replace(QLatin1Char('>'), QLatin1String("&gt;"));
    result.replace(QLatin1Char('"'), QLatin1String("&quot;"));
    result.replace(QLatin1Char('\''), QLatin1String("&apos;"));
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

} // namespace lumacast::timeline_export
