#include "platform/av/Asset.h"
#include "platform/av/Composition.h"
#include "platform/av/MovieStructure.h"
#include "platform/av/MovieWriter.h"

#include "TestMovies.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <numeric>
#include <vector>

#include <gtest/gtest.h>

using namespace lumacast::av;

namespace {

int firstTrackOf(const Asset &asset, MediaType type)
{
    for (const AssetTrack &t : asset.tracks())
        if (t.mediaType == type)
            return t.index;
    return -1;
}

// A 16x16 H.264 description for writer tests that never decode their samples.
FormatDescription tinyVideoFormat()
{
    FormatDescription f;
    f.mediaType = MediaType::Video;
    f.codecTag = "avc1";
    f.codecName = QStringLiteral("h264");
    f.width = 16;
    f.height = 16;
    f.parameterSets = QByteArray::fromHex("01640015ffe1000467640015ac");
    f.color = ColorTags{1, 1, 1, false};
    return f;
}

// Copies [from, from + length) seconds of every track of `source` into a new movie.
void cut(const QString &source, const QString &out, double from, double length)
{
    const auto asset = Asset::open(source);
    Composition composition;
    for (const AssetTrack &t : asset->tracks()) {
        const int track = composition.addTrack(t.mediaType);
        composition.insertTimeRange(track, {MediaTime::fromSeconds(from), MediaTime::fromSeconds(length)},
                                    asset, t.index, MediaTime::zero());
    }
    writePassthrough(composition, out);
}

} // namespace

TEST(Passthrough, CutOffAKeyFrameShowsExactlyTheRange)
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("source.mov"));
    const QString out = dir.filePath(QStringLiteral("cut.mov"));
    // Key frames every 10 frames at 30 fps: 0.5 s is frame 15, between the key frames 10 and 20.
    ASSERT_TRUE(testmovies::makeMovie(source, 3.0, 30, 10, true));
    cut(source, out, 0.5, 1.0);

    // Exactly the frames shown, none hidden: 15 to 19 re-encoded from a new key frame, then the
    // source's samples from its key frame 20 on.
    const MovieStructure structure = readMovieStructure(out);
    ASSERT_EQ(structure.tracks.size(), 2);
    const TrackStructure &video = structure.tracks[0];
    EXPECT_EQ(video.samples.size(), 30);
    EXPECT_TRUE(video.samples.front().sync);
    ASSERT_LE(video.edits.size(), 1);
    EXPECT_EQ(video.edits.value(0).segmentDuration, 600);
    EXPECT_EQ(video.edits.value(0).mediaTime, 0);
    EXPECT_EQ(testmovies::storedPacketHashes(out).mid(5), testmovies::storedPacketHashes(source).mid(20, 25));

    const QStringList sourceFrames = testmovies::decodedFrameHashes(source);
    const QStringList cutFrames = testmovies::decodedFrameHashes(out);
    ASSERT_EQ(sourceFrames.size(), 90);
    ASSERT_EQ(cutFrames.size(), 30);
    EXPECT_EQ(cutFrames.mid(5), sourceFrames.mid(20, 25));
    const QList<double> times = testmovies::decodedFrameTimes(out);
    ASSERT_FALSE(times.isEmpty());
    EXPECT_DOUBLE_EQ(times.first(), 0.0);

    const auto asset = Asset::open(out);
    EXPECT_EQ(asset->duration(), MediaTime(600, 600));
    // The audio keeps one frame of pre-roll before the cut and hides it.
    const TrackStructure &audio = structure.tracks[1];
    ASSERT_EQ(audio.edits.size(), 1);
    EXPECT_GT(audio.edits[0].mediaTime, 0);
    EXPECT_LE(audio.edits[0].mediaTime, 2048);
    EXPECT_NEAR(double(testmovies::decodedAudioSamples(out)), 48000.0, 1024.0);
}

TEST(Passthrough, ConcatenationCopiesEveryPacketAndHidesPriming)
{
    QTemporaryDir dir;
    const QString first = dir.filePath(QStringLiteral("first.mov"));
    const QString second = dir.filePath(QStringLiteral("second.mov"));
    const QString out = dir.filePath(QStringLiteral("joined.mov"));
    ASSERT_TRUE(testmovies::makeMovie(first, 1.0, 30, 10, true));
    ASSERT_TRUE(testmovies::makeMovie(second, 2.0, 30, 10, true,  160, 120,
                                      {QStringLiteral("-vf"), QStringLiteral("hflip")}));
    const auto a = Asset::open(first);
    const auto b = Asset::open(second);

    Composition composition;
    const int video = composition.addTrack(MediaType::Video);
    const int audio = composition.addTrack(MediaType::Audio);
    MediaTime cursor = MediaTime::zero();
    for (const auto &asset : {a, b}) {
        const MediaTime length = asset->duration();
        composition.insertTimeRange(video, {MediaTime::zero(), length}, asset,
                                    firstTrackOf(*asset, MediaType::Video), cursor);
        composition.insertTimeRange(audio, {MediaTime::zero(), length}, asset,
                                    firstTrackOf(*asset, MediaType::Audio), cursor);
        cursor = cursor + length;
    }
    QList<double> progress;
    PassthroughOptions options;
    options.progress = [&](double p) { progress << p; };
    writePassthrough(composition, out, options);
    ASSERT_FALSE(progress.isEmpty());
    EXPECT_DOUBLE_EQ(progress.last(), 1.0);

    EXPECT_EQ(testmovies::storedPacketHashes(out),
              testmovies::storedPacketHashes(first) + testmovies::storedPacketHashes(second));
    // The sound is the first movie's, less what the second's priming frame takes the place of
    // (a frame or two at its end), then the whole of the second's.
    const QStringList firstSound = testmovies::storedPacketHashes(first, QStringLiteral("a:0"));
    const QStringList secondSound = testmovies::storedPacketHashes(second, QStringLiteral("a:0"));
    const QStringList outSound = testmovies::storedPacketHashes(out, QStringLiteral("a:0"));
    const qsizetype head = outSound.size() - secondSound.size();
    EXPECT_GE(head, firstSound.size() - 2);
    EXPECT_EQ(outSound.mid(0, head), firstSound.mid(0, head));
    EXPECT_EQ(outSound.mid(head), secondSound);
    EXPECT_EQ(testmovies::decodedFrameHashes(out),
              testmovies::decodedFrameHashes(first) + testmovies::decodedFrameHashes(second));

    // One edit hides the first priming; the second's plays in the place of the first's last
    // frame: three seconds of sound, not more.
    const MovieStructure structure = readMovieStructure(out);
    const TrackStructure &sound = structure.tracks[1];
    ASSERT_EQ(sound.edits.size(), 1);
    EXPECT_EQ(sound.edits[0].mediaTime, 1024);
    EXPECT_NEAR(double(testmovies::decodedAudioSamples(out)), 3 * 48000.0, 1024.0);
    EXPECT_NEAR(Asset::open(out)->duration().seconds(), 3.0, 0.01);
}

TEST(Passthrough, DifferingSourcesBecomeSeveralSampleDescriptions)
{
    QTemporaryDir dir;
    const QString small = dir.filePath(QStringLiteral("small.mov"));
    const QString large = dir.filePath(QStringLiteral("large.mov"));
    const QString out = dir.filePath(QStringLiteral("mixed.mov"));
    ASSERT_TRUE(testmovies::makeMovie(small, 1.0, 30, 10, false, 160, 120));
    ASSERT_TRUE(testmovies::makeMovie(large, 1.0, 30, 10, false, 320, 240));
    const auto a = Asset::open(small);
    const auto b = Asset::open(large);
    Composition composition;
    const int video = composition.addTrack(MediaType::Video);
    composition.insertTimeRange(video, {MediaTime::zero(), a->duration()}, a, 0, MediaTime::zero());
    composition.insertTimeRange(video, {MediaTime::zero(), b->duration()}, b, 0, a->duration());
    composition.insertTimeRange(video, {MediaTime::zero(), a->duration()}, a, 0, a->duration() + b->duration());
    writePassthrough(composition, out);

    const auto joined = Asset::open(out);
    ASSERT_EQ(joined->tracks().size(), 1);
    const QList<FormatDescription> &formats = joined->tracks().first().formatDescriptions;
    ASSERT_EQ(formats.size(), 2); // the third stretch reuses the first description
    EXPECT_EQ(formats[0].width, 160);
    EXPECT_EQ(formats[1].width, 320);
    const TrackStructure &track = joined->structure()->tracks.first();
    EXPECT_EQ(track.samples[29].descriptionIndex, 1u);
    EXPECT_EQ(track.samples[30].descriptionIndex, 2u);
    EXPECT_EQ(track.samples[60].descriptionIndex, 1u);
    EXPECT_EQ(testmovies::decodedFrameHashes(out).size(), 90);
}

TEST(Passthrough, EmptyStretchesKeepTracksAligned)
{
    QTemporaryDir dir;
    const QString withSound = dir.filePath(QStringLiteral("sound.mov"));
    const QString silent = dir.filePath(QStringLiteral("silent.mov"));
    const QString out = dir.filePath(QStringLiteral("aligned.mov"));
    ASSERT_TRUE(testmovies::makeMovie(withSound, 1.0, 30, 10, true));
    ASSERT_TRUE(testmovies::makeMovie(silent, 1.0, 30, 10, false));
    const auto a = Asset::open(silent);
    const auto b = Asset::open(withSound);
    Composition composition;
    const int video = composition.addTrack(MediaType::Video);
    const int audio = composition.addTrack(MediaType::Audio);
    const MediaTime second(600, 600);
    composition.insertTimeRange(video, {MediaTime::zero(), second}, a, 0, MediaTime::zero());
    composition.insertEmptyTimeRange(audio, {MediaTime::zero(), second});
    composition.insertTimeRange(video, {MediaTime::zero(), second}, b, 0, second);
    composition.insertTimeRange(audio, {MediaTime::zero(), second}, b, 1, second);
    EXPECT_THROW(composition.insertTimeRange(audio, {MediaTime::zero(), second}, b, 0, second * 2), MediaError);
    EXPECT_THROW(composition.insertEmptyTimeRange(audio, {MediaTime::zero(), second}), MediaError);
    writePassthrough(composition, out);

    const MovieStructure structure = readMovieStructure(out);
    ASSERT_EQ(structure.tracks.size(), 2);
    // The stretch without sound is encoded silence, not an empty edit: some players would close
    // an empty edit up. The sound then starts at one second, its priming frame just before.
    const TrackStructure &sound = structure.tracks[1];
    ASSERT_EQ(sound.edits.size(), 1);
    EXPECT_FALSE(sound.edits[0].isEmpty());
    const QStringList sourceSound = testmovies::storedPacketHashes(withSound, QStringLiteral("a:0"));
    const QStringList outSound = testmovies::storedPacketHashes(out, QStringLiteral("a:0"));
    const qsizetype silence = outSound.size() - sourceSound.size();
    EXPECT_NEAR(double(silence) * 1024 / 48000, 1.0 - 1024.0 / 48000, 1024.0 / 48000);
    EXPECT_EQ(outSound.mid(silence), sourceSound);
    EXPECT_EQ(QSet<QString>(outSound.begin(), outSound.begin() + silence).size(), 1);
    EXPECT_NEAR(double(testmovies::decodedAudioSamples(out)), 2 * 48000.0, 1024.0);
}

TEST(Passthrough, SoundBeforeASilentStretchKeepsTheFrameItEndsIn)
{
    // The cut at 0.5 s falls 448 samples (of 1024) into a frame of the source's sound: the frame
    // stays whole, the silence after it gives way, so none of the sound before the cut is lost.
    QTemporaryDir dir;
    const QString withSound = dir.filePath(QStringLiteral("sound.mov"));
    const QString out = dir.filePath(QStringLiteral("cut.mov"));
    ASSERT_TRUE(testmovies::makeMovie(withSound, 1.0, 30, 10, true));
    const auto source = Asset::open(withSound);
    Composition composition;
    const int video = composition.addTrack(MediaType::Video);
    const int audio = composition.addTrack(MediaType::Audio);
    const MediaTime half(300, 600), second(600, 600);
    composition.insertTimeRange(video, {MediaTime::zero(), second}, source, 0, MediaTime::zero());
    composition.insertTimeRange(audio, {MediaTime::zero(), half}, source, 1, MediaTime::zero());
    composition.insertEmptyTimeRange(audio, {half, half});
    writePassthrough(composition, out);

    const QStringList sourceSound = testmovies::storedPacketHashes(withSound, QStringLiteral("a:0"));
    const QStringList outSound = testmovies::storedPacketHashes(out, QStringLiteral("a:0"));
    const qsizetype kept = 1 + (24000 + 1023) / 1024; // the priming frame, then every frame the cut reaches
    ASSERT_GT(outSound.size(), kept);
    EXPECT_EQ(outSound.mid(0, kept), sourceSound.mid(0, kept));
    EXPECT_EQ(QSet<QString>(outSound.begin() + kept, outSound.end()).size(), 1);
    EXPECT_NE(outSound[kept], sourceSound[kept]);
    EXPECT_NEAR(double(testmovies::decodedAudioSamples(out)), 48000.0, 1024.0);
}

TEST(MovieWriter, RefusesSamplesOutOfOrderAndRemovesUnfinishedFiles)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("partial.mov"));
    {
        MovieWriter writer(path);
        writer.open();
        const int track = writer.addTrack({MediaType::Video, 600, QSizeF(16, 16), {}, true});
        const FormatDescription f = tinyVideoFormat();
        const int description = writer.addSampleDescription(track, f);
        EXPECT_EQ(writer.addSampleDescription(track, f), description);
        EXPECT_THROW(writer.appendSample(track, QByteArray(10, 'x'), {5, 5, 20, true, description}), MediaError);
        writer.appendSample(track, QByteArray(10, 'x'), {0, 0, 20, true, description});
        EXPECT_THROW(writer.appendSample(track, QByteArray(10, 'x'), {10, 10, 20, false, description}), MediaError);
        EXPECT_THROW(writer.appendSample(track, QByteArray(10, 'x'), {20, 20, 20, false, 2}), MediaError);
        // A gap lengthens the previous sample.
        writer.appendSample(track, QByteArray(12, 'y'), {40, 40, 20, false, description});
        EXPECT_EQ(writer.mediaEnd(track), 60);
        EXPECT_TRUE(QFile::exists(path));
    }
    EXPECT_FALSE(QFile::exists(path));

    // A finished file reads back with what was written, synthesized sample entry included.
    MovieWriter writer(path, 1000);
    writer.open();
    const int track = writer.addTrack({MediaType::Video, 90000, QSizeF(16, 16), AffineTransform::rotation(90), true});
    FormatDescription f = tinyVideoFormat();
    f.pixelAspect = std::pair<int, int>(1, 1);
    const int d = writer.addSampleDescription(track, f);
    for (int i = 0; i < 4; ++i)
        writer.appendSample(track, QByteArray(7 + i, char('a' + i)), {i * 3000, i * 3000 + 3000, 3000, i == 0, d});
    writer.addEdit(track, {50, -1, 1.0});
    writer.addEdit(track, {100, 3000, 1.0});
    writer.finish();

    const MovieStructure s = readMovieStructure(path);
    EXPECT_EQ(s.majorBrand, QByteArray("qt  "));
    ASSERT_EQ(s.tracks.size(), 1);
    const TrackStructure &t = s.tracks.first();
    EXPECT_EQ(t.mediaTimescale, 90000u);
    EXPECT_EQ(t.headerDuration, 150);
    EXPECT_EQ(t.edits, (QList<EditEntry>{{50, -1, 1.0}, {100, 3000, 1.0}}));
    ASSERT_EQ(t.samples.size(), 4);
    EXPECT_EQ(t.samples[2].size, 9u);
    EXPECT_EQ(t.samples[3].decodeTime, 9000);
    EXPECT_EQ(t.samples[3].compositionOffset, 3000);
    EXPECT_TRUE(t.samples[0].sync);
    EXPECT_FALSE(t.samples[1].sync);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    file.seek(t.samples[2].offset);
    EXPECT_EQ(file.read(9), QByteArray(9, 'c'));
    auto read = FormatDescription::fromSampleEntry(t.sampleEntries.first(), MediaType::Video);
    ASSERT_TRUE(read.has_value());
    EXPECT_TRUE(read->sameFormat(f));
    EXPECT_EQ(t.matrix.b, 1.0);
    EXPECT_EQ(t.matrix.c, -1.0);

    // The asset view turns the natural size by the matrix.
    const auto asset = Asset::open(path);
    ASSERT_EQ(asset->tracks().size(), 1);
    EXPECT_EQ(asset->tracks().first().preferredTransform, AffineTransform::rotation(90));
    EXPECT_EQ(asset->tracks().first().orientedFrame(), QRectF(-16, 0, 16, 16));
    EXPECT_EQ(asset->duration(), MediaTime(150, 1000));
}

// Runs copied from a source file on the output's own file system go through the kernel; from
// another file system (tmpfs) through the writer's bounded buffer, with runs longer than it.
// Either way every sample reads back byte for byte where the tables say, and a run the source
// cannot fill or the writer refuses leaves no bytes behind that would shift later samples.
TEST(MovieWriter, CopiedRunsReadBackByteForByteFromEitherFileSystem)
{
    QStringList sourceFolders{QDir::tempPath()};
    if (QFileInfo(QStringLiteral("/dev/shm")).isDir() && QFileInfo(QStringLiteral("/dev/shm")).isWritable())
        sourceFolders << QStringLiteral("/dev/shm");
    for (const QString &folder : sourceFolders) {
        SCOPED_TRACE(folder.toStdString());
        QTemporaryDir sourceDir(folder + QStringLiteral("/lumacast-source-XXXXXX"));
        QTemporaryDir outDir;
        ASSERT_TRUE(sourceDir.isValid() && outDir.isValid());
        QByteArray bytes(3 * 1024 * 1024 + 12345, Qt::Uninitialized);
        std::uint32_t state = 12345;
        for (char &c : bytes)
            c = char((state = state * 1664525u + 1013904223u) >> 24);
        QFile source(sourceDir.filePath(QStringLiteral("source.bin")));
        ASSERT_TRUE(source.open(QIODevice::ReadWrite));
        ASSERT_EQ(source.write(bytes), bytes.size());
        ASSERT_TRUE(source.flush());

        const QString path = outDir.filePath(QStringLiteral("copied.mov"));
        MovieWriter writer(path);
        writer.open();
        const int track = writer.addTrack({MediaType::Video, 600, QSizeF(16, 16), {}, true});
        const FormatDescription f = tinyVideoFormat();
        const int d = writer.addSampleDescription(track, f);
        auto sample = [&](std::uint32_t size, std::int64_t at) { return CopiedSample{size, {at, at, 20, at == 0, d}}; };

        QList<QByteArray> expected;
        const std::vector<CopiedSample> first{sample(1000, 0), sample(1536 * 1024, 20), sample(1200 * 1024, 40)};
        writer.appendSamples(track, source, 0, first);
        expected << bytes.mid(0, 1000) << bytes.mid(1000, 1536 * 1024) << bytes.mid(1000 + 1536 * 1024, 1200 * 1024);
        writer.appendSample(track, QByteArray(5, 'm'), {60, 60, 20, false, d});
        expected << QByteArray(5, 'm');

        // The source ends 1000 bytes into the second sample.
        const std::vector<CopiedSample> pastEnd{sample(4000, 80), sample(5000, 100)};
        try {
            writer.appendSamples(track, source, bytes.size() - 5000, pastEnd);
            ADD_FAILURE() << "a run beyond the source's end was copied";
        } catch (const MediaError &e) {
            EXPECT_EQ(e.code(), MediaError::ReadFailed);
        }
        // The second sample decodes before the first one ends.
        const std::vector<CopiedSample> refused{sample(10, 80), sample(10, 85)};
        EXPECT_THROW(writer.appendSamples(track, source, 0, refused), MediaError);
        EXPECT_EQ(writer.mediaEnd(track), 80);

        const std::vector<CopiedSample> last{sample(70000, 80), sample(3, 100)};
        writer.appendSamples(track, source, 7, last);
        expected << bytes.mid(7, 70000) << bytes.mid(70007, 3);
        writer.finish();

        const MovieStructure s = readMovieStructure(path);
        ASSERT_EQ(s.tracks.size(), 1);
        const QList<SampleRecord> &samples = s.tracks[0].samples;
        ASSERT_EQ(samples.size(), expected.size());
        QFile out(path);
        ASSERT_TRUE(out.open(QIODevice::ReadOnly));
        for (qsizetype i = 0; i < samples.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(samples[i].decodeTime, i * 20);
            ASSERT_EQ(samples[i].size, std::uint32_t(expected[i].size()));
            ASSERT_TRUE(out.seek(samples[i].offset));
            EXPECT_TRUE(out.read(samples[i].size) == expected[i]);
        }
        EXPECT_EQ(writer.sampleBytesWritten(), std::accumulate(expected.begin(), expected.end(), qint64(0),
                                                               [](qint64 n, const QByteArray &b) { return n + b.size(); }));
    }
}

TEST(Passthrough, StretchCopiesPointTheTablesBackIntoTheirSource)
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("source.mov"));
    const QString out = dir.filePath(QStringLiteral("swapped.mov"));
    ASSERT_TRUE(testmovies::makeMovie(source, 3.0, 30, 10, true));
    const auto asset = Asset::open(source);

    // The second second, then the first: the samples the movie takes second lie earlier in the
    // source than those it takes first.
    Composition composition;
    const MediaTime second = MediaTime::fromSeconds(1.0);
    for (const MediaType type : {MediaType::Video, MediaType::Audio}) {
        const int track = composition.addTrack(type);
        composition.insertTimeRange(track, {second, second}, asset, firstTrackOf(*asset, type), MediaTime::zero());
        composition.insertTimeRange(track, {MediaTime::zero(), second}, asset, firstTrackOf(*asset, type), second);
    }
    PassthroughOptions options;
    options.copySourceStretches = true;
    writePassthrough(composition, out, options);

    const TrackStructure video = readMovieStructure(out).tracks[0];
    ASSERT_EQ(video.samples.size(), 60);
    EXPECT_LT(video.samples[30].offset, video.samples[29].offset);
    const QStringList frames = testmovies::decodedFrameHashes(source);
    ASSERT_EQ(frames.size(), 90);
    EXPECT_EQ(testmovies::decodedFrameHashes(out), frames.mid(30, 30) + frames.mid(0, 30));
    EXPECT_NEAR(double(testmovies::decodedAudioSamples(out)), 2 * 48000.0, 1024.0);
    const auto decoded = lumacast::testing::runProcess(
        QStringLiteral("ffmpeg"), {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), out,
                                   QStringLiteral("-f"), QStringLiteral("null"), QStringLiteral("-")});
    EXPECT_TRUE(decoded.ok());
    EXPECT_TRUE(decoded.err.trimmed().isEmpty()) << decoded.err.toStdString();

    // A sample can only be placed on bytes the movie already holds.
    MovieWriter writer(dir.filePath(QStringLiteral("placed.mov")));
    const int track = writer.addTrack({});
    FormatDescription format;
    format.mediaType = MediaType::Video;
    format.sampleEntry = readMovieStructure(source).tracks[0].sampleEntries.first();
    writer.addSampleDescription(track, format);
    writer.open();
    QFile input(source);
    ASSERT_TRUE(input.open(QIODevice::ReadOnly));
    const std::int64_t at = writer.appendBytes(input, video.samples[0].offset, 100);
    SampleTiming timing;
    timing.duration = 20;
    EXPECT_THROW(writer.addSampleAt(track, at + 50, 51, timing), MediaError);
    EXPECT_THROW(writer.addSampleAt(track, at - 1, 10, timing), MediaError);
    writer.addSampleAt(track, at + 50, 50, timing);
    writer.finish();
}

// Picture and sound the source interleaved go over in runs as the source holds them, and only
// the bytes of samples the movie takes: what a cut or a left-out track holds between them never
// reaches the movie (its samples lie back to back), while every frame plays.
TEST(Passthrough, ACopyCarriesOnlyTheSamplesItTakes)
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("source.mov"));
    ASSERT_TRUE(testmovies::makeMovie(source, 3.0, 30, 10, true));
    const auto asset = Asset::open(source);
    const struct {
        const char *name;
        bool withSound;
        double from, length;
        int frames;
    } rows[] = {
        {"picture and sound, whole", true, 0, 3, 90},
        {"picture alone: the sound between its frames stays behind", false, 0, 3, 90},
        {"a cut from the middle", true, 1, 1, 30},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const QString out = dir.filePath(QString::fromLatin1(row.name).left(8) + QStringLiteral(".mov"));
        Composition composition;
        for (const MediaType type : {MediaType::Video, MediaType::Audio}) {
            if (type == MediaType::Audio && !row.withSound)
                continue;
            const int track = composition.addTrack(type);
            composition.insertTimeRange(track, {MediaTime::fromSeconds(row.from), MediaTime::fromSeconds(row.length)},
                                        asset, firstTrackOf(*asset, type), MediaTime::zero());
        }
        writePassthrough(composition, out);

        std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
        for (const TrackStructure &track : readMovieStructure(out).tracks)
            for (const SampleRecord &sample : track.samples)
                ranges.emplace_back(sample.offset, sample.offset + sample.size);
        std::sort(ranges.begin(), ranges.end());
        for (std::size_t i = 1; i < ranges.size(); ++i)
            ASSERT_EQ(ranges[i].first, ranges[i - 1].second) << "bytes no sample refers to, after sample " << i;
        EXPECT_EQ(testmovies::decodedFrameHashes(out).size(), row.frames);
    }
}
