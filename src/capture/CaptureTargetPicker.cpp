#include "capture/CaptureTargetPicker.h"

#include "threads/ThreadBridge.h"

#include <QCoreApplication>
#include <QPointer>
#include <QString>

#include <algorithm>
#include <vector>

namespace lumacast {

namespace {

// Stands in until the application installs its window picker, so that a presentation without
// one reports a failure instead of showing nothing.
class UnavailableSharingPicker : public SharingPicker {
public:
    void setConfiguration(const SharingPickerConfiguration &) override {}
    void setMaximumStreamCount(int) override {}
    void addObserver(SharingPickerObserver *observer) override { m_observers.push_back(observer); }
    void removeObserver(SharingPickerObserver *observer) override { std::erase(m_observers, observer); }
    void setActive(bool active) override { m_active = active; }
    bool isActive() const override { return m_active; }
    void present() override
    {
        const Error failure(QStringLiteral("No window picker is available"));
        const auto observers = m_observers; // observers remove themselves while being told
        for (SharingPickerObserver *o : observers)
            o->pickerStartDidFail(failure);
    }

private:
    std::vector<SharingPickerObserver *> m_observers;
    bool m_active = false;
};

SharingPicker *g_sharedPicker = nullptr;

} // namespace

SharingPicker &SharingPicker::shared()
{
    if (!g_sharedPicker) {
        static UnavailableSharingPicker unavailable;
        return unavailable;
    }
    return *g_sharedPicker;
}

void SharingPicker::installShared(SharingPicker &picker)
{
    g_sharedPicker = &picker;
}

CaptureTargetPicker::CaptureTargetPicker(QObject *parent) : CaptureTargetPicker(SharingPicker::shared(), parent) {}

CaptureTargetPicker::CaptureTargetPicker(SharingPicker &picker, QObject *parent) : QObject(parent), m_picker(&picker)
{
    // Outcomes are handled on the main thread whatever thread created us.
    if (QCoreApplication::instance())
        moveToThread(QCoreApplication::instance()->thread());
}

CaptureTargetPicker::~CaptureTargetPicker()
{
    if (m_observing)
        m_picker->removeObserver(this);
}

void CaptureTargetPicker::present()
{
    m_picker->setConfiguration(SharingPickerConfiguration{{SharingPickerMode::SingleWindow}});
    m_picker->setMaximumStreamCount(1);
    m_picker->addObserver(this);
    m_observing = true;
    m_picker->setActive(true);
    m_picker->present();
}

void CaptureTargetPicker::pickerDidUpdate(ContentFilterRef filter)
{
    postToMainThread(QPointer<CaptureTargetPicker>(this), [this, filter = std::move(filter)] {
        if (onPick)
            onPick(filter);
        finish();
    });
}

void CaptureTargetPicker::pickerDidCancel()
{
    postToMainThread(QPointer<CaptureTargetPicker>(this), [this] {
        if (onCancel)
            onCancel();
        finish();
    });
}

void CaptureTargetPicker::pickerStartDidFail(const Error &error)
{
    postToMainThread(QPointer<CaptureTargetPicker>(this), [this, error] {
        if (onError)
            onError(error);
        finish();
    });
}

void CaptureTargetPicker::finish()
{
    m_picker->setActive(false);
    m_picker->removeObserver(this);
    m_observing = false;
}

} // namespace lumacast
