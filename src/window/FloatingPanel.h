#pragma once

#include "platform/WindowingLimits.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QRect>
#include <QRectF>
#include <QSize>
#include <QWidget>

#include <optional>

class QPropertyAnimation;

namespace oculo {

// The window of one magnifier: a top-level tool window that stays above
// ordinary windows, takes keys when clicked, and fades to `inactiveAlpha` when
// not focused (unless `keepActive`) or, with `motionBasedOpacity`, while the
// pointer moves. Alpha is window opacity, which shows only under a compositor;
// `targetAlpha()` tells the value last asked for. A left-button drag on any
// part of the content that does not take the press itself moves the window.
// Knows nothing of magnifying.
class FloatingPanel : public QWidget {
    Q_OBJECT

public:
    static constexpr double activeAlpha = 1.0;
    static constexpr QSize minimumWindowSize{200, 200};
    static constexpr QSize defaultWindowSize{400, 300};

    explicit FloatingPanel(QWidget* parent = nullptr);
    ~FloatingPanel() override;

    // What the windowing system lets the panel do; before it is first shown.
    // Without keep-above it is an ordinary window; without placement its
    // frame keeps only its size and a drag is the window system's move;
    // without opacity it never fades.
    void setWindowingLimits(const WindowingLimits& limits);
    const WindowingLimits& windowingLimits() const { return m_limits; }

    double inactiveAlpha() const { return m_inactiveAlpha; }
    void setInactiveAlpha(double alpha);
    bool keepActive() const { return m_keepActive; }
    void setKeepActive(bool keep);
    bool stayInCurrentSpace() const { return m_stayInCurrentSpace; }
    void setStayInCurrentSpace(bool stay) { m_stayInCurrentSpace = stay; }
    bool motionBasedOpacity() const { return m_motionBasedOpacity; }
    void setMotionBasedOpacity(bool enabled) { m_motionBasedOpacity = enabled; }
    bool cursorIsMoving() const { return m_cursorIsMoving; }

    // The panel has keyboard focus (the "key window").
    bool isKeyWindow() const;

    // Outer frame in Qt's global logical space, title bar included.
    QRectF frame() const;
    void setFrame(const QRectF& frame);

    // Takes ownership of the content widget, which fills the panel.
    void setContent(QWidget* content);
    QWidget* content() const { return m_content; }

    // `isMoving` here means "show fully": true while the pointer rests.
    void updateMotionOpacity(bool isMoving);
    void forceUpdateMotionOpacity(bool isMoving);

    // Animates the window opacity; a newer animation replaces a running one.
    void animateAlpha(double alpha, int durationMs);
    double targetAlpha() const { return m_targetAlpha; }
    int lastAnimationDurationMs() const { return m_lastAnimationDurationMs; }

Q_SIGNALS:
    void frameChanged(const QRectF& frame); // after every move or resize
    // Emitted from the event loop once the panel has closed, so the owner may
    // delete the panel from inside it.
    void closeRequested();

protected:
    void changeEvent(QEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void becameKey();
    void resignedKey();
    void reportFrame();
    void applyPendingFrameOnceDecorated();

    WindowingLimits m_limits;
    double m_inactiveAlpha = 0.3;
    bool m_keepActive = false;
    bool m_stayInCurrentSpace = false;
    bool m_motionBasedOpacity = false;
    bool m_cursorIsMoving = true;
    bool m_wasKey = false;
    double m_targetAlpha = activeAlpha;
    int m_lastAnimationDurationMs = 0;
    QPointer<QPropertyAnimation> m_animation;
    QWidget* m_content = nullptr;
    // A frame asked for before the window manager's decoration was known; its
    // size is applied again once the decoration can be subtracted.
    std::optional<QRect> m_pendingFrame;
    QDeadlineTimer m_pendingFrameDeadline;
    // A drag by the content: the pointer's global position at the press and
    // the frame's position then. The move is done here rather than by the
    // window manager, which would start from a stale pointer position when
    // the press landed on a native child window.
    std::optional<QPointF> m_dragPress;
    QPointF m_dragStartFrame;
};

} // namespace oculo
