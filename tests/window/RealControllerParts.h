#pragma once

#include "capture/DisplayManager.h"
#include "capture/MouseTracker.h"
#include "capture/PermissionManager.h"
#include "platform/qt/QtPointerSource.h"
#include "platform/x11/X11DisplaySource.h"
#include "state/SettingsStore.h"
#include "support/fakes/FakeSystemSettingsLauncher.h"

#include <QTemporaryDir>
#include <qcoro/qcorotask.h>

namespace oculo::test {

// What a window controller needs, on the real X server and with the displays
// already read; settings go to a directory of their own.
struct RealControllerParts {
    RealControllerParts() { QCoro::waitFor(displayManager.refreshDisplays()); }

    QTemporaryDir dir;
    SettingsStore store{dir.filePath(QStringLiteral("settings.json"))};
    X11DisplaySource displays;
    FakeSystemSettingsLauncher launcher;
    DisplayManager displayManager{displays};
    PermissionManager permissionManager{displays, launcher};
    QtPointerSource pointer;
    MouseTracker tracker{pointer};
};

} // namespace oculo::test
