#!/usr/bin/env bash
# Installs the desktop-integration files into a scratch prefix and checks them
# the way distributions do: desktop-file-validate, appstreamcli (offline), and
# every icon size the launcher entry relies on.
# usage: test_desktop_files.sh <build dir> <application id>
set -euo pipefail

build_dir=$1
app_id=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
prefix="$root/usr"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cmake --install "$build_dir" --component desktop --prefix "$prefix" >/dev/null

desktop="$prefix/share/applications/$app_id.desktop"
metainfo="$prefix/share/metainfo/$app_id.metainfo.xml"
[ -f "$desktop" ] || fail "not installed: $desktop"
[ -f "$metainfo" ] || fail "not installed: $metainfo"
[ -f "$prefix/share/icons/hicolor/scalable/apps/$app_id.svg" ] || fail "scalable icon missing"

grep -qx "Exec=oculo" "$desktop" || fail "Exec is not oculo"
grep -qx "Icon=$app_id" "$desktop" || fail "Icon is not $app_id"

# PNG width and height are the big-endian words at bytes 16..23.
for size in 16 22 24 32 48 64 128 256; do
    png="$prefix/share/icons/hicolor/${size}x${size}/apps/$app_id.png"
    [ -f "$png" ] || fail "icon missing: $png"
    read -r w0 w1 w2 w3 h0 h1 h2 h3 < <(od -An -tu1 -j16 -N8 "$png")
    width=$(((w0 << 24) | (w1 << 16) | (w2 << 8) | w3))
    height=$(((h0 << 24) | (h1 << 16) | (h2 << 8) | h3))
    [ "$width" -eq "$size" ] && [ "$height" -eq "$size" ] ||
        fail "$png is ${width}x${height}, expected ${size}x${size}"
done

desktop-file-validate "$desktop" || fail "desktop-file-validate rejected $desktop"
appstreamcli validate --no-net --explain "$metainfo" || fail "appstreamcli rejected $metainfo"
# The installed tree as a whole: metainfo, launcher and icon agree.
appstreamcli validate-tree --no-net "$root" || fail "appstreamcli rejected the installed tree"
echo "desktop files OK"
