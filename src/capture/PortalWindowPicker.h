#pragma once

#include "capture/CaptureTargetPicker.h"

#include <qcoro/qcorotask.h>

#include <vector>

namespace lumacast {

// "Choose Window…" in a Wayland session: the desktop's own screen-sharing chooser, asked for one
// window. Its answer is kept as the restore token for windows, so the take that follows shares
// that window without asking again; the picked filter carries no X window (the desktop knows
// which one it is). A dismissed chooser is a cancel, a failed one a failure to start.
//
// Used on the main thread; the portal is asked on a worker of the thread bridge and every
// outcome comes back to the main thread.
class PortalWindowPicker : public SharingPicker {
public:
    void setConfiguration(const SharingPickerConfiguration &) override {}
    void setMaximumStreamCount(int) override {}
    void addObserver(SharingPickerObserver *observer) override;
    void removeObserver(SharingPickerObserver *observer) override;
    void setActive(bool active) override { m_active = active; }
    bool isActive() const override { return m_active; }
    void present() override;

    // Installs a process-lifetime instance as the shared picker.
    static void installAsShared();

private:
    QCoro::Task<> ask();

    std::vector<SharingPickerObserver *> m_observers;
    bool m_active = false;
    bool m_asking = false;
};

} // namespace lumacast
