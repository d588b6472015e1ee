#include "platform/x11/FrameScaler.h"
#include "support/TestEnvironment.h"

#include <QTest>

#include <cmath>
#include <utility>
#include <vector>

using oculo::x11::blendPremultiplied;
using oculo::x11::FrameScaler;

namespace {

// A grabbed area whose every pixel encodes its root coordinates (alpha left 0,
// as X servers deliver it).
struct Grab {
    QRect rect;
    std::vector<quint32> pixels;

    explicit Grab(const QRect& r)
        : rect(r)
        , pixels(std::size_t(r.width()) * r.height()) {
        for (int y = 0; y < r.height(); ++y) {
            for (int x = 0; x < r.width(); ++x) {
                pixels[std::size_t(y) * r.width() + x] = code(r.x() + x, r.y() + y);
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

} // namespace

class FrameScalerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
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
    }
};

OCULO_TEST_MAIN(FrameScalerTest)

#include "test_frame_scaler.moc"
