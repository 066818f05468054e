// The single-movie export over takes made by the take encoder: passthrough, audio mixdown, the
// canvas path and the whole-video re-encode, checked by decoding what was written.
#include "media/CanvasComposition.h"
#include "media/MovieExport.h"
#include "media/WorkingItem.h"
#include "model/NumberFormat.h"
#include "model/Session.h"
#include "model/SessionManifest.h"
#include "platform/av/Asset.h"
#include "platform/av/AssetReader.h"
#include "platform/av/MediaError.h"
#include "platform/av/MovieStructure.h"
#include "platform/av/TakeEncoder.h"
#include "store/DiskSync.h"
#include "support/FullDisk.h"
#include "support/TestEnvironment.h"
#include "support/ToneAnalysis.h"
#include "TimelineTestSupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

using namespace lumacast;
using namespace lumacast::session_exporter;
using av::MediaTime;
using av::MediaType;

namespace {

// Distinct take colours (BGRA) so that every segment of an export can be told apart.
const std::array<std::array<uint8_t, 3>, 4> kColours{{{40, 40, 200}, {40, 190, 40}, {200, 60, 40}, {40, 200, 200}}};

struct TakeSpec {
    int width = 320;
    int height = 180;
    int fps = 30;
    double seconds = 1.0;
    int colour = 0;
    int micRate = 48000;
    int micChannels = 2;
    bool systemAudio = false;
    bool untagged = false; // encoded without colour tags: another video format at the same size
};

// Frames of one colour with the frame number burnt into the top band as eight black or white
// blocks (bit 7 first).
std::vector<uint8_t> paintFrame(const TakeSpec &spec, int index)
{
    std::vector<uint8_t> pixels(size_t(spec.width) * spec.height * 4);
    const auto &c = kColours[size_t(spec.colour) % kColours.size()];
    const int band = spec.height / 4;
    for (int y = 0; y < spec.height; ++y)
        for (int x = 0; x < spec.width; ++x) {
            uint8_t *p = &pixels[(size_t(y) * spec.width + x) * 4];
            if (y < band) {
                const int bit = 7 - std::min(7, x * 8 / spec.width);
                const uint8_t v = ((index >> bit) & 1) ? 235 : 16;
                p[0] = p[1] = p[2] = v;
            } else {
                p[0] = c[0], p[1] = c[1], p[2] = c[2];
            }
            p[3] = 255;
        }
    return pixels;
}

// Encoder parameters unlike the recorded takes' (no colour tags), so that a rendered take's
// format differs from theirs.
av::VideoSettings untaggedSettings(int width, int height)
{
    av::VideoSettings s;
    s.width = width;
    s.height = height;
    s.colorPrimaries = s.transferFunction = s.yCbCrMatrix = QString();
    return s;
}

// Writes a take through the take encoder with the take writer's video settings.
Take makeTake(const QString &takesFolder, const TakeSpec &spec, double trimStart, double trimEnd)
{
    Take take;
    take.id = QUuid::createUuid();
    take.filename = take.id.toString(QUuid::WithoutBraces) + QStringLiteral(".mov");
    take.duration = spec.seconds;
    take.trimStart = trimStart;
    take.trimEnd = trimEnd;
    QDir().mkpath(takesFolder);
    av::TakeEncoder encoder(QDir(takesFolder).filePath(take.filename));
    av::VideoSettings video = spec.untagged ? untaggedSettings(spec.width, spec.height) : av::VideoSettings{};
    video.width = spec.width;
    video.height = spec.height;
    const int v = encoder.addVideoTrack(video);
    av::AudioSettings mic;
    mic.sampleRate = spec.micRate;
    mic.channels = spec.micChannels;
    mic.bitRate = 64000 * spec.micChannels;
    const int m = encoder.addAudioTrack(mic);
    int s = -1;
    if (spec.systemAudio) {
        av::AudioSettings system;
        system.sampleRate = 48000;
        system.channels = 2;
        system.bitRate = 128000;
        s = encoder.addAudioTrack(system);
    }
    EXPECT_TRUE(encoder.startWriting()) << (encoder.error() ? encoder.error()->message() : QString()).toStdString();
    encoder.startSession(0, spec.fps);
    const int frames = int(std::lround(spec.seconds * spec.fps));
    auto waitFor = [&](int track) {
        while (!encoder.isReadyForMoreMediaData(track))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    std::int64_t micDone = 0, systemDone = 0;
    for (int i = 0; i < frames; ++i) {
        waitFor(v);
        const auto pixels = paintFrame(spec, i);
        EXPECT_TRUE(encoder.appendVideo(v, pixels.data(), spec.width, spec.height, spec.width * 4, i, spec.fps));
        auto tone = [&](int track, int rate, int channels, double hz, std::int64_t &done) {
            const std::int64_t until = std::int64_t(i + 1) * rate / spec.fps;
            std::vector<float> samples(size_t(until - done) * channels);
            for (std::int64_t k = 0; k < until - done; ++k)
                for (int ch = 0; ch < channels; ++ch)
                    samples[size_t(k * channels + ch)] = 0.3f * float(std::sin(2 * M_PI * hz * double(done + k) / rate));
            waitFor(track);
            encoder.appendAudio(track, samples.data(), int(until - done), av::TakeEncoder::SampleFormat::float32,
                                rate, channels, done, rate);
            done = until;
        };
        tone(m, spec.micRate, spec.micChannels, 440, micDone);
        if (s >= 0)
            tone(s, 48000, 2, 660, systemDone);
    }
    encoder.finishWriting();
    EXPECT_EQ(encoder.status(), av::TakeEncoder::Status::completed) << (encoder.error() ? encoder.error()->message() : QString()).toStdString();
    return take;
}

int frameNumber(const QImage &image)
{
    const int y = image.height() / 8;
    int n = 0;
    for (int bit = 0; bit < 8; ++bit) {
        const int x = (bit * 2 + 1) * image.width() / 16;
        n = n * 2 + (qGray(image.pixel(x, y)) > 128 ? 1 : 0);
    }
    return n;
}

bool near(QRgb pixel, const std::array<uint8_t, 3> &bgr, int tolerance = 40)
{
    return std::abs(qBlue(pixel) - bgr[0]) < tolerance && std::abs(qGreen(pixel) - bgr[1]) < tolerance
        && std::abs(qRed(pixel) - bgr[2]) < tolerance;
}

bool isBlack(QRgb pixel)
{
    return qRed(pixel) < 30 && qGreen(pixel) < 30 && qBlue(pixel) < 30;
}

QImage frameAt(const QString &movie, double seconds)
{
    av::ImageGenerator generator(av::Asset::open(movie));
    return generator.imageAt(MediaTime::fromSeconds(seconds, 600)).image;
}

// The 440 Hz tone's amplitude in the movie's sound between two times.
double toneIn(const QString &movie, double from, double to)
{
    const auto asset = av::Asset::open(movie);
    const av::MediaTimeRange range{MediaTime::fromSeconds(from, 600), MediaTime::fromSeconds(to - from, 600)};
    av::AssetReader reader(asset, asset->tracks(MediaType::Audio).first().index, range, {48000, 1});
    std::vector<float> mono;
    while (auto block = reader.nextAudio()) {
        const auto *samples = reinterpret_cast<const float *>(block->samples.constData());
        mono.insert(mono.end(), samples, samples + block->frameCount);
    }
    return lumacast::testing::toneAmplitude(mono, 48000, 440);
}

QSet<QByteArray> videoSampleHashes(const QString &movie)
{
    const av::MovieStructure structure = av::readMovieStructure(movie);
    QFile file(movie);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    QSet<QByteArray> hashes;
    for (const av::TrackStructure &track : structure.tracks) {
        if (track.handlerType != "vide")
            continue;
        for (const av::SampleRecord &s : track.samples) {
            file.seek(s.offset);
            hashes.insert(QCryptographicHash::hash(file.read(s.size), QCryptographicHash::Sha1));
        }
    }
    return hashes;
}

// ffmpeg decodes every stream of the movie without a complaint.
::testing::AssertionResult decodesCleanly(const QString &movie)
{
    const auto r = lumacast::testing::runProcess(QStringLiteral("ffmpeg"), {"-v", "error", "-i", movie, "-f", "null", "-"});
    if (r.ok() && r.err.trimmed().isEmpty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "ffmpeg: " << r.err.toStdString();
}

// Collects the exporter's log lines.
QStringList *g_lines = nullptr;
void collect(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    if (g_lines && context.category && QByteArray(context.category).endsWith(".export"))
        g_lines->append(message);
}

class MovieExportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_savedTemp = qgetenv("TMPDIR");
        qputenv("TMPDIR", m_scratchParent.path().toLocal8Bit());
        g_lines = &m_lines;
        m_previous = qInstallMessageHandler(collect);
    }
    void TearDown() override
    {
        qInstallMessageHandler(m_previous);
        g_lines = nullptr;
        qputenv("TMPDIR", m_savedTemp);
    }

    QString takes() const { return m_dir.filePath(QStringLiteral("takes")); }
    QString out() const { return m_dir.filePath(QStringLiteral("out/export.mov")); }

    void run(const QList<Take> &list, MovieExportOptions options = {})
    {
        QDir().mkpath(QFileInfo(out()).absolutePath());
        m_progress.clear();
        lumacast::testing::runTask(exportMovie(list, takes(), out(), [this](double f) { m_progress.append(f); },
                                     std::move(options)));
    }

    bool logged(const QString &line) const { return m_lines.contains(line); }
    // Nothing of the export is left behind: no scratch folder, no working file beside the movie.
    void expectNoLeftovers() const
    {
        EXPECT_TRUE(QDir(m_scratchParent.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
        const QStringList beside = QDir(QFileInfo(out()).absolutePath()).entryList(QDir::Files);
        EXPECT_LE(beside.size(), 1) << beside.join(u',').toStdString();
    }

    lumacast::testing::TemporaryHome m_home;
    QTemporaryDir m_dir;
    QTemporaryDir m_scratchParent;
    QByteArray m_savedTemp;
    QStringList m_lines;
    QList<double> m_progress;
    QtMessageHandler m_previous = nullptr;
};

TEST(CanvasGeometry, FitsTurnsAndCentresOntoTheCanvas)
{
    const QSizeF canvas(1920, 1080);
    av::AssetTrack smaller;
    smaller.naturalSize = QSizeF(1280, 720);
    EXPECT_EQ(canvasTransform(smaller, canvas), av::AffineTransform::scale(1.5, 1.5));

    av::AssetTrack portrait;
    portrait.naturalSize = QSizeF(1080, 1920);
    const av::AffineTransform p = canvasTransform(portrait, canvas);
    EXPECT_DOUBLE_EQ(p.a, 0.5625);
    EXPECT_DOUBLE_EQ(p.tx, 656.25);
    EXPECT_DOUBLE_EQ(p.ty, 0);

    // A landscape movie turned a quarter: counted and placed as portrait, back at the origin.
    av::AssetTrack turned;
    turned.naturalSize = QSizeF(1920, 1080);
    turned.preferredTransform = av::AffineTransform::rotation(90);
    EXPECT_EQ(orientedFrame(turned).size(), QSizeF(1080, 1920));
    const QRectF placed = canvasTransform(turned, canvas).mapRect(QRectF(0, 0, 1920, 1080));
    EXPECT_NEAR(placed.left(), 656.25, 1e-9);
    EXPECT_NEAR(placed.top(), 0, 1e-9);
    EXPECT_NEAR(placed.width(), 607.5, 1e-9);

    EXPECT_EQ(evenRoundedSize(1919.5, 1080.4), QSizeF(1920, 1080));
    EXPECT_EQ(evenRoundedSize(1081, 721), QSizeF(1080, 720));
    EXPECT_EQ(evenRoundedSize(-1921, 1), QSizeF(1920, 0));
}

TEST_F(MovieExportTest, SameSizeTakesArePassedThroughFrameAccurately)
{
    // Key frames only every 120 frames: every trim start below lies between key frames.
    const QList<Take> list{makeTake(takes(), {.colour = 0}, 0.4, 0.9),
                           makeTake(takes(), {.colour = 1}, 0.3, 1.0),
                           makeTake(takes(), {.colour = 2}, 0.0, 0.5)};
    QStringList synced; // on the export's thread, which the run awaits
    DiskSync::setWitness([&](const QString &item) { synced << QFileInfo(item).fileName(); });
    run(list);
    DiskSync::setWitness({});
    EXPECT_TRUE(logged(QStringLiteral("concat: full passthrough")));
    // The movie, then its name, are on the disk before the export returns.
    ASSERT_EQ(synced.size(), 2);
    EXPECT_TRUE(synced[0].startsWith(WorkingItem::kPrefix));
    EXPECT_EQ(synced[1], QStringLiteral("out"));

    const auto asset = av::Asset::open(out());
    ASSERT_EQ(asset->tracks(MediaType::Video).size(), 1);
    ASSERT_EQ(asset->tracks(MediaType::Audio).size(), 1);
    EXPECT_NEAR(asset->duration().seconds(), 0.5 + 0.7 + 0.5, 1.0 / 30);

    // The first picture of each segment is the take's frame at its trim start.
    const std::vector<std::pair<double, int>> starts{{0.0, 12}, {0.5, 9}, {1.2, 0}};
    for (size_t i = 0; i < starts.size(); ++i) {
        const QImage image = frameAt(out(), starts[i].first);
        EXPECT_EQ(frameNumber(image), starts[i].second) << "segment " << i;
        EXPECT_TRUE(near(image.pixel(image.width() / 2, image.height() * 3 / 4), kColours[i])) << "segment " << i;
    }

    // From its first key frame on a segment is copied byte for byte; the frames from a cut off a
    // key frame up to the next one (here the whole of the first two segments, 15 and 21 frames)
    // are re-encoded into the same sample description.
    QSet<QByteArray> sources;
    for (const Take &take : list)
        sources.unite(videoSampleHashes(QDir(takes()).filePath(take.filename)));
    const QSet<QByteArray> written = videoSampleHashes(out());
    EXPECT_EQ(QSet<QByteArray>(written).intersect(videoSampleHashes(QDir(takes()).filePath(list[2].filename))).size(), 15);
    const auto reencoded = QSet<QByteArray>(written).subtract(sources).size(); // equal frames count once
    EXPECT_GT(reencoded, 0);
    EXPECT_LE(reencoded, 15 + 21);
    EXPECT_EQ(asset->tracks(MediaType::Video).first().formatDescriptions.size(), 1);

    ASSERT_FALSE(m_progress.isEmpty());
    EXPECT_DOUBLE_EQ(m_progress.last(), 1.0);
    EXPECT_TRUE(std::is_sorted(m_progress.begin(), m_progress.end()));
    EXPECT_TRUE(decodesCleanly(out()));
    expectNoLeftovers();
}

TEST_F(MovieExportTest, SystemAudioOrDifferingAudioFormatsAreMixedIntoOneStereoTrack)
{
    const QList<Take> withSystem{makeTake(takes(), {.colour = 0, .systemAudio = true}, 0.2, 1.0),
                                 makeTake(takes(), {.colour = 1, .micRate = 44100, .micChannels = 1}, 0.0, 0.6)};
    MovieExportOptions options;
    options.systemAudioMixLevel = [] { return 0.5; };
    run(withSystem, options);
    EXPECT_TRUE(logged(QStringLiteral("concat: video passthrough + audio mixdown")));

    const auto asset = av::Asset::open(out());
    ASSERT_EQ(asset->tracks(MediaType::Video).size(), 1);
    const QList<av::AssetTrack> audio = asset->tracks(MediaType::Audio);
    ASSERT_EQ(audio.size(), 1);
    ASSERT_EQ(audio.first().formatDescriptions.size(), 1);
    const av::FormatDescription format = audio.first().formatDescriptions.first();
    EXPECT_EQ(format.codecName, QStringLiteral("aac"));
    EXPECT_EQ(format.sampleRate, 48000);
    EXPECT_EQ(format.channels, 2);
    EXPECT_NEAR(audio.first().timeRange.duration.seconds(), 1.4, 0.01);
    EXPECT_NEAR(asset->duration().seconds(), 1.4, 1.0 / 30);
    EXPECT_TRUE(decodesCleanly(out()));
    EXPECT_EQ(frameNumber(frameAt(out(), 0.0)), 6);
    EXPECT_EQ(frameNumber(frameAt(out(), 0.8)), 0);

    // The video is copied, not re-encoded, from each segment's first key frame on (the first take
    // is cut off its only key frame, so its 24 frames are re-encoded).
    QSet<QByteArray> sources;
    for (const Take &take : withSystem)
        sources.unite(videoSampleHashes(QDir(takes()).filePath(take.filename)));
    const QSet<QByteArray> written = videoSampleHashes(out());
    EXPECT_LE(QSet<QByteArray>(written).subtract(sources).size(), 24);
    EXPECT_TRUE(written.intersects(videoSampleHashes(QDir(takes()).filePath(withSystem[1].filename))));

    // The mix holds both tones in the first take and the microphone alone in the second.
    av::AssetReader reader(asset, audio.first().index, std::nullopt, {48000, 2});
    double early = 0, late = 0;
    qint64 earlyCount = 0, lateCount = 0;
    while (auto block = reader.nextAudio()) {
        const auto *f = reinterpret_cast<const float *>(block->samples.constData());
        const double t = block->presentationTime.seconds();
        for (qint64 i = 0; i < block->frameCount * 2; ++i) {
            (t < 0.7 ? early : late) += double(f[i]) * f[i];
            ++(t < 0.7 ? earlyCount : lateCount);
        }
    }
    ASSERT_GT(earlyCount, 0);
    ASSERT_GT(lateCount, 0);
    EXPECT_GT(std::sqrt(early / earlyCount), std::sqrt(late / lateCount) * 1.05);
    EXPECT_GT(std::sqrt(late / lateCount), 0.1);
    expectNoLeftovers();

    // Audio formats that differ between same-size takes are mixed to one format rather than
    // written as several descriptions.
    m_lines.clear();
    const QList<Take> differing{makeTake(takes(), {.colour = 2}, 0.0, 0.5),
                                makeTake(takes(), {.colour = 3, .micRate = 44100, .micChannels = 1}, 0.0, 0.5)};
    run(differing);
    EXPECT_TRUE(logged(QStringLiteral("concat: video passthrough + audio mixdown")));
    const auto mixed = av::Asset::open(out());
    ASSERT_EQ(mixed->tracks(MediaType::Audio).size(), 1);
    EXPECT_EQ(mixed->tracks(MediaType::Audio).first().formatDescriptions.first().sampleRate, 48000);
}

TEST_F(MovieExportTest, OtherSizedTakesAreRenderedOntoTheLargestCanvas)
{
    const QList<Take> list{makeTake(takes(), {.width = 1920, .height = 1080, .colour = 0}, 0.2, 0.7),
                           makeTake(takes(), {.width = 1280, .height = 720, .colour = 1}, 0.3, 0.8),
                           makeTake(takes(), {.width = 960, .height = 720, .colour = 2}, 0.0, 0.5),
                           makeTake(takes(), {.width = 360, .height = 640, .colour = 3}, 0.1, 0.6)};
    run(list);
    EXPECT_TRUE(logged(QStringLiteral("mixed sizes \u2192 canvas 1920x1080; re-encoding the other-sized takes")));
    EXPECT_TRUE(logged(QStringLiteral("mixed sizes: re-encoded 3 take(s) onto 1920x1080, rest passthrough")))
        << m_lines.join(u'\n').toStdString();

    const auto asset = av::Asset::open(out());
    ASSERT_EQ(asset->tracks(MediaType::Video).size(), 1);
    EXPECT_EQ(asset->tracks(MediaType::Video).first().naturalSize, QSizeF(1920, 1080));
    EXPECT_NEAR(asset->duration().seconds(), 2.0, 1.0 / 30);
    EXPECT_TRUE(decodesCleanly(out()));

    const QImage first = frameAt(out(), 0.0);
    EXPECT_EQ(frameNumber(first), 6);
    // 1280x720 fills the canvas at 1.5 times its size.
    const QImage filled = frameAt(out(), 0.5);
    EXPECT_EQ(frameNumber(filled), 9);
    EXPECT_TRUE(near(filled.pixel(20, 900), kColours[1]));
    // 960x720 is pillar-boxed: 1440 wide, black bars of 240 on each side.
    const QImage boxed = frameAt(out(), 1.0);
    EXPECT_EQ(boxed.size(), QSize(1920, 1080));
    EXPECT_TRUE(isBlack(boxed.pixel(100, 900)));
    EXPECT_TRUE(isBlack(boxed.pixel(1820, 900)));
    EXPECT_TRUE(near(boxed.pixel(300, 900), kColours[2]));
    EXPECT_TRUE(near(boxed.pixel(1620, 900), kColours[2]));
    // A portrait take stands centred: 607.5 wide from x = 656.25.
    const QImage portrait = frameAt(out(), 1.5);
    EXPECT_TRUE(isBlack(portrait.pixel(600, 900)));
    EXPECT_TRUE(isBlack(portrait.pixel(1320, 900)));
    EXPECT_TRUE(near(portrait.pixel(960, 900), kColours[3]));

    // The canvas-sized take's stretch, cut off its key frame, is re-encoded with its own
    // parameter sets: one sample description, the recorded take's.
    const auto recorded = av::Asset::open(QDir(takes()).filePath(list[0].filename));
    const QList<av::FormatDescription> formats = av::Asset::open(out())->tracks(MediaType::Video).first().formatDescriptions;
    ASSERT_EQ(formats.size(), 1);
    EXPECT_TRUE(formats.first().sameFormat(recorded->tracks(MediaType::Video).first().formatDescriptions.first()));
    expectNoLeftovers();
}

// A take with sound and no picture (a movie made by another program, or cut down) gives its
// sound to the export over black: it counts for no frame size, its stretch of the video is black
// (not a neighbour's picture held) on every write path, and an export of such takes alone is a
// movie without video.
TEST_F(MovieExportTest, TakesWithoutVideoGiveTheirSoundOverBlackAndNoSize)
{
    const auto soundTake = [this](double seconds) {
        Take take;
        take.id = QUuid::createUuid();
        take.filename = take.id.toString(QUuid::WithoutBraces) + QStringLiteral(".mov");
        take.duration = take.trimEnd = seconds;
        QDir().mkpath(takes());
        const auto made = lumacast::testing::runProcess(
            QStringLiteral("ffmpeg"), {"-v", "error", "-f", "lavfi", "-i", QStringLiteral("sine=f=440:d=%1").arg(seconds),
                                       "-c:a", "aac", "-ar", "48000", "-ac", "2", QDir(takes()).filePath(take.filename)});
        EXPECT_TRUE(made.ok()) << made.err.toStdString();
        return take;
    };
    constexpr int kBlack = -1;
    struct Row {
        const char *name;
        QList<Take> takes;
        int sound; // the take without video
        int videoTracks;
        double seconds;
        const char *decision;  // a log line of the size decision
        std::vector<std::pair<double, int>> shown; // seconds into the movie, and a take's colour or black
        bool otherRenderFormat = false;  // the whole video is re-encoded
    };
    const Row rows[] = {
        {"between two takes of one size",
         {makeTake(takes(), {.colour = 0}, 0.0, 1.0), soundTake(0.5), makeTake(takes(), {.colour = 1}, 0.0, 1.0)},
         1, 1, 2.5, "concat: full passthrough", {{0.5, 0}, {1.25, kBlack}, {2.0, 1}}},
        {"before two takes of one size",
         {soundTake(0.5), makeTake(takes(), {.colour = 0}, 0.0, 1.0), makeTake(takes(), {.colour = 1}, 0.0, 1.0)},
         0, 1, 2.5, "concat: full passthrough", {{0.25, kBlack}, {1.0, 0}, {2.0, 1}}},
        {"beside takes of two sizes",
         {makeTake(takes(), {.width = 640, .height = 360, .colour = 0}, 0.0, 1.0), soundTake(0.5),
          makeTake(takes(), {.colour = 1}, 0.0, 1.0)},
         1, 1, 2.5, "mixed sizes \u2192 canvas 640x360; re-encoding the other-sized takes",
         {{0.5, 0}, {1.25, kBlack}, {2.0, 1}}},
        {"beside takes of two sizes, the whole video re-encoded",
         {makeTake(takes(), {.width = 640, .height = 360, .colour = 0}, 0.0, 1.0), soundTake(0.5),
          makeTake(takes(), {.colour = 1}, 0.0, 1.0)},
         1, 1, 2.5, "re-encoded take format differs from recorded takes \u2014 re-encoding the whole video",
         {{0.5, 0}, {1.25, kBlack}, {2.0, 1}}, true},
        {"alone", {soundTake(1.0), soundTake(0.5)}, 1, 0, 1.5, "concat: full passthrough", {}},
    };
    for (const Row &row : rows) {
        m_lines.clear();
        MovieExportOptions options;
        if (row.otherRenderFormat)
            options.videoSettings = untaggedSettings;
        ASSERT_NO_THROW(run(row.takes, options)) << row.name << "\n" << m_lines.join(u'\n').toStdString();
        const Take &sound = row.takes[row.sound];
        EXPECT_TRUE(m_lines.contains(QStringLiteral("take ") + sound.filename
                                     + QStringLiteral(": no video, audio tracks=1, trim 0.0\u2013")
                                     + formatDouble(sound.trimEnd) + QStringLiteral(" of ")
                                     + formatDouble(sound.duration) + QLatin1Char('s')))
            << row.name << "\n" << m_lines.join(u'\n').toStdString();
        EXPECT_TRUE(logged(QString::fromUtf8(row.decision))) << row.name << "\n" << m_lines.join(u'\n').toStdString();
        const auto asset = av::Asset::open(out());
        EXPECT_EQ(asset->tracks(MediaType::Video).size(), row.videoTracks) << row.name;
        ASSERT_EQ(asset->tracks(MediaType::Audio).size(), 1) << row.name;
        EXPECT_NEAR(asset->tracks(MediaType::Audio).first().timeRange.duration.seconds(), row.seconds, 0.05) << row.name;
        EXPECT_TRUE(decodesCleanly(out())) << row.name;
        for (const auto &[at, colour] : row.shown) {
            const QImage image = frameAt(out(), at);
            const QRgb lower = image.pixel(image.width() / 2, image.height() * 3 / 4);
            if (colour == kBlack) {
                EXPECT_TRUE(isBlack(lower) && isBlack(image.pixel(image.width() / 2, image.height() / 8)))
                    << row.name << " at " << at;
                EXPECT_GT(toneIn(out(), at - 0.2, at + 0.2), 0.05) << row.name << " at " << at;
            } else {
                EXPECT_TRUE(near(lower, kColours[size_t(colour)])) << row.name << " at " << at;
            }
        }
        expectNoLeftovers();
        QFile::remove(out());
    }
}

TEST_F(MovieExportTest, RenderedFormatThatDiffersReencodesTheWholeVideo)
{
    const QList<Take> list{makeTake(takes(), {.width = 640, .height = 360, .colour = 0, .systemAudio = true}, 0.3, 0.8),
                           makeTake(takes(), {.width = 320, .height = 240, .colour = 1}, 0.1, 0.6)};
    MovieExportOptions options;
    options.videoSettings = untaggedSettings;
    run(list, options);
    EXPECT_TRUE(logged(QStringLiteral("re-encoded take format differs from recorded takes \u2014 re-encoding the whole video")));

    const auto asset = av::Asset::open(out());
    ASSERT_EQ(asset->tracks(MediaType::Video).size(), 1);
    ASSERT_EQ(asset->tracks(MediaType::Audio).size(), 1);
    EXPECT_EQ(asset->tracks(MediaType::Video).first().naturalSize, QSizeF(640, 360));
    EXPECT_NEAR(asset->duration().seconds(), 1.0, 1.0 / 30);
    EXPECT_EQ(frameNumber(frameAt(out(), 0.0)), 9);
    const QImage second = frameAt(out(), 0.5);
    // 320x240 stands 480 wide from x = 80.
    EXPECT_EQ(frameNumber(second.copy(80, 0, 480, 360)), 3);
    EXPECT_TRUE(isBlack(second.pixel(20, 300)));
    EXPECT_TRUE(near(second.pixel(320, 300), kColours[1]));
    EXPECT_TRUE(decodesCleanly(out()));
    expectNoLeftovers();
}

TEST_F(MovieExportTest, AWriterFailureEndsTheExportAndLeavesTheDestinationAlone)
{
    const QList<Take> list{makeTake(takes(), {.width = 640, .height = 360, .colour = 0}, 0.0, 1.0),
                           makeTake(takes(), {.width = 320, .height = 240, .colour = 1}, 0.0, 1.0)};
    QDir().mkpath(QFileInfo(out()).absolutePath());
    ASSERT_TRUE(lumacast::testing::writeFileOfSize(out(), 4096));
    for (bool wholeVideo : {false, true}) {
        MovieExportOptions options;
        options.beforeVideoAppend = [](qint64 written) {
            if (written == 5)
                throw av::MediaError(av::MediaError::mediaDomain(), av::MediaError::WriteFailed,
                                        QStringLiteral("The disk is full."));
        };
        if (wholeVideo)
            options.videoSettings = untaggedSettings;
        // Rendering the first take passes the hook as well; fail only the whole-video render.
        if (wholeVideo) {
            auto calls = std::make_shared<int>(0);
            options.beforeVideoAppend = [calls](qint64 written) {
                if (written == 0)
                    ++*calls;
                if (*calls == 2 && written == 5)
                    throw av::MediaError(av::MediaError::mediaDomain(), av::MediaError::WriteFailed,
                                            QStringLiteral("The disk is full."));
            };
        }
        m_lines.clear();
        EXPECT_THROW(run(list, options), av::MediaError);
        EXPECT_EQ(m_lines.filter(QStringLiteral("FAILED at writing samples")).size(), 1)
            << m_lines.join(u'\n').toStdString();
        EXPECT_EQ(QFileInfo(out()).size(), 4096);
        expectNoLeftovers();
    }

    // An encoder that refuses its settings fails before anything is pumped.
    MovieExportOptions refused;
    refused.videoSettings = [](int w, int h) {
        av::VideoSettings s;
        s.width = w;
        s.height = h;
        s.preset = QStringLiteral("no-such-preset");
        return s;
    };
    m_lines.clear();
    EXPECT_THROW(run(list, refused), av::MediaError);
    EXPECT_EQ(m_lines.filter(QRegularExpression(QStringLiteral("^FAILED at creating writer at .*\\.mov: "))).size(), 1)
        << m_lines.join(u'\n').toStdString();
    EXPECT_EQ(QFileInfo(out()).size(), 4096);
    expectNoLeftovers();
}

// The program leaves while a re-encoding export works on (the user quit during it): the export's
// scratch folder goes as the program ends although the export's thread still writes into it, and
// the render stops at its next frame rather than run on while the program ends.
TEST_F(MovieExportTest, TheProgramsEndRemovesTheScratchOfAnExportThatStillRuns)
{
    const QList<Take> list{makeTake(takes(), {.width = 640, .height = 360, .colour = 0}, 0.0, 1.0),
                           makeTake(takes(), {.width = 320, .height = 240, .colour = 1}, 0.0, 1.0)};
    std::atomic<bool> rendering{false};
    std::atomic<bool> ended{false};
    MovieExportOptions options;
    // The export's thread holds still in the middle of the render until the end has swept.
    options.beforeVideoAppend = [&](qint64 written) {
        if (written != 5 || rendering.exchange(true))
            return;
        for (int wait = 0; wait < 1000 && !ended; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    const auto scratch = [this] {
        return QDir(m_scratchParent.path()).entryList({QStringLiteral("LumacastExport-*")}, QDir::Dirs);
    };
    QStringList during;
    QStringList after;
    std::thread ending([&] {
        for (int wait = 0; wait < 3000 && !rendering; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        during = scratch();
        WorkingItem::removeAllNow();
        after = scratch();
        ended = true;
    });
    int failure = 0;
    try {
        run(list, options);
    } catch (const Error &error) {
        failure = error.code();
    }
    ending.join();
    ASSERT_TRUE(rendering);
    EXPECT_EQ(during.size(), 1);
    EXPECT_TRUE(after.isEmpty()) << after.join(u',').toStdString();
    EXPECT_EQ(failure, av::MediaError::Cancelled);
    EXPECT_FALSE(QFileInfo::exists(out()));
    expectNoLeftovers();
}

// On a real full disk: the message names the movie the user chose, not the hidden working one,
// and says that the disk is full; nothing is left beside the destination.
TEST_F(MovieExportTest, AFullDiskIsToldForTheChosenMovie)
{
    lumacast::testing::FullDisk disk;
    if (!disk.ready())
        GTEST_SKIP() << qPrintable(disk.reason());
    const QList<Take> list{makeTake(takes(), {.width = 640, .height = 360, .colour = 0}, 0.0, 1.0),
                           makeTake(takes(), {.width = 640, .height = 360, .colour = 1}, 0.0, 1.0)};
    disk.fill();
    const QString destination = disk.path() + "/Talk.mov";
    QString message;
    try {
        lumacast::testing::runTask(exportMovie(list, takes(), destination, {}, {}));
    } catch (const Error &error) {
        message = error.message();
    }
    EXPECT_TRUE(message.startsWith(QStringLiteral("The movie \u201CTalk.mov\u201D could not be written.")))
        << qPrintable(message);
    EXPECT_TRUE(message.contains("The disk is full")) << qPrintable(message);
    EXPECT_FALSE(message.contains(".lumacast-work-")) << qPrintable(message);
    EXPECT_EQ(QDir(disk.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{".filler"});
}

// A course of a thousand scenes at the usual limit of 1,024 open files: the export reads its takes
// a few at a time and writes the whole movie. With no file left to open at all, it says so rather
// than blame a take.
TEST_F(MovieExportTest, MoreTakesThanFilesMayBeOpenAtOnceExportWhole)
{
    const struct {
        const char *name;
        int takes;
        bool tableFull; // every file the limit allows is open before the export starts
    } rows[] = {{"1,100 takes under 1,024 files", 1100, false}, {"no file left to open", 3, true}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QDir(takes()).removeRecursively();
        // One tiny take, linked under many names: each is a take of its own to the export.
        const Take first = makeTake(takes(), {.width = 16, .height = 16, .fps = 10}, 0.0, 1.0);
        QList<Take> list{first};
        for (int i = 1; i < row.takes; ++i) {
            Take take = first;
            take.id = QUuid::createUuid();
            take.filename = QStringLiteral("T%1.mov").arg(i);
            ASSERT_EQ(::link(QFile::encodeName(QDir(takes()).filePath(first.filename)).constData(),
                             QFile::encodeName(QDir(takes()).filePath(take.filename)).constData()),
                      0);
            list << take;
        }
        struct rlimit saved {};
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        struct rlimit lowered = saved;
        lowered.rlim_cur = std::min<rlim_t>(1024, saved.rlim_cur);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
        std::vector<int> filling;
        for (int fd = 0; row.tableFull && (fd = ::dup(0)) >= 0;)
            filling.push_back(fd);
        QString failure;
        try {
            run(list);
        } catch (const Error &error) {
            failure = error.message();
        }
        for (const int fd : filling)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        if (row.tableFull) {
            EXPECT_TRUE(failure.startsWith(QStringLiteral("Lumacast has as many files open as the system allows")))
                << qPrintable(failure);
            continue;
        }
        ASSERT_TRUE(failure.isEmpty()) << qPrintable(failure);
        EXPECT_TRUE(logged(QStringLiteral("concat: full passthrough")));
        EXPECT_NEAR(av::Asset::open(out())->duration().seconds(), row.takes, 0.05);
        EXPECT_TRUE(decodesCleanly(out()));
    }
}

TEST_F(MovieExportTest, SameSizeTakesOfAnotherVideoFormatKeepTheirOwnSampleDescription)
{
    // A take of the same size encoded differently (another take's parameter sets) is re-encoded
    // with the settings of the first take, the others are passed through: the track keeps one
    // sample description, which some players need to play past the change.
    const QList<Take> list{makeTake(takes(), {.colour = 0}, 0.0, 1.0),
                           makeTake(takes(), {.colour = 2, .untagged = true}, 0.3, 1.0),
                           makeTake(takes(), {.colour = 1}, 0.0, 1.0)};
    run(list);
    EXPECT_EQ(m_lines.filter(QStringLiteral("video formats differ: re-encoded 1 take(s) onto ")).size(), 1)
        << m_lines.join(u'\n').toStdString();
    EXPECT_TRUE(logged(QStringLiteral("concat: full passthrough")));
    const auto asset = av::Asset::open(out());
    ASSERT_EQ(asset->tracks(MediaType::Video).size(), 1);
    EXPECT_EQ(asset->tracks(MediaType::Video).first().formatDescriptions.size(), 1);

    EXPECT_TRUE(decodesCleanly(out()));
    const auto counted = lumacast::testing::runProcess(
        QStringLiteral("ffprobe"), {"-v", "error", "-count_frames", "-select_streams", "v", "-show_entries",
                                    "stream=nb_read_frames", "-of", "csv=p=0", out()});
    EXPECT_EQ(counted.out.trimmed(), QByteArray("81"));
    const std::vector<std::tuple<double, int, int>> starts{{0.0, 0, 0}, {1.0, 9, 2}, {1.7, 0, 1}};
    for (const auto &[at, frame, colour] : starts) {
        const QImage image = frameAt(out(), at);
        EXPECT_EQ(frameNumber(image), frame) << at;
        EXPECT_TRUE(near(image.pixel(160, 150), kColours[size_t(colour)])) << at;
    }
}

TEST_F(MovieExportTest, ATakeNotIn420IsConvertedWhereItsCutIsReencoded)
{
    // The second take 4:4:4, as a movie made elsewhere may be, with its cut off its only key frame:
    // the frames from the cut on are re-encoded by the 4:2:0 encoder the recorded takes share.
    const QList<Take> list{makeTake(takes(), {.colour = 0}, 0.0, 0.5), makeTake(takes(), {.colour = 1}, 0.3, 1.0)};
    const QString stored = QDir(takes()).filePath(list[1].filename);
    const QString full = stored + QStringLiteral(".444.mov");
    const auto made = lumacast::testing::runProcess(
        QStringLiteral("ffmpeg"), {"-v", "error", "-i", stored, "-map", "0", "-c:a", "copy", "-c:v", "libx264", "-preset",
                                   "ultrafast", "-pix_fmt", "yuv444p", "-g", "120", "-bf", "0", full});
    ASSERT_TRUE(made.ok()) << made.err.toStdString();
    ASSERT_TRUE(QFile::remove(stored) && QFile::rename(full, stored));
    run(list);

    EXPECT_TRUE(decodesCleanly(out()));
    const auto formats = lumacast::testing::runProcess(
        QStringLiteral("ffprobe"), {"-v", "error", "-select_streams", "v", "-show_entries", "frame=pix_fmt", "-of",
                                    "default=noprint_wrappers=1:nokey=1", out()});
    const QStringList perFrame = QString::fromUtf8(formats.out).split(u'\n', Qt::SkipEmptyParts);
    EXPECT_EQ(QSet<QString>(perFrame.begin(), perFrame.end()), QSet<QString>{QStringLiteral("yuv420p")});
    const QImage image = frameAt(out(), 0.5);
    EXPECT_EQ(frameNumber(image), 9);
    EXPECT_TRUE(near(image.pixel(image.width() / 2, image.height() * 3 / 4), kColours[1]));
}

TEST_F(MovieExportTest, ATurnedTakeIsPlacedAsPlayersShowIt)
{
    const QList<Take> list{makeTake(takes(), {.width = 640, .height = 360, .colour = 0}, 0.0, 0.5),
                           makeTake(takes(), {.width = 320, .height = 180, .colour = 1}, 0.0, 0.5)};
    // The second take turned a quarter by its track matrix, as a phone or a turned screen gives.
    const QString stored = QDir(takes()).filePath(list[1].filename);
    const QString turned = stored + QStringLiteral(".turned.mov");
    // FFmpeg 6.1 on sets the matrix with -display_rotation (before -i, counter-clockwise); 5.1
    // lacks that option and sets it from the rotate tag, which FFmpeg 7 writes as a mere tag.
    if (!lumacast::testing::runProcess(QStringLiteral("ffmpeg"), {"-v", "error", "-display_rotation", "-90", "-i", stored,
                                                                  "-c", "copy", turned})
             .ok()) {
        ASSERT_TRUE(lumacast::testing::runProcess(QStringLiteral("ffmpeg"), {"-v", "error", "-y", "-i", stored, "-c", "copy",
                                                                             "-metadata:s:v:0", "rotate=90", turned})
                        .ok());
    }
    ASSERT_TRUE(QFile::remove(stored) && QFile::rename(turned, stored));
    run(list);
    EXPECT_TRUE(logged(QStringLiteral("mixed sizes \u2192 canvas 640x360; re-encoding the other-sized takes")));

    // ffmpeg's own turned picture tells which side the frame-number band belongs on.
    const QString reference = m_dir.filePath(QStringLiteral("turned.png"));
    ASSERT_TRUE(lumacast::testing::runProcess(QStringLiteral("ffmpeg"), {"-v", "error", "-i", stored, "-frames:v", "1", reference}).ok());
    const QImage shown(reference);
    ASSERT_EQ(shown.size(), QSize(180, 320));
    const bool bandOnLeft = !near(shown.pixel(5, 160), kColours[1]);
    EXPECT_NE(bandOnLeft, !near(shown.pixel(174, 160), kColours[1]));

    // Portrait on the canvas: 202.5 wide from x = 218.75, black on both sides.
    const QImage image = frameAt(out(), 0.5);
    EXPECT_TRUE(isBlack(image.pixel(150, 180)));
    EXPECT_TRUE(isBlack(image.pixel(490, 180)));
    EXPECT_TRUE(near(image.pixel(320, 180), kColours[1]));
    EXPECT_EQ(!near(image.pixel(225, 180), kColours[1]), bandOnLeft);
    EXPECT_EQ(!near(image.pixel(414, 180), kColours[1]), !bandOnLeft);
}

TEST_F(MovieExportTest, DriverExportsTheCheckedTakesOfASessionFolder)
{
    const QList<Take> list{makeTake(takes(), {.width = 640, .height = 360, .colour = 0}, 0.2, 0.7),
                           makeTake(takes(), {.width = 320, .height = 180, .colour = 1}, 0.0, 0.5)};
    SessionManifest manifest;
    manifest.sessionID = QUuid::createUuid();
    manifest.createdAt = QDateTime::currentDateTimeUtc();
    for (const Take &take : list) {
        SessionManifest::SceneManifest scene;
        scene.id = QUuid::createUuid();
        scene.takes.append({take.id, take.filename, take.duration, manifest.createdAt, std::nullopt,
                            take.trimStart > 0 ? std::optional(take.trimStart) : std::nullopt,
                            take.trimEnd < take.duration ? std::optional(take.trimEnd) : std::nullopt, std::nullopt});
        scene.selectedTakeID = take.id;
        manifest.scenes.append(scene);
    }
    QFile file(m_dir.filePath(QStringLiteral("manifest.json")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(manifest.toJson());
    file.close();

    QDir().mkpath(QFileInfo(out()).absolutePath());
    const auto result = lumacast::testing::runProcess(lumacast::testing::mediaDriverPath(),
                                                      {QStringLiteral("export-movie"), m_dir.path(), out()});
    ASSERT_TRUE(result.ok()) << result.err.toStdString();
    EXPECT_TRUE(result.err.contains("path: canvas")) << result.err.toStdString();
    EXPECT_TRUE(result.err.contains("rest passthrough")) << result.err.toStdString();
    EXPECT_TRUE(result.err.contains("progress 100%"));
    EXPECT_NEAR(av::Asset::open(out())->duration().seconds(), 1.0, 1.0 / 30);
}

} // namespace
