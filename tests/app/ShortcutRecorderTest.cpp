// The shortcut recorder: key presses turned into bindings, and, against the rig's real X server,
// combinations typed with xdotool while the global hot keys are released.
#include "FakeSettingsHost.h"

#include "app/settings/HelpWindow.h"
#include "app/settings/SettingsWindow.h"
#include "app/settings/ShortcutRecorderField.h"
#include "app/settings/ShortcutRow.h"
#include "platform/x11/HotKeyGrabber.h"
#include "platform/x11/KeyNames.h"

#include "support/TestEnvironment.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

using namespace lumacast;
using lumacast::testing::FakeSettingsHost;
using Field = ShortcutRecorderField;

TEST(ShortcutRecorderKeys, KeyPressesBecomeBindingsOrKeepRecordingOrAreRefused)
{
    using Kind = Field::KeyOutcome::Kind;
    const Field::Modifiers none, commandShift{true, true, false, false}, all{true, true, true, true};
    struct Case {
        std::optional<quint32> keyCode;
        Field::Modifiers modifiers;
        QString character;
        Kind kind;
        ShortcutBinding binding;
    } cases[] = {
        {40, commandShift, "K", Kind::record, {40, 0x300, "k", 18}},
        {56, {false, true, false, false}, "", Kind::keepRecording, {}}, // Shift alone
        {58, {false, false, true, false}, "", Kind::keepRecording, {}}, // Option alone
        {55, {true, false, false, false}, "", Kind::keepRecording, {}}, // command alone
        {63, none, "", Kind::keepRecording, {}},
        {std::nullopt, commandShift, "", Kind::refuse, {}}, // a key no code stands for
        {0x0C, {false, false, false, false, true, false}, "q", Kind::refuse, {}},   // AltGr+Q
        {0x0C, {true, true, false, false, false, true}, "q", Kind::refuse, {}},     // Level 5 held too
        {0x0F, {false, false, false, false, false, false, true}, "r", Kind::refuse, {}}, // group switch held
        {53, commandShift, "\x1b", Kind::cancel, {}},
        {0, none, "a", Kind::record, {0, 0, "a", 0}},
        {49, {false, false, false, true}, "x", Kind::record, {49, 0x1000, " ", 4}},
        {48, {false, false, true, false}, "", Kind::record, {48, 0x800, "\t", 8}},
        {36, all, "", Kind::record, {36, 0x1b00, "\r", 30}},
        {122, {true, false, false, false}, "", Kind::record, {122, 0x100, "\uF704", 16}}, // F1
        {64, none, "", Kind::record, {64, 0, "\uF714", 0}},                              // F17
        {0x74, none, "", Kind::record, {0x74, 0, "\uF72C", 0}},                          // Page Up
        {0x48, none, "", Kind::record, {0x48, 0, "?", 0}}, // a volume key: nothing a menu shows
    };
    for (const Case &c : cases) {
        const Field::KeyOutcome outcome = Field::interpretKey(c.keyCode, c.modifiers, c.character);
        EXPECT_EQ(outcome.kind, c.kind) << c.keyCode.value_or(999);
        if (c.kind == Kind::record) {
            EXPECT_EQ(outcome.binding, c.binding) << c.keyCode.value_or(999);
        }
        EXPECT_EQ(outcome.reason.isEmpty(), c.kind != Kind::refuse) << c.keyCode.value_or(999);
    }
}

namespace {

bool spinUntil(const std::function<bool()> &done, int milliseconds = 3000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > milliseconds)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

void spinFor(int milliseconds)
{
    spinUntil([] { return false; }, milliseconds);
}

bool pressKeys(const QString &combination)
{
    return lumacast::testing::runProcess("xdotool", {"key", combination}, 10000).ok();
}

// The settings window on the rig's X server, with the real hot-key service registered from the
// effective bindings, as the state manager has it at launch.
class RecorderOnX11 : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (QGuiApplication::platformName() != "xcb")
            GTEST_SKIP() << "no X display";
        grabber = std::make_shared<x11::HotKeyGrabber>();
        ASSERT_TRUE(grabber->isConnected());
        service.emplace(grabber);
        for (ShortcutAction action : shortcut_action::allCases)
            service->handlers[action] = [this, action] { fired << shortcut_action::rawValue(action); };
        host.service = &*service;
        service->installHotKeys(host.bindings);
        ASSERT_EQ(service->hotKeyRefs().size(), 6u);

        window = new SettingsWindow(host, preferences);
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    }
    void TearDown() override
    {
        delete window;
        host.service = nullptr;
        service.reset();
    }

    Field *field(const char *row) { return window->findChild<ShortcutRow *>(row)->recorderField(); }
    // Clicks the row's field and checks that the hot keys are released while it records.
    void startRecording(const char *row)
    {
        QTest::mouseClick(field(row), Qt::LeftButton);
        ASSERT_TRUE(field(row)->isRecording());
        EXPECT_TRUE(service->hotKeyRefs().empty());
    }
    // Types a combination into the focused window and waits until the field stops recording.
    void type(const char *row, const QString &combination)
    {
        ASSERT_TRUE(pressKeys(combination));
        EXPECT_TRUE(spinUntil([&] { return !field(row)->isRecording(); })) << qPrintable(combination);
        spinFor(150);
    }

    QTemporaryDir dir;
    Preferences preferences{dir.filePath("settings.json")};
    FakeSettingsHost host{preferences};
    std::shared_ptr<x11::HotKeyGrabber> grabber;
    std::optional<GlobalKeyboardShortcuts> service;
    QPointer<SettingsWindow> window;
    QStringList fired;
};

} // namespace

TEST_F(RecorderOnX11, RecordsACombinationWhileTheHotKeysAreReleased)
{
    // Next Scene's own combination reaches the field, not the hot key, and is refused there.
    startRecording("retake");
    type("retake", "super+shift+n");
    EXPECT_TRUE(fired.isEmpty()) << qPrintable(fired.join(','));
    EXPECT_EQ(window->findChild<ShortcutRow *>("retake")->warning(), "Already used by Next Scene");
    EXPECT_TRUE(preferences.customShortcuts().empty());
    EXPECT_EQ(field("retake")->binding(), defaultBinding(ShortcutAction::retake));
    EXPECT_EQ(service->hotKeyRefs().size(), 6u);

    // Modifiers alone keep recording; Super+Shift+K is stored as key code 40 with mask 0x300.
    startRecording("retake");
    ASSERT_TRUE(pressKeys("shift"));
    ASSERT_TRUE(pressKeys("alt"));
    spinFor(300);
    EXPECT_TRUE(field("retake")->isRecording());
    type("retake", "super+shift+k");
    const ShortcutBinding expected{40, 0x300, "k", event_modifier::command | event_modifier::shift};
    const auto custom = preferences.customShortcuts();
    ASSERT_EQ(custom.size(), 1u);
    EXPECT_EQ(custom.at("retake"), expected);
    EXPECT_EQ(field("retake")->binding(), expected);
    EXPECT_EQ(window->findChild<ShortcutRow *>("retake")->warning(), std::nullopt);

    // Registered again, with the new combination.
    ASSERT_EQ(service->hotKeyRefs().size(), 6u);
    fired.clear();
    ASSERT_TRUE(pressKeys("super+shift+k"));
    EXPECT_TRUE(spinUntil([&] { return !fired.isEmpty(); }));
    EXPECT_EQ(fired, QStringList{"retake"});

    // Escape records nothing.
    startRecording("nextScene");
    type("nextScene", "Escape");
    EXPECT_EQ(preferences.customShortcuts().size(), 1u);
    EXPECT_EQ(field("nextScene")->binding(), defaultBinding(ShortcutAction::nextScene));
    EXPECT_EQ(service->hotKeyRefs().size(), 6u);

    // A function key types nothing: it has a menu key of its own, a name, and fires.
    startRecording("toggleWebcamZoom");
    type("toggleWebcamZoom", "ctrl+shift+F5");
    const ShortcutBinding f5{0x60, 0x1200, "\uF708", event_modifier::control | event_modifier::shift};
    EXPECT_EQ(preferences.customShortcuts().at("toggleWebcamZoom"), f5);
    EXPECT_EQ(ShortcutBinding::displayString(f5.carbonKeyCode, f5.carbonModifiers), "Shift+Ctrl+F5");
    fired.clear();
    ASSERT_TRUE(pressKeys("ctrl+shift+F5"));
    EXPECT_TRUE(spinUntil([&] { return !fired.isEmpty(); }));
    EXPECT_EQ(fired, QStringList{"toggleWebcamZoom"});
}

TEST_F(RecorderOnX11, ClosingOrDestroyingTheWindowWhileRecordingRegistersTheHotKeysAgain)
{
    startRecording("endTake");
    QTest::mouseClick(field("endTake"), Qt::LeftButton); // a second click changes nothing
    EXPECT_TRUE(field("endTake")->isRecording());
    EXPECT_EQ(host.calls.count("restoreGlobalShortcuts"), 0);
    startRecording("nextScene"); // another row takes over: only one records
    EXPECT_FALSE(field("endTake")->isRecording());
    startRecording("endTake");
    EXPECT_FALSE(field("nextScene")->isRecording());
    EXPECT_EQ(host.calls.count("restoreGlobalShortcuts"), 2);
    window->close();
    EXPECT_FALSE(field("endTake")->isRecording());
    EXPECT_EQ(service->hotKeyRefs().size(), 6u);

    window->show();
    startRecording("startPause");
    delete window;
    EXPECT_EQ(service->hotKeyRefs().size(), 6u);
    EXPECT_EQ(host.calls.count("restoreGlobalShortcuts"), 4);
    EXPECT_TRUE(preferences.customShortcuts().empty());
}

// Pictures of both windows for a person to look at (written beside the test program), and every
// key-cap glyph found in an installed font.
// The field shows a binding's whole name, however many modifiers it has.
TEST(ShortcutRecorderField, WidensToShowTheWholeBinding)
{
    const struct {
        ShortcutBinding binding;
        bool wider;
    } cases[] = {
        {defaultBinding(ShortcutAction::endTake), false},
        {ShortcutBinding{49, 0x1B00, " ", 30}, true}, // Shift+Ctrl+Alt+Super+Space
    };
    for (const auto &c : cases) {
        Field field;
        field.setBinding(c.binding);
        QFont font = field.font();
        font.setWeight(QFont::Medium);
        const QString shown = ShortcutBinding::displayString(c.binding.carbonKeyCode, c.binding.carbonModifiers);
        EXPECT_GE(field.width(), QFontMetrics(font).horizontalAdvance(shown) + 8) << qPrintable(shown);
        EXPECT_EQ(field.width() > 160, c.wider) << qPrintable(shown);
    }
}

TEST(WindowPictures, SettingsAndHelpWindowsRender)
{
    QTemporaryDir dir;
    Preferences preferences{dir.filePath("settings.json")};
    FakeSettingsHost host{preferences};
    host.level = 0.62; // the knob away from the recommended-level tick
    host.microphones = {{"mic", "VirtualMic"}};
    host.displays = {{1, "Left", 1920, 1080}, {2, "Right", 2560, 1440}};
    SettingsWindow settings(host, preferences);
    HelpWindow help;
    const QString folder = QCoreApplication::applicationDirPath();
    settings.findChild<ShortcutRow *>("retake")->recorderField()->recorderDidRecord({3, 0x100, "f", 16});
    for (QWidget *window : {static_cast<QWidget *>(&settings), static_cast<QWidget *>(&help)}) {
        window->show();
        spinFor(100);
        const QImage picture = window->grab().toImage();
        EXPECT_EQ(picture.size(), window->size());
        const QString name = folder + '/' + window->windowTitle() + ".png";
        EXPECT_TRUE(picture.save(name)) << qPrintable(name);
        // The whole scrolling page as well.
        QWidget *page = window->findChild<QScrollArea *>()->widget();
        EXPECT_TRUE(page->grab().save(folder + '/' + window->windowTitle() + " (page).png"));
    }
    EXPECT_EQ(settings.size(), QSize(480, 600));
    EXPECT_EQ(help.size(), QSize(470, 580));

    if (QGuiApplication::platformName() != "xcb")
        return; // the offscreen platform brings no fonts of the system's
    const QList<QLabel *> caps = help.findChildren<QLabel *>("keyCap");
    ASSERT_EQ(caps.size(), 18);
    const QStringList families = QFontDatabase::families();
    for (QLabel *cap : caps) {
        EXPECT_GE(cap->width(), 22 + 16) << qPrintable(cap->text());
        for (char32_t glyph : cap->text().toUcs4()) {
            const bool found = std::any_of(families.begin(), families.end(), [&](const QString &family) {
                return QFontMetrics(QFont(family)).inFontUcs4(glyph);
            });
            EXPECT_TRUE(found) << qPrintable(cap->text());
        }
    }
}
