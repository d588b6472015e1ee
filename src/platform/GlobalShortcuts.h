#pragma once

#include <QHash>
#include <QKeySequence>
#include <QObject>
#include <QString>

namespace oculo {

// Key combinations that reach Oculo whichever application has the keyboard.
// Each shortcut has an id chosen by the caller; a shortcut the system cannot
// give Oculo says why through its status instead of quietly doing nothing.
class GlobalShortcuts : public QObject {
    Q_OBJECT

public:
    enum class Status {
        active,     // pressing it anywhere emits activated()
        cleared,    // no key sequence wanted
        taken,      // another program holds the combination
        noKey,      // the keyboard has no key for it, or it is not one key with modifiers
        notOffered, // this desktop offers no global shortcuts at all
        pending,    // the desktop has not answered yet (it may be asking the user)
        refused,    // the desktop did not bind it
    };

    using QObject::QObject;

    // Whether the desktop lets an application have global shortcuts at all.
    virtual bool isOffered() const = 0;
    // What each shortcut does, for a desktop that shows it to the user.
    virtual void setDescriptions(const QHash<QString, QString>& /*descriptions*/) {}
    // Replaces every wanted shortcut; an empty sequence clears one. Statuses
    // are up to date when this returns, except where a desktop answers later:
    // then they read `pending` and statusChanged() announces the answer.
    virtual void setShortcuts(const QHash<QString, QKeySequence>& shortcuts) = 0;
    virtual Status status(const QString& id) const = 0;

Q_SIGNALS:
    // Once per press; a key held down does not repeat it.
    void activated(const QString& id);
    // Some status changed without a call to setShortcuts() (a new keyboard
    // map, a desktop's late answer, or isOffered() becoming known).
    void statusChanged();
};

// A desktop without global shortcuts.
class NoGlobalShortcuts final : public GlobalShortcuts {
    Q_OBJECT

public:
    using GlobalShortcuts::GlobalShortcuts;

    bool isOffered() const override { return false; }
    void setShortcuts(const QHash<QString, QKeySequence>& /*shortcuts*/) override {}
    Status status(const QString& /*id*/) const override { return Status::notOffered; }
};

} // namespace oculo
