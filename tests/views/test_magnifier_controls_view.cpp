#include "views/ControlButton.h"
#include "views/MagnifierControlsView.h"

#include "StateFixture.h"
#include "support/TestEnvironment.h"

#include <QLabel>
#include <QPainter>
#include <QSlider>

#include <algorithm>
#include <memory>

using namespace oculo;

class TestMagnifierControlsView : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<test::StateFixture> m_fixture;
    std::unique_ptr<MagnifierControlsView> m_view;

    MagnifierState& state() { return m_fixture->state; }
    QList<ControlButton*> buttons() const {
        return {m_view->modeButton(),        m_view->regionButton(),
                m_view->zoomOutButton(),     m_view->zoomInButton(),
                m_view->keepActiveButton(),  m_view->hideWhileMovingButton(),
                m_view->stayInSpaceButton(), m_view->dockTopButton(),
                m_view->dockBottomButton()};
    }

private Q_SLOTS:
    void init() {
        QLocale::setDefault(QLocale::c());
        m_fixture = std::make_unique<test::StateFixture>();
        m_view = std::make_unique<MagnifierControlsView>(state());
    }

    void cleanup() {
        m_view.reset();
        m_fixture.reset();
        QLocale::setDefault(QLocale::c());
    }

    void fitsWithinTheSpaceGiven() {
        const QSize natural = m_view->sizeHint();
        QCOMPARE(m_view->size(), natural);

        m_view->fitWithin(QSize(2000, 1000));
        QCOMPARE(m_view->size(), natural);
        QCOMPARE(m_view->rowCount(), 1);

        // Narrower: more rows, never wider or higher than allowed.
        int rows = 1;
        for (const QSize available : {QSize(400, 300), QSize(300, 250), QSize(200, 200)}) {
            m_view->fitWithin(available);
            QVERIFY(m_view->width() <= available.width());
            QVERIFY(m_view->height() <= available.height());
            QVERIFY(m_view->rowCount() >= std::max(rows, 2));
            rows = m_view->rowCount();
        }
        m_view->fitWithin(QSize(400, 300));
        QCOMPARE(m_view->rowCount(), 2);

        // Even a degenerate space leaves a valid, if empty, strip.
        m_view->fitWithin(QSize(0, 0));
        QVERIFY(m_view->width() >= 0 && m_view->height() >= 0);
    }

    void followMouseModeOffersRegionSelection() {
        ControlButton* mode = m_view->modeButton();
        QCOMPARE(mode->symbolName(), QStringLiteral("follow-mouse"));
        QCOMPARE(mode->toolTip(), QStringLiteral("Switch to Fixed Region"));
        QVERIFY(!m_view->regionButton()->isEnabled());
        QVERIFY(m_view->hideWhileMovingButton()->isEnabled());
        QCOMPARE(drawnOpacity(m_view->hideWhileMovingButton()), 1.0);

        mode->click();
        QVERIFY(state().isSelectingRegion());
        QCOMPARE(state().mode(), MagnificationMode::followMouse);
    }

    void fixedRegionModeOffersAdjustmentAndFollowMouse() {
        state().setMode(MagnificationMode::fixedRegion);
        QVERIFY2(!m_view->regionButton()->isEnabled(), "no region selected yet");

        state().completeRegionSelection(QRectF(10, 20, 300, 200));
        ControlButton* mode = m_view->modeButton();
        QCOMPARE(mode->symbolName(), QStringLiteral("region-dashed"));
        QCOMPARE(mode->toolTip(), QStringLiteral("Switch to Follow Mouse"));
        QVERIFY(m_view->regionButton()->isEnabled());
        QCOMPARE(m_view->regionButton()->toolTip(),
                 QStringLiteral("Move or resize the captured region"));
        QVERIFY(!m_view->hideWhileMovingButton()->isEnabled());
        QCOMPARE(drawnOpacity(m_view->hideWhileMovingButton()), 0.5);

        m_view->regionButton()->click();
        QVERIFY(state().isAdjustingRegion());

        mode->click();
        QCOMPARE(state().mode(), MagnificationMode::followMouse);
        QVERIFY(!state().isSelectingRegion());
        QCOMPARE(mode->symbolName(), QStringLiteral("follow-mouse"));
    }

    void zoomButtonsStepWithinBounds() {
        state().setZoomLevel(1.0);
        QVERIFY(!m_view->zoomOutButton()->isEnabled());
        QVERIFY(m_view->zoomInButton()->isEnabled());
        QCOMPARE(m_view->zoomText()->text(), QStringLiteral("1.0"));

        state().setZoomLevel(9.9);
        QVERIFY(m_view->zoomInButton()->isEnabled());
        m_view->zoomInButton()->click();
        QCOMPARE(state().zoomLevel(), 10.0);
        QVERIFY(!m_view->zoomInButton()->isEnabled());
        QCOMPARE(m_view->zoomText()->text(), QStringLiteral("10.0"));
        QCOMPARE(m_view->zoomSlider()->value(), m_view->zoomSlider()->maximum());

        m_view->zoomOutButton()->click();
        QCOMPARE(state().zoomLevel(), 9.75);

        m_view->zoomSlider()->setValue(10); // 10 quarter steps
        QCOMPARE(state().zoomLevel(), 2.5);
        QCOMPARE(m_view->zoomText()->text(), QStringLiteral("2.5"));
    }

    void readoutsFollowTheLocale() {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QCOMPARE(MagnifierControlsView::formatZoom(2.5), QStringLiteral("2,5"));
        QCOMPARE(MagnifierControlsView::formatZoom(2.0), QStringLiteral("2,0"));
    }

    void transparencyReadoutTruncates() {
        state().setWindowTransparency(0.29);
        QCOMPARE(m_view->transparencyText()->text(), QStringLiteral("28"));
        state().setWindowTransparency(0.3);
        QCOMPARE(m_view->transparencyText()->text(), QStringLiteral("30"));
        state().setWindowTransparency(1.0);
        QCOMPARE(m_view->transparencyText()->text(), QStringLiteral("100"));

        m_view->transparencySlider()->setValue(550);
        QCOMPARE(state().windowTransparency(), 0.55);
    }

    void keepActiveDisablesTransparency() {
        QVERIFY(m_view->transparencySlider()->isEnabled());
        QCOMPARE(drawnOpacity(m_view->transparencyGroup()), 1.0);

        ControlButton* keep = m_view->keepActiveButton();
        QCOMPARE(keep->toolTip(), QStringLiteral("Keep window always opaque (OFF)"));
        QCOMPARE(keep->tint(), QString());
        keep->click();
        QVERIFY(state().keepWindowActive());
        QVERIFY(keep->isChecked());
        QCOMPARE(keep->symbolName(), QStringLiteral("pin-on"));
        QCOMPARE(keep->toolTip(), QStringLiteral("Window stays opaque (ON)"));
        QCOMPARE(keep->tint(), QStringLiteral("blue"));
        QVERIFY(!m_view->transparencySlider()->isEnabled());
        QCOMPARE(drawnOpacity(m_view->transparencyGroup()), 0.5);
        QCOMPARE(m_view->transparencyGroup()->toolTip(),
                 QStringLiteral("Window transparency when unfocused"));
    }

    void switchesToggleTheirSettings() {
        ControlButton* hide = m_view->hideWhileMovingButton();
        hide->click();
        QVERIFY(state().hideWhileMoving());
        QCOMPARE(hide->tint(), QStringLiteral("orange"));
        QCOMPARE(hide->symbolName(), QStringLiteral("eye-slash-on"));
        QCOMPARE(hide->toolTip(), QStringLiteral("Hide while cursor moving (ON)"));

        ControlButton* stay = m_view->stayInSpaceButton();
        QCOMPARE(stay->toolTip(), QStringLiteral("Follows across spaces (OFF)"));
        stay->click();
        QVERIFY(state().stayInCurrentSpace());
        QCOMPARE(stay->tint(), QStringLiteral("blue"));
        QCOMPARE(stay->toolTip(), QStringLiteral("Stays in current space (ON)"));

        // A change made elsewhere shows here too.
        state().setStayInCurrentSpace(false);
        QVERIFY(!stay->isChecked());
        QCOMPARE(stay->tint(), QString());
    }

    void dockButtonsNeedStayInCurrentSpace() {
        for (ControlButton* dock : {m_view->dockTopButton(), m_view->dockBottomButton()}) {
            QVERIFY(!dock->isEnabled());
            QCOMPARE(drawnOpacity(dock), 0.5);
            QCOMPARE(dock->toolTip(), QStringLiteral("Enable 'Stay in Current Space' first"));
        }

        state().setStayInCurrentSpace(true);
        QVERIFY(m_view->dockTopButton()->isEnabled());
        QCOMPARE(drawnOpacity(m_view->dockTopButton()), 1.0);
        QCOMPARE(m_view->dockTopButton()->toolTip(), QStringLiteral("Dock to top"));
        QCOMPARE(m_view->dockBottomButton()->toolTip(), QStringLiteral("Dock to bottom"));
    }

    void dockButtonsDockMoveAndUndock() {
        state().setStayInCurrentSpace(true);
        ControlButton* top = m_view->dockTopButton();
        ControlButton* bottom = m_view->dockBottomButton();

        bottom->click();
        QCOMPARE(state().dockPosition(), DockPosition::bottom);
        QCOMPARE(bottom->symbolName(), QStringLiteral("dock-bottom-active"));
        QCOMPARE(bottom->tint(), QStringLiteral("green"));
        QCOMPARE(bottom->toolTip(), QStringLiteral("Undock from bottom"));
        QCOMPARE(top->tint(), QString());

        top->click(); // straight from one edge to the other
        QCOMPARE(state().dockPosition(), DockPosition::top);
        QCOMPARE(top->toolTip(), QStringLiteral("Undock from top"));
        QCOMPARE(bottom->toolTip(), QStringLiteral("Dock to bottom"));

        // The docked edge says so even while docking is unavailable.
        state().setStayInCurrentSpace(false);
        QCOMPARE(top->toolTip(), QStringLiteral("Undock from top"));
        QCOMPARE(bottom->toolTip(), QStringLiteral("Enable 'Stay in Current Space' first"));

        state().setStayInCurrentSpace(true);
        top->click();
        QCOMPARE(state().dockPosition(), DockPosition::none);
        QCOMPARE(top->symbolName(), QStringLiteral("dock-top"));
    }

    void controlsAreAccessibleAndNeverBlank() {
        for (ControlButton* button : buttons()) {
            const QByteArray name = button->objectName().toLatin1();
            QVERIFY2(!button->accessibleName().isEmpty(), name.constData());
            QCOMPARE(button->accessibleDescription(), button->toolTip());
            QVERIFY2(button->focusPolicy() & Qt::TabFocus, name.constData());

            // Drawn: some pixels inked, but not the whole square.
            const QImage drawn = button->icon().pixmap(16, 16).toImage();
            int inked = 0;
            for (int y = 0; y < drawn.height(); ++y) {
                for (int x = 0; x < drawn.width(); ++x) {
                    inked += qAlpha(drawn.pixel(x, y)) > 0 ? 1 : 0;
                }
            }
            QVERIFY2(inked > 0 && inked < drawn.width() * drawn.height(), name.constData());
        }
        for (QSlider* slider : {m_view->zoomSlider(), m_view->transparencySlider()}) {
            QVERIFY(!slider->accessibleName().isEmpty());
            QVERIFY(slider->focusPolicy() & Qt::TabFocus);
        }
    }

    void symbolsAndButtonsAreDrawnOnceThenReused() {
        // A bundled drawing is rasterised once per size and mode, however often it is asked for.
        const QIcon plus = bundledSymbolIcon(Symbol::zoomIn, Qt::white);
        const int before = bundledSymbolRenderCount();
        QImage canvas(32, 32, QImage::Format_ARGB32_Premultiplied);
        for (int i = 0; i < 3; ++i) {
            QVERIFY(!plus.pixmap(16, 16).isNull());
            QPainter painter(&canvas);
            plus.paint(&painter, QRect(0, 0, 16, 16));
        }
        QCOMPARE(bundledSymbolRenderCount(), before + 1);
        QVERIFY(!plus.pixmap(QSize(16, 16), QIcon::Disabled).isNull());
        QCOMPARE(bundledSymbolRenderCount(), before + 2);

        // Repainting the strip draws nothing anew, yet a changed look shows at once.
        const auto drawn = [](QWidget* widget) {
            QImage image(widget->size(), QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            widget->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
            return image;
        };
        const QImage first = drawn(m_view.get());
        const int afterFirst = bundledSymbolRenderCount();
        QCOMPARE(drawn(m_view.get()), first);
        QCOMPARE(bundledSymbolRenderCount(), afterFirst);

        ControlButton* keepActive = m_view->keepActiveButton();
        const QImage off = drawn(keepActive);
        state().setKeepWindowActive(true);
        QVERIFY(drawn(keepActive) != off);
        state().setKeepWindowActive(false);
        QCOMPARE(drawn(keepActive), off);

        // A dimmed button is drawn at that opacity.
        setDrawnOpacity(keepActive, 0.5);
        const QImage dimmed = drawn(keepActive);
        const QPoint centre = dimmed.rect().center();
        QVERIFY(qAlpha(dimmed.pixel(centre)) < qAlpha(off.pixel(centre)));
        setDrawnOpacity(keepActive, 1.0);
        QCOMPARE(drawn(keepActive), off);
    }

    void keyboardPressesButtons() {
        state().setZoomLevel(2.0);
        QTest::keyClick(m_view->zoomInButton(), Qt::Key_Return);
        QCOMPARE(state().zoomLevel(), 2.25);
        QTest::keyClick(m_view->zoomInButton(), Qt::Key_Enter);
        QCOMPARE(state().zoomLevel(), 2.5);
        QTest::keyClick(m_view->zoomOutButton(), Qt::Key_Space);
        QCOMPARE(state().zoomLevel(), 2.25);
        QTest::keyClick(m_view->keepActiveButton(), Qt::Key_Space);
        QVERIFY(state().keepWindowActive());
    }

    void tabWalksThroughTheControls() {
        state().setStayInCurrentSpace(true);
        m_view->show();
        m_view->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_view.get()));
        m_view->modeButton()->setFocus();
        QList<QWidget*> reached{m_view->modeButton()};
        for (int i = 0; i < 20; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            if (!reached.contains(QApplication::focusWidget())) {
                reached.append(QApplication::focusWidget());
            }
        }
        for (QWidget* control : {static_cast<QWidget*>(m_view->zoomSlider()),
                                 static_cast<QWidget*>(m_view->dockBottomButton()),
                                 static_cast<QWidget*>(m_view->stayInSpaceButton())}) {
            QVERIFY2(reached.contains(control), control->objectName().toLatin1().constData());
        }
    }
};

OCULO_TEST_MAIN(TestMagnifierControlsView)
#include "test_magnifier_controls_view.moc"
