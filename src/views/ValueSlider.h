#pragma once

#include <QSlider>

namespace oculo {

// The zoom and transparency sliders of the tray panel, the settings window and
// the hover controls, with one scale each: zoom positions count zoom steps;
// transparency has no step, so its positions count thousandths, finer than a
// pixel of travel.
class ValueSlider : public QSlider {
    Q_OBJECT

public:
    static ValueSlider* zoom(QWidget* parent);
    static ValueSlider* transparency(QWidget* parent);

    // Moves the knob to `value` without announcing it as the user's choice.
    void showValue(double value);

Q_SIGNALS:
    // The user moved the knob to `value`.
    void valueChosen(double value);

private:
    ValueSlider(int positionsPerUnit, double minimum, double maximum, QWidget* parent);

    int position(double value) const;

    int m_positionsPerUnit;
};

} // namespace oculo
