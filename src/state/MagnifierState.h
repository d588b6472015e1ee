#pragma once

#include "picture/PictureOptions.h"
#include "platform/WindowingLimits.h"
#include "state/MagnificationMode.h"

#include <QImage>
#include <QObject>
#include <QPointF>
#include <QRectF>
#include <QTimer>
#include <QVariantMap>

#include <functional>
#include <optional>

namespace oculo {

class SettingsStore;

// The model of one magnifier window: the user's settings for it (persisted
// through SettingsStore, 0.25 s after the last change) and the transient values
// through which the window's parts talk. Main thread only.
//
// Rectangles and points are in Qt's global logical space (origin top-left of
// the primary screen, y down). Every NOTIFY signal is emitted only when the
// stored value really changes.
class MagnifierState : public QObject {
    Q_OBJECT
    Q_PROPERTY(double zoomLevel READ zoomLevel WRITE setZoomLevel NOTIFY zoomLevelChanged FINAL)
    Q_PROPERTY(oculo::MagnificationMode mode READ mode WRITE setMode NOTIFY modeChanged FINAL)
    Q_PROPERTY(double windowTransparency READ windowTransparency WRITE setWindowTransparency NOTIFY
                   windowTransparencyChanged FINAL)
    Q_PROPERTY(bool keepWindowActive READ keepWindowActive WRITE setKeepWindowActive NOTIFY
                   keepWindowActiveChanged FINAL)
    Q_PROPERTY(bool stayInCurrentSpace READ stayInCurrentSpace WRITE setStayInCurrentSpace NOTIFY
                   stayInCurrentSpaceChanged FINAL)
    Q_PROPERTY(bool hideWhileMoving READ hideWhileMoving WRITE setHideWhileMoving NOTIFY
                   hideWhileMovingChanged FINAL)
    Q_PROPERTY(oculo::ColorFilter colorFilter READ colorFilter WRITE setColorFilter NOTIFY
                   colorFilterChanged FINAL)
    Q_PROPERTY(
        oculo::Scaling smoothing READ smoothing WRITE setSmoothing NOTIFY smoothingChanged FINAL)
    Q_PROPERTY(bool crosshair READ crosshair WRITE setCrosshair NOTIFY crosshairChanged FINAL)
    Q_PROPERTY(
        bool followFocus READ followFocus WRITE setFollowFocus NOTIFY followFocusChanged FINAL)
    Q_PROPERTY(oculo::DockPosition dockPosition READ dockPosition WRITE setDockPosition NOTIFY
                   dockPositionChanged FINAL)
    Q_PROPERTY(bool isWindowVisible READ isWindowVisible NOTIFY isWindowVisibleChanged FINAL)
    Q_PROPERTY(bool hasScreenRecordingPermission READ hasScreenRecordingPermission WRITE
                   setHasScreenRecordingPermission NOTIFY hasScreenRecordingPermissionChanged FINAL)
    Q_PROPERTY(QString followUnavailableReason READ followUnavailableReason WRITE
                   setFollowUnavailableReason NOTIFY followUnavailableReasonChanged FINAL)
    Q_PROPERTY(bool isSelectingRegion READ isSelectingRegion WRITE setIsSelectingRegion NOTIFY
                   isSelectingRegionChanged FINAL)
    Q_PROPERTY(bool isAdjustingRegion READ isAdjustingRegion WRITE setIsAdjustingRegion NOTIFY
                   isAdjustingRegionChanged FINAL)
    Q_PROPERTY(QPointF mouseLocation READ mouseLocation WRITE setMouseLocation NOTIFY
                   mouseLocationChanged FINAL)
    Q_PROPERTY(QImage currentFrame READ currentFrame NOTIFY currentFrameChanged FINAL)

public:
    static constexpr double minZoom = 1.0;
    static constexpr double maxZoom = 10.0;
    static constexpr double zoomStep = 0.25;
    static constexpr double minTransparency = 0.1;
    static constexpr double maxTransparency = 1.0;
    static constexpr int saveDelayMs = 250;

    // Where loading reads a key: the settings file's top level, or one saved window's entry.
    using ValueLookup = std::function<std::optional<QVariant>(const QString&)>;

    // Starts from the initial values, then loads what `store` holds. The store
    // is shared by every window and must outlive the state.
    explicit MagnifierState(SettingsStore& store, QObject* parent = nullptr);
    // Loads `savedValues` (as savedValues() gives them) instead of the store's keys.
    MagnifierState(SettingsStore& store, const QVariantMap& savedValues, QObject* parent = nullptr);
    // Writes a pending save: a change made just before a window closes or
    // Oculo quits must not be lost.
    ~MagnifierState() override;

    double zoomLevel() const { return m_zoomLevel; }
    void setZoomLevel(double zoom); // clamped to [minZoom, maxZoom]
    void zoomIn();                  // one zoomStep, clamped
    void zoomOut();

    MagnificationMode mode() const { return m_mode; }
    // Refuses followMouse while followUnavailableReason is set.
    void setMode(MagnificationMode mode);

    std::optional<QRectF> fixedRegion() const { return m_fixedRegion; }
    void setFixedRegion(std::optional<QRectF> region); // always requests a save

    bool isWindowVisible() const { return m_isWindowVisible; }

    std::optional<QRectF> windowFrame() const { return m_windowFrame; }
    void setWindowFrame(std::optional<QRectF> frame); // always requests a save

    double windowTransparency() const { return m_windowTransparency; }
    void setWindowTransparency(double alpha); // clamped to [minTransparency, maxTransparency]

    bool keepWindowActive() const { return m_keepWindowActive; }
    void setKeepWindowActive(bool keep);

    bool stayInCurrentSpace() const { return m_stayInCurrentSpace; }
    void setStayInCurrentSpace(bool stay);

    bool hideWhileMoving() const { return m_hideWhileMoving; }
    void setHideWhileMoving(bool hide);

    ColorFilter colorFilter() const { return m_colorFilter; }
    void setColorFilter(ColorFilter filter);
    // The filters in the order they are offered and the window's key steps
    // through them: none, invert lightness, invert, grayscale.
    static QList<ColorFilter> colorFilterOrder();
    // The filter after the current one in that order, the first after the last.
    void cycleColorFilter();

    Scaling smoothing() const { return m_smoothing; }
    void setSmoothing(Scaling scaling);

    bool crosshair() const { return m_crosshair; }
    void setCrosshair(bool shown);

    // Whether a follow-mouse window also follows the text caret and the
    // keyboard focus; a fixed region ignores it.
    bool followFocus() const { return m_followFocus; }
    void setFollowFocus(bool follow);

    // The three picture settings together, as a capture applies them.
    PictureOptions pictureOptions() const { return {m_colorFilter, m_smoothing, m_crosshair}; }

    DockPosition dockPosition() const { return m_dockPosition; }
    // Docking from `none` first records windowFrame as preDockFrame. Refused,
    // but undocking allowed, where the windowing limits forbid docking.
    void setDockPosition(DockPosition position);

    std::optional<QRectF> preDockFrame() const { return m_preDockFrame; }
    void setPreDockFrame(std::optional<QRectF> frame); // always requests a save

    bool suspendPersistence() const { return m_suspendPersistence; }
    void setSuspendPersistence(bool suspend) { m_suspendPersistence = suspend; }

    bool hasScreenRecordingPermission() const { return m_hasScreenRecordingPermission; }
    void setHasScreenRecordingPermission(bool granted);

    // What the windowing system lets the window do; set once, before the
    // window's widgets are made. Settings it cannot honour stay stored as they
    // are, for a session that can.
    const WindowingLimits& windowingLimits() const { return m_windowingLimits; }
    void setWindowingLimits(const WindowingLimits& limits) { m_windowingLimits = limits; }

    // Why the pointer cannot be followed here, in one sentence; empty while it
    // can. Setting one moves a following window to its fixed region; following
    // stays the stored mode until the user chooses another.
    QString followUnavailableReason() const { return m_followUnavailableReason; }
    void setFollowUnavailableReason(const QString& reason);

    bool isSelectingRegion() const { return m_isSelectingRegion; }
    void setIsSelectingRegion(bool selecting);

    bool isAdjustingRegion() const { return m_isAdjustingRegion; }
    void setIsAdjustingRegion(bool adjusting);

    QPointF mouseLocation() const { return m_mouseLocation; }
    void setMouseLocation(QPointF location);

    // Latest captured frame, not yet magnified; null when none was captured.
    QImage currentFrame() const { return m_currentFrame; }
    void setCurrentFrame(const QImage& frame);

    // The selection overlay's result: stores the region, switches to fixedRegion
    // mode and ends the selection.
    void completeRegionSelection(const QRectF& region);
    // Raises isAdjustingRegion when a region exists; otherwise does nothing.
    void startRegionAdjustment();

    // Every persisted setting under the key it is stored with; rectangles that
    // do not exist are left out.
    QVariantMap savedValues() const;
    // The window frame in values saved that way, when it is a usable one.
    static std::optional<QRectF> savedWindowFrame(const QVariantMap& values);
    // The keys a saved rectangle may use, whether or not it exists.
    static QStringList savedRectangleKeys();
    // Puts savedValues() at the store's top level (without syncing).
    void writeTo(SettingsStore& store) const;
    // With an owner, a save asks it through saveRequested() instead of
    // writing the store itself: the owner knows where this window's keys go.
    bool isSavedByOwner() const { return m_isSavedByOwner; }
    void setSavedByOwner(bool byOwner) { m_isSavedByOwner = byOwner; }

    // True while a debounced save is pending.
    bool hasPendingSave() const;
    // Writes a pending save now instead of when the debounce ends.
    void flushPendingSave();

Q_SIGNALS:
    void zoomLevelChanged(double zoomLevel);
    void modeChanged(oculo::MagnificationMode mode);
    void fixedRegionChanged();
    void isWindowVisibleChanged(bool visible);
    void windowFrameChanged();
    void windowTransparencyChanged(double alpha);
    void keepWindowActiveChanged(bool keep);
    void stayInCurrentSpaceChanged(bool stay);
    void hideWhileMovingChanged(bool hide);
    void colorFilterChanged(oculo::ColorFilter filter);
    void smoothingChanged(oculo::Scaling scaling);
    void crosshairChanged(bool shown);
    void followFocusChanged(bool follow);
    void dockPositionChanged(oculo::DockPosition position);
    void preDockFrameChanged();
    void hasScreenRecordingPermissionChanged(bool granted);
    void followUnavailableReasonChanged(const QString& reason);
    void isSelectingRegionChanged(bool selecting);
    void isAdjustingRegionChanged(bool adjusting);
    void mouseLocationChanged(QPointF location);
    void currentFrameChanged();
    // The save delay ended (or a pending save was flushed) while saved by an owner.
    void saveRequested();

private:
    void load(const ValueLookup& store);
    void requestSave();
    void performSave();

    SettingsStore& m_store;
    QTimer m_saveTimer;

    double m_zoomLevel = 2.0;
    MagnificationMode m_mode = MagnificationMode::followMouse;
    std::optional<QRectF> m_fixedRegion;
    bool m_isWindowVisible = true;
    std::optional<QRectF> m_windowFrame;
    double m_windowTransparency = 0.3;
    bool m_keepWindowActive = false;
    bool m_stayInCurrentSpace = false;
    bool m_hideWhileMoving = false;
    ColorFilter m_colorFilter = ColorFilter::none;
    Scaling m_smoothing = Scaling::pixels;
    bool m_crosshair = false;
    bool m_followFocus = true;
    DockPosition m_dockPosition = DockPosition::none;
    std::optional<QRectF> m_preDockFrame;

    bool m_suspendPersistence = false;
    bool m_isSavedByOwner = false;
    bool m_hasScreenRecordingPermission = false;
    WindowingLimits m_windowingLimits;
    QString m_followUnavailableReason;
    bool m_followSuspended = false; // moved off followMouse only because it is unavailable
    bool m_isSelectingRegion = false;
    bool m_isAdjustingRegion = false;
    QPointF m_mouseLocation;
    QImage m_currentFrame;
};

} // namespace oculo
