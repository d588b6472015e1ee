#include "platform/portal/PortalGlobalShortcuts.h"

#include "common/Reaction.h"
#include "platform/portal/PortalRequest.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QPointer>

#include <algorithm>
#include <utility>

namespace oculo::portal {
namespace {

const QString shortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");

// Names used inside coroutines, where GCC 12 cannot take QStringLiteral.
namespace names {
const QString BindShortcuts = QStringLiteral("BindShortcuts");
const QString CreateSession = QStringLiteral("CreateSession");
const QString sessionHandle = QStringLiteral("session_handle");
const QString shortcuts = QStringLiteral("shortcuts");
const QString version = QStringLiteral("version");
} // namespace names

// Binding may wait on the desktop asking the user which keys to use.
constexpr std::chrono::milliseconds bindTimeout{5 * 60 * 1000};

QList<PortalShortcut> readShortcuts(const QVariant& value) {
    QList<PortalShortcut> shortcuts;
    if (value.canConvert<QDBusArgument>()) {
        value.value<QDBusArgument>() >> shortcuts;
    } else {
        shortcuts = value.value<QList<PortalShortcut>>();
    }
    return shortcuts;
}

QVariantMap sessionOptions() {
    return {{QStringLiteral("session_handle_token"), PortalRequest::uniqueToken()}};
}

QList<QVariant> bindArguments(const QString& session, const QHash<QString, QKeySequence>& shortcuts,
                              const QHash<QString, QString>& descriptions) {
    QList<PortalShortcut> list;
    for (auto it = shortcuts.cbegin(); it != shortcuts.cend(); ++it) {
        if (it.value().isEmpty()) {
            continue;
        }
        PortalShortcut shortcut{
            it.key(), {{QStringLiteral("description"), descriptions.value(it.key(), it.key())}}};
        const QString trigger = PortalGlobalShortcuts::triggerText(it.value());
        if (!trigger.isEmpty()) {
            shortcut.properties.insert(QStringLiteral("preferred_trigger"), trigger);
        }
        list.append(shortcut);
    }
    // No parent window: the settings window may be closed when this binds.
    return {QVariant::fromValue(QDBusObjectPath(session)), QVariant::fromValue(list), QString()};
}

} // namespace

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut) {
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut) {
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

PortalGlobalShortcuts::PortalGlobalShortcuts(QDBusConnection bus, QObject* parent)
    : GlobalShortcuts(parent)
    , m_bus(std::move(bus)) {
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
    m_bus.connect(portalService(), portalPath(), shortcutsInterface, QStringLiteral("Activated"),
                  this, SLOT(handleActivated(QDBusMessage)));
    m_bus.connect(portalService(), portalPath(), shortcutsInterface,
                  QStringLiteral("ShortcutsChanged"), this,
                  SLOT(handleShortcutsChanged(QDBusMessage)));
    QPointer<PortalGlobalShortcuts> self(this);
    m_binder = new Reaction(this, [self]() -> QCoro::Task<> {
        if (self) {
            co_await self->bind();
        }
    });
    // Asks the portal whether it offers the interface before anything is wanted.
    m_binder->notifyChange();
}

PortalGlobalShortcuts::~PortalGlobalShortcuts() {
    closeSession();
}

void PortalGlobalShortcuts::setDescriptions(const QHash<QString, QString>& descriptions) {
    m_descriptions = descriptions;
}

void PortalGlobalShortcuts::setShortcuts(const QHash<QString, QKeySequence>& shortcuts) {
    m_wanted = shortcuts;
    if (!m_probed || !m_offered) {
        setStatuses(uniform(Status::notOffered));
    } else if (m_wanted != m_bound) {
        setStatuses(uniform(Status::pending));
    }
    m_binder->notifyChange();
}

GlobalShortcuts::Status PortalGlobalShortcuts::status(const QString& id) const {
    return m_statuses.value(id, Status::cleared);
}

QString PortalGlobalShortcuts::triggerText(const QKeySequence& sequence) {
    if (sequence.isEmpty()) {
        return {};
    }
    const QKeyCombination combination = sequence[0];
    const int key = combination.key();
    QString name;
    if ((key >= Qt::Key_0 && key <= Qt::Key_9) || (key >= Qt::Key_A && key <= Qt::Key_Z)) {
        name = QChar(key).toLower();
    } else if (key >= Qt::Key_F1 && key <= Qt::Key_F35) {
        name = QStringLiteral("F%1").arg(key - Qt::Key_F1 + 1);
    } else {
        static const QHash<int, QString> punctuation{
            {Qt::Key_Equal, QStringLiteral("equal")},
            {Qt::Key_Minus, QStringLiteral("minus")},
            {Qt::Key_Plus, QStringLiteral("plus")},
            {Qt::Key_Comma, QStringLiteral("comma")},
            {Qt::Key_Period, QStringLiteral("period")},
            {Qt::Key_Slash, QStringLiteral("slash")},
            {Qt::Key_Backslash, QStringLiteral("backslash")},
            {Qt::Key_Semicolon, QStringLiteral("semicolon")},
            {Qt::Key_Apostrophe, QStringLiteral("apostrophe")},
            {Qt::Key_BracketLeft, QStringLiteral("bracketleft")},
            {Qt::Key_BracketRight, QStringLiteral("bracketright")},
            {Qt::Key_QuoteLeft, QStringLiteral("grave")},
            {Qt::Key_Space, QStringLiteral("space")}};
        name = punctuation.value(key);
    }
    if (name.isEmpty()) {
        return {};
    }
    QString text;
    for (const auto& [modifier, word] :
         {std::pair{Qt::MetaModifier, "LOGO+"}, std::pair{Qt::ControlModifier, "CTRL+"},
          std::pair{Qt::AltModifier, "ALT+"}, std::pair{Qt::ShiftModifier, "SHIFT+"}}) {
        if (combination.keyboardModifiers().testFlag(modifier)) {
            text += QLatin1String(word);
        }
    }
    return text + name;
}

QCoro::Task<> PortalGlobalShortcuts::bind() {
    QPointer<PortalGlobalShortcuts> self(this);
    if (!m_probed) {
        const std::optional<QVariant> version =
            co_await PortalRequest::property(m_bus, shortcutsInterface, names::version);
        if (!self) {
            co_return;
        }
        m_probed = true;
        m_offered = version.has_value();
        Q_EMIT statusChanged();
    }
    const QHash<QString, QKeySequence> wanted = m_wanted;
    if (!m_offered) {
        setStatuses(uniform(Status::notOffered));
        co_return;
    }
    if (wanted == m_bound && !m_session.isEmpty()) {
        co_return;
    }
    // A session binds once; other keys need a session of their own.
    closeSession();
    m_bound.clear();
    setStatuses(uniform(Status::pending));
    if (std::none_of(wanted.cbegin(), wanted.cend(),
                     [](const QKeySequence& sequence) { return !sequence.isEmpty(); })) {
        m_bound = wanted;
        setStatuses(uniform(Status::cleared));
        co_return;
    }
    const QDBusConnection bus = m_bus;
    PortalAnswer answer =
        co_await PortalRequest::call(bus, shortcutsInterface, names::CreateSession, {},
                                     sessionOptions(), PortalRequest::callTimeout);
    const QString session = answer.results.value(names::sessionHandle).toString();
    if (!self) {
        PortalRequest::closeSession(bus, session);
        co_return;
    }
    if (!answer.succeeded() || session.isEmpty()) {
        m_offered = answer.kind != PortalAnswer::Kind::missing;
        setStatuses(uniform(m_offered ? Status::refused : Status::notOffered));
        Q_EMIT statusChanged();
        co_return;
    }
    m_session = session;
    answer = co_await PortalRequest::call(bus, shortcutsInterface, names::BindShortcuts,
                                          bindArguments(session, wanted, m_descriptions), {},
                                          bindTimeout);
    if (!self || m_session != session) {
        co_return;
    }
    m_bound = wanted;
    takeBound(answer.succeeded() ? readShortcuts(answer.results.value(names::shortcuts))
                                 : QList<PortalShortcut>());
}

void PortalGlobalShortcuts::takeBound(const QList<PortalShortcut>& bound) {
    // Whatever the desktop left out of its answer it did not bind.
    QHash<QString, Status> statuses = uniform(Status::refused);
    for (const PortalShortcut& shortcut : bound) {
        if (statuses.contains(shortcut.id) && statuses.value(shortcut.id) != Status::cleared) {
            statuses.insert(shortcut.id, Status::active);
        }
    }
    setStatuses(statuses);
}

void PortalGlobalShortcuts::closeSession() {
    PortalRequest::closeSession(m_bus, std::exchange(m_session, QString()));
}

void PortalGlobalShortcuts::setStatuses(const QHash<QString, Status>& statuses) {
    if (statuses != m_statuses) {
        m_statuses = statuses;
        Q_EMIT statusChanged();
    }
}

QHash<QString, GlobalShortcuts::Status> PortalGlobalShortcuts::uniform(Status status) const {
    QHash<QString, Status> statuses;
    for (auto it = m_wanted.cbegin(); it != m_wanted.cend(); ++it) {
        statuses.insert(it.key(), it.value().isEmpty() ? Status::cleared : status);
    }
    return statuses;
}

void PortalGlobalShortcuts::handleActivated(const QDBusMessage& message) {
    const QList<QVariant> arguments = message.arguments();
    const QString session = arguments.value(0).value<QDBusObjectPath>().path();
    const QString id = arguments.value(1).toString();
    if (!m_session.isEmpty() && session == m_session && status(id) == Status::active) {
        Q_EMIT activated(id);
    }
}

void PortalGlobalShortcuts::handleShortcutsChanged(const QDBusMessage& message) {
    const QList<QVariant> arguments = message.arguments();
    if (!m_session.isEmpty() && arguments.value(0).value<QDBusObjectPath>().path() == m_session) {
        takeBound(readShortcuts(arguments.value(1)));
    }
}

} // namespace oculo::portal
