#include "app/settings/AppKitSlider.h"

#include <QHBoxLayout>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>

#include <algorithm>
#include <cmath>

namespace lumacast {

AppKitSlider::AppKitSlider(double value, double minimum, double maximum, QWidget *parent)
    : QWidget(parent), m_minimum(minimum), m_maximum(maximum)
{
    m_slider = new QSlider(Qt::Horizontal, this);
    m_slider->setRange(0, steps);
    m_slider->setTracking(true);
    m_slider->setSingleStep(steps / 100);
    m_slider->setPageStep(steps / 10);
    m_slider->setTickPosition(QSlider::NoTicks);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_slider);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFocusProxy(m_slider);
    setValue(value);
    connect(m_slider, &QSlider::valueChanged, this, &AppKitSlider::userMoved);
}

void AppKitSlider::setValue(double value)
{
    if (value == m_value)
        return;
    m_value = std::isnan(value) ? m_minimum : std::clamp(value, m_minimum, m_maximum);
    const QSignalBlocker blocker(m_slider);
    m_slider->setValue(positionFor(m_value));
}

int AppKitSlider::positionFor(double value) const
{
    return int(std::lround((value - m_minimum) / (m_maximum - m_minimum) * steps));
}

void AppKitSlider::userMoved(int position)
{
    m_value = m_minimum + (m_maximum - m_minimum) * double(position) / steps;
    emit valueChanged(m_value);
}

int AppKitSlider::knobCentre(double value) const
{
    QStyleOptionSlider option;
    option.initFrom(m_slider);
    option.orientation = Qt::Horizontal;
    option.minimum = 0;
    option.maximum = steps;
    option.sliderPosition = positionFor(std::clamp(value, m_minimum, m_maximum));
    option.sliderValue = option.sliderPosition;
    const QRect handle =
        m_slider->style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, m_slider);
    return m_slider->geometry().left() + handle.center().x();
}

} // namespace lumacast
