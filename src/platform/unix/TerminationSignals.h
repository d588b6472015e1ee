#pragma once

#include <QObject>

class QSocketNotifier;

namespace oculo {

// Turns SIGTERM, SIGINT and SIGHUP into a queued signal on the GUI thread, so
// that a session logout or a kill ends Oculo through the same clean quit as
// the menu (settings written, streams stopped). The handler only writes the
// signal number into a pipe; everything else happens on the event loop.
// One instance per process; it restores the default handlers when destroyed.
class TerminationSignals final : public QObject {
    Q_OBJECT

public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

    // False when the pipe or the handlers could not be set up.
    bool isInstalled() const { return m_installed; }

Q_SIGNALS:
    void terminationRequested(int signalNumber);

private:
    void readPendingSignals();

    QSocketNotifier* m_notifier = nullptr;
    bool m_installed = false;
};

} // namespace oculo
