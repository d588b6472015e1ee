#pragma once

#include "platform/wayland/PipeWireScreen.h"

#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QRasterWindow>
#include <QRect>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

class QDBusInterface;

namespace oculo::test {

// A full-screen pattern whose every 8 x 8 cell says where it is: red and
// green are its column and row, blue a fixed mark.
class CellPattern : public QRasterWindow {
public:
    static constexpr int cell = 8;
    // Where the pattern puts a pixel of this colour (its cell's middle); none
    // for anything else (a window frame, a placeholder).
    static std::optional<QPoint> placeOf(QRgb colour);
    // Maximised without a frame rather than full screen: a full-screen window
    // is stacked above ordinary ones, which would hide the magnifier.
    void showCovering() {
        setFlag(Qt::FramelessWindowHint);
        showMaximized();
    }

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A headless mutter desktop seen and driven from outside as a person would:
// the whole monitor through mutter's own screen cast (pointer hidden, so the
// pattern stays readable) and the pointer through its remote-desktop
// interface, which only tests and benchmarks may use. Needs the session bus
// and PipeWire of that desktop (tests/platform/wayland/wayland-session.sh).
class MutterDesktop : public QObject, public wayland::ScreenConsumer {
    Q_OBJECT

public:
    MutterDesktop();
    ~MutterDesktop() override;

    // False with `error` filled when mutter or PipeWire refuse.
    bool open(QString* error);
    void movePointer(QPoint to);

    QImage screen() const;
    qint64 quietForMs() const; // since the last picture of the screen
    QPoint pointer() const;    // where mutter says it is; -1,-1 when off screen
    quint64 pictures() const { return m_pictures.load(); }

    // The pattern fills the screen: its corners show their own cells.
    bool showsPatternInPlace() const;
    // Pattern cells away from their place: a magnified picture; empty when
    // there is none worth the name.
    QRect magnifiedArea() const;
    // What the magnified picture shows at its centre and `offset` from it.
    std::optional<QPoint> shownAt(const QRect& area, QPoint offset = {}) const;

    void consume(const wayland::ScreenPicture* picture,
                 const wayland::ScreenCursor& cursor) override;
    void screenLost(const QString& description) override;

Q_SIGNALS:
    // Queued from PipeWire's thread after each picture.
    void pictureArrived();

public Q_SLOTS:
    void takeNode(uint node) { m_node = node; }

private:
    std::unique_ptr<QDBusInterface> m_desktop;
    QString m_stream;
    uint m_node = 0;
    std::unique_ptr<wayland::PipeWireConnection> m_connection;
    mutable std::mutex m_mutex;
    QImage m_screen;
    quint64 m_lastSerial = 0;
    QPoint m_pointer{-1, -1};
    mutable quint64 m_areaSerial = ~quint64(0);
    mutable QRect m_area;
    QElapsedTimer m_sinceLastPicture;
    std::atomic<quint64> m_pictures{0};
};

} // namespace oculo::test
