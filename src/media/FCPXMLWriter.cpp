#include "media/FCPXMLWriter.h"

#include <cmath>
#include <optional>

namespace lumacast {

using timeline_export::Clip;
using timeline_export::TimelineExportError;
using timeline_export::escapeXML;

namespace {

QString attr(const char *name, const QString &value)
{
    return QLatin1Char(' ') + QLatin1String(name) + QLatin1String("=\"") + value
        + QLatin1Char('"');
}

QString attr(const char *name, qint64 value)
{
    return attr(name, QString::number(value));
}

QString indent(int spaces)
{
    return QString(spaces, QLatin1Char(' '));
}

std::optional<std::int64_t> frameCount(double seconds, std::int64_t num, std::int64_t den)
{
    if (num <= 0 || den <= 0)
        return std::nullopt;
    return timeline_export::roundedToInt64(seconds * double(den) / double(num));
}

std::optional<QString> framesText(std::int64_t frames, std::int64_t num, std::int64_t den)
{
    std::int64_t units = 0;
    if (__builtin_mul_overflow(frames, num, &units))
        return std::nullopt;
    return QString::number(units) + QLatin1Char('/') + QString::number(den) + QLatin1Char('s');
}

QString timeText(std::int64_t frames, const FCPXMLFrameDuration &frame)
{
    if (auto text = framesText(frames, frame.num, frame.den))
        return *text;
    throw TimelineExportError::unwritableTime(double(frames) * double(frame.num) / double(frame.den));
}

int channelSum(const Clip &clip)
{
    int sum = 0;
    for (int channels : clip.audioTrackChannels)
        sum += channels;
    return sum;
}

} // namespace

FCPXMLFrameDuration fcpxmlFrameDuration(double fps)
{
    if (const auto ntsc = timeline_export::ntscTimebase(fps))
        return {1001, *ntsc * 1000};
    const auto n = timeline_export::roundedToInt64(fps);
    if (!n || *n <= 0)
        return {100, 6000};
    if (6000 % *n == 0)
        return {6000 / *n, 6000};
    return {1, *n};
}

std::optional<QString> fcpxmlTime(double seconds, std::int64_t num, std::int64_t den)
{
    const auto frames = frameCount(seconds, num, den);
    if (!frames)
        return std::nullopt;
    return framesText(*frames, num, den);
}

QString fcpxmlFormatID(int width, int height, std::map<QString, QString> &formatTable,
                       QStringList &formatLines, const QString &frameDurationText)
{
    const QString key = QString::number(width) + QLatin1Char('x') + QString::number(height);
    if (auto known = formatTable.find(key); known != formatTable.end())
        return known->second;
    const QString id = QLatin1Char('f') + QString::number(formatTable.size() + 1);
    formatTable.emplace(key, id);
    formatLines.append(indent(8) + QLatin1String("<format") + attr("id", id)
                       + attr("name", QLatin1String("Lumacast ") + key)
                       + attr("frameDuration", frameDurationText) + attr("width", width)
                       + attr("height", height) + attr("colorSpace", QStringLiteral("1-1-1 (Rec. 709)"))
                       + QLatin1String("/>"));
    return id;
}

QString fcpxmlAudioRateName(int sampleRate)
{
    switch (sampleRate) {
    case 32000: return QStringLiteral("32k");
    case 44100: return QStringLiteral("44.1k");
    case 88200: return QStringLiteral("88.2k");
    case 96000: return QStringLiteral("96k");
    case 176400: return QStringLiteral("176.4k");
    case 192000: return QStringLiteral("192k");
    default: return QStringLiteral("48k");
    }
}

QString buildFCPXML(const QList<Clip> &clips, const QString &name)
{
    const FCPXMLFrameDuration frame = fcpxmlFrameDuration(clips.isEmpty() ? 60 : clips.first().fps);
    const QString frameDurationText =
        QString::number(frame.num) + QLatin1Char('/') + QString::number(frame.den) + QLatin1Char('s');
    const QString escapedName = escapeXML(name);

    std::map<QString, QString> formatTable;
    QStringList formatLines;
    QStringList assetLines;
    QStringList clipLines;
    const timeline_export::TimelineFrames layout = timeline_export::timelineFrames(
        clips, [&frame](double seconds) { return frameCount(seconds, frame.num, frame.den); });
    for (qsizetype i = 0; i < clips.size(); ++i) {
        const Clip &clip = clips[i];
        const timeline_export::ClipFrames &placed = layout.clips[i];
        const QString formatID =
            fcpxmlFormatID(clip.width, clip.height, formatTable, formatLines, frameDurationText);
        const QString assetID = QLatin1Char('a') + QString::number(i + 1);
        const QString clipName = escapeXML(clip.name);
        const qsizetype audioTracks = clip.audioTrackChannels.size();

        QString asset = indent(8) + QLatin1String("<asset") + attr("id", assetID)
            + attr("name", clipName) + attr("start", QStringLiteral("0s"))
            + attr("duration", timeText(placed.sourceLength, frame))
            + attr("hasVideo", QStringLiteral("1")) + attr("format", formatID);
        if (audioTracks > 0) {
            asset += attr("hasAudio", QStringLiteral("1")) + attr("audioSources", audioTracks)
                + attr("audioChannels", channelSum(clip)) + attr("audioRate", clip.audioRate);
        }
        asset += QLatin1Char('>');
        assetLines.append(asset);
        // The location is escaped like every other value: a package named "Q&A Talk" must
        // still give a readable document.
        assetLines.append(indent(12) + QLatin1String("<media-rep")
                          + attr("kind", QStringLiteral("original-media"))
                          + attr("src", escapeXML(timeline_export::fileURLText(clip.copiedURL)))
                          + QLatin1String("/>"));
        assetLines.append(indent(8) + QLatin1String("</asset>"));

        QString clipLine = indent(16) + QLatin1String("<asset-clip") + attr("ref", assetID)
            + attr("name", clipName) + attr("offset", timeText(placed.offset, frame))
            + attr("start", timeText(placed.in, frame))
            + attr("duration", timeText(placed.length, frame)) + attr("format", formatID)
            + attr("tcFormat", QStringLiteral("NDF"));
        if (audioTracks < 2) {
            clipLines.append(clipLine + QLatin1String("/>"));
        } else {
            const int first = clip.audioTrackChannels.first();
            const int sum = channelSum(clip);
            const QString dialogue =
                first == 1 ? QStringLiteral("1") : QStringLiteral("1, ") + QString::number(first);
            const QString effects = first + 1 == sum
                ? QString::number(first + 1)
                : QString::number(first + 1) + QLatin1String(", ") + QString::number(sum);
            clipLines.append(clipLine + QLatin1Char('>'));
            clipLines.append(indent(20) + QLatin1String("<audio-channel-source")
                             + attr("srcCh", dialogue) + attr("role", QStringLiteral("dialogue"))
                             + QLatin1String("/>"));
            clipLines.append(indent(20) + QLatin1String("<audio-channel-source")
                             + attr("srcCh", effects) + attr("role", QStringLiteral("effects"))
                             + QLatin1String("/>"));
            clipLines.append(indent(16) + QLatin1String("</asset-clip>"));
        }
    }

    const int firstRate = clips.isEmpty() ? 48000 : clips.first().audioRate;
    QStringList lines;
    lines << QStringLiteral("<?xml") + attr("version", QStringLiteral("1.0"))
            + attr("encoding", QStringLiteral("UTF-8")) + QStringLiteral("?>")
          << QStringLiteral("<!DOCTYPE fcpxml>")
          << QStringLiteral("<fcpxml") + attr("version", QStringLiteral("1.10")) + QLatin1Char('>')
          << indent(4) + QStringLiteral("<resources>")
          << formatLines.join(QLatin1Char('\n')) + QLatin1Char('\n')
                + assetLines.join(QLatin1Char('\n')) + QLatin1Char('\n') + indent(4)
                + QStringLiteral("</resources>")
          << indent(4) + QStringLiteral("<library>")
          << indent(8) + QStringLiteral("<event") + attr("name", escapedName) + QLatin1Char('>')
          << indent(12) + QStringLiteral("<project") + attr("name", escapedName) + QLatin1Char('>')
          << indent(16) + QStringLiteral("<sequence") + attr("format", QStringLiteral("f1"))
                + attr("duration", timeText(layout.total, frame)) + attr("tcStart", QStringLiteral("0s"))
                + attr("tcFormat", QStringLiteral("NDF"))
                + attr("audioLayout", QStringLiteral("stereo"))
                + attr("audioRate", fcpxmlAudioRateName(firstRate)) + QLatin1Char('>')
          << indent(20) + QStringLiteral("<spine>")
          << clipLines.join(QLatin1Char('\n')) + QLatin1Char('\n') + indent(20)
                + QStringLiteral("</spine>")
          << indent(16) + QStringLiteral("</sequence>")
          << indent(12) + QStringLiteral("</project>")
          << indent(8) + QStringLiteral("</event>")
          << indent(4) + QStringLiteral("</library>")
          << QStringLiteral("</fcpxml>");
    return lines.join(QLatin1Char('\n'));
}

QCoro::Task<void> writeFCPXMLPackage(Session session, QString name, QString packageFolder,
                                     timeline_export::MovieLoader loader)
{
    return timeline_export::writePackage(
        std::move(session), std::move(name), std::move(packageFolder), std::move(loader),
        {QStringLiteral(".fcpxml"), QStringLiteral("FCPXML"), buildFCPXML});
}

} // namespace lumacast
