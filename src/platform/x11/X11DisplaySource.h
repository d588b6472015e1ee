#pragma once

#include "platform/DisplaySource.h"

#include <QByteArray>

namespace oculo {

// Lists the RandR monitors of an X display, primary first. Each display's id
// is its monitor name atom; its frame is in Qt's global logical space when Qt
// shows the same X display, else in device pixels with a ratio of 1.
class X11DisplaySource final : public DisplaySource {
public:
    // `displayName` empty: the display named by $DISPLAY (the one Qt uses).
    explicit X11DisplaySource(QByteArray displayName = {});

    // A synchronous query: a local server answers within a millisecond.
    QCoro::Task<DisplayQueryResult> queryDisplays() override;
    DisplayQueryResult queryDisplaysNow() const;

private:
    QByteArray m_displayName;
};

} // namespace oculo
