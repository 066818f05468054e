// The tray item on a real X server with a tray host, and the program itself launched as a user
// would. Skipped without an X display (the offscreen platform) or without trayer and xdotool.
#include "FakeShellCommands.h"
#include "StateManagerDoubles.h"

#include "app/StatusIcon.h"
#include "app/TrayItem.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>

namespace lumacast::testing {
namespace {

// Spins the event loop until `done` holds or `ms` pass; gtest's counterpart of QTRY_VERIFY.
bool waitUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QTest::qWait(50);
    }
    return true;
}

bool onRealDisplay()
{
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

// A tray host on the rig's display for the life of the object.
class TrayHost {
public:
    TrayHost()
    {
        m_process.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "200",
                                   "--heighttype", "pixel", "--height", "32"});
        m_started = m_process.waitForStarted(5000);
    }
    ~TrayHost()
    {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    bool started() const { return m_started; }

private:
    QProcess m_process;
    bool m_started = false;
};

bool runTool(const QString &program, const QStringList &arguments, QString *output = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(10000))
        return false;
    if (output)
        *output = QString::fromUtf8(process.readAllStandardOutput());
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

#define REQUIRE_RIG()                                                                                   \
    if (!onRealDisplay() || QStandardPaths::findExecutable("trayer").isEmpty()                           \
        || QStandardPaths::findExecutable("xdotool").isEmpty())                                         \
    GTEST_SKIP() << "needs the rig's X server, trayer and xdotool"

QString screenshotPath(const QString &name)
{
    return QStringLiteral(LUMACAST_BINARY_DIR "/tests/app/shell/%1.png").arg(name);
}

// Clicks the tray icon with the left button and waits for the menu; saves what it shows.
void clickAndCapture(TrayItem &tray, const QString &name)
{
    const QRect icon = tray.icon().geometry();
    ASSERT_FALSE(icon.isEmpty());
    ASSERT_TRUE(runTool("xdotool", {"mousemove", QString::number(icon.center().x()), QString::number(icon.center().y()),
                                    "click", "1"}));
    ASSERT_TRUE(waitUntil([&] { return tray.menu().isVisible(); }, 5000));
    QTest::qWait(300); // let the menu paint before it is captured
    const QRect shown = tray.menu().geometry();
    const QImage shot = QGuiApplication::primaryScreen()
                            ->grabWindow(0, shown.x(), shown.y(), shown.width(), shown.height())
                            .toImage();
    EXPECT_TRUE(shot.save(screenshotPath(name)));
    tray.menu().hide();
}

TEST(TrayOnDisplay, LeftClickPopsTheMenuAndTheMenuFollowsTheState)
{
    REQUIRE_RIG();
    TrayHost host;
    ASSERT_TRUE(host.started());
    ASSERT_TRUE(waitUntil([&] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000));

    ManagerHarness harness;
    FakeShellCommands commands;
    harness.adoptSessionWithTakes({2});
    TrayItem tray(harness.m(), commands, {});
    tray.show();
    ASSERT_TRUE(waitUntil([&] { return !tray.icon().geometry().isEmpty(); }, 10000));
    QTest::qWait(500);

    clickAndCapture(tray, "tray-menu-idle");
    EXPECT_EQ(commands.calls, (QStringList{"menuDidOpen", "menuDidClose"}));
    QStringList shown;
    for (const QAction *action : tray.menu().actions())
        shown << action->text();
    EXPECT_TRUE(shown.contains("Start S1T3 (Scene 1 Take #3)")) << shown.join(" | ").toStdString();

    harness.m().setState(AppState::recording);
    clickAndCapture(tray, "tray-menu-recording");
    shown.clear();
    for (const QAction *action : tray.menu().actions())
        shown << action->text();
    EXPECT_TRUE(shown.contains("● Recording — Scene 1, Take 3")) << shown.join(" | ").toStdString();
    // "&" is doubled so that it shows instead of underlining the next letter.
    EXPECT_TRUE(shown.contains("End Take && New Scene"));
}

TEST(StatusIcon, TintsOnlyOpaquePixelsByState)
{
    const struct {
        AppState state;
        bool tinted;
        QColor dominant; // the channel that leads after tinting
    } cases[] = {
        {AppState::idle, false, {}},
        {AppState::starting, false, {}},
        {AppState::recording, true, Qt::red},
        {AppState::paused, true, Qt::yellow},
        {AppState::reviewing, true, Qt::blue},
    };
    const QImage plain = status_icon::statusImage(AppState::idle);
    ASSERT_EQ(plain.size(), QSize(24, 24));
    const QPoint ink(5, 19), clear(1, 1); // on the slate; outside the artwork
    for (const auto &c : cases) {
        const QImage image = status_icon::statusImage(c.state);
        EXPECT_EQ(qAlpha(image.pixel(clear)), 0);
        EXPECT_EQ(qAlpha(image.pixel(ink)), 255);
        const QColor pixel = image.pixelColor(ink);
        if (!c.tinted) {
            EXPECT_EQ(image, plain);
            continue;
        }
        const QColor tint = app_state::statusColor(c.state);
        // 60 % of the tint over the grey artwork.
        EXPECT_NEAR(pixel.red(), 0.6 * tint.red() + 0.4 * 128, 2);
        EXPECT_NEAR(pixel.green(), 0.6 * tint.green() + 0.4 * 128, 2);
        EXPECT_NEAR(pixel.blue(), 0.6 * tint.blue() + 0.4 * 128, 2);
    }
}

// ---- The program ------------------------------------------------------------------------------

const QString kProgram = QStringLiteral(LUMACAST_BINARY_DIR "/src/app/lumacast");

QString appLog(const QString &home)
{
    QFile file(home + "/.local/share/Logs/Lumacast/app.log");
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

class ProgramLaunch : public ::testing::Test {
protected:
    void SetUp() override
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        env.remove("XDG_CONFIG_HOME");
        env.remove("XDG_DATA_HOME");
        env.remove("XDG_CACHE_HOME");
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedChannels);
    }
    void TearDown() override
    {
        if (program.state() != QProcess::NotRunning) {
            program.kill();
            program.waitForFinished(5000);
        }
    }
    void start(const QStringList &arguments = {})
    {
        program.start(kProgram, arguments);
        ASSERT_TRUE(program.waitForStarted(5000));
        QTest::qWait(3000);
        ASSERT_EQ(program.state(), QProcess::Running) << "the application stays up without windows";
    }
    void terminateCleanly()
    {
        ::kill(pid_t(program.processId()), SIGTERM);
        ASSERT_TRUE(program.waitForFinished(10000));
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), 0);
    }

    QTemporaryDir home;
    QProcess program;
};

TEST_F(ProgramLaunch, TrayStartHandsASecondLaunchsDocumentToTheFirstAndQuitsOnSigterm)
{
    REQUIRE_RIG();
    TrayHost host;
    ASSERT_TRUE(host.started());
    ASSERT_TRUE(waitUntil([&] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000));
    start();

    QProcess second;
    second.setProcessEnvironment(program.processEnvironment());
    second.start(kProgram, {home.filePath("Talk.lumacast")});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 0);
    // The first instance's delegate had its manager from start-up and passed the document on.
    ASSERT_TRUE(waitUntil([&] { return appLog(home.path()).contains("openSession — Talk.lumacast"); }, 5000))
        << appLog(home.path()).toStdString();
    EXPECT_FALSE(appLog(home.path()).contains("no system tray"));
    terminateCleanly();
}

TEST_F(ProgramLaunch, WithoutATrayTheReviewWindowOpensWithItsNote)
{
    REQUIRE_RIG();
    // A tray host stopped by an earlier case takes a moment to leave.
    ASSERT_TRUE(waitUntil([&] { return !QSystemTrayIcon::isSystemTrayAvailable(); }, 10000));
    start();
    const QString log = appLog(home.path());
    EXPECT_TRUE(log.contains(QStringLiteral("[app] no system tray — opening the review window"))) << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("[window] openWindow(review) — activating")));
    QString windows;
    EXPECT_TRUE(runTool("xdotool", {"search", "--name", "^Review Take$"}, &windows));
    EXPECT_FALSE(windows.trimmed().isEmpty());
    terminateCleanly();
}

} // namespace
} // namespace lumacast::testing
