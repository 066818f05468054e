// The tray menu per state, read as data.
#include "FakeShellCommands.h"
#include "StateManagerDoubles.h"

#include "app/MenuKeyHintStyle.h"
#include "app/TrayMenuModel.h"

#include <gtest/gtest.h>

namespace lumacast::testing {
namespace {

struct TrayCase {
    const char *name;
    std::function<void(ManagerHarness &)> setUp;
    std::vector<QString> topLevel;                    // titles, "-" for separators
    std::vector<std::vector<QString>> checked;        // paths of items marked on
    std::vector<std::vector<QString>> disabled;       // paths of greyed items
    std::vector<std::pair<std::vector<QString>, QString>> keys; // path → key hint text
};

const QString kShow = QStringLiteral("Show Scenes Window");
const QString kQuit = QStringLiteral("Quit Lumacast");

TailOperation tailOn(const Session &session, int scene, int take)
{
    TailOperation operation;
    operation.id = QUuid::createUuid();
    operation.sceneID = session.scenes[scene].id;
    operation.targetTakeID = session.scenes[scene].takes[take].id;
    return operation;
}

// A key hint as the menus show it.
QString keyText(const char *shown) { return QString::fromUtf8(shown); }

const TrayCase kCases[] = {
    {"idle without session or recoveries ends with the separator after system audio",
     [](ManagerHarness &) {},
     {kShow, "-", "Capture", "Webcam", "Microphone", "Capture system audio", "-", "-", kQuit},
     {{"Capture", "Whole screen"}, {"Webcam", "Off"}, {"Microphone", "System Default"}},
     {{"Webcam", "No camera found"}, {"Webcam", "Round"}, {"Webcam", "Square"}},
     {{{kQuit}, "Ctrl+Q"}}},
    {"two displays list both and mark the selected one",
     [](ManagerHarness &h) {
         h.m().setAvailableDisplays({{1, "Left", 1920, 1080}, {2, "Right", 1280, 1024}});
         h.m().setSelectedDisplayIDValue(2);
     },
     {kShow, "-", "Record Screen", "Capture", "Webcam", "Microphone", "Capture system audio", "-", "-", kQuit},
     {{"Record Screen", "Right"}},
     {},
     {}},
    {"a session offers the next take of the current scene with the end-take key rebound to Tab",
     [](ManagerHarness &h) {
         Session session = h.adoptSessionWithTakes({1, 2});
         session.currentSceneIndex = 1;
         h.m().setCurrentSession(session);
         ShortcutBindings bindings;
         bindings[ShortcutAction::endTake] = {key_code::tab, carbon_modifier::shift | carbon_modifier::command,
                                              "\t", event_modifier::shift | event_modifier::command};
         h.m().setShortcutBindings(bindings);
     },
     {kShow, "-", "Capture", "Webcam", "Microphone", "Capture system audio", "-", "Start S2T3 (Scene 2 Take #3)",
      "New Scene", "-", kQuit},
     {},
     {},
     {{{"Start S2T3 (Scene 2 Take #3)"}, keyText("Shift+Super+Tab")},
      {{"New Scene"}, keyText("Shift+Super+N")}}},
    {"recovered sessions: singular for one scene, plural for none",
     [](ManagerHarness &h) {
         Session one = h.newSession();
         Session none = h.newSession();
         none.scenes.clear();
         h.m().setRecoverableSessions({one, none});
     },
     {kShow, "-", "Capture", "Webcam", "Microphone", "Capture system audio", "-", "Resume recording (1 scene)",
      "Resume recording (0 scenes)", "Discard all recovered recordings", "-", kQuit},
     {},
     {},
     {}},
    {"a picked window: Window marked, whole screen off, webcam greyed with its note",
     [](ManagerHarness &h) {
         h.m().setCaptureTarget(CaptureTarget::custom(ContentFilter::forWindow(42, {0, 0, 100, 100}), ContentStyle::Window));
     },
     {kShow, "-", "Capture", "Webcam", "Microphone", "Capture system audio", "-", "-", kQuit},
     {{"Capture", "Window"}},
     {{"Webcam"}, {"Webcam", "Available only when recording full screen"}},
     {}},
    {"a webcam on with a camera: the camera marked, shapes enabled",
     [](ManagerHarness &h) {
         h.m().setAvailableCameras({{"cam0", "Front"}, {"cam1", "Desk"}});
         h.m().setSelectedCameraIDValue(QStringLiteral("cam1"));
         h.m().setWebcamEnabledValue(true);
         h.m().setWebcamShape(BlobShape::square);
     },
     {kShow, "-", "Capture", "Webcam", "Microphone", "Capture system audio", "-", "-", kQuit},
     {{"Webcam", "Desk"}, {"Webcam", "Square"}},
     {},
     {}},
    {"recording: header, transport with default keys, close",
     [](ManagerHarness &h) {
         h.adoptSessionWithTakes({0});
         h.m().setState(AppState::recording);
     },
     {kShow, "-", "● Recording — Scene 1, Take 1", "-", "Pause", "End Take", "End Take & New Scene", "-",
      "Close Recording", "-", kQuit},
     {},
     {},
     {{{"Pause"}, keyText("Shift+Super+Space")},
      {{"End Take"}, keyText("Shift+Super+Return")},
      {{"End Take & New Scene"}, keyText("Shift+Super+N")}}},
    {"recording a tail: its label in the header, no next scene",
     [](ManagerHarness &h) {
         const Session session = h.adoptSessionWithTakes({1, 3});
         h.m().setState(AppState::recording);
         h.m().setTailOperation(tailOn(session, 1, 2));
     },
     {kShow, "-", "● Recording tail — S2T3", "-", "Pause", "End Take", "End Take & New Scene", "-",
      "Close Recording", "-", kQuit},
     {},
     {{"End Take & New Scene"}},
     {}},
    {"a tail whose take is gone falls back to the scene header and stays without next scene",
     [](ManagerHarness &h) {
         const Session session = h.adoptSessionWithTakes({1});
         TailOperation operation = tailOn(session, 0, 0);
         operation.targetTakeID = QUuid::createUuid();
         h.m().setState(AppState::recording);
         h.m().setTailOperation(operation);
     },
     {kShow, "-", "● Recording — Scene 1, Take 2", "-", "Pause", "End Take", "End Take & New Scene", "-",
      "Close Recording", "-", kQuit},
     {},
     {{"End Take & New Scene"}},
     {}},
    {"paused: resume and end take only",
     [](ManagerHarness &h) { h.m().setState(AppState::paused); },
     {kShow, "-", "Scene 1 — paused", "-", "Resume", "End Take", "-", "Close Recording", "-", kQuit},
     {},
     {},
     {{{"Resume"}, keyText("Shift+Super+Space")}}},
    {"reviewing: close only",
     [](ManagerHarness &h) { h.m().setState(AppState::reviewing); },
     {kShow, "-", "Close Recording", "-", kQuit},
     {},
     {},
     {}},
};

class TrayMenuModelTest : public ::testing::TestWithParam<TrayCase> {};

TEST_P(TrayMenuModelTest, ShowsTheStateSection)
{
    const TrayCase &c = GetParam();
    SCOPED_TRACE(c.name);
    ManagerHarness harness;
    FakeShellCommands commands;
    c.setUp(harness);
    const MenuItems items = TrayMenuModel(harness.m(), commands, {}).build();

    EXPECT_EQ(titles(items), c.topLevel);
    for (const auto &path : c.checked) {
        const MenuItem *item = findItem(items, path);
        ASSERT_NE(item, nullptr) << path.back().toStdString();
        EXPECT_TRUE(item->checked) << path.back().toStdString();
    }
    for (const auto &path : c.disabled) {
        const MenuItem *item = findItem(items, path);
        ASSERT_NE(item, nullptr) << path.back().toStdString();
        EXPECT_FALSE(item->enabled) << path.back().toStdString();
    }
    for (const auto &[path, key] : c.keys) {
        const MenuItem *item = findItem(items, path);
        ASSERT_NE(item, nullptr) << path.back().toStdString();
        EXPECT_EQ(MenuKeyHintStyle::keyHintText(item->keyHint), key) << path.back().toStdString();
    }
}

// The menus draw every key hint in the bindings' words, whatever Qt would write; Qt's own
// shortcuts read the same either way.
TEST(MenuKeyHintStyle, RewritesTheShortcutColumnOnly)
{
    const struct {
        const char *menuText;
        const char *shown;
    } rows[] = {
        {"End Take\tMeta+Shift+Return", "End Take\tShift+Super+Return"},
        {"Next\tMeta+Shift+Tab", "Next\tShift+Super+Tab"},
        {"Quit Lumacast\tCtrl+Q", "Quit Lumacast\tCtrl+Q"},
        {"Redo\tCtrl+Shift+Z", "Redo\tShift+Ctrl+Z"},
        {"Help\tF1", "Help\tF1"},
        {"Start S1T1 (Scene 1 Take #1)", "Start S1T1 (Scene 1 Take #1)"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(MenuKeyHintStyle::shownText(QString::fromUtf8(row.menuText)), QString::fromUtf8(row.shown))
            << row.menuText;

}

INSTANTIATE_TEST_SUITE_P(States, TrayMenuModelTest, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return "case" + std::to_string(info.index); });

struct ActionCase {
    const char *name;
    std::function<void(ManagerHarness &, FakeShellCommands &)> setUp;
    std::vector<QString> path;
    QStringList expectedCalls;
};

const ActionCase kActions[] = {
    {"choosing the marked display again does nothing",
     [](ManagerHarness &h, FakeShellCommands &) {
         h.m().setAvailableDisplays({{1, "Left", 1, 1}, {2, "Right", 1, 1}});
         h.m().setSelectedDisplayIDValue(1);
     },
     {"Record Screen", "Left"}, {}},
    {"choosing another display selects it",
     [](ManagerHarness &h, FakeShellCommands &) {
         h.m().setAvailableDisplays({{1, "Left", 1, 1}, {2, "Right", 1, 1}});
         h.m().setSelectedDisplayIDValue(1);
     },
     {"Record Screen", "Right"}, {"selectDisplay 2"}},
    {"system audio flips to the other value",
     [](ManagerHarness &h, FakeShellCommands &) { h.m().setCaptureSystemAudioValue(true); },
     {"Capture system audio"}, {"setCaptureSystemAudio 0"}},
    {"a microphone is selected by id", 
     [](ManagerHarness &h, FakeShellCommands &) { h.m().setAvailableMicrophones({{"mic", "Virtual"}}); },
     {"Microphone", "Virtual"}, {"selectMicrophone mic"}},
    {"close while a tail is live is only deferred",
     [](ManagerHarness &h, FakeShellCommands &c) {
         h.m().setState(AppState::reviewing);
         c.tailLive = true;
     },
     {"Close Recording"}, {"deferWhileTailPending close"}},
    {"close without a tail runs the close flow",
     [](ManagerHarness &h, FakeShellCommands &) { h.m().setState(AppState::paused); },
     {"Close Recording"}, {"deferWhileTailPending close", "closeRequest"}},
    {"end take while recording",
     [](ManagerHarness &h, FakeShellCommands &) { h.m().setState(AppState::recording); },
     {"End Take"}, {"endTake"}},
};

class TrayMenuActionTest : public ::testing::TestWithParam<ActionCase> {};

TEST_P(TrayMenuActionTest, CallsTheOperation)
{
    const ActionCase &c = GetParam();
    ManagerHarness harness;
    FakeShellCommands commands;
    c.setUp(harness, commands);
    const MenuItems items = TrayMenuModel(harness.m(), commands, {}).build();
    const MenuItem *item = findItem(items, c.path);
    ASSERT_NE(item, nullptr);
    ASSERT_TRUE(item->action);
    item->action();
    EXPECT_EQ(commands.calls, c.expectedCalls) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Items, TrayMenuActionTest, ::testing::ValuesIn(kActions),
                         [](const auto &info) { return "case" + std::to_string(info.index); });

TEST(TrayMenuShape, ChoosingTheOtherShapePersistsItOnTheOverlay)
{
    ManagerHarness harness;
    FakeShellCommands commands;
    harness.m().setWebcamEnabledValue(true);
    const MenuItems items = TrayMenuModel(harness.m(), commands, {}).build();
    findItem(items, {"Webcam", "Square"})->action();
    EXPECT_EQ(harness.m().webcamShape(), BlobShape::square);
    EXPECT_EQ(harness.webcamOverlay->shape(), BlobShape::square);
}

} // namespace
} // namespace lumacast::testing
