#include "Commands.h"

#include "platform/av/Asset.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace lumacast::av;

namespace {

QJsonObject timeObject(const MediaTime &t)
{
    return QJsonObject{{QStringLiteral("value"), double(t.value)},
                       {QStringLiteral("timescale"), t.timescale},
                       {QStringLiteral("seconds"), t.isNumeric() ? QJsonValue(t.seconds()) : QJsonValue()}};
}

QJsonObject formatObject(const FormatDescription &f)
{
    QJsonObject o{{QStringLiteral("codecTag"), QString::fromLatin1(f.codecTag)},
                  {QStringLiteral("codec"), f.codecName},
                  {QStringLiteral("formatID"), double(f.formatID)}};
    if (f.mediaType == MediaType::Video) {
        o.insert(QStringLiteral("width"), f.width);
        o.insert(QStringLiteral("height"), f.height);
        o.insert(QStringLiteral("parameterSets"), QString::fromLatin1(f.parameterSets.toHex()));
        if (f.color)
            o.insert(QStringLiteral("colour"),
                     QJsonObject{{QStringLiteral("primaries"), f.color->primaries},
                                 {QStringLiteral("transfer"), f.color->transfer},
                                 {QStringLiteral("matrix"), f.color->matrix},
                                 {QStringLiteral("fullRange"), f.color->fullRange}});
        if (f.pixelAspect)
            o.insert(QStringLiteral("pixelAspect"), QJsonArray{f.pixelAspect->first, f.pixelAspect->second});
    } else if (f.mediaType == MediaType::Audio) {
        o.insert(QStringLiteral("sampleRate"), f.sampleRate);
        o.insert(QStringLiteral("channels"), f.channels);
        if (!f.channelLayout.isEmpty())
            o.insert(QStringLiteral("channelLayout"), QString::fromLatin1(f.channelLayout.toHex()));
        if (!f.audioSpecificConfig.isEmpty())
            o.insert(QStringLiteral("audioSpecificConfig"), QString::fromLatin1(f.audioSpecificConfig.toHex()));
        if (f.averageBitRate > 0)
            o.insert(QStringLiteral("averageBitRate"), double(f.averageBitRate));
    }
    return o;
}

int probe(const QStringList &args)
{
    if (args.size() != 1) {
        lumacast_media::err(QStringLiteral("usage: lumacast-media probe FILE"));
        return 2;
    }
    try {
        const auto asset = Asset::open(args.first());
        // A movie whose every track box is unreadable is no movie, whatever libavformat says.
        if (asset->tracks().isEmpty())
            throw MediaError(MediaError::mediaDomain(), MediaError::NoSuchTrack,
                             QStringLiteral("The movie \u201C%1\u201D has no readable track.")
                                 .arg(QFileInfo(args.first()).fileName()));
        QJsonArray tracks;
        for (const AssetTrack &t : asset->tracks()) {
            QJsonArray formats;
            for (const FormatDescription &f : t.formatDescriptions)
                formats.append(formatObject(f));
            QJsonObject track{{QStringLiteral("index"), t.index},
                              {QStringLiteral("trackID"), double(t.trackID)},
                              {QStringLiteral("mediaType"), mediaTypeIdentifier(t.mediaType)},
                              {QStringLiteral("formatDescriptions"), formats},
                              {QStringLiteral("timeRange"),
                               QJsonObject{{QStringLiteral("start"), timeObject(t.timeRange.start)},
                                           {QStringLiteral("duration"), timeObject(t.timeRange.duration)}}},
                              {QStringLiteral("naturalTimescale"), t.naturalTimescale}};
            if (t.mediaType == MediaType::Video) {
                track.insert(QStringLiteral("naturalSize"),
                             QJsonArray{t.naturalSize.width(), t.naturalSize.height()});
                const AffineTransform &m = t.preferredTransform;
                track.insert(QStringLiteral("preferredTransform"), QJsonArray{m.a, m.b, m.c, m.d, m.tx, m.ty});
                track.insert(QStringLiteral("nominalFrameRate"), t.nominalFrameRate);
            }
            if (const TrackStructure *ts = asset->trackStructure(t)) {
                QJsonArray edits;
                for (const EditEntry &e : ts->edits)
                    edits.append(QJsonObject{{QStringLiteral("segmentDuration"), double(e.segmentDuration)},
                                             {QStringLiteral("mediaTime"), double(e.mediaTime)},
                                             {QStringLiteral("rate"), e.rate}});
                track.insert(QStringLiteral("edits"), edits);
                track.insert(QStringLiteral("sampleCount"), double(ts->samples.size()));
            }
            tracks.append(track);
        }
        const QJsonObject root{{QStringLiteral("path"), asset->path()},
                               {QStringLiteral("duration"), timeObject(asset->duration())},
                               {QStringLiteral("tracks"), tracks}};
        lumacast_media::out(QString::fromUtf8(QJsonDocument(root).toJson(QJsonDocument::Indented)).trimmed());
        return 0;
    } catch (const MediaError &error) {
        lumacast_media::err(describeErrorChain(error));
        return 1;
    }
}

lumacast_media::CommandRegistration reg{QStringLiteral("probe"), QStringLiteral("probe FILE"), probe};

} // namespace
