#include "ModelTestData.h"
#include "support/TestEnvironment.h"

#include "model/JsonCoding.h"
#include "model/NumberFormat.h"
#include "model/Session.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace lumacast;
using namespace lumacast::testing;

TEST(NumberFormat, ShortestRoundTripWithWholeValuesMarked)
{
    EXPECT_EQ(formatDouble(2.0), "2.0");
    EXPECT_EQ(formatDouble(0.5), "0.5");
    EXPECT_EQ(formatDouble(1000000.0), "1000000.0");
    EXPECT_EQ(formatDouble(-1.25), "-1.25");
    EXPECT_EQ(formatDouble(0.0), "0.0");
    EXPECT_EQ(formatDouble(0.1), "0.1");
    EXPECT_EQ(formatDouble(1e16), "1e+16");
    EXPECT_EQ(formatDouble(1e-5), "1e-05");
    for (double value : {1.0 / 3.0, 12.000000000000002, 5e-324, 1.7976931348623157e308, -0.0001}) {
        bool ok = false;
        EXPECT_EQ(formatDouble(value).toDouble(&ok), value) << formatDouble(value).toStdString();
        EXPECT_TRUE(ok);
    }
}

TEST(Take, UsableFileNeedsMoreThan1024Bytes)
{
    TemporaryHome home;
    const QString small = home.path() + "/small.mov";
    const QString large = home.path() + "/large.mov";
    ASSERT_TRUE(writeFileOfSize(small, 1024));
    ASSERT_TRUE(writeFileOfSize(large, 1025));
    EXPECT_FALSE(Take::isUsableFile(small));
    EXPECT_TRUE(Take::isUsableFile(large));
    EXPECT_FALSE(Take::isUsableFile(home.path() + "/missing.mov"));
    EXPECT_FALSE(Take::isUsableFile(QString()));
    // A folder is no movie, whatever size the file system gives it.
    EXPECT_FALSE(Take::isUsableFile(home.path()));
    // A NUL would otherwise cut the path down to "large.mov" at the system call.
    EXPECT_FALSE(Take::isUsableFile(large + QChar(0) + "x"));
}

TEST(Take, SafeFilenamesStayInsideTheTakesFolder)
{
    EXPECT_TRUE(Take::isSafeFilename("0B5C1C2E-1234-4C39-9E0D-2A3F0B7E9D11.mov"));
    EXPECT_TRUE(Take::isSafeFilename("take one.mov"));
    for (const QString &name :
         {QString(), QString("."), QString(".."), QString("../a.mov"), QString("a/b.mov"),
          QString("a..b.mov"), QString("a") + QChar(0) + ".mov", QString("a\nb.mov"),
          QString("a\x7f.mov"), QString(QChar(0xd800)) + ".mov"})
        EXPECT_FALSE(Take::isSafeFilename(name)) << name.toStdString();
}

TEST(Take, ClampTrimsBringsThemIntoTheTake)
{
    auto clamped = [](double duration, double start, double end) {
        Take take = makeTake("a.mov", duration);
        take.trimStart = start;
        take.trimEnd = end;
        take.clampTrims();
        return std::pair(take.trimStart, take.trimEnd);
    };
    EXPECT_EQ(clamped(10, 2, 8), std::pair(2.0, 8.0));
    EXPECT_EQ(clamped(10, -1, 12), std::pair(0.0, 10.0));
    EXPECT_EQ(clamped(10, 0, -3), std::pair(0.0, 10.0));
    EXPECT_EQ(clamped(10, 15, 10), std::pair(0.0, 10.0));
    EXPECT_EQ(clamped(10, 6, 4), std::pair(0.0, 10.0));
    EXPECT_EQ(clamped(0, 0, 0), std::pair(0.0, 0.0));
    EXPECT_EQ(clamped(10, std::nan(""), 5), std::pair(0.0, 5.0));
}

TEST(Take, EqualityComparesEveryField)
{
    const Take take = makeTake("a.mov");
    Take other = take;
    EXPECT_EQ(take, other);
    other.playheadPosition = 1.5;
    EXPECT_NE(take, other);
    other = take;
    other.name = QString();
    EXPECT_NE(take, other); // an empty name is not the same as none
    other = take;
    other.trimEnd = 9.5;
    EXPECT_NE(take, other);
}

TEST(RecordsJson, TakeAndSceneRoundTripWithRequiredTrims)
{
    Take take = makeTake("a.mov", 4.5);
    take.name = "Intro";
    take.trimStart = 0.25;
    take.playheadPosition = 1.0;
    RecordingScene scene = makeScene({take, makeTake("b.mov")}, "Opening");
    scene.selectedTakeID = take.id;

    const QJsonObject takeObject = take.toJson();
    EXPECT_EQ(takeObject.value("id").toString(), formatUuid(take.id));
    EXPECT_EQ(takeObject.value("recordedAt").toString(), "2024-05-01T10:00:00Z");
    EXPECT_EQ(Take::fromJson(takeObject), take);
    EXPECT_EQ(RecordingScene::fromJson(scene.toJson()), scene);

    // Unlike the manifest's take, the record's own coding needs both trims.
    QJsonObject withoutTrim = takeObject;
    withoutTrim.remove("trimEnd");
    EXPECT_THROW(Take::fromJson(withoutTrim), JsonDecodeError);
    // Optional fields may be null or missing.
    QJsonObject nullName = takeObject;
    nullName.insert("name", QJsonValue::Null);
    nullName.remove("playheadPosition");
    const Take decoded = Take::fromJson(nullName);
    EXPECT_FALSE(decoded.name.has_value());
    EXPECT_FALSE(decoded.playheadPosition.has_value());
}

TEST(RecordingScene, RemoveTakeClearsOnlyItsOwnCheck)
{
    const Take first = makeTake("1.mov"), second = makeTake("2.mov"), third = makeTake("3.mov");
    RecordingScene scene = makeScene({first, second, third});
    scene.selectedTakeID = second.id;

    RecordingScene other = scene;
    other.removeTake(first.id);
    EXPECT_EQ(other.takes, (QList<Take> {second, third}));
    EXPECT_EQ(other.selectedTakeID, second.id);

    scene.removeTake(second.id);
    EXPECT_EQ(scene.takes, (QList<Take> {first, third}));
    EXPECT_FALSE(scene.selectedTakeID.has_value());
}

TEST(RecordingScene, DuplicateCopiesTakesWithFreshIdsAndKeepsTheCheckPosition)
{
    Take first = makeTake("1.mov"), second = makeTake("2.mov", 7);
    second.name = "Best";
    second.trimStart = 1;
    second.trimEnd = 6;
    second.playheadPosition = 3;
    RecordingScene source = makeScene({first, second}, "Demo");
    source.selectedTakeID = second.id;
    const RecordingScene before = source;

    const RecordingScene copy
        = source.duplicateScene(0, {{"2.mov", "2-copy.mov"}, {"x.mov", "y.mov"}});
    EXPECT_EQ(source, before);
    EXPECT_NE(copy.id, source.id);
    EXPECT_EQ(copy.name, "Demo (copy)");
    ASSERT_EQ(copy.takes.size(), 2);
    EXPECT_EQ(copy.takes[0].filename, "1.mov");
    EXPECT_EQ(copy.takes[1].filename, "2-copy.mov");
    for (int i = 0; i < 2; ++i) {
        EXPECT_NE(copy.takes[i].id, source.takes[i].id);
        Take expected = source.takes[i];
        expected.id = copy.takes[i].id;
        expected.filename = copy.takes[i].filename;
        EXPECT_EQ(copy.takes[i], expected);
    }
    EXPECT_EQ(copy.selectedTakeID, copy.takes[1].id);

    // Empty map: every name kept; unnamed scene at index 2 becomes "Scene 3 (copy)".
    RecordingScene unnamed = makeScene({first});
    const RecordingScene unnamedCopy = unnamed.duplicateScene(2, {});
    EXPECT_EQ(unnamedCopy.name, "Scene 3 (copy)");
    EXPECT_EQ(unnamedCopy.takes[0].filename, "1.mov");
    EXPECT_FALSE(unnamedCopy.selectedTakeID.has_value());

    // A second copy appends a second suffix; a check matching no take gives none.
    RecordingScene again = copy;
    again.selectedTakeID = QUuid::createUuid();
    const RecordingScene secondCopy = again.duplicateScene(1, {});
    EXPECT_EQ(secondCopy.name, "Demo (copy) (copy)");
    EXPECT_FALSE(secondCopy.selectedTakeID.has_value());
}

TEST(Session, NewSessionHasOneEmptySceneAndIsClean)
{
    const Session session("/tmp/scratch");
    EXPECT_FALSE(session.id.isNull());
    EXPECT_TRUE(session.createdAt.isValid());
    ASSERT_EQ(session.scenes.size(), 1);
    EXPECT_FALSE(session.scenes[0].id.isNull());
    EXPECT_FALSE(session.scenes[0].name.has_value());
    EXPECT_TRUE(session.scenes[0].takes.isEmpty());
    EXPECT_FALSE(session.scenes[0].selectedTakeID.has_value());
    EXPECT_EQ(session.scratchURL, "/tmp/scratch");
    EXPECT_FALSE(session.hasBundle());
    EXPECT_EQ(session.currentSceneIndex, 0);
    EXPECT_FALSE(session.isDirty);
}

namespace {

Session sessionWithScenes(int count, qsizetype current)
{
    Session session("/tmp/scratch");
    session.scenes.clear();
    for (int i = 0; i < count; ++i)
        session.scenes.append(makeScene({}, QStringLiteral("S%1").arg(i)));
    session.currentSceneIndex = current;
    return session;
}

QStringList sceneNames(const Session &session)
{
    QStringList names;
    for (const RecordingScene &scene : session.scenes)
        names.append(scene.name.value_or("?"));
    return names;
}

} // namespace

TEST(Session, RemoveSceneLeavesALoneSceneAlone)
{
    Session session = sessionWithScenes(1, 0);
    session.removeScene(session.scenes[0].id);
    EXPECT_EQ(session.scenes.size(), 1);
    EXPECT_FALSE(session.isDirty);
}

TEST(Session, RemoveSceneOfUnknownIdOnlyMarksDirty)
{
    Session session = sessionWithScenes(3, 1);
    session.removeScene(QUuid::createUuid());
    EXPECT_EQ(sceneNames(session), (QStringList {"S0", "S1", "S2"}));
    EXPECT_EQ(session.currentSceneIndex, 1);
    EXPECT_TRUE(session.isDirty);

    // An index already out of range is brought back to the last scene.
    Session outOfRange = sessionWithScenes(3, 7);
    outOfRange.removeScene(QUuid::createUuid());
    EXPECT_EQ(outOfRange.currentSceneIndex, 2);
}

TEST(Session, RemoveSceneKeepsTheCurrentScene)
{
    // Removing a scene in front of the current one must not move new takes into the next scene.
    Session before = sessionWithScenes(4, 2);
    before.removeScene(before.scenes[0].id);
    EXPECT_EQ(sceneNames(before), (QStringList {"S1", "S2", "S3"}));
    EXPECT_EQ(before.currentSceneIndex, 1);
    EXPECT_EQ(before.scenes[before.currentSceneIndex].name, "S2");

    Session after = sessionWithScenes(4, 1);
    after.removeScene(after.scenes[3].id);
    EXPECT_EQ(after.currentSceneIndex, 1);

    // Removing the current last scene moves to the new last one.
    Session last = sessionWithScenes(3, 2);
    last.removeScene(last.scenes[2].id);
    EXPECT_EQ(sceneNames(last), (QStringList {"S0", "S1"}));
    EXPECT_EQ(last.currentSceneIndex, 1);

    // Removing the current scene in the middle goes on with the scene that followed it.
    Session middle = sessionWithScenes(3, 1);
    middle.removeScene(middle.scenes[1].id);
    EXPECT_EQ(middle.scenes[middle.currentSceneIndex].name, "S2");

    // Every scene carrying the id goes; each one in front of the current scene counts.
    Session twins = sessionWithScenes(4, 3);
    twins.scenes[1].id = twins.scenes[0].id;
    twins.removeScene(twins.scenes[0].id);
    EXPECT_EQ(sceneNames(twins), (QStringList {"S2", "S3"}));
    EXPECT_EQ(twins.currentSceneIndex, 1);
}

TEST(Session, CheckedTakesFollowSceneOrder)
{
    Session session = sessionWithScenes(3, 0);
    EXPECT_TRUE(session.checkedTakes().isEmpty());
    EXPECT_EQ(session.checkedDuration(), 0.0);

    Take a = makeTake("a.mov", 10), b = makeTake("b.mov", 8), c = makeTake("c.mov", 5);
    a.trimStart = 1;
    a.trimEnd = 4;
    b.trimEnd = 7.5;
    session.scenes[0].takes = {a, b};
    session.scenes[0].selectedTakeID = b.id;
    session.scenes[1].takes = {c};
    session.scenes[1].selectedTakeID = QUuid::createUuid(); // matches nothing
    session.scenes[2].takes = {a};
    session.scenes[2].selectedTakeID = a.id;

    EXPECT_EQ(session.checkedTakes(), (QList<Take> {b, a}));
    EXPECT_DOUBLE_EQ(session.checkedDuration(), 7.5 + 3.0);
}

TEST(Session, ScratchFolderIsAFreshUpperCaseUuidFolderWithTakes)
{
    TemporaryHome home;
    const QString folder = Session::makeScratchFolder();
    const QString sessions = home.cachesPath() + "/Lumacast/Sessions";
    EXPECT_EQ(QFileInfo(folder).absolutePath(), QFileInfo(sessions).absoluteFilePath());
    const QString name = QFileInfo(folder).fileName();
    EXPECT_EQ(name.size(), 36);
    EXPECT_EQ(name, name.toUpper());
    EXPECT_TRUE(parseUuid(name).has_value());
    EXPECT_TRUE(QFileInfo(folder + "/takes").isDir());

    const QString second = Session::makeScratchFolder();
    EXPECT_NE(second, folder);
    const Session session(folder);
    EXPECT_NE(formatUuid(session.id), name);
}

TEST(Session, ScratchFolderFailureCarriesThePlatformError)
{
    TemporaryHome home;
    // A file where the folder should be makes the creation fail.
    ASSERT_TRUE(writeFileOfSize(home.cachesPath() + "/Lumacast", 10));
    try {
        Session::makeScratchFolder();
        FAIL() << "expected a FileSystemError";
    } catch (const FileSystemError &error) {
        EXPECT_NE(error.code(), 0);
        EXPECT_FALSE(error.systemText().isEmpty());
        EXPECT_TRUE(error.message().contains(error.systemText()));
    }
}

TEST(Session, DiscardStorageRemovesTheBundleWhenThereIsOne)
{
    TemporaryHome home;
    const QString scratch = Session::makeScratchFolder();
    const QString bundle = home.path() + "/Talk.lumacast";
    ASSERT_TRUE(writeFileOfSize(bundle + "/takes/a.mov", 2000));
    Session session(scratch);
    session.bundleURL = bundle;
    session.discardStorage();
    EXPECT_FALSE(QFileInfo::exists(bundle));
    EXPECT_TRUE(QFileInfo::exists(scratch));

    session.bundleURL.reset();
    session.discardStorage();
    EXPECT_FALSE(QFileInfo::exists(scratch));
    // Gone already: the platform's error is passed on.
    EXPECT_THROW(session.discardStorage(), FileSystemError);
    // A session without a folder must never remove anything.
    EXPECT_THROW(Session(QString()).discardStorage(), FileSystemError);
    EXPECT_THROW(Session("/").discardStorage(), FileSystemError);
}
