#pragma once

#include "state/MagnifierState.h"
#include "state/SettingsStore.h"

#include <QTemporaryDir>

namespace oculo::test {

// A magnifier state whose settings live in a private temporary file.
struct StateFixture {
    QTemporaryDir dir;
    SettingsStore store{dir.filePath(QStringLiteral("settings.json"))};
    MagnifierState state{store};
};

} // namespace oculo::test
