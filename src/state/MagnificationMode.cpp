#include "state/MagnificationMode.h"

namespace oculo {

QString rawValue(MagnificationMode mode) {
    switch (mode) {
    case MagnificationMode::followMouse:
        return QStringLiteral("followMouse");
    case MagnificationMode::fixedRegion:
        return QStringLiteral("fixedRegion");
    }
    return QStringLiteral("followMouse");
}

QString rawValue(DockPosition position) {
    switch (position) {
    case DockPosition::none:
        return QStringLiteral("none");
    case DockPosition::top:
        return QStringLiteral("top");
    case DockPosition::bottom:
        return QStringLiteral("bottom");
    }
    return QStringLiteral("none");
}

std::optional<MagnificationMode> magnificationModeFromRaw(const QString& raw) {
    for (const MagnificationMode mode : allMagnificationModes()) {
        if (raw == rawValue(mode)) {
            return mode;
        }
    }
    return std::nullopt;
}

std::optional<DockPosition> dockPositionFromRaw(const QString& raw) {
    for (const DockPosition position : allDockPositions()) {
        if (raw == rawValue(position)) {
            return position;
        }
    }
    return std::nullopt;
}

QList<MagnificationMode> allMagnificationModes() {
    return {MagnificationMode::followMouse, MagnificationMode::fixedRegion};
}

QList<DockPosition> allDockPositions() {
    return {DockPosition::none, DockPosition::top, DockPosition::bottom};
}

} // namespace oculo
