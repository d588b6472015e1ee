#pragma once

#include <QObject>
#include <QRectF>

namespace oculo {

// Tells where the keyboard works in other applications: the text caret's
// character box, or the extents of the control that took the focus. Rectangles
// are in Qt's global logical space. Lives on the GUI thread.
class FocusSource : public QObject {
    Q_OBJECT

public:
    enum class Kind { caret, control };
    Q_ENUM(Kind)

    using QObject::QObject;

    // Listening costs the source and every application it listens to, so it
    // runs only while watched; a source that cannot listen says so once.
    virtual void setWatched(bool watched) = 0;

Q_SIGNALS:
    // Only for what the user is doing: background output never reaches here.
    void focusMoved(QRectF rect, oculo::FocusSource::Kind kind);
};

} // namespace oculo
