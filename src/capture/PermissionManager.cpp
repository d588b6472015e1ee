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
        setStatus(result.error->kind == DisplayQueryError::Kind::CaptureRefused
                      ? PermissionStatus::denied
                      : PermissionStatus::notDetermined);
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

void PermissionManager::setStatus(PermissionStatus status) {
    if (status == m_status) {
        return;
    }
    m_status = status;
    Q_EMIT permissionStatusChanged(status);
}

} // namespace oculo
