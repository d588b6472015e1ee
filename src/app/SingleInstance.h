#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

namespace oculo {

// Makes sure one Oculo runs per user session, so that only one process ever
// writes the settings. The first start claims the session: its name on the
// session bus, or, with no bus, a lock and a local socket in the runtime
// folder. A later start asks the running one to come forward and ends.
class SingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.oculo.Oculo.SingleInstance")

public:
    enum class Claim {
        primary,    // this process is the one instance
        handedOver, // another one runs and was asked to come forward
        failed,     // another one holds the session but does not answer
    };

    // `serviceName` is a D-Bus name and the base name of the lock and socket.
    explicit SingleInstance(QString serviceName, QObject* parent = nullptr);
    ~SingleInstance() override;

    Claim claim();
    // Why the claim failed, in one sentence.
    QString errorString() const { return m_error; }

public Q_SLOTS:
    // Called by a later start, over D-Bus or the local socket.
    Q_SCRIPTABLE void Activate();

Q_SIGNALS:
    void activationRequested();

private:
    Claim claimOnSessionBus();
    Claim claimLocally();
    void acceptConnections();

    QString m_serviceName;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer m_server;
    QString m_error;
    bool m_onBus = false;
};

} // namespace oculo
