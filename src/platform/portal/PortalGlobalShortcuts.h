#pragma once

#include "platform/GlobalShortcuts.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QVariantMap>
#include <qcoro/qcorotask.h>

class QDBusMessage;

namespace oculo {

class Reaction;

namespace portal {

// One entry of the portal's shortcut lists, a(sa{sv}) on the bus.
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};
QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut);
const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut);

// Global shortcuts through the desktop's global shortcuts portal. The desktop
// decides: it may ask the user, bind other keys or none, so statuses arrive
// after setShortcuts() returns and are announced by statusChanged(). Until the
// portal has said it offers the interface, shortcuts are not offered.
class PortalGlobalShortcuts final : public GlobalShortcuts {
    Q_OBJECT

public:
    explicit PortalGlobalShortcuts(QDBusConnection bus = QDBusConnection::sessionBus(),
                                   QObject* parent = nullptr);
    ~PortalGlobalShortcuts() override;

    bool isOffered() const override { return m_offered; }
    void setDescriptions(const QHash<QString, QString>& descriptions) override;
    void setShortcuts(const QHash<QString, QKeySequence>& shortcuts) override;
    Status status(const QString& id) const override;

    // The sequence in the XDG shortcut text the portal takes ("LOGO+ALT+8");
    // empty when the key has no name there, and the desktop picks.
    static QString triggerText(const QKeySequence& sequence);

private Q_SLOTS:
    void handleActivated(const QDBusMessage& message);
    void handleShortcutsChanged(const QDBusMessage& message);

private:
    QCoro::Task<> bind();
    void closeSession();
    void setStatuses(const QHash<QString, Status>& statuses);
    // Every wanted shortcut `status`, every cleared one `cleared`.
    QHash<QString, Status> uniform(Status status) const;
    void takeBound(const QList<PortalShortcut>& bound);

    QDBusConnection m_bus;
    Reaction* m_binder = nullptr;
    bool m_probed = false;
    bool m_offered = false;
    QHash<QString, QKeySequence> m_wanted;
    QHash<QString, QKeySequence> m_bound;
    QHash<QString, QString> m_descriptions;
    QHash<QString, Status> m_statuses;
    QString m_session;
};

} // namespace portal
} // namespace oculo

Q_DECLARE_METATYPE(oculo::portal::PortalShortcut)
