#pragma once

#include "capture/CaptureTarget.h"
#include "model/Error.h"

#include <QObject>

#include <functional>
#include <vector>

namespace lumacast {

// Receives the outcome of one presentation of the sharing picker, on any thread.
class SharingPickerObserver {
public:
    virtual ~SharingPickerObserver() = default;
    virtual void pickerDidUpdate(ContentFilterRef filter) = 0;
    virtual void pickerDidCancel() = 0;
    virtual void pickerStartDidFail(const Error &error) = 0;
};

enum class SharingPickerMode { SingleWindow };

struct SharingPickerConfiguration {
    std::vector<SharingPickerMode> allowedPickerModes;
};

// The content-sharing picker of the desktop: one shared instance per process that lets the user
// choose what to record and reports the outcome to its observers. Used on the main thread.
class SharingPicker {
public:
    virtual ~SharingPicker() = default;
    virtual void setConfiguration(const SharingPickerConfiguration &configuration) = 0;
    virtual void setMaximumStreamCount(int count) = 0;
    virtual void addObserver(SharingPickerObserver *observer) = 0;
    virtual void removeObserver(SharingPickerObserver *observer) = 0;
    virtual void setActive(bool active) = 0;
    virtual bool isActive() const = 0;
    virtual void present() = 0;

    // The picker the application installed at start-up (the window picker dialog); until one is
    // installed, a picker whose every presentation fails with "No window picker is available".
    static SharingPicker &shared();
    // Called once on the main thread before the first presentation; the picker lives as long as
    // the process.
    static void installShared(SharingPicker &picker);
};

// The one place that talks to the sharing picker: it observes the picker while it is shown and
// turns each outcome into the matching callback on the main thread, then deactivates the picker
// and stops observing it.
class CaptureTargetPicker : public QObject, public SharingPickerObserver {
    Q_OBJECT
public:
    explicit CaptureTargetPicker(QObject *parent = nullptr);
    explicit CaptureTargetPicker(SharingPicker &picker, QObject *parent = nullptr);
    ~CaptureTargetPicker() override;

    std::function<void(ContentFilterRef)> onPick;
    std::function<void()> onCancel;
    std::function<void(const Error &)> onError;

    SharingPicker &picker() const { return *m_picker; }

    // The window-choice sequence: single-window configuration, at most one stream, this object
    // as observer, picker active, then present.
    void present();

    // SharingPickerObserver: may be called on any thread; the work hops to the main thread.
    void pickerDidUpdate(ContentFilterRef filter) override;
    void pickerDidCancel() override;
    void pickerStartDidFail(const Error &error) override;

private:
    void finish();

    SharingPicker *m_picker;
    bool m_observing = false;
};

} // namespace lumacast
