#pragma once

#include <QByteArray>
#include <QObject>

#include <memory>

namespace oculo {

// Tells when the X server goes away (a logout, a crashed server), over a
// connection of its own that asks for nothing. Qt's xcb plugin ends the
// process with exit(1) as soon as its own connection breaks, often within the
// same turn of the event loop, so whatever must be saved is saved in the
// handler of serverLost(), not after the loop.
class X11ServerWatch final : public QObject {
    Q_OBJECT

public:
    // `displayName` empty: the display named by $DISPLAY (the one Qt uses).
    explicit X11ServerWatch(const QByteArray& displayName = {}, QObject* parent = nullptr);
    ~X11ServerWatch() override;

    // Whether the connection Qt shows Oculo's windows over has broken; false
    // when Qt does not speak X11.
    static bool qtConnectionBroken();

Q_SIGNALS:
    // Emitted once.
    void serverLost();

private:
    class Private;
    std::unique_ptr<Private> d;
};

} // namespace oculo
