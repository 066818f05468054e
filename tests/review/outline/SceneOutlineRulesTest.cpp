// The outline's rules on session values: signature, kept lengths, checked-take jumps, focus after
// deleting, the key map, delete plans, context menus and drag payloads.
#include "review/outline/SceneOutlineCommands.h"
#include "review/outline/SceneOutlineDragDrop.h"
#include "review/outline/SceneOutlineItems.h"
#include "review/outline/SceneOutlineKeyMap.h"
#include "support/SessionRecords.h"

#include <QMimeData>

#include <gtest/gtest.h>

namespace lumacast {
namespace {

using namespace outline;
using testing::makeCheckedScene;
using testing::makeTrimmedTake;

QUuid uuid(int n)
{
    return QUuid(QStringLiteral("{0000000%1-aaaa-bbbb-cccc-00000000000%1}").arg(n, 1, 16));
}

// Scenes 1 and 2 with takes 3,4 (4 checked) and 5 (unchecked), scene 6 with take 7 (checked).
std::optional<Session> sample()
{
    Session session;
    auto take = [](int id, double start, double end, std::optional<QString> name = {}) {
        Take t = makeTrimmedTake("x.mov", 100, start, end, name);
        t.id = uuid(id);
        return t;
    };
    session.scenes << makeCheckedScene({take(3, 0, 75.9), take(4, 1, 60.6, "A|b")}, 1)
                   << makeCheckedScene({take(5, 0, 5)}, std::nullopt, "Intro")
                   << makeCheckedScene({take(7, 0, 3600)}, 0);
    session.scenes[0].id = uuid(1);
    session.scenes[1].id = uuid(2);
    session.scenes[2].id = uuid(6);
    session.scenes[0].selectedTakeID = uuid(4);
    session.scenes[2].selectedTakeID = uuid(7);
    session.currentSceneIndex = 1;
    return session;
}

TEST(SceneOutlineRules, SignatureNamesEveryShownField)
{
    EXPECT_EQ(outlineSignature(std::nullopt, std::nullopt), "cur:-1|pend:-");
    EXPECT_EQ(outlineSignature(sample(), uuid(5)),
              "cur:1|pend:00000005-AAAA-BBBB-CCCC-000000000005"
              "|S:00000001-AAAA-BBBB-CCCC-000000000001::00000004-AAAA-BBBB-CCCC-000000000004"
              "|T:00000003-AAAA-BBBB-CCCC-000000000003::75.90"
              "|T:00000004-AAAA-BBBB-CCCC-000000000004:A|b:59.60"
              "|S:00000002-AAAA-BBBB-CCCC-000000000002:Intro:-"
              "|T:00000005-AAAA-BBBB-CCCC-000000000005::5.00"
              "|S:00000006-AAAA-BBBB-CCCC-000000000006::00000007-AAAA-BBBB-CCCC-000000000007"
              "|T:00000007-AAAA-BBBB-CCCC-000000000007::3600.00");
}

TEST(SceneOutlineRules, KeptLengthAndDefaultNames)
{
    const std::pair<double, const char *> cases[] = {
        {75.9, "1:15"}, {5, "0:05"}, {3600, "60:00"}, {59.6, "0:59"}, {0, "0:00"},
        {std::numeric_limits<double>::quiet_NaN(), "--:--"}};
    for (const auto &[seconds, text] : cases)
        EXPECT_EQ(keptLengthText(seconds), text) << seconds;
    EXPECT_EQ(sceneDisplayName(RecordingScene{}, 0), "Scene 1");
    EXPECT_EQ(takeDisplayName(Take{}, 2), "Take 3");
}

TEST(SceneOutlineRules, CheckedTakeJumpsWithoutWrapping)
{
    struct Case { std::optional<int> from; int direction; std::optional<int> to; };
    const Case cases[] = {
        {std::nullopt, +1, 4}, {std::nullopt, -1, 7}, {99, +1, 4}, {1, +1, 4} /* scene to own take */,
        {4, +1, 7}, {7, +1, std::nullopt}, {7, -1, 4}, {4, -1, std::nullopt}, {5, -1, 4}, {2, 3, 7}};
    for (const Case &c : cases) {
        const std::optional<QUuid> from = c.from ? std::optional(uuid(*c.from)) : std::nullopt;
        const std::optional<QUuid> expected = c.to ? std::optional(uuid(*c.to)) : std::nullopt;
        EXPECT_EQ(nextCheckedTakeID(from, sample(), c.direction), expected)
            << c.from.value_or(-1) << " " << c.direction;
    }
    std::optional<Session> unchecked = sample();
    for (RecordingScene &scene : unchecked->scenes)
        scene.selectedTakeID.reset();
    EXPECT_EQ(nextCheckedTakeID(uuid(1), unchecked, +1), std::nullopt);
}

TEST(SceneOutlineRules, FocusAfterDeletingFollowsTheBlockElseGoesBack)
{
    struct Case { QList<int> scenes, takes; std::optional<int> focus; };
    const Case cases[] = {
        {{}, {3}, 4}, {{}, {3, 4}, 2}, {{1}, {}, 2}, {{}, {7}, 6} /* last take: back to its scene */,
        {{6}, {}, 5}, {{2, 6}, {}, 4}, {{}, {}, std::nullopt}, {{}, {99}, std::nullopt}};
    for (const Case &c : cases) {
        QList<QUuid> scenes, takes;
        for (int id : c.scenes) scenes << uuid(id);
        for (int id : c.takes) takes << uuid(id);
        const std::optional<QUuid> expected = c.focus ? std::optional(uuid(*c.focus)) : std::nullopt;
        EXPECT_EQ(focusAfterDeleting(sample(), scenes, takes), expected) << c.focus.value_or(-1);
    }
}

TEST(SceneOutlineRules, KeyMap)
{
    using A = SceneOutlineKeyMap::Action;
    using C = SceneOutlineCommand;
    const A standard = SceneOutlineKeyMap::Standard{};
    struct Case { int key; int modifiers; QString text; bool trim; A action; };
    const Case cases[] = {
        {Qt::Key_Return, 0, "\r", false, C{C::beginRename}},
        {Qt::Key_Enter, Qt::KeypadModifier, "\r", true, PlaybackKey{PlaybackKey::deselectTrim}},
        {Qt::Key_Space, Qt::ControlModifier, " ", false, PlaybackKey{PlaybackKey::playPauseOrSnap}},
        {Qt::Key_Backspace, 0, "\b", false, C{C::deleteSelection}},
        {Qt::Key_Delete, Qt::ShiftModifier, "", false, C{C::deleteSelection}},
        {Qt::Key_Escape, 0, "\x1b", true, C{C::escape}},
        {Qt::Key_Left, 0, "", false, PlaybackKey::makeNudge(false, false)},
        {Qt::Key_Right, Qt::AltModifier, "", false, PlaybackKey::makeNudge(true, true)},
        {Qt::Key_Down, 0, "", false, standard},
        {Qt::Key_Down, Qt::AltModifier, "", false, C{C::jumpCheckedTake, +1}},
        {Qt::Key_Up, Qt::AltModifier | Qt::ShiftModifier, "", false, C{C::jumpCheckedTake, -1}},
        {Qt::Key_BracketLeft, 0, "[", false, PlaybackKey{PlaybackKey::toggleTrimStart}},
        {Qt::Key_8, Qt::AltModifier, "[", false, PlaybackKey{PlaybackKey::toggleTrimStart}},
        {Qt::Key_BracketRight, Qt::ControlModifier, "]", false, PlaybackKey{PlaybackKey::toggleTrimEnd}},
        {Qt::Key_BraceLeft, Qt::ShiftModifier, "{", false, standard},
        {Qt::Key_A, 0, "a", false, standard}};
    for (const Case &c : cases)
        EXPECT_EQ(SceneOutlineKeyMap::actionFor(c.key, c.modifiers, c.text, c.trim), c.action)
            << std::hex << c.key;
}

TEST(SceneOutlineRules, DeletePlans)
{
    using P = SceneOutlineCommands::DeletePlan;
    const QStringList ask{"Delete", "Cancel"};
    struct Case { QList<int> scenes, takes; P plan; };
    const Case cases[] = {
        {{}, {}, {}},
        {{}, {3}, {P::deleteNow, {}}},
        {{}, {3, 5}, {P::ask, {"Delete 2 Items?", "This deletes 2 take(s).", ask}}},
        {{1}, {}, {P::ask, {"Delete Scene?", "This deletes 1 scene(s) and 2 take(s).", ask}}},
        {{1}, {5}, {P::ask, {"Delete 2 Items?", "This deletes 1 scene(s) and 3 take(s).", ask}}},
        {{1, 2, 6}, {}, {P::refuse, {"Can't Delete Every Scene", "A recording needs at least one scene.", {"OK"}}}}};
    for (const Case &c : cases) {
        QList<QUuid> scenes, takes;
        for (int id : c.scenes) scenes << uuid(id);
        for (int id : c.takes) takes << uuid(id);
        EXPECT_EQ(SceneOutlineCommands::planDelete(sample(), scenes, takes), c.plan) << c.plan.alert.message.toStdString();
    }
    EXPECT_EQ(SceneOutlineCommands::planDelete(std::nullopt, {}, {uuid(3)}).kind, P::refuse);
}

TEST(SceneOutlineRules, ContextMenus)
{
    using E = SceneOutlineCommands::MenuEntry;
    std::optional<Session> single = sample();
    single->scenes.resize(1);
    struct Case { std::optional<Session> session; SplitItems selection; QList<E> entries; };
    const Case cases[] = {
        {sample(), {}, {}},
        {sample(), {{uuid(2)}, {}},
         {{E::duplicateScene, "Duplicate Scene", uuid(2)}, {E::rename, "Rename Scene", {}},
          {E::separator, {}, {}}, {E::deleteItems, "Delete Scene", {}}}},
        {single, {{uuid(1)}, {}},
         {{E::duplicateScene, "Duplicate Scene", uuid(1)}, {E::rename, "Rename Scene", {}}}},
        {sample(), {{}, {uuid(5)}}, {{E::rename, "Rename Take", {}}, {E::deleteItems, "Delete Take", {}}}},
        {sample(), {{}, {uuid(3), uuid(4), uuid(5)}}, {{E::deleteItems, "Delete 3 Items", {}}}},
        {sample(), {{uuid(1)}, {uuid(5)}}, {{E::deleteItems, "Delete 2 Items", {}}}}};
    for (const Case &c : cases)
        EXPECT_EQ(SceneOutlineCommands::menuEntries(c.session, c.selection), c.entries);
}

TEST(SceneOutlineRules, PayloadsRoundTripAndMalformedOnesAreSkipped)
{
    EXPECT_EQ(SceneOutlineDragDrop::mimeType(), "app.lumacast.Lumacast.scenetree.item");
    EXPECT_EQ(SceneOutlineDragDrop::scenePayload(uuid(1)), "scene|00000001-aaaa-bbbb-cccc-000000000001");
    EXPECT_EQ(SceneOutlineDragDrop::takePayload(uuid(3), uuid(1)),
              "take|00000003-aaaa-bbbb-cccc-000000000003|00000001-aaaa-bbbb-cccc-000000000001");
    std::unique_ptr<QMimeData> data(SceneOutlineDragDrop::encode(
        {SceneOutlineDragDrop::scenePayload(uuid(2)), SceneOutlineDragDrop::takePayload(uuid(5), uuid(2))}));
    EXPECT_EQ(SceneOutlineDragDrop::decode(data.get()), (QList<QUuid>{uuid(2), uuid(5)}));
    EXPECT_EQ(SceneOutlineDragDrop::encode({}), nullptr);

    const std::pair<QByteArray, QList<QUuid>> cases[] = {
        {"scene|", {}},
        {"scene", {}},
        {"scene|not-a-uuid", {}},
        {"scene|{00000001-aaaa-bbbb-cccc-000000000001}", {}},
        {"scene|00000000-0000-0000-0000-000000000000", {}},
        {"||scene||00000001-aaaa-bbbb-cccc-000000000001", {uuid(1)}},
        {"whatever|00000003-aaaa-bbbb-cccc-000000000003|garbage", {uuid(3)}},
        {"scene|bad\n\ntake|00000005-aaaa-bbbb-cccc-000000000005|x\n\xff\xfe", {uuid(5)}}};
    for (const auto &[bytes, ids] : cases)
        EXPECT_EQ(SceneOutlineDragDrop::parsePayloads(bytes), ids) << bytes.toStdString();
}

TEST(SceneOutlineRules, DropsResolveToOneCall)
{
    using D = SceneOutlineDragDrop::Drop;
    struct Case { QList<int> dragged; std::optional<int> item; int childIndex; D drop; };
    const Case cases[] = {
        {{6}, 1, -1, {D::reorderScenes, {uuid(6)}, 0, {}}},            // onto a scene
        {{6}, 5, -1, {D::reorderScenes, {uuid(6)}, 1, {}}},            // onto a take of scene 2
        {{1}, std::nullopt, -1, {D::reorderScenes, {uuid(1)}, 3, {}}}, // empty area: the end
        {{1}, std::nullopt, 2, {D::reorderScenes, {uuid(1)}, 2, {}}},
        {{2, 3}, std::nullopt, 0, {D::moveTakes, {uuid(3)}, 0, uuid(1)}} /* take first */,
        {{5, 1}, std::nullopt, 0, {D::reorderScenes, {uuid(1)}, 0, {}}} /* scene first */,
        {{3, 4}, 6, -1, {D::moveTakes, {uuid(3), uuid(4)}, 0, uuid(6)}},
        {{5}, 3, -1, {D::moveTakes, {uuid(5)}, 0, uuid(1)}},            // onto a take: its scene
        {{5}, 1, 0, {D::moveTakes, {uuid(5)}, 0, uuid(1)}},             // between a scene's takes
        {{3}, std::nullopt, 2, {D::moveTakes, {uuid(3)}, 0, uuid(6)}},  // between scenes 2 and 3
        {{3}, std::nullopt, 3, {D::moveTakes, {uuid(3)}, 0, uuid(6)}},  // after the last scene
        {{3}, std::nullopt, -1, {D::moveTakes, {uuid(3)}, 0, uuid(1)}}, // empty area: first scene
        {{3}, 99, -1, {}},                                               // onto a vanished take
        {{99}, 1, -1, {}},                                               // deleted meanwhile
        {{}, 1, -1, {}}};
    for (const Case &c : cases) {
        QList<QUuid> dragged;
        for (int id : c.dragged) dragged << uuid(id);
        const std::optional<QUuid> item = c.item ? std::optional(uuid(*c.item)) : std::nullopt;
        EXPECT_EQ(SceneOutlineDragDrop::resolve(sample(), dragged, item, c.childIndex), c.drop)
            << c.item.value_or(-1) << " " << c.childIndex;
    }
    EXPECT_EQ(SceneOutlineDragDrop::resolve(std::nullopt, {uuid(3)}, std::nullopt, 0), D{});
}

} // namespace
} // namespace lumacast
