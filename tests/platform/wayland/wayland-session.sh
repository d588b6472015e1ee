#!/usr/bin/env bash
# Runs COMMAND inside a private headless GNOME-like Wayland session and tears it
# down after: a session bus of its own, PipeWire and WirePlumber, mutter with
# one virtual 1920x1080 monitor (software rendering, no GPU, no seat), the
# GNOME screen-cast portal, and a remembered permission to share the monitor,
# so that no dialog asks. Never touches the caller's session.
#
#   wayland-session.sh COMMAND [ARGS...]
#
# COMMAND sees WAYLAND_DISPLAY, XDG_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS,
# XDG_CONFIG_HOME (empty but for Oculo's settings file, which holds the restore
# token), OCULO_SESSION_RUN (scratch folder with the logs), OCULO_SESSION_TOKEN,
# and OCULO_SESSION_PORTAL_PID (the GNOME portal, which a test may stop).
# Exits 77 when the session cannot start (no mutter, no portal).
set -u

if [ -z "${OCULO_SESSION_IN_BUS:-}" ]; then
    for tool in dbus-run-session mutter pipewire wireplumber busctl \
        /usr/libexec/xdg-desktop-portal /usr/libexec/xdg-desktop-portal-gnome; do
        command -v "$tool" >/dev/null || { echo "wayland-session: $tool is missing" >&2; exit 77; }
    done
    export OCULO_SESSION_IN_BUS=1
    exec dbus-run-session -- "$0" "$@"
fi

RUN="$(mktemp -d "${TMPDIR:-/tmp}/oculo-wayland.XXXXXX")"
export OCULO_SESSION_RUN="$RUN"
export XDG_RUNTIME_DIR="$RUN/runtime" HOME="$RUN/home" XDG_CONFIG_HOME="$RUN/config"
export XDG_STATE_HOME="$RUN/state" XDG_DATA_HOME="$RUN/data" XDG_CACHE_HOME="$RUN/cache"
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
mkdir -p "$HOME" "$XDG_CONFIG_HOME/Oculo" "$XDG_STATE_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME"
export XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=GNOME
unset DISPLAY WAYLAND_DISPLAY

PIDS=()
finish() {
    trap - EXIT INT TERM
    local i
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do kill "${PIDS[$i]}" 2>/dev/null; done
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
        for _ in $(seq 20); do kill -0 "${PIDS[$i]}" 2>/dev/null || break; sleep 0.1; done
        kill -9 "${PIDS[$i]}" 2>/dev/null
    done
    wait 2>/dev/null
    # The document portal may have mounted its file system in the runtime folder.
    mountpoint -q "$XDG_RUNTIME_DIR/doc" 2>/dev/null &&
        { fusermount3 -u "$XDG_RUNTIME_DIR/doc" || fusermount -u "$XDG_RUNTIME_DIR/doc" || umount -l "$XDG_RUNTIME_DIR/doc"; } 2>/dev/null
    [ -n "${OCULO_SESSION_KEEP:-}" ] && echo "wayland-session: logs in $RUN" >&2 || rm -rf "$RUN"
}
trap finish EXIT INT TERM

# Polls until COMMAND succeeds, for at most SECONDS.
await() {
    local tenths=$(($1 * 10))
    shift
    until "$@" >/dev/null 2>&1; do
        tenths=$((tenths - 1))
        [ "$tenths" -le 0 ] && return 1
        sleep 0.1
    done
}
fail() { echo "wayland-session: $1" >&2; tail -n 20 "$2" >&2 2>/dev/null; exit 77; }

pipewire >"$RUN/pipewire.log" 2>&1 & PIDS+=($!)
await 10 test -S "$XDG_RUNTIME_DIR/pipewire-0" || fail "pipewire did not start" "$RUN/pipewire.log"
wireplumber >"$RUN/wireplumber.log" 2>&1 & PIDS+=($!)
mutter --headless --wayland --no-x11 --virtual-monitor 1920x1080 \
    --wayland-display=wayland-oculo >"$RUN/mutter.log" 2>&1 & PIDS+=($!)
export OCULO_SESSION_COMPOSITOR_PID=$!
export WAYLAND_DISPLAY=wayland-oculo
await 30 busctl --user status org.gnome.Mutter.ScreenCast || fail "mutter did not start" "$RUN/mutter.log"
await 10 busctl --user status org.gnome.Mutter.DisplayConfig || fail "mutter has no displays" "$RUN/mutter.log"
# Activated services (the permission store) must see this session, not the caller's.
dbus-update-activation-environment WAYLAND_DISPLAY XDG_RUNTIME_DIR XDG_CURRENT_DESKTOP \
    XDG_CONFIG_HOME XDG_STATE_HOME XDG_DATA_HOME XDG_CACHE_HOME HOME >/dev/null 2>&1
# Started by hand so that they inherit this environment; xdg-desktop-portal
# picks the GNOME backend through XDG_CURRENT_DESKTOP.
/usr/libexec/xdg-desktop-portal-gnome >"$RUN/portal-gnome.log" 2>&1 & PIDS+=($!)
export OCULO_SESSION_PORTAL_PID=$!
await 10 busctl --user status org.freedesktop.impl.portal.desktop.gnome ||
    fail "the GNOME portal did not start" "$RUN/portal-gnome.log"
/usr/libexec/xdg-desktop-portal -r >"$RUN/portal.log" 2>&1 & PIDS+=($!)
await 10 busctl --user status org.freedesktop.portal.Desktop || fail "the portal did not start" "$RUN/portal.log"

# What the portal stores when a person ticks "remember" in the share dialog:
# table "screencast", the token as id, "" (any application outside a sandbox)
# allowed, and the GNOME backend's restore data naming the monitor by
# vendor:product:serial as mutter reports it.
monitor="$(busctl --user call org.gnome.Mutter.DisplayConfig /org/gnome/Mutter/DisplayConfig \
    org.gnome.Mutter.DisplayConfig GetCurrentState | grep -o '"[^"]*"' | sed -n 2,4p | tr -d '"' |
    paste -sd:)"
[ -n "$monitor" ] || fail "no monitor to share" /dev/null
token="$(cat /proc/sys/kernel/random/uuid)"
now="$(date +%s%6N)"
store=(org.freedesktop.impl.portal.PermissionStore /org/freedesktop/impl/portal/PermissionStore
    org.freedesktop.impl.portal.PermissionStore)
busctl --user call "${store[@]}" SetPermission sbssas screencast true "$token" "" 1 yes >/dev/null ||
    fail "the permission store refused the token" /dev/null
busctl --user call "${store[@]}" SetValue sbsv screencast true "$token" '(suv)' GNOME 1 \
    '(xxa(uuv))' "$now" "$now" 1 0 1 s "$monitor" >/dev/null ||
    fail "the permission store refused the monitor" /dev/null
export OCULO_SESSION_TOKEN="$token"
printf '{\n    "oculo.portalRestoreToken": "%s"\n}\n' "$token" >"$XDG_CONFIG_HOME/Oculo/settings.json"

"$@"
