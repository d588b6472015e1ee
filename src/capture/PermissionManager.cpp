#include "capture/PermissionManager.h"

#include "platform/DisplaySource.h"
#include "platform/SystemSettingsLauncher.h"

#include <QPointer>

namespace oculo {

PermissionManager::PermissionManager(DisplaySource& source, SystemSettingsLauncher& settings,
                                     QObject* parent)
    : QObject(parent)
    , m_source(source)
    , m_settings(settings) {}

QCoro::Task<bool> PermissionManager::checkPermission() {
    QPointer<PermissionManager> self(this);
    const DisplayQueryResult result = co_await m_source.queryDisplays();
    if (!self) {
        co_return false;
    }
    if (result.error) {
        // Only a refusal by the windowing system means "not allowed"; anything
        // else (a server that went away, a broken reply) says nothing either way.
        const bool refused = result.error->kind == DisplayQueryError::Kind::CaptureRefused;
        setStatus(refused ? PermissionStatus::denied : PermissionStatus::notDetermined,
                  refused && result.error->canAskAgain ? result.error->description : QString());
        co_return false;
    }
    if (result.displays.isEmpty()) {
        setStatus(PermissionStatus::denied);
        co_return false;
    }
    setStatus(PermissionStatus::granted);
    co_return true;
}

void PermissionManager::openSystemSettings() {
    // Nothing to tell the user when no settings application exists.
    m_settings.openScreenCaptureSettings();
}

void PermissionManager::setStatus(PermissionStatus status, const QString& askAgainReason) {
    // The reason first, so that whoever follows the status reads the new one.
    if (askAgainReason != m_askAgainReason) {
        m_askAgainReason = askAgainReason;
        Q_EMIT askAgainReasonChanged(askAgainReason);
    }
    if (status == m_status) {
        return;
    }
    m_status = status;
    Q_EMIT permissionStatusChanged(status);
}

} // namespace oculo
