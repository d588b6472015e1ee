#include "views/ZoomInput.h"

#include "state/MagnifierState.h"

#include <QKeyEvent>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace oculo {

void ZoomInput::wheel(int verticalDelta) {
    // Turning back starts afresh instead of first paying off the other way.
    if ((verticalDelta > 0 && m_pendingAngle < 0) || (verticalDelta < 0 && m_pendingAngle > 0)) {
        m_pendingAngle = 0;
    }
    m_pendingAngle += verticalDelta;
    const qint64 steps = m_pendingAngle / anglePerStep;
    m_pendingAngle -= steps * anglePerStep;
    // More steps than the whole zoom range holds change nothing more.
    const int stepsInRange = static_cast<int>(
        std::ceil((MagnifierState::maxZoom - MagnifierState::minZoom) / MagnifierState::zoomStep));
    for (qint64 i = 0; i < std::min<qint64>(std::abs(steps), stepsInRange); ++i) {
        if (steps > 0) {
            m_state.zoomIn();
        } else {
            m_state.zoomOut();
        }
    }
}

void ZoomInput::wheel(const QWheelEvent& event) {
    wheel(event.angleDelta().y());
}

bool ZoomInput::key(const QString& characters) {
    if (characters == QLatin1String("+") || characters == QLatin1String("=")) {
        m_state.zoomIn();
        return true;
    }
    if (characters == QLatin1String("-") || characters == QLatin1String("_")) {
        m_state.zoomOut();
        return true;
    }
    return false;
}

bool ZoomInput::key(const QKeyEvent& event) {
    return key(charactersIgnoringModifiers(event));
}

QString ZoomInput::charactersIgnoringModifiers(const QKeyEvent& event) {
    const QString text = event.text();
    const bool printable = !text.isEmpty() && text.at(0).isPrint();
    if (printable) {
        return text;
    }
    // Control+minus yields a control character or nothing; the key still
    // names the symbol of the layout.
    switch (event.key()) {
    case Qt::Key_Plus:
        return QStringLiteral("+");
    case Qt::Key_Equal:
        return QStringLiteral("=");
    case Qt::Key_Minus:
        return QStringLiteral("-");
    case Qt::Key_Underscore:
        return QStringLiteral("_");
    default:
        return text;
    }
}

} // namespace oculo
