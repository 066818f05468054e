// Two Lumacasts of one user sharing one home folder, as a local and a remote desktop have them:
// one on the rig's display, one on an X server of the test's own. What the first has open (a
// package, then a New Recording under way) the second neither opens, offers for recovery nor
// cleans up, nor replaces by a Save As: the claim is a lock on a file in the recording, seen from
// any display.
#include "model/SessionManifest.h"
#include "support/AppDriver.h"
#include "support/OwnDisplay.h"
#include "support/SessionRecords.h"
#include "support/TestEnvironment.h"
#include "support/TestMovie.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QTimeZone>
#include <QFile>
#include <QJsonArray>
#include <QThread>

#include <chrono>

using namespace std::chrono_literals;

namespace lumacast::testing {
namespace {

TEST(TwoDisplays, WhatTheOtherProgramHasOpenIsLeftAlone)
{
    AppDriver::ensureApplication();
    if (const QString missing = AppDriver::missingTools({"xdotool", "openbox", "trayer", "ffmpeg", "Xvfb", "dbus-daemon"});
        !missing.isEmpty())
        GTEST_SKIP() << "needs " << missing.toStdString();
    OwnDisplay display;
    if (display.name().isEmpty())
        GTEST_SKIP() << "Xvfb could not start a display of its own";
    const QString output = QStringLiteral(LUMACAST_BINARY_DIR "/tests/e2e/two-displays-output");
    AppDriver first(output + QStringLiteral("/first")), second(output + QStringLiteral("/second"));
    second.shareHome(first.home());
    // A package of one two-second take.
    const auto makePackage = [](const QString &package) {
        const QString takes = package + QStringLiteral("/takes");
        ASSERT_TRUE(QDir().mkpath(takes));
        TestMovieSpec spec;
        spec.seconds = 2;
        ASSERT_TRUE(makeTestMovie(takes + QStringLiteral("/take.mov"), spec).ok());
        // Its length as the open's check reads it: no alert about it.
        const double seconds = runProcess(QStringLiteral("ffprobe"), {"-v", "error", "-show_entries", "format=duration",
                                                                      "-of", "csv=p=0", takes + QStringLiteral("/take.mov")})
                                   .out.trimmed()
                                   .toDouble();
        ASSERT_GT(seconds, 0);
        Session session;
        session.createdAt = QDateTime::fromSecsSinceEpoch(1'700'000'000, QTimeZone::utc());
        session.scenes << makeCheckedScene({makeTrimmedTake("take.mov", seconds, 0, seconds)}, 0);
        QFile manifest(package + QStringLiteral("/manifest.json"));
        ASSERT_TRUE(manifest.open(QIODevice::WriteOnly) && manifest.write(SessionManifest(session).toJson()) > 0);
    };
    const auto body = [&] {
        const QString package = first.home() + QStringLiteral("/Talk.lumacast"), takes = package + QStringLiteral("/takes");
        makePackage(package);
        if (::testing::Test::HasFatalFailure())
            return;

        ASSERT_TRUE(first.startRig());
        ASSERT_TRUE(first.launch({package}));
        ASSERT_TRUE(first.waitForLog(QStringLiteral("[app] openSession — opening review window"), 30s));
        // Its lock, seen by whoever may read the package (another user too).
        EXPECT_TRUE(QFileInfo(package + QStringLiteral("/.lumacast-lock")).permissions().testFlag(QFile::ReadOther));
        // Lumacast's own leftover, which an open of the package would remove.
        ASSERT_TRUE(QFile::copy(takes + QStringLiteral("/take.mov"), takes + QStringLiteral("/LEFT.mov")));
        QFile ledger(package + QStringLiteral("/.lumacast-ledger"));
        ASSERT_TRUE(ledger.open(QIODevice::Append) && ledger.write("LEFT.mov\n") > 0);
        ledger.close();
        {
            const DisplayInUse onIt(display.name());
            const qsizetype from = first.logText().size();
            ASSERT_TRUE(second.startRig());
            ASSERT_TRUE(second.launch({package}));
            EXPECT_TRUE(second.waitForLog(QStringLiteral("[app] openSession — Talk.lumacast is open in another Lumacast"),
                                          30s, from));
            EXPECT_TRUE(second.waitForAlert(10s)) << "nothing said on the second display";
            second.killHard();
        }
        EXPECT_TRUE(QFile::exists(takes + QStringLiteral("/LEFT.mov"))) << "the second program cleaned up the first's";
        EXPECT_TRUE(first.running());

        // The second saves another recording as the package the first has open, answering
        // "replace?" with Yes: refused, and both recordings stay whole.
        const QString mine = first.home() + QStringLiteral("/Mine.lumacast");
        makePackage(mine);
        if (::testing::Test::HasFatalFailure())
            return;
        const QByteArray talkId = first.manifest(package).value("sessionID").toString().toUtf8();
        ASSERT_FALSE(talkId.isEmpty());
        {
            const DisplayInUse onIt(display.name());
            const qsizetype from = first.logText().size();
            ASSERT_TRUE(second.launch({mine}));
            ASSERT_TRUE(second.waitForLog(QStringLiteral("[app] openSession — opening review window"), 30s, from));
            const QList<qulonglong> before = second.appWindows();
            second.keyTo(QStringLiteral("^(Review Take|Mine.*)$"), QStringLiteral("ctrl+shift+s"));
            const auto panel = second.waitForNewWindow(before, 10s);
            ASSERT_TRUE(panel) << "no save panel";
            QThread::msleep(500);
            AppDriver::run("xdotool", {"windowfocus", "--sync", QString::number(*panel)});
            second.key(QStringLiteral("ctrl+a"));
            second.type(package);
            QThread::msleep(200);
            const QList<qulonglong> withPanel = second.appWindows();
            second.key(QStringLiteral("Return"));
            ASSERT_TRUE(second.waitForNewWindow(withPanel, 10s)) << "no question whether to replace";
            second.key(QStringLiteral("alt+y"));
            EXPECT_TRUE(AppDriver::waitUntil([&] { return !second.appWindows().contains(*panel); }, 10s));
            EXPECT_TRUE(second.waitForAlert(20s)) << "the refused save said nothing";
            second.killHard();
        }
        QFile mineHistory(mine + QStringLiteral("/history.log"));
        EXPECT_TRUE(mineHistory.open(QIODevice::ReadOnly) && mineHistory.readAll().contains("save as — Talk.lumacast"))
            << "the save never began";
        EXPECT_EQ(first.manifest(package).value("sessionID").toString().toUtf8(), talkId) << "the package was replaced";
        EXPECT_EQ(QDir(takes).entryList(QDir::Files), QStringList({"LEFT.mov", "take.mov"}));
        EXPECT_EQ(QDir(mine + QStringLiteral("/takes")).entryList(QDir::Files), QStringList{"take.mov"});
        EXPECT_EQ(QDir(first.home()).entryList({".Talk.lumacast*"}, QDir::AllEntries | QDir::Hidden), QStringList());
        EXPECT_TRUE(first.running());

        // A New Recording under way in the first: its scratch folder holds a manifest.
        first.keyTo(QStringLiteral("^(Review Take|Talk.*)$"), QStringLiteral("ctrl+n"));
        ASSERT_TRUE(AppDriver::waitUntil([&] { return !first.manifest(first.scratchFolder()).isEmpty(); }, 20s))
            << "the new recording wrote no manifest";
        const QString scratch = first.scratchFolder();
        {
            const DisplayInUse onIt(display.name());
            const qsizetype from = first.logText().size();
            ASSERT_TRUE(second.launch());
            EXPECT_TRUE(second.waitForLog(QStringLiteral("[app] init — ready (recoverable=0)"), 30s, from))
                << "the first program's recording was offered for recovery";
            EXPECT_TRUE(second.quit());
        }
        EXPECT_FALSE(first.manifest(scratch).isEmpty()) << "the first program's recording was removed";
        EXPECT_TRUE(first.running());

        // Replaced under a running program: the second has its own package open, and something
        // else (a file manager's replace) puts another recording under its name, with a movie of
        // Lumacast's that its manifest does not name. The second notices when it saves, says
        // so, and neither writes nor deletes anything there.
        const QString other = first.home() + QStringLiteral("/Other.lumacast");
        makePackage(other);
        {
            const DisplayInUse onIt(display.name());
            const qsizetype from = second.logText().size();
            ASSERT_TRUE(second.launch({other}));
            ASSERT_TRUE(second.waitForLog(QStringLiteral("[app] openSession — opening review window"), 30s, from));
            ASSERT_TRUE(QDir(other).removeRecursively());
            makePackage(other);
            ASSERT_TRUE(QFile::copy(other + QStringLiteral("/takes/take.mov"), other + QStringLiteral("/takes/LEFT.mov")));
            QFile otherLedger(other + QStringLiteral("/.lumacast-ledger"));
            ASSERT_TRUE(otherLedger.open(QIODevice::WriteOnly) && otherLedger.write("LEFT.mov\n") > 0);
            otherLedger.close();
            const QStringList items = QDir(other).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                + QDir(other + QStringLiteral("/takes")).entryList(QDir::Files | QDir::Hidden);
            const QJsonObject replacement = first.manifest(other);
            second.keyTo(QStringLiteral("^Review Take$"), QStringLiteral("ctrl+s"));
            EXPECT_TRUE(second.waitForLog(QStringLiteral("[app] the recording's folder is gone"), 20s, from))
                << "the second program did not notice";
            EXPECT_TRUE(second.waitForAlert(10s)) << "nothing said on the second display";
            // Its Quit asks (Save As is no way out for a recording no longer on the disk).
            second.terminate();
            EXPECT_TRUE(second.waitForLog(QStringLiteral("[app] quit — the recording could not be saved, asking"), 20s, from));
            second.killHard();
            EXPECT_EQ(QDir(other).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                          + QDir(other + QStringLiteral("/takes")).entryList(QDir::Files | QDir::Hidden),
                      items)
                << "the second program wrote or deleted in the recording that replaced its own";
            EXPECT_EQ(first.manifest(other), replacement) << "the second program wrote its manifest there";
        }
        EXPECT_TRUE(first.quit());
    };
    body();
    if (::testing::Test::HasFailure()) {
        first.keepEvidence(QStringLiteral("failed"));
        const DisplayInUse onIt(display.name());
        second.keepEvidence(QStringLiteral("failed"));
    }
}

} // namespace
} // namespace lumacast::testing
