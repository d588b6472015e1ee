#pragma once

#include "platform/GlobalShortcuts.h"

#include <QKeySequence>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

namespace oculo {

class ApplicationCore;
class MagnifierWindow;
class SettingsStore;

// What Oculo's global shortcuts do, and which keys they are on: showing and
// hiding every magnifier window, zooming the active one and stepping through
// its colour filters. The keys are application settings in Qt's portable
// key-sequence text; an empty text means cleared, an absent one the default.
// The core, the shortcuts and the store must outlive it.
class GlobalShortcutActions : public QObject {
    Q_OBJECT

public:
    struct Shortcut {
        QString id;
        QString settingsKey;
        QKeySequence defaultSequence;
    };
    static const QString toggleWindows;
    static const QString zoomIn;
    static const QString zoomOut;
    static const QString nextColorFilter;
    // In the order the settings window lists them.
    static const QList<Shortcut>& shortcuts();

    GlobalShortcutActions(ApplicationCore& core, GlobalShortcuts& globalShortcuts,
                          SettingsStore& store, QObject* parent = nullptr);
    ~GlobalShortcutActions() override;

    bool isOffered() const { return m_globalShortcuts.isOffered(); }
    QKeySequence sequence(const QString& id) const;
    GlobalShortcuts::Status status(const QString& id) const;
    // A sentence for the settings window when the shortcut does not work, else empty.
    QString problem(const QString& id) const;

    // Stores and applies `sequence` (empty clears it; only its first key
    // combination counts). A shortcut that had the same keys is cleared.
    // Returns why a sequence was refused (the old one stays), else empty.
    QString setSequence(const QString& id, const QKeySequence& sequence);

    // While the user records a new sequence, the grabs would swallow the keys.
    void setSuspended(bool suspended);

    // The sequence as the user reads it: "Super+Alt+8".
    static QString displayText(const QKeySequence& sequence);

public Q_SLOTS:
    void perform(const QString& id);

Q_SIGNALS:
    // A sequence or a status changed.
    void changed();

private:
    void apply();
    // The window the user focused last, else the core's active window.
    MagnifierWindow* targetWindow() const;
    void toggleAllWindows();

    ApplicationCore& m_core;
    GlobalShortcuts& m_globalShortcuts;
    SettingsStore& m_store;
    QPointer<MagnifierWindow> m_lastFocused;
    bool m_suspended = false;
};

} // namespace oculo
