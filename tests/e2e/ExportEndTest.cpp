// A movie export that re-encodes (takes of two sizes) ended from outside: the user quits during
// it (as a logout asks, or with Ctrl+Q typed to the export's sheet), or the program is killed.
// None may leave the export's scratch folder in the temporary folder or a working movie beside
// the chosen one once the program has launched again: a Quit removes them as the program ends,
// a kill leaves them to the next launch.
#include "model/SessionManifest.h"
#include "support/AppDriver.h"
#include "support/SessionRecords.h"
#include "support/TestMovie.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QThread>

#include <chrono>
#include <csignal>
#include <memory>

using namespace std::chrono_literals;

namespace lumacast::testing {
namespace {

const QString kReviewWindow = QStringLiteral("^(Review Take|Talk.*)$");

QString outputRoot()
{
    const QString chosen = qEnvironmentVariable("LUMACAST_EXPORT_END_OUTPUT");
    return chosen.isEmpty() ? QStringLiteral(LUMACAST_BINARY_DIR "/tests/e2e/export-end-output") : chosen;
}

// Writes a take's movie; its length as a probe reads it (a manifest that says otherwise is
// corrected at the open, with an alert), 0 when ffmpeg made none.
double makeMovie(const QString &path, const QString &size, double seconds, int keyFrameInterval = 0)
{
    TestMovieSpec spec;
    spec.size = size;
    spec.seconds = seconds;
    spec.keyFrameInterval = keyFrameInterval;
    spec.audioChannels = {1};
    if (!makeTestMovie(path, spec).ok())
        return 0;
    return runProcess(QStringLiteral("ffprobe"), {"-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path})
        .out.trimmed()
        .toDouble();
}

class ExportEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        AppDriver::ensureApplication();
        if (const QString missing = AppDriver::missingTools({"xdotool", "openbox", "trayer", "ffmpeg", "ffprobe",
                                                             "dbus-daemon"});
            !missing.isEmpty())
            GTEST_SKIP() << "needs " << missing.toStdString();
    }

    // "Talk.lumacast" in the home: a scene of 2 s at 1920x1080 and one of 120 s at 640x360, whose
    // re-encoding onto the larger canvas lasts well beyond what the test does meanwhile.
    QString writePackage()
    {
        const QString package = driver->home() + QStringLiteral("/Talk.lumacast");
        QDir().mkpath(package + QStringLiteral("/takes"));
        Session session;
        session.createdAt = QDateTime::fromSecsSinceEpoch(1'700'000'000, QTimeZone::utc());
        const struct {
            const char *name;
            const char *size;
            double seconds;
        } takes[] = {{"large.mov", "1920x1080", 2}, {"small.mov", "640x360", 120}};
        for (const auto &take : takes) {
            const double seconds = makeMovie(package + QStringLiteral("/takes/") + QLatin1String(take.name),
                                             QLatin1String(take.size), take.seconds);
            EXPECT_GT(seconds, 0) << "ffmpeg made no " << take.name;
            session.scenes << makeCheckedScene({makeTrimmedTake(QLatin1String(take.name), seconds, 0, seconds)}, 0);
        }
        QFile manifest(package + QStringLiteral("/manifest.json"));
        EXPECT_TRUE(manifest.open(QIODevice::WriteOnly) && manifest.write(SessionManifest(session).toJson()) > 0);
        return package;
    }

    // Ctrl+E in the review window, the Export window's "Export Video", `movie` in its save panel.
    void startExport(const QString &movie)
    {
        const QList<qulonglong> before = driver->appWindows();
        driver->keyTo(kReviewWindow, QStringLiteral("ctrl+e"));
        ASSERT_TRUE(driver->waitForNewWindow(before, 10s)) << "no Export window";
        ASSERT_TRUE(driver->answerFilePanel(
            [&] {
                const auto button = driver->widgetCentre(QStringLiteral("push button"), QStringLiteral("Export Video"));
                ASSERT_TRUE(button) << "no \"Export Video\" button";
                driver->click(*button);
            },
            movie))
            << "the save panel did not take " << movie.toStdString();
    }

    // The export's scratch folders in the temporary folder.
    QStringList scratchFolders() const
    {
        return QDir(driver->temporaryFolder()).entryList({QStringLiteral("LumacastExport-*")}, QDir::AllEntries | QDir::System);
    }
    // What is there of an export: scratch folders, working movies beside `movie`, `movie` itself.
    QStringList leftovers(const QString &movie) const
    {
        QStringList found = scratchFolders();
        found << QDir(QFileInfo(movie).path())
                     .entryList({QStringLiteral(".lumacast-work-*"), QFileInfo(movie).fileName()},
                                QDir::AllEntries | QDir::Hidden | QDir::System);
        return found;
    }

    // The package's take grown to 3.5 GiB by a sparse "free" box every movie reader skips, so that
    // Duplicate Scene's copy outlasts the save panel answered meanwhile. Killed once the Save As,
    // which waited for that copy, copies the recording into its hidden package.
    void saveAsDuringDuplicate(const QString &package)
    {
        constexpr qint64 kGrowth = qint64(7) << 29; // within the box's 32-bit size
        QFile movie(package + QStringLiteral("/takes/take.mov"));
        const qint64 end = movie.size();
        const char box[8] = {char(kGrowth >> 24), char(kGrowth >> 16), char(kGrowth >> 8), char(kGrowth), 'f', 'r', 'e', 'e'};
        ASSERT_TRUE(movie.open(QIODevice::Append | QIODevice::Unbuffered) && movie.write(box, 8) == 8
                    && movie.resize(end + kGrowth));
        movie.close();
        ASSERT_TRUE(driver->launch({package}));
        ASSERT_TRUE(driver->waitForLog(QStringLiteral("[app] openSession — opening review window"), 20s));
        const qsizetype mark = driver->logText().size();
        const QString saved = driver->home() + QStringLiteral("/Saved.lumacast");
        // The copy's sheet, up a quarter second after the copy began, holds the review window and
        // its panel as it holds the user: the panel, filled in first, is answered in the same
        // breath as the menu.
        const QList<qulonglong> before = driver->appWindows();
        driver->keyTo(kReviewWindow, QStringLiteral("ctrl+shift+s"));
        const auto panel = driver->waitForNewWindow(before, 10s);
        ASSERT_TRUE(panel) << "no save panel";
        QThread::msleep(500);
        AppDriver::run("xdotool", {"windowfocus", "--sync", QString::number(*panel)});
        driver->key(QStringLiteral("ctrl+a"));
        driver->type(saved);
        const auto scene = driver->widgetCentre(QStringLiteral("tree item"), QStringLiteral("Scene 1"), 15s);
        ASSERT_TRUE(scene);
        const QList<qulonglong> menus = driver->appWindows();
        AppDriver::run("xdotool", {"mousemove", QString::number(scene->x()), QString::number(scene->y()), "click", "3"});
        ASSERT_TRUE(driver->waitForNewWindow(menus, 10s)) << "no context menu";
        driver->key(QStringLiteral("Down"));
        AppDriver::run("xdotool", {"key", "Return", "windowfocus", "--sync", QString::number(*panel), "key", "Return"});
        ASSERT_TRUE(AppDriver::waitUntil([&] { return !driver->appWindows().contains(*panel); }, 10s))
            << "the panel did not take " << saved.toStdString();
        ASSERT_TRUE(driver->waitForLog(QStringLiteral("[app] copying — Duplicating Scene"), 10s, mark));
        ASSERT_LT(driver->logText().indexOf(QStringLiteral("[app] copy done"), mark), 0)
            << "the scene's copy ended before the save panel was answered";
        const auto staging = [&] {
            return !QDir(driver->home()).entryList({".Saved.lumacast.saving-*"}, QDir::Dirs | QDir::Hidden).isEmpty();
        };
        ASSERT_TRUE(AppDriver::waitUntil(staging, 120s)) << "the Save As never copied";
        driver->killHard();
        ASSERT_FALSE(QFileInfo::exists(saved)) << "killed after the save";
    }

    std::unique_ptr<AppDriver> driver;
};

TEST_F(ExportEnd, NothingOfAReencodingExportOutlivesAQuitOrAKill)
{
    enum class End { quit, quitKey, kill };
    const struct {
        const char *name;
        End end;
    } rows[] = {{"quit", End::quit}, {"quit-key", End::quitKey}, {"kill", End::kill}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const QString folder = outputRoot() + QLatin1Char('/') + QLatin1String(row.name);
        QDir(folder).removeRecursively();
        driver = std::make_unique<AppDriver>(folder);
        const auto body = [&] {
            ASSERT_TRUE(driver->startRig()) << "the tray host or the tone did not start";
            const QString package = writePackage();
            const QString movie = driver->home() + QStringLiteral("/Out.mov");
            ASSERT_TRUE(driver->launch({package})) << "the program did not start";
            ASSERT_TRUE(driver->waitForLog(QStringLiteral("[app] openSession — Talk.lumacast"), 20s));
            startExport(movie);
            ASSERT_TRUE(AppDriver::waitUntil([&] { return !scratchFolders().isEmpty(); }, 30s))
                << "the export made no scratch folder in " << driver->temporaryFolder().toStdString();
            switch (row.end) {
            case End::quit:
            case End::quitKey: {
                if (row.end == End::quit) {
                    // As a logout asks; the program asks the user first.
                    driver->terminate();
                } else {
                    // The sheet shadows the review window and its menu bar; a click gives it the
                    // keyboard, and the key must reach Quit all the same.
                    const auto sheet =
                        driver->widgetCentre(QStringLiteral("label"), QStringLiteral("Exporting Video…"), 10s);
                    ASSERT_TRUE(sheet) << "no export sheet";
                    driver->click(*sheet);
                    driver->key(QStringLiteral("ctrl+q"));
                }
                const auto quit = driver->widgetCentre(QStringLiteral("push button"), QStringLiteral("Quit"), 10s);
                ASSERT_TRUE(quit) << "no question before quitting during the export";
                driver->click(*quit);
                ASSERT_TRUE(AppDriver::waitUntil([&] { return !driver->running(); }, 20s)) << "the program did not end";
                EXPECT_EQ(driver->exitState().toStdString(), "exited with status 0");
                EXPECT_EQ(leftovers(movie).join(", ").toStdString(), "") << "left by the quit";
                break;
            }
            case End::kill:
                driver->killHard();
                ASSERT_FALSE(driver->running());
                EXPECT_FALSE(scratchFolders().isEmpty()) << "the kill left no scratch folder to remove";
                break;
            }
            const qsizetype relaunched = driver->logText().size();
            ASSERT_TRUE(driver->launch()) << "the program did not start again";
            ASSERT_TRUE(driver->waitForLog(QStringLiteral("[app] init — ready"), 30s, relaunched));
            EXPECT_EQ(leftovers(movie).join(", ").toStdString(), "") << "left after the next launch";
            const bool removedAtLaunch = driver->logText().indexOf(QStringLiteral("left by a killed save or export"),
                                                                   relaunched) >= 0;
            EXPECT_EQ(removedAtLaunch, row.end == End::kill);
            EXPECT_TRUE(driver->quit()) << "asked to quit, the program " << driver->exitState().toStdString();
            EXPECT_TRUE(driver->sanitizerReport().isEmpty()) << driver->sanitizerReport().left(3000).toStdString();
        };
        body();
        if (HasFailure())
            driver->keepEvidence(QStringLiteral("failed"));
        driver.reset();
    }
}

// Killed around a take's edits: the join (the media driver's, into the recording) as it writes and
// as it verifies its whole working movie, the program right after Duplicate Scene made its copies,
// in New Recording's first instant, 0.05 s after an Undo brought a deleted take back, and as a Save
// As answered during Duplicate Scene's copy copies the recording once the scene is done. Launched
// again, with the recording as its argument, the program clears the kill's leftovers (the tail
// Lumacast recorded listed its movies as its own) before the recording opens, which is as the user
// had it.
TEST_F(ExportEnd, AKillAroundATakesEditsLeavesWhatTheUserHad)
{
    enum class Moment { join, duplicateScene, newRecording, undoDelete, saveAsDuringDuplicate };
    const struct {
        const char *name;
        Moment moment;
        bool verifying; // killed once the working movie is whole, as the join verifies it
    } rows[] = {{"join", Moment::join, false}, {"verification", Moment::join, true},
                {"duplicate-scene", Moment::duplicateScene, 0}, {"new-recording", Moment::newRecording, 0},
                {"undo-of-a-delete", Moment::undoDelete, 0},
                {"save-as-during-duplicate-scene", Moment::saveAsDuringDuplicate, 0}};
    // A minute of 1080p with one key frame, which the verification decodes up to the splice.
    QTemporaryDir movies;
    const double seconds = makeMovie(movies.filePath("take.mov"), QStringLiteral("1920x1080"), 60, 100000);
    const double tailSeconds = makeMovie(movies.filePath("T.tail.mov"), QStringLiteral("1920x1080"), 2, 100000);
    ASSERT_GT(tailSeconds * seconds, 0);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        driver = std::make_unique<AppDriver>(outputRoot() + QStringLiteral("/kill-") + QLatin1String(row.name));
        const auto body = [&] {
            ASSERT_TRUE(driver->startRig());
            const QString package = driver->home() + QStringLiteral("/Talk.lumacast"), takes = package + "/takes";
            ASSERT_TRUE(QDir().mkpath(takes));
            for (const char *movie : {"take.mov", "T.tail.mov"})
                ASSERT_TRUE(QFile::copy(movies.filePath(movie), takes + "/" + movie));
            QFile ledger(package + QStringLiteral("/.lumacast-ledger"));
            ASSERT_TRUE(ledger.open(QIODevice::WriteOnly) && ledger.write("T.joining.mov\nT.tail.mov\n") > 0);
            ledger.close();
            QStringList kept{"take.mov"};
            Session session;
            session.createdAt = QDateTime::fromSecsSinceEpoch(1'700'000'000, QTimeZone::utc());
            session.scenes << makeCheckedScene({makeTrimmedTake("take.mov", seconds, 0, seconds - 4)}, 0);
            if (row.moment == Moment::undoDelete) {
                ASSERT_TRUE(QFile::copy(movies.filePath("T.tail.mov"), takes + "/second.mov"));
                session.scenes[0].takes << makeTrimmedTake("second.mov", tailSeconds, 0, tailSeconds);
                kept << "second.mov";
            }
            QFile manifest(package + QStringLiteral("/manifest.json"));
            ASSERT_TRUE(manifest.open(QIODevice::WriteOnly) && manifest.write(SessionManifest(session).toJson()) > 0);
            manifest.close();
            const auto working = [&] { return QDir(takes).entryList({".lumacast-work-*"}, QDir::Files | QDir::Hidden); };
            const QString root = driver->home() + QStringLiteral("/.cache/Lumacast/Sessions");
            QProcess join;
            if (row.moment == Moment::join) {
                QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
                env.insert("XDG_CACHE_HOME", driver->home() + "/.cache"); // where its work is listed
                join.setProcessEnvironment(env);
                join.start(mediaDriverPath(), {"join", takes + "/take.mov", QString::number(seconds - 4),
                                               takes + "/T.tail.mov", takes + "/T.joining.mov"});
                ASSERT_TRUE(AppDriver::waitUntil([&] { return !working().isEmpty(); }, 30s)) << "the join wrote nothing";
                // The movie's index is written last, so it probes only once the join verifies it;
                // a fixed wait lost the race to a faster decoder.
                const auto whole = [&] {
                    const QStringList found = working();
                    return !found.isEmpty() && runProcess("ffprobe", {"-v", "error", takes + "/" + found[0]}).ok();
                };
                if (row.verifying) {
                    ASSERT_TRUE(AppDriver::waitUntil(whole, 30s)) << "the join never had a whole working movie";
                }
                ::kill(pid_t(join.processId()), SIGKILL);
                join.waitForFinished(10000);
                ASSERT_FALSE(working().isEmpty()) << "the join ended before the kill";
            } else if (row.moment == Moment::saveAsDuringDuplicate) {
                ASSERT_NO_FATAL_FAILURE(saveAsDuringDuplicate(package));
            } else if (row.moment == Moment::undoDelete) {
                ASSERT_TRUE(driver->launch({package}));
                const auto second = driver->widgetCentre(QStringLiteral("tree item"), QStringLiteral("Take 2"), 15s);
                ASSERT_TRUE(second);
                driver->click(*second);
                driver->key(QStringLiteral("Delete"));
                const auto takesNamed = [&] {
                    return driver->manifest(package).value("scenes").toArray().first().toObject().value("takes").toArray().size();
                };
                ASSERT_TRUE(AppDriver::waitUntil([&] { return takesNamed() == 1; }, 10s)) << "the delete was not saved";
                const auto undone = [&] {
                    QFile history(package + QStringLiteral("/history.log"));
                    return history.open(QIODevice::ReadOnly) && history.readAll().contains("undo — Delete Take");
                };
                driver->keyTo(kReviewWindow, QStringLiteral("ctrl+z"));
                ASSERT_TRUE(AppDriver::waitUntil(undone, 10s)) << "the undo never came";
                QThread::msleep(50);
                driver->killHard();
            } else {
                ASSERT_TRUE(row.moment == Moment::duplicateScene ? driver->launch({package}) : driver->launch());
                const auto button = row.moment == Moment::duplicateScene
                    ? driver->widgetCentre(QStringLiteral("tree item"), QStringLiteral("Scene 1"), 15s)
                    : driver->widgetCentre(QStringLiteral("push button"), QStringLiteral("New Recording"), 15s);
                ASSERT_TRUE(button);
                const QList<qulonglong> before = driver->appWindows();
                AppDriver::run("xdotool", {"mousemove", QString::number(button->x()), QString::number(button->y()), "click",
                                           row.moment == Moment::duplicateScene ? "3" : "1"});
                if (row.moment == Moment::duplicateScene) {
                    ASSERT_TRUE(driver->waitForNewWindow(before, 10s)) << "no context menu";
                    driver->key(QStringLiteral("Down"));
                    driver->key(QStringLiteral("Return"));
                }
                // Killed the moment the copies, or the scratch folder, are there: before the autosave.
                ASSERT_TRUE(AppDriver::waitUntil([&] {
                    return !QDir(takes).entryList({"*-*-*-*-*.mov"}).isEmpty() || !QDir(root).isEmpty(QDir::Dirs | QDir::NoDotAndDotDot);
                }, 20s));
                driver->killHard();
                ASSERT_EQ(driver->manifest(package).value("scenes").toArray().size(), 1) << "killed after the autosave";
                ASSERT_TRUE(driver->manifest(driver->scratchFolder()).isEmpty()) << "killed after the autosave";
            }
            const qsizetype relaunched = driver->logText().size();
            ASSERT_TRUE(driver->launch({package}));
            ASSERT_TRUE(driver->waitForLog(QStringLiteral("[app] openSession — opening review window"), 20s, relaunched));
            ASSERT_TRUE(driver->waitForLog(QStringLiteral("[app] init — ready"), 20s, relaunched));
            const QString log = driver->logText();
            const qsizetype cleared = log.indexOf(QStringLiteral("left by a killed save or export"), relaunched);
            EXPECT_TRUE(row.moment != Moment::join || (cleared >= 0 && cleared < log.indexOf("[app] openSession", relaunched)))
                << "the launch cleared its abandoned work after the recording opened";
            if (row.moment == Moment::saveAsDuringDuplicate) {
                // The scene the Save As waited for is the recording's, with its copy.
                EXPECT_EQ(QDir(takes).entryList({"*-*-*-*-*.mov"}, QDir::Files).size(), 1);
                EXPECT_EQ(driver->manifest(package).value("scenes").toArray().size(), 2);
                EXPECT_EQ(QDir(driver->home()).entryList({".Saved.lumacast*"}, QDir::AllEntries | QDir::Hidden), QStringList());
            } else {
                kept.sort();
                EXPECT_EQ(QDir(takes).entryList(QDir::Files | QDir::Hidden), kept) << "left over, or lost";
                EXPECT_EQ(driver->manifest(package).value("scenes").toArray().size(), 1);
                EXPECT_EQ(driver->manifest(package).value("scenes").toArray().first().toObject().value("takes").toArray().size(),
                          kept.size());
            }
            EXPECT_TRUE(QDir(root).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot)) << "a recording that holds nothing";
            EXPECT_TRUE(driver->alerts().isEmpty()) << "an alert after opening (a take filed back, a missing file)";
            EXPECT_TRUE(driver->quit());
            EXPECT_TRUE(driver->sanitizerReport().isEmpty()) << driver->sanitizerReport().left(3000).toStdString();
        };
        body();
        if (HasFailure())
            driver->keepEvidence(QStringLiteral("failed"));
        driver.reset();
    }
}

} // namespace
} // namespace lumacast::testing
