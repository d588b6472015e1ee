#include "platform/atspi/AtSpiFocusSource.h"

#include "common/PrintLine.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QScreen>

#include <functional>

namespace oculo {

namespace {

const QString busService = QStringLiteral("org.a11y.Bus");
const QString busPath = QStringLiteral("/org/a11y/bus");
const QString registryService = QStringLiteral("org.a11y.atspi.Registry");
const QString accessible = QStringLiteral("org.a11y.atspi.Accessible");

// What toolkits must send for the caret and the focus to be followed.
constexpr const char* followedEvents[] = {"object:state-changed:focused", "object:text-caret-moved",
                                          "object:active-descendant-changed", "window:activate",
                                          "window:deactivate"};

// Bits of an AT-SPI state set.
enum StateBit { expanded = 10, focusedBit = 12, showingBit = 25, visibleBit = 30 };

// Extents relative to the screen, not to a window.
constexpr uint screenCoordinates = 0;

// The launcher may be started by the first question, which takes a moment.
constexpr int addressTimeoutMs = 5000;

bool hasState(const QList<uint>& set, int bit) {
    const auto word = static_cast<qsizetype>(bit / 32);
    return word < set.size() && (set[word] & (1u << (bit % 32))) != 0;
}

// Device pixels to Qt's logical ones through the screen that holds the corner,
// as the pointer's position is mapped.
QRectF toLogical(const QRect& native) {
    const QScreen* holder = QGuiApplication::primaryScreen();
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect logical = screen->geometry();
        const QSizeF size = QSizeF(logical.size()) * screen->devicePixelRatio();
        if (QRectF(logical.topLeft(), size).contains(native.topLeft())) {
            holder = screen;
            break;
        }
    }
    if (holder == nullptr) {
        return QRectF(native);
    }
    const QPointF origin = holder->geometry().topLeft();
    const qreal ratio = holder->devicePixelRatio();
    return {origin + (QPointF(native.topLeft()) - origin) / ratio, QSizeF(native.size()) / ratio};
}

// Component.GetExtents answers one (iiii) structure, Text.GetCharacterExtents
// four integers.
std::optional<QRect> extentsOf(const QDBusMessage& reply) {
    const QVariantList values = reply.arguments();
    if (values.size() == 4) {
        return QRect(values[0].toInt(), values[1].toInt(), values[2].toInt(), values[3].toInt());
    }
    if (values.size() != 1 || !values[0].canConvert<QDBusArgument>()) {
        return std::nullopt;
    }
    const auto argument = values[0].value<QDBusArgument>();
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    argument.beginStructure();
    argument >> x >> y >> width >> height;
    argument.endStructure();
    return QRect(x, y, width, height);
}

QList<uint> statesOf(const QDBusMessage& reply) {
    const QVariant value = reply.arguments().value(0);
    if (value.canConvert<QDBusArgument>()) {
        return qdbus_cast<QList<uint>>(value.value<QDBusArgument>());
    }
    return value.value<QList<uint>>();
}

} // namespace

// One event's questions to its application, answered in any order.
struct AtSpiFocusSource::Query {
    quint64 id = 0;
    quint64 generation = 0;
    FocusEvent event;
    QString sender;
    int pending = 0;
    bool unanswered = false;
    QList<uint> states;
    QString roleName;
    std::optional<QRect> extents;
};

AtSpiFocusSource::AtSpiFocusSource(QObject* parent)
    : FocusSource(parent)
    , m_session(QDBusConnection::sessionBus()) {}

AtSpiFocusSource::~AtSpiFocusSource() {
    disconnectFromAccessibilityBus();
}

void AtSpiFocusSource::setWatched(bool watched) {
    if (watched == m_watched) {
        return;
    }
    m_watched = watched;
    if (watched) {
        start();
    } else {
        stop();
    }
}

void AtSpiFocusSource::say(const QString& sentence) {
    if (sentence != m_lastSaid) {
        m_lastSaid = sentence;
        printLine(sentence);
    }
}

void AtSpiFocusSource::start() {
    if (!m_session.isConnected()) {
        say(QStringLiteral("Oculo follows the pointer only: there is no session bus to find the "
                           "accessibility bus on."));
        return;
    }
    // The bus that goes away, or comes (back), is followed from now on.
    m_busWatcher = new QDBusServiceWatcher(busService, m_session,
                                           QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_busWatcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        if (m_bus) {
            disconnectFromAccessibilityBus();
            say(QStringLiteral("The accessibility bus went away: Oculo follows the pointer only "
                               "until it comes back."));
        }
    });
    connect(m_busWatcher, &QDBusServiceWatcher::serviceRegistered, this,
            &AtSpiFocusSource::requestAddress);
    requestAddress();
}

void AtSpiFocusSource::stop() {
    delete m_busWatcher;
    disconnectFromAccessibilityBus();
}

void AtSpiFocusSource::requestAddress() {
    if (!m_watched || m_bus) {
        return;
    }
    const quint64 generation = m_generation;
    auto* watcher = new QDBusPendingCallWatcher(
        m_session.asyncCall(QDBusMessage::createMethodCall(busService, busPath, busService,
                                                           QStringLiteral("GetAddress")),
                            addressTimeoutMs),
        this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, generation] {
        watcher->deleteLater();
        if (generation != m_generation || !m_watched || m_bus) {
            return;
        }
        const QDBusMessage reply = watcher->reply();
        const QString address = reply.arguments().value(0).toString();
        if (reply.type() == QDBusMessage::ErrorMessage || address.isEmpty()) {
            say(QStringLiteral("Oculo follows the pointer only: no accessibility bus answers "
                               "on the session bus."));
            return;
        }
        // Toolkits expose their trees only while someone says they are wanted.
        QDBusMessage enable = QDBusMessage::createMethodCall(
            busService, busPath, QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("Set"));
        enable.setArguments({QStringLiteral("org.a11y.Status"), QStringLiteral("IsEnabled"),
                             QVariant::fromValue(QDBusVariant(true))});
        m_session.asyncCall(enable, addressTimeoutMs);
        connectToAccessibilityBus(address);
    });
}

void AtSpiFocusSource::connectToAccessibilityBus(const QString& address) {
    static int connections = 0;
    m_busName = QStringLiteral("oculo-focus-%1").arg(++connections);
    QDBusConnection bus = QDBusConnection::connectToBus(address, m_busName);
    if (!bus.isConnected()) {
        QDBusConnection::disconnectFromBus(m_busName);
        say(QStringLiteral("Oculo follows the pointer only: the accessibility bus cannot be "
                           "reached."));
        return;
    }
    m_bus = bus;
    const QString object = QStringLiteral("org.a11y.atspi.Event.Object");
    const QString window = QStringLiteral("org.a11y.atspi.Event.Window");
    bus.connect({}, {}, object, QStringLiteral("StateChanged"), this,
                SLOT(onStateChanged(QDBusMessage)));
    bus.connect({}, {}, object, QStringLiteral("TextCaretMoved"), this,
                SLOT(onCaretMoved(QDBusMessage)));
    bus.connect({}, {}, object, QStringLiteral("ActiveDescendantChanged"), this,
                SLOT(onActiveDescendantChanged(QDBusMessage)));
    bus.connect({}, {}, window, QStringLiteral("Activate"), this,
                SLOT(onWindowActivated(QDBusMessage)));
    bus.connect({}, {}, window, QStringLiteral("Deactivate"), this,
                SLOT(onWindowDeactivated(QDBusMessage)));
    // A registry that starts again has forgotten what was asked of it.
    m_registryWatcher = new QDBusServiceWatcher(registryService, bus,
                                                QDBusServiceWatcher::WatchForRegistration, this);
    connect(m_registryWatcher, &QDBusServiceWatcher::serviceRegistered, this,
            &AtSpiFocusSource::registerEvents);
    registerEvents();
    m_lastSaid.clear();
    Q_EMIT listeningChanged(true);
}

void AtSpiFocusSource::registerEvents() {
    if (!m_bus) {
        return;
    }
    for (const char* event : followedEvents) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            registryService, QStringLiteral("/org/a11y/atspi/registry"),
            QStringLiteral("org.a11y.atspi.Registry"), QStringLiteral("RegisterEvent"));
        message.setArguments({QString::fromLatin1(event), QStringList(), QString()});
        m_bus->asyncCall(message, replyTimeoutMs);
    }
}

void AtSpiFocusSource::disconnectFromAccessibilityBus() {
    ++m_generation;
    m_focused.reset();
    m_lastCaret.reset();
    m_activeApplication.clear();
    m_pids.clear();
    delete m_registryWatcher;
    if (!m_bus) {
        return;
    }
    // The registry forgets a listener whose connection closes, so toolkits stop
    // sending to it.
    m_bus.reset();
    QDBusConnection::disconnectFromBus(m_busName);
    Q_EMIT listeningChanged(false);
}

void AtSpiFocusSource::onStateChanged(const QDBusMessage& message) {
    const QVariantList values = message.arguments();
    if (values.value(0).toString() != QLatin1String("focused")) {
        return;
    }
    const Object sender{message.service(), message.path()};
    if (values.value(1).toInt() == 0) {
        if (m_focused == sender) {
            m_focused.reset();
        }
        return;
    }
    m_focused = sender;
    m_lastCaret.reset();
    FocusEvent event;
    event.type = FocusEvent::Type::focus;
    examine(event, sender, sender, -1);
}

void AtSpiFocusSource::onCaretMoved(const QDBusMessage& message) {
    const Object sender{message.service(), message.path()};
    const int offset = message.arguments().value(1).toInt();
    FocusEvent event;
    event.type = FocusEvent::Type::caret;
    // Before the first focus event seen, the text's own state tells.
    event.fromFocusedObject = !m_focused || *m_focused == sender;
    event.caretUnmoved =
        m_lastCaret && m_lastCaret->first == sender && m_lastCaret->second == offset;
    m_lastCaret = std::pair(sender, offset);
    examine(event, sender, sender, offset);
}

void AtSpiFocusSource::onActiveDescendantChanged(const QDBusMessage& message) {
    const Object sender{message.service(), message.path()};
    QVariant data = message.arguments().value(3);
    if (data.canConvert<QDBusVariant>()) {
        data = data.value<QDBusVariant>().variant();
    }
    if (!data.canConvert<QDBusArgument>()) {
        return;
    }
    const auto argument = data.value<QDBusArgument>();
    Object child;
    QDBusObjectPath path;
    argument.beginStructure();
    argument >> child.service >> path;
    argument.endStructure();
    child.path = path.path();
    if (child.service.isEmpty() || child.path.isEmpty()) {
        return;
    }
    FocusEvent event;
    event.type = FocusEvent::Type::activeDescendant;
    // Followed while its container has the focus.
    event.focused = !m_focused || *m_focused == sender;
    examine(event, sender, child, -1);
}

void AtSpiFocusSource::onWindowActivated(const QDBusMessage& message) {
    m_activeApplication = message.service();
}

void AtSpiFocusSource::onWindowDeactivated(const QDBusMessage& message) {
    if (message.service() == m_activeApplication) {
        m_activeApplication.clear();
    }
}

void AtSpiFocusSource::examine(FocusEvent event, const Object& sender, const Object& target,
                               int caretOffset) {
    if (!m_bus) {
        return;
    }
    event.inActiveWindow = m_activeApplication.isEmpty() || sender.service == m_activeApplication;
    const auto pid = m_pids.constFind(sender.service);
    event.fromOculo = pid != m_pids.cend() && *pid == QCoreApplication::applicationPid();
    // What is known already may settle it without a question to anyone: the
    // output of a background window sends many events.
    FocusEvent known = event;
    known.focused = event.type == FocusEvent::Type::activeDescendant ? event.focused : true;
    known.showing = known.visible = true;
    known.extents = QRectF(0, 0, 1, 1);
    if (judgeFocusEvent(known) != FocusVerdict::follow) {
        return;
    }

    auto query = std::make_shared<Query>();
    query->id = ++m_nextQuery;
    query->generation = m_generation;
    query->event = event;
    query->sender = sender.service;
    const auto ask = [this, query](const QString& service, const QString& path,
                                   const QString& interface, const QString& method,
                                   const QVariantList& arguments,
                                   std::function<void(const QDBusMessage&)> take) {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        auto* watcher =
            new QDBusPendingCallWatcher(m_bus->asyncCall(message, replyTimeoutMs), this);
        ++query->pending;
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, watcher, query, take = std::move(take)] {
                    watcher->deleteLater();
                    if (query->generation != m_generation) {
                        return;
                    }
                    const QDBusMessage reply = watcher->reply();
                    if (reply.type() == QDBusMessage::ErrorMessage) {
                        query->unanswered = true;
                    } else {
                        take(reply);
                    }
                    if (--query->pending == 0) {
                        finish(query);
                    }
                });
    };

    ask(target.service, target.path, accessible, QStringLiteral("GetState"), {},
        [query](const QDBusMessage& reply) { query->states = statesOf(reply); });
    if (event.type == FocusEvent::Type::caret) {
        const QString text = QStringLiteral("org.a11y.atspi.Text");
        const QString method = QStringLiteral("GetCharacterExtents");
        ask(target.service, target.path, text, method, {caretOffset, screenCoordinates},
            [=](const QDBusMessage& reply) {
                query->extents = extentsOf(reply);
                // After the last character there is no box (Qt answers 0 x 0):
                // the caret stands at the right edge of the one before.
                if (query->extents && query->extents->size().isNull() && caretOffset > 0) {
                    ask(target.service, target.path, text, method,
                        {caretOffset - 1, screenCoordinates}, [query](const QDBusMessage& last) {
                            if (const auto box = extentsOf(last)) {
                                query->extents =
                                    QRect(box->x() + box->width(), box->y(), 0, box->height());
                            }
                        });
                }
            });
    } else {
        ask(target.service, target.path, QStringLiteral("org.a11y.atspi.Component"),
            QStringLiteral("GetExtents"), {screenCoordinates},
            [query](const QDBusMessage& reply) { query->extents = extentsOf(reply); });
        ask(target.service, target.path, accessible, QStringLiteral("GetRoleName"), {},
            [query](const QDBusMessage& reply) {
                query->roleName = reply.arguments().value(0).toString();
            });
    }
    if (pid == m_pids.cend()) {
        ask(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixProcessID"),
            {sender.service}, [this, query](const QDBusMessage& reply) {
                const qint64 answer = reply.arguments().value(0).toLongLong();
                m_pids.insert(query->sender, answer);
                query->event.fromOculo = answer == QCoreApplication::applicationPid();
            });
    }
}

void AtSpiFocusSource::finish(const std::shared_ptr<Query>& query) {
    // An application that did not answer in time is passed over; a newer
    // event already reported wins over an older one answered late.
    if (query->unanswered || !query->extents || query->id <= m_lastReported) {
        return;
    }
    FocusEvent event = query->event;
    const QList<uint>& states = query->states;
    if (event.type != FocusEvent::Type::activeDescendant) {
        event.focused = hasState(states, focusedBit);
    }
    event.showing = hasState(states, showingBit);
    event.visible = hasState(states, visibleBit);
    event.collapsedMenu = query->roleName == QLatin1String("menu") && !hasState(states, expanded);
    event.extents = toLogical(*query->extents);
    if (judgeFocusEvent(event) != FocusVerdict::follow) {
        return;
    }
    m_lastReported = query->id;
    Q_EMIT focusMoved(event.extents,
                      event.type == FocusEvent::Type::caret ? Kind::caret : Kind::control);
}

} // namespace oculo
