#include "app/GlobalShortcutActions.h"

#include "app/ApplicationCore.h"
#include "app/MagnifierWindow.h"
#include "state/MagnifierState.h"
#include "state/SettingsStore.h"

#include <QGuiApplication>
#include <QHash>
#include <QWindow>

#include <algorithm>
#include <optional>

namespace oculo {

const QString GlobalShortcutActions::toggleWindows = QStringLiteral("toggle");
const QString GlobalShortcutActions::zoomIn = QStringLiteral("zoomIn");
const QString GlobalShortcutActions::zoomOut = QStringLiteral("zoomOut");
const QString GlobalShortcutActions::nextColorFilter = QStringLiteral("filter");

const QList<GlobalShortcutActions::Shortcut>& GlobalShortcutActions::shortcuts() {
    static const QList<Shortcut> all = [] {
        const auto superAlt = Qt::META | Qt::ALT;
        QList<Shortcut> list;
        for (const auto& [id, key] :
             {std::pair{toggleWindows, Qt::Key_8}, std::pair{zoomIn, Qt::Key_Equal},
              std::pair{zoomOut, Qt::Key_Minus}, std::pair{nextColorFilter, Qt::Key_I}}) {
            list.append({id, QStringLiteral("oculo.shortcut.") + id, QKeySequence(superAlt | key)});
        }
        return list;
    }();
    return all;
}

GlobalShortcutActions::GlobalShortcutActions(ApplicationCore& core,
                                             GlobalShortcuts& globalShortcuts, SettingsStore& store,
                                             QObject* parent)
    : QObject(parent)
    , m_core(core)
    , m_globalShortcuts(globalShortcuts)
    , m_store(store) {
    m_globalShortcuts.setDescriptions(
        {{toggleWindows, tr("Show or hide the magnifier windows")},
         {zoomIn, tr("Zoom the magnifier in")},
         {zoomOut, tr("Zoom the magnifier out")},
         {nextColorFilter, tr("Switch to the magnifier's next colour filter")}});
    connect(&m_globalShortcuts, &GlobalShortcuts::activated, this, &GlobalShortcutActions::perform);
    connect(&m_globalShortcuts, &GlobalShortcuts::statusChanged, this,
            &GlobalShortcutActions::changed);
    // A shortcut pressed in another application acts on the magnifier used last.
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::focusWindowChanged, this, [this] {
            for (MagnifierWindow* window : m_core.windows()) {
                if (window->hasKeyboardFocus()) {
                    m_lastFocused = window;
                }
            }
        });
    }
    apply();
}

GlobalShortcutActions::~GlobalShortcutActions() = default;

QKeySequence GlobalShortcutActions::sequence(const QString& id) const {
    QList<QKeySequence> earlier;
    for (const Shortcut& shortcut : shortcuts()) {
        QKeySequence wanted = shortcut.defaultSequence;
        if (const std::optional<QString> stored = m_store.string(shortcut.settingsKey)) {
            const QKeySequence parsed =
                QKeySequence::fromString(*stored, QKeySequence::PortableText);
            // Text Qt cannot read keeps the default rather than losing the shortcut.
            if (stored->isEmpty() || (!parsed.isEmpty() && parsed[0].key() != Qt::Key_unknown)) {
                wanted = parsed.isEmpty() ? QKeySequence() : QKeySequence(parsed[0]);
            }
        }
        if (shortcut.id == id) {
            // Two shortcuts on one key (a hand-edited file): the first keeps it.
            return earlier.contains(wanted) ? QKeySequence() : wanted;
        }
        if (!wanted.isEmpty()) {
            earlier.append(wanted);
        }
    }
    return {};
}

GlobalShortcuts::Status GlobalShortcutActions::status(const QString& id) const {
    return m_suspended ? GlobalShortcuts::Status::cleared : m_globalShortcuts.status(id);
}

QString GlobalShortcutActions::problem(const QString& id) const {
    const QString keys = displayText(sequence(id));
    switch (status(id)) {
    case GlobalShortcuts::Status::taken:
        return tr("%1 is taken by another program").arg(keys);
    case GlobalShortcuts::Status::noKey:
        return tr("%1 cannot be used: the keyboard has no such key").arg(keys);
    case GlobalShortcuts::Status::notOffered:
        return tr("This desktop does not offer global shortcuts.");
    case GlobalShortcuts::Status::pending:
        return tr("Waiting for the desktop to accept %1.").arg(keys);
    case GlobalShortcuts::Status::refused:
        return tr("The desktop did not accept %1 as a global shortcut.").arg(keys);
    case GlobalShortcuts::Status::active:
    case GlobalShortcuts::Status::cleared:
        break;
    }
    return {};
}

QString GlobalShortcutActions::setSequence(const QString& id, const QKeySequence& sequence) {
    const QKeySequence wanted = sequence.isEmpty() ? QKeySequence() : QKeySequence(sequence[0]);
    if (!wanted.isEmpty()) {
        // A bare key grabbed for the whole desktop could no longer be typed anywhere.
        const Qt::KeyboardModifiers modifiers = wanted[0].keyboardModifiers();
        const Qt::Key key = wanted[0].key();
        const bool functionKey = key >= Qt::Key_F1 && key <= Qt::Key_F35;
        if (!functionKey &&
            (modifiers & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) == 0) {
            return tr("%1 cannot be a global shortcut: add Super, Alt or Ctrl.")
                .arg(displayText(wanted));
        }
    }
    QStringList clearedKeys;
    for (const Shortcut& shortcut : shortcuts()) {
        if (shortcut.id != id && !wanted.isEmpty() && this->sequence(shortcut.id) == wanted) {
            clearedKeys.append(shortcut.settingsKey);
        }
    }
    for (const QString& key : std::as_const(clearedKeys)) {
        m_store.setString(key, QString());
    }
    for (const Shortcut& shortcut : shortcuts()) {
        if (shortcut.id == id) {
            m_store.setString(shortcut.settingsKey, wanted.toString(QKeySequence::PortableText));
        }
    }
    m_store.sync();
    apply();
    return {};
}

void GlobalShortcutActions::setSuspended(bool suspended) {
    if (m_suspended != suspended) {
        m_suspended = suspended;
        apply();
    }
}

QString GlobalShortcutActions::displayText(const QKeySequence& sequence) {
    if (sequence.isEmpty()) {
        return {};
    }
    // Qt's own text says "Meta" for the key every Linux desktop calls Super.
    const QKeyCombination combination = sequence[0];
    const Qt::KeyboardModifiers modifiers = combination.keyboardModifiers();
    QString text;
    for (const auto& [modifier, name] :
         {std::pair{Qt::MetaModifier, tr("Super")}, std::pair{Qt::ControlModifier, tr("Ctrl")},
          std::pair{Qt::AltModifier, tr("Alt")}, std::pair{Qt::ShiftModifier, tr("Shift")}}) {
        if (modifiers.testFlag(modifier)) {
            text += name + QLatin1Char('+');
        }
    }
    return text + QKeySequence(combination.key()).toString(QKeySequence::NativeText);
}

void GlobalShortcutActions::perform(const QString& id) {
    if (m_core.isTerminating()) {
        return;
    }
    if (id == toggleWindows) {
        toggleAllWindows();
        return;
    }
    MagnifierWindow* target = targetWindow();
    if (target == nullptr) {
        return;
    }
    if (id == zoomIn) {
        target->state().zoomIn();
    } else if (id == zoomOut) {
        target->state().zoomOut();
    } else if (id == nextColorFilter) {
        target->state().cycleColorFilter();
    }
    m_lastFocused = target;
}

void GlobalShortcutActions::apply() {
    QHash<QString, QKeySequence> wanted;
    for (const Shortcut& shortcut : shortcuts()) {
        wanted.insert(shortcut.id, m_suspended ? QKeySequence() : sequence(shortcut.id));
    }
    m_globalShortcuts.setShortcuts(wanted);
    Q_EMIT changed();
}

MagnifierWindow* GlobalShortcutActions::targetWindow() const {
    const QList<MagnifierWindow*> windows = m_core.windows();
    if (m_lastFocused != nullptr && windows.contains(m_lastFocused.data())) {
        return m_lastFocused;
    }
    return m_core.activeWindow();
}

void GlobalShortcutActions::toggleAllWindows() {
    const QList<MagnifierWindow*> windows = m_core.windows();
    // The windows step aside while a region is chosen; showing them would cover it.
    for (MagnifierWindow* window : windows) {
        if (window->state().isSelectingRegion() || window->state().isAdjustingRegion()) {
            return;
        }
    }
    const bool anyShown =
        std::any_of(windows.cbegin(), windows.cend(),
                    [](MagnifierWindow* window) { return window->isShownToUser(); });
    for (MagnifierWindow* window : windows) {
        if (anyShown) {
            window->hideFromUser();
        } else {
            // Shown without taking the keyboard from what the user is typing in.
            window->bringBack();
        }
    }
}

} // namespace oculo
