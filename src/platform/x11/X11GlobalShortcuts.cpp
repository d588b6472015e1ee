#include "platform/x11/X11GlobalShortcuts.h"

#include "platform/x11/XcbSupport.h"

#include <QList>
#include <QPointer>
#include <QSet>
#include <QSocketNotifier>

#include <X11/keysym.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

namespace oculo {
namespace {

constexpr uint16_t everyModifier = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_LOCK | XCB_MOD_MASK_CONTROL |
                                   XCB_MOD_MASK_1 | XCB_MOD_MASK_2 | XCB_MOD_MASK_3 |
                                   XCB_MOD_MASK_4 | XCB_MOD_MASK_5;
constexpr uint8_t accessError = 10; // BadAccess: another client holds the grab

std::optional<xcb_keysym_t> keysymOf(Qt::Key key) {
    const int code = key;
    // Letters are grabbed by their unshifted keysym, which is the lower case one.
    if (code >= Qt::Key_A && code <= Qt::Key_Z) {
        return static_cast<xcb_keysym_t>(code - Qt::Key_A + XK_a);
    }
    if (code >= Qt::Key_Agrave && code <= Qt::Key_THORN && code != Qt::Key_multiply) {
        return static_cast<xcb_keysym_t>(code + 0x20);
    }
    // The rest of Latin-1 has the keysym of its code point.
    if (code >= Qt::Key_Space && code <= Qt::Key_ydiaeresis) {
        return static_cast<xcb_keysym_t>(code);
    }
    if (code >= Qt::Key_F1 && code <= Qt::Key_F35) {
        return static_cast<xcb_keysym_t>(XK_F1 + (code - Qt::Key_F1));
    }
    static constexpr std::pair<Qt::Key, xcb_keysym_t> special[] = {
        {Qt::Key_Escape, XK_Escape},
        {Qt::Key_Tab, XK_Tab},
        {Qt::Key_Backtab, XK_ISO_Left_Tab},
        {Qt::Key_Backspace, XK_BackSpace},
        {Qt::Key_Return, XK_Return},
        {Qt::Key_Enter, XK_KP_Enter},
        {Qt::Key_Insert, XK_Insert},
        {Qt::Key_Delete, XK_Delete},
        {Qt::Key_Pause, XK_Pause},
        {Qt::Key_Print, XK_Print},
        {Qt::Key_SysReq, XK_Sys_Req},
        {Qt::Key_Home, XK_Home},
        {Qt::Key_End, XK_End},
        {Qt::Key_Left, XK_Left},
        {Qt::Key_Up, XK_Up},
        {Qt::Key_Right, XK_Right},
        {Qt::Key_Down, XK_Down},
        {Qt::Key_PageUp, XK_Prior},
        {Qt::Key_PageDown, XK_Next},
        {Qt::Key_Menu, XK_Menu},
        {Qt::Key_Help, XK_Help},
    };
    const auto* found = std::find_if(std::begin(special), std::end(special),
                                     [key](const auto& entry) { return entry.first == key; });
    if (found != std::end(special)) {
        return found->second;
    }
    return std::nullopt;
}

// The server's keyboard map: which keysyms each keycode produces.
struct KeyboardMap {
    xcb_keycode_t minKeycode = 0;
    int perKeycode = 0;
    std::vector<xcb_keysym_t> keysyms;

    void read(xcb_connection_t* c) {
        const xcb_setup_t* setup = xcb_get_setup(c);
        minKeycode = setup->min_keycode;
        const auto count = static_cast<uint8_t>(setup->max_keycode - setup->min_keycode + 1);
        const x11::XcbReply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
            c, xcb_get_keyboard_mapping(c, minKeycode, count), nullptr));
        if (!reply) {
            keysyms.clear();
            perKeycode = 0;
            return;
        }
        perKeycode = reply->keysyms_per_keycode;
        const xcb_keysym_t* first = xcb_get_keyboard_mapping_keysyms(reply.get());
        keysyms.assign(first, first + xcb_get_keyboard_mapping_keysyms_length(reply.get()));
    }

    xcb_keysym_t at(xcb_keycode_t keycode, int column) const {
        const std::size_t index =
            static_cast<std::size_t>(keycode - minKeycode) * static_cast<std::size_t>(perKeycode) +
            static_cast<std::size_t>(column);
        return keycode >= minKeycode && index < keysyms.size() ? keysyms[index] : XCB_NO_SYMBOL;
    }

    // A keycode that produces `keysym`, and whether it needs Shift for it.
    std::optional<std::pair<xcb_keycode_t, bool>> find(xcb_keysym_t keysym) const {
        if (perKeycode == 0) {
            return std::nullopt;
        }
        const auto keycodeCount = static_cast<int>(keysyms.size()) / perKeycode;
        for (const int column : {0, 1}) {
            for (int i = 0; i < keycodeCount && column < perKeycode; ++i) {
                const auto keycode = static_cast<xcb_keycode_t>(minKeycode + i);
                if (at(keycode, column) == keysym) {
                    return std::pair{keycode, column == 1};
                }
            }
        }
        return std::nullopt;
    }
};

} // namespace

class X11GlobalShortcuts::Private {
public:
    struct Combination {
        xcb_keycode_t keycode = 0;
        uint16_t modifiers = 0;
        bool operator==(const Combination&) const = default;
    };

    explicit Private(X11GlobalShortcuts& owner)
        : q(owner) {}

    bool isConnected() const {
        return connection && xcb_connection_has_error(connection.get()) == 0 && root != 0;
    }

    void readKeyboard() {
        xcb_connection_t* c = connection.get();
        keyboard.read(c);
        // NumLock and ScrollLock sit on whichever modifier the map puts them.
        uint16_t numLock = 0;
        uint16_t scrollLock = 0;
        const x11::XcbReply<xcb_get_modifier_mapping_reply_t> reply(
            xcb_get_modifier_mapping_reply(c, xcb_get_modifier_mapping(c), nullptr));
        if (reply) {
            const xcb_keycode_t* keycodes = xcb_get_modifier_mapping_keycodes(reply.get());
            const int perModifier = reply->keycodes_per_modifier;
            for (int modifier = 0; modifier < 8; ++modifier) {
                for (int i = 0; i < perModifier; ++i) {
                    const xcb_keycode_t keycode = keycodes[modifier * perModifier + i];
                    for (int column = 0; column < keyboard.perKeycode; ++column) {
                        const xcb_keysym_t keysym = keyboard.at(keycode, column);
                        numLock |= keysym == XK_Num_Lock ? 1U << modifier : 0U;
                        scrollLock |= keysym == XK_Scroll_Lock ? 1U << modifier : 0U;
                    }
                }
            }
        }
        lockMask = static_cast<uint16_t>(XCB_MOD_MASK_LOCK | numLock | scrollLock);
        lockCombinations.clear();
        for (const uint16_t caps : {uint16_t{0}, uint16_t{XCB_MOD_MASK_LOCK}}) {
            for (const uint16_t num : {uint16_t{0}, numLock}) {
                for (const uint16_t scroll : {uint16_t{0}, scrollLock}) {
                    const auto combination = static_cast<uint16_t>(caps | num | scroll);
                    if (!lockCombinations.contains(combination)) {
                        lockCombinations.append(combination);
                    }
                }
            }
        }
    }

    std::optional<Combination> combinationOf(const QKeySequence& sequence) const {
        if (sequence.count() != 1) {
            return std::nullopt;
        }
        const QKeyCombination chosen = sequence[0];
        const std::optional<xcb_keysym_t> keysym = keysymOf(chosen.key());
        const auto key = keysym ? keyboard.find(*keysym) : std::nullopt;
        if (!key) {
            return std::nullopt;
        }
        const Qt::KeyboardModifiers modifiers = chosen.keyboardModifiers();
        uint16_t mask = 0;
        mask |= modifiers.testFlag(Qt::ShiftModifier) || key->second ? XCB_MOD_MASK_SHIFT : 0;
        mask |= modifiers.testFlag(Qt::ControlModifier) ? XCB_MOD_MASK_CONTROL : 0;
        mask |= modifiers.testFlag(Qt::AltModifier) ? XCB_MOD_MASK_1 : 0;
        // Qt calls Super "Meta"; X puts it on Mod4.
        mask |= modifiers.testFlag(Qt::MetaModifier) ? XCB_MOD_MASK_4 : 0;
        return Combination{key->first, mask};
    }

    void ungrab(const Combination& combination) {
        for (const uint16_t locks : std::as_const(lockCombinations)) {
            xcb_ungrab_key(connection.get(), combination.keycode, root,
                           static_cast<uint16_t>(combination.modifiers | locks));
        }
    }

    Status grab(const Combination& combination) {
        xcb_connection_t* c = connection.get();
        QList<xcb_void_cookie_t> cookies;
        for (const uint16_t locks : std::as_const(lockCombinations)) {
            cookies.append(xcb_grab_key_checked(
                c, 1, root, static_cast<uint16_t>(combination.modifiers | locks),
                combination.keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        }
        Status status = Status::active;
        for (const xcb_void_cookie_t cookie : std::as_const(cookies)) {
            if (const x11::XcbError error{xcb_request_check(c, cookie)}) {
                status = error->error_code == accessError ? Status::taken : Status::noKey;
            }
        }
        // Half a shortcut (working only with NumLock off, say) would be a puzzle.
        if (status != Status::active) {
            ungrab(combination);
        }
        return status;
    }

    void ungrabAll() {
        if (isConnected()) {
            for (const Combination& combination : std::as_const(grabbed)) {
                ungrab(combination);
            }
            xcb_flush(connection.get());
        }
        grabbed.clear();
        held.clear();
    }

    void grabAll() {
        ungrabAll();
        statuses.clear();
        for (auto it = wanted.cbegin(); it != wanted.cend(); ++it) {
            if (it.value().isEmpty()) {
                statuses.insert(it.key(), Status::cleared);
                continue;
            }
            if (!isConnected()) {
                statuses.insert(it.key(), Status::notOffered);
                continue;
            }
            const std::optional<Combination> combination = combinationOf(it.value());
            if (!combination) {
                statuses.insert(it.key(), Status::noKey);
                continue;
            }
            // One key for two shortcuts: the server would keep only the later grab.
            if (std::find(grabbed.cbegin(), grabbed.cend(), *combination) != grabbed.cend()) {
                statuses.insert(it.key(), Status::taken);
                continue;
            }
            const Status status = grab(*combination);
            statuses.insert(it.key(), status);
            if (status == Status::active) {
                grabbed.insert(it.key(), *combination);
            }
        }
        if (isConnected()) {
            xcb_flush(connection.get());
        }
    }

    // Reads every event that has arrived; returns the shortcuts pressed.
    QStringList readEvents() {
        xcb_connection_t* c = connection.get();
        QStringList pressed;
        bool mappingChanged = false;
        x11::XcbReply<xcb_generic_event_t> next;
        for (;;) {
            x11::XcbReply<xcb_generic_event_t> event =
                next ? std::move(next) : x11::XcbReply<xcb_generic_event_t>(xcb_poll_for_event(c));
            if (!event) {
                break;
            }
            const uint8_t type = event->response_type & 0x7f;
            if (type == XCB_KEY_RELEASE) {
                const auto* release = reinterpret_cast<const xcb_key_release_event_t*>(event.get());
                // Auto-repeat sends a release and a press with the same time.
                next.reset(xcb_poll_for_queued_event(c));
                const auto* press = next && (next->response_type & 0x7f) == XCB_KEY_PRESS
                                        ? reinterpret_cast<const xcb_key_press_event_t*>(next.get())
                                        : nullptr;
                if (press != nullptr && press->detail == release->detail &&
                    press->time == release->time) {
                    next.reset();
                    continue;
                }
                held.remove(release->detail);
            } else if (type == XCB_KEY_PRESS) {
                const auto* press = reinterpret_cast<const xcb_key_press_event_t*>(event.get());
                if (held.contains(press->detail)) {
                    continue;
                }
                held.insert(press->detail);
                const Combination combination{
                    press->detail, static_cast<uint16_t>(press->state & everyModifier & ~lockMask)};
                for (auto it = grabbed.cbegin(); it != grabbed.cend(); ++it) {
                    if (it.value() == combination) {
                        pressed.append(it.key());
                    }
                }
            } else if (type == XCB_MAPPING_NOTIFY) {
                const auto* mapping =
                    reinterpret_cast<const xcb_mapping_notify_event_t*>(event.get());
                mappingChanged = mappingChanged || mapping->request != XCB_MAPPING_POINTER;
            }
        }
        if (mappingChanged) {
            // The old keycodes may mean other keys now.
            ungrabAll();
            readKeyboard();
            grabAll();
            Q_EMIT q.statusChanged();
        }
        return pressed;
    }

    X11GlobalShortcuts& q;
    x11::XcbConnection connection;
    xcb_window_t root = 0;
    std::unique_ptr<QSocketNotifier> socketWatch;
    KeyboardMap keyboard;
    uint16_t lockMask = XCB_MOD_MASK_LOCK;
    QList<uint16_t> lockCombinations;
    QHash<QString, QKeySequence> wanted;
    QHash<QString, Status> statuses;
    QHash<QString, Combination> grabbed; // the active shortcuts
    QSet<xcb_keycode_t> held;            // pressed and not yet released
};

X11GlobalShortcuts::X11GlobalShortcuts(const QByteArray& displayName, QObject* parent)
    : GlobalShortcuts(parent)
    , d(std::make_unique<Private>(*this)) {
    x11::ConnectedScreen connected = x11::connectToDisplay(displayName);
    d->connection = std::move(connected.connection);
    if (connected.screen == nullptr || !d->connection ||
        xcb_connection_has_error(d->connection.get()) != 0) {
        return;
    }
    d->root = connected.screen->root;
    d->readKeyboard();
    xcb_connection_t* c = d->connection.get();
    d->socketWatch =
        std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(c), QSocketNotifier::Read);
    connect(d->socketWatch.get(), &QSocketNotifier::activated, this, [this, c] {
        const QPointer<X11GlobalShortcuts> self(this);
        const QStringList pressed = d->readEvents();
        if (xcb_connection_has_error(c) != 0) {
            d->socketWatch->setEnabled(false);
            d->grabbed.clear();
            for (auto it = d->statuses.begin(); it != d->statuses.end(); ++it) {
                it.value() = it.value() == Status::cleared ? Status::cleared : Status::notOffered;
            }
            Q_EMIT statusChanged();
            return;
        }
        for (const QString& id : pressed) {
            if (!self) {
                return;
            }
            Q_EMIT activated(id);
        }
    });
}

X11GlobalShortcuts::~X11GlobalShortcuts() {
    d->ungrabAll();
}

bool X11GlobalShortcuts::isOffered() const {
    return d->isConnected();
}

void X11GlobalShortcuts::setShortcuts(const QHash<QString, QKeySequence>& shortcuts) {
    d->wanted = shortcuts;
    d->grabAll();
}

GlobalShortcuts::Status X11GlobalShortcuts::status(const QString& id) const {
    return d->statuses.value(id, Status::cleared);
}

} // namespace oculo
