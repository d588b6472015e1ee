#include "views/ValueSlider.h"

#include "state/MagnifierState.h"

#include <QSignalBlocker>

#include <cmath>

namespace oculo {

ValueSlider* ValueSlider::zoom(QWidget* parent) {
    constexpr int stepsPerUnit = static_cast<int>(1.0 / MagnifierState::zoomStep);
    auto* slider =
        new ValueSlider(stepsPerUnit, MagnifierState::minZoom, MagnifierState::maxZoom, parent);
    slider->setPageStep(stepsPerUnit);
    return slider;
}

ValueSlider* ValueSlider::transparency(QWidget* parent) {
    constexpr int thousandths = 1000;
    auto* slider = new ValueSlider(thousandths, MagnifierState::minTransparency,
                                   MagnifierState::maxTransparency, parent);
    slider->setSingleStep(thousandths / 100);
    slider->setPageStep(thousandths / 10);
    return slider;
}

ValueSlider::ValueSlider(int positionsPerUnit, double minimum, double maximum, QWidget* parent)
    : QSlider(Qt::Horizontal, parent)
    , m_positionsPerUnit(positionsPerUnit) {
    setRange(position(minimum), position(maximum));
    connect(this, &QSlider::valueChanged, this, [this](int position) {
        Q_EMIT valueChosen(static_cast<double>(position) / m_positionsPerUnit);
    });
}

void ValueSlider::showValue(double value) {
    const QSignalBlocker blocker(this);
    setValue(position(value));
}

int ValueSlider::position(double value) const {
    return static_cast<int>(std::lround(value * m_positionsPerUnit));
}

} // namespace oculo
