#include "store/Preferences.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QUuid>

#include "support/FullDisk.h"

#include <gtest/gtest.h>

#include <future>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <limits>

using namespace lumacast;

namespace {

class PreferencesTest : public ::testing::Test {
protected:
    QTemporaryDir dir;

    QString path(const QString &name = QStringLiteral("Lumacast.json")) const
    {
        return dir.filePath(name);
    }

    void writeFile(const QByteArray &bytes, const QString &name = QStringLiteral("Lumacast.json"))
    {
        QFile file(path(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }

    QJsonObject readFile(const QString &name = QStringLiteral("Lumacast.json")) const
    {
        QFile file(path(name));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(file.readAll()).object();
    }
};

QByteArray dataOf(const QJsonValue &value)
{
    return QByteArray::fromBase64(value.toObject().value("$data").toString().toLatin1());
}

} // namespace

TEST_F(PreferencesTest, NothingStoredGivesEveryDefault)
{
    Preferences prefs(path());
    EXPECT_DOUBLE_EQ(prefs.systemAudioMixLevel(), 0.3);
    EXPECT_TRUE(prefs.reopenLastDocument());
    EXPECT_TRUE(prefs.autoCheckForUpdates());
    EXPECT_TRUE(prefs.hideCursorWhenIdle());
    EXPECT_DOUBLE_EQ(prefs.cursorHideDelay(), 2.0);
    EXPECT_FALSE(prefs.webcamBlobPlacement());
    EXPECT_FALSE(prefs.lastExportDirectory());
    EXPECT_FALSE(prefs.lastOpenedDocument());
    EXPECT_TRUE(prefs.customShortcuts().empty());
    EXPECT_FALSE(prefs.lastViewedTake(QUuid::createUuid()));
    const ShortcutBindings effective = prefs.effectiveShortcutBindings();
    ASSERT_EQ(effective.size(), 6u);
    for (ShortcutAction action : shortcut_action::allCases)
        EXPECT_EQ(effective.at(action), defaultBinding(action));
    EXPECT_FALSE(prefs.defaults().contains(preference_key::captureSystemAudio));
    EXPECT_FALSE(prefs.defaults().contains(preference_key::webcamBlobShape));
    EXPECT_FALSE(QFile::exists(path())); // reading never creates the file
}

TEST_F(PreferencesTest, NumbersAreClampedOrTakenAsStoredAndWrongTypesFallBack)
{
    writeFile(R"({"cursorHideDelay": 0.1, "systemAudioMixLevel": 1.5,
                  "reopenLastDocument": "no", "autoCheckForUpdates": false,
                  "hideCursorWhenIdle": 0})");
    Preferences prefs(path());
    EXPECT_DOUBLE_EQ(prefs.cursorHideDelay(), 0.5);
    EXPECT_DOUBLE_EQ(prefs.systemAudioMixLevel(), 1.5); // above full amplifies
    EXPECT_TRUE(prefs.reopenLastDocument()); // text is not a Bool
    EXPECT_FALSE(prefs.autoCheckForUpdates());
    EXPECT_TRUE(prefs.hideCursorWhenIdle()); // a number is not a Bool either

    QSettings &defaults = prefs.defaults();
    defaults.setValue(preference_key::cursorHideDelay, 60);
    EXPECT_DOUBLE_EQ(prefs.cursorHideDelay(), 10.0);
    defaults.setValue(preference_key::cursorHideDelay, 3.7);
    EXPECT_DOUBLE_EQ(prefs.cursorHideDelay(), 3.7);
    defaults.setValue(preference_key::cursorHideDelay, "3.7");
    EXPECT_DOUBLE_EQ(prefs.cursorHideDelay(), 2.0);
    defaults.setValue(preference_key::cursorHideDelay, true);
    EXPECT_DOUBLE_EQ(prefs.cursorHideDelay(), 2.0);
    defaults.setValue(preference_key::systemAudioMixLevel, std::numeric_limits<double>::quiet_NaN());
    EXPECT_DOUBLE_EQ(prefs.systemAudioMixLevel(), 0.3);

    // Every number is held to its range however far out the file puts it.
    const QByteArray placement = R"({"xFraction": 1e300, "yFraction": -7, "widthFraction": 40})";
    writeFile(R"({"systemAudioMixLevel": 1e30, "webcamBlobPlacement": {"$data": ")" + placement.toBase64() + "\"}}",
              QStringLiteral("Out of range.json"));
    Preferences far(path(QStringLiteral("Out of range.json")));
    EXPECT_DOUBLE_EQ(far.systemAudioMixLevel(), 16.0);
    const auto read = far.webcamBlobPlacement();
    EXPECT_TRUE(read && read->xFraction == 1 && read->yFraction == 0 && read->widthFraction == 1);
}

TEST_F(PreferencesTest, StoredValuesKeepTheirTypesThroughTheFile)
{
    const QByteArray blob("\x00\x01{\"$data\":1}\xff", 14);
    QVariantMap nested{{"$data", "not data"}, {"$$odd", 1}, {"plain", QVariantList{true, 2.5, "x"}}};
    {
        Preferences prefs(path());
        QSettings &d = prefs.defaults();
        d.setValue("aBool", true);
        d.setValue("anInt", 4294967295u);
        d.setValue("aDouble", 0.25);
        d.setValue("aString", "true");
        d.setValue("someData", blob);
        d.setValue("aMap", nested);
        d.sync();
        ASSERT_EQ(d.status(), QSettings::NoError);
    }
    const QJsonObject raw = readFile();
    EXPECT_TRUE(raw.value("aBool").isBool());
    EXPECT_EQ(raw.value("anInt").toInteger(), 4294967295LL);
    EXPECT_TRUE(raw.value("aString").isString());
    EXPECT_EQ(dataOf(raw.value("someData")), blob);
    EXPECT_TRUE(raw.value("aMap").toObject().contains("$$data"));

    // A second file with the same text, read fresh from disk.
    ASSERT_TRUE(QFile::copy(path(), path("copy.json")));
    Preferences copy(path("copy.json"));
    QSettings &d = copy.defaults();
    EXPECT_EQ(d.value("aBool").typeId(), QMetaType::Bool);
    EXPECT_EQ(d.value("anInt").toLongLong(), 4294967295LL);
    EXPECT_EQ(d.value("aDouble").toDouble(), 0.25);
    EXPECT_EQ(d.value("aString").typeId(), QMetaType::QString);
    EXPECT_EQ(d.value("someData").typeId(), QMetaType::QByteArray);
    EXPECT_EQ(d.value("someData").toByteArray(), blob);
    const QVariantMap map = d.value("aMap").toMap();
    EXPECT_EQ(map.value("$data").typeId(), QMetaType::QString);
    EXPECT_EQ(map.value("$$odd").toInt(), 1);
    EXPECT_EQ(map.value("plain").toList().value(0).typeId(), QMetaType::Bool);
}

TEST_F(PreferencesTest, UnreadableFilesGiveDefaultsAndAreKeptAside)
{
    const QByteArray truncated = R"({"cursorHideDelay": 3.5, "reopenLastDocument": fal)";
    writeFile(truncated);
    Preferences prefs(path());
    EXPECT_DOUBLE_EQ(prefs.cursorHideDelay(), 2.0);
    EXPECT_TRUE(prefs.reopenLastDocument());
    QFile aside(path("Lumacast.json.unreadable"));
    ASSERT_TRUE(aside.open(QIODevice::ReadOnly));
    EXPECT_EQ(aside.readAll(), truncated);

    prefs.setLastOpenedDocument(QStringLiteral("/tmp/a.lumacast"));
    EXPECT_EQ(readFile().value("lastOpenedDocument").toString(), "/tmp/a.lumacast");

    for (const QByteArray &bad : {QByteArray("[1,2,3]"), QByteArray("\"text\""),
                                  QByteArray("\xff\xfe garbage"), QByteArray("{\"a\": 1}}")}) {
        const QString name = QUuid::createUuid().toString(QUuid::WithoutBraces) + ".json";
        writeFile(bad, name);
        Preferences other(path(name));
        EXPECT_EQ(other.defaults().allKeys(), QStringList()) << bad.constData();
        EXPECT_TRUE(other.autoCheckForUpdates());
    }
    // Bad data inside a readable file spoils only that value.
    writeFile(R"({"someData": {"$data": "***"}, "cursorHideDelay": 4})", "partly.json");
    Preferences partly(path("partly.json"));
    EXPECT_FALSE(partly.defaults().contains("someData"));
    EXPECT_DOUBLE_EQ(partly.cursorHideDelay(), 4.0);
}

// A slip in a hand edit made while the program runs: the next setting written keeps every key the
// program had read, and the damaged file is kept aside before it is replaced.
TEST_F(PreferencesTest, AFileDamagedWhileRunningIsKeptAsideAndLosesNoKey)
{
    for (const QByteArray &bytes : {QByteArray(R"({"cursorHideDelay": 4.5,})"), QByteArray(R"({"cur)"),
                                    QByteArray("[1]"), QByteArray("\xff\xfe")}) {
        const QString name = QUuid::createUuid().toString(QUuid::WithoutBraces) + ".json";
        Preferences prefs(path(name));
        prefs.setCustomShortcuts({{"retake", ShortcutBinding{0x60, 0x1200, "\uF708", 6}}});
        prefs.setLastOpenedDocument(QStringLiteral("/tmp/a.lumacast"));
        writeFile(bytes, name);
        prefs.defaults().setValue(preference_key::captureSystemAudio, true); // the tray's switch
        prefs.defaults().sync();
        QFile aside(path(name + ".unreadable"));
        EXPECT_TRUE(aside.open(QIODevice::ReadOnly) && aside.readAll() == bytes) << bytes.constData();
        Preferences relaunched(path(name));
        EXPECT_EQ(relaunched.customShortcuts().size(), 1u) << bytes.constData();
        EXPECT_EQ(relaunched.lastOpenedDocument(), QStringLiteral("/tmp/a.lumacast"));
        EXPECT_TRUE(relaunched.defaults().value(preference_key::captureSystemAudio).toBool());
    }
}

// Dotfiles managers keep the settings as a link, made before the file or after it: it is read and
// written through, and stays a link.
TEST_F(PreferencesTest, TheUsersLinkIsFollowedAndStaysALink)
{
    for (const bool fileFirst : {true, false}) {
        const QString target = QStringLiteral("dotfiles-%1.json").arg(fileFirst);
        const QString link = path(QStringLiteral("link-%1.json").arg(fileFirst));
        if (fileFirst)
            writeFile(R"({"cursorHideDelay": 4})", target);
        ASSERT_TRUE(QFile::link(path(target), link));
        Preferences prefs(link);
        EXPECT_DOUBLE_EQ(prefs.cursorHideDelay(), fileFirst ? 4.0 : 2.0);
        prefs.setLastOpenedDocument(QStringLiteral("/tmp/a.lumacast"));
        EXPECT_EQ(QFileInfo(link).symLinkTarget(), path(target));
        EXPECT_EQ(readFile(target).value("lastOpenedDocument"), QStringLiteral("/tmp/a.lumacast"));
        EXPECT_FALSE(QFileInfo::exists(link + ".unreadable"));
    }
}

// A FIFO would block the launch before any window, a huge file would be read whole: both are
// moved aside unread and the run starts from the defaults.
TEST_F(PreferencesTest, SettingsFilesThatAreNotSmallFilesAreMovedAsideUnread)
{
    struct Case {
        const char *name;
        std::function<void(const QString &)> make;
    };
    const Case cases[] = {
        {"fifo", [](const QString &p) { ::mkfifo(QFile::encodeName(p).constData(), 0600); }},
        {"huge",
         [](const QString &p) {
             QFile file(p);
             file.open(QIODevice::WriteOnly);
             file.write("{\"cursorHideDelay\": 4, \"pad\": \"");
             file.resize(Preferences::kLargestFile + 1024);
         }},
        {"folder", [](const QString &p) { QDir().mkpath(p); }},
        // The user's link is followed, but its target must be a small file as well.
        {"link to a fifo",
         [](const QString &p) {
             ::mkfifo(QFile::encodeName(p + ".fifo").constData(), 0600);
             QFile::link(p + ".fifo", p);
         }},
    };
    for (const Case &c : cases) {
        const QString file = path(QString::fromLatin1(c.name) + ".json");
        c.make(file);
        auto opening = std::async(std::launch::async, [file] {
            Preferences prefs(file);
            return prefs.cursorHideDelay();
        });
        if (opening.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << c.name << ": opening the settings blocked";
            // Let the blocked open go so the test can end.
            ::close(::open(QFile::encodeName(file).constData(), O_WRONLY | O_NONBLOCK));
        }
        EXPECT_DOUBLE_EQ(opening.get(), 2.0) << c.name;
        EXPECT_TRUE(QFileInfo::exists(file + ".unreadable")) << c.name;
    }
}

// Buffered, QSettings' save file reports a full disk nowhere and leaves an empty file.
TEST(PreferencesOnAFullDisk, AFailedWriteKeepsTheOldFile)
{
    lumacast::testing::FullDisk disk;
    if (!disk.ready())
        GTEST_SKIP() << qPrintable(disk.reason());
    const QString file = disk.path() + "/Lumacast.json";
    {
        Preferences prefs(file);
        prefs.setLastOpenedDocument(QStringLiteral("/tmp/old.lumacast"));
        // Room for QSettings' lock file, none for the new settings.
        disk.fill(4096);
        prefs.setLastOpenedDocument(QStringLiteral("/tmp/new.lumacast"));
    }
    QFile stored(file);
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
    EXPECT_EQ(QJsonDocument::fromJson(stored.readAll()).object().value("lastOpenedDocument"),
              QStringLiteral("/tmp/old.lumacast"));
}

TEST_F(PreferencesTest, CustomShortcutsMergeOverDefaults)
{
    Preferences prefs(path());
    const ShortcutBinding custom{0x7A, 0x1000, "x", event_modifier::control};
    prefs.setCustomShortcuts({{"retake", custom}, {"noSuchAction", custom}});

    const QByteArray stored = dataOf(readFile().value("customShortcuts"));
    EXPECT_TRUE(stored.contains(R"("retake":{"carbonKeyCode":122,"carbonModifiers":4096,"keyEquivalent":"x","eventModifiers":4})"))
        << stored.constData();

    const ShortcutBindings effective = prefs.effectiveShortcutBindings();
    for (ShortcutAction action : shortcut_action::allCases) {
        EXPECT_EQ(effective.at(action),
                  action == ShortcutAction::retake ? custom : defaultBinding(action));
    }
    EXPECT_EQ(prefs.customShortcuts().size(), 2u);

    // One binding that lacks a field makes the whole stored map unreadable.
    prefs.defaults().setValue(preference_key::customShortcuts,
        QByteArray(R"({"retake":{"carbonKeyCode":1,"carbonModifiers":256,"keyEquivalent":"s","eventModifiers":16},)"
                   R"("endTake":{"carbonKeyCode":1,"carbonModifiers":256,"keyEquivalent":"s"}})"));
    EXPECT_TRUE(prefs.customShortcuts().empty());
    EXPECT_EQ(prefs.effectiveShortcutBindings().at(ShortcutAction::retake),
              defaultBinding(ShortcutAction::retake));

    // Only data holds the map; the same JSON as text is malformed.
    prefs.defaults().setValue(preference_key::customShortcuts, QString::fromLatin1(stored));
    EXPECT_TRUE(prefs.customShortcuts().empty());
    prefs.defaults().setValue(preference_key::customShortcuts, QByteArray("[]"));
    EXPECT_TRUE(prefs.customShortcuts().empty());

    prefs.setCustomShortcuts({});
    EXPECT_TRUE(prefs.customShortcuts().empty());
    EXPECT_EQ(dataOf(readFile().value("customShortcuts")), QByteArray("{}"));
}

TEST_F(PreferencesTest, LastViewedTakesArePerScene)
{
    Preferences prefs(path());
    const QUuid sceneA = QUuid::createUuid(), sceneB = QUuid::createUuid();
    const QUuid takeA = QUuid::createUuid(), takeB = QUuid::createUuid();
    prefs.setLastViewedTake(takeA, sceneA);
    prefs.setLastViewedTake(takeB, sceneB);
    EXPECT_EQ(prefs.lastViewedTake(sceneA), takeA);
    EXPECT_EQ(prefs.lastViewedTake(sceneB), takeB);

    prefs.setLastViewedTake(std::nullopt, sceneA);
    EXPECT_FALSE(prefs.lastViewedTake(sceneA));
    EXPECT_EQ(prefs.lastViewedTake(sceneB), takeB);
    const QJsonObject stored = readFile().value("lastViewedTakes").toObject();
    EXPECT_EQ(stored.keys(), QStringList{sceneB.toString(QUuid::WithoutBraces).toUpper()});

    // Entries that are not UUID text read as nothing; entries that are not text are dropped on
    // the next write and leave the others alone.
    const QString keyA = sceneA.toString(QUuid::WithoutBraces).toUpper();
    QVariantMap raw = prefs.defaults().value(preference_key::lastViewedTakes).toMap();
    raw.insert(keyA, "not a uuid");
    raw.insert("junk", 12);
    prefs.defaults().setValue(preference_key::lastViewedTakes, raw);
    EXPECT_FALSE(prefs.lastViewedTake(sceneA));
    prefs.setLastViewedTake(takeA, QUuid::createUuid());
    const QVariantMap after = prefs.defaults().value(preference_key::lastViewedTakes).toMap();
    EXPECT_FALSE(after.contains("junk"));
    EXPECT_EQ(after.size(), 3);
    EXPECT_EQ(prefs.lastViewedTake(sceneB), takeB);

    prefs.defaults().setValue(preference_key::lastViewedTakes, "not a dictionary");
    EXPECT_FALSE(prefs.lastViewedTake(sceneB));
    prefs.setLastViewedTake(takeB, sceneB);
    EXPECT_EQ(prefs.lastViewedTake(sceneB), takeB);
}

TEST_F(PreferencesTest, WebcamPlacementAndLocations)
{
    Preferences prefs(path());
    const WebcamBlobPlacement placement{0.25, 0.1, 1.0 / 3.0};
    prefs.setWebcamBlobPlacement(placement);
    EXPECT_EQ(prefs.webcamBlobPlacement(), placement);
    const QJsonObject json =
        QJsonDocument::fromJson(dataOf(readFile().value("webcamBlobPlacement"))).object();
    EXPECT_EQ(json.value("widthFraction").toDouble(), 1.0 / 3.0);

    prefs.setWebcamBlobPlacement(WebcamBlobPlacement{std::nan(""), 0, 0});
    EXPECT_FALSE(prefs.defaults().contains(preference_key::webcamBlobPlacement));
    prefs.setWebcamBlobPlacement(placement);
    prefs.setWebcamBlobPlacement(std::nullopt);
    EXPECT_FALSE(prefs.defaults().contains(preference_key::webcamBlobPlacement));

    EXPECT_FALSE(WebcamBlobPlacement::fromJson(R"({"xFraction":0.1,"yFraction":0.2})"));
    EXPECT_FALSE(WebcamBlobPlacement::fromJson(R"({"xFraction":0.1,"yFraction":"0.2","widthFraction":1})"));
    EXPECT_EQ(WebcamBlobPlacement::fromJson(R"({"xFraction":0.1,"yFraction":0.2,"widthFraction":1,"z":0})"),
              (WebcamBlobPlacement{0.1, 0.2, 1}));
    prefs.defaults().setValue(preference_key::webcamBlobPlacement, QVariantMap{{"xFraction", 0.1}});
    EXPECT_FALSE(prefs.webcamBlobPlacement());

    prefs.setLastExportDirectory(QStringLiteral("/home/u/Movies"));
    prefs.setLastOpenedDocument(QStringLiteral("/home/u/Talk.lumacast"));
    EXPECT_EQ(prefs.lastExportDirectory(), QStringLiteral("/home/u/Movies"));
    EXPECT_EQ(prefs.lastOpenedDocument(), QStringLiteral("/home/u/Talk.lumacast"));
    prefs.setLastExportDirectory(std::nullopt);
    EXPECT_FALSE(prefs.lastExportDirectory());
    EXPECT_FALSE(readFile().contains("lastExportDirectory"));
    EXPECT_TRUE(readFile().contains("lastOpenedDocument"));
}

TEST(PreferencesShared, LivesInTheUsersConfigurationFolder)
{
    // The test main points XDG_CONFIG_HOME at a temporary home.
    EXPECT_EQ(Preferences::shared().filePath(),
              qEnvironmentVariable("XDG_CONFIG_HOME") + "/Lumacast/Lumacast.json");
    EXPECT_EQ(&Preferences::shared(), &Preferences::shared());
}

// The desktop's screen-sharing permission, one token per kind of choice, read back by a later
// launch; a cleared or malformed one reads as none, and the other kind is left alone.
TEST_F(PreferencesTest, ScreenCastRestoreTokensSurviveARelaunchPerKind)
{
    {
        Preferences prefs(path());
        prefs.setScreenCastRestoreToken(QStringLiteral("monitor"), QStringLiteral("m-1"));
        prefs.setScreenCastRestoreToken(QStringLiteral("window"), QStringLiteral("w-1"));
        prefs.setScreenCastRestoreToken(QStringLiteral("monitor"), QStringLiteral("m-2"));
    }
    Preferences relaunched(path());
    EXPECT_EQ(relaunched.screenCastRestoreToken(QStringLiteral("monitor")), QStringLiteral("m-2"));
    EXPECT_EQ(relaunched.screenCastRestoreToken(QStringLiteral("window")), QStringLiteral("w-1"));
    relaunched.setScreenCastRestoreToken(QStringLiteral("window"), std::nullopt);
    EXPECT_FALSE(Preferences(path()).screenCastRestoreToken(QStringLiteral("window")));
    EXPECT_EQ(Preferences(path()).screenCastRestoreToken(QStringLiteral("monitor")), QStringLiteral("m-2"));

    writeFile(R"({"screenCastRestoreTokens": {"monitor": 42, "window": ""}})");
    Preferences malformed(path());
    EXPECT_FALSE(malformed.screenCastRestoreToken(QStringLiteral("monitor")));
    EXPECT_FALSE(malformed.screenCastRestoreToken(QStringLiteral("window")));
}
