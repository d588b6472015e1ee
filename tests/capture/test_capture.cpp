#include "capture/DisplayManager.h"
#include "capture/PermissionManager.h"
#include "capture/ScreenCaptureService.h"
#include "support/TestEnvironment.h"
#include "support/fakes/FakeCaptureBackend.h"
#include "support/fakes/FakeDisplaySource.h"
#include "support/fakes/FakeSystemSettingsLauncher.h"
#include "support/fakes/StdoutCapture.h"

#include <QSignalSpy>

#include <chrono>
#include <limits>
#include <optional>

using namespace std::chrono_literals;
using oculo::DisplayManager;
using oculo::PermissionManager;
using oculo::ScreenCaptureService;
using Kind = oculo::DisplayQueryError::Kind;
using Status = oculo::PermissionManager::PermissionStatus;
using oculo::test::CaptureEvent;
using oculo::test::FakeCaptureBackend;
using oculo::test::FakeDisplaySource;
using oculo::test::FakeSystemSettingsLauncher;
using Type = oculo::test::CaptureEvent::Type;

namespace {

const QRectF R0(100, 100, 200, 150);
const QRectF R1(110, 100, 200, 150);
const QRectF R2(120, 100, 200, 150);
const QRectF R3(130, 100, 200, 150);

// Waits until the coalescing window has closed and its rectangle was applied or dropped.
bool settle(const ScreenCaptureService& service) {
    return QTest::qWaitFor([&] { return !service.hasPendingRegionUpdate(); }, 5000);
}

} // namespace

class TestCapture : public QObject {
    Q_OBJECT

    std::optional<FakeCaptureBackend> backend;
    std::optional<ScreenCaptureService> service;

private Q_SLOTS:
    void init() { service.emplace(backend.emplace()); }
    void cleanup() {
        service.reset();
        backend.reset();
    }

    void configurationDoublesTheLogicalSize() {
        QCOMPARE(ScreenCaptureService::configurationFor(QRectF(0, 0, 400, 300)).outputSize,
                 QSize(800, 600));
        QCOMPARE(ScreenCaptureService::configurationFor(QRectF(5, 5, 100.7, 50.2)).outputSize,
                 QSize(201, 100));

        // Nonsense sizes are refused instead of reaching the backend.
        const qreal nan = std::numeric_limits<qreal>::quiet_NaN();
        const auto error = QCoro::waitFor(
            service->startCapture(FakeDisplaySource::primary(), QRectF(0, 0, nan, 100)));
        QVERIFY(error.has_value());
        QCOMPARE(backend->createdCount(), 0);
        QVERIFY(!service->isCapturing());
    }

    void burstOfRectanglesCoalescesIntoTheLast() {
        QCoro::waitFor(service->startCapture(FakeDisplaySource::primary(), R0));
        backend->clearEvents();

        QCoro::waitFor(service->updateCaptureRegion(R1));
        QCoro::waitFor(service->updateCaptureRegion(R2));
        QCoro::waitFor(service->updateCaptureRegion(R3));
        QVERIFY2(backend->events().isEmpty(), "requests return before anything is applied");
        QVERIFY(settle(*service));
        const auto reconfigurations = backend->events(Type::Reconfigured);
        QCOMPARE(reconfigurations.size(), 1);
        QCOMPARE(reconfigurations.first().configuration.sourceRect, R3);
        QCOMPARE(service->currentConfiguration()->sourceRect, R3);

        // The next request opens a new window.
        QCoro::waitFor(service->updateCaptureRegion(R1));
        QTRY_COMPARE(backend->events(Type::Reconfigured).size(), 2);
        QCOMPARE(backend->events(Type::Reconfigured).last().configuration.sourceRect, R1);
        QCoro::waitFor(service->stopCapture());
    }

    void requestsWithoutARunningStreamAreDiscarded() {
        // While idle.
        QCoro::waitFor(service->updateCaptureRegion(R1));
        QVERIFY(settle(*service));
        QVERIFY(backend->events().isEmpty());

        // Stopped while the coalescing window is open.
        QCoro::waitFor(service->startCapture(FakeDisplaySource::primary(), R0));
        QCoro::waitFor(service->updateCaptureRegion(R2));
        QCoro::waitFor(service->stopCapture());
        QVERIFY2(!service->hasPendingRegionUpdate(), "a stop cancels the pending rectangle");
        QCoro::waitFor(service->startCapture(FakeDisplaySource::primary(), R0));
        QVERIFY(settle(*service));
        QVERIFY(backend->events(Type::Reconfigured).isEmpty());

        // A stream whose start failed is not reconfigured either.
        backend->setStartError(QStringLiteral("refused"));
        QVERIFY(QCoro::waitFor(service->startCapture(FakeDisplaySource::primary(), R0)));
        QCoro::waitFor(service->updateCaptureRegion(R3));
        QVERIFY(settle(*service));
        QVERIFY(backend->events(Type::Reconfigured).isEmpty());
    }

    void stopClearsEverythingAndDropsLateFrames() {
        backend->setStopDelay(20ms);            // frames can still arrive while the stream stops
        QCoro::waitFor(service->stopCapture()); // idle: nothing to do
        QCoro::waitFor(service->startCapture(FakeDisplaySource::primary(), R0));
        auto* stream = backend->lastStream();
        stream->emitFrame(Qt::red);
        QVERIFY(!service->currentFrame().isNull());

        auto stopping = service->stopCapture();
        stream->emitFrame(Qt::blue);
        QCoro::waitFor(std::move(stopping));
        QVERIFY(service->currentFrame().isNull());
        QVERIFY(!service->isCapturing());
        QVERIFY(!service->currentDisplay());
        QTRY_COMPARE(backend->liveStreamCount(), 0);
        QCOMPARE(backend->destroyedWhileRunningCount(), 0);
    }

    void restartStopsTheOldStreamFirst() {
        backend->setStopDelay(20ms);
        QCoro::waitFor(service->startCapture(FakeDisplaySource::primary(), R0));
        auto* first = backend->lastStream();
        backend->clearEvents();

        auto restarting = service->startCapture(FakeDisplaySource::secondary(), R1);
        first->emitFrame(Qt::red); // late frame of the old stream
        QVERIFY(!QCoro::waitFor(std::move(restarting)));
        QList<Type> lifecycle = backend->eventTypes();
        lifecycle.removeAll(Type::Destroyed); // deletion is deferred to the event loop
        QCOMPARE(lifecycle, (QList<Type>{Type::Stopped, Type::Created, Type::Started}));
        QCOMPARE(backend->events().first().stream, 1);
        QVERIFY(service->currentFrame().isNull());
        QTRY_COMPARE(backend->liveStreamCount(), 1);
        QCOMPARE(service->currentDisplay(), FakeDisplaySource::secondary());

        backend->lastStream()->emitFrame(Qt::green);
        QCOMPARE(service->currentFrame().pixelColor(0, 0), QColor(Qt::green));
        QCoro::waitFor(service->stopCapture());
    }

    void failedStartLeavesNoCaptureAndNoFrame() {
        backend->setStartError(QStringLiteral("BadAccess"));
        backend->setStartDelay(20ms);
        QSignalSpy capturing(&*service, &ScreenCaptureService::isCapturingChanged);

        auto starting = service->startCapture(FakeDisplaySource::primary(), R0);
        backend->lastStream()->emitFrame(Qt::red); // a frame before the failure
        const auto error = QCoro::waitFor(std::move(starting));
        QCOMPARE(error.value_or(oculo::CaptureError{}).description, QStringLiteral("BadAccess"));
        QVERIFY(!service->isCapturing());
        QVERIFY(service->currentFrame().isNull());
        QCOMPARE(capturing.count(), 0);

        // The failed stream goes with the next stop.
        QCoro::waitFor(service->stopCapture());
        QTRY_COMPARE(backend->liveStreamCount(), 0);
    }

    void stopWhileStartingLeavesNothingRunning() {
        backend->setStartDelay(30ms);
        auto starting = service->startCapture(FakeDisplaySource::primary(), R0);
        QCoro::waitFor(service->stopCapture());
        QVERIFY2(QCoro::waitFor(std::move(starting)).has_value(),
                 "a start overtaken by a stop does not report success");
        QVERIFY(!service->isCapturing());
        QTRY_COMPARE(backend->liveStreamCount(), 0);
        QCOMPARE(backend->runningStreamCount(), 0);
    }

    void streamFailureEndsTheCapture() {
        QCoro::waitFor(service->startCapture(FakeDisplaySource::primary(), R0));
        backend->lastStream()->emitFrame(Qt::red);

        oculo::test::StdoutCapture output;
        backend->lastStream()->emitFailure(QStringLiteral("X connection lost"));
        QTRY_COMPARE(backend->liveStreamCount(), 0);
        QCOMPARE(output.text(), QStringLiteral("Capture stopped: X connection lost\n"));
        QVERIFY(!service->isCapturing());
        QVERIFY(service->currentFrame().isNull());
    }

    void destroyingTheServiceStopsItsStream() {
        backend->setStopDelay(20ms);
        QCoro::waitFor(service->startCapture(FakeDisplaySource::primary(), R0));
        QCoro::waitFor(service->updateCaptureRegion(R1)); // a coalescing run still pending
        service.reset();
        // And one destroyed while its stream starts.
        backend->setStartDelay(20ms);
        auto starting = service.emplace(*backend).startCapture(FakeDisplaySource::primary(), R0);
        service.reset();
        QVERIFY(QCoro::waitFor(std::move(starting)).has_value());
        QTRY_COMPARE(backend->liveStreamCount(), 0);
        QCOMPARE(backend->runningStreamCount(), 0);
        QCOMPARE(backend->destroyedWhileRunningCount(), 0);
        QVERIFY(backend->events(Type::Reconfigured).isEmpty());
    }

    // Display lookup and the permission status, from the display source alone.
    void findsTheDisplayUnderAPointUntilARefreshFails() {
        FakeDisplaySource source;
        source.setDisplays({FakeDisplaySource::primary(), FakeDisplaySource::secondary()});
        DisplayManager manager(source);
        QVERIFY(!manager.displayContaining({10, 10}));
        QCoro::waitFor(manager.refreshDisplays());

        QCOMPARE(manager.primaryDisplay(), FakeDisplaySource::primary());
        QCOMPARE(manager.displayContaining({2000, 400}), FakeDisplaySource::secondary());
        QCOMPARE(manager.displayContaining({100, 100}), FakeDisplaySource::primary());
        // The shared edge belongs to the display that starts there.
        QCOMPARE(manager.displayContaining({1440, 100}), FakeDisplaySource::secondary());
        QCOMPARE(manager.displayContaining({1439.5, 100}), FakeDisplaySource::primary());
        // Outside every display (also below the shorter one): the primary.
        QCOMPARE(manager.displayContaining({1000, 950}), FakeDisplaySource::primary());
        QCOMPARE(manager.displayContaining({-5000, -5000}), FakeDisplaySource::primary());

        // A failed refresh empties the list and says why.
        QSignalSpy primary(&manager, &DisplayManager::primaryDisplayChanged);
        source.setError(Kind::Other, QStringLiteral("X server went away"));
        oculo::test::StdoutCapture output;
        QCoro::waitFor(manager.refreshDisplays());
        QCOMPARE(output.text(), QStringLiteral("Failed to get displays: X server went away\n"));
        QVERIFY(manager.displays().isEmpty());
        QVERIFY(!manager.primaryDisplay());
        QVERIFY(!manager.displayContaining({100, 100}));
        QCOMPARE(primary.count(), 1);
    }

    void managerDestroyedDuringRefreshIsLeftAlone() {
        FakeDisplaySource source;
        source.setDisplays({FakeDisplaySource::primary()});
        source.hold();
        auto manager = std::make_unique<DisplayManager>(source);
        auto refresh = manager->refreshDisplays();
        manager.reset();
        source.release(); // resumes the refresh; it must not touch the dead manager
        QCoro::waitFor(std::move(refresh));
    }

    // The permission manager reads the same query as a permission status.
    void mapsTheDisplayQueryToAStatus() {
        FakeDisplaySource source;
        FakeSystemSettingsLauncher settings;
        PermissionManager manager(source, settings);
        QSignalSpy changes(&manager, &PermissionManager::permissionStatusChanged);
        QCOMPARE(manager.permissionStatus(), Status::unknown);
        // Only a refusal means denied; an error never classified says nothing.
        const struct {
            std::optional<Kind> error;
            int displays;
            Status status;
        } cases[] = {{{}, 2, Status::granted},
                     {{}, 0, Status::denied},
                     {Kind::Other, 0, Status::notDetermined},
                     {Kind::CaptureRefused, 0, Status::denied},
                     {{}, 0, Status::denied}, // a different cause, the same status
                     {Kind::Invalid, 0, Status::notDetermined}};
        for (const auto& c : cases) {
            if (c.error) {
                source.setError(*c.error, QStringLiteral("no X11 access"));
            } else {
                source.setDisplays(
                    QList{FakeDisplaySource::primary(), FakeDisplaySource::secondary()}.first(
                        c.displays));
            }
            QCOMPARE(QCoro::waitFor(manager.checkPermission()), c.status == Status::granted);
            QCOMPARE(manager.permissionStatus(), c.status);
        }
        // A repeated status notifies nothing.
        QCOMPARE(changes.count(), 5);
        QCOMPARE(changes.last().first().value<Status>(), Status::notDetermined);

        settings.setResult(false); // nothing to open: still no error
        manager.openSystemSettings();
        QCOMPARE(settings.openCount(), 1);
    }
};

OCULO_TEST_MAIN(TestCapture)
#include "test_capture.moc"
