#include "capture/PortalWindowPicker.h"

#include "model/LogCategories.h"
#include "platform/pipewire/ScreenCastPortal.h"
#include "store/Preferences.h"
#include "threads/ThreadBridge.h"

#include <QRectF>

#include <algorithm>
#include <optional>

namespace lumacast {

void PortalWindowPicker::addObserver(SharingPickerObserver *observer)
{
    if (std::find(m_observers.begin(), m_observers.end(), observer) == m_observers.end())
        m_observers.push_back(observer);
}

void PortalWindowPicker::removeObserver(SharingPickerObserver *observer)
{
    m_observers.erase(std::remove(m_observers.begin(), m_observers.end(), observer), m_observers.end());
}

void PortalWindowPicker::present()
{
    if (m_asking)
        return; // the desktop's chooser is already up
    m_asking = true;
    ask(); // runs on by itself; every outcome comes back on the main thread
}

QCoro::Task<> PortalWindowPicker::ask()
{
    struct Chosen {
        QRectF frame;
        std::optional<QString> restoreToken;
    };
    pipewire::CastRequest request;
    request.source = pipewire::CastRequest::Source::Window;
    // The portal's session starts and ends on the worker; only the chooser's answer comes back.
    auto choosing = runInBackground("lumacast-choose", [request] {
        pipewire::ScreenCastPortal portal;
        const pipewire::CastStream stream = portal.start(request);
        return Chosen{QRectF(0, 0, stream.width, stream.height), stream.restoreToken};
    });
    std::optional<Chosen> chosen;
    std::optional<pipewire::PortalError> failure;
    try {
        chosen = co_await choosing;
    } catch (const pipewire::PortalError &error) {
        failure = error;
    } catch (const std::exception &error) {
        qCWarning(log::recorder(), "the window chooser failed: %s", error.what());
    }
    m_asking = false;
    // The observers are read now, on the main thread: one that went away meanwhile is not called.
    const std::vector<SharingPickerObserver *> observers = m_observers;
    if (chosen) {
        Preferences::shared().setScreenCastRestoreToken(QStringLiteral("window"), chosen->restoreToken);
        const ContentFilterRef filter = ContentFilter::forWindow(0, chosen->frame);
        for (SharingPickerObserver *o : observers)
            o->pickerDidUpdate(filter);
    } else if (failure) {
        for (SharingPickerObserver *o : observers) {
            if (failure->kind() == pipewire::PortalError::Kind::cancelled)
                o->pickerDidCancel();
            else
                o->pickerStartDidFail(*failure);
        }
    }
}

void PortalWindowPicker::installAsShared()
{
    static PortalWindowPicker *instance = new PortalWindowPicker; // lives for the whole process
    SharingPicker::installShared(*instance);
}

} // namespace lumacast
