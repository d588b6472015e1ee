#include "state/MagnifierState.h"

#include "state/SettingsStore.h"

#include <QMetaType>

#include <algorithm>
#include <cmath>

namespace oculo {

namespace {

namespace key {
const QString zoomLevel = QStringLiteral("oculo.zoomLevel");
const QString mode = QStringLiteral("oculo.mode");
const QString isWindowVisible = QStringLiteral("oculo.isWindowVisible");
const QString fixedRegion = QStringLiteral("oculo.fixedRegion");
const QString windowFrame = QStringLiteral("oculo.windowFrame");
const QString windowTransparency = QStringLiteral("oculo.windowTransparency");
const QString keepWindowActive = QStringLiteral("oculo.keepWindowActive");
const QString stayInCurrentSpace = QStringLiteral("oculo.stayInCurrentSpace");
const QString hideWhileMoving = QStringLiteral("oculo.hideWhileMoving");
const QString dockPosition = QStringLiteral("oculo.dockPosition");
const QString colorFilter = QStringLiteral("oculo.colorFilter");
const QString smoothing = QStringLiteral("oculo.smoothing");
const QString crosshair = QStringLiteral("oculo.crosshair");
const QString followFocus = QStringLiteral("oculo.followFocus");
const QString preDockFrame = QStringLiteral("oculo.preDockFrame");
} // namespace key

// The four keys of a stored rectangle, in the order they are written.
QStringList rectKeys(const QString& prefix) {
    return {prefix + QStringLiteral(".x"), prefix + QStringLiteral(".y"),
            prefix + QStringLiteral(".width"), prefix + QStringLiteral(".height")};
}

std::optional<double> storedNumber(const SettingsStore& store, const QString& name) {
    const std::optional<QVariant> value = store.object(name);
    if (!value || !SettingsStore::isNumber(*value)) {
        return std::nullopt;
    }
    return value->toDouble();
}

std::optional<bool> storedBool(const SettingsStore& store, const QString& name) {
    const std::optional<QVariant> value = store.object(name);
    if (!value) {
        return std::nullopt;
    }
    if (value->typeId() == QMetaType::Bool) {
        return value->toBool();
    }
    if (SettingsStore::isNumber(*value)) {
        const double number = value->toDouble();
        if (number == 0.0 || number == 1.0) {
            return number == 1.0;
        }
    }
    return std::nullopt;
}

// A rectangle exists only when all four keys hold finite numbers and it has an
// area: a half-written or hand-edited one would otherwise become an empty
// region at the origin, or a window nobody can see, and be saved again.
std::optional<QRectF> storedRect(const SettingsStore& store, const QString& prefix) {
    const QStringList keys = rectKeys(prefix);
    double values[4] = {};
    for (int i = 0; i < 4; ++i) {
        const std::optional<double> value = storedNumber(store, keys[i]);
        if (!value || !std::isfinite(*value)) {
            return std::nullopt;
        }
        values[i] = *value;
    }
    if (values[2] <= 0 || values[3] <= 0) {
        return std::nullopt;
    }
    return QRectF(values[0], values[1], values[2], values[3]);
}

void writeRect(SettingsStore& store, const QString& prefix, const std::optional<QRectF>& rect) {
    const QStringList keys = rectKeys(prefix);
    if (!rect) {
        for (const QString& name : keys) {
            store.remove(name);
        }
        return;
    }
    store.setNumber(keys[0], rect->x());
    store.setNumber(keys[1], rect->y());
    store.setNumber(keys[2], rect->width());
    store.setNumber(keys[3], rect->height());
}

double clampZoom(double zoom) {
    return std::min(MagnifierState::maxZoom, std::max(MagnifierState::minZoom, zoom));
}

double clampTransparency(double alpha) {
    return std::min(MagnifierState::maxTransparency,
                    std::max(MagnifierState::minTransparency, alpha));
}

} // namespace

MagnifierState::MagnifierState(SettingsStore& store, QObject* parent)
    : QObject(parent)
    , m_store(store) {
    m_saveTimer.setSingleShot(true);
    m_saveTimer.setInterval(saveDelayMs);
    connect(&m_saveTimer, &QTimer::timeout, this, &MagnifierState::performSave);
    loadFromStore();
}

MagnifierState::~MagnifierState() {
    flushPendingSave();
}

void MagnifierState::flushPendingSave() {
    if (m_saveTimer.isActive()) {
        m_saveTimer.stop();
        performSave();
    }
}

void MagnifierState::setZoomLevel(double zoom) {
    const double clamped = clampZoom(zoom);
    if (clamped == m_zoomLevel) {
        return;
    }
    m_zoomLevel = clamped;
    Q_EMIT zoomLevelChanged(m_zoomLevel);
    requestSave();
}

void MagnifierState::zoomIn() {
    setZoomLevel(std::min(maxZoom, m_zoomLevel + zoomStep));
}

void MagnifierState::zoomOut() {
    setZoomLevel(std::max(minZoom, m_zoomLevel - zoomStep));
}

void MagnifierState::setMode(MagnificationMode mode) {
    if (mode == m_mode) {
        return;
    }
    m_mode = mode;
    Q_EMIT modeChanged(m_mode);
    requestSave();
}

void MagnifierState::setFixedRegion(std::optional<QRectF> region) {
    const bool changed = region != m_fixedRegion;
    m_fixedRegion = region;
    if (changed) {
        Q_EMIT fixedRegionChanged();
    }
    requestSave();
}

void MagnifierState::setWindowFrame(std::optional<QRectF> frame) {
    const bool changed = frame != m_windowFrame;
    m_windowFrame = frame;
    if (changed) {
        Q_EMIT windowFrameChanged();
    }
    requestSave();
}

void MagnifierState::setWindowTransparency(double alpha) {
    const double clamped = clampTransparency(alpha);
    if (clamped == m_windowTransparency) {
        return;
    }
    m_windowTransparency = clamped;
    Q_EMIT windowTransparencyChanged(m_windowTransparency);
    requestSave();
}

void MagnifierState::setKeepWindowActive(bool keep) {
    if (keep == m_keepWindowActive) {
        return;
    }
    m_keepWindowActive = keep;
    Q_EMIT keepWindowActiveChanged(keep);
    requestSave();
}

void MagnifierState::setStayInCurrentSpace(bool stay) {
    if (stay == m_stayInCurrentSpace) {
        return;
    }
    m_stayInCurrentSpace = stay;
    Q_EMIT stayInCurrentSpaceChanged(stay);
    requestSave();
}

void MagnifierState::setHideWhileMoving(bool hide) {
    if (hide == m_hideWhileMoving) {
        return;
    }
    m_hideWhileMoving = hide;
    Q_EMIT hideWhileMovingChanged(hide);
    requestSave();
}

void MagnifierState::setColorFilter(ColorFilter filter) {
    if (filter == m_colorFilter) {
        return;
    }
    m_colorFilter = filter;
    Q_EMIT colorFilterChanged(filter);
    requestSave();
}

QList<ColorFilter> MagnifierState::colorFilterOrder() {
    // Inverted lightness comes first: it gives light text on dark and keeps
    // what the colours mean, which is what most who press the key are after.
    return {ColorFilter::none, ColorFilter::invertLightness, ColorFilter::invert,
            ColorFilter::grayscale};
}

void MagnifierState::cycleColorFilter() {
    const QList<ColorFilter> order = colorFilterOrder();
    setColorFilter(order.value((order.indexOf(m_colorFilter) + 1) % order.size()));
}

void MagnifierState::setSmoothing(Scaling scaling) {
    if (scaling == m_smoothing) {
        return;
    }
    m_smoothing = scaling;
    Q_EMIT smoothingChanged(scaling);
    requestSave();
}

void MagnifierState::setCrosshair(bool shown) {
    if (shown == m_crosshair) {
        return;
    }
    m_crosshair = shown;
    Q_EMIT crosshairChanged(shown);
    requestSave();
}

void MagnifierState::setFollowFocus(bool follow) {
    if (follow == m_followFocus) {
        return;
    }
    m_followFocus = follow;
    Q_EMIT followFocusChanged(follow);
    requestSave();
}

void MagnifierState::setDockPosition(DockPosition position) {
    if (position == m_dockPosition) {
        return;
    }
    // Only the move out of `none` records the frame to restore; top <-> bottom
    // must keep the frame from before the first dock.
    if (position != DockPosition::none && m_dockPosition == DockPosition::none) {
        const bool frameChanged = m_windowFrame != m_preDockFrame;
        m_preDockFrame = m_windowFrame;
        if (frameChanged) {
            Q_EMIT preDockFrameChanged();
        }
    }
    m_dockPosition = position;
    Q_EMIT dockPositionChanged(position);
    requestSave();
}

void MagnifierState::setPreDockFrame(std::optional<QRectF> frame) {
    const bool changed = frame != m_preDockFrame;
    m_preDockFrame = frame;
    if (changed) {
        Q_EMIT preDockFrameChanged();
    }
    requestSave();
}

void MagnifierState::setHasScreenRecordingPermission(bool granted) {
    if (granted == m_hasScreenRecordingPermission) {
        return;
    }
    m_hasScreenRecordingPermission = granted;
    Q_EMIT hasScreenRecordingPermissionChanged(granted);
}

void MagnifierState::setIsSelectingRegion(bool selecting) {
    if (selecting == m_isSelectingRegion) {
        return;
    }
    m_isSelectingRegion = selecting;
    Q_EMIT isSelectingRegionChanged(selecting);
}

void MagnifierState::setIsAdjustingRegion(bool adjusting) {
    if (adjusting == m_isAdjustingRegion) {
        return;
    }
    m_isAdjustingRegion = adjusting;
    Q_EMIT isAdjustingRegionChanged(adjusting);
}

void MagnifierState::setMouseLocation(QPointF location) {
    if (location == m_mouseLocation) {
        return;
    }
    m_mouseLocation = location;
    Q_EMIT mouseLocationChanged(location);
}

void MagnifierState::setCurrentFrame(const QImage& frame) {
    // Identity, not pixel equality: comparing pixels of every frame would cost
    // more than drawing it, and a new capture is a new frame even if identical.
    if (frame.cacheKey() == m_currentFrame.cacheKey()) {
        return;
    }
    m_currentFrame = frame;
    Q_EMIT currentFrameChanged();
}

void MagnifierState::completeRegionSelection(const QRectF& region) {
    setFixedRegion(region);
    setMode(MagnificationMode::fixedRegion);
    setIsSelectingRegion(false);
}

void MagnifierState::startRegionAdjustment() {
    if (!m_fixedRegion) {
        return;
    }
    setIsAdjustingRegion(true);
}

bool MagnifierState::hasPendingSave() const {
    return m_saveTimer.isActive();
}

// Writes the fields directly: loading must neither notify nor schedule a save.
void MagnifierState::loadFromStore() {
    if (const auto zoom = storedNumber(m_store, key::zoomLevel)) {
        m_zoomLevel = clampZoom(*zoom);
    }
    if (const auto raw = m_store.string(key::mode)) {
        if (const auto mode = magnificationModeFromRaw(*raw)) {
            m_mode = *mode;
        }
    }
    if (const auto region = storedRect(m_store, key::fixedRegion)) {
        m_fixedRegion = region;
    }
    if (const auto visible = storedBool(m_store, key::isWindowVisible)) {
        m_isWindowVisible = *visible;
    }
    if (const auto frame = storedRect(m_store, key::windowFrame)) {
        m_windowFrame = frame;
    }
    if (const auto alpha = storedNumber(m_store, key::windowTransparency)) {
        m_windowTransparency = clampTransparency(*alpha);
    }
    if (const auto keep = storedBool(m_store, key::keepWindowActive)) {
        m_keepWindowActive = *keep;
    }
    if (const auto stay = storedBool(m_store, key::stayInCurrentSpace)) {
        m_stayInCurrentSpace = *stay;
    }
    if (const auto hide = storedBool(m_store, key::hideWhileMoving)) {
        m_hideWhileMoving = *hide;
    }
    if (const auto raw = m_store.string(key::dockPosition)) {
        if (const auto position = dockPositionFromRaw(*raw)) {
            m_dockPosition = *position;
        }
    }
    if (const auto frame = storedRect(m_store, key::preDockFrame)) {
        m_preDockFrame = frame;
    }
    if (const auto raw = m_store.string(key::colorFilter)) {
        if (const auto filter = colorFilterFromRaw(*raw)) {
            m_colorFilter = *filter;
        }
    }
    if (const auto raw = m_store.string(key::smoothing)) {
        if (const auto scaling = scalingFromRaw(*raw)) {
            m_smoothing = *scaling;
        }
    }
    if (const auto shown = storedBool(m_store, key::crosshair)) {
        m_crosshair = *shown;
    }
    if (const auto follow = storedBool(m_store, key::followFocus)) {
        m_followFocus = *follow;
    }
}

// A burst of changes leads to one write, with the values current when it runs.
void MagnifierState::requestSave() {
    m_saveTimer.start();
}

// Writes every key, whatever changed: the store always holds the settings of
// the window that saved last.
void MagnifierState::performSave() {
    if (m_suspendPersistence) {
        return;
    }
    m_store.setNumber(key::zoomLevel, m_zoomLevel);
    m_store.setString(key::mode, rawValue(m_mode));
    m_store.setBool(key::isWindowVisible, m_isWindowVisible);
    writeRect(m_store, key::fixedRegion, m_fixedRegion);
    writeRect(m_store, key::windowFrame, m_windowFrame);
    m_store.setNumber(key::windowTransparency, m_windowTransparency);
    m_store.setBool(key::keepWindowActive, m_keepWindowActive);
    m_store.setBool(key::stayInCurrentSpace, m_stayInCurrentSpace);
    m_store.setBool(key::hideWhileMoving, m_hideWhileMoving);
    m_store.setString(key::dockPosition, rawValue(m_dockPosition));
    writeRect(m_store, key::preDockFrame, m_preDockFrame);
    m_store.setString(key::colorFilter, rawValue(m_colorFilter));
    m_store.setString(key::smoothing, rawValue(m_smoothing));
    m_store.setBool(key::crosshair, m_crosshair);
    m_store.setBool(key::followFocus, m_followFocus);
    m_store.sync();
}

} // namespace oculo
