#include "support/AppDriver.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <csignal>

namespace {

const char *const kProgram = LUMACAST_BINARY_DIR "/src/app/lumacast";

void stop(std::unique_ptr<QProcess> &process)
{
    if (!process)
        return;
    if (process->state() != QProcess::NotRunning) {
        process->terminate();
        if (!process->waitForFinished(3000)) {
            process->kill();
            process->waitForFinished(3000);
        }
    }
    process.reset();
}

} // namespace

QStringList AppDriver::rootPropertyNames(const QString &display)
{
    QStringList names;
    for (const QString &line :
         run(QStringLiteral("xprop"), {QStringLiteral("-display"), display, QStringLiteral("-root")}).split(u'\n'))
        if (!line.isEmpty() && !line.front().isSpace())
            names << line.section(QRegularExpression(QStringLiteral("[(:]")), 0, 0).trimmed();
    return names;
}

AppDriver::AppDriver(QString outputFolder) : m_output(std::move(outputFolder))
{
    QDir().mkpath(m_output);
    QDir().mkpath(temporaryFolder());
}

AppDriver::~AppDriver()
{
    m_accessibility.reset();
    stop(m_app);
    stop(m_tone);
    stop(m_tray);
    stop(m_windowManager);
    if (!m_rootPropertiesBefore.isEmpty())
        for (const QString &name : rootPropertyNames(m_windowManagerDisplay))
            if (!m_rootPropertiesBefore.contains(name))
                run(QStringLiteral("xprop"), {QStringLiteral("-display"), m_windowManagerDisplay, QStringLiteral("-root"),
                                              QStringLiteral("-remove"), name});
    // The accessibility bus and its registry end with the session bus that started them.
    stop(m_bus);
}

void AppDriver::ensureApplication()
{
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "lumacast_driving_tests";
    static char *argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
}

QString AppDriver::missingTools(const QStringList &tools)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return QStringLiteral("no X display");
    QStringList missing;
    for (const QString &tool : tools)
        if (QStandardPaths::findExecutable(tool).isEmpty())
            missing << tool;
    if (!QFile::exists(QStringLiteral("/usr/share/dbus-1/services/org.a11y.Bus.service")))
        missing << QStringLiteral("at-spi2-core");
    if (!QFile::exists(QString::fromLatin1(kProgram)))
        missing << QString::fromLatin1(kProgram);
    return missing.join(QLatin1String(", "));
}

QProcessEnvironment AppDriver::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home() + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home() + QStringLiteral("/.cache"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home() + QStringLiteral("/.local/share"));
    env.insert(QStringLiteral("TMPDIR"), temporaryFolder());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    // Our own session bus; Qt's accessibility bridge on, as when a screen reader runs. The
    // bridge finds the accessibility bus through the session bus.
    if (m_busAddress.isEmpty()) // for the bus itself, which its services learn from it
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    else
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_busAddress);
    env.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
    env.remove(QStringLiteral("AT_SPI_BUS_ADDRESS"));
    // A program built with AddressSanitizer: Qt's allocations kept for the process's lifetime are
    // no leaks, and would fail every exit.
    const QString sanitizer = env.value(QStringLiteral("ASAN_OPTIONS"));
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               (sanitizer.isEmpty() ? QString() : sanitizer + QLatin1Char(':')) + QStringLiteral("detect_leaks=0"));
    env.remove(QStringLiteral("XCTestConfigurationFilePath"));
    return env;
}

bool AppDriver::startRig(const QString &sessionBus)
{
    if (!m_home.isValid())
        return false;
    // Keys go where the pointer is, so no window left focused by an earlier test eats them.
    run(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QStringLiteral("960"), QStringLiteral("700")});
    if (!sessionBus.isEmpty()) {
        m_busAddress = sessionBus;
        return startWindowManager();
    }
    m_bus = std::make_unique<QProcess>();
    m_bus->setProcessEnvironment(environment());
    m_bus->setStandardErrorFile(m_output + QStringLiteral("/dbus.log"), QIODevice::Append);
    m_bus->start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    if (!m_bus->waitForStarted() || !m_bus->waitForReadyRead(10000))
        return false;
    m_busAddress = QString::fromUtf8(m_bus->readLine()).trimmed();
    if (m_busAddress.isEmpty())
        return false;
    m_tray = std::make_unique<QProcess>();
    m_tray->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_tray->start(QStringLiteral("trayer"),
                  {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"), QStringLiteral("right"),
                   QStringLiteral("--widthtype"), QStringLiteral("pixel"), QStringLiteral("--width"),
                   QStringLiteral("200"), QStringLiteral("--heighttype"), QStringLiteral("pixel"),
                   QStringLiteral("--height"), QStringLiteral("32")});
    m_tone = std::make_unique<QProcess>();
    m_tone->start(QStringLiteral("ffmpeg"),
                  {QStringLiteral("-loglevel"), QStringLiteral("error"), QStringLiteral("-re"), QStringLiteral("-f"),
                   QStringLiteral("lavfi"), QStringLiteral("-i"), QStringLiteral("sine=f=440"), QStringLiteral("-f"),
                   QStringLiteral("pulse"), QStringLiteral("-device"), QStringLiteral("micfeed"),
                   QStringLiteral("lumacast-road-tone")});
    return m_tray->waitForStarted() && m_tone->waitForStarted()
        && waitUntil([this] { return findWindow(QStringLiteral("^panel$")).has_value(); }, std::chrono::seconds(10))
        && startWindowManager();
}

bool AppDriver::startWindowManager()
{
    // A window manager, as on a desktop: minimizing for a take and bringing the window back
    // afterwards are real only under one. Started once a tray (trayer, or the caller's) holds its
    // connection: an X server started without -noreset resets when its last client leaves, and a
    // client that connects meanwhile is refused.
    m_windowManagerDisplay = qEnvironmentVariable("DISPLAY");
    m_rootPropertiesBefore = rootPropertyNames(m_windowManagerDisplay);
    m_windowManager = std::make_unique<QProcess>();
    m_windowManager->setProcessEnvironment(environment());
    m_windowManager->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_windowManager->start(QStringLiteral("openbox"), {QStringLiteral("--sm-disable")});
    const auto managing = [] {
        return run(QStringLiteral("xprop"), {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")})
            .contains(QStringLiteral("window id"));
    };
    return m_windowManager->waitForStarted() && waitUntil(managing, std::chrono::seconds(10));
}

void AppDriver::start(QProcess &process, const QStringList &arguments) const
{
    process.setProcessEnvironment(environment());
    process.setStandardOutputFile(m_output + QStringLiteral("/lumacast.out"), QIODevice::Append);
    process.setStandardErrorFile(m_output + QStringLiteral("/lumacast.out"), QIODevice::Append);
    process.start(QString::fromLatin1(kProgram), arguments);
}

bool AppDriver::launch(const QStringList &arguments)
{
    m_accessibility.reset();
    m_accessibilityTried = false;
    stop(m_app);
    m_app = std::make_unique<QProcess>();
    start(*m_app, arguments);
    const auto ready = [this] {
        return m_tray ? trayIcon().has_value() : logText().contains(QStringLiteral("[app] init — ready"));
    };
    return m_app->waitForStarted() && waitUntil(ready, std::chrono::seconds(30));
}

int AppDriver::launchAgain(const QStringList &arguments, std::chrono::milliseconds timeout)
{
    QProcess second;
    start(second, arguments);
    if (!second.waitForFinished(int(timeout.count()))) {
        second.kill();
        second.waitForFinished(3000);
        return -1;
    }
    return second.exitStatus() == QProcess::NormalExit ? second.exitCode() : -1;
}

bool AppDriver::running() const
{
    // Without an event loop QProcess learns of the exit only inside a wait.
    if (m_app && m_app->state() != QProcess::NotRunning)
        m_app->waitForFinished(0);
    return m_app && m_app->state() != QProcess::NotRunning;
}

QString AppDriver::exitState() const
{
    if (!m_app || running())
        return m_app ? QStringLiteral("running") : QStringLiteral("not launched");
    if (m_app->exitStatus() == QProcess::CrashExit)
        return QStringLiteral("crashed");
    return QStringLiteral("exited with status %1").arg(m_app->exitCode());
}

void AppDriver::terminate()
{
    if (running())
        ::kill(static_cast<pid_t>(m_app->processId()), SIGTERM);
}

bool AppDriver::quit()
{
    if (!running())
        return false;
    terminate();
    return m_app->waitForFinished(20000) && m_app->exitStatus() == QProcess::NormalExit && m_app->exitCode() == 0;
}

QString AppDriver::programOutput() const
{
    QFile file(m_output + QStringLiteral("/lumacast.out"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QString AppDriver::sanitizerReport() const
{
    const QString out = programOutput();
    static const QRegularExpression report(
        QStringLiteral("ERROR: AddressSanitizer|runtime error:|UndefinedBehaviorSanitizer"));
    const qsizetype at = out.indexOf(report);
    return at < 0 ? QString() : out.mid(out.lastIndexOf(QLatin1Char('\n'), at) + 1, 8000);
}

QString AppDriver::mainThreadStack() const
{
    if (!running() || QStandardPaths::findExecutable(QStringLiteral("gdb")).isEmpty())
        return {};
    return run(QStringLiteral("gdb"), {QStringLiteral("-p"), QString::number(m_app->processId()), QStringLiteral("-batch"),
                                       QStringLiteral("-ex"), QStringLiteral("thread apply all bt 25")},
               nullptr, 90000);
}

void AppDriver::killHard()
{
    if (!running())
        return;
    ::kill(static_cast<pid_t>(m_app->processId()), SIGKILL);
    m_app->waitForFinished(5000);
}

const AccessibilityTree *AppDriver::accessibility()
{
    if (!m_accessibility && !m_accessibilityTried && running()) {
        m_accessibilityTried = true;
        auto tree = std::make_unique<AccessibilityTree>(m_busAddress, m_app->processId());
        if (tree->attach(std::chrono::seconds(15)))
            m_accessibility = std::move(tree);
    }
    return m_accessibility.get();
}

std::optional<QPoint> AppDriver::widgetCentre(const QString &role, const QString &name,
                                              std::chrono::milliseconds timeout)
{
    const AccessibilityTree *tree = accessibility();
    if (!tree)
        return std::nullopt;
    const auto widget = tree->waitFor(role, name, timeout);
    if (!widget || widget->extents.isEmpty())
        return std::nullopt;
    return widget->extents.center();
}

void AppDriver::key(const QString &keys)
{
    run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("60"), keys});
}

void AppDriver::keyTo(const QString &windowName, const QString &keys)
{
    if (const auto window = findWindow(windowName)) {
        run(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::number(*window)});
        QThread::msleep(200);
    }
    key(keys);
}

void AppDriver::click(QPoint point)
{
    run(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QString::number(point.x()), QString::number(point.y()),
                                    QStringLiteral("click"), QStringLiteral("1")});
}

bool AppDriver::minimize(qulonglong window)
{
    run(QStringLiteral("xdotool"), {QStringLiteral("windowminimize"), QString::number(window)});
    return waitUntil([&] { return !visibleWindows().contains(window); }, std::chrono::seconds(5));
}

bool AppDriver::openPopup(QPoint point)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const QList<qulonglong> before = appWindows();
        run(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QStringLiteral("960"), QStringLiteral("700")});
        QThread::msleep(200);
        click(point);
        if (waitForNewWindow(before, std::chrono::seconds(2))) {
            QThread::msleep(300);
            return true;
        }
    }
    return false;
}

bool AppDriver::chooseMenuItem(const QString &menu, const QString &item)
{
    const AccessibilityTree *tree = accessibility();
    if (!tree)
        return false;
    const auto bar = tree->waitFor(QStringLiteral("menu bar"), QString(), std::chrono::seconds(5));
    const auto title = bar ? tree->find(QStringLiteral("menu item"), menu, bar) : std::nullopt;
    if (!title || !openPopup(title->extents.center()))
        return false;
    // Looked for under the menu bar, which stays, rather than under its menu's item, which the
    // program rebuilds on state changes. Only the open menu is on screen.
    const auto entry = tree->waitFor(QStringLiteral("menu item"), item, std::chrono::seconds(5), bar);
    if (!entry)
        return false;
    click(entry->extents.center());
    return true;
}

void AppDriver::type(const QString &text)
{
    run(QStringLiteral("xdotool"), {QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("20"), text});
}

std::optional<qulonglong> AppDriver::waitForNewWindow(const QList<qulonglong> &known,
                                                       std::chrono::milliseconds timeout) const
{
    std::optional<qulonglong> found;
    waitUntil(
        [&] {
            for (const qulonglong window : appWindows())
                if (!known.contains(window))
                    found = window;
            return found.has_value();
        },
        timeout);
    return found;
}

bool AppDriver::answerFilePanel(const std::function<void()> &opening, const QString &path)
{
    const QList<qulonglong> before = appWindows();
    opening();
    const auto panel = waitForNewWindow(before, std::chrono::seconds(10));
    if (!panel)
        return false;
    QThread::msleep(500);
    run(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::number(*panel)});
    key(QStringLiteral("ctrl+a"));
    type(path);
    QThread::msleep(200);
    key(QStringLiteral("Return"));
    return waitUntil([&] { return !appWindows().contains(*panel); }, std::chrono::seconds(10));
}

QList<qulonglong> AppDriver::visibleWindows() const
{
    QList<qulonglong> windows;
    const QString out = run(QStringLiteral("xdotool"),
                            {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                             QStringLiteral(".*")});
    for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        windows << line.trimmed().toULongLong();
    return windows;
}

QList<qulonglong> AppDriver::appWindows() const
{
    QList<qulonglong> windows;
    if (!running())
        return windows;
    const QString out = run(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                                        QStringLiteral("--pid"), QString::number(m_app->processId())});
    for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        windows << line.trimmed().toULongLong();
    return windows;
}

QString AppDriver::windowName(qulonglong window) const
{
    return run(QStringLiteral("xdotool"), {QStringLiteral("getwindowname"), QString::number(window)}).trimmed();
}

QList<qulonglong> AppDriver::alerts() const
{
    QList<qulonglong> found;
    for (const qulonglong window : appWindows()) {
        const auto rect = geometry(window);
        if (windowName(window) == QLatin1String("Lumacast") && rect && rect->width() > 64 && rect->width() < 1920)
            found << window;
    }
    return found;
}

std::optional<qulonglong> AppDriver::waitForAlert(std::chrono::milliseconds timeout) const
{
    QList<qulonglong> found;
    waitUntil([&] { return !(found = alerts()).isEmpty(); }, timeout);
    return found.isEmpty() ? std::nullopt : std::optional(found.last());
}

std::optional<qulonglong> AppDriver::findWindow(const QString &namePattern) const
{
    // Names are matched here rather than by xdotool's own pattern, which missed windows whose
    // names were plainly there.
    const QRegularExpression pattern(namePattern);
    std::optional<qulonglong> found;
    for (const qulonglong window : visibleWindows())
        if (pattern.match(windowName(window)).hasMatch())
            found = window;
    return found;
}

std::optional<QRect> AppDriver::geometry(qulonglong window) const
{
    int code = 0;
    const QString out = run(QStringLiteral("xdotool"), {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"),
                                                        QString::number(window)},
                            &code);
    if (code != 0)
        return std::nullopt;
    QRect rect;
    for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const int value = line.section(QLatin1Char('='), 1).toInt();
        if (line.startsWith(QLatin1String("X=")))
            rect.moveLeft(value);
        else if (line.startsWith(QLatin1String("Y=")))
            rect.moveTop(value);
        else if (line.startsWith(QLatin1String("WIDTH=")))
            rect.setWidth(value);
        else if (line.startsWith(QLatin1String("HEIGHT=")))
            rect.setHeight(value);
    }
    return rect;
}

std::optional<QRect> AppDriver::trayIcon() const
{
    // The tray host embeds our icon window, named after the application, in its 32 px strip.
    for (const qulonglong window : visibleWindows()) {
        if (windowName(window) != QLatin1String("Lumacast"))
            continue;
        const auto rect = geometry(window);
        if (rect && rect->top() >= 0 && rect->top() < 32 && rect->height() <= 32 && rect->width() <= 64
            && rect->right() < 1920)
            return rect;
    }
    return std::nullopt;
}

QString AppDriver::screenshot(const QString &name, std::optional<QRect> area) const
{
    const QString path = m_output + QLatin1Char('/') + name + QStringLiteral(".png");
    const QRect rect = area.value_or(QRect(0, 0, 1920, 1080));
    const QString display = qEnvironmentVariable("DISPLAY");
    run(QStringLiteral("ffmpeg"),
        {QStringLiteral("-loglevel"), QStringLiteral("error"), QStringLiteral("-y"), QStringLiteral("-f"),
         QStringLiteral("x11grab"), QStringLiteral("-video_size"),
         QStringLiteral("%1x%2").arg(rect.width()).arg(rect.height()), QStringLiteral("-i"),
         QStringLiteral("%1+%2,%3").arg(display).arg(rect.x()).arg(rect.y()), QStringLiteral("-frames:v"),
         QStringLiteral("1"), path});
    return path;
}

void AppDriver::keepEvidence(const QString &name)
{
    screenshot(name);
    const auto write = [this](const QString &file, const QString &text) {
        QFile out(m_output + QLatin1Char('/') + file);
        if (out.open(QIODevice::WriteOnly))
            out.write(text.toUtf8());
    };
    write(QStringLiteral("app.log"), logText());
    if (const AccessibilityTree *tree = running() ? accessibility() : nullptr)
        write(QStringLiteral("accessibility.txt"), tree->dump());
    write(QStringLiteral("stack.txt"), mainThreadStack());
}

QString AppDriver::logText() const
{
    QFile file(home() + QStringLiteral("/.local/share/Logs/Lumacast/app.log"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

bool AppDriver::waitForLog(const QString &line, std::chrono::milliseconds timeout, qsizetype from) const
{
    return waitUntil([&] { return logText().indexOf(line, from) >= 0; }, timeout);
}

QString AppDriver::scratchFolder() const
{
    QDir root(home() + QStringLiteral("/.cache/Lumacast/Sessions"));
    const QFileInfoList folders = root.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Time);
    return folders.isEmpty() ? QString() : folders.first().absoluteFilePath();
}

QJsonObject AppDriver::manifest(const QString &sessionFolder) const
{
    QFile file(sessionFolder + QStringLiteral("/manifest.json"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

bool AppDriver::waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QThread::msleep(100);
    }
    return true;
}

QString AppDriver::run(const QString &program, const QStringList &arguments, int *exitCode, int timeoutMs)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromUtf8(process.readAllStandardOutput());
}
