#include "platform/qt/QtPointerSource.h"

#include <QCursor>

namespace oculo {

QPointF QtPointerSource::position() const {
    return QPointF(QCursor::pos());
}

} // namespace oculo
