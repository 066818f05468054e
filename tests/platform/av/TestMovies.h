#pragma once

#include <QString>
#include <QStringList>

namespace lumacast::av::testmovies {

// Makes a movie with the ffmpeg command-line tool: `seconds` of a moving test pattern at `fps`
// (H.264, keyframe every `gop` frames, no B-frames) with an optional AAC sine track. Returns
// false (and fails the current test) when ffmpeg is missing or refuses.
bool makeMovie(const QString &path, double seconds, int fps = 30, int gop = 10,
               bool withAudio = false, int width = 160, int height = 120,
               const QStringList &extra = {});

// ffprobe's frame-level view of a movie's first video stream after edit lists: presentation
// timestamps (seconds) of every decoded frame, in order.
QList<double> decodedFrameTimes(const QString &path, const QString &stream = QStringLiteral("v:0"));

// MD5 of each decoded video frame, in order (ffmpeg -f framemd5).
QStringList decodedFrameHashes(const QString &path, const QString &stream = QStringLiteral("v:0"));

} // namespace lumacast::av::testmovies

namespace lumacast::av::testmovies {

// MD5 of every stored packet of a stream, in file order, edit lists ignored.
QStringList storedPacketHashes(const QString &path, const QString &stream = QStringLiteral("v:0"));

// The number of audio samples a decoder delivers for a stream, edit lists and priming applied.
qint64 decodedAudioSamples(const QString &path, const QString &stream = QStringLiteral("a:0"));

} // namespace lumacast::av::testmovies

#include <ostream>

// Readable failure messages for Qt strings.
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}
