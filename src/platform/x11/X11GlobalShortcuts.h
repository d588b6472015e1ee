#pragma once

#include "platform/GlobalShortcuts.h"

#include <QByteArray>

#include <memory>

namespace oculo {

// Global shortcuts through passive key grabs on the root window, over a
// connection of its own. Each shortcut is grabbed once for every combination
// of NumLock, CapsLock and ScrollLock, so it works whichever of them is on; a
// combination another client holds makes the whole shortcut `taken`. The grabs
// are released when the shortcuts change and when this object goes.
class X11GlobalShortcuts final : public GlobalShortcuts {
    Q_OBJECT

public:
    // `displayName` empty: the display named by $DISPLAY.
    explicit X11GlobalShortcuts(const QByteArray& displayName = {}, QObject* parent = nullptr);
    ~X11GlobalShortcuts() override;

    bool isOffered() const override;
    void setShortcuts(const QHash<QString, QKeySequence>& shortcuts) override;
    Status status(const QString& id) const override;

private:
    class Private;
    std::unique_ptr<Private> d;
};

} // namespace oculo
