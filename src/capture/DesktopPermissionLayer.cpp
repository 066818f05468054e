#include "capture/DesktopPermissionLayer.h"

#include "model/LogCategories.h"
#include "platform/audio/PulseAudio.h"
#include "platform/x11/DisplayProbe.h"

#include <QGuiApplication>
#include <QProcess>
#include <QWindow>

namespace lumacast {

MicrophoneAuthorization DesktopPermissionLayer::microphoneAuthorization()
{
    // Nobody grants the microphone on this desktop: without a sound server there is none.
    return pulse::serverAnswers() ? MicrophoneAuthorization::authorized : MicrophoneAuthorization::noSoundServer;
}

QCoro::Task<bool> DesktopPermissionLayer::requestMicrophoneAccess()
{
    // Nobody is asked on this desktop: the answer is whether the sound server is there.
    co_return pulse::serverAnswers();
}

bool DesktopPermissionLayer::screenCapturePreflight() { return x11::x11DisplayAvailable(); }

bool DesktopPermissionLayer::requestScreenCaptureAccess() { return x11::x11DisplayAvailable(); }

QCoro::Task<x11::ShareableContent> DesktopPermissionLayer::fetchShareableContent()
{
    co_return x11::fetchShareableContent(true);
}

void DesktopPermissionLayer::activateApplication()
{
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return;
    for (QWindow *window : QGuiApplication::topLevelWindows()) {
        if (window->isVisible()) {
            window->raise();
            window->requestActivate();
            return;
        }
    }
}

bool openDesktopPrivacySettings()
{
    // GNOME's settings at their privacy page, else KDE's settings application.
    const std::pair<const char *, QStringList> candidates[] = {
        {"gnome-control-center", {QStringLiteral("privacy")}},
        {"systemsettings", {}},
    };
    for (const auto &[program, arguments] : candidates)
        if (QProcess::startDetached(QString::fromLatin1(program), arguments))
            return true;
    qCWarning(lumacast::log::permissions(), "no settings application could be opened");
    return false;
}

} // namespace lumacast
