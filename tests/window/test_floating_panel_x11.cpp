#include "window/FloatingPanel.h"

#include "support/TestEnvironment.h"

#include <QWindow>

using namespace oculo;

// Under a window manager the title bar is added only when the panel is mapped;
// the frame asked for must still be the outer frame the user sees.
class TestFloatingPanelX11 : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void frameIncludesTheDecoration() {
        FloatingPanel panel;
        const QRectF wanted(200, 150, 500, 400);
        panel.setFrame(wanted);
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        QTRY_VERIFY(!panel.windowHandle()->frameMargins().isNull());
        QTRY_COMPARE(panel.frame(), wanted);
        QVERIFY(panel.height() < wanted.height());

        const QRectF moved(300, 100, 450, 380);
        panel.setFrame(moved);
        QTRY_COMPARE(panel.frame(), moved);
    }
};

OCULO_X11_TEST_MAIN(TestFloatingPanelX11, true)
#include "test_floating_panel_x11.moc"
