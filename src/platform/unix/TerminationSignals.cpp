#include "platform/unix/TerminationSignals.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace oculo {

namespace {

constexpr std::array handledSignals{SIGTERM, SIGINT, SIGHUP};

// Written only by the handler and by the owner's constructor and destructor.
int pipeFds[2] = {-1, -1};

void writeSignalNumber(int signalNumber) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds a request to quit; losing this one changes nothing.
    [[maybe_unused]] const ssize_t written = ::write(pipeFds[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

TerminationSignals::TerminationSignals(QObject* parent)
    : QObject(parent) {
    if (pipeFds[0] != -1 || ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    m_notifier = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readPendingSignals);

    struct sigaction action = {};
    action.sa_handler = writeSignalNumber;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    m_installed = true;
    for (const int signalNumber : handledSignals) {
        m_installed = ::sigaction(signalNumber, &action, nullptr) == 0 && m_installed;
    }
}

TerminationSignals::~TerminationSignals() {
    if (m_notifier == nullptr) {
        return;
    }
    for (const int signalNumber : handledSignals) {
        std::signal(signalNumber, SIG_DFL);
    }
    delete m_notifier;
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    pipeFds[0] = pipeFds[1] = -1;
}

void TerminationSignals::readPendingSignals() {
    unsigned char byte = 0;
    bool requested = false;
    while (::read(pipeFds[0], &byte, 1) == 1) {
        requested = true;
    }
    if (requested) {
        // A second signal while quitting hangs ends the process the usual way.
        for (const int signalNumber : handledSignals) {
            std::signal(signalNumber, SIG_DFL);
        }
        Q_EMIT terminationRequested(byte);
    }
}

} // namespace oculo
