#include "TimelineTestSupport.h"

#include "support/TestEnvironment.h"
#include "support/TestMovie.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <iostream>

namespace lumacast::testing {

using timeline_export::LoadedMovie;

QString fcpxmlDTDPath()
{
    const QString path =
        QFileInfo(QStringLiteral(LUMACAST_SOURCE_DIR "/../shared/formats/FCPXMLv1_10.dtd"))
            .canonicalFilePath();
    return path;
}

::testing::AssertionResult validatesAgainstFCPXMLDTD(const QString &documentPath)
{
    const QString dtd = fcpxmlDTDPath();
    if (dtd.isEmpty()) {
        static bool told = false;
        if (!told) {
            std::cerr << "FCPXML DTD not found beside the repository (../shared/formats); "
                         "checking well-formedness only\n";
            told = true;
        }
        return isWellFormedXML(documentPath);
    }
    const ProcessResult result = runProcess(
        QStringLiteral("xmllint"),
        {QStringLiteral("--noout"), QStringLiteral("--dtdvalid"), dtd, documentPath});
    if (result.ok())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
        << documentPath.toStdString() << " fails the FCPXML DTD: " << result.err.toStdString();
}

::testing::AssertionResult isWellFormedXML(const QString &documentPath)
{
    const ProcessResult result =
        runProcess(QStringLiteral("xmllint"), {QStringLiteral("--noout"), documentPath});
    if (result.ok())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
        << documentPath.toStdString() << " is not well-formed: " << result.err.toStdString();
}

namespace {

double rational(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('/'));
    if (parts.size() == 2 && parts[1].toDouble() != 0)
        return parts[0].toDouble() / parts[1].toDouble();
    return text.toDouble();
}

} // namespace

LoadedMovie loadWithFFprobe(const QString &moviePath)
{
    const ProcessResult result = runProcess(
        QStringLiteral("ffprobe"),
        {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_streams"),
         QStringLiteral("-show_format"), QStringLiteral("-of"), QStringLiteral("json"), moviePath});
    if (!result.ok())
        throw Error(QStringLiteral("ffprobe cannot read ") + moviePath + QStringLiteral(": ")
                    + QString::fromUtf8(result.err));
    const QJsonObject root = QJsonDocument::fromJson(result.out).object();
    LoadedMovie movie;
    movie.duration = root.value(QStringLiteral("format")).toObject().value(QStringLiteral("duration")).toString().toDouble();
    for (const QJsonValue &value : root.value(QStringLiteral("streams")).toArray()) {
        const QJsonObject stream = value.toObject();
        const QString type = stream.value(QStringLiteral("codec_type")).toString();
        if (type == QStringLiteral("video")) {
            timeline_export::LoadedVideoTrack video;
            video.naturalWidth = stream.value(QStringLiteral("width")).toDouble();
            video.naturalHeight = stream.value(QStringLiteral("height")).toDouble();
            video.nominalFrameRate = rational(stream.value(QStringLiteral("avg_frame_rate")).toString());
            for (const QJsonValue &side : stream.value(QStringLiteral("side_data_list")).toArray()) {
                const int rotation = side.toObject().value(QStringLiteral("rotation")).toInt();
                if (rotation == 90 || rotation == -90 || rotation == 270 || rotation == -270) {
                    video.a = 0;
                    video.b = 1;
                    video.c = -1;
                    video.d = 0;
                }
            }
            movie.videoTracks.append(video);
        } else if (type == QStringLiteral("audio")) {
            timeline_export::LoadedAudioDescription description;
            description.channelsPerFrame = stream.value(QStringLiteral("channels")).toInt();
            description.sampleRate = stream.value(QStringLiteral("sample_rate")).toString().toDouble();
            movie.audioTracks.append(timeline_export::LoadedAudioTrack{description});
        }
    }
    return movie;
}

timeline_export::MovieLoader tableLoader(QHash<QString, LoadedMovie> table)
{
    return [table = std::move(table)](const QString &path) {
        const QString name = QFileInfo(path).fileName();
        if (!table.contains(name))
            throw Error(QStringLiteral("no movie facts for ") + name);
        return table.value(name);
    };
}

bool makeMovie(const QString &path, const MovieSpec &spec)
{
    TestMovieSpec movie;
    movie.size = spec.size;
    movie.rate = spec.rate;
    movie.seconds = spec.seconds;
    movie.audioChannels = spec.audioChannels;
    movie.sampleRate = spec.sampleRate;
    const ProcessResult result = makeTestMovie(path, movie);
    if (!result.ok())
        std::cerr << "ffmpeg failed: " << result.err.toStdString() << '\n';
    return result.ok();
}

QString readText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

} // namespace lumacast::testing
