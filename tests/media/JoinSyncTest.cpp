// Three tails joined one after another onto the same take: every splice stays where it was put,
// in the pictures and in both audio tracks.
#include "JoinTestMovies.h"

#include "media/TakeJoiner.h"
#include "support/TestEnvironment.h"
#include "support/ToneAnalysis.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace lumacast;
using namespace lumacast::testing;
using namespace lumacast::testing::join;

namespace {

struct Piece {
    QRgb colour;
    double toneHz; // microphone; system audio plays 1.5 times this
};

// One audio track decoded and mixed to mono, each block placed at its presentation time (what
// the track does not cover stays silent).
std::vector<float> decodeMono(const QString &path, int audioIndex, int &sampleRate)
{
    const auto asset = av::Asset::open(path);
    av::AssetReader reader(asset, asset->tracks(av::MediaType::Audio)[audioIndex].index);
    std::vector<float> mono;
    while (auto block = reader.nextAudio()) {
        sampleRate = block->sampleRate;
        const auto first = std::size_t(std::llround(block->presentationTime.seconds() * block->sampleRate));
        if (mono.size() < first + std::size_t(block->frameCount))
            mono.resize(first + std::size_t(block->frameCount), 0.0f);
        const auto *samples = reinterpret_cast<const float *>(block->samples.constData());
        for (qint64 i = 0; i < block->frameCount; ++i) {
            float sum = 0;
            for (int c = 0; c < block->channels; ++c)
                sum += samples[i * block->channels + c];
            mono[first + std::size_t(i)] = sum / float(block->channels);
        }
    }
    return mono;
}

double rmsBetween(const std::vector<float> &mono, int rate, double from, double to)
{
    const auto a = std::min(mono.size(), std::size_t(from * rate));
    const auto b = std::min(mono.size(), std::size_t(to * rate));
    return rms(std::vector<float>(mono.begin() + std::ptrdiff_t(a), mono.begin() + std::ptrdiff_t(b)));
}

// Where, near `around`, the tone changes from `before` to `after` Hz: the middle of the first
// short window in which the new tone is the stronger.
double toneChange(const std::vector<float> &mono, int rate, double around, double before, double after)
{
    const std::size_t window = 256;
    const auto from = std::size_t(std::max(0.0, (around - 0.25) * rate));
    const auto to = std::min(mono.size() - window, std::size_t((around + 0.25) * rate));
    for (std::size_t start = from; start < to; start += 16) {
        const std::vector<float> part(mono.begin() + std::ptrdiff_t(start), mono.begin() + std::ptrdiff_t(start + window));
        if (toneAmplitude(part, rate, after) > toneAmplitude(part, rate, before))
            return (double(start) + window / 2.0) / rate;
    }
    return -1;
}

TEST(JoinSyncTest, ThreeTailsOnOneTakeKeepPicturesAndBothAudioTracksInStep)
{
    QTemporaryDir dir;
    const std::vector<Piece> pieces = {{qRgb(220, 30, 30), 400}, {qRgb(30, 200, 30), 1000},
                                       {qRgb(30, 30, 220), 1600}, {qRgb(220, 220, 30), 2200}};
    SourceSpec take;
    take.fps = 30;
    take.systemAudio = true;
    take.seconds = 4;
    take.colour = pieces[0].colour;
    take.toneHz = pieces[0].toneHz;
    const QString takePath = dir.filePath("take.mov");
    ASSERT_TRUE(writeSource(takePath, take));

    // Splices on and off the frame grid, each inside the previous tail.
    const std::vector<double> splices = {3.0, 4.21, 5.105};
    const std::vector<double> tailSeconds = {2.0, 1.5, 2.0};
    QString current = takePath;
    for (int n = 0; n < 3; ++n) {
        const QString tail = dir.filePath(QStringLiteral("tail%1.tail.mov").arg(n));
        ASSERT_TRUE(writeSource(tail, tailSpecFor(current, take, pieces[n + 1].colour, pieces[n + 1].toneHz, tailSeconds[n])));
        const QString joined = dir.filePath(QStringLiteral("joined%1.joining.mov").arg(n));
        const auto result = lumacast::testing::runTask(take_joiner::join({current, splices[n], tail, joined}));
        EXPECT_EQ(result.audioTrackCount, 2);
        current = joined;
    }
    const double tailDuration = av::Asset::open(dir.filePath("tail2.tail.mov"))->duration().seconds();
    EXPECT_NEAR(av::Asset::open(current)->duration().seconds(), splices[2] + tailDuration, 1e-9);

    // A splice less than half a frame after a frame's start puts two frames into one step of
    // 1/fps, the time base ffmpeg would give its null output by default and then complain
    // about; the stream's own time base keeps every frame apart.
    const ProcessResult decoded = runProcess(
        QStringLiteral("ffmpeg"), {"-v", "error", "-i", current, "-map", "0", "-enc_time_base:v", "-1", "-f", "null", "-"});
    EXPECT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.err.trimmed().toStdString(), "");

    // Pictures: each piece's colour up to the next splice.
    const std::vector<double> bounds = {0, splices[0], splices[1], splices[2], 1e9};
    for (const ShownFrame &f : shownFrames(current)) {
        int piece = 0;
        while (!(f.time < bounds[std::size_t(piece) + 1]))
            ++piece;
        EXPECT_TRUE(closeColour(f.colour, pieces[std::size_t(piece)].colour)) << "frame at " << f.time;
    }

    // Sound: each tone gives way to the next within one AAC frame of the splice, in both tracks.
    for (int track = 0; track < 2; ++track) {
        SCOPED_TRACE(track);
        int rate = 0;
        const std::vector<float> mono = decodeMono(current, track, rate);
        ASSERT_EQ(rate, 48000);
        const double factor = track == 0 ? 1.0 : 1.5;
        for (std::size_t s = 0; s < splices.size(); ++s) {
            const double change = toneChange(mono, rate, splices[s], pieces[s].toneHz * factor, pieces[s + 1].toneHz * factor);
            EXPECT_NEAR(change, splices[s], 1024.0 / rate) << "splice " << s;
        }
        EXPECT_NEAR(double(mono.size()) / rate, splices[2] + tailDuration, 1024.0 / rate);
    }
}

TEST(JoinSyncTest, SoundThatStartsLateKeepsItsPlaceInTakeAndTail)
{
    // Capture often delivers the first microphone samples a moment after the first frame; the
    // join must keep that sound where it was, in the take and in the tail.
    QTemporaryDir dir;
    SourceSpec take;
    take.seconds = 3;
    take.micDelay = 0.4;
    take.toneHz = 400;
    const QString takePath = dir.filePath("take.mov"), tailPath = dir.filePath("late.tail.mov");
    ASSERT_TRUE(writeSource(takePath, take));
    SourceSpec tail = tailSpecFor(takePath, take, qRgb(30, 200, 30), 1000, 1.5);
    tail.micDelay = 0.7;
    ASSERT_TRUE(writeSource(tailPath, tail));

    const double splice = 2.0;
    const QString out = dir.filePath("late.joining.mov");
    lumacast::testing::runTask(take_joiner::join({takePath, splice, tailPath, out}));

    int rate = 0;
    const std::vector<float> mono = decodeMono(out, 0, rate);
    ASSERT_EQ(rate, 48000);
    const double frame = 1024.0 / rate;
    EXPECT_LT(rmsBetween(mono, rate, 0, take.micDelay - frame), 0.01);
    EXPECT_GT(rmsBetween(mono, rate, take.micDelay + frame, splice - frame), 0.1);

    // The tail's silent start stays silent, and its sound starts where the tail's did. Takes fill
    // a late start with encoded silence, so the joined track keeps a single edit (the priming)
    // that every player follows.
    EXPECT_LT(rmsBetween(mono, rate, splice + frame, splice + tail.micDelay - frame), 0.01);
    EXPECT_GT(rmsBetween(mono, rate, splice + tail.micDelay + frame, splice + 1.5 - frame), 0.1);
    for (const QString &movie : {takePath, tailPath, out}) {
        const av::MovieStructure structure = av::readMovieStructure(movie);
        for (const av::TrackStructure &track : structure.tracks)
            EXPECT_LE(track.edits.size(), 1) << movie.toStdString() << " track " << track.trackID;
    }
}

} // namespace
