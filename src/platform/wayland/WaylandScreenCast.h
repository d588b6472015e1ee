#pragma once

#include "platform/DisplaySource.h"
#include "platform/wayland/ScreenCastPortal.h"

#include <QList>
#include <QObject>
#include <QPointF>
#include <QRectF>
#include <QTimer>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>
#include <optional>

namespace oculo::wayland {

class PipeWireConnection;

// The one screen-cast session Oculo holds on Wayland: the portal's walk, the
// restore token that makes later starts silent, the PipeWire connection with
// one stream per shared monitor, and the pointer as the streams' metadata
// tells it. A session shares the monitors there were at its start: when Qt's
// screens change, it is opened anew once the burst of changes is over, and
// display queries meanwhile wait for it. GUI thread only, except where noted.
class WaylandScreenCast : public QObject {
    Q_OBJECT

public:
    // `restoreToken`: the one stored by the last start, if any.
    explicit WaylandScreenCast(QString restoreToken, QObject* parent = nullptr);
    ~WaylandScreenCast() override;

    enum class Asker {
        displayQuery, // may walk the portal (and show its dialog) again
        stream,       // only waits for a walk under way: sharing anew is the user's call
    };

    // A live session, opened now when there is none; the error says why not.
    QCoro::Task<std::optional<DisplayQueryError>> ensureSession(Asker asker);
    bool isLive() const { return m_connection != nullptr; }
    std::shared_ptr<PipeWireConnection> connection() const { return m_connection; }
    const QList<PortalStream>& streams() const { return m_streams; }
    // The index of the shared monitor that shows `frame` (Qt's logical
    // coordinates): the stream at its place and of its size, or the only one.
    std::optional<int> screenShowing(const QRectF& frame) const;
    // Whether the streams carry the pointer as metadata (else it is drawn into them).
    bool hasPointerMetadata() const;
    // Why the pointer cannot be followed; empty while it can (or before a session).
    QString pointerUnavailableReason() const { return m_pointerUnavailableReason; }
    // The pointer in Qt's global logical space, as the newest metadata had it,
    // and when the metadata first had it there.
    struct PointerSighting {
        QPointF position;
        std::chrono::steady_clock::time_point arrived;
    };
    std::optional<PointerSighting> pointer() const;
    // pointerMoved() is emitted only while watched: each one wakes the GUI thread.
    void setPointerWatched(bool watched);
    // Ends the session (tests, and quitting).
    void close();
    // A stream of the session ended on its own (its node went away). Reported
    // as the end of the session unless the screens change meanwhile.
    void noteScreenLost();
    // Qt's screens were added, removed or moved (connected to Qt's signals).
    void noteScreensChanged();
    // How long the screens must keep still before the session is opened anew.
    void setScreenChangeDelay(std::chrono::milliseconds delay) {
        m_screenChangeTimer.setInterval(delay);
    }
    static constexpr std::chrono::milliseconds screenChangeDelay{500};

Q_SIGNALS:
    // Each start hands out the token for the next; it belongs in the settings.
    void restoreTokenChanged(const QString& token);
    void pointerMoved();
    void pointerUnavailableReasonChanged(const QString& reason);
    // The compositor or the user ended the session.
    void sessionEnded();
    void sessionOpened();
    // The screens have kept still and the session shares them (or could not).
    void screensSettled();

private:
    void endSession(const QString& description);
    struct PointerFeed;
    QCoro::Task<> open();
    QCoro::Task<> settleScreens();
    bool sharesEveryScreen() const;

    ScreenCastPortal m_portal;
    QString m_restoreToken;
    std::shared_ptr<PipeWireConnection> m_connection;
    QList<PortalStream> m_streams;
    CursorMode m_cursorMode = CursorMode::embedded;
    std::optional<DisplayQueryError> m_lastError;
    bool m_opening = false;
    // The next display query reports the ended session once, so that the
    // windows say so, instead of silently sharing anew.
    bool m_endUnreported = false;
    QString m_pointerUnavailableReason;
    QTimer m_screenChangeTimer;
    bool m_screensChanged = false;
    bool m_lostUnsettled = false; // a loss not yet reported, in case the screens changed

    // Shared with PipeWire's thread, which may outlive this object.
    std::shared_ptr<PointerFeed> m_pointerFeed;
};

} // namespace oculo::wayland
