// The review window's logic on a real state manager: toolbar enabling and tooltips, the
// subtitle, the sheets' contents, and what each command starts.
#include "ReviewWindowTestSupport.h"

#include "review/ManagerReviewHost.h"
#include "review/ReviewPlayback.h"
#include "review/ReviewWindowModel.h"

#include <gtest/gtest.h>

using namespace lumacast;
using namespace lumacast::review;
using namespace lumacast::reviewtest;

namespace {

struct ModelFixture {
    lumacast::testing::ManagerHarness h;
    Session session = h.adoptSessionWithTakes({2, 1});
    CommandsDouble commands{h.m()};
    QObject taskContext;
    ManagerReviewHost host{h.m(), commands, &taskContext};
    ReviewPlayback playback{host, [] { return std::make_unique<PlayerDouble>(); }};
    ReviewWindowModel model{h.m(), commands, playback};

    QUuid scene(int s) const { return session.scenes[s].id; }
    QUuid take(int s, int t) const { return session.scenes[s].takes[t].id; }
    QString path(const QString &file) { return h.m().takeURL(file); }
    QList<bool> enabled() const
    {
        QList<bool> out;
        for (const ToolbarButton &button : model.toolbarButtons())
            out << button.enabled;
        return out;
    }
};

// What changes from an idle session whose first take is previewed with its end trimmed off.
struct EnablingCase {
    const char *name;
    bool pending = false;
    const char *takeURL = nullptr; // file name in "takes"; null: no take under review
    bool tailLive = false;
    bool untrimmedEnd = false;
    bool exporting = false;
    AppState state = AppState::idle;
    bool movieMissing = false;
    QList<bool> expected; // Delete, Approve, Add Take, Add Scene, Record Tail
};

TEST(ReviewWindowModelTest, ToolbarEnablingFollowsTheMirrorsAndTheReviewedMovie)
{
    const std::vector<EnablingCase> cases = {
        {"nothing under review", false, nullptr, false, false, false, AppState::idle, false, {false, false, true, true, true}},
        {"a just-recorded take", true, "take1.mov", false, false, false, AppState::reviewing, false, {true, true, false, false, true}},
                // An unusable movie under review also clears the preview, and with it Record Tail.
        {"pending, movie too small", true, "small.mov", false, false, false, AppState::reviewing, false, {true, false, false, false, false}},
        {"pending, movie gone", true, "gone.mov", false, false, false, AppState::reviewing, false, {true, false, false, false, false}},
        {"tail live over a pending take", true, "take1.mov", true, false, false, AppState::reviewing, false, {false, false, false, false, false}},
        {"tail live", false, nullptr, true, false, false, AppState::idle, false, {false, false, false, false, false}},
        {"end not trimmed", false, nullptr, false, true, false, AppState::idle, false, {false, false, true, true, false}},
        {"exporting", false, nullptr, false, false, true, AppState::idle, false, {false, false, true, true, false}},
        {"recording", false, nullptr, false, false, false, AppState::recording, false, {false, false, true, true, false}},
        {"paused", false, nullptr, false, false, false, AppState::paused, false, {false, false, true, true, false}},
        {"previewed movie missing", false, nullptr, false, false, false, AppState::idle, true, {false, false, true, true, false}},
    };
    for (const EnablingCase &c : cases) {
        SCOPED_TRACE(c.name);
        ModelFixture f;
        f.h.writeTakeFile(QStringLiteral("small.mov"), 100);
        f.playback.loadPreview(f.path(QStringLiteral("take1.mov")), f.take(0, 0), false);
        if (c.movieMissing)
            QFile::remove(f.path(QStringLiteral("take1.mov")));
        f.h.m().setTrimLive(f.scene(0), f.take(0, 0), 0, c.untrimmedEnd ? 10 : 8);
        // Only the state manager's change signals bring the mirrors up to date.
        if (c.takeURL)
            f.h.m().setCurrentTakeURL(f.path(QString::fromLatin1(c.takeURL)));
        f.h.m().setState(c.state);
        f.h.m().setIsExporting(c.exporting);
        if (c.pending)
            f.h.m().setPendingTakeID(f.take(0, 1));
        if (c.tailLive)
            f.h.m().setTailOperation(tailOperation(TailOperation::Recording{TailOperation::Initial{}}));
        EXPECT_EQ(f.enabled(), c.expected);

        // A disabled button does nothing even when triggered.
        for (const ToolbarButton &button : f.model.toolbarButtons())
            if (!button.enabled && button.action != ToolbarButton::Action::recordTail)
                f.model.trigger(button.action);
        drainEvents();
        EXPECT_EQ(f.commands.calls, QStringList());
    }
}

TEST(ReviewWindowModelTest, TooltipsFollowTheCurrentBindings)
{
    ModelFixture f;
    auto helps = [&f] {
        QStringList out;
        for (const ToolbarButton &button : f.model.toolbarButtons())
            out << button.help;
        return out;
    };
    EXPECT_EQ(helps(), (QStringList{"Delete this take (Shift+Super+R)", "Approve take (Shift+Super+Return)", "New take in selected scene (Shift+Super+Return)",
                                    "Add new scene at the end (Shift+Super+N)",
                                    "Trim the end of this take to record a replacement tail."}));
    int rebuilds = 0;
    QObject::connect(&f.model, &ReviewWindowModel::toolbarChanged, [&rebuilds] { ++rebuilds; });
    ShortcutBindings bindings = f.h.m().shortcutBindings();
    bindings[ShortcutAction::retake] = ShortcutBinding{7, 0x1000 | 0x800, QStringLiteral("x"), 0};
    bindings.erase(ShortcutAction::nextScene); // a missing entry falls back to the default
    f.h.m().setShortcutBindings(bindings);
    EXPECT_GT(rebuilds, 0);
    EXPECT_EQ(helps()[0], QStringLiteral("Delete this take (Ctrl+Alt+X)"));
    EXPECT_EQ(helps()[3], QStringLiteral("Add new scene at the end (Shift+Super+N)"));
}

TEST(ReviewWindowModelTest, SubtitleNamesTheRecordingAndCountsItsScenes)
{
    struct Case {
        int scenes; // -1: no session
        const char *bundle;
        const char *expected;
    };
    const std::vector<Case> cases = {
        {-1, nullptr, "Lumacast"},
        {3, "/home/u/Talks/My Talk.v2.lumacast", "My Talk.v2 (3 scenes)"},
        {1, nullptr, "Recording (1 scene)"},
        {0, nullptr, "Recording (0 scenes)"},
        {2, "/tmp/Demo.lumacast/", "Demo (2 scenes)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.expected);
        ModelFixture f;
        if (c.scenes < 0) {
            f.h.m().replaceCurrentSession(std::nullopt);
        } else {
            Session s = *f.h.m().session();
            s.scenes.resize(c.scenes);
            if (c.bundle)
                s.bundleURL = QString::fromUtf8(c.bundle);
            f.h.m().setCurrentSession(s);
        }
        EXPECT_EQ(f.model.subtitleText(), QString::fromUtf8(c.expected));
    }
}

TEST(ReviewWindowModelTest, SheetContents)
{
    using J = TailOperation::Joining;
    using A = TailFailureAction;
    struct TailCase {
        const char *name;
        TailOperation::Phase phase;
        bool shown;
        const char *title;
        std::optional<double> progress;
        const char *caption;
        QList<TailFailureAction> actions;
    };
    const std::vector<TailCase> tails = {
        {"preparing", TailOperation::Preparing{TailOperation::Initial{}}, false, "", std::nullopt, "", {}},
        {"recording", TailOperation::Recording{TailOperation::Initial{}}, false, "", std::nullopt, "", {}},
        {"joining, no progress", J{std::nullopt}, true, "Joining…", std::nullopt, "Preparing or verifying the joined take", {}},
        {"joining", J{0.42}, true, "Joining…", 0.42, "Assembling the replacement tail without re-encoding", {}},
        {"transient", TailOperation::Failed{{TailFailure::Kind::transient, "disk busy"}}, true,
         "The tail couldn’t be joined", std::nullopt, "", {A::retry, A::discard}},
        {"deterministic", TailOperation::Failed{{TailFailure::Kind::deterministic, "formats differ"}}, true,
         "The tail couldn’t be joined", std::nullopt, "", {A::recordAgain, A::discard}},
    };
    // The sheet reads the manager's tail operation through the model, as the window does.
    ModelFixture f;
    for (const TailCase &c : tails) {
        SCOPED_TRACE(c.name);
        const TailOperation operation = tailOperation(c.phase);
        f.h.m().setTailOperation(operation);
        ASSERT_EQ(f.model.tailSheetShown(), c.shown);
        const std::optional<TailSheetContent> content = f.model.tailSheet();
        ASSERT_EQ(content.has_value(), c.shown);
        if (!c.shown)
            continue;
        EXPECT_EQ(content->title, QString::fromUtf8(c.title));
        EXPECT_EQ(content->progress, c.progress);
        EXPECT_EQ(content->caption, QString::fromUtf8(c.caption));
        EXPECT_EQ(content->actions, c.actions);
        EXPECT_EQ(content->message, operation.failure() ? operation.failure()->message : QString());
    }
    f.h.m().setTailOperation(std::nullopt);
    EXPECT_FALSE(f.model.tailSheetShown());
    EXPECT_FALSE(f.model.tailSheet());

    struct ExportCase {
        const char *label;
        double progress;
        const char *title;
        bool determinate;
        const char *percentage;
    };
    const std::vector<ExportCase> exports = {
        {"", 0, "Exporting…", false, ""},
        {"", -0.5, "Exporting…", false, ""},
        {"Exporting Video…", 0.999, "Exporting Video…", true, "99%"},
        {"Exporting for Premiere…", 1.0, "Exporting for Premiere…", true, "100%"},
        {"", 0.004, "Exporting…", true, "0%"},
        {"", 0.5, "Exporting…", true, "50%"},
    };
    for (const ExportCase &c : exports) {
        SCOPED_TRACE(c.progress);
        const ExportSheetContent content = ExportSheetContent::of(QString::fromUtf8(c.label), c.progress);
        EXPECT_EQ(content.title, QString::fromUtf8(c.title));
        EXPECT_EQ(content.determinate, c.determinate);
        EXPECT_EQ(content.percentage, QString::fromUtf8(c.percentage));
    }

    for (const auto &[count, title] : std::vector<std::pair<int, const char *>>{
             {0, "Resume (0 scenes)"}, {1, "Resume (1 scene)"}, {3, "Resume (3 scenes)"}})
        EXPECT_EQ(ReviewWindowModel::resumeTitle(count), QString::fromLatin1(title));
}

TEST(ReviewWindowModelTest, CommandsRunNowOrAsTasksOnTheEventLoop)
{
    struct Case {
        const char *name;
        std::function<void(ModelFixture &)> act;
        QStringList atOnce;
        QStringList afterwards; // once the event loop has run
    };
    using B = ToolbarButton::Action;
    const std::vector<Case> cases = {
        {"Add Take", [](ModelFixture &f) { f.model.trigger(B::addTake); }, {"autoApprove"}, {"autoApprove", "startRecording"}},
        {"Add Scene", [](ModelFixture &f) { f.model.trigger(B::addScene); }, {"autoApprove", "advanceToScene"},
         {"autoApprove", "advanceToScene", "startRecording"}},
        {"Delete Take", [](ModelFixture &f) { f.h.m().setPendingTakeID(f.take(0, 1)); f.model.trigger(B::deleteTake); },
         {"retake"}, {"retake"}},
        {"Record Tail without a player",
         [](ModelFixture &f) {
             f.h.m().setTrimLive(f.scene(1), f.take(1, 0), 0, 6);
             f.playback.loadPreview(f.path("take3.mov"), f.take(1, 0), false);
             f.playback.clearPreview(); // drops the player; the file name is gone too
             f.playback.loadPreview(f.path("take3.mov"), f.take(1, 0), false);
             static_cast<PlayerDouble *>(f.playback.player())->time = av::MediaTime::fromSeconds(2.5, 600);
             f.model.trigger(B::recordTail);
         },
         {}, {"recordTail 2.5"}},
        {"New Recording", [](ModelFixture &f) { f.model.newRecording(); }, {}, {"guardedNewSession"}},
        {"Open Recording", [](ModelFixture &f) { f.model.openRecording(); }, {"guardedOpenSession"}, {"guardedOpenSession"}},
        {"Retry", [](ModelFixture &f) { f.model.chooseTailAction(TailFailureAction::retry); }, {}, {"retryTailJoin"}},
        {"Record Again", [](ModelFixture &f) { f.model.chooseTailAction(TailFailureAction::recordAgain); }, {},
         {"recordTailAgain"}},
        {"Discard Tail", [](ModelFixture &f) { f.model.chooseTailAction(TailFailureAction::discard); }, {"discardTail"},
         {"discardTail"}},
        {"Resume and discard a recovered recording",
         [](ModelFixture &f) {
             Session one = f.h.newSession(), three = f.h.newSession();
             three.scenes.resize(3);
             f.h.m().setRecoverableSessions({one, three});
             f.model.resumeRecovered(three.id);
             f.model.discardRecovered(one.id);
             f.model.resumeRecovered(QUuid::createUuid()); // gone meanwhile: nothing
         },
         {"resume 3", "discard 1"}, {"resume 3", "discard 1"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ModelFixture f;
        c.act(f);
        EXPECT_EQ(f.commands.calls, c.atOnce);
        drainEvents();
        EXPECT_EQ(f.commands.calls, c.afterwards);
    }
}

} // namespace
