#include "WaylandProbe.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QPainter>

#include <cstring>

namespace oculo::test {
namespace {

constexpr int patternBlue = 0x80;

} // namespace

std::optional<QPoint> CellPattern::placeOf(QRgb colour) {
    if (qBlue(colour) != patternBlue) {
        return std::nullopt;
    }
    return QPoint(qRed(colour) * cell + cell / 2, qGreen(colour) * cell + cell / 2);
}

void CellPattern::paintEvent(QPaintEvent* /*event*/) {
    QImage pattern(size(), QImage::Format_RGB32);
    for (int y = 0; y < pattern.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(pattern.scanLine(y));
        for (int x = 0; x < pattern.width(); ++x) {
            line[x] = qRgb(x / cell, y / cell, patternBlue);
        }
    }
    QPainter(this).drawImage(0, 0, pattern);
}

MutterDesktop::MutterDesktop() {
    m_sinceLastPicture.start();
}

MutterDesktop::~MutterDesktop() {
    m_connection.reset(); // no more pictures into this object
}

bool MutterDesktop::open(QString* error) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    const auto mutter = QStringLiteral("org.gnome.Mutter.RemoteDesktop");
    const auto cast = QStringLiteral("org.gnome.Mutter.ScreenCast");
    QDBusInterface desktop(mutter, QStringLiteral("/org/gnome/Mutter/RemoteDesktop"), mutter, bus);
    const QDBusReply<QDBusObjectPath> session = desktop.call(QStringLiteral("CreateSession"));
    if (!session.isValid()) {
        *error = session.error().message();
        return false;
    }
    m_desktop = std::make_unique<QDBusInterface>(mutter, session.value().path(),
                                                 mutter + QStringLiteral(".Session"), bus);
    QDBusInterface casts(cast, QStringLiteral("/org/gnome/Mutter/ScreenCast"), cast, bus);
    const QDBusReply<QDBusObjectPath> castSession = casts.call(
        QStringLiteral("CreateSession"), QVariantMap{{QStringLiteral("remote-desktop-session-id"),
                                                      m_desktop->property("SessionId")}});
    if (!castSession.isValid()) {
        *error = castSession.error().message();
        return false;
    }
    QDBusInterface castControl(cast, castSession.value().path(), cast + QStringLiteral(".Session"),
                               bus);
    // Absolute pointer motion is relative to a stream; cursor mode 2 keeps the
    // pointer out of the pictures (the pattern stays readable) but says where it is.
    const QDBusReply<QDBusObjectPath> stream =
        castControl.call(QStringLiteral("RecordMonitor"), QString(),
                         QVariantMap{{QStringLiteral("cursor-mode"), 2U}});
    if (!stream.isValid()) {
        *error = stream.error().message();
        return false;
    }
    m_stream = stream.value().path();
    bus.connect(cast, m_stream, cast + QStringLiteral(".Stream"),
                QStringLiteral("PipeWireStreamAdded"), this, SLOT(takeNode(uint)));
    const QDBusReply<void> started = m_desktop->call(QStringLiteral("Start"));
    if (!started.isValid()) {
        *error = started.error().message();
        return false;
    }
    const QDeadlineTimer deadline(30000);
    while (m_node == 0 && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    }
    if (m_node == 0) {
        *error = QStringLiteral("mutter announced no PipeWire stream");
        return false;
    }
    m_connection = wayland::PipeWireConnection::connect(-1, error);
    if (!m_connection) {
        return false;
    }
    m_connection->attach(m_connection->addScreen(m_node, {}), this);
    return true;
}

void MutterDesktop::movePointer(QPoint to) {
    m_desktop->call(QDBus::NoBlock, QStringLiteral("NotifyPointerMotionAbsolute"), m_stream,
                    double(to.x()), double(to.y()));
}

void MutterDesktop::consume(const wayland::ScreenPicture* picture,
                            const wayland::ScreenCursor& cursor) {
    {
        const std::lock_guard lock(m_mutex);
        m_pointer = cursor.onScreen ? cursor.position : QPoint(-1, -1);
        // Pointer-only updates bring the same picture again.
        if (picture == nullptr || picture->serial == m_lastSerial) {
            return;
        }
    }
    QImage copy(picture->size, QImage::Format_RGB32);
    for (int y = 0; y < copy.height(); ++y) {
        std::memcpy(copy.scanLine(y), picture->pixels + y * picture->stride,
                    std::size_t(copy.width()) * 4);
    }
    {
        const std::lock_guard lock(m_mutex);
        m_lastSerial = picture->serial;
        m_pictures.fetch_add(1);
        m_screen = copy;
        m_sinceLastPicture.start();
    }
    QMetaObject::invokeMethod(this, &MutterDesktop::pictureArrived, Qt::QueuedConnection);
}

void MutterDesktop::screenLost(const QString& description) {
    qWarning("mutter's screen cast ended: %s", qPrintable(description));
}

QImage MutterDesktop::screen() const {
    const std::lock_guard lock(m_mutex);
    return m_screen;
}

QPoint MutterDesktop::pointer() const {
    const std::lock_guard lock(m_mutex);
    return m_pointer;
}

qint64 MutterDesktop::quietForMs() const {
    const std::lock_guard lock(m_mutex);
    return m_sinceLastPicture.elapsed();
}

bool MutterDesktop::showsPatternInPlace() const {
    const QImage shot = screen();
    if (shot.isNull()) {
        return false;
    }
    for (const QPoint corner : {QPoint(4, 4), QPoint(shot.width() - 4, shot.height() - 4)}) {
        const auto place = CellPattern::placeOf(shot.pixel(corner));
        if (!place || (*place - corner).manhattanLength() > CellPattern::cell) {
            return false;
        }
    }
    return true;
}

QRect MutterDesktop::magnifiedArea() const {
    QImage shot;
    {
        // Scanning the screen is slow in the sanitizer build, and a wait that
        // counts its tries would stretch to minutes: once per picture only.
        const std::lock_guard lock(m_mutex);
        if (m_areaSerial == m_lastSerial) {
            return m_area;
        }
        m_areaSerial = m_lastSerial;
        shot = m_screen;
    }
    QRect area;
    int count = 0;
    for (int y = 0; y < shot.height(); y += 2) {
        const auto* line = reinterpret_cast<const QRgb*>(shot.constScanLine(y));
        for (int x = 0; x < shot.width(); x += 2) {
            const auto place = CellPattern::placeOf(line[x]);
            if (place && (std::abs(place->x() - x) > CellPattern::cell ||
                          std::abs(place->y() - y) > CellPattern::cell)) {
                area |= QRect(x, y, 2, 2);
                ++count;
            }
        }
    }
    const std::lock_guard lock(m_mutex);
    m_area = count > 1000 ? area : QRect();
    return m_area;
}

std::optional<QPoint> MutterDesktop::shownAt(const QRect& area, QPoint offset) const {
    const QImage shot = screen();
    const QPoint at = area.center() + offset;
    if (area.isEmpty() || !shot.rect().contains(at)) {
        return std::nullopt;
    }
    return CellPattern::placeOf(shot.pixel(at));
}

} // namespace oculo::test
