#include "picture/FrameScaler.h"
#include "picture/PictureBlend.h"
#include "picture/PictureEffects.h"
#include "platform/x11/PointerBeacon.h"
#include "platform/x11/X11CaptureBackend.h"
#include "platform/x11/X11CaptureStream.h"
#include "platform/x11/X11DisplaySource.h"
#include "support/TestEnvironment.h"
#include "support/X11TestSupport.h"
#include "support/XvfbSession.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QWindow>
#include <qcoro/qcorotask.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <functional>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace oculo;
using oculo::blendPremultiplied;
using oculo::FrameScaler;
using oculo::test::PatternWindow;
using oculo::test::pixelColor;

namespace {

constexpr int frameTimeoutMs = 5000;
const QRect patternGeometry(100, 100, 400, 300);

CaptureConfiguration configurationFor(const QRectF& rect, bool showsCursor) {
    CaptureConfiguration configuration;
    configuration.sourceRect = rect;
    configuration.outputSize = QSize(int(rect.width() * 2), int(rect.height() * 2));
    configuration.showsCursor = showsCursor;
    return configuration;
}

DisplayInfo firstDisplay(const QByteArray& displayName = {}) {
    const DisplayQueryResult result = X11DisplaySource(displayName).queryDisplaysNow();
    return result.displays.value(0);
}

// Whether a capture thread's last look at the pointer found it at `position`.
bool beaconShows(QPoint position) {
    const auto sighting = x11::PointerBeacon::shared().last();
    return sighting && sighting->position == position;
}

QImage lastFrame(const QSignalSpy& spy) {
    return spy.isEmpty() ? QImage() : spy.last().at(0).value<QImage>();
}

// Segments created by this process, as listed by the kernel: {mode, attachments}.
QList<QPair<int, int>> ownSharedMemorySegments() {
    QList<QPair<int, int>> segments;
    QFile file(QStringLiteral("/proc/sysvipc/shm"));
    if (!file.open(QIODevice::ReadOnly)) {
        return segments;
    }
    file.readLine(); // header
    while (!file.atEnd()) {
        const QList<QByteArray> fields = file.readLine().simplified().split(' ');
        // key shmid perms size cpid lpid nattch ...
        if (fields.size() > 6 && fields[4].toInt() == getpid()) {
            segments.append({fields[2].toInt(nullptr, 8), fields[6].toInt()});
        }
    }
    return segments;
}

// A grabbed area whose every pixel encodes its root coordinates (alpha left 0,
// as X servers deliver it).
struct Grab {
    QRect rect;
    std::vector<quint32> pixels;

    explicit Grab(const QRect& r, quint32 (*pixel)(int, int) = code)
        : rect(r)
        , pixels(std::size_t(r.width()) * r.height()) {
        for (int y = 0; y < r.height(); ++y) {
            for (int x = 0; x < r.width(); ++x) {
                pixels[std::size_t(y) * r.width() + x] = pixel(r.x() + x, r.y() + y);
            }
        }
    }
    static quint32 code(int x, int y) { return quint32(x & 0xfff) << 12 | quint32(y & 0xfff); }
    const uchar* data() const { return reinterpret_cast<const uchar*>(pixels.data()); }
    qsizetype stride() const { return qsizetype(rect.width()) * 4; }
};

QImage scaled(const FrameScaler& scaler) {
    const Grab grab(scaler.grabRect());
    QImage out(scaler.outputSize(), QImage::Format_ARGB32);
    out.fill(Qt::transparent);
    scaler.scale(grab.data(), grab.stride(), out);
    return out;
}

quint32 at(const QImage& image, int x, int y) {
    return reinterpret_cast<const quint32*>(image.constScanLine(y))[x];
}

// Colours that differ in every channel from pixel to pixel, none grey.
QColor patternColour(int x, int y) {
    return QColor((x * 37 + y * 11) & 0xff, (x * 13 + y * 71 + 40) & 0xff,
                  (x * 101 + y * 29) & 0xff);
}

// The filters as defined, in floating point.
QColor filtered(ColorFilter filter, const QColor& c) {
    const int r = c.red(), g = c.green(), b = c.blue();
    const int shift = 255 - std::max({r, g, b}) - std::min({r, g, b});
    const int luma = int(std::lround(0.2126 * r + 0.7152 * g + 0.0722 * b));
    switch (filter) {
    case ColorFilter::none:
        return c;
    case ColorFilter::invert:
        return QColor(255 - r, 255 - g, 255 - b);
    case ColorFilter::invertLightness:
        return QColor(r + shift, g + shift, b + shift);
    case ColorFilter::grayscale:
        return QColor(luma, luma, luma);
    }
    return c;
}

// Sharp-bilinear along one axis: the output cell's centre `u` in source pixels
// gives the first of two pixels and the second's share.
std::pair<int, double> sharpBilinear(double u, double zoom) {
    const double first = std::floor(u - 0.5);
    return {int(first), std::clamp((u - 0.5 - first - 0.5) * zoom + 0.5, 0.0, 1.0)};
}

QColor mixed(const QColor& a, const QColor& b, double share) {
    const auto channel = [share](int from, int to) {
        return int(std::lround(from + (to - from) * share));
    };
    return QColor(channel(a.red(), b.red()), channel(a.green(), b.green()),
                  channel(a.blue(), b.blue()));
}

// The first pixel more than `tolerance` off in a channel, as text; empty when none.
QString firstDifference(const QImage& image, const std::function<QColor(int, int)>& expected,
                        int tolerance) {
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor shown = pixelColor(image, x, y);
            const QColor want = expected(x, y);
            if (std::abs(shown.red() - want.red()) > tolerance ||
                std::abs(shown.green() - want.green()) > tolerance ||
                std::abs(shown.blue() - want.blue()) > tolerance) {
                return QStringLiteral("(%1, %2) shows %3, expected %4")
                    .arg(x)
                    .arg(y)
                    .arg(shown.name(), want.name());
            }
        }
    }
    return image.isNull() ? QStringLiteral("no picture") : QString();
}

} // namespace

class X11CaptureStreamTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        m_window = std::make_unique<PatternWindow>(patternGeometry);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        test::movePointer(QPoint(1300, 50)); // away from everything captured
        m_display = firstDisplay();
        QCOMPARE(m_display.frame, QRectF(0, 0, 1440, 900));
    }

    void cleanupTestCase() { m_window.reset(); }

    void capturesPatternAtTwiceTheSize() {
        X11CaptureBackend backend;
        const auto stream = backend.createStream(
            m_display, configurationFor(QRectF(patternGeometry), /*showsCursor=*/false));
        QSignalSpy frames(stream.get(), &CaptureStream::frameCaptured);
        const std::optional<CaptureError> error = QCoro::waitFor(stream->start());
        QVERIFY2(!error, qPrintable(error ? error->description : QString()));
        // Until the pattern's first paint has reached the screen.
        QTRY_VERIFY_WITH_TIMEOUT(!frames.isEmpty() && pixelColor(lastFrame(frames), 600, 450) ==
                                                          PatternWindow::quadrantColor(true, true),
                                 frameTimeoutMs);
        const QImage frame = lastFrame(frames);
        QCOMPARE(frame.size(), QSize(800, 600));
        QCOMPARE(frame.format(), QImage::Format_RGB32); // painted with a plain blit
        // The quadrant edge at x = 200 points lands exactly on output column 400.
        for (const QPoint at : {QPoint(200, 150), QPoint(600, 150), QPoint(200, 450),
                                QPoint(399, 0), QPoint(400, 0)}) {
            QCOMPARE(pixelColor(frame, at.x(), at.y()),
                     PatternWindow::quadrantColor(at.x() >= 400, at.y() >= 300));
        }
        QCOMPARE(qAlpha(frame.pixel(0, 0)), 255);

        QCoro::waitFor(stream->stop());
        frames.clear();
        QTest::qWait(200);
        QVERIFY(frames.isEmpty());
    }

    // Drawn straight into a native window: the centre of the rectangle (here
    // across the pattern's left edge) fills it, each screen pixel `zoom` times.
    void drawsIntoATargetWindowAtEveryZoom() {
        QWindow target;
        target.setGeometry(700, 500, 240, 120);
        target.show();
        QVERIFY(QTest::qWaitForWindowExposed(&target));
        for (const double zoom : {1.0, 2.0, 3.5}) {
            const QRectF source(110.3 - 120 / zoom, 250 - 90 / zoom, 240 / zoom, 180 / zoom);
            X11CaptureStream stream({}, m_display, configurationFor(source, false));
            stream.setPresentationTarget(target.winId(), target.size());
            QVERIFY(!stream.startNow());
            const auto showsPattern = [zoom] {
                const QImage shown =
                    QGuiApplication::primaryScreen()->grabWindow(0, 700, 500, 240, 120).toImage();
                for (int y = 0; y < shown.height(); ++y) {
                    for (int x = 0; x < shown.width(); ++x) {
                        const bool inside = 110.3 + (x - 119.5) / zoom >= 100;
                        const QColor expected = PatternWindow::quadrantColor(false, y >= 60);
                        if ((pixelColor(shown, x, y) == expected) != inside) {
                            return false;
                        }
                    }
                }
                return shown.width() == 240;
            };
            QTRY_VERIFY2_WITH_TIMEOUT(showsPattern(), qPrintable(QString::number(zoom)),
                                      frameTimeoutMs);
        }
    }

    void drawsThePointerWhereItIs() {
        m_window->setCursor(test::solidCursor(Qt::magenta, 16));
        X11CaptureStream stream({}, m_display, configurationFor(QRectF(patternGeometry), true));
        QSignalSpy frames(&stream, &CaptureStream::frameCaptured);
        QVERIFY(!stream.startNow());
        QTRY_VERIFY_WITH_TIMEOUT(!frames.isEmpty(), frameTimeoutMs);

        // Pointer at (150, 150): the 16-point cursor covers output (100..131).
        test::movePointer(QPoint(150, 150));
        QTRY_VERIFY_WITH_TIMEOUT(pixelColor(lastFrame(frames), 110, 110) == QColor(Qt::magenta),
                                 frameTimeoutMs);
        for (const int at : {98, 100, 131, 134}) {
            QCOMPARE(pixelColor(lastFrame(frames), at, at),
                     at >= 100 && at <= 131 ? QColor(Qt::magenta)
                                            : PatternWindow::quadrantColor(false, false));
        }

        // Moving it elsewhere inside the rectangle redraws it there and erases it here.
        test::movePointer(QPoint(400, 300));
        QTRY_VERIFY_WITH_TIMEOUT(pixelColor(lastFrame(frames), 610, 410) == QColor(Qt::magenta),
                                 frameTimeoutMs);
        QCOMPARE(pixelColor(lastFrame(frames), 110, 110),
                 PatternWindow::quadrantColor(false, false));

        // A warp sends no event; in a fixed region the owner's nudge redraws the pointer.
        test::warpPointer(QPoint(200, 350));
        stream.pointerMoved();
        QTRY_VERIFY_WITH_TIMEOUT(pixelColor(lastFrame(frames), 210, 510) == QColor(Qt::magenta),
                                 frameTimeoutMs);
        QCOMPARE(pixelColor(lastFrame(frames), 610, 410), PatternWindow::quadrantColor(true, true));

        // Following, the owner moves the rectangle after a warp; its frame draws
        // the pointer where it is, not where it was last seen outside it.
        const CaptureConfiguration left = configurationFor(QRectF(100, 100, 200, 300), true);
        QCoro::waitFor(stream.updateConfiguration(left));
        for (const QPoint outside : {QPoint(420, 310), QPoint(430, 320)}) {
            test::movePointer(outside);
            // Seen by the capture thread, the second time outside only.
            QTRY_VERIFY_WITH_TIMEOUT(beaconShows(outside), frameTimeoutMs);
        }
        test::warpPointer(QPoint(150, 150));
        QCoro::waitFor(stream.updateConfiguration(left));
        QTRY_VERIFY_WITH_TIMEOUT(pixelColor(lastFrame(frames), 110, 110) == QColor(Qt::magenta),
                                 frameTimeoutMs);
        test::warpPointer(QPoint(200, 350));
        QCoro::waitFor(stream.updateConfiguration(configurationFor(QRectF(patternGeometry), true)));

        // Leaving the rectangle erases it.
        test::movePointer(QPoint(1300, 50));
        QTRY_VERIFY_WITH_TIMEOUT(pixelColor(lastFrame(frames), 210, 510) ==
                                     PatternWindow::quadrantColor(false, true),
                                 frameTimeoutMs);

        // A rectangle that follows the pointer moves with it, warps included,
        // without a new configuration: the pointer stays at the picture's centre.
        CaptureConfiguration following = configurationFor(QRectF(0, 0, 100, 100), true);
        following.followsPointer = true;
        QCoro::waitFor(stream.updateConfiguration(following));
        for (const auto& [pointer, warp, right, bottom] :
             {std::tuple{QPoint(150, 150), false, false, false},
              std::tuple{QPoint(450, 350), true, true, true}}) {
            if (warp) {
                test::warpPointer(pointer);
                stream.pointerMoved();
            } else {
                test::movePointer(pointer);
            }
            const QColor around = PatternWindow::quadrantColor(right, bottom);
            QTRY_VERIFY_WITH_TIMEOUT(pixelColor(lastFrame(frames), 110, 110) ==
                                             QColor(Qt::magenta) &&
                                         pixelColor(lastFrame(frames), 10, 10) == around,
                                     frameTimeoutMs);
        }
        test::movePointer(QPoint(1300, 50));
        m_window->unsetCursor();
    }

    // Each picture option over a pattern of distinct colours, in published
    // frames and drawn into a native window; a change of options alone brings
    // a new frame on a still screen.
    void appliesFiltersScalingAndCrosshairOnBothPaths() {
        const QRect area(560, 80, 80, 60);
        QImage pattern(area.size(), QImage::Format_RGB32);
        for (int y = 0; y < area.height(); ++y) {
            for (int x = 0; x < area.width(); ++x) {
                pattern.setPixelColor(x, y, patternColour(x, y));
            }
        }
        QLabel patternLabel(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
        patternLabel.setPixmap(QPixmap::fromImage(pattern));
        patternLabel.setGeometry(area);
        patternLabel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&patternLabel));
        const QSize output(90, 60);
        QWindow target;
        target.setGeometry(QRect(QPoint(700, 500), output));
        target.show();
        QVERIFY(QTest::qWaitForWindowExposed(&target));

        struct Case {
            PictureOptions picture;
            double zoom;
            int tolerance;
        };
        const Case cases[] = {
            {{ColorFilter::none, Scaling::pixels, false}, 3, 0}, // crisp: exactly as before
            {{ColorFilter::invert, Scaling::pixels, false}, 2, 2},
            {{ColorFilter::invertLightness, Scaling::pixels, false}, 2, 6},
            {{ColorFilter::grayscale, Scaling::pixels, false}, 2, 2},
            {{ColorFilter::none, Scaling::smooth, false}, 2.5, 2},
            {{ColorFilter::invertLightness, Scaling::smooth, false}, 2.5, 6},
            {{ColorFilter::grayscale, Scaling::smooth, true}, 2, 2},
            {{ColorFilter::none, Scaling::pixels, true}, 4, 0},
        };
        X11CaptureStream stream({}, m_display, CaptureConfiguration());
        QSignalSpy frames(&stream, &CaptureStream::frameCaptured);
        for (const Case& each : cases) {
            const QPointF centre(area.center().x() + 0.3, area.center().y() + 0.3);
            const QRectF source(centre.x() - output.width() / 2.0 / each.zoom,
                                centre.y() - output.height() / 2.0 / each.zoom,
                                output.width() / each.zoom, output.height() / each.zoom);
            const auto expected = [&](int x, int y) {
                if (each.picture.crosshair) {
                    // Through the source's centre, the middle of the output.
                    const int dx = x - output.width() / 2, dy = y - output.height() / 2;
                    if (dx == -1 || dx == 0 || dy == -1 || dy == 0) {
                        return QColor(Qt::black);
                    }
                    if (dx == -2 || dx == 1 || dy == -2 || dy == 1) {
                        return QColor(Qt::white);
                    }
                }
                const double u = source.x() + (x + 0.5) / each.zoom - area.x();
                const double v = source.y() + (y + 0.5) / each.zoom - area.y();
                if (each.picture.scaling == Scaling::pixels) {
                    return filtered(each.picture.colorFilter,
                                    patternColour(int(std::floor(u)), int(std::floor(v))));
                }
                const auto [column, right] = sharpBilinear(u, each.zoom);
                const auto [row, down] = sharpBilinear(v, each.zoom);
                const auto across = [column = column, right = right](int line) {
                    return mixed(patternColour(column, line), patternColour(column + 1, line),
                                 right);
                };
                return filtered(each.picture.colorFilter,
                                mixed(across(row), across(row + 1), down));
            };
            CaptureConfiguration configuration;
            configuration.sourceRect = source;
            configuration.outputSize = output;
            configuration.picture = each.picture;
            const QString label = QStringLiteral("case %1").arg(&each - cases);
            QCoro::waitFor(stream.updateConfiguration(configuration));
            if (!stream.isRunning()) {
                QVERIFY(!stream.startNow());
            }
            frames.clear();
            QString difference;
            QTRY_VERIFY2_WITH_TIMEOUT(
                (difference = firstDifference(lastFrame(frames), expected, each.tolerance))
                    .isEmpty(),
                qPrintable(label + QStringLiteral(", published: ") + difference), frameTimeoutMs);
            stream.setPresentationTarget(target.winId(), output);
            QScreen* screen = QGuiApplication::primaryScreen();
            QTRY_VERIFY2_WITH_TIMEOUT(
                (difference = firstDifference(screen->grabWindow(0, 700, 500, 90, 60).toImage(),
                                              expected, each.tolerance))
                    .isEmpty(),
                qPrintable(label + QStringLiteral(", native: ") + difference), frameTimeoutMs);
            stream.setPresentationTarget(0, QSize());
        }
    }

    void staticScreenProducesNoFramesUntilSomethingChanges() {
        X11CaptureStream stream({}, m_display, configurationFor(QRectF(patternGeometry), true));
        QSignalSpy frames(&stream, &CaptureStream::frameCaptured);
        QVERIFY(!stream.startNow());
        // Once the first frames are through it falls quiet; a late one under load
        // only makes it try again.
        const auto quietFor = [&frames](int ms) {
            frames.clear();
            QTest::qWait(ms);
            return frames.isEmpty();
        };
        QTRY_VERIFY_WITH_TIMEOUT(quietFor(500), 4 * frameTimeoutMs);

        // The pointer moving far from the rectangle changes nothing inside it: the
        // first frame after it is the one of a repaint inside, and shows it.
        test::movePointer(QPoint(1200, 800));
        test::movePointer(QPoint(1250, 820));
        QTRY_VERIFY_WITH_TIMEOUT(beaconShows(QPoint(1250, 820)), frameTimeoutMs);
        m_window->setSolidColor(Qt::cyan);
        QTRY_VERIFY_WITH_TIMEOUT(!frames.isEmpty() &&
                                     pixelColor(lastFrame(frames), 400, 300) == QColor(Qt::cyan),
                                 frameTimeoutMs);
        QCOMPARE(pixelColor(frames.first().at(0).value<QImage>(), 400, 300), QColor(Qt::cyan));
        m_window->setSolidColor(QColor());
        QTRY_VERIFY_WITH_TIMEOUT(pixelColor(lastFrame(frames), 200, 150) ==
                                     PatternWindow::quadrantColor(false, false),
                                 frameTimeoutMs);
    }

    void framesWaitingForTheGuiThreadAreBounded() {
        const QRect area(700, 100, 200, 150);
        test::SolidXWindow window(area, Qt::red);
        X11CaptureStream stream({}, m_display, configurationFor(QRectF(area), false));
        int delivered = 0;
        QImage latest;
        connect(&stream, &CaptureStream::frameCaptured, this, [&](const QImage& frame) {
            ++delivered;
            latest = frame;
        });
        QVERIFY(!stream.startNow());
        QTRY_VERIFY_WITH_TIMEOUT(delivered > 0, frameTimeoutMs);

        // The screen changes for about 20 frame intervals while this thread
        // takes no events: only the queue's worth of frames may pile up.
        delivered = 0;
        for (int i = 0; i < 35; ++i) {
            window.setColor(i % 2 == 0 ? Qt::green : Qt::blue);
            QThread::msleep(20);
        }
        window.setColor(Qt::yellow);
        QCoreApplication::sendPostedEvents(&stream, QEvent::MetaCall);
        QVERIFY2(delivered <= 4, qPrintable(QString::number(delivered)));

        // The change that could not be delivered then is not lost.
        QTRY_VERIFY_WITH_TIMEOUT(
            !latest.isNull() && pixelColor(latest, 10, 10) == QColor(Qt::yellow), frameTimeoutMs);
    }

    void sharedMemoryIsPrivateAndLeavesNothingBehind() {
        {
            X11CaptureStream stream({}, m_display,
                                    configurationFor(QRectF(patternGeometry), false));
            QSignalSpy frames(&stream, &CaptureStream::frameCaptured);
            QVERIFY(!stream.startNow());
            QTRY_VERIFY_WITH_TIMEOUT(!frames.isEmpty(), frameTimeoutMs);

            const auto segments = ownSharedMemorySegments();
            QVERIFY(!segments.isEmpty());
            for (const auto& [mode, attachments] : segments) {
                QCOMPARE(mode & 0777, 0600);
                QVERIFY2((mode & 01000) != 0, "segment not marked for removal while in use");
                QCOMPARE(attachments, 2); // this process and the X server
            }
        }
        QTRY_VERIFY_WITH_TIMEOUT(ownSharedMemorySegments().isEmpty(), 2000);
    }

    // A server that stops answering cannot hold up a stop; one that goes away ends
    // the stream with one failure.
    void frozenOrLostServerNeitherHangsAStopNorGoesUnnoticed() {
        auto server = std::make_unique<test::XvfbSession>();
        QVERIFY2(server->isRunning(), qPrintable(server->errorString()));
        const QByteArray name = server->display().toLocal8Bit();
        {
            X11CaptureStream stream(name, firstDisplay(name),
                                    configurationFor(QRectF(0, 0, 300, 200), true));
            QSignalSpy frames(&stream, &CaptureStream::frameCaptured);
            QVERIFY(!stream.startNow());
            QTRY_VERIFY_WITH_TIMEOUT(!frames.isEmpty(), frameTimeoutMs);

            // The server freezes; the next frame's grab waits for an answer that never comes.
            kill(server->serverPid(), SIGSTOP);
            QCoro::waitFor(
                stream.updateConfiguration(configurationFor(QRectF(10, 10, 300, 200), true)));
            QTest::qWait(200);
            QElapsedTimer timer;
            timer.start();
            stream.stopNow();
            QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
            kill(server->serverPid(), SIGCONT);
        }

        X11CaptureBackend backend(name);
        const auto stream = backend.createStream(firstDisplay(name),
                                                 configurationFor(QRectF(0, 0, 300, 200), true));
        QSignalSpy frames(stream.get(), &CaptureStream::frameCaptured);
        QSignalSpy failures(stream.get(), &CaptureStream::failed);
        QVERIFY(!QCoro::waitFor(stream->start()));
        QTRY_VERIFY_WITH_TIMEOUT(!frames.isEmpty(), frameTimeoutMs);

        server.reset(); // kills the X server under the running stream
        QTRY_COMPARE_WITH_TIMEOUT(failures.size(), 1, frameTimeoutMs);
        QVERIFY(!failures.first().at(0).toString().isEmpty());
        QTest::qWait(200);
        QCOMPARE(failures.size(), 1);
        QCoro::waitFor(stream->stop());
    }

    // The scaling and pointer blending of each grab, without a server.
    // Each output pixel takes the source pixel under its centre, made opaque: doubled,
    // from a half-pixel origin (a pointer-centred rectangle), and 3 pixels onto 7.
    void takesTheNearestPixelAndMakesItOpaque() {
        for (const auto& [source, size] : {std::pair{QRectF(10, 20, 5, 3), QSize(10, 6)},
                                           std::pair{QRectF(9.5, 20, 5, 3), QSize(10, 6)},
                                           std::pair{QRectF(0.5, 0, 3, 1), QSize(7, 2)}}) {
            const QImage out = scaled(FrameScaler(source, QRect(0, 0, 100, 100), size));
            const QSizeF step(source.width() / size.width(), source.height() / size.height());
            for (int y = 0; y < size.height(); ++y) {
                const int row = int(std::floor(source.y() + (y + 0.5) * step.height()));
                for (int x = 0; x < size.width(); ++x) {
                    const int column = int(std::floor(source.x() + (x + 0.5) * step.width()));
                    QCOMPARE(at(out, x, y), 0xff000000u | Grab::code(column, row));
                }
            }
        }
    }

    // The filter and crosshair run on each row inside the scaler, on rows mixed
    // before they are spread: the same picture as filtering what shows the
    // display afterwards and drawing the crosshair over it.
    void filtersAndDrawsTheCrosshairWhileScalingAsAfterwards() {
        const QRect visible(0, 0, 120, 100);
        const auto colour = [](int x, int y) { return patternColour(x, y).rgb() & 0xffffffu; };
        // Inverting lightness eight pixels at a time, and the rest one by one: exact.
        std::vector<quint32> run(37);
        for (int x = 0; x < 37; ++x) {
            run[std::size_t(x)] = colour(x, 5);
        }
        filterPixels(ColorFilter::invertLightness, run.data(), run.data(), 37);
        for (int x = 0; x < 37; ++x) {
            QCOMPARE(run[std::size_t(x)],
                     filtered(ColorFilter::invertLightness, QColor(colour(x, 5))).rgb());
        }
        for (const auto& [source, size] : {std::pair{QRectF(10.5, 20.25, 50, 37.5), QSize(100, 75)},
                                           std::pair{QRectF(10.4, 20.6, 50, 40), QSize(101, 80)},
                                           std::pair{QRectF(3.3, 5.7, 40, 24), QSize(100, 60)},
                                           std::pair{QRectF(95.2, 80.4, 30, 30), QSize(45, 45)},
                                           std::pair{QRectF(1.1, 2.2, 90, 60), QSize(60, 40)}}) {
            for (const Scaling scaling : {Scaling::pixels, Scaling::smooth}) {
                const FrameScaler scaler(source, visible, size, scaling);
                const Grab grab(scaler.grabRect(), colour);
                QImage expected(size, QImage::Format_RGB32);
                scaler.scale(grab.data(), grab.stride(), expected);
                const QRect in = scaler.insideRect();
                for (const auto& [filter, crosshair] :
                     {std::pair{ColorFilter::invertLightness, false},
                      std::pair{ColorFilter::grayscale, true},
                      std::pair{ColorFilter::none, true}}) {
                    QImage after = expected.copy();
                    applyColorFilter(filter, after.scanLine(in.y()) + in.x() * 4,
                                     after.bytesPerLine(), in.width(), in.height());
                    if (crosshair) {
                        drawCrosshair(after, scaler.sourceCentre());
                    }
                    QImage fused(size, QImage::Format_RGB32);
                    scaler.scale(grab.data(), grab.stride(), fused, filter, crosshair);
                    QVERIFY2(fused == after, qPrintable(QStringLiteral("%1 x %2 %3")
                                                            .arg(source.x())
                                                            .arg(int(scaling))
                                                            .arg(int(filter))));
                }
                if (scaling == Scaling::pixels || !visible.contains(source.toAlignedRect())) {
                    continue;
                }
                // Rows mixed before or after they are spread: the mix as defined, give or take
                // rounding.
                // Shrinking mixes plain bilinear, as sharp-bilinear at zoom 1.
                const QSizeF zoom(std::max(size.width() / source.width(), 1.0),
                                  std::max(size.height() / source.height(), 1.0));
                const auto reference = [&](int x, int y) {
                    const auto [column, right] = sharpBilinear(
                        source.x() + (x + 0.5) * source.width() / size.width(), zoom.width());
                    const auto [row, down] = sharpBilinear(
                        source.y() + (y + 0.5) * source.height() / size.height(), zoom.height());
                    const auto across = [&, column = column, right = right](int line) {
                        return mixed(QColor(colour(column, line)), QColor(colour(column + 1, line)),
                                     right);
                    };
                    return mixed(across(row), across(row + 1), down);
                };
                const QString difference = firstDifference(expected, reference, 1);
                QVERIFY2(difference.isEmpty(), qPrintable(difference));
            }
        }
    }

    void fillsWhatLiesOutsideTheDisplayWithBlackAndRefusesAbsurdGeometry() {
        // Source hangs over the left and bottom edges of a display at (100, 0, 50, 50).
        const FrameScaler scaler(QRectF(95, 45, 10, 10), QRect(100, 0, 50, 50), QSize(20, 20));
        QCOMPARE(scaler.grabRect(), QRect(100, 45, 5, 5));
        const QImage out = scaled(scaler);
        QCOMPARE(at(out, 9, 0), 0xff000000u);                        // left of the display
        QCOMPARE(at(out, 10, 0), 0xff000000u | Grab::code(100, 45)); // first visible pixel
        QCOMPARE(at(out, 19, 9), 0xff000000u | Grab::code(104, 49)); // last visible pixel
        QCOMPARE(at(out, 19, 10), 0xff000000u);                      // below the display

        const FrameScaler nowhere(QRectF(500, 500, 10, 10), QRect(0, 0, 50, 50), QSize(20, 20));
        QVERIFY(nowhere.grabRect().isEmpty());
        // Absurd geometry is refused without overflow.
        const FrameScaler absurd(QRectF(1e30, -1e30, 1e30, 1e30), QRect(0, 0, 50, 50), QSize(4, 4));
        QVERIFY(absurd.grabRect().isEmpty());
        const FrameScaler empty(QRectF(0, 0, 10, 10), QRect(0, 0, 50, 50), QSize());
        QVERIFY(empty.outputSize().isEmpty());
    }

    void blendsThePremultipliedCursorOver() {
        std::vector<quint32> pixels(4 * 2, 0x00204060u); // grabbed area (10, 10, 4, 2)
        const quint32 cursor[4] = {0xffff0000u, 0x00000000u, 0x80400000u, 0xff00ff00u};
        // 2 x 2 cursor at (11, 9): only its bottom row overlaps the area's top row.
        blendPremultiplied(reinterpret_cast<uchar*>(pixels.data()), 16, QRect(10, 10, 4, 2), cursor,
                           QRect(11, 9, 2, 2));
        QCOMPARE(pixels[0], 0x00204060u); // untouched
        // Red 0x40 over 0x204060 at alpha 128: each channel s + d * 127 / 255, rounded.
        QCOMPARE(pixels[1], 0xff502030u);
        QCOMPARE(pixels[2], 0xff00ff00u); // opaque cursor pixel replaces
        QCOMPARE(pixels[4], 0x00204060u); // second row untouched

        // The controls' strip over a frame: as QPainter lays it, the frame kept.
        QImage strip(40, 1, QImage::Format_ARGB32_Premultiplied);
        QImage frame(40, 1, QImage::Format_RGB32);
        for (int x = 0; x < 40; ++x) {
            strip.setPixel(x, 0, qPremultiply(qRgba(x * 6, 250 - x * 5, 90, x * 255 / 39)));
            frame.setPixel(x, 0, patternColour(x, 3).rgb());
        }
        QImage painted = frame.copy();
        QPainter(&painted).drawImage(0, 0, strip);
        std::vector<quint32> kept(40);
        const QImage before = frame.copy();
        blendOver(reinterpret_cast<const quint32*>(strip.constBits()),
                  reinterpret_cast<quint32*>(frame.bits()), kept.data(), 40);
        QCOMPARE(frame, painted);
        QVERIFY(std::memcmp(kept.data(), before.constBits(), kept.size() * 4) == 0);
    }

private:
    std::unique_ptr<PatternWindow> m_window;
    DisplayInfo m_display;
};

OCULO_X11_TEST_MAIN(X11CaptureStreamTest, false)

#include "test_x11_capture_stream.moc"
