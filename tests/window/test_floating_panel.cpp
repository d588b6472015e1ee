#include "window/FloatingPanel.h"

#include "support/TestEnvironment.h"

#include <QLabel>
#include <QScreen>

#include <memory>

using namespace oculo;

class TestFloatingPanel : public QObject {
    Q_OBJECT

private:
    static void activate(QWidget* window) {
        window->show();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
    }

private Q_SLOTS:
    void newPanelIsOpaqueAndCentred() {
        FloatingPanel panel;
        QCOMPARE(panel.targetAlpha(), 1.0);
        QCOMPARE(panel.size(), QSize(400, 300));
        const QPoint offCentre = panel.geometry().center() -
                                 QGuiApplication::primaryScreen()->availableGeometry().center();
        QVERIFY(offCentre.manhattanLength() <= 2);

        panel.resize(100, 120);
        QCOMPARE(panel.size(), QSize(200, 200));
    }

    void motionOpacityAppliesOnlyChanges() {
        FloatingPanel panel;
        panel.updateMotionOpacity(false);
        QCOMPARE(panel.targetAlpha(), 1.0); // motion-based opacity is off

        panel.setMotionBasedOpacity(true);
        panel.updateMotionOpacity(true);
        QCOMPARE(panel.targetAlpha(), 1.0);

        panel.updateMotionOpacity(false);
        QVERIFY(!panel.cursorIsMoving());
        QCOMPARE(panel.targetAlpha(), 0.3);

        panel.updateMotionOpacity(true);
        QCOMPARE(panel.targetAlpha(), 1.0);

        panel.forceUpdateMotionOpacity(true);
        panel.forceUpdateMotionOpacity(false);
        QVERIFY(!panel.cursorIsMoving());
        QCOMPARE(panel.targetAlpha(), 0.3);

        // The animation really reaches the window's opacity (stored in 8 bits).
        QTRY_VERIFY(qAbs(panel.windowOpacity() - 0.3) < 0.01);
    }

    void keyStatusDrivesAlphaUnlessKeptActive() {
        FloatingPanel panel;
        activate(&panel);
        QVERIFY(panel.isKeyWindow());
        panel.setInactiveAlpha(0.6); // nothing visible while key
        QCOMPARE(panel.targetAlpha(), 1.0);
        QWidget other;
        activate(&other);
        QCOMPARE(panel.targetAlpha(), 0.6);
        panel.setInactiveAlpha(0.4); // not key: applies at once
        QCOMPARE(panel.targetAlpha(), 0.4);

        // Kept active, neither focus nor motion fades it.
        panel.setMotionBasedOpacity(true);
        panel.setKeepActive(true);
        QCOMPARE(panel.targetAlpha(), 1.0);
        panel.forceUpdateMotionOpacity(false);
        QCOMPARE(panel.targetAlpha(), 1.0);
        panel.setKeepActive(false);
        QCOMPARE(panel.targetAlpha(), 0.4); // unfocused again: its transparency
        activate(&panel);
        QCOMPARE(panel.targetAlpha(), 1.0);
    }

    void reportsEveryMoveAndResizeOnce() {
        FloatingPanel panel;
        auto* content = new QLabel(QStringLiteral("content"));
        panel.setContent(content);
        QList<QRectF> frames;
        connect(&panel, &FloatingPanel::frameChanged, this,
                [&](const QRectF& frame) { frames.append(frame); });
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        frames.clear();

        panel.move(120, 140);
        QTRY_COMPARE(frames.size(), 1);
        QCOMPARE(frames.last().topLeft(), QPointF(120, 140));
        QCOMPARE(frames.last(), panel.frame());

        panel.resize(500, 350);
        QTRY_COMPARE(frames.size(), 2);
        QCOMPARE(frames.last(), panel.frame());
        // The frame is the outer one, decoration included.
        QVERIFY(frames.last().width() >= 500);
        QCoreApplication::processEvents();
        QCOMPARE(frames.size(), 2);

        panel.setFrame(QRectF(30, 40, 600, 420));
        QCOMPARE(panel.frame(), QRectF(30, 40, 600, 420));
        QCOMPARE(content->geometry(), panel.rect()); // the content fills the panel
    }

    void closingReportsOnceAndMayDropThePanel() {
        auto panel = std::make_unique<FloatingPanel>();
        int closes = 0;
        connect(panel.get(), &FloatingPanel::closeRequested, this, [&] {
            ++closes;
            panel.reset(); // the owner drops the panel from its handler
        });
        panel->show();
        QVERIFY(QTest::qWaitForWindowExposed(panel.get()));
        QVERIFY(panel->close());
        QTRY_COMPARE(closes, 1);
        QVERIFY(!panel);
    }
};

OCULO_TEST_MAIN(TestFloatingPanel)
#include "test_floating_panel.moc"
