#pragma once

#include <QImage>
#include <QList>
#include <QPoint>
#include <QSize>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

struct pw_thread_loop;

namespace oculo::wayland {

// One picture of a shared monitor as PipeWire delivered it: 32-bit xRGB
// little-endian rows, valid only during the call it is handed to.
struct ScreenPicture {
    const uchar* pixels = nullptr;
    qsizetype stride = 0;
    QSize size;
    quint64 serial = 0; // changes with every buffer that brought new pixels
};

// Where the pointer is on the monitor, in the stream's pixels, and its image
// (premultiplied ARGB; PipeWire sends it only when it changes, so it is kept).
// No image yet means the desktop has not said what the pointer looks like.
struct ScreenCursor {
    bool onScreen = false;
    bool hidden = false; // an application hid the pointer
    QPoint position;
    QPoint hotspot;
    QImage image;
    quint64 imageSerial = 0;
};

// Takes the pictures of one monitor on PipeWire's thread.
class ScreenConsumer {
public:
    virtual ~ScreenConsumer() = default;
    // `picture` may be null (nothing arrived yet); the cursor always holds
    // the latest metadata.
    virtual void consume(const ScreenPicture* picture, const ScreenCursor& cursor) = 0;
    // The stream ended (the session closed, PipeWire went away).
    virtual void screenLost(const QString& description) = 0;
};

// The PipeWire connection of one portal session: a thread running PipeWire's
// loop and one stream per shared monitor. Created and destroyed on the GUI
// thread; consumers are called on the loop's thread.
class PipeWireConnection {
public:
    // Takes ownership of `fd`. Null with `error` filled when PipeWire cannot be reached.
    static std::unique_ptr<PipeWireConnection> connect(int fd, QString* error);
    ~PipeWireConnection();

    PipeWireConnection(const PipeWireConnection&) = delete;
    PipeWireConnection& operator=(const PipeWireConnection&) = delete;

    // Starts taking the pictures of `node`; `pointerChanged` is called on the
    // loop thread with the pointer's position in that stream's pixels (and
    // the stream's size in pixels), or none when it is not on it. Returns the
    // screen's index.
    using PointerCallback = std::function<void(std::optional<QPoint>, QSize)>;
    int addScreen(quint32 node, PointerCallback pointerChanged);

    void attach(int screen, ScreenConsumer* consumer);
    // After it returns the consumer is called no more.
    void detach(int screen, ScreenConsumer* consumer);
    // Hands the newest picture to `consumer` again, now (for a new rectangle on a still screen).
    void replay(int screen, ScreenConsumer* consumer);
    // Whether a screen's stream ended; its consumers were told.
    bool hasFailed(int screen) const;
    // Ends every screen's stream for consumers, who are told `description`.
    void failAll(const QString& description);

    class Screen;

private:
    PipeWireConnection() = default;

    pw_thread_loop* m_loop = nullptr;
    struct Core;
    std::unique_ptr<Core> m_core;
    std::vector<std::unique_ptr<Screen>> m_screens;
};

} // namespace oculo::wayland
