// The whole road through the shipped program, driven from outside: keys and clicks through
// XTest, windows found on the X server, files read from the temporary home folder.
#include "support/AppDriver.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cmath>

using namespace std::chrono_literals;

namespace {

// The review window is titled after its document once it has one.
const QString kReviewWindow = QStringLiteral("^(Review Take|Road.*)$");

// Screenshots go next to the test program unless LUMACAST_ROAD_OUTPUT names a folder.
QString outputFolder()
{
    const QString chosen = qEnvironmentVariable("LUMACAST_ROAD_OUTPUT");
    return chosen.isEmpty() ? QStringLiteral(LUMACAST_BINARY_DIR "/tests/e2e/road-output") : chosen;
}

// The timestamp of the first log line holding `text` after `from`, in ms since the epoch.
std::optional<qint64> logTime(const QString &log, const QString &text, qsizetype from = 0)
{
    const qsizetype at = log.indexOf(text, from);
    if (at < 0)
        return std::nullopt;
    const qsizetype lineStart = log.lastIndexOf(QLatin1Char('\n'), at) + 1;
    const QDateTime stamp = QDateTime::fromString(log.mid(lineStart + 1, 23), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    return stamp.isValid() ? std::optional(stamp.toMSecsSinceEpoch()) : std::nullopt;
}

struct Probe {
    QStringList streams; // codec types in track order
    double duration = 0; // seconds
};

Probe probe(const QString &movie)
{
    Probe result;
    const QString out = AppDriver::run(
        QStringLiteral("ffprobe"), {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                                    QStringLiteral("stream=codec_type:format=duration"), QStringLiteral("-of"),
                                    QStringLiteral("default=nw=1"), movie});
    for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.startsWith(QLatin1String("codec_type=")))
            result.streams << line.section(QLatin1Char('='), 1);
        else if (line.startsWith(QLatin1String("duration=")))
            result.duration = line.section(QLatin1Char('='), 1).toDouble();
    }
    return result;
}

struct VideoPacket {
    double pts = 0; // seconds on the movie's timeline
    QString hash;   // MD5 of the packet's bytes
};

// The first video track's packets in file order.
QList<VideoPacket> videoPackets(const QString &movie)
{
    QList<VideoPacket> packets;
    const QString out = AppDriver::run(
        QStringLiteral("ffprobe"),
        {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"), QStringLiteral("v:0"),
         QStringLiteral("-show_data_hash"), QStringLiteral("MD5"), QStringLiteral("-show_entries"),
         QStringLiteral("packet=pts_time,data_hash"), QStringLiteral("-of"), QStringLiteral("csv=p=0"), movie});
    for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList fields = line.trimmed().split(QLatin1Char(','));
        if (fields.size() == 2)
            packets << VideoPacket{fields[0].toDouble(), fields[1]};
    }
    return packets;
}

QList<QJsonObject> takesOf(const QJsonObject &manifest)
{
    QList<QJsonObject> takes;
    for (const QJsonValue &scene : manifest.value(QStringLiteral("scenes")).toArray())
        for (const QJsonValue &take : scene.toObject().value(QStringLiteral("takes")).toArray())
            takes << take.toObject();
    return takes;
}

QString findFile(const QString &folder, const QString &pattern)
{
    QDirIterator it(folder, {pattern}, QDir::Files, QDirIterator::Subdirectories);
    return it.hasNext() ? it.next() : QString();
}

// xmllint against the FCPXML DTD when it is found beside the repository (or beside the folder of
// work trees), else well-formedness.
bool validates(const QString &document, bool withDTD = true)
{
    QStringList arguments{QStringLiteral("--noout")};
    for (const QString &dtd : {QStringLiteral(LUMACAST_SOURCE_DIR "/../shared/formats/FCPXMLv1_10.dtd"),
                               QStringLiteral(LUMACAST_SOURCE_DIR "/../../shared/formats/FCPXMLv1_10.dtd")}) {
        if (withDTD && QFileInfo::exists(dtd)) {
            arguments << QStringLiteral("--dtdvalid") << dtd;
            break;
        }
    }
    int code = 0;
    AppDriver::run(QStringLiteral("xmllint"), arguments << document, &code);
    return code == 0;
}

class Road : public ::testing::Test {
protected:
    void SetUp() override
    {
        AppDriver::ensureApplication();
        if (const QString missing = AppDriver::missingTools(); !missing.isEmpty())
            GTEST_SKIP() << "the road needs " << missing.toStdString();
        QDir(outputFolder()).removeRecursively();
        driver = std::make_unique<AppDriver>(outputFolder());
        ASSERT_TRUE(driver->startRig()) << "the tray host or the tone did not start";
    }

    // Runs one step; a failing step leaves a screenshot named after it, and the road stops there.
    bool step(const QString &name, const std::function<void()> &body)
    {
        if (HasFailure())
            return false;
        SCOPED_TRACE(name.toStdString());
        body();
        if (HasFailure()) {
            driver->keepEvidence(QStringLiteral("failed-") + name);
            ADD_FAILURE() << "the road stopped at " << name.toStdString()
                          << "; screenshot, app.log and accessibility.txt in "
                          << outputFolder().toStdString();
            return false;
        }
        return true;
    }

    // Waits for the state change the log records, from `from` on.
    void expectState(const QString &change, qsizetype from, std::chrono::milliseconds timeout = 15s)
    {
        ASSERT_TRUE(driver->waitForLog(QStringLiteral("[state] ") + change, timeout, from))
            << "no state change " << change.toStdString();
    }

    // Presses `trigger`, waits through the countdown, records for `length`, ends the take with
    // the end-take hot key and waits for the review. Returns the log position before the trigger.
    qsizetype recordTake(const QString &trigger, std::chrono::milliseconds length)
    {
        const qsizetype mark = driver->logText().size();
        driver->key(trigger);
        expectState(QStringLiteral("starting → recording"), mark);
        QThread::msleep(static_cast<unsigned long>(length.count()));
        driver->key(QStringLiteral("super+shift+Return"));
        expectState(QStringLiteral("recording → reviewing"), mark);
        return mark;
    }

    // The manifest once it holds `count` takes (the save follows the filing by a moment).
    QList<QJsonObject> waitForTakes(const QString &session, qsizetype count)
    {
        QList<QJsonObject> takes;
        AppDriver::waitUntil([&] { return (takes = takesOf(driver->manifest(session))).size() == count; }, 10s);
        return takes;
    }

    // Waits for the "Export complete" alert, keeps a picture of it and dismisses it with Escape,
    // its OK button.
    void dismissExportAlert(const QString &picture, std::chrono::milliseconds timeout)
    {
        answerAlert(picture, QStringLiteral("Escape"), timeout);
    }

    // Waits for an alert, keeps a picture of it and answers it with `key`.
    void answerAlert(const QString &picture, const QString &key, std::chrono::milliseconds timeout)
    {
        const std::optional<qulonglong> alert = driver->waitForAlert(timeout);
        ASSERT_TRUE(alert) << "no alert; windows: " << windowList();
        QThread::msleep(500);
        driver->screenshot(picture, driver->geometry(*alert));
        driver->run(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::number(*alert)});
        driver->key(key);
        ASSERT_TRUE(AppDriver::waitUntil([&] { return !driver->appWindows().contains(*alert); }, 5s));
    }

    // A picture of one window for the README too, when LUMACAST_SCREENSHOTS_DIR names a folder.
    void picture(const QString &name, qulonglong window)
    {
        const auto rect = driver->geometry(window);
        const QString path = driver->screenshot(name, rect);
        const QString readme = qEnvironmentVariable("LUMACAST_SCREENSHOTS_DIR");
        if (!readme.isEmpty()) {
            QDir().mkpath(readme);
            QFile::remove(readme + QLatin1Char('/') + name + QStringLiteral(".png"));
            QFile::copy(path, readme + QLatin1Char('/') + name + QStringLiteral(".png"));
        }
    }

    std::string windowList() const
    {
        QStringList names;
        for (const qulonglong window : driver->appWindows()) {
            const auto rect = driver->geometry(window);
            names << QStringLiteral("\"%1\" %2,%3 %4x%5")
                         .arg(driver->windowName(window))
                         .arg(rect ? rect->x() : 0).arg(rect ? rect->y() : 0)
                         .arg(rect ? rect->width() : 0).arg(rect ? rect->height() : 0);
        }
        return names.join(QLatin1String("; ")).toStdString();
    }

    // The road's steps, in order; each leaves the program where the next one starts.
    void launchShowsOnlyTheTrayAndReviewWindow()
    {
        ASSERT_TRUE(driver->launch()) << "no tray icon appeared";
        ASSERT_TRUE(driver->waitForLog(QStringLiteral("[app] init — ready"), 15s));
        QThread::msleep(500);
        // Only the tray icon and the empty review window (the launch opens it when no document
        // reopens); no overlay.
        QStringList unexpected;
        for (const qulonglong window : driver->appWindows()) {
            const QString name = driver->windowName(window);
            if (name != QLatin1String("Lumacast") && name != QLatin1String("Review Take"))
                unexpected << QStringLiteral("\"%1\"").arg(name);
        }
        EXPECT_TRUE(unexpected.isEmpty()) << unexpected.join(QLatin1String(", ")).toStdString();
    }

    void firstTakeWithPause()
    {
        const qsizetype mark = driver->logText().size();
        driver->keyTo(QStringLiteral("^Review Take$"), QStringLiteral("ctrl+n"));
        ASSERT_TRUE(driver->waitForLog(QStringLiteral("starting countdown"), 10s, mark));
        QThread::msleep(700);
        driver->screenshot(QStringLiteral("countdown"));
        expectState(QStringLiteral("starting → recording"), mark);
        QThread::msleep(500);
        driver->screenshot(QStringLiteral("recording"));
        // The border and the status panel: the program's windows beside the review window.
        bool border = false;
        for (const qulonglong window : driver->appWindows()) {
            const auto rect = driver->geometry(window);
            const QString name = driver->windowName(window);
            if (!rect || name == QLatin1String("Review Take") || rect->width() <= 64)
                continue; // the review window, the tray icon
            if (rect->size() == QSize(1920, 1080))
                border = true;
            else if (rect->width() < 400 && rect->height() < 300)
                picture(QStringLiteral("status-panel"), window);
        }
        EXPECT_TRUE(border) << "no border window while recording: " << windowList();
        QThread::msleep(1500);
        driver->key(QStringLiteral("super+shift+space"));
        expectState(QStringLiteral("recording → paused"), mark, 5s);
        QThread::msleep(1000);
        driver->key(QStringLiteral("super+shift+space"));
        expectState(QStringLiteral("paused → recording"), mark, 5s);
        QThread::msleep(1500);
        driver->key(QStringLiteral("super+shift+Return"));
        expectState(QStringLiteral("recording → reviewing"), mark);
        ASSERT_TRUE(AppDriver::waitUntil([&] { return driver->findWindow(QStringLiteral("^Review Take$")).has_value(); }, 10s))
            << "the review window did not open";

        const QString log = driver->logText();
        const auto started = logTime(log, QStringLiteral("[state] starting → recording"), mark);
        const auto paused = logTime(log, QStringLiteral("[state] recording → paused"), mark);
        const auto resumed = logTime(log, QStringLiteral("[state] paused → recording"), mark);
        // The writer's own end, not the move to review: filing the take (its probe, the manifest
        // written at once) comes between the two and takes longer on a loaded machine.
        const auto ended = logTime(log, QStringLiteral("[writer] take ended"), mark);
        ASSERT_TRUE(started && paused && resumed && ended);
        const double expected = double((*ended - *started) - (*resumed - *paused)) / 1000.0;

        const QString session = driver->scratchFolder();
        ASSERT_FALSE(session.isEmpty()) << "no scratch session";
        const auto takes = waitForTakes(session, 1);
        ASSERT_EQ(takes.size(), 1);
        const QString movie = session + QStringLiteral("/takes/") + takes[0].value(QStringLiteral("filename")).toString();
        const Probe probed = probe(movie);
        EXPECT_EQ(probed.streams, (QStringList{QStringLiteral("video"), QStringLiteral("audio")})) << movie.toStdString();
        EXPECT_NEAR(probed.duration, expected, 0.2) << movie.toStdString();
    }

    void retakeAndNextScene()
    {
        // In review the end-take key approves and starts the next take; the retake key drops
        // the reviewed take; the next-scene key approves and starts a take in a new scene.
        recordTake(QStringLiteral("super+shift+Return"), 1500ms);
        const qsizetype mark = driver->logText().size();
        driver->key(QStringLiteral("super+shift+r"));
        expectState(QStringLiteral("reviewing → idle"), mark, 5s);
        recordTake(QStringLiteral("super+shift+Return"), 1500ms);
        recordTake(QStringLiteral("super+shift+n"), 1500ms);
        const QString session = driver->scratchFolder();
        const auto takes = waitForTakes(session, 3);
        EXPECT_EQ(takes.size(), 3);
        EXPECT_EQ(driver->manifest(session).value(QStringLiteral("scenes")).toArray().size(), 2);
        if (const auto review = driver->findWindow(QStringLiteral("^Review Take$")))
            driver->screenshot(QStringLiteral("outline"), driver->geometry(*review));
        // The outline's rows as a screen reader reads them: scene 1 with the first take and the
        // one after the retake, scene 2 with its take.
        const QStringList expected{QStringLiteral("Scene 1"), QStringLiteral("Take 1"), QStringLiteral("Take 2"),
                                   QStringLiteral("Scene 2"), QStringLiteral("Take 1")};
        QStringList rows;
        AppDriver::waitUntil([&] { return (rows = outlineRows()) == expected; }, 10s);
        EXPECT_EQ(rows.join(QLatin1String(", ")).toStdString(), expected.join(QLatin1String(", ")).toStdString())
            << "the outline's rows";
    }

    // The names of the outline's rows on screen, top to bottom.
    QStringList outlineRows()
    {
        QStringList rows;
        const AccessibilityTree *tree = driver->accessibility();
        if (!tree)
            return rows;
        if (const auto outline = tree->find(QStringLiteral("tree"), QStringLiteral("Scenes")))
            for (const AccessibilityTree::Node &row : tree->children(*outline))
                if (row.role == QLatin1String("tree item"))
                    rows << row.name;
        return rows;
    }

    void trimAndTail()
    {
        // The reviewed take (scene 2, take 1): drag the trim bar's end handle a third of the
        // strip to the left, then record a tail for it and let it join. The handles are painted;
        // the trim bar names them to assistive tools.
        const auto review = driver->findWindow(kReviewWindow);
        ASSERT_TRUE(review);
        ASSERT_TRUE(driver->accessibility()) << "the program is not on the accessibility bus";
        const auto start = driver->widgetCentre(QStringLiteral("slider"), QStringLiteral("Trim start"));
        const auto handle = driver->widgetCentre(QStringLiteral("slider"), QStringLiteral("Trim end"));
        ASSERT_TRUE(start && handle) << "no trim handles in the accessibility tree";
        const int strip = handle->x() - start->x();
        ASSERT_GT(strip, 60) << "the handles are " << strip << " px apart";
        driver->run(QStringLiteral("xdotool"),
                    {QStringLiteral("mousemove"), QString::number(handle->x()), QString::number(handle->y()),
                     QStringLiteral("mousedown"), QStringLiteral("1"), QStringLiteral("sleep"), QStringLiteral("0.2"),
                     QStringLiteral("mousemove"), QString::number(handle->x() - strip / 6), QString::number(handle->y()),
                     QStringLiteral("sleep"), QStringLiteral("0.2"), QStringLiteral("mousemove"),
                     QString::number(handle->x() - strip / 3), QString::number(handle->y()), QStringLiteral("sleep"),
                     QStringLiteral("0.2"), QStringLiteral("mouseup"), QStringLiteral("1")});
        QThread::msleep(800);
        const QString session = driver->scratchFolder();
        QJsonObject trimmed;
        ASSERT_TRUE(AppDriver::waitUntil(
            [&] {
                for (const QJsonObject &take : takesOf(driver->manifest(session)))
                    if (take.value(QStringLiteral("trimEnd")).toDouble() < take.value(QStringLiteral("duration")).toDouble() - 0.1)
                        trimmed = take;
                return !trimmed.isEmpty();
            },
            5s))
            << "the drag trimmed no take";
        picture(QStringLiteral("review-window"), *review);
        const auto recordTail = driver->widgetCentre(QStringLiteral("push button"), QStringLiteral("Record Tail"));
        ASSERT_TRUE(recordTail) << "no \"Record Tail\" button";
        const qsizetype mark = driver->logText().size();
        driver->click(*recordTail);
        ASSERT_TRUE(driver->waitForLog(QStringLiteral("[tail] record tail"), 5s, mark)) << "Record Tail did not start";
        answerAlert(QStringLiteral("tail-warning"), QStringLiteral("Return"), 10s); // "Record Tail"
        expectState(QStringLiteral("starting → recording"), mark);
        QThread::msleep(1500);
        driver->key(QStringLiteral("super+shift+Return"));
        ASSERT_TRUE(driver->waitForLog(QStringLiteral("[tail] joined"), 30s, mark)) << "the tail did not join";
        // Minimized for the tail's capture, the review window comes back once the take is joined.
        ASSERT_TRUE(AppDriver::waitUntil([&] { return driver->findWindow(kReviewWindow).has_value(); }, 5s))
            << "the review window stayed minimized after the join; windows: " << windowList();
        const QString log = driver->logText().mid(mark);
        const QRegularExpression stopped(QStringLiteral("tail stopped — (\\S+) ([0-9.]+)s"));
        const auto match = stopped.match(log);
        ASSERT_TRUE(match.hasMatch());
        // The tail's own movie when it is still on disk; else the log's figure, which is rounded
        // to a tenth of a second.
        double tailSeconds = probe(session + QStringLiteral("/takes/") + match.captured(1)).duration;
        double tolerance = 0.05;
        if (tailSeconds <= 0) {
            tailSeconds = match.captured(2).toDouble();
            tolerance = 0.1;
        }
        QJsonObject joined;
        AppDriver::waitUntil(
            [&] {
                for (const QJsonObject &take : takesOf(driver->manifest(session)))
                    if (take.value(QStringLiteral("id")) == trimmed.value(QStringLiteral("id"))
                        && take.value(QStringLiteral("filename")) != trimmed.value(QStringLiteral("filename")))
                        joined = take;
                return !joined.isEmpty();
            },
            10s);
        ASSERT_FALSE(joined.isEmpty()) << "the take does not name a joined movie";
        const double trimEnd = trimmed.value(QStringLiteral("trimEnd")).toDouble();
        const QString joinedMovie = session + QStringLiteral("/takes/") + joined.value(QStringLiteral("filename")).toString();
        EXPECT_NEAR(probe(joinedMovie).duration, trimEnd + tailSeconds, tolerance);

        // The joined movie's picture starts with the old movie's packets up to the trim end, byte
        // for byte (the old movie stays on disk for undo). The join cuts at the trim end rounded
        // to its own time scale: a frame within 2 ms of the cut may go either way.
        const QString oldMovie = session + QStringLiteral("/takes/") + trimmed.value(QStringLiteral("filename")).toString();
        const QList<VideoPacket> before = videoPackets(oldMovie);
        const QList<VideoPacket> after = videoPackets(joinedMovie);
        const qsizetype kept =
            std::count_if(before.begin(), before.end(), [&](const VideoPacket &p) { return p.pts < trimEnd - 0.002; });
        ASSERT_GT(kept, 0) << oldMovie.toStdString();
        ASSERT_LT(kept, before.size()) << "the trim cut nothing off";
        ASSERT_GE(after.size(), kept);
        qsizetype same = 0;
        while (same < kept && after[same].hash == before[same].hash)
            ++same;
        EXPECT_EQ(same, kept) << "the joined movie's packet " << same << " differs from the old movie's; "
                              << kept << " of " << before.size() << " old packets start before " << trimEnd << " s";

        // Undo brings the take's own movie back, redo the joined one.
        const auto movieOfTake = [&] {
            for (const QJsonObject &take : takesOf(driver->manifest(session)))
                if (take.value(QStringLiteral("id")) == trimmed.value(QStringLiteral("id")))
                    return take.value(QStringLiteral("filename")).toString();
            return QString();
        };
        driver->keyTo(kReviewWindow, QStringLiteral("ctrl+z"));
        EXPECT_TRUE(AppDriver::waitUntil(
            [&] { return movieOfTake() == trimmed.value(QStringLiteral("filename")).toString(); }, 5s))
            << "undo left " << movieOfTake().toStdString();
        driver->keyTo(kReviewWindow, QStringLiteral("ctrl+shift+z"));
        EXPECT_TRUE(AppDriver::waitUntil(
            [&] { return movieOfTake() == joined.value(QStringLiteral("filename")).toString(); }, 5s))
            << "redo left " << movieOfTake().toStdString();
    }

    void saveQuitReopen()
    {
        package = driver->home() + QStringLiteral("/Road.lumacast");
        ASSERT_TRUE(driver->answerFilePanel(
            [&] { driver->keyTo(QStringLiteral("^Review Take$"), QStringLiteral("ctrl+shift+s")); }, package))
            << "the save panel did not take the name";
        ASSERT_TRUE(AppDriver::waitUntil([&] { return takesOf(driver->manifest(package)).size() == 3; }, 10s))
            << "no package with three takes at " << package.toStdString();
        const QJsonObject saved = driver->manifest(package);
        const qsizetype mark = driver->logText().size();
        driver->keyTo(kReviewWindow, QStringLiteral("ctrl+q"));
        ASSERT_TRUE(AppDriver::waitUntil([&] { return !driver->running(); }, 20s)) << "Quit did not end the program";
        ASSERT_TRUE(driver->launch());
        ASSERT_TRUE(driver->waitForLog(QStringLiteral("[app] reopenLastDocument — opening"), 15s, mark))
            << "the last document did not reopen";
        ASSERT_TRUE(AppDriver::waitUntil([&] { return driver->findWindow(kReviewWindow).has_value(); }, 10s))
            << "no window shows the reopened document";
        QThread::msleep(1000);
        const auto icon = driver->trayIcon();
        ASSERT_TRUE(icon);
        const QList<qulonglong> before = driver->appWindows();
        ASSERT_TRUE(driver->openPopup(icon->center())) << "the tray menu did not open";
        if (const auto menu = driver->waitForNewWindow(before, 2s))
            picture(QStringLiteral("tray-menu"), *menu);
        driver->key(QStringLiteral("Escape"));
        const QJsonObject reopened = driver->manifest(package);
        EXPECT_EQ(reopened.value(QStringLiteral("scenes")), saved.value(QStringLiteral("scenes")));
    }

    void exports()
    {
        // FCPXML and FCP7: their items in the File menu, found in the accessibility tree.
        const QString fcpxmlFolder = driver->home() + QStringLiteral("/FCPXML");
        ASSERT_TRUE(driver->answerFilePanel([&] { chooseFileMenuItem(QStringLiteral("Export to Final Cut Pro / Resolve…")); },
                                            fcpxmlFolder));
        dismissExportAlert(QStringLiteral("export-complete"), 30s);
        const QString fcp7Folder = driver->home() + QStringLiteral("/FCP7");
        ASSERT_TRUE(driver->answerFilePanel([&] { chooseFileMenuItem(QStringLiteral("Export for Premiere…")); },
                                            fcp7Folder));
        dismissExportAlert(QStringLiteral("export-complete-fcp7"), 30s);
        const QString fcpxml = findFile(fcpxmlFolder, QStringLiteral("*.fcpxml"));
        const QString fcp7 = findFile(fcp7Folder, QStringLiteral("*.xml"));
        ASSERT_FALSE(fcpxml.isEmpty()) << "no FCPXML document under " << fcpxmlFolder.toStdString();
        ASSERT_FALSE(fcp7.isEmpty()) << "no FCP7 document under " << fcp7Folder.toStdString();
        EXPECT_TRUE(validates(fcpxml));
        EXPECT_TRUE(validates(fcp7, /*withDTD=*/false));

        // The movie: the Export window's default button, then its save panel.
        const QString movie = driver->home() + QStringLiteral("/Road.mov");
        const QList<qulonglong> before = driver->appWindows();
        driver->keyTo(kReviewWindow, QStringLiteral("ctrl+e"));
        const auto exportWindow = driver->waitForNewWindow(before, 10s);
        ASSERT_TRUE(exportWindow) << "no Export window";
        QThread::msleep(500);
        driver->screenshot(QStringLiteral("export-window"), driver->geometry(*exportWindow));
        ASSERT_TRUE(driver->answerFilePanel(
            [&] {
                const auto button = driver->widgetCentre(QStringLiteral("push button"), QStringLiteral("Export Video"));
                ASSERT_TRUE(button) << "no \"Export Video\" button";
                driver->click(*button);
            },
            movie));
        dismissExportAlert(QStringLiteral("export-complete-movie"), 90s);
        ASSERT_TRUE(QFileInfo::exists(movie)) << "no exported movie";
        // The kept range of each scene's checked take.
        double kept = 0;
        for (const QJsonValue &scene : driver->manifest(package).value(QStringLiteral("scenes")).toArray()) {
            const QString selected = scene.toObject().value(QStringLiteral("selectedTakeID")).toString();
            for (const QJsonValue &value : scene.toObject().value(QStringLiteral("takes")).toArray()) {
                const QJsonObject take = value.toObject();
                if (selected.isEmpty() || take.value(QStringLiteral("id")).toString().compare(selected, Qt::CaseInsensitive) != 0)
                    continue;
                const double duration = take.value(QStringLiteral("duration")).toDouble();
                kept += take.value(QStringLiteral("trimEnd")).toDouble(duration) - take.value(QStringLiteral("trimStart")).toDouble(0);
            }
        }
        if (kept == 0) {
            QFile copy(outputFolder() + QStringLiteral("/manifest.json"));
            if (copy.open(QIODevice::WriteOnly))
                copy.write(QJsonDocument(driver->manifest(package)).toJson());
        }
        int code = 0;
        const QString errors = AppDriver::run(QStringLiteral("ffmpeg"), {QStringLiteral("-v"), QStringLiteral("error"),
                                                                         QStringLiteral("-i"), movie, QStringLiteral("-f"),
                                                                         QStringLiteral("null"), QStringLiteral("-")},
                                              &code, 120000);
        EXPECT_EQ(code, 0);
        EXPECT_NEAR(probe(movie).duration, kept, 0.1);
    }

    // Opens the review window's File menu and clicks `item` in it.
    void chooseFileMenuItem(const QString &item)
    {
        ASSERT_TRUE(driver->chooseMenuItem(QStringLiteral("File"), item))
            << "could not choose File ▸ " << item.toStdString() << "; windows: " << windowList();
    }

    void recoveryAfterKill()
    {
        // A new recording in a fresh scratch session: one take filed, the next one under way.
        const qsizetype mark = driver->logText().size();
        driver->keyTo(kReviewWindow, QStringLiteral("ctrl+n"));
        expectState(QStringLiteral("starting → recording"), mark);
        QThread::msleep(1500);
        driver->key(QStringLiteral("super+shift+Return"));
        expectState(QStringLiteral("recording → reviewing"), mark);
        const QString session = driver->scratchFolder();
        ASSERT_EQ(waitForTakes(session, 1).size(), 1);
        const qsizetype secondTake = driver->logText().size();
        driver->key(QStringLiteral("super+shift+Return")); // approves the first, starts the second
        expectState(QStringLiteral("starting → recording"), secondTake);
        QThread::msleep(1500);
        driver->killHard();
        ASSERT_FALSE(driver->running());
        ASSERT_TRUE(driver->launch());
        ASSERT_TRUE(driver->waitForLog(QStringLiteral("[app] init — ready (recoverable=1)"), 15s, mark))
            << "the killed session is not offered for recovery";
        EXPECT_EQ(takesOf(driver->manifest(session)).size(), 1);
        // The saved document reopens, so neither the start screen nor the tray lists the killed
        // session: an alert says where it waits.
        answerAlert(QStringLiteral("recovered-at-launch"), QStringLiteral("Return"), 10s);

        // Resumed, the session gets back the take the kill cut off, finished from its journal. The
        // saved document reopened at launch stays open: the File menu offers the killed session.
        const qsizetype resumed = driver->logText().size();
        chooseFileMenuItem(QStringLiteral("Recover Recording"));
        const AccessibilityTree *tree = driver->accessibility();
        ASSERT_TRUE(tree) << "no accessibility tree";
        const auto resume = tree->waitFor(QStringLiteral("menu item"), QStringLiteral("Resume (1 scene)"), 5s);
        ASSERT_TRUE(resume) << "no Resume item for the killed session";
        driver->click(resume->extents.center());
        ASSERT_TRUE(driver->waitForLog(QStringLiteral("finished from its journal"), 15s, resumed))
            << "the killed take was not recovered";
        // Answered while the menu it was chosen from has been rebuilt without that entry; then the
        // resumed recording stands in a review window of its own.
        answerAlert(QStringLiteral("take-recovered"), QStringLiteral("Return"), 10s);
        ASSERT_TRUE(AppDriver::waitUntil([&] { return driver->findWindow(kReviewWindow).has_value(); }, 5s))
            << "no review window after resuming; windows: " << windowList();
        ASSERT_TRUE(driver->running()) << "the program ended after the recovery alert";
        const QList<QJsonObject> takes = waitForTakes(session, 2);
        ASSERT_EQ(takes.size(), 2);
        const QString movie = session + QStringLiteral("/takes/") + takes[1].value(QStringLiteral("filename")).toString();
        const double duration = takes[1].value(QStringLiteral("duration")).toDouble();
        // Killed 1.5 s in: back to within a second of the kill.
        EXPECT_GT(duration, 0.5);
        QProcess decode;
        decode.start(QStringLiteral("ffmpeg"), {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-xerror"),
                                                QStringLiteral("-i"), movie, QStringLiteral("-f"), QStringLiteral("null"),
                                                QStringLiteral("-")});
        ASSERT_TRUE(decode.waitForFinished(30000));
        EXPECT_EQ(decode.exitCode(), 0) << decode.readAllStandardError().toStdString();
    }

    std::unique_ptr<AppDriver> driver;
    QString package; // the saved document, from step 5 on
};

TEST_F(Road, WholeRoad)
{
    step(QStringLiteral("1-launch"), [&] { launchShowsOnlyTheTrayAndReviewWindow(); });
    step(QStringLiteral("2-first-take"), [&] { firstTakeWithPause(); });
    step(QStringLiteral("3-retake-and-next-scene"), [&] { retakeAndNextScene(); });
    step(QStringLiteral("4-trim-and-tail"), [&] { trimAndTail(); });
    step(QStringLiteral("5-save-quit-reopen"), [&] { saveQuitReopen(); });
    step(QStringLiteral("6-exports"), [&] { exports(); });
    step(QStringLiteral("7-recovery-after-kill"), [&] { recoveryAfterKill(); });
}

} // namespace
