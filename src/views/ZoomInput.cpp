#include "views/ZoomInput.h"

#include "state/MagnifierState.h"

#include <QKeyEvent>
#include <QWheelEvent>

namespace oculo {

void ZoomInput::wheel(int verticalDelta) {
    if (verticalDelta > 0) {
        m_state.zoomIn();
    } else if (verticalDelta < 0) {
        m_state.zoomOut();
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
