#include "app/LumacastApp.h"

#include "app/ApplicationMenus.h"
#include "app/InteractionWatch.h"
#include "app/ManagerShellCommands.h"
#include "app/OverlayAdapters.h"
#include "app/SettingsHostAdapter.h"
#include "app/ShellAdapters.h"
#include "app/TrayItem.h"
#include "app/TrayPresence.h"
#include "app/settings/HelpWindow.h"
#include "app/settings/SettingsWindow.h"
#include "capture/CaptureTargetPicker.h"
#include "control/AppStateManager.h"
#include "dialogs/ExportSummaryWindow.h"
#include "capture/CaptureRoad.h"
#include "capture/PortalWindowPicker.h"
#include "dialogs/MessageBoxAlerts.h"
#include "dialogs/PickerDialog.h"
#include "model/LogCategories.h"
#include "platform/x11/HotKeyGrabber.h"
#include "review/ReviewMainWindowHandle.h"
#include "review/ReviewSheet.h"
#include "review/ReviewWindow.h"
#include "store/AppLog.h"
#include "store/FilePanelGuard.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>

namespace lumacast {

LumacastApp::LumacastApp(bool startServices, QObject *parent)
    : QObject(parent)
    , m_services(ApplicationServices::make())
    , m_windows(m_services.services.appLog)
{
    QApplication::setQuitOnLastWindowClosed(AppDelegate::applicationShouldTerminateAfterLastWindowClosed());
    // In a Wayland session "Choose Window…" is the desktop's own screen-sharing chooser.
    if (captureRoadForSession() == CaptureRoad::ScreenCastPortal) {
        PortalWindowPicker::installAsShared();
        // The screen cast records every window, the review window included where it stays.
        review::ReviewMainWindowHandle::setHiddenWhenLeftOnScreen(true);
    } else {
        WindowSharingPicker::installAsShared();
    }

    m_manager = std::make_unique<AppStateManager>(m_services.services, startServices);
    m_interactionWatch = std::make_unique<InteractionWatch>(
        m_manager->interactions(), [manager = m_manager.get()] { return manager->shortcutBindings(); });
    m_commands = std::make_unique<ManagerShellCommands>(*m_manager);
    // After the layout's own reading of the keymap is dropped (connected first): every name of a
    // binding follows a new keyboard layout.
    connect(m_services.keyboard.get(), &x11::HotKeyGrabber::keyboardMappingChanged, m_manager.get(),
            &AppStateManager::keyNamesChanged);
    *m_services.updaterAlerts = [manager = QPointer<AppStateManager>(m_manager.get())](const AlertRequest &request) {
        return manager ? manager->runAlert(request) : -1;
    };
    m_services.border->attach(*m_manager);
    m_services.statusPanel->attach(*m_manager, *m_commands);

    // The delegate has its manager before any quit request or document can reach it, and the
    // window actions are in place before anything asks for a window.
    m_delegate.setManager(m_manager.get(), m_commands.get());
    // Every quit the manager left pending is answered here, whichever road it took: a take
    // finished first, or a quit deferred until a tail operation ended.
    m_services.application->terminationHandler = [this](bool terminate) {
        if (!m_quitPending)
            return;
        m_quitPending = false;
        if (terminate)
            finishQuit();
    };

    m_settingsHost = std::make_unique<SettingsHostAdapter>(*m_manager, *m_commands, m_services.shortcuts.get());
    m_menus = std::make_unique<ApplicationMenus>(
        *m_manager, *m_commands, FilePanelGuard::shared(),
        ApplicationMenus::Hooks{[this] { requestQuit(); }, {}, [this] { chooseWindow(); }});
    registerWindows();
    installWindowActions();
}

LumacastApp::~LumacastApp()
{
    // Windows may still call into the manager while they close.
    for (const QString &identifier : {QStringLiteral("review"), QStringLiteral("export"), QStringLiteral("settings"),
                                      QStringLiteral("help")})
        delete m_windows.window(identifier);
    m_tray.reset();
    m_trayPresence.reset();
    m_manager->setWindowActions({}, {}, {});
}

bool LumacastApp::isRunningUnderTestHost()
{
    return qEnvironmentVariableIsSet("XCTestConfigurationFilePath");
}

ShellCommands &LumacastApp::commands() const
{
    return *m_commands;
}

QString LumacastApp::missingTrayNote()
{
    return QStringLiteral("This desktop has no system tray, so Lumacast has no tray icon. "
                          "Use this window's menus to record, review and quit.");
}

void LumacastApp::installWindowActions()
{
    QPointer<WindowRegistry> windows(&m_windows);
    m_manager->setWindowActions(
        [windows](const QString &id) {
            if (windows)
                windows->openWindowActivating(id);
        },
        [windows](const QString &id) {
            if (windows)
                windows->openWindowWithoutActivating(id);
        },
        [windows](const QString &id) {
            if (windows)
                windows->dismissWindow(id);
        });
}

void LumacastApp::registerWindows()
{
    AppStateManager *manager = m_manager.get();
    SettingsHostAdapter *host = m_settingsHost.get();
    m_windows.registerWindow(QStringLiteral("export"), QStringLiteral("Export"),
                             [manager] { return new ExportSummaryWindow(*manager); });
    m_windows.registerWindow(QStringLiteral("settings"), QStringLiteral("Settings"),
                             [host] { return new SettingsWindow(*host); });
    m_windows.registerWindow(QStringLiteral("help"), QStringLiteral("Lumacast Help"), [] { return new HelpWindow(); });
    setReviewWindowFactory([manager] { return new review::ReviewWindow(*manager); });
    // Each window sizes itself from its content. The review window shows the menus on its menu
    // bar; every other window holds them unseen, so the menus' keys work whichever window has
    // the keyboard.
    connect(&m_windows, &WindowRegistry::windowOpened, this, [this](const QString &identifier, QWidget *window) {
        if (auto *main = qobject_cast<QMainWindow *>(window); main && identifier == QLatin1String("review")) {
            m_menus->install(*main->menuBar());
            // A sheet shadows the menu bar: Quit alone is typed to the sheet instead.
            for (review::ReviewSheet *sheet : main->findChildren<review::ReviewSheet *>())
                m_menus->installQuit(*sheet);
        } else {
            m_menus->install(*window);
        }
    });
}

void LumacastApp::setReviewWindowFactory(WindowRegistry::Factory factory)
{
    m_windows.registerWindow(QStringLiteral("review"), QStringLiteral("Review Take"), std::move(factory));
}

void LumacastApp::start(const QStringList &documents)
{
    m_trayPresence = std::make_unique<TrayPresence>();
    connect(m_trayPresence.get(), &TrayPresence::availableChanged, this, &LumacastApp::trayAvailabilityChanged);
    if (m_trayPresence->isAvailable()) {
        showTray();
    } else {
        m_services.services.appLog->log(QStringLiteral("[app] no system tray — opening the review window"));
        m_menus->setOffersCaptureChoices(true);
        m_windows.openWindowActivating(QStringLiteral("review"));
        showMissingTrayNote(m_windows.window(QStringLiteral("review")));
    }
    m_delegate.openDocumentURLs(documents);
}

void LumacastApp::showTray()
{
    // Made only once a tray is there: Qt picks the D-Bus road or the XEmbed one when the first
    // tray icon is made, and keeps that choice for the process.
    m_tray = std::make_unique<TrayItem>(*m_manager, *m_commands,
                                        TrayMenuModel::Hooks{[this] { requestQuit(); }, [this] { chooseWindow(); }});
    // Showing the menu hands the delegate its manager and the window actions again; both
    // are in place since start-up, so this only keeps them current.
    m_tray->setMenuAppearedAction([this] {
        m_delegate.setManager(m_manager.get(), m_commands.get());
        installWindowActions();
    });
    m_tray->show();
}

void LumacastApp::trayAvailabilityChanged(bool available)
{
    if (!available) {
        // The icon stays made: Qt embeds it again when an XEmbed tray returns and registers it
        // with a StatusNotifierWatcher that returns. Meanwhile the window's menus offer its choices.
        m_services.services.appLog->log(QStringLiteral("[app] the system tray went away"));
        m_menus->setOffersCaptureChoices(true);
        return;
    }
    m_services.services.appLog->log(QStringLiteral("[app] a system tray appeared — showing the tray icon"));
    m_menus->setOffersCaptureChoices(false);
    if (!m_tray)
        showTray();
    hideMissingTrayNote();
}

void LumacastApp::hideMissingTrayNote()
{
    if (!m_noteShown)
        return;
    m_noteShown = false;
    if (m_missingTrayBox)
        m_missingTrayBox->close();
    // The status bar exists only for the note: it goes with it, leaving no empty strip.
    auto *main = qobject_cast<QMainWindow *>(m_windows.window(QStringLiteral("review")));
    if (main && main->findChild<QStatusBar *>(QString(), Qt::FindDirectChildrenOnly))
        main->setStatusBar(nullptr);
}

void LumacastApp::showMissingTrayNote(QWidget *reviewWindow)
{
    if (m_noteShown || !reviewWindow)
        return;
    m_noteShown = true;
    if (auto *main = qobject_cast<QMainWindow *>(reviewWindow)) {
        main->statusBar()->showMessage(missingTrayNote());
        return;
    }
    auto *box = new QMessageBox(QMessageBox::Information, QStringLiteral("Lumacast"), missingTrayNote(),
                                QMessageBox::Ok, reviewWindow);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    m_missingTrayBox = box;
}

void LumacastApp::handleRelaunch(const QStringList &documents)
{
    m_delegate.applicationShouldHandleReopen(m_windows.hasVisibleWindows());
    m_delegate.openDocumentURLs(documents);
}

void LumacastApp::chooseWindow()
{
    CaptureTargetPicker &picker = m_manager->captureTargetPicker();
    QPointer<AppStateManager> manager(m_manager.get());
    ShellCommands *commands = m_commands.get();
    picker.onPick = [manager, commands](ContentFilterRef filter) {
        if (manager)
            commands->applyPickedContent(filter);
    };
    picker.onError = [manager, commands](const Error &error) {
        if (manager)
            commands->reportWindowPickerFailure(error);
    };
    picker.present();
}

void LumacastApp::requestQuit()
{
    if (m_quitPending)
        return;
    switch (m_delegate.applicationShouldTerminate()) {
    case QuitReply::terminateNow:
        finishQuit();
        break;
    case QuitReply::terminateLater:
        m_quitPending = true;
        break;
    case QuitReply::cancel:
        break; // the failed save has been reported; the application stays open
    }
}

void LumacastApp::finishTakeBeforeExit(int limitMs)
{
    AppStateManager &m = *m_manager;
    const auto takeUnderWay = [&m] { return m.isRecording() || m.inFlightTakeFilename().has_value(); };
    if (!takeUnderWay())
        return;
    qCWarning(log::app(), "the display is gone during a take: finishing the take before exiting");
    MessageBoxAlerts::setDisplayLost();
    // Ended already when the capture saw the display go; if not, now.
    if (m.isRecording())
        m_commands->endTake();
    QDeadlineTimer deadline(limitMs);
    while (takeUnderWay() && !deadline.hasExpired()) {
        QCoreApplication::sendPostedEvents();
        QThread::msleep(10);
    }
    qCWarning(log::app(), "take %s before exiting", takeUnderWay() ? "not finished" : "finished");
}

void LumacastApp::finishQuit()
{
    m_delegate.applicationWillTerminate();
    emit quitting();
    // exit(), not quit(): Qt's quit first asks every window to close, and the review window's
    // close guard would ask again whether to save a session the delegate has just settled,
    // with a modal alert that keeps the program running.
    QCoreApplication::exit(0);
}

} // namespace lumacast
