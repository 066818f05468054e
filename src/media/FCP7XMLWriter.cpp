#include "media/FCP7XMLWriter.h"

#include <QStringList>

#include <climits>
#include <cmath>
#include <optional>

namespace lumacast {

using timeline_export::Clip;
using timeline_export::TimelineExportError;
using timeline_export::escapeXML;

namespace {

QString indent(int spaces)
{
    return QString(spaces, QLatin1Char(' '));
}

QString element(const char *name, const QString &value)
{
    return QLatin1Char('<') + QLatin1String(name) + QLatin1Char('>') + value + QLatin1String("</")
        + QLatin1String(name) + QLatin1Char('>');
}

QString element(const char *name, qint64 value)
{
    return element(name, QString::number(value));
}

QString startTag(const char *name, const QString &id)
{
    return QLatin1Char('<') + QLatin1String(name) + QLatin1String(" id=\"") + id
        + QLatin1String("\">");
}

class Document {
public:
    Document(const QList<Clip> &clips, const QString &name)
        : m_clips(clips)
        , m_name(name)
        , m_timebase(fcp7TimebaseForFrameRate(clips.isEmpty() ? 60 : clips.first().fps))
    {
        m_rateBlock = QLatin1String("<rate><timebase>") + QString::number(m_timebase.timebase)
            + QLatin1String("</timebase><ntsc>")
            + (m_timebase.ntsc ? QLatin1String("TRUE") : QLatin1String("FALSE"))
            + QLatin1String("</ntsc></rate>");
    }

    QString build() const
    {
        const int width = m_clips.isEmpty() ? 1920 : m_clips.first().width;
        const int height = m_clips.isEmpty() ? 1080 : m_clips.first().height;

        QStringList videoItems;
        QStringList firstAudioItems;
        QStringList secondAudioItems;
        const timeline_export::TimelineFrames layout = timeline_export::timelineFrames(
            m_clips, [this](double seconds) { return frames(seconds); });
        for (qsizetype i = 0; i < m_clips.size(); ++i) {
            const Clip &clip = m_clips[i];
            const timeline_export::ClipFrames &times = layout.clips[i];
            const int n = int(i + 1);
            const QString links = linkBlocks(clip, n);
            videoItems.append(videoItem(clip, n, times, links));
            firstAudioItems.append(audioItem(clip, n, times, links, 1));
            if (clip.audioTrackChannels.size() >= 2)
                secondAudioItems.append(audioItem(clip, n, times, links, 2));
        }

        QStringList lines;
        lines << QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>")
              << QStringLiteral("<!DOCTYPE xmeml>")
              << QStringLiteral("<xmeml version=\"5\">")
              << indent(4) + startTag("sequence", QStringLiteral("sequence-1"))
              << indent(8) + element("name", escapeXML(m_name))
              << indent(8) + element("duration", layout.total)
              << indent(8) + m_rateBlock
              << indent(8) + QStringLiteral("<media>")
              << indent(12) + QStringLiteral("<video>")
              << indent(16) + QStringLiteral("<format>")
              << indent(20)
                    + element("samplecharacteristics",
                              m_rateBlock + element("width", width) + element("height", height)
                                  + element("pixelaspectratio", QStringLiteral("square")))
              << indent(16) + QStringLiteral("</format>")
              << indent(16) + QStringLiteral("<track>")
              << videoItems.join(QLatin1Char('\n'))
              << indent(16) + QStringLiteral("</track>")
              << indent(12) + QStringLiteral("</video>")
              << indent(12) + QStringLiteral("<audio>")
              << indent(16) + QStringLiteral("<track>")
              << firstAudioItems.join(QLatin1Char('\n'))
              << indent(20) + QStringLiteral("</track>");
        if (!secondAudioItems.isEmpty()) {
            lines << indent(20) + QStringLiteral("<track>")
                  << secondAudioItems.join(QLatin1Char('\n'))
                  << indent(20) + QStringLiteral("</track>");
        }
        lines << indent(12) + QStringLiteral("</audio>")
              << indent(8) + QStringLiteral("</media>")
              << indent(4) + QStringLiteral("</sequence>")
              << QStringLiteral("</xmeml>");
        return lines.join(QLatin1Char('\n'));
    }

private:
    using Times = timeline_export::ClipFrames;

    std::optional<std::int64_t> frames(double seconds) const
    {
        return timeline_export::roundedToInt64(seconds * m_timebase.rate);
    }

    static QString videoID(int n) { return QStringLiteral("clipitem-v-") + QString::number(n); }
    static QString firstAudioID(int n) { return QStringLiteral("clipitem-a1-") + QString::number(n); }
    static QString secondAudioID(int n) { return QStringLiteral("clipitem-a2-") + QString::number(n); }
    static QString fileID(int n) { return QStringLiteral("file-") + QString::number(n); }

    static QString linkBlock(const QString &ref, const char *mediaType, int track, int clipIndex,
                             int group)
    {
        QStringList lines;
        lines << indent(20) + QStringLiteral("<link>")
              << indent(24) + element("linkclipref", ref)
              << indent(24) + element("mediatype", QLatin1String(mediaType))
              << indent(24) + element("trackindex", track)
              << indent(24) + element("clipindex", clipIndex)
              << indent(24) + element("groupindex", group)
              << indent(20) + QStringLiteral("</link>");
        return lines.join(QLatin1Char('\n'));
    }

    static QString linkBlocks(const Clip &clip, int n)
    {
        QStringList blocks;
        blocks << linkBlock(videoID(n), "video", 1, 1, n)
               << linkBlock(firstAudioID(n), "audio", 1, 2, n);
        if (clip.audioTrackChannels.size() >= 2)
            blocks << linkBlock(secondAudioID(n), "audio", 2, 2, n);
        return blocks.join(QLatin1Char('\n'));
    }

    // The eight lines every clip item of a clip starts with.
    QStringList itemHead(const Clip &clip, const QString &id, int n, const Times &times) const
    {
        QStringList lines;
        lines << indent(12) + startTag("clipitem", id)
              << indent(16) + element("name", escapeXML(clip.name))
              << indent(16) + element("masterclipid", QStringLiteral("masterclip-") + QString::number(n))
              << indent(16) + m_rateBlock
              << indent(16) + element("start", times.offset)
              << indent(16) + element("end", times.end())
              << indent(16) + element("in", times.in)
              << indent(16) + element("out", times.out());
        return lines;
    }

    QString videoItem(const Clip &clip, int n, const Times &times, const QString &links) const
    {
        int channels = 0;
        for (int count : clip.audioTrackChannels)
            channels += count;
        const int sampleRate = m_clips.first().audioRate;
        QStringList lines = itemHead(clip, videoID(n), n, times);
        lines << indent(16) + startTag("file", fileID(n))
              << indent(20) + element("name", escapeXML(clip.filename))
              << indent(20) + element("pathurl", escapeXML(timeline_export::fileURLText(clip.copiedURL)))
              << indent(20) + m_rateBlock
              << indent(20) + element("duration", times.sourceLength)
              << indent(20) + QStringLiteral("<media>")
              << indent(24) + QStringLiteral("<video>")
              << indent(28)
                    + element("samplecharacteristics",
                              m_rateBlock + element("width", clip.width)
                                  + element("height", clip.height))
              << indent(24) + QStringLiteral("</video>")
              << indent(24)
                    + element("audio",
                              element("samplecharacteristics",
                                      element("depth", 16) + element("samplerate", sampleRate))
                                  + element("channelcount", channels < 2 ? 1 : channels))
              << indent(20) + QStringLiteral("</media>")
              << indent(16) + QStringLiteral("</file>")
              << links
              << indent(12) + QStringLiteral("</clipitem>");
        return lines.join(QLatin1Char('\n'));
    }

    QString audioItem(const Clip &clip, int n, const Times &times, const QString &links,
                      int track) const
    {
        QStringList lines =
            itemHead(clip, track == 1 ? firstAudioID(n) : secondAudioID(n), n, times);
        lines << indent(16) + QStringLiteral("<file id=\"") + fileID(n) + QStringLiteral("\"/>")
              << indent(16)
                    + element("sourcetrack",
                              element("mediatype", QStringLiteral("audio"))
                                  + element("trackindex", track))
              << links
              << indent(12) + QStringLiteral("</clipitem>");
        return lines.join(QLatin1Char('\n'));
    }

    const QList<Clip> &m_clips;
    QString m_name;
    FCP7Timebase m_timebase;
    QString m_rateBlock;
};

} // namespace

FCP7Timebase fcp7TimebaseForFrameRate(double fps)
{
    if (const auto ntsc = timeline_export::ntscTimebase(fps))
        return {*ntsc, *ntsc * 1000.0 / 1001.0, true};
    const auto rounded = timeline_export::roundedToInt64(fps);
    int timebase = 1;
    if (rounded && *rounded > 1)
        timebase = *rounded > INT_MAX ? INT_MAX : int(*rounded);
    return {timebase, double(timebase), false};
}

QString buildFCP7XML(const QList<Clip> &clips, const QString &name)
{
    return Document(clips, name).build();
}

QCoro::Task<void> writeFCP7Package(Session session, QString name, QString packageFolder,
                                     timeline_export::MovieLoader loader)
{
    return timeline_export::writePackage(
        std::move(session), std::move(name), std::move(packageFolder), std::move(loader),
        {QStringLiteral(".xml"), QStringLiteral("FCP7 XML"), buildFCP7XML});
}

} // namespace lumacast
