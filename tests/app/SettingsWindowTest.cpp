// The settings window against a stand-in for the state manager: every control writes its
// setting, and the window follows what the manager publishes.
#include "FakeSettingsHost.h"

#include "app/settings/AppKitSlider.h"
#include "app/settings/SettingsWindow.h"
#include "app/settings/ShortcutRecorderField.h"
#include "app/settings/ShortcutRow.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>

using namespace lumacast;
using lumacast::testing::FakeSettingsHost;

TEST(SettingsRules, LevelSnapsNearTheRecommendedLevelAndReadsInWholePercent)
{
    struct Case {
        double moved;
        double stored;
        const char *label;
    } cases[] = {
        {0.31, 0.3, "30%"},     {0.33, 0.33, "33%"},   {0.276, 0.3, "30%"},   {0.274, 0.274, "27%"},
        {0.324, 0.3, "30%"},    {0.326, 0.326, "33%"}, {0.125, 0.125, "13%"}, {0.0, 0.0, "0%"},
        {1.0, 1.0, "100%"},     {0.005, 0.005, "1%"},  {0.994, 0.994, "99%"}, {0.3, 0.3, "30%"},
    };
    for (const Case &c : cases) {
        const double stored = SettingsWindow::snappedLevel(c.moved);
        EXPECT_EQ(stored, c.stored) << c.moved;
        EXPECT_EQ(SettingsWindow::levelText(stored), c.label) << c.moved;
    }
    EXPECT_EQ(SettingsWindow::versionText(""), "Version: ?");
    EXPECT_EQ(SettingsWindow::versionText("0.1.0"), "Version: 0.1.0");
}

namespace {

class SettingsWindowTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    Preferences preferences{dir.filePath("settings.json")};
    FakeSettingsHost host{preferences};

    template <typename T> T *find(QWidget &window, const char *name)
    {
        T *child = window.findChild<T *>(name);
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
    QVariant stored(const char *key) { return preferences.defaults().value(key); }
};

} // namespace

TEST_F(SettingsWindowTest, EveryControlWritesItsSetting)
{
    host.microphones = {{"mic-a", "USB Mic"}, {"mic-b", "Headset"}};
    host.microphone = "mic-b";
    host.displays = {{1, "Left", 1920, 1080}, {2, "Right", 2560, 1440}};
    SettingsWindow window(host, preferences);

    auto *microphone = find<QComboBox>(window, "microphone");
    EXPECT_EQ(microphone->currentText(), "Headset");
    find<QCheckBox>(window, "reopenLastDocument")->click();
    find<QCheckBox>(window, "autoCheckForUpdates")->click();
    find<QPushButton>(window, "checkNow")->click();
    emit microphone->activated(0);
    emit microphone->activated(1);
    find<QCheckBox>(window, "captureSystemAudio")->click();
    find<QCheckBox>(window, "hideCursorWhenIdle")->click();
    find<QDoubleSpinBox>(window, "cursorHideDelay")->stepUp();
    auto *display = find<QComboBox>(window, "recordScreen");
    emit display->activated(1);

    auto *slider = find<AppKitSlider>(window, "systemAudioLevel")->findChild<QSlider *>();
    auto *levelText = find<QLabel>(window, "systemAudioLevelText");
    slider->setValue(310); // a drag to 0.31 snaps to the recommended level
    EXPECT_EQ(levelText->text(), "30%");
    EXPECT_EQ(stored("systemAudioMixLevel").toDouble(), 0.3);
    slider->setValue(330);
    EXPECT_EQ(levelText->text(), "33%");
    EXPECT_EQ(stored("systemAudioMixLevel").toDouble(), 0.33);

    EXPECT_EQ(host.calls, (QStringList{"reopen=true", "autoCheck=false", "checkForUpdates", "microphone=<none>",
                                       "microphone=mic-a", "systemAudio=true", "hideCursor=true", "delay=2.5",
                                       "display=2", "level=0.3", "level=0.33"}));
    EXPECT_EQ(stored("reopenLastDocument"), QVariant(true));
    EXPECT_EQ(display->currentText(), QString::fromUtf8("Right — 2560×1440"));
}

TEST_F(SettingsWindowTest, ControlsFollowWhatTheManagerPublishes)
{
    struct Case {
        bool recording;
        bool hideCursor;
        int displays;
        std::optional<uint32_t> selectedDisplay;
        const char *shownDisplay;
        const char *shortcutsNote; // the desktop's answer may come after the window is built
    } cases[] = {
        {false, false, 1, std::nullopt, "A — 800×600", ""},
        {true, true, 2, std::nullopt, "A — 800×600", "The desktop bound these shortcuts:\nStart: Super+R"},
        {true, false, 3, 3, "C — 800×600", ""},
    };
    SettingsWindow::setShortcutsNote(QString());
    SettingsWindow window(host, preferences);
    window.show();
    for (const Case &c : cases) {
        host.recording = c.recording;
        host.hideCursor = c.hideCursor;
        host.delay = 3.5;
        host.level = 0.125;
        host.displays.clear();
        for (int i = 0; i < c.displays; ++i)
            host.displays.push_back({uint32_t(i + 1), QString(QChar('A' + i)), 800, 600});
        host.display = c.selectedDisplay;
        host.changed();
        SettingsWindow::setShortcutsNote(QString::fromUtf8(c.shortcutsNote));

        const std::string at = "recording " + std::to_string(c.recording) + ", displays " + std::to_string(c.displays);
        EXPECT_EQ(find<QComboBox>(window, "microphone")->isEnabled(), !c.recording) << at;
        EXPECT_EQ(find<QComboBox>(window, "microphone")->currentText(), "System Default") << at;
        EXPECT_EQ(find<QCheckBox>(window, "captureSystemAudio")->isEnabled(), !c.recording) << at;
        EXPECT_TRUE(find<AppKitSlider>(window, "systemAudioLevel")->isEnabled()) << at;
        EXPECT_TRUE(find<QCheckBox>(window, "autoCheckForUpdates")->isEnabled()) << at;
        EXPECT_TRUE(find<QCheckBox>(window, "hideCursorWhenIdle")->isEnabled()) << at;
        EXPECT_EQ(find<QDoubleSpinBox>(window, "cursorHideDelay")->isEnabled(), c.hideCursor) << at;
        EXPECT_EQ(find<QDoubleSpinBox>(window, "cursorHideDelay")->text(), "3.5 s") << at;
        EXPECT_EQ(find<QLabel>(window, "systemAudioLevelText")->text(), "13%") << at;
        EXPECT_EQ(find<QComboBox>(window, "recordScreen")->isVisibleTo(&window), c.displays >= 2) << at;
        EXPECT_EQ(find<QComboBox>(window, "recordScreen")->currentText(), QString::fromUtf8(c.shownDisplay)) << at;
        EXPECT_EQ(find<QLabel>(window, "shortcutsNote")->text(), QString::fromUtf8(c.shortcutsNote)) << at;
        EXPECT_EQ(find<QLabel>(window, "shortcutsNote")->isVisibleTo(&window), *c.shortcutsNote != 0) << at;
        if (*c.shortcutsNote) {
            QApplication::processEvents(); // the page lays the note out
            const QLabel *note = find<QLabel>(window, "shortcutsNote");
            EXPECT_LE(note->mapTo(&window, QPoint(0, note->height())).y(), window.height())
                << at << ": the note lies below the fold";
        }
    }
    EXPECT_EQ(host.calls, QStringList{"refreshDisplays"});
}

TEST_F(SettingsWindowTest, RestoreDefaultsForgetsCustomShortcutsAndReloads)
{
    preferences.setCustomShortcuts({{"retake", {40, 0x100, "k", 16}}});
    host.bindings = preferences.effectiveShortcutBindings();
    SettingsWindow window(host, preferences);
    auto *retake = find<ShortcutRow>(window, "retake");
    ASSERT_EQ(retake->recorderField()->binding()->carbonKeyCode, 40u);

    find<QPushButton>(window, "restoreDefaults")->click();
    EXPECT_FALSE(preferences.defaults().contains("customShortcuts"));
    EXPECT_EQ(retake->recorderField()->binding(), defaultBinding(ShortcutAction::retake));
    // With nothing custom left it still reloads (and so registers the hot keys again).
    find<QPushButton>(window, "restoreDefaults")->click();
    EXPECT_EQ(host.calls, (QStringList{"shortcutBindingChanged", "shortcutBindingChanged"}));
}

TEST(ShortcutRowCheck, RefusesAnotherActionsCombinationAndWarnsWithoutCommandShift)
{
    ShortcutBindings defaults;
    for (ShortcutAction action : shortcut_action::allCases)
        defaults[action] = defaultBinding(action);
    ShortcutBindings moved = defaults;
    moved[ShortcutAction::nextScene] = {45, 0x1000, "n", 4};
    ShortcutBindings twice = defaults;
    twice[ShortcutAction::startPause] = twice[ShortcutAction::endTake] = {7, 0x300, "x", 18};
    const QString risky = "May conflict with other apps during presentation";
    struct Case {
        ShortcutAction row;
        ShortcutBinding recorded;
        ShortcutBindings bindings;
        std::optional<ShortcutAction> conflict;
        std::optional<QString> warning;
    } cases[] = {
        {ShortcutAction::retake, {45, 0x300, "n", 18}, defaults, ShortcutAction::nextScene, "Already used by Next Scene"},
        {ShortcutAction::retake, {45, 0x300, "n", 18}, {}, ShortcutAction::nextScene, "Already used by Next Scene"},
        {ShortcutAction::retake, {15, 0x300, "r", 18}, defaults, std::nullopt, std::nullopt},
        {ShortcutAction::retake, {3, 0x100, "f", 16}, defaults, std::nullopt, risky},
        {ShortcutAction::retake, {3, 0x900, "f", 24}, defaults, std::nullopt, risky},
        {ShortcutAction::retake, {45, 0x300, "n", 18}, moved, std::nullopt, std::nullopt},
        {ShortcutAction::nextScene, {3, 0x300, "?", 0}, defaults, ShortcutAction::toggleWebcamZoom,
         "Already used by Webcam Zoom (corner / full screen)"},
        {ShortcutAction::retake, {7, 0x300, "x", 18}, twice, ShortcutAction::startPause, "Already used by Pause / Resume"},
        {ShortcutAction::startPause, {7, 0x300, "x", 18}, twice, ShortcutAction::endTake,
         "Already used by Start / End Take / Approve"},
        {ShortcutAction::endTake, {0, 0, "a", 0}, defaults, std::nullopt, risky},
    };
    for (const Case &c : cases) {
        const ShortcutRow::Check check = ShortcutRow::check(c.row, c.recorded, c.bindings);
        EXPECT_EQ(check.conflict, c.conflict) << c.recorded.carbonKeyCode << " in " << int(c.row);
        EXPECT_EQ(check.warning, c.warning) << c.recorded.carbonKeyCode << " in " << int(c.row);
    }
}
