#pragma once

#include <QObject>
#include <QUuid>
#include <QVariantMap>
#include <qcoro/qcorotask.h>

namespace oculo {

class MagnifierState;
class ScreenCaptureService;

// One magnifier window as the application core sees it: its state, its
// capture and what the user sees of it. The widgets behind it stay in the
// shell's libraries.
class MagnifierWindow : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    virtual QUuid id() const = 0;
    virtual MagnifierState& state() const = 0;
    virtual ScreenCaptureService& screenCaptureService() const = 0;
    virtual QCoro::Task<> startCapture() = 0;
    // Stops the stream, then starts it again on the current display list.
    virtual QCoro::Task<> restartCapture() = 0;

    virtual bool hasKeyboardFocus() const = 0;
    // Visible, not minimised and on the current desktop.
    virtual bool isShownToUser() const = 0;
    // Restored from minimised, on the current desktop, in front.
    virtual void bringBack() = 0;
    // Hidden until bringBack(); capture and settings stay as they are.
    virtual void hideFromUser() = 0;
    virtual bool isHiddenByUser() const = 0;
    // Gives the window the keyboard when it is shown.
    virtual void activate() = 0;
    // Stops capturing and drops the window; safe to call more than once.
    virtual void close() = 0;

Q_SIGNALS:
    // Once, at the end of the first close(); a receiver may delete the window later.
    void closed();
};

// Makes the magnifier windows the core keeps.
class MagnifierWindowFactory {
public:
    virtual ~MagnifierWindowFactory() = default;

    // A window set up and shown, owned by `parent`. With `copyFrom` it takes
    // that window's zoom, mode, transparency, keep-active and stay-in-space settings.
    virtual MagnifierWindow* createWindow(MagnifierState* copyFrom, QObject* parent) = 0;
    // A window set up and shown with the settings an earlier run saved for it
    // (MagnifierState::savedValues()), owned by `parent`.
    virtual MagnifierWindow* restoreWindow(const QVariantMap& savedValues, QObject* parent) = 0;
};

} // namespace oculo
