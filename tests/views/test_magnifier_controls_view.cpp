#include "views/ControlButton.h"
#include "views/MagnifierControlsView.h"

#include "StateFixture.h"
#include "support/TestEnvironment.h"

#include <QLabel>
#include <QSlider>

#include <algorithm>
#include <functional>
#include <memory>

using namespace oculo;

class TestMagnifierControlsView : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<test::StateFixture> m_fixture;
    std::unique_ptr<MagnifierControlsView> m_view;

    MagnifierState& state() { return m_fixture->state; }

private Q_SLOTS:
    void init() {
        m_fixture = std::make_unique<test::StateFixture>();
        m_view = std::make_unique<MagnifierControlsView>(state());
    }

    void cleanup() {
        m_view.reset();
        m_fixture.reset();
    }

    void buttonsAreEnabledOnlyWhereTheyCanAct() {
        struct Case {
            const char* situation;
            std::function<void(MagnifierState&)> arrange;
            bool region, hideWhileMoving, dock;
        };
        const QList<Case> cases{
            {"follow mouse", [](MagnifierState&) {}, false, true, false},
            {"fixed mode, no region yet",
             [](MagnifierState& s) { s.setMode(MagnificationMode::fixedRegion); }, false, false,
             false},
            {"fixed region",
             [](MagnifierState& s) { s.completeRegionSelection(QRectF(10, 20, 300, 200)); }, true,
             false, false},
            {"stays in its space", [](MagnifierState& s) { s.setStayInCurrentSpace(true); }, false,
             true, true},
        };
        for (const Case& c : cases) {
            cleanup();
            init();
            c.arrange(state());
            QVERIFY2(m_view->regionButton()->isEnabled() == c.region, c.situation);
            QVERIFY2(m_view->hideWhileMovingButton()->isEnabled() == c.hideWhileMoving,
                     c.situation);
            QVERIFY2(m_view->dockTopButton()->isEnabled() == c.dock, c.situation);
            QVERIFY2(m_view->dockBottomButton()->isEnabled() == c.dock, c.situation);
            QCOMPARE(drawnOpacity(m_view->dockTopButton()), c.dock ? 1.0 : 0.5);
        }
        // Keeping the window active makes its transparency moot.
        state().setKeepWindowActive(true);
        QVERIFY(!m_view->transparencySlider()->isEnabled());
        QCOMPARE(drawnOpacity(m_view->transparencyGroup()), 0.5);
    }

    void buttonsChangeTheirSettingsBothWays() {
        struct Case {
            const char* button;
            ControlButton* (MagnifierControlsView::*control)() const;
            std::function<bool(const MagnifierState&)> isOn;
        };
        const QList<Case> cases{
            {"keep active", &MagnifierControlsView::keepActiveButton,
             &MagnifierState::keepWindowActive},
            {"hide while moving", &MagnifierControlsView::hideWhileMovingButton,
             &MagnifierState::hideWhileMoving},
            {"stay in space", &MagnifierControlsView::stayInSpaceButton,
             &MagnifierState::stayInCurrentSpace},
        };
        for (const Case& c : cases) {
            ControlButton* button = (m_view.get()->*c.control)();
            button->click();
            QVERIFY2(c.isOn(state()) && button->isChecked(), c.button);
            button->click();
            QVERIFY2(!c.isOn(state()) && !button->isChecked(), c.button);
        }
        // A change made elsewhere shows here too.
        state().setStayInCurrentSpace(true);
        QVERIFY(m_view->stayInSpaceButton()->isChecked());

        // Docking: to an edge, straight to the other, and off again.
        m_view->dockBottomButton()->click();
        QCOMPARE(state().dockPosition(), DockPosition::bottom);
        m_view->dockTopButton()->click();
        QCOMPARE(state().dockPosition(), DockPosition::top);
        m_view->dockTopButton()->click();
        QCOMPARE(state().dockPosition(), DockPosition::none);

        // The mode button selects a region in follow-mouse mode and leaves a fixed region.
        m_view->modeButton()->click();
        QVERIFY(state().isSelectingRegion());
        QCOMPARE(state().mode(), MagnificationMode::followMouse);
        state().completeRegionSelection(QRectF(10, 20, 300, 200));
        m_view->regionButton()->click();
        QVERIFY(state().isAdjustingRegion());
        m_view->modeButton()->click();
        QCOMPARE(state().mode(), MagnificationMode::followMouse);
    }

    void zoomAndTransparencyControlsStayWithinBounds() {
        QLocale::setDefault(QLocale::c());
        state().setZoomLevel(1.0);
        QVERIFY(!m_view->zoomOutButton()->isEnabled());
        state().setZoomLevel(9.9);
        m_view->zoomInButton()->click();
        QCOMPARE(state().zoomLevel(), 10.0);
        QVERIFY(!m_view->zoomInButton()->isEnabled());
        QCOMPARE(m_view->zoomSlider()->value(), m_view->zoomSlider()->maximum());
        m_view->zoomSlider()->setValue(10); // 10 quarter steps above 1.0
        QCOMPARE(state().zoomLevel(), 2.5);
        QCOMPARE(m_view->zoomText()->text(), QStringLiteral("2.5"));

        // The transparency readout truncates, so 0.29 never reads as 29.
        state().setWindowTransparency(0.29);
        QCOMPARE(m_view->transparencyText()->text(), QStringLiteral("28"));
        m_view->transparencySlider()->setValue(550);
        QCOMPARE(state().windowTransparency(), 0.55);

        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QCOMPARE(MagnifierControlsView::formatZoom(2.5), QStringLiteral("2,5"));
        QLocale::setDefault(QLocale::c());
    }

    // One sweep for people who use the keyboard or a screen reader.
    void everyControlIsNamedReachableAndDrawn() {
        state().setStayInCurrentSpace(true);
        const QList<ControlButton*> buttons{
            m_view->modeButton(),        m_view->regionButton(),
            m_view->zoomOutButton(),     m_view->zoomInButton(),
            m_view->keepActiveButton(),  m_view->hideWhileMovingButton(),
            m_view->stayInSpaceButton(), m_view->dockTopButton(),
            m_view->dockBottomButton()};
        for (ControlButton* button : buttons) {
            const QByteArray name = button->objectName().toLatin1();
            QVERIFY2(!button->accessibleName().isEmpty(), name.constData());
            QCOMPARE(button->accessibleDescription(), button->toolTip());
            // Drawn: some pixels inked, but not the whole square.
            const QImage alpha =
                button->icon().pixmap(16, 16).toImage().convertToFormat(QImage::Format_Alpha8);
            const auto inked =
                std::count_if(alpha.constBits(), alpha.constBits() + alpha.sizeInBytes(),
                              [](uchar a) { return a > 0; });
            QVERIFY2(inked > 0 && inked < alpha.sizeInBytes(), name.constData());
        }
        for (QSlider* slider : {m_view->zoomSlider(), m_view->transparencySlider()}) {
            QVERIFY(!slider->accessibleName().isEmpty());
        }

        // Return, Enter and Space press the focused button.
        state().setZoomLevel(2.0);
        QTest::keyClick(m_view->zoomInButton(), Qt::Key_Return);
        QTest::keyClick(m_view->zoomInButton(), Qt::Key_Enter);
        QTest::keyClick(m_view->zoomOutButton(), Qt::Key_Space);
        QCOMPARE(state().zoomLevel(), 2.25);

        // Tab reaches every control.
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
        for (QWidget* control : buttons) {
            QVERIFY2(!control->isEnabled() || reached.contains(control),
                     control->objectName().toLatin1().constData());
        }
        QVERIFY(reached.contains(m_view->zoomSlider()));
    }
};

OCULO_TEST_MAIN(TestMagnifierControlsView)
#include "test_magnifier_controls_view.moc"
