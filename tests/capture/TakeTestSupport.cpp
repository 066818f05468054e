#include "TakeTestSupport.h"

#include "support/TestEnvironment.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <thread>

namespace lumacast::taketest {

using lumacast::testing::runProcess;

void feed(TakeWriter &writer, const SyntheticTake &take)
{
    const int64_t base = 1000LL * 1000000000LL;
    const int64_t lead = int64_t(take.audioLead * 1e9);
    std::vector<uint8_t> pixels(size_t(take.width) * take.height * 4, 0);
    const int micChunk = take.micRate / 100;
    std::vector<float> micFloat(size_t(micChunk) * take.micChannels);
    std::vector<int16_t> micInt(size_t(micChunk) * take.micChannels);
    std::vector<float> system(480 * 2, 0.1f);
    const int64_t frames = std::llround(take.seconds * take.fps);
    const int64_t end = int64_t(take.seconds * 1e9);
    int64_t frame = 0, mic = 0, sys = 0;
    size_t nextPause = 0;
    bool paused = false;
    int64_t phase = 0;
    for (;;) {
        const int64_t v = frame < frames ? frame * 1000000000LL / take.fps : INT64_MAX;
        const int64_t m = mic * 1000000000LL / take.micRate - lead;
        const int64_t s = take.systemAudio ? sys * 1000000000LL / 48000 - lead : INT64_MAX;
        const int64_t now = std::min({v, m < end ? m : INT64_MAX, s < end ? s : INT64_MAX});
        if (now == INT64_MAX)
            break;
        const double t = double(now) / 1e9;
        if (!paused && nextPause < take.pauses.size() && t >= take.pauses[nextPause].first) {
            writer.isPaused = true;
            paused = true;
        }
        if (paused && t >= take.pauses[nextPause].second) {
            writer.isPaused = false;
            writer.pauseTimeline.resumePending = true;
            paused = false;
            ++nextPause;
        }
        if (now == v) {
            int64_t shown = frame;
            for (const auto &[from, to] : take.holds)
                if (t >= from && t < to)
                    shown = std::min<int64_t>(shown, std::llround(from * take.fps));
            std::fill(pixels.begin(), pixels.end(), uint8_t(shown * 5));
            writer.appendVideo({pixels.data(), take.width, take.height, take.width * 4,
                                SampleTime::fromNanoseconds(base + v), take.holds.empty() ? 0 : uint64_t(shown) + 1});
            ++frame;
            // Paced like a capture, but a loaded machine's encoder gets the time it needs: a
            // dropped frame here would be the machine's, not the writer's.
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            for (int wait = 0; wait < 2000 && !writer.isReadyForVideo(); ++wait)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else if (now == m) {
            for (int i = 0; i < micChunk; ++i, ++phase) {
                const float x = 0.2f * float(std::sin(2 * M_PI * 440.0 * double(phase) / take.micRate));
                for (int c = 0; c < take.micChannels; ++c) {
                    micFloat[size_t(i) * take.micChannels + c] = x;
                    micInt[size_t(i) * take.micChannels + c] = int16_t(x * 32767);
                }
            }
            AudioBuffer b;
            b.samples = take.micAsInt16 ? static_cast<const void *>(micInt.data()) : micFloat.data();
            b.format = take.micAsInt16 ? AudioBuffer::Format::int16 : AudioBuffer::Format::float32;
            b.frameCount = micChunk;
            b.sampleRate = take.micRate;
            b.channels = take.micChannels;
            b.timestamp = SampleTime::fromNanoseconds(base + m);
            writer.appendMicAudio(b);
            mic += micChunk;
        } else {
            if (take.systemToneHz > 0)
                for (int i = 0; i < 480; ++i) {
                    const float x = 0.2f * float(std::sin(2 * M_PI * take.systemToneHz * double(sys + i) / 48000));
                    system[size_t(i) * 2] = system[size_t(i) * 2 + 1] = x;
                }
            writer.appendSystemAudio({system.data(), 480, AudioBuffer::Format::float32, 48000, 2,
                                      SampleTime::fromNanoseconds(base + s)});
            sys += 480;
        }
    }
}

std::optional<double> writeTake(const QString &path, const SyntheticTake &take,
                                const std::optional<AudioEncodingPlan> &plan)
{
    TakeWriter writer(path);
    writer.setUp(take.width, take.height, take.micRate, take.micChannels, take.systemAudio, plan);
    feed(writer, take);
    auto duration = writer.finish();
    EXPECT_EQ(writer.droppedVideoFrames(), 0u);
    return duration;
}

QJsonObject probe(const QString &path)
{
    const auto r = runProcess(QStringLiteral("ffprobe"),
                              {QStringLiteral("-v"), QStringLiteral("error"),
                               QStringLiteral("-show_streams"), QStringLiteral("-show_format"),
                               QStringLiteral("-of"), QStringLiteral("json"), path});
    EXPECT_TRUE(r.ok()) << r.err.constData();
    return QJsonDocument::fromJson(r.out).object();
}

bool ffmpeg(const QStringList &args)
{
    QStringList all{QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
                    QStringLiteral("error"), QStringLiteral("-y")};
    all += args;
    const auto r = runProcess(QStringLiteral("ffmpeg"), all);
    EXPECT_TRUE(r.ok()) << r.err.constData();
    return r.ok();
}

QString videoExtradata(const QString &path)
{
    const auto r = runProcess(QStringLiteral("ffprobe"),
                              {QStringLiteral("-v"), QStringLiteral("error"),
                               QStringLiteral("-select_streams"), QStringLiteral("v:0"),
                               QStringLiteral("-show_streams"), QStringLiteral("-show_data"), path});
    // The dump follows "extradata=" as lines of "offset: hex ... ascii".
    QString hex;
    bool inside = false;
    for (const QByteArray &line : r.out.split('\n')) {
        if (line.startsWith("extradata=")) {
            inside = true;
            continue;
        }
        if (!inside)
            continue;
        const int colon = line.indexOf(':');
        if (colon != 8)
            break;
        hex += QString::fromLatin1(line.mid(10, 40)).remove(QLatin1Char(' '));
    }
    return hex;
}

} // namespace lumacast::taketest
