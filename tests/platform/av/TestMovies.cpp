#include "TestMovies.h"

#include "support/TestEnvironment.h"
#include "support/TestMovie.h"

#include <gtest/gtest.h>

namespace lumacast::av::testmovies {

bool makeMovie(const QString &path, double seconds, int fps, int gop, bool withAudio, int width,
               int height, const QStringList &extra)
{
    lumacast::testing::TestMovieSpec spec;
    spec.size = QStringLiteral("%1x%2").arg(width).arg(height);
    spec.rate = QString::number(fps);
    spec.seconds = seconds;
    spec.keyFrameInterval = gop;
    if (withAudio)
        spec.audioChannels = {1};
    spec.audioBitRate = QStringLiteral("96k");
    spec.extra = extra;
    const auto result = lumacast::testing::makeTestMovie(path, spec);
    EXPECT_TRUE(result.ok()) << result.err.toStdString();
    return result.ok();
}

QList<double> decodedFrameTimes(const QString &path, const QString &stream)
{
    const auto result = lumacast::testing::runProcess(
        QStringLiteral("ffprobe"),
        {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"), stream,
         QStringLiteral("-show_entries"), QStringLiteral("frame=pts_time"), QStringLiteral("-of"),
         QStringLiteral("csv=p=0"), path});
    EXPECT_TRUE(result.ok()) << result.err.toStdString();
    QList<double> times;
    for (const QByteArray &line : result.out.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (!trimmed.isEmpty())
            times << trimmed.toDouble();
    }
    return times;
}

QStringList decodedFrameHashes(const QString &path, const QString &stream)
{
    const auto result = lumacast::testing::runProcess(
        QStringLiteral("ffmpeg"),
        {QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"), QStringLiteral("error"),
         QStringLiteral("-i"), path, QStringLiteral("-map"), QStringLiteral("0:") + stream,
         QStringLiteral("-f"), QStringLiteral("framemd5"), QStringLiteral("-")});
    EXPECT_TRUE(result.ok()) << result.err.toStdString();
    QStringList hashes;
    for (const QByteArray &line : result.out.split('\n')) {
        if (line.startsWith('#') || line.trimmed().isEmpty())
            continue;
        hashes << QString::fromLatin1(line.split(',').last().trimmed());
    }
    return hashes;
}

} // namespace lumacast::av::testmovies

namespace lumacast::av::testmovies {

QStringList storedPacketHashes(const QString &path, const QString &stream)
{
    const auto result = lumacast::testing::runProcess(
        QStringLiteral("ffprobe"),
        {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-ignore_editlist"), QStringLiteral("1"),
         QStringLiteral("-select_streams"), stream, QStringLiteral("-show_data_hash"), QStringLiteral("md5"),
         QStringLiteral("-show_entries"), QStringLiteral("packet=data_hash"), QStringLiteral("-of"),
         QStringLiteral("csv=p=0"), path});
    EXPECT_TRUE(result.ok()) << result.err.toStdString();
    QStringList hashes;
    // Packets with side data print extra fields; the hash is the field that names its kind.
    for (const QByteArray &line : result.out.split('\n'))
        for (const QByteArray &field : line.split(','))
            if (field.trimmed().startsWith("MD5:"))
                hashes << QString::fromLatin1(field.trimmed());
    return hashes;
}

qint64 decodedAudioSamples(const QString &path, const QString &stream)
{
    const auto result = lumacast::testing::runProcess(
        QStringLiteral("ffprobe"),
        {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"), stream,
         QStringLiteral("-show_entries"), QStringLiteral("frame=nb_samples"), QStringLiteral("-of"),
         QStringLiteral("csv=p=0"), path});
    EXPECT_TRUE(result.ok()) << result.err.toStdString();
    qint64 total = 0;
    for (const QByteArray &line : result.out.split('\n'))
        total += line.trimmed().toLongLong();
    return total;
}

} // namespace lumacast::av::testmovies
