#pragma once

// Movies for the tail-join tests: takes and tails written by the real take writer, each source
// with its own colour and tone, plus variants copied track by track with one property changed.

#include "capture/AudioEncodingPlan.h"
#include "capture/TakeWriter.h"
#include "platform/av/Asset.h"
#include "platform/av/AssetReader.h"
#include "platform/av/Composition.h"
#include "platform/av/MovieStructure.h"
#include "platform/av/MovieWriter.h"
#include "support/AwaitTask.h"

#include <QCoroTask>
#include <QCryptographicHash>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>
#include <thread>
#include <vector>

namespace lumacast::testing::join {

struct SourceSpec {
    int width = 320, height = 240;
    int fps = 30;
    double seconds = 2;
    int micRate = 48000, micChannels = 2;
    bool systemAudio = false;
    QRgb colour = qRgb(220, 30, 30); // the right half of every frame
    double toneHz = 440;             // microphone; the system track plays 1.5 times this
    double micDelay = 0;             // seconds of capture before the microphone's first sample
    std::optional<AudioEncodingPlan> plan; // a tail records with its take's plan
};

// The grey level of the left half tells the frame's index modulo this many.
inline constexpr int kIndexCycle = 12;
inline int indexGrey(int index) { return 32 + (index % kIndexCycle) * 16; }

// One attempt at writing a source with a pause of `pace` after each frame; the number of frames
// the writer dropped and the movie's duration.
inline std::pair<quint64, std::optional<double>> writeSourceOnce(const QString &path, const SourceSpec &spec,
                                                                 std::chrono::milliseconds pace)
{
    TakeWriter writer(path);
    writer.setUp(spec.width, spec.height, spec.micRate, spec.micChannels, spec.systemAudio, spec.plan);
    std::vector<std::uint8_t> pixels(std::size_t(spec.width) * spec.height * 4);
    const auto paint = [&](int index) {
        const int grey = indexGrey(index);
        for (int y = 0; y < spec.height; ++y)
            for (int x = 0; x < spec.width; ++x) {
                std::uint8_t *p = &pixels[(std::size_t(y) * spec.width + x) * 4];
                if (x < spec.width / 2) {
                    p[0] = p[1] = p[2] = std::uint8_t(grey);
                } else {
                    p[0] = std::uint8_t(qBlue(spec.colour));
                    p[1] = std::uint8_t(qGreen(spec.colour));
                    p[2] = std::uint8_t(qRed(spec.colour));
                }
                p[3] = 255;
            }
    };
    const std::int64_t base = 7000LL * 1000000000LL;
    const std::int64_t frames = std::llround(spec.seconds * spec.fps);
    const std::int64_t endNs = std::int64_t(spec.seconds * 1e9);
    const int micChunk = spec.micRate / 100, systemChunk = 480;
    std::int64_t frame = 0, micFrames = std::llround(spec.micDelay * spec.micRate), systemFrames = 0;
    std::vector<float> buffer;
    const auto tone = [&](std::int64_t first, int count, int rate, int channels, double hz) {
        buffer.resize(std::size_t(count) * channels);
        for (int i = 0; i < count; ++i) {
            const float v = 0.3f * float(std::sin(2 * M_PI * hz * double(first + i) / rate));
            for (int c = 0; c < channels; ++c)
                buffer[std::size_t(i) * channels + c] = v;
        }
    };
    for (;;) {
        const std::int64_t videoNs = frame < frames ? frame * 1000000000LL / spec.fps : INT64_MAX;
        const std::int64_t micNs = micFrames * 1000000000LL / spec.micRate;
        const std::int64_t systemNs = spec.systemAudio ? systemFrames * 1000000000LL / 48000 : INT64_MAX;
        const std::int64_t now = std::min({videoNs, micNs < endNs ? micNs : INT64_MAX, systemNs < endNs ? systemNs : INT64_MAX});
        if (now == INT64_MAX)
            break;
        if (now == videoNs) {
            paint(int(frame));
            writer.appendVideo(VideoFrame{pixels.data(), spec.width, spec.height, spec.width * 4,
                                          SampleTime::fromNanoseconds(base + videoNs)});
            ++frame;
            std::this_thread::sleep_for(pace);
        } else if (now == micNs) {
            tone(micFrames, micChunk, spec.micRate, spec.micChannels, spec.toneHz);
            writer.appendMicAudio(AudioBuffer{buffer.data(), micChunk, AudioBuffer::Format::float32, spec.micRate,
                                              spec.micChannels, SampleTime::fromNanoseconds(base + micNs)});
            micFrames += micChunk;
        } else {
            tone(systemFrames, systemChunk, 48000, 2, spec.toneHz * 1.5);
            writer.appendSystemAudio(AudioBuffer{buffer.data(), systemChunk, AudioBuffer::Format::float32, 48000, 2,
                                                 SampleTime::fromNanoseconds(base + systemNs)});
            systemFrames += systemChunk;
        }
    }
    const auto duration = writer.finish();
    return {writer.droppedVideoFrames(), duration};
}

// Writes a movie through the take writer and returns its duration. The writer drops frames its
// encoder has no room for, as it must while recording; here every frame is wanted, so a movie
// with drops is written again with more time between frames. Fails the test (and returns
// nothing) when the writer never kept up.
inline std::optional<double> writeSource(const QString &path, const SourceSpec &spec)
{
    std::chrono::milliseconds pace(spec.width >= 1280 ? 12 : 3);
    for (int attempt = 0; attempt < 6; ++attempt, pace *= 2) {
        QFile::remove(path);
        const auto [dropped, duration] = writeSourceOnce(path, spec, pace);
        if (dropped == 0) {
            EXPECT_TRUE(duration.has_value()) << path.toStdString();
            return duration;
        }
    }
    ADD_FAILURE() << "the take writer dropped frames of " << path.toStdString() << " at every pace";
    QFile::remove(path);
    return std::nullopt;
}

// A tail for `takePath`: the same frame size and audio plan, another colour and tone.
inline SourceSpec tailSpecFor(const QString &takePath, const SourceSpec &take, QRgb colour, double toneHz, double seconds)
{
    SourceSpec tail = take;
    tail.colour = colour;
    tail.toneHz = toneHz;
    tail.seconds = seconds;
    tail.plan = AudioEncodingPlan::load(takePath);
    return tail;
}

// One track to copy into a variant movie, optionally with another orientation.
struct TrackCopy {
    QString path;
    int trackIndex = 0;
    std::optional<av::AffineTransform> transform{};
};

// Copies whole tracks (samples, sample descriptions and edit lists as they are) into a new
// movie, in the order given.
inline void writeVariant(const QString &out, const QList<TrackCopy> &copies)
{
    av::MovieWriter writer(out, 600);
    struct Plan {
        av::MovieStructure movie;
        int track = -1;
    };
    std::vector<Plan> plans;
    for (const TrackCopy &c : copies) {
        Plan plan{av::readMovieStructure(c.path), -1};
        const av::TrackStructure &ts = plan.movie.tracks[c.trackIndex];
        av::WriterTrackSettings s;
        s.mediaType = ts.handlerType == "vide" ? av::MediaType::Video : av::MediaType::Audio;
        s.mediaTimescale = std::int32_t(ts.mediaTimescale);
        s.naturalSize = QSizeF(ts.width, ts.height);
        s.preferredTransform = c.transform.value_or(
            av::AffineTransform{ts.matrix.a, ts.matrix.b, ts.matrix.c, ts.matrix.d, ts.matrix.tx, ts.matrix.ty});
        plan.track = writer.addTrack(s);
        plans.push_back(std::move(plan));
    }
    writer.open();
    for (std::size_t i = 0; i < plans.size(); ++i) {
        const av::TrackStructure &ts = plans[i].movie.tracks[copies[int(i)].trackIndex];
        const av::MediaType type = ts.handlerType == "vide" ? av::MediaType::Video : av::MediaType::Audio;
        std::vector<int> descriptions;
        for (const QByteArray &entry : ts.sampleEntries) {
            av::FormatDescription f;
            f.mediaType = type;
            f.sampleEntry = entry;
            descriptions.push_back(writer.addSampleDescription(plans[i].track, f));
        }
        QFile file(copies[int(i)].path);
        if (!file.open(QIODevice::ReadOnly))
            throw std::runtime_error("cannot read a source movie");
        for (const av::SampleRecord &r : ts.samples) {
            file.seek(r.offset);
            const QByteArray bytes = file.read(r.size);
            av::SampleTiming t;
            t.decodeTime = r.decodeTime;
            t.presentationTime = r.presentationTime();
            t.duration = r.duration;
            t.keyframe = r.sync;
            t.descriptionIndex = descriptions[r.descriptionIndex - 1];
            writer.appendSample(plans[i].track, bytes, t);
        }
        for (av::EditEntry e : ts.edits) {
            e.segmentDuration = e.segmentDuration * 600 / std::int64_t(plans[i].movie.movieTimescale);
            writer.addEdit(plans[i].track, e);
        }
    }
    writer.finish();
}

// The SHA-1 of every stored sample of one track, in decode order.
inline QList<QByteArray> sampleHashes(const QString &path, int trackIndex)
{
    const av::MovieStructure movie = av::readMovieStructure(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> hashes;
    for (const av::SampleRecord &r : movie.tracks[trackIndex].samples) {
        file.seek(r.offset);
        hashes.append(QCryptographicHash::hash(file.read(r.size), QCryptographicHash::Sha1));
    }
    return hashes;
}

// One shown frame as a player decodes it: its time, the index its grey half encodes and its
// colour half.
struct ShownFrame {
    double time = 0;
    int index = 0;
    QRgb colour = 0;
};

inline std::vector<ShownFrame> shownFrames(const QString &path)
{
    const auto asset = av::Asset::open(path);
    const int track = asset->tracks(av::MediaType::Video).first().index;
    av::AssetReader reader(asset, track);
    std::vector<ShownFrame> frames;
    while (auto frame = reader.nextVideoFrame()) {
        const QImage &image = frame->image;
        const auto average = [&](int x0, int x1) {
            long r = 0, g = 0, b = 0, n = 0;
            for (int y = image.height() / 4; y < image.height() * 3 / 4; y += 4)
                for (int x = x0; x < x1; x += 4) {
                    const QRgb p = image.pixel(x, y);
                    r += qRed(p), g += qGreen(p), b += qBlue(p), ++n;
                }
            return qRgb(int(r / n), int(g / n), int(b / n));
        };
        const QRgb grey = average(image.width() / 8, image.width() * 3 / 8);
        const QRgb colour = average(image.width() * 5 / 8, image.width() * 7 / 8);
        frames.push_back({frame->presentationTime.seconds(), int(std::lround((qGreen(grey) - 32) / 16.0)), colour});
    }
    return frames;
}

inline bool closeColour(QRgb a, QRgb b, int tolerance = 24)
{
    return std::abs(qRed(a) - qRed(b)) <= tolerance && std::abs(qGreen(a) - qGreen(b)) <= tolerance
        && std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

// A folder shared by the cases of one suite, so that the suite's movies are made once: the
// fixture `Suite` derives from it and writes them in its static `makeMovies()`.
template <typename Suite>
class SharedMovieFolder : public ::testing::Test {
protected:
    static inline QTemporaryDir *dir = nullptr;
    static QString path(const QString &name) { return dir->filePath(name); }
    static void SetUpTestSuite()
    {
        dir = new QTemporaryDir;
        Suite::makeMovies();
    }
    static void TearDownTestSuite()
    {
        delete dir;
        dir = nullptr;
    }
};

} // namespace lumacast::testing::join

#include <ostream>

// Readable failure messages for Qt strings.
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}
