// write-take: synthetic moving frames and tones through the real take writer and pause timeline.
#include "Commands.h"

#include "capture/TakeWriter.h"
#include "platform/av/TakeEncoderSettings.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

using namespace lumacast;
using namespace lumacast_media;

namespace {

struct Pause {
    double from = 0;
    double to = 0;
};

// A gradient with a bright square that moves every frame: enough change for real encoding.
class FramePainter {
public:
    FramePainter(int width, int height) : m_width(width), m_height(height), m_pixels(size_t(width) * height * 4)
    {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                paintBackground(x, y);
    }
    const uint8_t *frame(int index)
    {
        const int side = std::max(2, std::min(m_width, m_height) / 6);
        if (m_lastX >= 0)
            for (int y = m_lastY; y < std::min(m_lastY + side, m_height); ++y)
                for (int x = m_lastX; x < std::min(m_lastX + side, m_width); ++x)
                    paintBackground(x, y);
        const int span = std::max(1, m_width - side);
        m_lastX = (index * 7) % span;
        m_lastY = (index * 3) % std::max(1, m_height - side);
        for (int y = m_lastY; y < std::min(m_lastY + side, m_height); ++y)
            for (int x = m_lastX; x < std::min(m_lastX + side, m_width); ++x) {
                uint8_t *p = &m_pixels[(size_t(y) * m_width + x) * 4];
                p[0] = 240, p[1] = 240, p[2] = 250, p[3] = 255;
            }
        return m_pixels.data();
    }

private:
    void paintBackground(int x, int y)
    {
        uint8_t *p = &m_pixels[(size_t(y) * m_width + x) * 4];
        p[0] = uint8_t(x * 255 / std::max(1, m_width - 1));
        p[1] = uint8_t(y * 255 / std::max(1, m_height - 1));
        p[2] = 64;
        p[3] = 255;
    }
    int m_width, m_height;
    std::vector<uint8_t> m_pixels;
    int m_lastX = -1, m_lastY = -1;
};

class Tone {
public:
    Tone(int rate, int channels, double frequency) : m_rate(rate), m_channels(channels), m_frequency(frequency) {}
    const std::vector<float> &next(int frames)
    {
        m_buffer.resize(size_t(frames) * m_channels);
        for (int i = 0; i < frames; ++i) {
            const float v = 0.25f * float(std::sin(2 * M_PI * m_frequency * double(m_position++) / m_rate));
            for (int c = 0; c < m_channels; ++c)
                m_buffer[size_t(i) * m_channels + c] = v;
        }
        return m_buffer;
    }

private:
    int m_rate, m_channels;
    double m_frequency;
    int64_t m_position = 0;
    std::vector<float> m_buffer;
};

int writeTake(const QStringList &args)
{
    if (args.isEmpty()) {
        err(QStringLiteral("write-take: missing OUT.mov"));
        return 2;
    }
    const QString outPath = args.first();
    int width = 640, height = 360, fps = 30, micRate = 48000, micChannels = 2;
    double seconds = 2;
    bool systemAudio = false;
    std::vector<Pause> pauses;
    for (int i = 1; i < args.size(); ++i) {
        const QString a = args[i];
        const QString value = i + 1 < args.size() ? args[i + 1] : QString();
        bool ok = true;
        if (a == QLatin1String("--size")) {
            const auto m = QRegularExpression(QStringLiteral("^(\\d+)x(\\d+)$")).match(value);
            ok = m.hasMatch();
            width = m.captured(1).toInt();
            height = m.captured(2).toInt();
            ++i;
        } else if (a == QLatin1String("--fps")) {
            fps = value.toInt(&ok);
            ok = ok && fps > 0 && fps <= 240;
            ++i;
        } else if (a == QLatin1String("--seconds")) {
            seconds = value.toDouble(&ok);
            ok = ok && seconds > 0 && seconds < 36000;
            ++i;
        } else if (a == QLatin1String("--pause")) {
            const auto m = QRegularExpression(QStringLiteral("^([0-9.]+)-([0-9.]+)$")).match(value);
            ok = m.hasMatch() && m.captured(1).toDouble() < m.captured(2).toDouble();
            pauses.push_back({m.captured(1).toDouble(), m.captured(2).toDouble()});
            ++i;
        } else if (a == QLatin1String("--mic")) {
            const auto m = QRegularExpression(QStringLiteral("^(\\d+)/(\\d+)$")).match(value);
            ok = m.hasMatch();
            micRate = m.captured(1).toInt();
            micChannels = m.captured(2).toInt();
            ok = ok && micRate > 0 && micChannels > 0 && micChannels <= 8;
            ++i;
        } else if (a == QLatin1String("--system-audio")) {
            systemAudio = true;
        } else {
            ok = false;
        }
        if (!ok) {
            err(QStringLiteral("write-take: bad argument %1 %2").arg(a, value));
            return 2;
        }
    }

    TakeWriter writer(outPath);
    try {
        writer.setUp(width, height, micRate, micChannels, systemAudio);
    } catch (const std::exception &e) {
        err(QString::fromUtf8(e.what()));
        return 1;
    }
    bool failed = false;
    QString failure;
    writer.onWriterFailed = [&](const std::optional<av::EncoderError> &e) {
        failed = true;
        failure = e ? e->description() : QStringLiteral("Recording failed (disk full?)");
    };

    // A monotonic clock that does not start at zero, as a real capture clock does not.
    const int64_t base = 5000LL * 1000000000LL;
    const int64_t frameCount = std::llround(seconds * fps);
    const int micChunk = std::max(1, micRate / 100);
    const int systemChunk = 480;
    FramePainter painter(width, height);
    Tone mic(micRate, micChannels, 440), system(48000, 2, 660);
    int64_t frame = 0, micFrames = 0, systemFrames = 0;
    const int64_t endNs = int64_t(seconds * 1e9);
    const auto wallStart = std::chrono::steady_clock::now();
    std::size_t nextPause = 0;
    bool paused = false;
    double pausedSeconds = 0;

    for (;;) {
        const int64_t videoNs = frame < frameCount ? frame * 1000000000LL / fps : INT64_MAX;
        const int64_t micNs = micFrames * 1000000000LL / micRate;
        const int64_t systemNs = systemAudio ? systemFrames * 1000000000LL / 48000 : INT64_MAX;
        const int64_t now = std::min({videoNs, micNs < endNs ? micNs : INT64_MAX,
                                      systemNs < endNs ? systemNs : INT64_MAX});
        if (now == INT64_MAX)
            break;
        std::this_thread::sleep_until(wallStart + std::chrono::nanoseconds(now));
        const double t = double(now) / 1e9;
        if (!paused && nextPause < pauses.size() && t >= pauses[nextPause].from) {
            writer.isPaused = true;
            paused = true;
        }
        if (paused && t >= pauses[nextPause].to) {
            writer.isPaused = false;
            writer.pauseTimeline.resumePending = true;
            pausedSeconds += pauses[nextPause].to - pauses[nextPause].from;
            paused = false;
            ++nextPause;
        }
        if (now == videoNs) {
            VideoFrame f{painter.frame(int(frame)), width, height, width * 4,
                         SampleTime::fromNanoseconds(base + videoNs)};
            writer.appendVideo(f);
            ++frame;
        } else if (now == micNs) {
            const auto &samples = mic.next(micChunk);
            AudioBuffer b{samples.data(), micChunk, AudioBuffer::Format::float32, micRate, micChannels,
                          SampleTime::fromNanoseconds(base + micNs)};
            writer.appendMicAudio(b);
            micFrames += micChunk;
        } else {
            const auto &samples = system.next(systemChunk);
            AudioBuffer b{samples.data(), systemChunk, AudioBuffer::Format::float32, 48000, 2,
                          SampleTime::fromNanoseconds(base + systemNs)};
            writer.appendSystemAudio(b);
            systemFrames += systemChunk;
        }
    }
    if (paused)
        pausedSeconds += seconds - pauses[nextPause].from;

    const auto duration = writer.finish();
    if (failed && duration)
        err(failure + QStringLiteral(" — kept the %1 s written before the failure").arg(*duration, 0, 'f', 2));
    else if (failed) {
        err(failure);
        return 1;
    }
    if (!duration) {
        const std::optional<av::EncoderError> why = writer.finishFailure();
        err(QStringLiteral("no usable take produced for %1").arg(outPath)
            + (why ? QStringLiteral(": ") + describeErrorChain(*why) : QString()));
        return 1;
    }
    QJsonObject o;
    o[QStringLiteral("path")] = outPath;
    o[QStringLiteral("duration")] = *duration;
    o[QStringLiteral("recorded")] = seconds;
    o[QStringLiteral("paused")] = pausedSeconds;
    o[QStringLiteral("droppedFrames")] = double(writer.droppedVideoFrames());
    o[QStringLiteral("systemAudio")] = writer.hasSystemAudioTrack();
    out(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
    return failed ? 1 : 0;
}

CommandRegistration reg{
    QStringLiteral("write-take"),
    QStringLiteral("write-take OUT.mov --size WxH --fps N --seconds S [--pause A-B ...] [--mic RATE/CH] [--system-audio]"),
    writeTake};

} // namespace
