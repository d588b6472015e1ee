#include "platform/x11/X11ServerWatch.h"

#include "platform/x11/XcbSupport.h"

#include <QGuiApplication>
#include <QSocketNotifier>

namespace oculo {

class X11ServerWatch::Private {
public:
    x11::XcbConnection connection;
    std::unique_ptr<QSocketNotifier> socketWatch;
};

X11ServerWatch::X11ServerWatch(const QByteArray& displayName, QObject* parent)
    : QObject(parent)
    , d(std::make_unique<Private>()) {
    d->connection = x11::connectToDisplay(displayName).connection;
    xcb_connection_t* c = d->connection.get();
    if (c == nullptr || xcb_connection_has_error(c) != 0) {
        return; // without a server there is nothing to lose
    }
    d->socketWatch =
        std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(c), QSocketNotifier::Read);
    connect(d->socketWatch.get(), &QSocketNotifier::activated, this, [this, c] {
        // Nothing was asked for: what arrives is the end of the connection.
        while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
            const x11::XcbReply<xcb_generic_event_t> dropped(event);
        }
        if (xcb_connection_has_error(c) != 0) {
            d->socketWatch->setEnabled(false);
            Q_EMIT serverLost();
        }
    });
}

X11ServerWatch::~X11ServerWatch() = default;

bool X11ServerWatch::qtConnectionBroken() {
    const auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    const auto* x11 =
        app != nullptr ? app->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 != nullptr && x11->connection() != nullptr &&
           xcb_connection_has_error(x11->connection()) != 0;
}

} // namespace oculo
