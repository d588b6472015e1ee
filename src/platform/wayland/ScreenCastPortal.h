#pragma once

#include "platform/portal/PortalRequest.h"

#include <QList>
#include <QObject>
#include <QPoint>
#include <QSize>
#include <QString>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <utility>

namespace oculo::wayland {

// A file descriptor owned by exactly one holder; closed when dropped.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept
        : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();

    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd = -1;
};

// The portal's cursor modes, a bit mask in AvailableCursorModes.
enum class CursorMode : uint { hidden = 1, embedded = 2, metadata = 4 };

// One shared monitor: its PipeWire node and where it lies in the compositor's
// logical space (absent when the portal does not say).
struct PortalStream {
    quint32 node = 0;
    QPoint position;
    QSize size;
};

struct PortalSession {
    enum class Outcome {
        started,
        refused,     // the user cancelled the share dialog or said no
        unavailable, // no portal, or one without screen casts
        failed,      // anything else
    };
    Outcome outcome = Outcome::failed;
    QString description; // a plain sentence unless started
    QString handle;      // the session's object path
    QList<PortalStream> streams;
    CursorMode cursorMode = CursorMode::embedded;
    QString restoreToken; // the token for the next start; empty when none was given
    UniqueFd pipeWire;    // a PipeWire connection that sees only this session's nodes
};

// The screen-cast portal's walk: CreateSession, SelectSources (every monitor,
// the pointer as metadata where offered, remembered until revoked), Start,
// OpenPipeWireRemote. Asynchronous throughout; GUI thread only. Emits
// `closed` when the compositor or the user ends the session it opened.
class ScreenCastPortal : public QObject {
    Q_OBJECT

public:
    explicit ScreenCastPortal(QObject* parent = nullptr);
    ~ScreenCastPortal() override;

    // `restoreToken` from an earlier start makes the portal skip its dialog.
    // At most one open at a time; a session opened before is closed first.
    QCoro::Task<PortalSession> open(QString restoreToken);
    // Ends the session opened last, if any, without a `closed` signal.
    void close();

Q_SIGNALS:
    void closed();

private Q_SLOTS:
    void handleSessionClosed();

private:
    static QCoro::Task<portal::PortalAnswer> request(const QString& method,
                                                     QList<QVariant> arguments, QVariantMap options,
                                                     std::chrono::milliseconds timeout);
    QCoro::Task<PortalSession> walk(QString restoreToken);
    void watchSession(const QString& handle);
    void unwatchSession();

    QString m_session;
};

} // namespace oculo::wayland
