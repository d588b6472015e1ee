// Global shortcuts on a private X server: pressed while another client has
// the keyboard, held by another client, and changed in the settings window.

#include "ShortcutRig.h"
#include "app/ApplicationCore.h"
#include "app/GlobalShortcutActions.h"
#include "platform/x11/X11GlobalShortcuts.h"
#include "shell/AppDelegate.h"
#include "shell/SystemSettingsSections.h"
#include "state/MagnifierState.h"
#include "support/TestEnvironment.h"
#include "support/X11TestSupport.h"
#include "window/FloatingPanel.h"
#include "window/MagnifierWindowController.h"

#include <QLabel>
#include <QPushButton>

#include <X11/keysym.h>

#include <functional>
#include <memory>

using namespace oculo;
using Status = GlobalShortcuts::Status;
using oculo::test::SolidXWindow;

namespace {

constexpr quint16 superAlt = 0x40 | 0x08; // Mod4 | Mod1
constexpr quint16 numLock = 0x10;         // Mod2 in the server's default map

using Rig = oculo::test::ShortcutRig<X11GlobalShortcuts>;

} // namespace

class TestGlobalShortcuts : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void pressedAnywhereTheyActOnTheMagnifierUsedLast() {
        Rig rig;
        rig.core->applicationDidFinishLaunching();
        QTRY_COMPARE(rig.core->windowCount(), 1);
        rig.core->createNewWindow();
        const QList<MagnifierWindowController*> windows = rig.delegate->windowControllers();
        for (MagnifierWindowController* window : windows) {
            QTRY_VERIFY(window->isShownToUser());
        }
        windows.at(1)->panel()->activateWindow();
        QTRY_VERIFY(windows.at(1)->hasKeyboardFocus());
        SolidXWindow other(QRect(900, 600, 200, 100), Qt::gray);
        other.takeKeyboardFocus();
        QTRY_VERIFY(!windows.at(1)->hasKeyboardFocus());

        MagnifierState& used = windows.at(1)->state();
        const double zoom = used.zoomLevel();
        const struct {
            QList<quint32> keys;
            std::function<bool()> done;
        } presses[] = {
            {{XK_Super_L, XK_Alt_L, XK_equal},
             [&] { return used.zoomLevel() == zoom + MagnifierState::zoomStep; }},
            // With NumLock on the grab still matches.
            {{XK_Num_Lock}, [] { return true; }},
            {{XK_Super_L, XK_Alt_L, XK_minus}, [&] { return used.zoomLevel() == zoom; }},
            {{XK_Num_Lock}, [] { return true; }},
            {{XK_Super_L, XK_Alt_L, XK_i},
             [&] { return used.colorFilter() == ColorFilter::invertLightness; }},
            {{XK_Super_L, XK_Alt_L, XK_8},
             [&] { return !windows.at(0)->isShownToUser() && !windows.at(1)->isShownToUser(); }},
            {{XK_Super_L, XK_Alt_L, XK_8},
             [&] { return windows.at(0)->isShownToUser() && windows.at(1)->isShownToUser(); }},
        };
        for (const auto& press : presses) {
            QVERIFY(oculo::test::pressKeys(press.keys));
            QTRY_VERIFY(press.done());
        }
        QCOMPARE(windows.at(0)->state().zoomLevel(), zoom);
        QCOMPARE(windows.at(0)->state().colorFilter(), ColorFilter::none);
        // Showing them again leaves the keyboard where the user was typing.
        QVERIFY(!windows.at(0)->hasKeyboardFocus() && !windows.at(1)->hasKeyboardFocus());
    }

    void takenShortcutsAreReportedAndClearedInTheSettings() {
        for (const quint16 locks : {quint16{0}, numLock}) {
            SolidXWindow holder(QRect(0, 0, 10, 10), Qt::black);
            QVERIFY(holder.grabKey(XK_8, superAlt | locks));
            Rig rig;
            QCOMPARE(rig.shortcuts.status(GlobalShortcutActions::toggleWindows), Status::taken);
            QCOMPARE(rig.shortcuts.status(GlobalShortcutActions::zoomIn), Status::active);

            GlobalShortcutsSection section(*rig.actions);
            auto* problem =
                section.findChild<QLabel*>(QStringLiteral("globalShortcutProblem.toggle"));
            QCOMPARE(problem->text(), QStringLiteral("Super+Alt+8 is taken by another program"));
            QVERIFY(!problem->isHidden());
            section.findChildren<QPushButton*>().first()->click();
            QCOMPARE(rig.store.string(QStringLiteral("oculo.shortcut.toggle")), QString());
            QVERIFY(problem->isHidden());
        }
    }

    void sequencesAreStoredCheckedAndReleased() {
        SolidXWindow other(QRect(0, 0, 10, 10), Qt::black);
        {
            Rig rig;
            GlobalShortcutActions& actions = *rig.actions;
            // Unreadable text keeps the default; a bare key is refused.
            rig.store.setString(QStringLiteral("oculo.shortcut.zoomOut"), QStringLiteral("Nope+"));
            QCOMPARE(actions.sequence(GlobalShortcutActions::zoomOut),
                     QKeySequence(Qt::META | Qt::ALT | Qt::Key_Minus));
            QVERIFY(!actions.setSequence(GlobalShortcutActions::zoomIn, QKeySequence(Qt::Key_8))
                         .isEmpty());
            // Taking another shortcut's keys clears that one, and the old keys are let go.
            QVERIFY(actions
                        .setSequence(GlobalShortcutActions::zoomIn,
                                     QKeySequence(Qt::META | Qt::ALT | Qt::Key_8))
                        .isEmpty());
            QCOMPARE(actions.sequence(GlobalShortcutActions::toggleWindows), QKeySequence());
            QCOMPARE(rig.store.string(QStringLiteral("oculo.shortcut.zoomIn")),
                     QStringLiteral("Meta+Alt+8"));
            QVERIFY(other.grabKey(XK_equal, superAlt));
            QVERIFY(!other.grabKey(XK_8, superAlt | numLock));
        }
        // Ending lets go of every grab.
        QVERIFY(other.grabKey(XK_8, superAlt | numLock));
    }
};

OCULO_X11_TEST_MAIN(TestGlobalShortcuts, false)

#include "test_global_shortcuts.moc"
