#pragma once

#include <QObject>
#include <QString>
#include <qcoro/qcorotask.h>

namespace oculo {

class DisplaySource;
class SystemSettingsLauncher;

// Whether screen capture is permitted. On X11 it is when the display list can
// be read and holds a display. Main thread only.
class PermissionManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(PermissionStatus permissionStatus READ permissionStatus NOTIFY
                   permissionStatusChanged FINAL)

public:
    enum class PermissionStatus { unknown, granted, denied, notDetermined };
    Q_ENUM(PermissionStatus)

    // Both must outlive the manager.
    PermissionManager(DisplaySource& source, SystemSettingsLauncher& settings,
                      QObject* parent = nullptr);

    PermissionStatus permissionStatus() const { return m_status; }
    // While capture is refused in a way that asking again may change: the
    // sentence that says why; empty otherwise.
    QString askAgainReason() const { return m_askAgainReason; }

    // Never fails: true when capture is permitted.
    QCoro::Task<bool> checkPermission();
    void openSystemSettings();

Q_SIGNALS:
    void permissionStatusChanged(oculo::PermissionManager::PermissionStatus status);
    void askAgainReasonChanged(const QString& reason);

private:
    void setStatus(PermissionStatus status, const QString& askAgainReason = {});

    DisplaySource& m_source;
    SystemSettingsLauncher& m_settings;
    PermissionStatus m_status = PermissionStatus::unknown;
    QString m_askAgainReason;
};

} // namespace oculo
