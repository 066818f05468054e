#include "ReviewDoubles.h"

#include "review/ReviewPlayback.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace lumacast;
using namespace lumacast::review;
using lumacast::reviewtest::HostDouble;
using lumacast::reviewtest::PlayerDouble;

namespace {

// Two scenes: A and B in the first (A checked), C in the second (checked). Every take is 10 s.
class ReviewPlaybackTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("takes")));
        Session session;
        session.id = QUuid::createUuid();
        session.scratchURL = dir.path();
        RecordingScene one{QUuid::createUuid(), {}, {take("a.mov"), take("b.mov")}, {}};
        RecordingScene two{QUuid::createUuid(), {}, {take("c.mov")}, {}};
        one.selectedTakeID = one.takes[0].id;
        two.selectedTakeID = two.takes[0].id;
        session.scenes = {one, two};
        host.session = session;
        playback = std::make_unique<ReviewPlayback>(host, [this] {
            auto p = std::make_unique<PlayerDouble>();
            player = p.get();
            return p;
        });
    }

    Take take(const char *name)
    {
        QFile file(QDir(dir.path()).filePath(QStringLiteral("takes/") + QLatin1String(name)));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(2048, 'x'));
        Take t;
        t.id = QUuid::createUuid();
        t.filename = QString::fromLatin1(name);
        t.duration = 10;
        t.trimEnd = 10;
        return t;
    }
    Take &takeAt(int scene, int index) { return host.session->scenes[scene].takes[index]; }
    QString path(const Take &t) const { return QDir(dir.path()).filePath(QStringLiteral("takes/") + t.filename); }
    void load(int scene, int index, bool restore = true) { playback->loadPreview(path(takeAt(scene, index)), takeAt(scene, index).id, restore); }

    QTemporaryDir dir;
    HostDouble host;
    PlayerDouble *player = nullptr;
    std::unique_ptr<ReviewPlayback> playback;
};

} // namespace

TEST_F(ReviewPlaybackTest, LoadAppliesTheTrimWindowAndTheMix)
{
    const struct {
        double trimStart, trimEnd;
        std::optional<double> playhead;
        int audioTracks;
        std::vector<double> seeks;
        std::optional<double> forwardEnd;
        QList<float> volumes;
    } cases[] = {
        {0, 10, {}, 1, {}, {}, {}},
        {0.005, 9.995, {}, 2, {}, {}, {1.0f, 0.5f}},         // within 0.01 s: the natural ends
        {1, 8, 9.0, 2, {1, 8}, 8.0, {1.0f, 0.5f}},           // a stored playhead is clamped into the range
        {2, 9.98, 0.5, 3, {2, 2}, 9.98, {1.0f, 0.5f, 0.5f}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.trimStart << "-" << c.trimEnd);
        playback->clearPreview();
        Take &a = takeAt(0, 0);
        a.trimStart = c.trimStart, a.trimEnd = c.trimEnd, a.playheadPosition = c.playhead;
        load(0, 0);
        ASSERT_TRUE(player);
        EXPECT_EQ(player->seekSeconds(), c.seeks);
        EXPECT_EQ(player->forwardEnd.isNumeric() ? std::optional(player->forwardEnd.seconds()) : std::nullopt,
                  c.forwardEnd);
        player->finishLoading(10, c.audioTracks);
        EXPECT_EQ(player->volumes, c.volumes);
    }
    // The mix follows the level setting at once.
    host.mixLevel = 0.25;
    playback->applyPreviewAudioMix();
    EXPECT_EQ(player->volumes, (QList<float>{1.0f, 0.25f, 0.25f}));
}

TEST_F(ReviewPlaybackTest, PlayPauseRestartsOnlyAtTheEndAndSnapsASelectedHandle)
{
    const struct {
        std::optional<TrimHandle> handle;
        double time;      // the playhead when the handle is selected, or when play is pressed
        bool tailLive;
        QString trimCall; // empty: none
        std::vector<double> seeksAfterKey;
        bool playing;
    } cases[] = {
        {{}, 7.96, false, {}, {1}, true},            // within 0.05 s of the end: from the start
        {{}, 7.94, false, {}, {}, true},             // otherwise where it stands
        {TrimHandle::end, 0.2, false, "trim 1 1.5", {1.5}, false}, // the gap wins over the parked 0.2
        {TrimHandle::end, 5, false, "trim 1 5", {5}, false},
        {TrimHandle::start, 9, false, "trim 7.5 8", {7.5}, false},
        {TrimHandle::start, 0.5, false, "trim 0.5 8", {0.5}, false},
        {TrimHandle::end, 5, true, {}, {1}, true},   // no snap during a tail operation: plain play (at the end)
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.time);
        Take &a = takeAt(0, 0);
        a.trimStart = 1, a.trimEnd = 8;
        playback->setSelectedTrimHandle(std::nullopt);
        playback->clearPreview();
        load(0, 0);
        player->forwardEnd = av::MediaTime::fromSeconds(8, 600);
        player->time = av::MediaTime::fromSeconds(c.time, 600);
        playback->setSelectedTrimHandle(c.handle);
        host.tailLive = c.tailLive;
        host.calls.clear();
        player->seeks.clear();
        playback->playPauseOrSnap();
        host.tailLive = false;
        EXPECT_EQ(host.calls.join(QLatin1Char(',')), c.trimCall);
        EXPECT_EQ(player->seekSeconds(), c.seeksAfterKey);
        EXPECT_EQ(player->playing, c.playing);
    }
    playback->setSelectedTrimHandle(std::nullopt);
    player->play();
    playback->playPauseOrSnap(); // playing: pauses
    EXPECT_FALSE(player->playing);
}

TEST_F(ReviewPlaybackTest, NudgesStayInsideTheTakeAndTheTrimRange)
{
    const struct {
        std::optional<TrimHandle> handle;
        bool forward, large;
        double trimStart, trimEnd, duration, time;
        QString trimCall;
        double seek;
    } cases[] = {
        {{}, true, true, 1, 8, 10, 7.5, {}, 8}, // the playhead stops at the trim end
        {{}, false, false, 1, 8, 10, 5, {}, 5 - 1.0 / 30},
        {TrimHandle::start, false, true, 0.3, 8, 10, 0, "trim 0 8", 0}, // back past 0: 0
        {TrimHandle::start, true, true, 0.3, 8, 10, 0, "trim 1.3 8", 1.3},
        {TrimHandle::start, true, true, 7.4, 8, 10, 0, "trim 7.5 8", 7.5}, // the gap to the end
        {TrimHandle::end, true, true, 0.3, 9.5, 9.5, 0, "trim 0.3 9.5", 9.5}, // past the duration
        {TrimHandle::end, false, true, 0.3, 8, 10, 0, "trim 0.3 7", 7},
    };
    for (const auto &c : cases) {
        Take &a = takeAt(0, 0);
        a.trimStart = c.trimStart, a.trimEnd = c.trimEnd, a.duration = c.duration;
        playback->setSelectedTrimHandle(std::nullopt);
        playback->clearPreview();
        load(0, 0);
        player->time = av::MediaTime::fromSeconds(c.time, 600);
        playback->setSelectedTrimHandle(c.handle);
        host.calls.clear();
        player->seeks.clear();
        playback->handlePlaybackKey(PlaybackKey::makeNudge(c.forward, c.large));
        EXPECT_EQ(host.calls.join(QLatin1Char(',')), c.trimCall) << c.time;
        ASSERT_EQ(player->seeks.size(), 1u);
        EXPECT_NEAR(player->seeks[0].seconds(), c.seek, 1.0 / 600);
    }
    // During a tail operation nudges and handle toggles are ignored; deselecting still works.
    host.tailLive = true;
    player->seeks.clear();
    playback->handlePlaybackKey(PlaybackKey::makeNudge(true, false));
    playback->handlePlaybackKey(PlaybackKey{PlaybackKey::toggleTrimStart});
    EXPECT_TRUE(player->seeks.empty());
    EXPECT_EQ(playback->selectedTrimHandle(), TrimHandle::end);
    playback->handlePlaybackKey(PlaybackKey{PlaybackKey::deselectTrim});
    EXPECT_EQ(playback->selectedTrimHandle(), std::nullopt);
}

TEST_F(ReviewPlaybackTest, HandlePreviewReturnsToTheParkedPlayheadClamped)
{
    takeAt(0, 0).trimStart = 1, takeAt(0, 0).trimEnd = 8;
    load(0, 0);
    player->time = av::MediaTime::fromSeconds(7, 600);
    playback->handlePlaybackKey(PlaybackKey{PlaybackKey::toggleTrimStart});
    playback->handlePlaybackKey(PlaybackKey{PlaybackKey::toggleTrimEnd});
    EXPECT_EQ(playback->playheadBeforeTrimPreview(), 7.0);
    takeAt(0, 0).trimEnd = 6; // moved while selected
    playback->handlePlaybackKey(PlaybackKey{PlaybackKey::toggleTrimEnd});
    EXPECT_EQ(player->seekSeconds(), (std::vector<double>{1, 1, 8, 6}));
    EXPECT_EQ(playback->playheadBeforeTrimPreview(), std::nullopt);
}

TEST_F(ReviewPlaybackTest, ContinuousPlaybackStoresThePlayheadInTheTakeThatEnded)
{
    takeAt(0, 0).trimEnd = 8;
    takeAt(1, 0).trimStart = 2;
    takeAt(1, 0).playheadPosition = 6;
    load(0, 0);
    player->playing = true;
    host.calls.clear();
    player->playToEnd();
    EXPECT_EQ(host.calls, QStringList{QStringLiteral("playhead a.mov 8")});
    EXPECT_EQ(takeAt(1, 0).playheadPosition, 6.0); // the next take keeps its own
    EXPECT_EQ(playback->previewingTakeID(), takeAt(1, 0).id);
    EXPECT_EQ(player->itemPath, path(takeAt(1, 0)));
    EXPECT_EQ(player->seekSeconds(), std::vector<double>{2}); // from its trim start, playhead not restored
    EXPECT_EQ(host.session->currentSceneIndex, 1);
    EXPECT_TRUE(player->playing);

    // The last checked take stops at its end; a stale item's report and a tail operation do nothing.
    host.calls.clear();
    player->playToEnd();
    EXPECT_EQ(playback->previewingTakeID(), takeAt(1, 0).id);
    EXPECT_TRUE(host.calls.isEmpty());
    playback->loadPreview(path(takeAt(0, 0)), takeAt(0, 0).id, false);
    host.tailLive = true;
    player->playToEnd();
    EXPECT_EQ(playback->previewingTakeID(), takeAt(0, 0).id);
}

TEST_F(ReviewPlaybackTest, LoadingBookkeeping)
{
    load(0, 0);
    const int replacements = player->replacements;
    load(0, 0); // the same file and take: nothing
    EXPECT_EQ(player->replacements, replacements);

    // The stored duration follows the movie's only when they differ by more than 0.01 s.
    player->finishLoading(10.005, 2);
    player->finishLoading(9.5, 2);
    EXPECT_EQ(host.calls, QStringList{QStringLiteral("duration a.mov 9.5")});

    // The skip flag suppresses one outgoing save.
    host.calls.clear();
    player->time = av::MediaTime::fromSeconds(3, 600);
    host.skipSave = true;
    load(0, 1);
    EXPECT_FALSE(host.skipSave);
    load(1, 0);
    EXPECT_EQ(host.calls, QStringList{QStringLiteral("playhead b.mov 0")});

    // A missing movie is not loaded; an unusable current take clears the preview.
    playback->loadPreview(QDir(dir.path()).filePath(QStringLiteral("takes/none.mov")), QUuid::createUuid(), true);
    EXPECT_EQ(playback->previewingTakeID(), takeAt(1, 0).id);
    host.takeURL = QDir(dir.path()).filePath(QStringLiteral("takes/none.mov"));
    playback->currentTakeChanged();
    EXPECT_EQ(playback->player(), nullptr);
    EXPECT_TRUE(playback->showNoTakesMessage());

    // Closing the window with an unapproved take discards it.
    host.calls.clear();
    host.pendingOnClose = true;
    playback->windowWillClose();
    EXPECT_EQ(host.calls, QStringList{QStringLiteral("retake")});
}

TEST_F(ReviewPlaybackTest, PaneInputsRouteTrimEditsAndTails)
{
    load(0, 0);
    PlayerPaneInputs inputs = playback->paneInputs(true);
    // Each binding moves its own end of the previewed take and keeps the other.
    inputs.trimStart.write(2.5);
    EXPECT_EQ(takeAt(0, 0).trimStart, 2.5);
    EXPECT_EQ(takeAt(0, 0).trimEnd, 10);
    inputs.trimEnd.write(7);
    EXPECT_EQ(takeAt(0, 0).trimStart, 2.5);
    EXPECT_EQ(takeAt(0, 0).trimEnd, 7);
    EXPECT_EQ(inputs.trimStart.get(), 2.5);
    EXPECT_EQ(inputs.trimEnd.get(), 7);
    host.orphans = {QStringLiteral("old.mov")};
    inputs.onBeginEdit();
    inputs.onTrimChanged();
    player->time = av::MediaTime::fromSeconds(4, 600);
    inputs.onRecordTail();
    EXPECT_EQ(host.calls, (QStringList{QStringLiteral("checkpoint Trim"), QStringLiteral("gc"),
                                       QStringLiteral("save"),
                                       QStringLiteral("tail %1 4").arg(takeAt(0, 0).id.toString())}));
    EXPECT_FALSE(player->playing);
    host.tailLive = true;
    host.calls.clear();
    inputs.onBeginEdit();
    EXPECT_TRUE(host.calls.isEmpty());
    EXPECT_FALSE(playback->paneInputs(true).trimEditingEnabled);
}
