#include "capture/PortalWindowPicker.h"

#include "model/LogCategories.h"
#include "platform/pipewire/ScreenCastPortal.h"
#include "store/Preferences.h"
#include "threads/ThreadBridge.h"

#include <algorithm>
#include <thread>

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
    // The observers are read again on the main thread when the answer comes: one that went away
    // meanwhile is not called.
    std::thread([this] {
        nameCurrentThread("lumacast-choose");
        pipewire::CastRequest request;
        request.source = pipewire::CastRequest::Source::Window;
        try {
            pipewire::ScreenCastPortal portal;
            const pipewire::CastStream stream = portal.start(request);
            const QRectF frame(0, 0, stream.width, stream.height);
            postToMainThread([this, frame, token = stream.restoreToken] {
                m_asking = false;
                Preferences::shared().setScreenCastRestoreToken(QStringLiteral("window"), token);
                const ContentFilterRef filter = ContentFilter::forWindow(0, frame);
                for (SharingPickerObserver *o : std::vector(m_observers))
                    o->pickerDidUpdate(filter);
            });
        } catch (const pipewire::PortalError &error) {
            postToMainThread([this, error] {
                m_asking = false;
                for (SharingPickerObserver *o : std::vector(m_observers)) {
                    if (error.kind() == pipewire::PortalError::Kind::cancelled)
                        o->pickerDidCancel();
                    else
                        o->pickerStartDidFail(error);
                }
            });
        }
    }).detach();
}

void PortalWindowPicker::installAsShared()
{
    static PortalWindowPicker *instance = new PortalWindowPicker; // lives for the whole process
    SharingPicker::installShared(*instance);
}

} // namespace lumacast
