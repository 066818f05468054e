#include "ModelTestData.h"
#include "support/LogCapture.h"

#include "model/LogCategories.h"
#include "model/SessionManifest.h"

#include <QJsonArray>
#include <QTimeZone>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

#include <gtest/gtest.h>

#include <functional>
#include <limits>

using namespace lumacast;
using namespace lumacast::testing;

TEST(SessionManifest, FromSessionStoresTrimsOnlyWhenTheyCut)
{
    Session session("/tmp/s");
    Take whole = makeTake("whole.mov", 10);
    Take cut = makeTake("cut.mov", 10);
    cut.trimStart = 1.5;
    cut.trimEnd = 9;
    cut.name = "Intro";
    cut.playheadPosition = 2;
    Take odd = makeTake("odd.mov", 10);
    odd.trimStart = -1; // 0 or less is not stored
    odd.trimEnd = 12;   // the duration or more is not stored
    session.scenes[0].takes = {whole, cut, odd};
    session.scenes[0].selectedTakeID = cut.id;
    session.scenes[0].name = "First";
    session.scenes.append(makeScene());
    session.currentSceneIndex = 1;

    const SessionManifest manifest(session);
    EXPECT_EQ(manifest.schemaVersion, 1);
    EXPECT_EQ(manifest.sessionID, session.id);
    EXPECT_EQ(manifest.createdAt, session.createdAt);
    EXPECT_EQ(manifest.currentSceneIndex, 1);
    ASSERT_EQ(manifest.scenes.size(), 2);
    EXPECT_EQ(manifest.scenes[0].name, "First");
    EXPECT_EQ(manifest.scenes[0].selectedTakeID, cut.id);
    const auto &takes = manifest.scenes[0].takes;
    EXPECT_FALSE(takes[0].trimStart.has_value());
    EXPECT_FALSE(takes[0].trimEnd.has_value());
    EXPECT_EQ(takes[1].trimStart, 1.5);
    EXPECT_EQ(takes[1].trimEnd, 9.0);
    EXPECT_EQ(takes[1].name, "Intro");
    EXPECT_EQ(takes[1].playheadPosition, 2.0);
    EXPECT_FALSE(takes[2].trimStart.has_value());
    EXPECT_FALSE(takes[2].trimEnd.has_value());

    // Reading it back gives the same takes (whole seconds survive the date form).
    const Session reopened
        = SessionManifest::fromJson(manifest.toJson()).makeSession("/tmp/s", "/tmp/b.lumacast");
    EXPECT_EQ(reopened.id, session.id);
    EXPECT_EQ(reopened.scenes[0].takes[0], whole);
    EXPECT_EQ(reopened.scenes[0].takes[1], cut);
    EXPECT_EQ(reopened.scenes[1].takes.size(), 0);
    EXPECT_EQ(reopened.currentSceneIndex, 1);
    EXPECT_EQ(reopened.scratchURL, "/tmp/s");
    EXPECT_EQ(reopened.bundleURL, "/tmp/b.lumacast");
    EXPECT_FALSE(reopened.isDirty);
}

TEST(SessionManifest, JsonIsSortedPrettyUpperCaseAndUtc)
{
    SessionManifest manifest = makeManifest(1, 1);
    manifest.createdAt
        = QDateTime(QDate(2024, 5, 1), QTime(12, 30, 15, 750), QTimeZone(7200));
    manifest.scenes[0].takes[0].trimEnd = 2.5;
    const QByteArray json = manifest.toJson();
    const QString text = QString::fromUtf8(json);

    EXPECT_TRUE(text.contains("\n    \"createdAt\": \"2024-05-01T10:30:15Z\""));
    EXPECT_TRUE(text.contains(manifest.sessionID.toString(QUuid::WithoutBraces).toUpper()));
    EXPECT_FALSE(text.contains(manifest.sessionID.toString(QUuid::WithoutBraces)));
    EXPECT_LT(text.indexOf("\"createdAt\""), text.indexOf("\"currentSceneIndex\""));
    EXPECT_LT(text.indexOf("\"currentSceneIndex\""), text.indexOf("\"scenes\""));
    EXPECT_LT(text.indexOf("\"scenes\""), text.indexOf("\"schemaVersion\""));
    EXPECT_TRUE(text.contains("\"schemaVersion\": 1"));
    EXPECT_FALSE(text.contains("trimStart"));
    EXPECT_FALSE(text.contains("\"name\""));

    const SessionManifest decoded = SessionManifest::fromJson(json);
    manifest.createdAt = QDateTime(QDate(2024, 5, 1), QTime(10, 30, 15), QTimeZone::utc());
    EXPECT_EQ(decoded, manifest);
}

TEST(SessionManifest, EncodingRefusesNonFiniteNumbers)
{
    SessionManifest manifest = makeManifest(1, 1);
    manifest.scenes[0].takes[0].playheadPosition = std::numeric_limits<double>::infinity();
    try {
        manifest.toJson();
        FAIL() << "expected a JsonEncodeError";
    } catch (const JsonEncodeError &error) {
        EXPECT_TRUE(error.message().contains("scenes[0].takes[0].playheadPosition"));
    }
    SessionManifest undated = makeManifest(1, 1);
    undated.scenes[0].takes[0].recordedAt = QDateTime();
    EXPECT_THROW(undated.toJson(), JsonEncodeError);
    undated.scenes[0].takes[0].recordedAt = QDateTime(QDate(10000, 1, 1), QTime(0, 0), QTimeZone::utc());
    EXPECT_THROW(undated.toJson(), JsonEncodeError);
}

// ---------------------------------------------------------------------------------------------
// Validation, rule by rule, with the exact texts.

TEST(ManifestValidation, SessionLevelRules)
{
    EXPECT_EQ(validationMessage(makeManifest(2, 2)), "");

    SessionManifest version = makeManifest();
    version.schemaVersion = 2;
    version.scenes.clear(); // the version is checked first
    EXPECT_EQ(validationMessage(version), "Unsupported schema version 2 (expected 1).");
    version.schemaVersion = -3;
    EXPECT_EQ(validationMessage(version), "Unsupported schema version -3 (expected 1).");

    SessionManifest empty = makeManifest();
    empty.scenes.clear();
    EXPECT_EQ(validationMessage(empty), "Session has no scenes.");

    SessionManifest index = makeManifest(3, 0);
    index.currentSceneIndex = -1;
    EXPECT_EQ(validationMessage(index), "currentSceneIndex -1 is out of range (0..<3).");
    index.currentSceneIndex = 3;
    EXPECT_EQ(validationMessage(index), "currentSceneIndex 3 is out of range (0..<3).");
    index.currentSceneIndex = 2;
    EXPECT_EQ(validationMessage(index), "");

    SessionManifest scenes = makeManifest(3, 0);
    scenes.scenes[2].id = scenes.scenes[0].id;
    scenes.currentSceneIndex = 5; // the index is checked before the ids
    EXPECT_EQ(validationMessage(scenes), "currentSceneIndex 5 is out of range (0..<3).");
    scenes.currentSceneIndex = 0;
    EXPECT_EQ(validationMessage(scenes), "Duplicate scene IDs found.");
}

TEST(ManifestValidation, SceneRules)
{
    SessionManifest manifest = makeManifest(2, 2);
    manifest.scenes[1].takes[1].id = manifest.scenes[1].takes[0].id;
    EXPECT_EQ(validationMessage(manifest), "Scene 2 has duplicate take IDs.");

    SessionManifest selected = makeManifest(2, 0);
    const QUuid stray = QUuid::createUuid();
    selected.scenes[1].selectedTakeID = stray;
    EXPECT_EQ(validationMessage(selected),
              "Scene 2 selectedTakeID " + stray.toString(QUuid::WithoutBraces).toUpper()
                  + " does not match any take.");

    // A check on a take of another scene does not count.
    SessionManifest elsewhere = makeManifest(2, 1);
    elsewhere.scenes[0].selectedTakeID = elsewhere.scenes[1].takes[0].id;
    EXPECT_TRUE(validationMessage(elsewhere).startsWith("Scene 1 selectedTakeID "));
}

TEST(ManifestValidation, TakeSharedAcrossScenesFailsAtTheSecondOccurrence)
{
    SessionManifest manifest = makeManifest(2, 1);
    manifest.scenes[1].takes.append(manifest.scenes[0].takes[0]);
    const QString expected = "Take ID "
        + manifest.scenes[0].takes[0].id.toString(QUuid::WithoutBraces).toUpper()
        + " appears in multiple scenes.";
    EXPECT_EQ(validationMessage(manifest), expected);

    // Scene-level rules of the second scene come first.
    SessionManifest sceneFirst = manifest;
    sceneFirst.scenes[1].selectedTakeID = QUuid::createUuid();
    EXPECT_TRUE(validationMessage(sceneFirst).startsWith("Scene 2 selectedTakeID "));
    // And a broken take earlier in the first scene is reported before it.
    SessionManifest earlier = manifest;
    earlier.scenes[0].takes[0].filename = "bad.MOV";
    earlier.scenes[1].takes[1].filename = "bad.MOV";
    EXPECT_EQ(validationMessage(earlier), "Take \"bad.MOV\" does not have a .mov extension.");
}

TEST(ManifestValidation, DuplicateFilenameIsLoggedNotFailed)
{
    SessionManifest manifest = makeManifest(2, 1);
    manifest.scenes[1].takes[0].filename = manifest.scenes[0].takes[0].filename;
    manifest.scenes[1].takes.append(makeTakeManifest(manifest.scenes[0].takes[0].filename));
    LogCapture capture(log::persistence().categoryName());
    EXPECT_EQ(validationMessage(manifest), "");
    ASSERT_EQ(capture.lines().size(), 2);
    for (const auto &line : capture.lines()) {
        EXPECT_EQ(line.type, QtCriticalMsg);
        EXPECT_EQ(line.text, "Duplicate filename \"s0t0.mov\" across scenes");
    }
}

TEST(ManifestValidation, TakeRulesInOrder)
{
    struct Case {
        const char *label;
        std::function<void(SessionManifest::TakeManifest &)> edit;
        QString message;
    };
    const QList<Case> cases = {
        {"negative duration",
         [](auto &t) {
             t.duration = -0.5;
             t.filename = "";
         },
         "Take \"\" has negative duration -0.5."},
        {"empty name", [](auto &t) { t.filename = ""; },
         "A take in scene 2 has an empty filename."},
        {"upper-case extension", [](auto &t) { t.filename = "a.MOV"; },
         "Take \"a.MOV\" does not have a .mov extension."},
        {"no extension", [](auto &t) { t.filename = "../x"; },
         "Take \"../x\" does not have a .mov extension."},
        {"slash", [](auto &t) { t.filename = "sub/a.mov"; },
         "Take filename \"sub/a.mov\" contains invalid path characters."},
        {"dots", [](auto &t) { t.filename = "a..b.mov"; },
         "Take filename \"a..b.mov\" contains invalid path characters."},
        {"negative start",
         [](auto &t) {
             t.trimStart = -1.25;
             t.trimEnd = 20;
         },
         "Take \"t.mov\" has negative trimStart -1.25."},
        {"end past duration",
         [](auto &t) {
             t.trimStart = 1;
             t.trimEnd = 10.000001;
         },
         "Take \"t.mov\" trimEnd 10.000001 exceeds duration 10.0."},
        {"start at end",
         [](auto &t) {
             t.trimStart = 2;
             t.trimEnd = 2;
         },
         "Take \"t.mov\" trimStart 2.0 >= trimEnd 2.0."},
        {"start after end",
         [](auto &t) {
             t.trimStart = 5;
             t.trimEnd = 0.5;
         },
         "Take \"t.mov\" trimStart 5.0 >= trimEnd 0.5."},
        {"both zero",
         [](auto &t) {
             t.trimStart = 0;
             t.trimEnd = 0;
         },
         ""},
        {"end is duration",
         [](auto &t) {
             t.trimStart = 1;
             t.trimEnd = 10;
         },
         ""},
        {"end only, past duration", [](auto &t) { t.trimEnd = 1e6; },
         "Take \"t.mov\" trimEnd 1000000.0 exceeds duration 10.0."},
        {"end only, negative", [](auto &t) { t.trimEnd = -4; }, ""},
        {"start only, past duration", [](auto &t) { t.trimStart = 40; }, ""},
        {"playhead anywhere", [](auto &t) { t.playheadPosition = -100; }, ""},
        {"control characters", [](auto &t) { t.filename = QString("a") + QChar(0) + "\n.mov"; },
         ""},
    };
    for (const Case &c : cases) {
        SessionManifest manifest = makeManifest(2, 1);
        SessionManifest::TakeManifest take = makeTakeManifest("t.mov", 10);
        c.edit(take);
        manifest.scenes[1].takes.append(take);
        EXPECT_EQ(validationMessage(manifest), c.message) << c.label;
    }
}

TEST(ManifestMakeSession, ValidatesFirst)
{
    SessionManifest manifest = makeManifest(1, 1);
    manifest.schemaVersion = 7;
    EXPECT_THROW(manifest.makeSession("/tmp/s"), SessionManifest::ValidationError);
}

TEST(ManifestMakeSession, BringsLooseTrimsIntoRange)
{
    SessionManifest manifest = makeManifest(1, 0);
    auto add = [&](std::optional<double> start, std::optional<double> end) {
        SessionManifest::TakeManifest take
            = makeTakeManifest(QStringLiteral("%1.mov").arg(manifest.scenes[0].takes.size()), 10);
        take.trimStart = start;
        take.trimEnd = end;
        manifest.scenes[0].takes.append(take);
    };
    add(std::nullopt, -3); // end below zero: the whole take
    add(40, std::nullopt); // start beyond the duration: the whole take
    add(std::nullopt, 4);
    add(2.5, std::nullopt);
    add(0, 0);
    add(std::nullopt, std::nullopt);
    const Session session = manifest.makeSession("/tmp/s");
    const auto &takes = session.scenes[0].takes;
    const QList<std::pair<double, double>> expected
        = {{0, 10}, {0, 10}, {0, 4}, {2.5, 10}, {0, 10}, {0, 10}};
    ASSERT_EQ(takes.size(), expected.size());
    for (qsizetype i = 0; i < takes.size(); ++i) {
        EXPECT_EQ(takes[i].trimStart, expected[i].first) << i;
        EXPECT_EQ(takes[i].trimEnd, expected[i].second) << i;
    }
    EXPECT_GE(session.checkedDuration(), 0);
}

// ---------------------------------------------------------------------------------------------
// Decoding bad input.

namespace {

QJsonObject validObject()
{
    return QJsonDocument::fromJson(makeManifest(1, 1).toJson()).object();
}

QJsonObject withTakeField(const QString &key, const QJsonValue &value)
{
    QJsonObject root = validObject();
    QJsonArray scenes = root["scenes"].toArray();
    QJsonObject scene = scenes[0].toObject();
    QJsonArray takes = scene["takes"].toArray();
    QJsonObject take = takes[0].toObject();
    if (value.isUndefined())
        take.remove(key);
    else
        take[key] = value;
    takes[0] = take;
    scene["takes"] = takes;
    scenes[0] = scene;
    root["scenes"] = scenes;
    return root;
}

} // namespace

TEST(ManifestDecoding, NotJsonOrNotAnObject)
{
    for (const QByteArray &data :
         {QByteArray(), QByteArray("not json"), QByteArray("[1,2]"), QByteArray("\"text\""),
          toBytes(validObject()).left(40),
          QByteArray("{\"a\":1e999}"), QByteArray(4000, '[')}) {
        const QString message = decodeMessage(data);
        EXPECT_FALSE(message.isEmpty()) << data.left(60).toStdString();
    }
    EXPECT_TRUE(decodeMessage("not json").startsWith("The data is not valid JSON"));
    EXPECT_EQ(decodeMessage("[]"), "Expected an object at the top level of the document.");
}

TEST(ManifestDecoding, MissingKeysAndWrongTypesNameTheirPath)
{
    QJsonObject noScenes = validObject();
    noScenes.remove("scenes");
    EXPECT_EQ(decodeMessage(toBytes(noScenes)), "Missing required key \"scenes\".");

    EXPECT_EQ(decodeMessage(toBytes(withTakeField("duration", QJsonValue::Undefined))),
              "Missing required key \"scenes[0].takes[0].duration\".");
    EXPECT_EQ(decodeMessage(toBytes(withTakeField("duration", "12"))),
              "Expected a number at \"scenes[0].takes[0].duration\", found a string.");
    EXPECT_EQ(decodeMessage(toBytes(withTakeField("filename", QJsonValue::Null))),
              "Expected a string at \"scenes[0].takes[0].filename\", found null.");
    EXPECT_EQ(decodeMessage(toBytes(withTakeField("id", "not-a-uuid"))),
              "Expected a UUID at \"scenes[0].takes[0].id\".");
    EXPECT_EQ(decodeMessage(toBytes(withTakeField("recordedAt", "yesterday"))),
              "Expected an ISO 8601 date at \"scenes[0].takes[0].recordedAt\".");
    EXPECT_EQ(decodeMessage(toBytes(withTakeField("recordedAt", "2024-13-01T10:00:00Z"))),
              "Expected an ISO 8601 date at \"scenes[0].takes[0].recordedAt\".");
    EXPECT_EQ(decodeMessage(toBytes(withTakeField("trimStart", true))),
              "Expected a number at \"scenes[0].takes[0].trimStart\", found a boolean.");

    QJsonObject sceneNotObject = validObject();
    sceneNotObject["scenes"] = QJsonArray {1};
    EXPECT_EQ(decodeMessage(toBytes(sceneNotObject)),
              "Expected an object at \"scenes[0]\", found a number.");
}

TEST(ManifestDecoding, OptionalKeysMayBeMissingOrNull)
{
    QJsonObject root = withTakeField("name", QJsonValue::Null);
    const SessionManifest manifest = SessionManifest::fromJson(toBytes(root));
    EXPECT_FALSE(manifest.scenes[0].takes[0].name.has_value());
    const SessionManifest lowerCase = SessionManifest::fromJson(
        toBytes(withTakeField("id", "0b5c1c2e-1234-4c39-9e0d-2a3f0b7e9d11")));
    EXPECT_EQ(lowerCase.scenes[0].takes[0].id, QUuid("0b5c1c2e-1234-4c39-9e0d-2a3f0b7e9d11"));
    // Strings keep NUL and control characters; validation and the movie lookup deal with them.
    const SessionManifest nul = SessionManifest::fromJson(
        toBytes(withTakeField("filename", QString("a") + QChar(0) + ".mov")));
    EXPECT_EQ(nul.scenes[0].takes[0].filename.size(), 6);
    EXPECT_FALSE(Take::isSafeFilename(nul.scenes[0].takes[0].filename));
}

TEST(ManifestDecoding, IntegersMustBeWholeAndInRange)
{
    auto withIndex = [](const QByteArray &literal) {
        QByteArray json = toBytes(validObject());
        json.replace("\"currentSceneIndex\":0", "\"currentSceneIndex\":" + literal);
        return json;
    };
    EXPECT_EQ(decodeMessage(withIndex("0")), "");
    EXPECT_EQ(SessionManifest::fromJson(withIndex("2.0")).currentSceneIndex, 2);
    EXPECT_EQ(SessionManifest::fromJson(withIndex("-9223372036854775808")).currentSceneIndex,
              std::numeric_limits<qint64>::min());
    for (const char *bad : {"1.5", "9223372036854775808", "1e300", "-1e19"})
        EXPECT_EQ(decodeMessage(withIndex(bad)),
                  "Expected an integer in the 64-bit range at \"currentSceneIndex\".")
            << bad;
    EXPECT_EQ(decodeMessage(withIndex("\"1\"")),
              "Expected an integer at \"currentSceneIndex\", found a string.");
    // A huge index decodes and is then refused by validation with its value.
    const SessionManifest huge = SessionManifest::fromJson(withIndex("5000000000"));
    EXPECT_EQ(validationMessage(huge), "currentSceneIndex 5000000000 is out of range (0..<1).");
}
