#include "app/LumacastApp.h"
#include "app/MenuKeyHintStyle.h"
#include "app/SingleInstance.h"
#include "capture/CameraCapture.h"
#include "control/AppStateManager.h"
#include "media/WorkingItem.h"
#include "platform/av/ProcessEnd.h"

#include <QApplication>
#include <QFileInfo>
#include <QSocketNotifier>

#include <csignal>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

// The running application, for the exit handler; null once the event loop has returned.
lumacast::LumacastApp *g_app = nullptr;

// Qt leaves with exit() when the display connection breaks; a take under way is finished first.
void finishTakeAtExit()
{
    if (g_app)
        g_app->finishTakeBeforeExit();
}

// Async-signal-safe: only a write. The event loop turns it into a quit request.
void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

void routeTerminationSignals(lumacast::LumacastApp &app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char byte = 0;
        [[maybe_unused]] const auto read = ::read(signalPipe[0], &byte, 1);
        app.requestQuit();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
}

// Document paths as the running instance can use them, whatever its working folder.
QStringList documentArguments(const QStringList &arguments)
{
    QStringList paths;
    for (const QString &argument : arguments.mid(1)) {
        if (argument.startsWith(QLatin1Char('-')))
            continue;
        paths << (argument.startsWith(QLatin1String("file:")) ? argument : QFileInfo(argument).absoluteFilePath());
    }
    return paths;
}

// Everything of the program lives in here, so that it is gone before the process ends.
int run(int argc, char **argv)
{
    // Capture, overlays and global shortcuts speak X11: in a Wayland session run on XWayland
    // unless the user chose a platform.
    if (qEnvironmentVariableIsSet("WAYLAND_DISPLAY") && !qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    lumacast::CameraCapture::chooseMediaBackend();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Lumacast"));
    QApplication::setApplicationVersion(QStringLiteral(LUMACAST_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("lumacast"));
    lumacast::MenuKeyHintStyle::install();

    const QStringList documents = documentArguments(QApplication::arguments());
    lumacast::SingleInstance instance(lumacast::SingleInstance::serverName());
    if (instance.handOffToRunningInstance(documents))
        return 0;

    lumacast::LumacastApp app(!lumacast::LumacastApp::isRunningUnderTestHost());
    QObject::connect(&instance, &lumacast::SingleInstance::launched, &app, &lumacast::LumacastApp::handleRelaunch);
    QObject::connect(&application, &QGuiApplication::commitDataRequest, &app, [&app] { app.requestQuit(); });
    routeTerminationSignals(app);
    g_app = &app;
    // Registered anew as each take starts: exit runs its handlers and the destructors of
    // function-local statics in reverse order of their making, and finishing a take uses statics
    // made after launch (the manifest's date parser among them).
    QObject::connect(&app.manager(), &lumacast::AppStateManager::stateChanged, &app, [&app] {
        if (app.manager().state() == lumacast::AppState::recording)
            std::atexit(finishTakeAtExit);
    });
    app.start(documents);
    const int code = QApplication::exec();
    g_app = nullptr;
    return code;
}

} // namespace

int main(int argc, char **argv)
{
    const int code = run(argc, argv);
    // An export's thread is detached and the process leaves without waiting for it or running its
    // destructors: what an export under way (Quit asked first) has written goes now.
    lumacast::WorkingItem::removeAllNow();
    lumacast::ProcessEnd::leave(code);
}
