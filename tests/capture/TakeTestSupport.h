#pragma once

#include "capture/TakeWriter.h"
#include "support/AwaitTask.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>
#include <vector>

namespace lumacast::taketest {

using lumacast::testing::runTask;

struct SyntheticTake {
    int width = 96;
    int height = 64;
    int fps = 30;
    double seconds = 1.0;
    std::vector<std::pair<double, double>> pauses; // capture seconds, [from, to)
    int micRate = 48000;
    int micChannels = 2;
    bool micAsInt16 = false;
    bool systemAudio = false;
    double systemToneHz = 0; // system audio: a sine of amplitude 0.2 at this frequency; 0: a constant 0.1
    double audioLead = 0; // seconds of audio delivered before the first frame
    // Capture seconds [from, to) in which the screen stands still: the frame at `from` is handed
    // in again with its picture number (frames are numbered only when a take has holds).
    std::vector<std::pair<double, double>> holds;
};

// Feeds a synthetic take through `writer` (already set up): frames and 10 ms audio buffers in
// capture-time order on a clock that starts at 1000 s, pausing and resuming as the recorder
// does. Paced lightly so that the encoder never has to drop a frame.
void feed(TakeWriter &writer, const SyntheticTake &take);

// Sets up a writer for `path`, feeds the take and finishes it.
std::optional<double> writeTake(const QString &path, const SyntheticTake &take,
                                const std::optional<AudioEncodingPlan> &plan = std::nullopt);

// ffprobe -show_streams -show_format as JSON.
QJsonObject probe(const QString &path);

// Runs the ffmpeg command-line tool quietly; true on success.
bool ffmpeg(const QStringList &args);

// The video stream's stored decoder configuration (avcC) as hex, read with ffprobe.
QString videoExtradata(const QString &path);

} // namespace lumacast::taketest
