// The status card: what it says in each state, where it sits and what its buttons ask for.
#include "OverlayTestSupport.h"

#include "capture/DisplayOption.h"
#include "overlays/RecordingStatusWindow.h"
#include "support/TestEnvironment.h"

#include <QAccessible>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyleOptionButton>

#include <gtest/gtest.h>

using namespace lumacast;
using namespace lumacast::testing;

namespace {

QStringList buttonTexts(const RecordingStatus &status)
{
    QStringList texts;
    for (const auto &action : status_card::actions(status))
        texts << status_card::buttonText(action);
    return texts;
}

RecordingStatus inState(OverlayState state, int scene, int take, std::optional<QString> tail = std::nullopt)
{
    RecordingStatus status;
    status.state = state;
    status.sceneNumber = scene;
    status.nextTakeNumber = take;
    status.tailOperationLive = tail.has_value();
    status.tailTargetLabel = tail;
    return status;
}

// The US layout, but for a key that types "&" (AZERTY's 1) and a volume key, the longest name.
struct LongNamesLayout final : KeyboardLayout {
    static constexpr quint32 ampersand = 0x12, volumeUp = 0x48;
    std::optional<QString> characterForKeyCode(quint32 code) const override
    {
        return code == ampersand ? QStringLiteral("&") : UsKeyboardLayout().characterForKeyCode(code);
    }
    std::optional<QString> keySymbolName(quint32 code) const override
    {
        return code == volumeUp ? QStringLiteral("XF86AudioRaiseVolume") : QString();
    }
};

} // namespace

TEST(RecordingStatusCard, TitlesAndButtonsOfEachState)
{
    const struct {
        RecordingStatus status;
        QString title;
        QStringList buttons;
    } cases[] = {
        {inState(OverlayState::idle, 1, 1), "Ready — S1T1", {"Start take (Shift+Super+Return)", "Next scene (Shift+Super+N)"}},
        {inState(OverlayState::starting, 2, 4), "Starting…", {"Start take (Shift+Super+Return)", "Next scene (Shift+Super+N)"}},
        {inState(OverlayState::recording, 1, 2), "REC — S1T2",
         {"Pause (Shift+Super+Space)", "End take (Shift+Super+Return)", "End + next scene (Shift+Super+N)"}},
        {inState(OverlayState::recording, 1, 2, QStringLiteral("S2T3")), "REC tail — S2T3",
         {"Pause (Shift+Super+Space)", "End take (Shift+Super+Return)"}},
        {inState(OverlayState::paused, 3, 1), "PAUSED — S3T1", {"Resume (Shift+Super+Space)", "End take (Shift+Super+Return)"}},
        {inState(OverlayState::paused, 3, 1, QStringLiteral("S2T3")), "PAUSED tail — S2T3",
         {"Resume (Shift+Super+Space)", "End take (Shift+Super+Return)"}},
        {inState(OverlayState::reviewing, 12, 5), "Review — S12",
         {"Approve + new take (Shift+Super+Return)", "Approve + new scene (Shift+Super+N)", "Retake (Shift+Super+R)"}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(status_card::headerTitle(c.status), c.title);
        EXPECT_EQ(buttonTexts(c.status), c.buttons) << c.title.toStdString();
    }

    // A tail whose take is gone has no label, but still no "End + next scene".
    RecordingStatus lostTail = inState(OverlayState::recording, 1, 2);
    lostTail.tailOperationLive = true;
    EXPECT_EQ(status_card::headerTitle(lostTail), "REC — S1T2");
    EXPECT_EQ(buttonTexts(lostTail).size(), 2);

    // A custom end-take shortcut changes every button that does the same.
    RecordingStatus custom = inState(OverlayState::idle, 1, 1);
    custom.shortcutBindings[ShortcutAction::endTake] =
        ShortcutBinding{key_code::space, carbon_modifier::control | carbon_modifier::option, " ", 0};
    EXPECT_EQ(buttonTexts(custom).first(), "Start take (Ctrl+Alt+Space)");
    custom.state = OverlayState::reviewing;
    EXPECT_EQ(buttonTexts(custom).first(), "Approve + new take (Ctrl+Alt+Space)");

    // A key the desktop keeps is not offered as one that works.
    RecordingStatus kept = inState(OverlayState::recording, 1, 2);
    kept.keysTheDesktopKeeps[ShortcutAction::startPause] = "switch-input-source-backward";
    EXPECT_EQ(buttonTexts(kept).first(), "Pause");
}

TEST(RecordingStatusCard, ElapsedTimeLeavesPausesOut)
{
    const QDateTime now = QDateTime::fromSecsSinceEpoch(1'800'000'000);
    const struct {
        std::optional<qint64> startedSecondsAgo;
        std::optional<qint64> pausedSecondsAgo;
        double pauseAccumulated;
        QString text; // empty: no time shown
    } cases[] = {
        {3725, std::nullopt, 0, "62:05"}, {100, 90, 0, "0:10"}, {100, std::nullopt, 40.5, "0:59"},
        {7, std::nullopt, 0, "0:07"},     {-3, std::nullopt, 0, "0:00"}, {std::nullopt, std::nullopt, 0, ""},
    };
    for (const auto &c : cases) {
        RecordingStatus status;
        if (c.startedSecondsAgo)
            status.takeStartedAt = now.addSecs(-*c.startedSecondsAgo);
        if (c.pausedSecondsAgo)
            status.pausedAt = now.addSecs(-*c.pausedSecondsAgo);
        status.pauseAccumulated = c.pauseAccumulated;
        const auto elapsed = status.elapsedRecordingTime(now);
        EXPECT_EQ(elapsed ? status_card::elapsedText(*elapsed) : QString(), c.text);
        // Paused: the time stands still.
        if (c.pausedSecondsAgo) {
            EXPECT_EQ(status_card::elapsedText(*status.elapsedRecordingTime(now.addSecs(30))), c.text);
        }
    }
}

TEST(RecordingStatusCard, DetailRowsNameTargetDevicesAndSystemAudio)
{
    const auto displays = DisplayOption::available();
    const QString mainName = displays.empty() ? QStringLiteral("Display") : displays.front().name;
    const auto window = CaptureTarget::custom(ContentFilter::forWindow(0x500001, QRectF(0, 0, 10, 10)), ContentStyle::Window);
    const auto application = CaptureTarget::custom(ContentFilter::forWindow(0x500001, QRectF(0, 0, 10, 10)),
                                                   ContentStyle::Application);
    using Rows = std::vector<StatusDetailRow>;
    const auto mic = [](const QString &name) { return StatusDetailRow{"mic.fill", name}; };
    const auto base = [] {
        RecordingStatus s;
        s.availableMicrophones = {{"mic-a", "Desk Mic"}};
        s.availableCameras = {{"cam-a", "Unplugged Cam"}};
        return s;
    };
    struct Case {
        std::function<void(RecordingStatus &)> set;
        Rows rows;
    };
    const Case cases[] = {
        {[](RecordingStatus &) {}, Rows{{"display", mainName}, mic("System Default")}},
        {[](RecordingStatus &s) { s.selectedDisplayID = 0xfffff; s.defaultMicrophoneName = "Built-in"; },
         Rows{{"display", mainName}, mic("Built-in")}},
        {[&](RecordingStatus &s) { s.captureTarget = window; s.selectedMicrophoneID = "mic-a"; },
         Rows{{"macwindow", "Window"}, mic("Desk Mic")}},
        {[&](RecordingStatus &s) { s.captureTarget = application; s.selectedMicrophoneID = "gone"; },
         Rows{{"display", "Whole screen"}, mic("Microphone")}},
        {[](RecordingStatus &s) { s.webcamEnabled = true; s.selectedCameraID = "cam-a"; s.systemAudio = true; },
         Rows{{"display", mainName}, {"video.fill", "Unplugged Cam"}, mic("System Default"),
              {"speaker.wave.2.fill", "System audio"}}},
        {[](RecordingStatus &s) { s.webcamEnabled = true; s.selectedCameraID = "cam-b"; },
         Rows{{"display", mainName}, mic("System Default")}},
        // A refused open during a take is said here, not in an alert over the recorded screen.
        {[](RecordingStatus &s) { s.notice = "Finish or discard the current take before opening A.lumacast."; },
         Rows{{"display", mainName}, mic("System Default"),
              {"exclamationmark.circle", "Finish or discard the current take before opening A.lumacast."}}},
        // A key the desktop keeps, once per key of the buttons shown (the webcam's is not).
        {[](RecordingStatus &s) {
             s.state = OverlayState::paused;
             s.keysTheDesktopKeeps = {{ShortcutAction::startPause, "switch-input-source-backward"},
                                      {ShortcutAction::toggleWebcamBlob, "toggle-overview"}};
         },
         Rows{{"display", mainName}, mic("System Default"),
              {"exclamationmark.circle", "The desktop keeps Shift+Super+Space for itself (switch-input-source-backward): "
                                         "give that shortcut another key in Lumacast's Settings."}}},
    };
    for (const auto &c : cases) {
        RecordingStatus status = base();
        c.set(status);
        EXPECT_EQ(status_card::detailRows(status), c.rows);
    }
}

// After a click on the card under a Wayland compositor: which window the window manager is asked
// to activate again.
TEST(RecordingStatusCard, AClickThatLeftNoWindowActiveGivesTheKeyboardBack)
{
    constexpr quint32 panel = 0x800064, xterm = 0x60000c, other = 0x700002, holder = 0x800070;
    const struct Case {
        const char *name;
        std::optional<quint32> before, now, expected, holder;
    } cases[] = {
        {"the compositor left no window active", xterm, std::nullopt, xterm},
        {"the panel was made the active one", xterm, panel, xterm},
        {"the window kept the keyboard", xterm, xterm, std::nullopt},
        {"another window became active", xterm, other, std::nullopt},
        {"no window was active before", std::nullopt, std::nullopt, std::nullopt},
        {"the panel itself was active before", panel, std::nullopt, std::nullopt},
        // GNOME's: the panel has a window of the window manager's to give the keyboard to.
        {"a native window was in front", std::nullopt, std::nullopt, holder, holder},
        {"none was in front and the panel is called active", std::nullopt, panel, holder, holder},
        {"the holder was active before", holder, std::nullopt, holder, holder},
        {"the holder kept the keyboard", holder, holder, std::nullopt, holder},
        {"an X window was in front", xterm, std::nullopt, xterm, holder},
    };
    for (const Case &c : cases)
        EXPECT_EQ(OverlayPanel::windowToReactivate(c.before, c.now, panel, c.holder), c.expected) << c.name;
}

TEST(RecordingStatusCard, SitsTwelveBelowTheTopAndItsButtonsTakeClicks)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs the rig's X server";
    Backdrop backdrop;
    WindowProperties properties;
    RecordingStatusWindow window;
    window.hide(); // harmless with nothing shown
    QDateTime now = QDateTime::currentDateTime();
    window.setClock([&now] { return now; });
    RecordingStatus status = inState(OverlayState::recording, 1, 2);
    status.takeStartedAt = now.addSecs(-3725);
    window.setStatus(status);
    window.show();
    auto *view = window.view();
    ASSERT_TRUE(view);
    const auto id = window.windowID();
    window.show(); // a second show keeps the one card
    EXPECT_EQ(window.windowID(), id);
    spinFor(200);

    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect card = view->geometry();
    EXPECT_EQ(card.width(), 240);
    EXPECT_GT(card.height(), 100);
    EXPECT_EQ(card.left(), screen.left() + (screen.width() - 240) / 2);
    EXPECT_EQ(card.top(), screen.top() + 12);
    EXPECT_EQ(view->title(), "REC — S1T2");
    EXPECT_EQ(view->elapsed(), "62:05");

    const QImage shot = grabScreen();
    keepShot(shot, "status-recording");
    EXPECT_EQ(rgbAt(shot, card.left() + 4, card.center().y()), 0x1c1c1eu);  // the card
    EXPECT_EQ(rgbAt(shot, card.left() + 1, card.top() + 1), Backdrop::kColour); // its rounded corner
    EXPECT_EQ(rgbAt(shot, card.left() - 2, card.center().y()), Backdrop::kColour);
    EXPECT_EQ(rgbAt(shot, card.center().x(), card.bottom() + 3), Backdrop::kColour);
    EXPECT_TRUE(properties.hasState(*id, "_NET_WM_STATE_STICKY"));
    EXPECT_FALSE(properties.acceptsFocus(*id));

    // The clock moves the time once a second.
    now = now.addSecs(1);
    ASSERT_TRUE(spinUntil([&] { return view->elapsed() == "62:06"; }, 1500));

    // A real click on a button asks for its command; the buttons follow the state at once.
    QSignalSpy commands(&window, &RecordingStatusWindow::commandRequested);
    auto *endTake = view->findChild<QPushButton *>("End take");
    ASSERT_TRUE(endTake);
    const QPoint at = endTake->mapToGlobal(endTake->rect().center());
    ASSERT_TRUE(runProcess("xdotool", {"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"}).ok());
    ASSERT_TRUE(spinUntil([&] { return commands.size() == 1; }, 2000));
    EXPECT_EQ(commands.at(0).at(0).value<StatusCommand>(), StatusCommand::endTake);

    status.state = OverlayState::paused;
    status.pausedAt = now;
    window.setStatus(status);
    EXPECT_EQ(view->title(), "PAUSED — S1T2");
    EXPECT_TRUE(view->clickButton("Resume"));
    EXPECT_EQ(commands.at(1).at(0).value<StatusCommand>(), StatusCommand::resume);
    EXPECT_FALSE(view->clickButton("Pause"));
    keepShot(grabScreen(), "status-paused");

    window.hide();
    spinFor(100);
    EXPECT_FALSE(window.isShown());
    EXPECT_EQ(rgbAt(grabScreen(), card.left() + 4, card.center().y()), Backdrop::kColour);
}

// Every button of the card shows its text whole, in as many lines as it takes, whatever the keys.
TEST(RecordingStatusCard, NoTextIsCut)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs the rig's X server";
    using namespace carbon_modifier;
    const struct Case {
        const char *name;
        OverlayState state;
        quint32 key, modifiers; // every action's
    } cases[] = {
        {"a key GNOME keeps", OverlayState::recording, 0x74, shift | command},
        {"every modifier and the longest name", OverlayState::reviewing, LongNamesLayout::volumeUp, all},
        {"a key named &", OverlayState::recording, LongNamesLayout::ampersand, shift | command},
    };
    const auto previous = ShortcutBinding::keyboardLayout();
    ShortcutBinding::setKeyboardLayout(std::make_shared<LongNamesLayout>());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RecordingStatus status = inState(c.state, 1, 2);
        for (const ShortcutAction action : shortcut_action::allCases)
            status.shortcutBindings[action] = ShortcutBinding{c.key, c.modifiers, QString(), 0};
        RecordingStatusWindow window;
        window.setStatus(status);
        window.show();
        keepShot(window.view()->grab().toImage(), c.name);
        const auto actions = status_card::actions(status);
        const auto buttons = window.view()->findChildren<QPushButton *>();
        ASSERT_EQ(buttons.size(), qsizetype(actions.size()));
        for (size_t i = 0; i < actions.size(); ++i) {
            QStyleOptionButton option;
            option.initFrom(buttons[i]);
            const QRect room = buttons[i]->style()->subElementRect(QStyle::SE_PushButtonContents, &option, buttons[i]);
            const QSize text = buttons[i]->fontMetrics().size(Qt::TextShowMnemonic, buttons[i]->text());
            EXPECT_TRUE(text.width() <= room.width() && text.height() <= room.height()) << buttons[i]->text().toStdString();
            // What the button shows, as Qt reads it out, is the whole text, in lines.
            const QString shown = QAccessible::queryAccessibleInterface(buttons[i])->text(QAccessible::Name);
            EXPECT_EQ(shown.simplified().remove(QLatin1Char(' ')).toStdString(),
                      status_card::buttonText(actions[i]).remove(QLatin1Char(' ')).toStdString());
        }
    }
    ShortcutBinding::setKeyboardLayout(previous);
}
