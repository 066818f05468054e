#include "capture/CaptureTargetPicker.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace lumacast {

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
    QMetaObject::invokeMethod(this, [this, filter = std::move(filter)] {
        if (onPick)
            onPick(filter);
        finish();
    }, Qt::QueuedConnection);
}

void CaptureTargetPicker::pickerDidCancel()
{
    QMetaObject::invokeMethod(this, [this] {
        if (onCancel)
            onCancel();
        finish();
    }, Qt::QueuedConnection);
}

void CaptureTargetPicker::pickerStartDidFail(const Error &error)
{
    QMetaObject::invokeMethod(this, [this, error] {
        if (onError)
            onError(error);
        finish();
    }, Qt::QueuedConnection);
}

void CaptureTargetPicker::finish()
{
    m_picker->setActive(false);
    m_picker->removeObserver(this);
    m_observing = false;
}

} // namespace lumacast
