#include "support/TestMovie.h"

namespace lumacast::testing {

ProcessResult makeTestMovie(const QString &path, const TestMovieSpec &spec)
{
    const QString seconds = QString::number(spec.seconds);
    const qsizetype tracks = spec.audioChannels.size();
    QStringList args{QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-y"),
                     QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                     QStringLiteral("testsrc2=size=%1:rate=%2:duration=%3").arg(spec.size, spec.rate, seconds)};
    for (qsizetype i = 0; i < tracks; ++i)
        args << QStringLiteral("-f") << QStringLiteral("lavfi") << QStringLiteral("-i")
             << QStringLiteral("sine=frequency=%1:sample_rate=%2:duration=%3")
                    .arg(440 * (i + 1))
                    .arg(spec.sampleRate)
                    .arg(seconds);
    args << QStringLiteral("-map") << QStringLiteral("0:v");
    for (qsizetype i = 0; i < tracks; ++i)
        args << QStringLiteral("-map") << QStringLiteral("%1:a").arg(i + 1);
    args << QStringLiteral("-c:v") << QStringLiteral("libx264") << QStringLiteral("-preset")
         << QStringLiteral("ultrafast");
    if (spec.keyFrameInterval > 0) {
        const QString gop = QString::number(spec.keyFrameInterval);
        args << QStringLiteral("-bf") << QStringLiteral("0") << QStringLiteral("-g") << gop
             << QStringLiteral("-keyint_min") << gop << QStringLiteral("-sc_threshold") << QStringLiteral("0");
    }
    args << QStringLiteral("-pix_fmt") << QStringLiteral("yuv420p");
    for (qsizetype i = 0; i < tracks; ++i) {
        args << QStringLiteral("-c:a:%1").arg(i) << QStringLiteral("aac") << QStringLiteral("-ac:a:%1").arg(i)
             << QString::number(spec.audioChannels[i]);
        if (!spec.audioBitRate.isEmpty())
            args << QStringLiteral("-b:a:%1").arg(i) << spec.audioBitRate;
    }
    args << spec.extra << path;
    return runProcess(QStringLiteral("ffmpeg"), args);
}

} // namespace lumacast::testing
