// The tail join end to end on movies of the real take writer: copied samples, the splice, the
// edit lists, the decoded frames, and what is left on disk when a join fails.
#include "JoinTestMovies.h"

#include "media/TakeJoiner.h"
#include "platform/av/JoinExportSession.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

using namespace lumacast;
using namespace lumacast::testing;
using namespace lumacast::testing::join;
using take_joiner::JoinError;
using take_joiner::JoinRequest;

namespace {

constexpr QRgb kTakeColour = qRgb(220, 30, 30);
constexpr QRgb kTailColour = qRgb(30, 200, 30);

struct JoinCase {
    int fps;
    bool systemAudio;
    bool onKeyFrame;
    const char *name;
};

class JoinEngineTest : public ::testing::TestWithParam<JoinCase> {};

// Where a media time of a track is shown on the movie's timeline, through its edit list.
std::optional<double> movieTimeOf(const av::TrackStructure &track, std::int64_t mediaTime, std::uint32_t movieScale)
{
    double position = 0;
    for (const av::EditEntry &e : track.edits) {
        const double length = double(e.segmentDuration) / movieScale;
        if (!e.isEmpty()) {
            const double offset = double(mediaTime - e.mediaTime) / track.mediaTimescale;
            if (offset >= 0 && offset < length)
                return position + offset;
        }
        position += length;
    }
    return std::nullopt;
}

// A splice time in ticks of 1/600 s: on a sync sample other than the first, or between sync
// samples and off the frame grid.
std::int64_t chooseSplice(const QString &take, int fps, bool onKeyFrame)
{
    const av::MovieStructure movie = av::readMovieStructure(take);
    const av::TrackStructure &video = movie.tracks[0];
    if (onKeyFrame) {
        for (const av::SampleRecord &s : video.samples)
            if (s.sync && s.presentationTime() > 0)
                return s.presentationTime() * 600 / video.mediaTimescale;
        ADD_FAILURE() << "the take has no second key frame";
        return 0;
    }
    // Half way between two frames, on a frame that depends on an earlier one.
    for (qsizetype i = video.samples.size() / 2; i < video.samples.size(); ++i)
        if (!video.samples[i].sync)
            return video.samples[i].presentationTime() * 600 / video.mediaTimescale + 600 / fps / 2;
    ADD_FAILURE() << "the take has no frame between key frames";
    return 0;
}

TEST_P(JoinEngineTest, CopiesEverySampleAndSplicesExactlyAtTheTrimEnd)
{
    const JoinCase c = GetParam();
    QTemporaryDir dir;
    const QString take = dir.filePath("take.mov"), tail = dir.filePath("take.tail.mov"), out = dir.filePath("take.joining.mov");
    SourceSpec spec;
    spec.fps = c.fps;
    spec.systemAudio = c.systemAudio;
    spec.colour = kTakeColour;
    // Long enough for a second key frame (every 120 frames).
    spec.seconds = c.fps == 30 ? 4.5 : 2.5;
    ASSERT_TRUE(writeSource(take, spec));
    ASSERT_TRUE(writeSource(tail, tailSpecFor(take, spec, kTailColour, 660, 1.5)));

    const std::int64_t spliceTicks = chooseSplice(take, c.fps, c.onKeyFrame);
    ASSERT_GT(spliceTicks, 0);
    const double trimEnd = double(spliceTicks) / 600.0;
    std::vector<double> reports;
    const take_joiner::JoinResult result = lumacast::testing::runTask(
        take_joiner::join(JoinRequest{take, trimEnd, tail, out}, [&](double p) { reports.push_back(p); }));

    const double tailSeconds = av::Asset::open(tail)->duration().seconds();
    EXPECT_EQ(result.outputURL, out);
    EXPECT_EQ(result.audioTrackCount, c.systemAudio ? 2 : 1);
    EXPECT_NEAR(result.duration, trimEnd + tailSeconds, 0.05);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), 1.0);
    EXPECT_EQ(std::count(reports.begin(), reports.end(), 1.0), 1);

    // A player's decoder finds nothing wrong.
    const ProcessResult decoded = runProcess(QStringLiteral("ffmpeg"), {"-v", "error", "-i", out, "-f", "null", "-"});
    EXPECT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.err.trimmed().toStdString(), "");

    // Every stored sample is a byte-identical copy: the take's first samples, then the whole tail.
    const av::MovieStructure joined = av::readMovieStructure(out);
    const av::MovieStructure takeMovie = av::readMovieStructure(take);
    const av::MovieStructure tailMovie = av::readMovieStructure(tail);
    ASSERT_EQ(joined.tracks.size(), takeMovie.tracks.size());
    for (int t = 0; t < joined.tracks.size(); ++t) {
        SCOPED_TRACE(t);
        EXPECT_EQ(joined.tracks[t].handlerType, takeMovie.tracks[t].handlerType);
        EXPECT_EQ(joined.tracks[t].sampleEntries.size(), 1);
        const QList<QByteArray> outHashes = sampleHashes(out, t);
        const QList<QByteArray> takeHashes = sampleHashes(take, t);
        const QList<QByteArray> tailHashes = sampleHashes(tail, t);
        const qsizetype head = outHashes.size() - tailHashes.size();
        ASSERT_GT(head, 0);
        EXPECT_EQ(outHashes.mid(0, head), takeHashes.mid(0, head));
        EXPECT_EQ(outHashes.mid(head), tailHashes);

        // The head shows exactly up to the splice and the tail's first shown sample (after the
        // AAC encoder's priming) lands on it: exactly for video, within half an AAC frame for
        // sound, which is laid out in whole frames without hiding any.
        const av::TrackStructure &track = joined.tracks[t];
        EXPECT_EQ(joined.movieTimescale, 600u);
        ASSERT_FALSE(track.edits.isEmpty());
        EXPECT_EQ(track.edits[0].mediaTime, takeMovie.tracks[t].edits.value(0).mediaTime);
        const std::int64_t tailShown = track.samples[head].decodeTime + tailMovie.tracks[t].edits.value(0).mediaTime;
        const auto shownAt = movieTimeOf(track, tailShown, joined.movieTimescale);
        ASSERT_TRUE(shownAt.has_value());
        if (track.handlerType == "vide")
            EXPECT_DOUBLE_EQ(*shownAt, trimEnd);
        else
            EXPECT_NEAR(*shownAt, trimEnd, 512.0 / 48000 + 1e-9);
        EXPECT_LE(track.edits.size(), 1);
        if (track.edits.size() > 1) {
            EXPECT_EQ(track.edits[0].segmentDuration, spliceTicks);
        }
        if (track.handlerType == "vide") {
            // Exactly the frames shown before the splice, from the first key frame on.
            qsizetype shownBefore = 0;
            for (const av::SampleRecord &s : takeMovie.tracks[t].samples)
                shownBefore += s.presentationTime() * 600 < spliceTicks * std::int64_t(takeMovie.tracks[t].mediaTimescale);
            EXPECT_EQ(head, shownBefore);
        }
    }

    // The frames a player shows: the take's up to the splice, the tail's from it on.
    const std::vector<ShownFrame> frames = shownFrames(out);
    const int takeFrames = int((spliceTicks * c.fps + 599) / 600);
    const int tailFrames = int(tailMovie.tracks[0].samples.size());
    ASSERT_EQ(int(frames.size()), takeFrames + tailFrames);
    for (int i = 0; i < int(frames.size()); ++i) {
        SCOPED_TRACE(i);
        const ShownFrame &f = frames[std::size_t(i)];
        if (i < takeFrames) {
            EXPECT_NEAR(f.time, double(i) / c.fps, 1e-3);
            EXPECT_TRUE(closeColour(f.colour, kTakeColour));
            EXPECT_EQ(f.index, i % kIndexCycle);
        } else {
            const int j = i - takeFrames;
            EXPECT_NEAR(f.time, trimEnd + double(j) / c.fps, 1e-3);
            EXPECT_TRUE(closeColour(f.colour, kTailColour));
            EXPECT_EQ(f.index, j % kIndexCycle);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(TakesAndTails, JoinEngineTest,
                         ::testing::Values(JoinCase{30, false, true, "Fps30MicOnKeyFrame"},
                                           JoinCase{30, false, false, "Fps30MicOffKeyFrame"},
                                           JoinCase{60, true, true, "Fps60MicAndSystemOnKeyFrame"},
                                           JoinCase{60, true, false, "Fps60MicAndSystemOffKeyFrame"},
                                           JoinCase{30, true, false, "Fps30MicAndSystemOffKeyFrame"}),
                         [](const auto &info) { return std::string(info.param.name); });

// --- failures and what they leave behind ------------------------------------------------------

class JoinFailureTest : public SharedMovieFolder<JoinFailureTest> {
    friend SharedMovieFolder<JoinFailureTest>;

protected:
    static void makeMovies()
    {
        SourceSpec take;
        take.seconds = 1.5;
        writeSource(path("take.mov"), take);
        writeSource(path("take.tail.mov"), tailSpecFor(path("take.mov"), take, kTailColour, 660, 1));
        SourceSpec mono = take;
        mono.micChannels = 1;
        mono.seconds = 1;
        writeSource(path("mono.tail.mov"), mono);
    }

    // Joins and returns the error; fails the test when the join succeeds.
    static std::optional<JoinError> joinError(const JoinRequest &request, std::vector<double> *reports = nullptr)
    {
        try {
            take_joiner::ProgressCallback progress;
            if (reports)
                progress = [reports](double p) { reports->push_back(p); };
            lumacast::testing::runTask(take_joiner::join(request, progress));
        } catch (const JoinError &e) {
            return e;
        }
        ADD_FAILURE() << "the join succeeded";
        return std::nullopt;
    }

    static void writeMarker(const QString &file)
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("previous output");
    }
    static QByteArray contents(const QString &file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
};

TEST_F(JoinFailureTest, RefusalLeavesAnExistingOutputAlone)
{
    const QString out = path("refused.joining.mov");
    writeMarker(out);
    std::vector<double> reports;
    const auto error = joinError({path("take.mov"), 1.0, path("mono.tail.mov"), out}, &reports);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), JoinError::Kind::policyRefused);
    EXPECT_EQ(error->description(), QStringLiteral("The tail can't be joined: audio track 0 format differs "
                                                   "(sample rate, channels, layout or encoder settings)."));
    EXPECT_EQ(contents(out), QByteArray("previous output"));
    EXPECT_TRUE(reports.empty());

    const auto missing = joinError({path("take.mov"), 1.0, path("gone.tail.mov"), out});
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->kind(), JoinError::Kind::policyRefused);
    EXPECT_TRUE(missing->description().startsWith(QStringLiteral("The tail can't be joined: could not read the source tracks: ")));
    EXPECT_EQ(contents(out), QByteArray("previous output"));
}

TEST_F(JoinFailureTest, FailedVerificationKeepsTheEarlierOutputAndNeverReportsCompletion)
{
    // Nothing of the take is kept: there is no frame before the splice.
    const QString out = path("empty-head.joining.mov");
    writeMarker(out);
    std::vector<double> reports;
    const auto error = joinError({path("take.mov"), 0.0, path("take.tail.mov"), out}, &reports);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), JoinError::Kind::verifyFailed);
    EXPECT_TRUE(error->description().startsWith(
        QStringLiteral("The joined movie failed verification: no decodable frame before the splice")))
        << error->description().toStdString();
    // The joined movie was made aside: the file already at the output location is untouched and
    // nothing of the failed join is left beside it.
    EXPECT_EQ(contents(out), QByteArray("previous output"));
    EXPECT_TRUE(QDir(QFileInfo(out).absolutePath())
                    .entryList({QStringLiteral(".lumacast-work-*")}, QDir::AllEntries | QDir::Hidden)
                    .isEmpty());
    EXPECT_EQ(std::count(reports.begin(), reports.end(), 1.0), 0);
}

TEST_F(JoinFailureTest, BadRequestsFailWithoutTouchingTheInputs)
{
    const QByteArray takeBytes = contents(path("take.mov"));
    const auto self = joinError({path("take.mov"), 1.0, path("take.tail.mov"), path("take.mov")});
    ASSERT_TRUE(self);
    EXPECT_EQ(self->kind(), JoinError::Kind::exportFailed);
    EXPECT_EQ(contents(path("take.mov")), takeBytes);

    const auto negative = joinError({path("take.mov"), -1.0, path("take.tail.mov"), path("negative.joining.mov")});
    ASSERT_TRUE(negative);
    EXPECT_EQ(negative->kind(), JoinError::Kind::exportFailed);
    EXPECT_TRUE(negative->description().startsWith(QStringLiteral("The join export failed: could not assemble the join: ")))
        << negative->description().toStdString();
    EXPECT_FALSE(QFile::exists(path("negative.joining.mov")));

    const QString unwritable = path("no-such-folder/out.joining.mov");
    const auto failed = joinError({path("take.mov"), 1.0, path("take.tail.mov"), unwritable});
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->kind(), JoinError::Kind::exportFailed);
    EXPECT_TRUE(failed->description().startsWith(QStringLiteral("The join export failed: ")));
    EXPECT_FALSE(QFile::exists(unwritable));
}

TEST_F(JoinFailureTest, DriverPrintsTheResultOrTheExactError)
{
    const ProcessResult joined = runProcess(mediaDriverPath(), {"join", path("take.mov"), "1.0", path("take.tail.mov"),
                                                               path("driver.joining.mov")});
    ASSERT_TRUE(joined.ok()) << joined.err.toStdString();
    const QJsonObject result = QJsonDocument::fromJson(joined.out).object();
    EXPECT_EQ(result.value("audioTrackCount").toInt(), 1);
    EXPECT_NEAR(result.value("duration").toDouble(), 1.0 + av::Asset::open(path("take.tail.mov"))->duration().seconds(), 0.05);
    EXPECT_EQ(result.value("output").toString(), path("driver.joining.mov"));

    const ProcessResult refused = runProcess(mediaDriverPath(), {"join", path("take.mov"), "1.0", path("mono.tail.mov"),
                                                                path("driver2.joining.mov")});
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_EQ(QString::fromUtf8(refused.err).trimmed(),
              QStringLiteral("The tail can't be joined: audio track 0 format differs (sample rate, channels, layout or encoder settings)."));
    EXPECT_FALSE(QFile::exists(path("driver2.joining.mov")));
}

TEST(JoinErrorTest, Descriptions)
{
    EXPECT_EQ(JoinError::policyRefused(QStringLiteral("the tail has 0 video tracks (need exactly 1)")).description(),
              QStringLiteral("The tail can't be joined: the tail has 0 video tracks (need exactly 1)."));
    EXPECT_EQ(JoinError::notPassthroughCompatible({}).description(),
              QStringLiteral("The assembled movie isn't passthrough-compatible with QuickTime (compatible: [])."));
    EXPECT_EQ(JoinError::notPassthroughCompatible({QStringLiteral("video/mp4"), QStringLiteral("video/x-matroska")}).description(),
              QStringLiteral("The assembled movie isn't passthrough-compatible with QuickTime (compatible: "
                             "[\"video/mp4\", \"video/x-matroska\"])."));
    EXPECT_EQ(JoinError::exportFailed(QStringLiteral("status 4")).description(), QStringLiteral("The join export failed: status 4."));
    EXPECT_EQ(JoinError::verifyFailed(QStringLiteral("the joined movie has no finite duration")).description(),
              QStringLiteral("The joined movie failed verification: the joined movie has no finite duration."));
    EXPECT_EQ(JoinError::cannotCreateExportSession().description(), QStringLiteral("Could not start the join export."));
    EXPECT_EQ(take_joiner::splicePoint(2.51), av::MediaTime(1506, 600));
}

// --- the export session and the progress loop -------------------------------------------------

TEST_F(JoinFailureTest, ExportSessionNeedsSomethingToCopyAndQuickTimeSources)
{
    EXPECT_EQ(av::JoinExportSession::create(av::Composition{}, av::JoinExportSession::Preset::passthrough), nullptr);

    // A source that is no QuickTime movie cannot be copied sample by sample.
    const QString wav = path("source.wav");
    const auto made = runProcess(QStringLiteral("ffmpeg"), {"-v", "error", "-y", "-i", path("take.mov"), "-vn", "-c:a", "pcm_s16le", wav});
    ASSERT_TRUE(made.ok()) << made.err.toStdString();
    const auto asset = av::Asset::open(wav);
    av::Composition composition;
    const int a = composition.addTrack(av::MediaType::Audio);
    composition.insertTimeRange(a, {av::MediaTime::zero(), asset->duration()}, asset, 0, av::MediaTime::zero());
    auto session = av::JoinExportSession::create(composition, av::JoinExportSession::Preset::passthrough);
    ASSERT_NE(session, nullptr);
    EXPECT_TRUE(session->compatibleFileTypes().isEmpty());
}

TEST_F(JoinFailureTest, ProgressIsReportedEveryTenthOfASecondOnTheMainThreadUntilStopped)
{
    const auto asset = av::Asset::open(path("take.mov"));
    av::Composition composition;
    const int v = composition.addTrack(av::MediaType::Video);
    composition.insertTimeRange(v, {av::MediaTime::zero(), asset->duration()}, asset, 0, av::MediaTime::zero());
    std::shared_ptr<av::JoinExportSession> session =
        av::JoinExportSession::create(composition, av::JoinExportSession::Preset::passthrough);
    ASSERT_NE(session, nullptr);

    std::vector<double> reports;
    bool allOnMain = true;
    auto stopped = std::make_shared<std::atomic<bool>>(false);
    QElapsedTimer clock;
    clock.start();
    std::vector<qint64> at;
    auto loop = take_joiner::reportExportProgress(session, [&](double p) {
        allOnMain = allOnMain && QThread::currentThread() == QCoreApplication::instance()->thread();
        reports.push_back(p);
        at.push_back(clock.elapsed());
    }, stopped);
    // Wait for a few reports however slow the machine is, then stop the loop; no count or
    // deadline here depends on the machine's load, only the spacing and the stop do.
    QElapsedTimer waited;
    waited.start();
    while (reports.size() < 3 && waited.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    *stopped = true;
    const qint64 stoppedAt = clock.elapsed();
    QEventLoop wait;
    QTimer::singleShot(300, &wait, &QEventLoop::quit);
    wait.exec();
    EXPECT_TRUE(allOnMain);
    ASSERT_GE(reports.size(), 3u);
    EXPECT_GE(at.front(), 90);
    for (std::size_t i = 1; i < at.size(); ++i)
        EXPECT_GE(at[i] - at[i - 1], 50) << "reports come about a tenth of a second apart";
    EXPECT_LE(at.back(), stoppedAt) << "a report came after the loop was stopped";
    for (double p : reports)
        EXPECT_EQ(p, 0.0);
    EXPECT_TRUE(loop.isReady());
}

} // namespace

// Timing a copy cannot keep exactly is refused and leaves the output alone; timing it can keep
// is carried through frame for frame, never rounded onto fewer frames.
TEST_F(JoinFailureTest, TimingIsRefusedOrCarriedThroughExactly)
{
    const QByteArray take = contents(path("take.mov"));
    struct Case {
        const char *name;
        const char *box;
        int offset;
        quint32 value;
    };
    const Case cases[] = {
        {"video timescale 2^31-1", "mdhd", 20, 0x7FFFFFFF},
        {"video timescale 1", "mdhd", 20, 1},
        {"frames two ticks apart", "stts", 20, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QByteArray damaged = take;
        const qsizetype at = damaged.indexOf(c.box) - 4;
        ASSERT_GT(at, 0);
        for (int i = 0; i < 4; ++i)
            damaged[at + c.offset + i] = char(c.value >> (24 - 8 * i));
        const QString source = path(QStringLiteral("damaged.mov"));
        {
            QFile file(source);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(damaged);
        }
        const QString out = path(QStringLiteral("timing.joined.mov"));
        writeMarker(out);
        try {
            lumacast::testing::runTask(take_joiner::join({source, 1.0, path("take.tail.mov"), out}));
        } catch (const JoinError &error) {
            EXPECT_EQ(contents(out), QByteArray("previous output")) << error.description().toStdString();
            continue;
        }
        const std::vector<ShownFrame> frames = shownFrames(out);
        std::size_t kept = 0;
        for (const ShownFrame &f : shownFrames(source))
            kept += f.time < 1.0;
        EXPECT_EQ(frames.size(), kept + shownFrames(path("take.tail.mov")).size());
        for (std::size_t i = 1; i < frames.size(); ++i)
            EXPECT_LT(frames[i - 1].time, frames[i].time) << "frame " << i;
    }
}
