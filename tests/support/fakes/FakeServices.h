#pragma once

#include "capture/DisplayManager.h"
#include "capture/MouseTracker.h"
#include "capture/PermissionManager.h"
#include "state/SettingsStore.h"
#include "support/fakes/FakeCaptureBackend.h"
#include "support/fakes/FakeDisplaySource.h"
#include "support/fakes/FakePointerSource.h"
#include "support/fakes/FakeSystemSettingsLauncher.h"

#include <QTemporaryDir>

namespace oculo::test {

// The shared services a window controller or the application is built from,
// with fakes for the platform: two displays (primary, then one to its right)
// and settings in a throw-away folder.
struct FakeServices {
    FakeServices()
        : store(dir.filePath(QStringLiteral("settings.json")))
        , displayManager(displays)
        , permissionManager(displays, launcher)
        , tracker(pointer) {
        displays.setDisplays({FakeDisplaySource::primary(), FakeDisplaySource::secondary()});
    }

    QTemporaryDir dir;
    SettingsStore store;
    FakeDisplaySource displays;
    FakeCaptureBackend backend;
    FakeSystemSettingsLauncher launcher;
    FakePointerSource pointer;
    DisplayManager displayManager;
    PermissionManager permissionManager;
    MouseTracker tracker;
};

} // namespace oculo::test
