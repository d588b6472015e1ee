#pragma once

#include <QObject>

namespace oculo {

class MagnifierState;

// What the tray panel and the settings window need of the application: how
// many magnifier windows are open, the state of the active one, and a way to
// open another. ApplicationCore implements it; tests use a fake.
class WindowRegistry : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    virtual int windowCount() const = 0;
    // The state of the active window (the focused one, else the first), or
    // nullptr before the first window exists.
    virtual MagnifierState* activeState() const = 0;
    virtual void createNewWindow() = 0;
    // Brings every magnifier window back where the user is: restored from
    // minimised, onto the current desktop, in front, the last active focused.
    // A registry without real windows has nothing to bring back.
    virtual void bringWindowsBack() {}
    virtual void quit() = 0;

Q_SIGNALS:
    // The registry or the active window changed.
    void windowsChanged();
};

} // namespace oculo
