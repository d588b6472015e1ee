#pragma once

#include <QList>
#include <QVariantMap>

namespace oculo {

class MagnifierState;
class SettingsStore;

// Which magnifier windows were open, kept in the settings file so the next
// start can open them all again. The first window's settings are the plain
// "oculo." keys earlier versions wrote; every other window is one entry of
// "oculo.otherWindows", an array of objects under the same keys. Each says in
// "oculo.isWindowVisible" whether it was shown, not hidden by the user.
struct OpenWindows {
    static const QString otherWindowsKey;

    struct Window {
        const MagnifierState* state;
        bool isShown;
    };

    // False when the first window was hidden at the end, or no window was open.
    bool firstIsShown = true;
    // The saved values of the windows after the first; an entry that is not an
    // object with a usable window frame is dropped, and only that one.
    QList<QVariantMap> others;

    static OpenWindows read(const SettingsStore& store);
    static bool isShown(const QVariantMap& savedValues);
    // Records `windows` (in order; may be empty) and syncs the store.
    static void write(SettingsStore& store, const QList<Window>& windows);
};

} // namespace oculo
