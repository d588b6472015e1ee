#include "state/MagnifierState.h"

#include "state/SettingsStore.h"

#include <QMetaType>

#include <algorithm>
#include <cmath>
#include <functional>

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

using Lookup = MagnifierState::ValueLookup;

std::optional<double> storedNumber(const Lookup& store, const QString& name) {
    const std::optional<QVariant> value = store(name);
    if (!value || !SettingsStore::isNumber(*value)) {
        return std::nullopt;
    }
    return value->toDouble();
}

std::optional<QString> storedString(const Lookup& store, const QString& name) {
    const std::optional<QVariant> value = store(name);
    if (!value || value->typeId() != QMetaType::QString) {
        return std::nullopt;
    }
    return value->toString();
}

std::optional<bool> storedBool(const Lookup& store, const QString& name) {
    const std::optional<QVariant> value = store(name);
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
std::optional<QRectF> storedRect(const Lookup& store, const QString& prefix) {
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

Lookup lookupIn(const QVariantMap& values) {
    return [&values](const QString& name) -> std::optional<QVariant> {
        const auto found = values.constFind(name);
        return found != values.constEnd() ? std::optional<QVariant>(*found) : std::nullopt;
    };
}

void writeRect(QVariantMap& values, const QString& prefix, const std::optional<QRectF>& rect) {
    if (!rect) {
        return;
    }
    const QStringList keys = rectKeys(prefix);
    values.insert(keys[0], rect->x());
    values.insert(keys[1], rect->y());
    values.insert(keys[2], rect->width());
    values.insert(keys[3], rect->height());
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
    load([&store](const QString& name) { return store.object(name); });
}

MagnifierState::MagnifierState(SettingsStore& store, const QVariantMap& savedValues,
                               QObject* parent)
    : QObject(parent)
    , m_store(store) {
    m_saveTimer.setSingleShot(true);
    m_saveTimer.setInterval(saveDelayMs);
    connect(&m_saveTimer, &QTimer::timeout, this, &MagnifierState::performSave);
    load(lookupIn(savedValues));
}

std::optional<QRectF> MagnifierState::savedWindowFrame(const QVariantMap& values) {
    return storedRect(lookupIn(values), key::windowFrame);
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
    if (mode == m_mode ||
        (mode == MagnificationMode::followMouse && !m_followUnavailableReason.isEmpty())) {
        return;
    }
    m_mode = mode;
    m_followSuspended = false;
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
    if (position == m_dockPosition ||
        (position != DockPosition::none && !m_windowingLimits.canDock())) {
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

void MagnifierState::setFollowUnavailableReason(const QString& reason) {
    if (reason == m_followUnavailableReason) {
        return;
    }
    m_followUnavailableReason = reason;
    // The region is shown instead (without one, the middle of the primary
    // screen), but following stays the stored mode for a session that can.
    if (!reason.isEmpty() && m_mode == MagnificationMode::followMouse) {
        m_mode = MagnificationMode::fixedRegion;
        m_followSuspended = true;
        Q_EMIT modeChanged(m_mode);
    }
    Q_EMIT followUnavailableReasonChanged(reason);
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
void MagnifierState::load(const Lookup& store) {
    if (const auto zoom = storedNumber(store, key::zoomLevel)) {
        m_zoomLevel = clampZoom(*zoom);
    }
    if (const auto raw = storedString(store, key::mode)) {
        if (const auto mode = magnificationModeFromRaw(*raw)) {
            m_mode = *mode;
        }
    }
    if (const auto region = storedRect(store, key::fixedRegion)) {
        m_fixedRegion = region;
    }
    if (const auto visible = storedBool(store, key::isWindowVisible)) {
        m_isWindowVisible = *visible;
    }
    if (const auto frame = storedRect(store, key::windowFrame)) {
        m_windowFrame = frame;
    }
    if (const auto alpha = storedNumber(store, key::windowTransparency)) {
        m_windowTransparency = clampTransparency(*alpha);
    }
    if (const auto keep = storedBool(store, key::keepWindowActive)) {
        m_keepWindowActive = *keep;
    }
    if (const auto stay = storedBool(store, key::stayInCurrentSpace)) {
        m_stayInCurrentSpace = *stay;
    }
    if (const auto hide = storedBool(store, key::hideWhileMoving)) {
        m_hideWhileMoving = *hide;
    }
    if (const auto raw = storedString(store, key::dockPosition)) {
        if (const auto position = dockPositionFromRaw(*raw)) {
            m_dockPosition = *position;
        }
    }
    if (const auto frame = storedRect(store, key::preDockFrame)) {
        m_preDockFrame = frame;
    }
    if (const auto raw = storedString(store, key::colorFilter)) {
        if (const auto filter = colorFilterFromRaw(*raw)) {
            m_colorFilter = *filter;
        }
    }
    if (const auto raw = storedString(store, key::smoothing)) {
        if (const auto scaling = scalingFromRaw(*raw)) {
            m_smoothing = *scaling;
        }
    }
    if (const auto shown = storedBool(store, key::crosshair)) {
        m_crosshair = *shown;
    }
    if (const auto follow = storedBool(store, key::followFocus)) {
        m_followFocus = *follow;
    }
}

// A burst of changes leads to one write, with the values current when it runs.
void MagnifierState::requestSave() {
    m_saveTimer.start();
}

QStringList MagnifierState::savedRectangleKeys() {
    return rectKeys(key::fixedRegion) + rectKeys(key::windowFrame) + rectKeys(key::preDockFrame);
}

QVariantMap MagnifierState::savedValues() const {
    QVariantMap values;
    values.insert(key::zoomLevel, m_zoomLevel);
    // Following stays the stored mode while it is unavailable here.
    values.insert(key::mode, rawValue(m_followSuspended ? MagnificationMode::followMouse : m_mode));
    values.insert(key::isWindowVisible, m_isWindowVisible);
    writeRect(values, key::fixedRegion, m_fixedRegion);
    writeRect(values, key::windowFrame, m_windowFrame);
    values.insert(key::windowTransparency, m_windowTransparency);
    values.insert(key::keepWindowActive, m_keepWindowActive);
    values.insert(key::stayInCurrentSpace, m_stayInCurrentSpace);
    values.insert(key::hideWhileMoving, m_hideWhileMoving);
    values.insert(key::dockPosition, rawValue(m_dockPosition));
    writeRect(values, key::preDockFrame, m_preDockFrame);
    values.insert(key::colorFilter, rawValue(m_colorFilter));
    values.insert(key::smoothing, rawValue(m_smoothing));
    values.insert(key::crosshair, m_crosshair);
    values.insert(key::followFocus, m_followFocus);
    return values;
}

void MagnifierState::writeTo(SettingsStore& store) const {
    // A rectangle that is gone must not leave its old keys behind.
    const QStringList rectangles = savedRectangleKeys();
    for (const QString& name : rectangles) {
        store.remove(name);
    }
    const QVariantMap values = savedValues();
    for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
        store.setValue(it.key(), it.value());
    }
}

// Writes every key, whatever changed: without an owner, the store holds the
// settings of the window that saved last.
void MagnifierState::performSave() {
    if (m_suspendPersistence) {
        return;
    }
    if (m_isSavedByOwner) {
        Q_EMIT saveRequested();
        return;
    }
    writeTo(m_store);
    m_store.sync();
}

} // namespace oculo
