#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace oculo {

// Persisted by raw value; add new cases at the end so stored settings keep their meaning.
enum class MagnificationMode {
    followMouse,
    fixedRegion,
};

enum class DockPosition {
    none,
    top,
    bottom,
};

QString rawValue(MagnificationMode mode);
QString rawValue(DockPosition position);

// Exact, case-sensitive match of the raw value; anything else gives nothing.
std::optional<MagnificationMode> magnificationModeFromRaw(const QString& raw);
std::optional<DockPosition> dockPositionFromRaw(const QString& raw);

QList<MagnificationMode> allMagnificationModes();
QList<DockPosition> allDockPositions();

} // namespace oculo
