#pragma once

#include "support/TestEnvironment.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace lumacast::testing {

// A small movie made by the ffmpeg command line: a moving test pattern in H.264 (4:2:0) with one
// AAC track of a sine tone per entry of `audioChannels` (440 Hz, 880 Hz, ...).
struct TestMovieSpec {
    QString size = QStringLiteral("160x120");
    QString rate = QStringLiteral("30"); // frames per second as ffmpeg reads it ("30000/1001")
    double seconds = 1;
    // Frames between key frames, fixed and without B-frames; 0 leaves both to the encoder.
    int keyFrameInterval = 0;
    QList<int> audioChannels; // one entry per audio track
    int sampleRate = 48000;
    QString audioBitRate; // empty: the encoder's choice
    QStringList extra;    // further output options, given last
};

ProcessResult makeTestMovie(const QString &path, const TestMovieSpec &spec);

} // namespace lumacast::testing
