// What a take's windows do to the rest of the desktop, with input that goes through the compositor
// as a user's does: the overlays of a take (the border round the display and the status panel)
// shown from XWayland the way the state manager shows them, a Wayland window of another program
// beside them, and the review window. The compositor's tree tells where the focus is and which
// windows it manages.
#include "overlays/RecordingBorderWindow.h"
#include "overlays/RecordingStatusWindow.h"
#include "OwnShortcutsPortal.h"
#include "platform/pipewire/GnomeKeyBindings.h"
#include "platform/pipewire/PortalHotKeys.h"
#include "platform/x11/HotKeyGrabber.h"
#include "review/ReviewMainWindowHandle.h"
#include "store/GlobalKeyboardShortcuts.h"
#include "store/Shortcut.h"
#include "support/TestEnvironment.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>
#include <optional>

using namespace lumacast;

namespace {

bool waitFor(const std::function<bool()> &done, int ms = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    return done();
}

// A helper program whose stdout lines are kept for the test to wait on.
class Helper {
public:
    explicit Helper(const QString &program)
    {
        m_process.start(program, {});
        m_process.waitForStarted();
    }
    ~Helper()
    {
        m_process.kill();
        m_process.waitForFinished(2000);
    }
    // The first line not yet taken that starts with `prefix`, waiting up to `ms` for it.
    std::optional<QString> take(const QString &prefix, int ms = 3000)
    {
        std::optional<QString> found;
        waitFor([&] {
            while (m_process.canReadLine())
                m_lines << QString::fromUtf8(m_process.readLine()).trimmed();
            for (int i = 0; i < m_lines.size() && !found; ++i)
                if (m_lines[i].startsWith(prefix))
                    found = m_lines.takeAt(i);
            return found.has_value();
        }, ms);
        return found;
    }
    std::optional<QString> ask(const QString &command)
    {
        m_process.write((command + QLatin1Char('\n')).toUtf8());
        m_process.waitForBytesWritten();
        const auto answer = take(QString(), 5000);
        return answer && *answer == QLatin1String("ok") ? answer : std::nullopt;
    }
    QString errors() { return QString::fromUtf8(m_process.readAllStandardError()); }

private:
    QProcess m_process;
    QStringList m_lines;
};

// A window as the compositor manages it.
struct View {
    QString appId; // Wayland windows
    quint32 xid = 0; // XWayland windows
    bool focused = false;
    QRect rect;
};

void collectViews(const QJsonObject &node, std::vector<View> &views)
{
    if (node.contains(QStringLiteral("shell"))) {
        const QJsonObject r = node[QStringLiteral("rect")].toObject();
        views.push_back({node[QStringLiteral("app_id")].toString(), quint32(node[QStringLiteral("window")].toDouble()),
                         node[QStringLiteral("focused")].toBool(),
                         QRect(r[QStringLiteral("x")].toInt(), r[QStringLiteral("y")].toInt(),
                               r[QStringLiteral("width")].toInt(), r[QStringLiteral("height")].toInt())});
    }
    for (const char *children : {"nodes", "floating_nodes"})
        for (const QJsonValue child : node[QLatin1String(children)].toArray())
            collectViews(child.toObject(), views);
}

std::vector<View> managedViews()
{
    QProcess sway;
    sway.start(QStringLiteral("swaymsg"), {QStringLiteral("-t"), QStringLiteral("get_tree"), QStringLiteral("-r")});
    sway.waitForFinished(5000);
    std::vector<View> views;
    collectViews(QJsonDocument::fromJson(sway.readAllStandardOutput()).object(), views);
    return views;
}

std::optional<View> viewOf(const std::function<bool(const View &)> &which)
{
    for (const View &view : managedViews())
        if (which(view))
            return view;
    return std::nullopt;
}

bool isTarget(const View &view) { return view.appId == QLatin1String("lumacast-input-target"); }
std::function<bool(const View &)> isWindow(quint32 xid)
{
    return [xid](const View &view) { return view.xid == xid; };
}

QString at(const QPoint &p) { return QStringLiteral("%1 %2").arg(p.x()).arg(p.y()); }

// Presses of the two hot keys a take is driven by, Shift+Super+Space and Shift+Super+Return.
struct HotKeyPresses {
    std::vector<quint32> ids;
    static int handle(const HotKeyEvent *event, void *self)
    {
        static_cast<HotKeyPresses *>(self)->ids.push_back(event->hotKeyID ? event->hotKeyID->id : 0);
        return hot_key_status::noErr;
    }
};

class DesktopInput : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || qEnvironmentVariableIsEmpty("LUMACAST_WAYLAND_XDISPLAY"))
            GTEST_SKIP() << "not inside the Wayland rig (run through tests/wayland/rig.sh)";
        target.emplace(QStringLiteral(LUMACAST_WAYLAND_INPUT_TARGET));
        input.emplace(QStringLiteral(LUMACAST_WAYLAND_VIRTUAL_INPUT));
        ASSERT_TRUE(input->take(QStringLiteral("ready"))) << input->errors().toStdString();
        ASSERT_TRUE(target->take(QStringLiteral("ready"))) << target->errors().toStdString();

        review.setWindowTitle(QStringLiteral("review"));
        review.show();
        ASSERT_TRUE(waitFor([&] { return viewOf(isWindow(quint32(review.winId()))).has_value(); }))
            << "the compositor never managed the review window";

        border.show(std::nullopt, CaptureTarget::wholeScreen(), OverlayState::recording);
        RecordingStatus recording;
        recording.state = OverlayState::recording;
        recording.takeStartedAt = QDateTime::currentDateTime();
        status.setStatus(recording);
        status.show();
        // The compositor focuses what it maps a moment after: let that moment pass.
        QThread::msleep(500);
        QCoreApplication::processEvents();
    }

    QPoint centreOf(const std::function<bool(const View &)> &which)
    {
        const auto view = viewOf(which);
        return view ? view->rect.center() : QPoint(-1, -1);
    }

    std::optional<Helper> target;
    std::optional<Helper> input;
    QWidget review;
    RecordingBorderWindow border;
    RecordingStatusWindow status;
};

TEST_F(DesktopInput, ClicksAndTypingDuringATakeReachTheWindowClicked)
{
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        const QPoint middle = centreOf(isTarget);
        ASSERT_TRUE(input->ask(QStringLiteral("click ") + at(middle)));
        EXPECT_TRUE(target->take(QStringLiteral("press"))) << "the click never reached the other window";
        const auto focused = viewOf([](const View &v) { return v.focused; });
        ASSERT_TRUE(focused);
        EXPECT_TRUE(isTarget(*focused)) << "focused: app id '" << focused->appId.toStdString() << "', X window "
                                        << focused->xid;
        ASSERT_TRUE(input->ask(QStringLiteral("type hello")));
        QString typed;
        while (const auto key = target->take(QStringLiteral("text "), typed.size() < 5 ? 2000 : 0))
            typed += key->mid(5);
        EXPECT_EQ(typed.toStdString(), "hello");
    }
}

// The overlays are the desktop's to show, never to manage: none is tiled, centred or focused, and
// each sits where it was put.
TEST_F(DesktopInput, OverlaysAreShownWhereTheyArePutAndNeverManaged)
{
    std::vector<QWidget *> overlays = border.view()->ringWindows();
    overlays.push_back(status.view());
    for (QWidget *overlay : overlays)
        EXPECT_FALSE(viewOf(isWindow(quint32(overlay->winId()))))
            << "the compositor manages the overlay \"" << overlay->metaObject()->className() << "\" as an ordinary window";

    // A compositor that moves a window tells XWayland, and Qt's geometry follows.
    QThread::msleep(300);
    QCoreApplication::processEvents();
    QRect ring;
    for (QWidget *edge : border.view()->ringWindows())
        ring |= edge->geometry();
    const QSize panel = status.view()->size();
    struct Case {
        const char *name;
        QRect shown, placed;
    } cases[] = {{"border", ring, QRect(0, 0, 1920, 1080)},
                 {"status panel", status.view()->geometry(),
                  QRect(QPoint(960 - panel.width() / 2, RecordingStatusWindow::kTopMargin), panel)}};
    for (const Case &c : cases)
        EXPECT_EQ(c.shown, c.placed) << c.name;
}

// Every button of the panel answers a click, whichever window had the keyboard before.
TEST_F(DesktopInput, TheStatusPanelsButtonsAnswerClicks)
{
    std::vector<StatusCommand> requested;
    QObject::connect(&status, &RecordingStatusWindow::commandRequested,
                     [&](StatusCommand command) { requested.push_back(command); });
    const auto actions = status.view()->buttons();
    ASSERT_FALSE(actions.empty());
    for (const StatusAction &action : actions) {
        SCOPED_TRACE(action.label.toStdString());
        const auto *button = status.view()->findChild<QWidget *>(action.label);
        ASSERT_NE(button, nullptr);
        requested.clear();
        ASSERT_TRUE(input->ask(QStringLiteral("click ") + at(centreOf(isTarget))));
        ASSERT_TRUE(input->ask(QStringLiteral("click ") + at(button->mapToGlobal(button->rect().center()))));
        waitFor([&] { return !requested.empty(); }, 2000);
        EXPECT_EQ(requested, std::vector<StatusCommand>{action.command});
    }
}

// sway has no minimizing: asked to minimize the focused window it says no, and another window it
// marks minimized but keeps drawing. Either way the review window leaves the screen for the take
// and comes back after it.
TEST_F(DesktopInput, TheReviewWindowLeavesTheScreenForATakeAndComesBack)
{
    review::ReviewMainWindowHandle::setHiddenWhenLeftOnScreen(true);
    review::ReviewMainWindowHandle handle(&review);
    const auto onScreen = isWindow(quint32(review.winId()));
    struct Case {
        const char *focused;
        std::function<bool(const View &)> clicked;
    } cases[] = {{"review window", onScreen}, {"another window", isTarget}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.focused);
        ASSERT_TRUE(input->ask(QStringLiteral("click ") + at(centreOf(c.clicked))));
        handle.minimize();
        EXPECT_TRUE(waitFor([&] { return !viewOf(onScreen); }, 3 * review::ReviewMainWindowHandle::kMinimizeGraceMs))
            << "the review window stayed on screen through the take";
        handle.restore();
        EXPECT_TRUE(waitFor([&] { return viewOf(onScreen).has_value(); })) << "the review window never came back";
    }
}

// The take's hot keys are grabbed on XWayland, whose grabs see keys only while one of its windows
// holds the compositor's keyboard focus: the border must leave that focus where it was, and the
// status panel, the one window of the application left on screen during a take where the review
// window is hidden, must take it when clicked.
TEST_F(DesktopInput, HotKeysActFromEveryWindowOfTheApplication)
{
    x11::HotKeyGrabber grabber;
    HotKeyPresses presses;
    EventHandlerRef handler = 0;
    ASSERT_EQ(grabber.installEventHandler(&HotKeyPresses::handle, &presses, &handler), hot_key_status::noErr);
    EventHotKeyRef space = 0, enter = 0;
    const quint32 modifiers = carbon_modifier::command | carbon_modifier::shift;
    ASSERT_EQ(grabber.registerEventHotKey(key_code::space, modifiers, {kGlobalShortcutSignature, 1}, &space), hot_key_status::noErr);
    ASSERT_EQ(grabber.registerEventHotKey(key_code::returnKey, modifiers, {kGlobalShortcutSignature, 2}, &enter), hot_key_status::noErr);

    const QPoint reviewWindow = centreOf(isWindow(quint32(review.winId())));
    // On the ring's edge beside the review window: where XWayland honours the ring's empty input
    // shape (Debian 13's) the click goes through to whatever lies under it, and that must be the
    // review window for this case to ask what it asks.
    const QRect ringArea = border.view()->geometry();
    const QPoint ring = reviewWindow.x() >= ringArea.center().x() ? QPoint(ringArea.right() - 2, ringArea.top() + 540)
                                                                   : QPoint(ringArea.left() + 2, ringArea.top() + 540);
    const QPoint panel = status.view()->geometry().topLeft() + QPoint(20, 20);
    // Clicked in turn before the keys are pressed; the last case is a take's, where the review
    // window has left the screen.
    struct Case {
        const char *name;
        std::vector<QPoint> clicks;
        bool reviewWindowHidden;
    } cases[] = {{"review window", {reviewWindow}, false},
                 {"border over the review window", {reviewWindow, ring}, false},
                 {"status panel after another program's window", {centreOf(isTarget), panel}, true}};
    review::ReviewMainWindowHandle::setHiddenWhenLeftOnScreen(true);
    review::ReviewMainWindowHandle handle(&review);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.reviewWindowHidden) {
            handle.minimize();
            ASSERT_TRUE(waitFor([&] { return !review.isVisible(); }));
        }
        for (const QPoint &click : c.clicks)
            ASSERT_TRUE(input->ask(QStringLiteral("click ") + at(click)));
        presses.ids.clear();
        ASSERT_TRUE(input->ask(QStringLiteral("keys shift+super+space")));
        ASSERT_TRUE(input->ask(QStringLiteral("keys shift+super+return")));
        waitFor([&] { return presses.ids.size() >= 2; }, 2000);
        EXPECT_EQ(presses.ids, (std::vector<quint32>{1, 2}));
    }
    grabber.unregisterEventHotKey(space);
    grabber.unregisterEventHotKey(enter);
    grabber.removeEventHandler(handler);
}

// GNOME's own key bindings as `GnomeKeyBindings::read` finds them in a GNOME session, through a
// gsettings that lists `listing` for the window manager's schema and fails for the others.
pipewire::GnomeKeyBindings gnomeSettings(const char *listing)
{
    QTemporaryDir bin;
    QFile program(bin.filePath(QStringLiteral("gsettings")));
    if (!program.open(QIODevice::WriteOnly))
        return {};
    program.write(QByteArray("#!/bin/sh\n[ \"$2\" = org.gnome.desktop.wm.keybindings ] || exit 1\ncat <<'EOF'\n") + listing
                  + "EOF\n");
    program.close();
    program.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const QByteArray path = qgetenv("PATH");
    const QByteArray desktop = qgetenv("XDG_CURRENT_DESKTOP");
    qputenv("PATH", bin.path().toLocal8Bit() + ':' + path);
    qputenv("XDG_CURRENT_DESKTOP", "ubuntu:GNOME");
    pipewire::GnomeKeyBindings read = pipewire::GnomeKeyBindings::read();
    qputenv("PATH", path);
    if (desktop.isEmpty())
        qunsetenv("XDG_CURRENT_DESKTOP");
    else
        qputenv("XDG_CURRENT_DESKTOP", desktop);
    return read;
}

// Keys the desktop's portal does not bind (its bind failed, bound nothing, bound part of them,
// said it bound keys KDE's shortcut service gave no key, or never answered) end a take while a window of the application has the keyboard, and the summary
// Settings shows says which keys work where; a key the desktop did bind is not grabbed as well,
// where a press would act twice. A key GNOME's own settings bind (read through `gsettings`) is
// named apart, never as one that works.
TEST_F(DesktopInput, KeysTheDesktopDoesNotBindWorkInTheApplicationsWindows)
{
    const char *windowOnly = "These shortcuts work only while a Lumacast window has the keyboard:\n";
    // What a GNOME's gsettings lists: the switch of input sources holds the pause key.
    const char *gnomeSwitchesInputSources =
        "org.gnome.desktop.wm.keybindings switch-input-source-backward ['<Shift><Super>space', '<Shift>XF86Keyboard']\n"
        "org.gnome.desktop.wm.keybindings switch-to-workspace-1 @as []\n"
        "org.gnome.desktop.wm.keybindings cycle-group ['<Super>Above_Tab', '<Alt>F6']\n";
    struct Case {
        const char *mode;
        bool startPauseBound; // not among the keys left to the application's windows
        const char *says;
        const char *rest; // heads the keys left to the application's windows
        const char *gnome = nullptr; // gsettings' listing of the window manager's keys
        int startPauses = startPauseBound ? 0 : 1;
    } cases[] = {{"fail-session", false, "The desktop did not open a shortcuts session (response 2).", windowOnly},
                 {"bind-none", false, "The desktop bound none of the shortcuts.", windowOnly},
                 {"bind-first", true, "The desktop bound these shortcuts:\nstartPause: Press SHIFT+LOGO+space\n", windowOnly},
                 {"kde-keeps-first", true, "The desktop bound these shortcuts:\nstartPause: Press SHIFT+LOGO+space\n",
                  "Give them keys in the desktop's shortcut settings:\n"},
                 {"silent", false, "The desktop did not answer the shortcuts request within 2 s.", windowOnly},
                 // The test's compositor lets the key through to the fallback's grab; GNOME's would not.
                 {"bind-none", true, "The desktop bound none of the shortcuts.\nThe desktop keeps these keys",
                  "in the desktop's keyboard shortcut settings:\nstartPause: Shift+Super+Space "
                  "(switch-input-source-backward)\nThese shortcuts work only while a Lumacast window has the keyboard:\n",
                  gnomeSwitchesInputSources, 1}};
    const auto describe = [](quint32 id) {
        const QString action = shortcut_action::rawValue(shortcut_action::allCases[std::min<size_t>(id, 6) - 1]);
        return pipewire::PortalHotKeys::Shortcut{action, action};
    };
    const quint32 modifiers = carbon_modifier::command | carbon_modifier::shift;
    const ShortcutBindings bindings{{ShortcutAction::startPause, {key_code::space, modifiers, QString(), 0}},
                                    {ShortcutAction::endTake, {key_code::returnKey, modifiers, QString(), 0}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        lumacast::testing::OwnShortcutsPortal portal(QString::fromLatin1(c.mode));
        ASSERT_TRUE(portal.ready) << "the portal did not come back with the test's shortcuts backend";
        auto grabber = std::make_shared<x11::HotKeyGrabber>();
        auto keys = std::make_shared<pipewire::PortalHotKeys>(describe, QStringLiteral("lumacast"), grabber);
        keys->setAnswerTimeoutMs(2000);
        if (c.gnome) {
            const auto gnome = std::make_shared<pipewire::GnomeKeyBindings>(gnomeSettings(c.gnome));
            ASSERT_FALSE(gnome->isEmpty()) << "the listing was not read";
            keys->setDesktopKeys([gnome](quint32 key, quint32 held) { return gnome->holder(key, held); });
        }
        int answers = 0;
        keys->onBound = [&](const QString &) { ++answers; };
        GlobalKeyboardShortcuts shortcuts(keys);
        int startPauses = 0;
        int endTakes = 0;
        shortcuts.handlers[ShortcutAction::startPause] = [&] { ++startPauses; };
        shortcuts.handlers[ShortcutAction::endTake] = [&] { ++endTakes; };
        shortcuts.installHotKeys(bindings);
        ASSERT_TRUE(waitFor([&] { return answers == 1; }, 15000)) << "the desktop's answer never came";
        const QString summary = keys->summary();
        EXPECT_TRUE(summary.startsWith(QString::fromLatin1(c.says))) << qPrintable(summary);
        EXPECT_TRUE(summary.endsWith(QString::fromUtf8(c.rest)
                                     + (c.startPauseBound ? QString() : QStringLiteral("startPause: Shift+Super+Space\n"))
                                     + QStringLiteral("endTake: Shift+Super+Return")))
            << qPrintable(summary);

        // X delivers the two presses in order: once the second has acted, the first had its chance.
        ASSERT_TRUE(input->ask(QStringLiteral("click ") + at(centreOf(isWindow(quint32(review.winId()))))));
        ASSERT_TRUE(input->ask(QStringLiteral("keys shift+super+space")));
        ASSERT_TRUE(input->ask(QStringLiteral("keys shift+super+return")));
        EXPECT_TRUE(waitFor([&] { return endTakes == 1; })) << "the end-take key did nothing in the application's window";
        EXPECT_EQ(startPauses, c.startPauses);
    }
}

} // namespace

int main(int argc, char **argv)
{
    lumacast::testing::TemporaryHome home;
    // The program's windows live on XWayland, as the application's do in a Wayland session.
    const QByteArray xdisplay = qgetenv("LUMACAST_WAYLAND_XDISPLAY");
    if (xdisplay.isEmpty()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    } else {
        qputenv("DISPLAY", xdisplay);
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
