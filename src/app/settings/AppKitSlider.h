#pragma once

#include <QWidget>

class QSlider;

namespace lumacast {

// A plain linear slider over a range of doubles that reports every step of a drag. Its value
// flows both ways: a user move emits `valueChanged` at once, and `setValue` from elsewhere moves
// the knob. The range is fixed when the slider is made. Main thread only; a disabled ancestor
// disables it, as for any widget.
class AppKitSlider : public QWidget {
    Q_OBJECT
public:
    // `minimum` < `maximum`.
    AppKitSlider(double value, double minimum, double maximum, QWidget *parent = nullptr);

    double value() const { return m_value; }
    // Moves the knob unless the slider already shows exactly this value (a value that compares
    // unequal to itself, NaN, always counts as different). Emits nothing. Values outside the
    // range are held at its ends.
    void setValue(double value);

    double minimum() const { return m_minimum; }
    double maximum() const { return m_maximum; }

    // The horizontal centre of the knob, in this widget's coordinates, when it shows `value`.
    int knobCentre(double value) const;

    // The number of positions of the track; fine enough to count as continuous.
    static constexpr int steps = 1000;

signals:
    // Only for the user's moves (drag, click on the track, keys), never for `setValue`.
    void valueChanged(double value);

private:
    void userMoved(int position);
    int positionFor(double value) const;

    QSlider *m_slider = nullptr;
    double m_value = 0;
    const double m_minimum;
    const double m_maximum;
};

} // namespace lumacast
