#pragma once

#include "platform/FocusFilter.h"
#include "platform/FocusSource.h"

#include <QDBusConnection>
#include <QHash>
#include <QPointer>
#include <QString>

#include <memory>
#include <optional>

class QDBusMessage;
class QDBusServiceWatcher;

namespace oculo {

// The caret and the keyboard focus of other applications, from the
// accessibility bus: found through the session bus, asked to expose the
// toolkits' trees, and listened to while watched. Every question to an
// application is asynchronous and times out, so a hung application costs a
// missed event, never a frozen Oculo. A missing bus, or one that goes away,
// is said once on stdout; following resumes when the bus comes back.
class AtSpiFocusSource : public FocusSource {
    Q_OBJECT

public:
    // A question an application has not answered within this is dropped.
    static constexpr int replyTimeoutMs = 500;

    explicit AtSpiFocusSource(QObject* parent = nullptr);
    ~AtSpiFocusSource() override;

    void setWatched(bool watched) override;
    // Connected to an accessibility bus and registered for its events.
    bool isListening() const { return m_bus.has_value(); }

Q_SIGNALS:
    void listeningChanged(bool listening);

private Q_SLOTS:
    void onStateChanged(const QDBusMessage& message);
    void onCaretMoved(const QDBusMessage& message);
    void onActiveDescendantChanged(const QDBusMessage& message);
    void onWindowActivated(const QDBusMessage& message);
    void onWindowDeactivated(const QDBusMessage& message);

private:
    struct Object {
        QString service;
        QString path;
        friend bool operator==(const Object&, const Object&) = default;
    };
    struct Query;

    void start();
    void stop();
    void requestAddress();
    void connectToAccessibilityBus(const QString& address);
    void registerEvents();
    void disconnectFromAccessibilityBus();
    void say(const QString& sentence);
    // Asks what the filter needs to know about `target` (an event of `sender`)
    // and reports it when every answer is in.
    void examine(FocusEvent event, const Object& sender, const Object& target, int caretOffset);
    void finish(const std::shared_ptr<Query>& query);

    QDBusConnection m_session;
    std::optional<QDBusConnection> m_bus;
    QString m_busName;
    QPointer<QDBusServiceWatcher> m_busWatcher;
    QPointer<QDBusServiceWatcher> m_registryWatcher;
    bool m_watched = false;
    QString m_lastSaid;
    // Bumped whenever the bus is dropped: answers to older questions are stale.
    quint64 m_generation = 0;
    quint64 m_nextQuery = 0;
    quint64 m_lastReported = 0;
    std::optional<Object> m_focused;
    QString m_activeApplication;
    std::optional<std::pair<Object, int>> m_lastCaret;
    QHash<QString, qint64> m_pids;
};

} // namespace oculo
