// A second launch, `lumacast <package>`, hands the package to the running program while one of
// its interactions is up: an alert, the save question, the outline's alert, context menu or
// drag, a file panel. The program must live through it, run what was handed over (and a tray
// command) once the interaction is answered and in the order they came, apply the answer to the
// recording it was asked about, keep its hot keys off meanwhile, and neither delete nor duplicate
// a package on disk. Each row runs a fresh program of this build tree on a fresh home
// (README.md says what the rig holds).
#include "TrayHosts.h"

#include "model/SessionManifest.h"
#include "support/AppDriver.h"
#include "support/SessionRecords.h"
#include "support/SmallTake.h"
#include "support/TestMovie.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include <unistd.h>

namespace lumacast::testing {
namespace {

using namespace std::chrono_literals;

// What the program logs for a hand-over that waits for an interaction to be answered.
const QString kWaits = QStringLiteral("waits until the user has answered");
const QString kTakeStart = QStringLiteral("[rec] startRecording called");
const QString kEndTakeKey = QStringLiteral("super+shift+Return");
const QString kReviewWindow = QStringLiteral("^Review Take$");
const QString kClosed = QStringLiteral("[state] reviewing → idle");

QString openedLine(const QString &package)
{
    return QStringLiteral("[app] openSession — %1 (activate=true)").arg(QFileInfo(package).fileName());
}

QString outputRoot()
{
    const QString chosen = qEnvironmentVariable("LUMACAST_HANDOVER_OUTPUT");
    return chosen.isEmpty() ? QStringLiteral(LUMACAST_BINARY_DIR "/tests/app/handover/handover-output") : chosen;
}

// One movie for every take the tests write, made once, and its length as a probe reads it (a
// manifest whose length differs is corrected at the open, with an alert).
struct SampleMovie {
    QTemporaryDir folder;
    QString path = folder.filePath(QStringLiteral("sample.mov"));
    double seconds = 0;

    SampleMovie()
    {
        TestMovieSpec spec;
        spec.audioChannels = {1};
        if (!makeTestMovie(path, spec).ok())
            return;
        const ProcessResult probed =
            runProcess(QStringLiteral("ffprobe"), {QStringLiteral("-v"), QStringLiteral("error"),
                                                   QStringLiteral("-show_entries"), QStringLiteral("format=duration"),
                                                   QStringLiteral("-of"), QStringLiteral("csv=p=0"), path});
        seconds = probed.out.trimmed().toDouble();
    }
    static const SampleMovie &shared()
    {
        static const SampleMovie movie;
        return movie;
    }
};

// A package as the test wrote it.
struct Package {
    QString path;
    QUuid id;
    QStringList movies; // what its takes folder held
};

enum class Damage { none, missingMovie, killedTake };

QList<int> takesPerScene(const QJsonObject &manifest)
{
    QList<int> counts;
    for (const QJsonValue &scene : manifest.value(QStringLiteral("scenes")).toArray())
        counts << int(scene.toObject().value(QStringLiteral("takes")).toArray().size());
    return counts;
}

class HandOver : public ::testing::Test {
protected:
    static QString missingTools()
    {
        return AppDriver::missingTools(
            {"xdotool", "xprop", "openbox", "xfce4-panel", "dbus-daemon", "ffmpeg", "ffprobe"});
    }

    // The desktop every row shares: a session bus and Xfce's panel, whose status tray hosts the
    // program's StatusNotifierItem.
    static void SetUpTestSuite()
    {
        AppDriver::ensureApplication();
        if (missingTools().isEmpty()) {
            s_desktop = std::make_unique<XfceTrayDesktop>();
            s_panelUp = s_desktop->startPanel();
        }
    }
    static void TearDownTestSuite() { s_desktop.reset(); }

    void SetUp() override
    {
        if (const QString missing = missingTools(); !missing.isEmpty())
            GTEST_SKIP() << "needs " << missing.toStdString();
        ASSERT_TRUE(s_panelUp && !s_desktop->address().isEmpty()) << "the session bus or Xfce's panel did not start";
        ASSERT_GT(SampleMovie::shared().seconds, 0) << "no sample movie";
    }
    void TearDown() override { endRow(); }

    static int failures()
    {
        return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
    }

    // Runs one row on a fresh home, window manager and program (launched by the row, once it has
    // written its packages); a fatal failure ends the row, not the test. A failed row leaves its
    // traces in its output folder.
    void inRow(const char *name, const std::function<void()> &body)
    {
        SCOPED_TRACE(name);
        const int before = failures();
        const QString folder = outputRoot() + QLatin1Char('/')
            + QString::fromUtf8(::testing::UnitTest::GetInstance()->current_test_info()->name()) + QLatin1Char('-')
            + QString::fromLatin1(name);
        QDir(folder).removeRecursively();
        m_packages.clear();
        driver = std::make_unique<AppDriver>(folder);
        if (driver->startRig(s_desktop->address()))
            body();
        else
            ADD_FAILURE() << "openbox did not start";
        if (failures() > before)
            driver->keepEvidence(QStringLiteral("failed"));
        endRow();
    }

    // Stops the row's program.
    void endRow()
    {
        if (!driver)
            return;
        driver.reset();
        m_diskHome.reset(); // after the program that used it
        // The watcher drops the program's item once its connection is gone.
        waitFor([] { return s_desktop->registeredItems().isEmpty(); }, 5000);
    }

    void launch(const QStringList &arguments = {})
    {
        ASSERT_TRUE(driver->launch(arguments)) << "the program did not start:\n" << driver->logText().toStdString();
        ASSERT_TRUE(waitFor([] { return s_desktop->registeredItems().size() == 1; }, 15000))
            << "the program's tray item did not reach the panel";
    }

    DBusMenuHost tray() const
    {
        return DBusMenuHost::fromRegistration(s_desktop->host(), s_desktop->registeredItems().value(0));
    }
    QStringList trayLabels() const
    {
        if (s_desktop->registeredItems().isEmpty())
            return {};
        DBusMenuHost host = tray();
        host.aboutToShow(0);
        const QStringList labels = host.layout().labels();
        host.event(0, QStringLiteral("closed"));
        return labels;
    }

    // A package in the row's home: scene after scene with so many takes of the sample movie,
    // each scene's first take checked (none with `checked` false). `damage`: one more take whose
    // movie is missing, or a take a crash cut off left in its takes folder (the movie and its
    // journal) and not in the manifest. With `scratch`, a new recording a crash left in the
    // scratch folder instead.
    Package writePackage(const QString &name, const QList<int> &scenes, Damage damage = Damage::none,
                         bool checked = true, bool scratch = false)
    {
        const SampleMovie &sample = SampleMovie::shared();
        const QUuid id = QUuid::createUuid();
        Package package{scratch ? driver->home() + QStringLiteral("/.cache/Lumacast/Sessions/")
                                      + id.toString(QUuid::WithoutBraces).toUpper()
                                : driver->home() + QLatin1Char('/') + name + QStringLiteral(".lumacast"),
                        id, {}};
        const QString takes = package.path + QStringLiteral("/takes/");
        QDir().mkpath(takes);
        Session session;
        session.id = package.id;
        session.createdAt = QDateTime::fromSecsSinceEpoch(1'700'000'000, QTimeZone::utc());
        for (const int count : scenes) {
            QList<Take> list;
            for (int i = 0; i < count; ++i) {
                const QString movie = QStringLiteral("take-%1-%2.mov").arg(session.scenes.size() + 1).arg(i + 1);
                EXPECT_TRUE(QFile::copy(sample.path, takes + movie));
                package.movies << movie;
                list << makeTrimmedTake(movie, sample.seconds, 0, sample.seconds);
            }
            session.scenes << makeCheckedScene(list, count > 0 && checked ? std::optional<qsizetype>(0) : std::nullopt);
        }
        if (damage == Damage::missingMovie)
            session.scenes[0].takes << makeTrimmedTake(QStringLiteral("gone.mov"), sample.seconds, 0, sample.seconds);
        if (damage == Damage::killedTake) {
            recordSmallTake(takes + QStringLiteral("killed.mov"), {}, false);
            package.movies << QStringLiteral("killed.mov");
        }
        QFile manifest(package.path + QStringLiteral("/manifest.json"));
        EXPECT_TRUE(manifest.open(QIODevice::WriteOnly) && manifest.write(SessionManifest(session).toJson()) > 0);
        if (!scratch)
            m_packages << package;
        return package;
    }

    // A second launch with `package`: it hands the package over and ends at once, with status 0.
    void handOver(const Package &package)
    {
        EXPECT_EQ(driver->launchAgain({package.path}, 30s), 0)
            << "the second launch with " << package.path.toStdString() << " did not end well";
    }
    // The same while an interaction is up: the program says the package waits.
    void handOverWhileUp(const Package &package)
    {
        const qsizetype mark = driver->logText().size();
        handOver(package);
        EXPECT_TRUE(driver->waitForLog(kWaits, 8s, mark))
            << "the hand-over of " << QFileInfo(package.path).fileName().toStdString() << " did not wait";
    }

    // Each of `packages` opened after `from`, in this order.
    void expectOpened(const QList<Package> &packages, qsizetype from)
    {
        qsizetype previous = -1;
        for (const Package &package : packages) {
            const QString line = openedLine(package.path);
            EXPECT_TRUE(driver->waitForLog(line, 20s, from)) << line.toStdString();
            const qsizetype at = driver->logText().indexOf(line, from);
            EXPECT_GT(at, previous) << QFileInfo(package.path).fileName().toStdString() << " opened out of order";
            previous = at;
        }
    }
    void expectLastOpened(const Package &package)
    {
        const auto lastOpened = [this] {
            QFile file(driver->home() + QStringLiteral("/.config/Lumacast/Lumacast.json"));
            if (!file.open(QIODevice::ReadOnly))
                return QString();
            const QJsonObject settings = QJsonDocument::fromJson(file.readAll()).object();
            return settings.value(QStringLiteral("lastOpenedDocument")).toString();
        };
        EXPECT_TRUE(AppDriver::waitUntil([&] { return QDir::cleanPath(lastOpened()) == package.path; }, 5s))
            << "the last opened document is " << lastOpened().toStdString();
    }

    // Clicks the button `label` of the program's newest window that has one: a question over
    // another is the one that takes the click.
    void pressButton(const QString &label)
    {
        const AccessibilityTree *tree = driver->accessibility();
        ASSERT_TRUE(tree) << "the program is not on the accessibility bus";
        std::optional<AccessibilityTree::Node> button;
        AppDriver::waitUntil(
            [&] {
                const auto root = tree->root();
                const auto windows = root ? tree->children(*root) : QList<AccessibilityTree::Node>();
                for (auto window = windows.rbegin(); window != windows.rend() && !button; ++window)
                    button = tree->find(QStringLiteral("push button"), label, *window);
                return button.has_value();
            },
            10s);
        ASSERT_TRUE(button) << "no button \"" << label.toStdString() << "\"";
        driver->click(button->extents.center());
    }
    // Answers every question up with `label`, one after the other.
    void answerEveryQuestion(const QString &label)
    {
        for (int i = 0; i < 3 && !driver->alerts().isEmpty(); ++i) {
            const qsizetype before = driver->alerts().size();
            pressButton(label);
            AppDriver::waitUntil([&] { return driver->alerts().size() < before; }, 10s);
        }
        EXPECT_TRUE(driver->alerts().isEmpty()) << "a question stayed up";
    }
    // The end-take hot key while an interaction is up: no take may start, then or after it.
    void pressEndTakeKey()
    {
        driver->key(kEndTakeKey);
        QThread::msleep(800);
    }
    void expectNoTakeStarted(qsizetype from)
    {
        EXPECT_EQ(driver->logText().indexOf(kTakeStart, from), -1) << "a take started";
    }

    // Starts a take with `keys` (the program's window in front), records for a second and ends it
    // with the end-take hot key: the take is in review.
    void recordTake(const QString &window, const QString &keys)
    {
        const qsizetype mark = driver->logText().size();
        driver->keyTo(window, keys);
        ASSERT_TRUE(driver->waitForLog(QStringLiteral("[state] starting → recording"), 20s, mark))
            << "no take started";
        QThread::msleep(1000);
        driver->key(kEndTakeKey);
        ASSERT_TRUE(driver->waitForLog(QStringLiteral("[state] recording → reviewing"), 20s, mark))
            << "the take did not end";
    }

    // The row's end: the program lived through it, every package the row wrote is whole, no two
    // packages in the home hold one session, no sanitizer spoke, and the program quits with
    // status 0.
    void expectSurvivedWithPackagesWhole()
    {
        // A sanitizer's report is told below; a plain crash's last words here.
        const QString report = driver->sanitizerReport();
        EXPECT_TRUE(driver->running())
            << "the program " << driver->exitState().toStdString() << "; its output ends:\n"
            << (report.isEmpty() ? driver->programOutput().right(600).toStdString() : "");
        for (const Package &package : std::as_const(m_packages)) {
            const QUuid id(driver->manifest(package.path).value(QStringLiteral("sessionID")).toString());
            EXPECT_EQ(id.toString().toStdString(), package.id.toString().toStdString())
                << package.path.toStdString() << " lost its manifest";
            for (const QString &movie : package.movies)
                EXPECT_TRUE(QFileInfo::exists(package.path + QStringLiteral("/takes/") + movie))
                    << package.path.toStdString() << " lost " << movie.toStdString();
        }
        QHash<QString, QString> sessions;
        QDirIterator manifests(driver->home(), {QStringLiteral("manifest.json")}, QDir::Files,
                               QDirIterator::Subdirectories);
        while (manifests.hasNext()) {
            const QString folder = QFileInfo(manifests.next()).path();
            if (!folder.endsWith(QLatin1String(".lumacast")))
                continue;
            const QString id = driver->manifest(folder).value(QStringLiteral("sessionID")).toString();
            EXPECT_FALSE(sessions.contains(id)) << folder.toStdString() << " and " << sessions.value(id).toStdString()
                                                << " hold one session";
            sessions.insert(id, folder);
        }
        if (driver->running()) {
            EXPECT_TRUE(driver->quit()) << "asked to quit, the program " << driver->exitState().toStdString();
        }
        EXPECT_TRUE(driver->sanitizerReport().isEmpty()) << driver->sanitizerReport().left(3000).toStdString();
    }

    std::unique_ptr<AppDriver> driver;
    QList<Package> m_packages;
    std::unique_ptr<QTemporaryDir> m_diskHome; // a row's home on a disk, when it needs one
    static inline std::unique_ptr<XfceTrayDesktop> s_desktop;
    static inline bool s_panelUp = false;
};

// The alert an open raises about the recording it opens: "Recording loaded with issues" before
// that recording is put in place, "A take was recovered" after. The package handed over meanwhile
// opens after the answer, so it is the last opened document.
TEST_F(HandOver, AnAlertInsideAnOpenHoldsTheNextOpen)
{
    const struct {
        const char *name;
        Damage damage;
    } rows[] = {{"missing-movie", Damage::missingMovie}, {"recovered-take", Damage::killedTake}};
    for (const auto &row : rows) {
        inRow(row.name, [&] {
            const Package damaged = writePackage(QStringLiteral("Damaged"), {2}, row.damage);
            const Package other = writePackage(QStringLiteral("Other"), {1});
            launch();
            handOver(damaged);
            ASSERT_TRUE(driver->waitForAlert(20s)) << "no alert opening " << damaged.path.toStdString();
            EXPECT_TRUE(driver->logText().contains(openedLine(damaged.path)));
            const qsizetype mark = driver->logText().size();
            handOverWhileUp(other);
            pressEndTakeKey();
            pressButton(QStringLiteral("OK"));
            expectOpened({other}, mark);
            expectLastOpened(other);
            expectNoTakeStarted(mark);
            if (row.damage == Damage::killedTake) {
                const QByteArray filed = QJsonDocument(driver->manifest(damaged.path)).toJson();
                EXPECT_TRUE(filed.contains("killed.mov"))
                    << "the recovered take is not in the recording it was found in";
                EXPECT_FALSE(QJsonDocument(driver->manifest(other.path)).toJson().contains("killed.mov"));
            }
            expectSurvivedWithPackagesWhole();
        });
    }
}

// Lumacast ▸ Check for Updates… without a feed: "Can't check for updates" is up over a take in
// review of a saved recording when the tray's Close Recording is pressed and a package is handed
// over. Neither runs before OK; then the package opens and stays open.
TEST_F(HandOver, AnAlertFromTheMenusHoldsATrayCommandAndAHandOver)
{
    inRow("update-alert", [&] {
        const Package base = writePackage(QStringLiteral("Base"), {1});
        const Package other = writePackage(QStringLiteral("Other"), {1});
        launch({base.path});
        ASSERT_TRUE(driver->waitForLog(openedLine(base.path), 20s));
        recordTake(kReviewWindow, kEndTakeKey);
        ASSERT_TRUE(driver->chooseMenuItem(QStringLiteral("Lumacast"), QStringLiteral("Check for Updates…")));
        ASSERT_TRUE(driver->waitForAlert(10s)) << "no alert";
        const qsizetype mark = driver->logText().size();
        ASSERT_TRUE(tray().click({QStringLiteral("Close Recording")})) << trayLabels().join(", ").toStdString();
        handOverWhileUp(other);
        pressEndTakeKey();
        const QString &closed = kClosed;
        EXPECT_EQ(driver->logText().indexOf(closed, mark), -1) << "the recording closed under the alert";
        pressButton(QStringLiteral("OK"));
        expectOpened({other}, mark);
        const qsizetype closedAt = driver->logText().indexOf(closed, mark);
        EXPECT_TRUE(closedAt >= 0 && closedAt < driver->logText().indexOf(openedLine(other.path), mark))
            << "the saved recording was not closed before Other opened";
        expectLastOpened(other);
        // With Other open the tray offers its second take.
        const QRegularExpression secondTake(QStringLiteral("^Start S1T2 "));
        EXPECT_TRUE(waitFor([&] { return !trayLabels().filter(secondTake).isEmpty(); }, 5000))
            << "the recording handed over is not the open one: " << trayLabels().join(", ").toStdString();
        expectNoTakeStarted(mark);
        expectSurvivedWithPackagesWhole();
    });
}

// "Save recording before closing?" about a new recording with one take in review, raised by a
// hand-over, by the review window's close and by the tray's Close Recording. What is handed over
// while it is up waits (no second question), the end-take hot key does nothing, and "Don’t Save"
// discards the new recording only; the packages then open in the order they came (a saved one is
// closed without asking).
TEST_F(HandOver, TheSaveQuestionAppliesToTheRecordingItAskedAbout)
{
    enum class Raise { handOver, windowClose, trayClose };
    const struct {
        const char *name;
        Raise raise;
    } rows[] = {{"hand-over", Raise::handOver},
                {"window-close", Raise::windowClose},
                {"tray-close", Raise::trayClose}};
    for (const auto &row : rows) {
        inRow(row.name, [&] {
            const Package first = writePackage(QStringLiteral("Other1"), {1});
            const Package second = writePackage(QStringLiteral("Other2"), {1});
            launch();
            recordTake(kReviewWindow, QStringLiteral("ctrl+n"));
            const QString scratch = driver->scratchFolder();
            ASSERT_FALSE(scratch.isEmpty());
            const qsizetype mark = driver->logText().size();
            // What opens after the answer, in this order; the last is handed over while the
            // question is up.
            QList<Package> opens{first, second};
            switch (row.raise) {
            case Raise::handOver:
                handOver(first);
                break;
            case Raise::windowClose:
                driver->keyTo(kReviewWindow, QStringLiteral("alt+F4"));
                opens = {first};
                break;
            case Raise::trayClose:
                ASSERT_TRUE(tray().click({QStringLiteral("Close Recording")}))
                    << trayLabels().join(", ").toStdString();
                opens = {first};
                break;
            }
            ASSERT_TRUE(driver->waitForAlert(10s)) << "no question";
            handOverWhileUp(opens.last());
            pressEndTakeKey();
            EXPECT_EQ(driver->alerts().size(), 1) << "a second question came up while the first was up";
            answerEveryQuestion(QStringLiteral("Don’t Save"));
            expectOpened(opens, mark);
            EXPECT_TRUE(AppDriver::waitUntil([&] { return !QFileInfo::exists(scratch); }, 5s))
                << "\"Don’t Save\" did not discard the new recording " << scratch.toStdString();
            expectNoTakeStarted(mark);
            expectSurvivedWithPackagesWhole();
        });
    }
}

// The outline's own interactions on a saved recording (two scenes): its alert "Can't Delete
// Every Scene", a take's context menu, a drag of a take onto the second scene. The package handed
// over meanwhile opens once the interaction is over, and the drop went into the recording it was
// made in.
TEST_F(HandOver, TheOutlinesInteractionsHoldAHandOver)
{
    enum class Interaction { alert, contextMenu, drag };
    const struct {
        const char *name;
        Interaction interaction;
        QList<int> takesAfter; // per scene of the saved recording, once the interaction is over
    } rows[] = {{"alert", Interaction::alert, {2, 1}},
                {"context-menu", Interaction::contextMenu, {2, 1}},
                {"drag", Interaction::drag, {1, 2}}};
    for (const auto &row : rows) {
        inRow(row.name, [&] {
            const Package base = writePackage(QStringLiteral("Base"), {2, 1});
            const Package other = writePackage(QStringLiteral("Other"), {1});
            launch({base.path});
            ASSERT_TRUE(driver->waitForLog(openedLine(base.path), 20s));
            const auto scene1 = driver->widgetCentre(QStringLiteral("tree item"), QStringLiteral("Scene 1"), 15s);
            const auto scene2 = driver->widgetCentre(QStringLiteral("tree item"), QStringLiteral("Scene 2"));
            const auto take1 = driver->widgetCentre(QStringLiteral("tree item"), QStringLiteral("Take 1"));
            ASSERT_TRUE(scene1 && scene2 && take1) << "the outline's rows are not on screen";
            const auto xdotool = [](const QStringList &arguments) {
                AppDriver::run(QStringLiteral("xdotool"), arguments);
            };
            const auto moveTo = [](QPoint point) {
                return QStringList{"mousemove", QString::number(point.x()), QString::number(point.y())};
            };
            switch (row.interaction) {
            case Interaction::alert:
                // Both scenes selected and deleted: refused, as a recording keeps one scene.
                driver->click(*scene1);
                xdotool(moveTo(*scene2) + QStringList{"keydown", "ctrl", "click", "1", "keyup", "ctrl"});
                driver->key(QStringLiteral("Delete"));
                ASSERT_TRUE(driver->waitForAlert(10s)) << "no alert";
                break;
            case Interaction::contextMenu: {
                const QList<qulonglong> before = driver->appWindows();
                xdotool(moveTo(*take1) + QStringList{"click", "3"});
                ASSERT_TRUE(driver->waitForNewWindow(before, 10s)) << "no context menu";
                break;
            }
            case Interaction::drag: {
                // The button stays down over the second scene's row until the hand-over is in.
                const QList<qulonglong> before = driver->appWindows();
                xdotool(moveTo(*take1) + QStringList{"mousedown", "1"});
                for (int step = 1; step <= 8; ++step) {
                    const QPoint point = *take1 + (*scene2 - *take1) * step / 8;
                    xdotool(moveTo(point) + QStringList{"sleep", "0.1"});
                }
                ASSERT_TRUE(driver->waitForNewWindow(before, 5s)) << "no dragged row on screen";
                break;
            }
            }
            const qsizetype mark = driver->logText().size();
            handOverWhileUp(other);
            pressEndTakeKey();
            switch (row.interaction) {
            case Interaction::alert:
                pressButton(QStringLiteral("OK"));
                break;
            case Interaction::contextMenu:
                driver->key(QStringLiteral("Escape"));
                break;
            case Interaction::drag:
                xdotool(moveTo(*scene2 + QPoint(4, 0)) + QStringList{"sleep", "0.2", "mouseup", "1"});
                break;
            }
            expectOpened({other}, mark);
            expectNoTakeStarted(mark);
            EXPECT_EQ(takesPerScene(driver->manifest(base.path)), row.takesAfter)
                << "the saved recording's takes per scene";
            EXPECT_EQ(takesPerScene(driver->manifest(other.path)), QList<int>{1});
            expectSurvivedWithPackagesWhole();
        });
    }
}

// A question minimized with its title bar's button, or gone from the screen with the review
// window minimized under it, is still asked: the outline's "Can't Delete Every Scene" and "Delete
// Scene?", and "Nothing to export" (File ▸ Export to Final Cut Pro / Resolve… with no take
// checked), over a saved recording. The end-take hot key, the tray's Close Recording and a
// hand-over each meet it minimized: the key starts no take, the other two wait, and each brings
// the question back. Once it is answered the recording closes, then the package handed over
// opens; "Delete Scene?" deleted the scene it named and nothing else.
TEST_F(HandOver, AMinimizedQuestionIsStillAsked)
{
    enum class Question { cantDeleteEveryScene, deleteScene, nothingToExport };
    const struct {
        const char *name;
        Question question;
        bool minimizeReviewWindow; // else the question itself
    } rows[] = {{"cant-delete-every-scene", Question::cantDeleteEveryScene, false},
                {"cant-delete-every-scene-under", Question::cantDeleteEveryScene, true},
                {"delete-scene", Question::deleteScene, false},
                {"delete-scene-under", Question::deleteScene, true},
                {"nothing-to-export", Question::nothingToExport, false},
                {"nothing-to-export-under", Question::nothingToExport, true}};
    for (const auto &row : rows) {
        inRow(row.name, [&] {
            const bool exporting = row.question == Question::nothingToExport;
            const QList<int> scenes = row.question == Question::cantDeleteEveryScene ? QList<int>{2, 1} : QList<int>{1, 1};
            const Package base = writePackage(QStringLiteral("Base"), scenes, Damage::none, !exporting);
            const Package other = writePackage(QStringLiteral("Other"), {1});
            launch({base.path});
            ASSERT_TRUE(driver->waitForLog(openedLine(base.path), 20s));
            // A take in review, for the tray to offer Close Recording; it is not checked yet.
            recordTake(kReviewWindow, kEndTakeKey);
            const QList<int> before = takesPerScene(driver->manifest(base.path));
            const auto review = driver->findWindow(kReviewWindow);
            const auto scene1 = driver->widgetCentre(QStringLiteral("tree item"), QStringLiteral("Scene 1"), 15s);
            const auto scene2 = driver->widgetCentre(QStringLiteral("tree item"), QStringLiteral("Scene 2"));
            ASSERT_TRUE(review && scene1 && scene2) << "the review window or its outline is not on screen";
            QString answer = QStringLiteral("OK");
            switch (row.question) {
            case Question::cantDeleteEveryScene:
                driver->click(*scene1);
                AppDriver::run(QStringLiteral("xdotool"), {"mousemove", QString::number(scene2->x()),
                                                          QString::number(scene2->y()), "keydown", "ctrl", "click",
                                                          "1", "keyup", "ctrl"});
                driver->key(QStringLiteral("Delete"));
                break;
            case Question::deleteScene:
                driver->click(*scene2);
                driver->key(QStringLiteral("Delete"));
                answer = QStringLiteral("Delete");
                break;
            case Question::nothingToExport:
                ASSERT_TRUE(driver->chooseMenuItem(QStringLiteral("File"),
                                                   QStringLiteral("Export to Final Cut Pro / Resolve…")));
                break;
            }
            const auto question = driver->waitForAlert(10s);
            ASSERT_TRUE(question) << "no question";
            const qsizetype mark = driver->logText().size();
            // Minimizes the question (or the window under it); `arrive` must leave it shut and
            // bring it back where it was (the window manager moves it there from its icon).
            const auto place = driver->geometry(*question);
            const auto meetMinimized = [&](const char *what, const std::function<void()> &arrive) {
                SCOPED_TRACE(what);
                ASSERT_TRUE(driver->minimize(row.minimizeReviewWindow ? *review : *question))
                    << "the question did not leave the screen";
                ASSERT_TRUE(driver->alerts().isEmpty()) << "the question stayed on screen";
                arrive();
                EXPECT_TRUE(AppDriver::waitUntil(
                    [&] { return driver->alerts().contains(*question) && driver->geometry(*question) == place; }, 8s))
                    << "the question was not brought back";
                EXPECT_EQ(driver->logText().indexOf(openedLine(other.path), mark), -1) << "Other opened under it";
                EXPECT_EQ(driver->logText().indexOf(kClosed, mark), -1) << "the recording closed under it";
            };
            meetMinimized("the end-take key", [&] { pressEndTakeKey(); });
            meetMinimized("the tray's Close Recording", [&] {
                EXPECT_TRUE(tray().click({QStringLiteral("Close Recording")})) << trayLabels().join(", ").toStdString();
            });
            meetMinimized("a hand-over", [&] { handOverWhileUp(other); });
            expectNoTakeStarted(mark);
            pressButton(answer);
            expectOpened({other}, mark);
            const qsizetype closedAt = driver->logText().indexOf(kClosed, mark);
            EXPECT_TRUE(closedAt >= 0 && closedAt < driver->logText().indexOf(openedLine(other.path), mark))
                << "the recording was not closed before Other opened";
            expectLastOpened(other);
            QList<int> left = before;
            if (row.question == Question::deleteScene) {
                left.removeAt(1);
                m_packages.first().movies.removeAll(QStringLiteral("take-2-1.mov")); // went with its scene
            }
            EXPECT_EQ(takesPerScene(driver->manifest(base.path)), left) << "the saved recording's takes per scene";
            expectNoTakeStarted(mark);
            expectSurvivedWithPackagesWhole();
        });
    }
}

// File ▸ Save Recording As… over a new recording, and File ▸ Open Recording…, with a package
// handed over while the panel is up. The panel's answer applies first: the new recording is saved
// under the name given (its own session), or the package chosen opens; then the package handed
// over opens.
TEST_F(HandOver, AFilePanelsAnswerComesBeforeAHandOver)
{
    const struct {
        const char *name;
        bool newRecording;
        const char *keys;
    } rows[] = {{"save-panel", true, "ctrl+shift+s"}, {"open-panel", false, "ctrl+o"}};
    for (const auto &row : rows) {
        inRow(row.name, [&] {
            const Package other = writePackage(QStringLiteral("Other"), {1});
            // The package the panel is answered with: a new name to save under, or one to open.
            const Package chosen = row.newRecording
                ? Package{driver->home() + QStringLiteral("/Saved.lumacast"), {}, {}}
                : writePackage(QStringLiteral("Third"), {1});
            launch();
            QJsonValue newSession; // the new recording's
            if (row.newRecording) {
                // New Recording, its countdown cancelled: the empty recording stays open, unsaved.
                const qsizetype started = driver->logText().size();
                driver->keyTo(kReviewWindow, QStringLiteral("ctrl+n"));
                ASSERT_TRUE(driver->waitForLog(QStringLiteral("starting countdown"), 20s, started));
                // The countdown takes Escape once its key is grabbed, a moment after it starts
                // (longer under the sanitizers): pressed until it is cancelled, within the countdown.
                const auto cancelled = [&] {
                    return driver->logText().indexOf(QStringLiteral("[rec] countdown cancelled"), started) >= 0;
                };
                for (int press = 0; press < 10 && !cancelled(); ++press) {
                    driver->key(QStringLiteral("Escape"));
                    AppDriver::waitUntil(cancelled, 250ms);
                }
                ASSERT_TRUE(cancelled()) << "Escape did not cancel the countdown";
                const QString scratch = driver->scratchFolder();
                const auto written = [&] { return driver->manifest(scratch).contains(QStringLiteral("sessionID")); };
                ASSERT_TRUE(AppDriver::waitUntil(written, 10s)) << "the new recording has no manifest";
                newSession = driver->manifest(scratch).value(QStringLiteral("sessionID"));
            }
            const qsizetype mark = driver->logText().size();
            const bool answered = driver->answerFilePanel(
                [&] {
                    const QList<qulonglong> before = driver->appWindows();
                    driver->keyTo(kReviewWindow, QString::fromLatin1(row.keys));
                    ASSERT_TRUE(driver->waitForNewWindow(before, 10s)) << "no panel";
                    QThread::msleep(500);
                    handOverWhileUp(other);
                    pressEndTakeKey();
                },
                chosen.path);
            ASSERT_TRUE(answered) << "the panel did not take " << chosen.path.toStdString();
            if (row.newRecording) {
                EXPECT_TRUE(AppDriver::waitUntil(
                    [&] { return QFileInfo::exists(chosen.path + QStringLiteral("/manifest.json")); }, 10s))
                    << "nothing saved at " << chosen.path.toStdString();
                EXPECT_EQ(driver->manifest(chosen.path).value(QStringLiteral("sessionID")).toString().toStdString(),
                          newSession.toString().toStdString())
                    << "the package saved is not the new recording";
                expectOpened({other}, mark);
            } else {
                expectOpened({chosen, other}, mark);
            }
            expectLastOpened(other);
            expectNoTakeStarted(mark);
            expectSurvivedWithPackagesWhole();
        });
    }
}

// A take of an hour of screen recording is gigabytes. Copied by Duplicate Scene (a saved
// recording) or Save As (a new recording a crash left, resumed from the tray), it is copied on a
// worker thread: the tray answers within half a second throughout and heads its menu with what
// the program does, a hand-over waits for the copy and the end-take hot key is ignored, and the
// copy is the take byte for byte. The take is the sample movie grown by a sparse "free" box that
// every movie reader skips.
TEST_F(HandOver, ACopyOfAGigabyteTakeLeavesTheProgramAnswering)
{
    enum class Copy { duplicateScene, saveAs };
    const struct {
        const char *name;
        Copy copy;
        QString shown; // at the head of the tray menu while the copy lasts
    } rows[] = {{"duplicate-scene", Copy::duplicateScene, "Duplicating Scene…"},
                {"save-as", Copy::saveAs, "Saving “Saved.lumacast”…"}};
    constexpr qint64 kGrowth = qint64(7) << 29; // 3.5 GiB, within the box's 32-bit size
    for (const auto &row : rows) {
        inRow(row.name, [&] {
            // The copy must outlast the row's steps, as a copy on a disk does: where /tmp is a
            // tmpfs (a container's), the grown take is copied in under a second.
            m_diskHome = std::make_unique<QTemporaryDir>(QStringLiteral("/var/tmp/lumacast-handover-XXXXXX"));
            ASSERT_TRUE(m_diskHome->isValid());
            driver->shareHome(m_diskHome->path());
            QDir().mkpath(driver->temporaryFolder());
            const Package other = writePackage(QStringLiteral("Other"), {1});
            const bool duplicating = row.copy == Copy::duplicateScene;
            const Package big = writePackage(QStringLiteral("Big"), {1}, Damage::none, true, !duplicating);
            const QString take = big.path + QStringLiteral("/takes/take-1-1.mov");
            QFile movie(take);
            const qint64 end = QFileInfo(take).size();
            const char box[8] = {char(kGrowth >> 24), char(kGrowth >> 16), char(kGrowth >> 8), char(kGrowth), 'f', 'r', 'e', 'e'};
            ASSERT_TRUE(movie.open(QIODevice::Append | QIODevice::Unbuffered) && movie.write(box, 8) == 8
                        && movie.resize(end + kGrowth));
            movie.close();
            // The take as it was, whatever the save does with its folder.
            const QString reference = driver->home() + QStringLiteral("/reference.mov");
            ASSERT_EQ(::link(QFile::encodeName(take).constData(), QFile::encodeName(reference).constData()), 0);
            if (duplicating) {
                launch({big.path});
                ASSERT_TRUE(driver->waitForLog(openedLine(big.path), 20s));
            } else {
                launch();
                ASSERT_TRUE(tray().click({QStringLiteral("Resume recording (1 scene)")}))
                    << trayLabels().join(", ").toStdString();
                ASSERT_TRUE(driver->waitForLog(QStringLiteral("[app] resumeSession"), 20s));
            }
            const qsizetype mark = driver->logText().size();
            const QString saved = driver->home() + QStringLiteral("/Saved.lumacast");
            if (duplicating) {
                const auto scene = driver->widgetCentre(QStringLiteral("tree item"), QStringLiteral("Scene 1"), 15s);
                ASSERT_TRUE(scene) << "the outline's row is not on screen";
                AppDriver::run(QStringLiteral("xdotool"), {"mousemove", QString::number(scene->x()),
                                                          QString::number(scene->y()), "click", "3"});
                // Its first entry.
                QThread::msleep(500);
                driver->key(QStringLiteral("Down"));
                driver->key(QStringLiteral("Return"));
            } else {
                ASSERT_TRUE(driver->answerFilePanel([&] { driver->keyTo(kReviewWindow, QStringLiteral("ctrl+shift+s")); },
                                                    saved));
            }
            ASSERT_TRUE(driver->waitForLog(QStringLiteral("[app] copying — "), 10s, mark)) << "no copy began";
            bool shown = false;
            const auto askTray = [&] {
                // The menu opened and its entries read: each call waits in steps of 50 ms. A copy
                // on the main thread would hold the answer for the copy's whole length, seconds;
                // the bound leaves room for the sanitizers' slower round trips (half a second seen).
                DBusMenuHost host = tray();
                QElapsedTimer answer;
                answer.start();
                host.aboutToShow(0);
                const QStringList labels = host.layout().labels();
                EXPECT_LT(answer.elapsed(), 1500) << "the tray took that long to answer";
                host.event(0, QStringLiteral("closed"));
                shown = shown || labels.contains(row.shown);
                QThread::msleep(100);
            };
            const auto copying = [&] {
                return driver->logText().indexOf(QStringLiteral("[app] copy done"), mark) < 0 && driver->running();
            };
            // The tray's word first, while the copy surely lasts (a warm copy of the take takes about
            // three seconds here, the hand-over and the key below one and a half).
            while (!shown && copying())
                askTray();
            handOver(other);
            pressEndTakeKey();
            while (copying())
                askTray();
            EXPECT_TRUE(shown) << "the tray never said what the program does";
            const QString log = driver->logText().mid(mark);
            EXPECT_TRUE(log.contains(QStringLiteral("opening Other.lumacast waits for the copy under way")));
            EXPECT_TRUE(log.contains(QStringLiteral("a hot key while the recording's files are copied — ignored")));
            expectOpened({other}, mark);
            expectNoTakeStarted(mark);

            QString copy = saved + QStringLiteral("/takes/take-1-1.mov");
            if (duplicating) {
                const QJsonArray scenes = driver->manifest(big.path).value(QStringLiteral("scenes")).toArray();
                ASSERT_EQ(scenes.size(), 2) << "the duplicate is not in the recording";
                const QJsonObject duplicate = scenes[1].toObject().value(QStringLiteral("takes")).toArray()[0].toObject();
                copy = big.path + QStringLiteral("/takes/") + duplicate.value(QStringLiteral("filename")).toString();
            } else {
                EXPECT_FALSE(QFileInfo::exists(big.path)) << "the new recording's scratch folder stayed";
                m_packages << Package{saved, big.id, {QStringLiteral("take-1-1.mov")}};
            }
            int differs = -1;
            AppDriver::run(QStringLiteral("cmp"), {QStringLiteral("-s"), reference, copy}, &differs, 120000);
            EXPECT_EQ(differs, 0) << copy.toStdString() << " is not the take byte for byte";
            QFile::remove(reference);
            expectSurvivedWithPackagesWhole();
        });
    }
}

} // namespace
} // namespace lumacast::testing
