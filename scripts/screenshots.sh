#!/usr/bin/env bash
# Pictures of the desktop program for review: starts the main window under a private Xvfb with a
# patch or a built-in preset and writes PNG pictures of the window, its menus, the help box, the
# language chooser, each message box, the preferences dialogs, the About box, the feedback form,
# the origin window, the status display in both styles and 30 frames of the 3D indicator following
# a circling cursor (indicator_motion_NN.png) into a folder (build/screenshots by default), then
# every module type's window (full and compact) and a whole preset on the desktop into its modules/
# folder. Then whole-screen pictures read back from the X server (what the display composes:
# where each window stands and what shows beneath its shape) on a plain root, once without a
# window manager (desktop/plain/) and once under openbox (desktop/openbox/): first start, the
# starter preset, each demonstration and example patch, a module added by right-click, every
# module type full, compact and title-only, menus and submenus open, the origin window. Fails
# when a picture is missing or empty.
#   scripts/screenshots.sh [--patch FILE | --preset NAME] [--out DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/window-manager.sh

out=build/screenshots
args=()
while [ $# -gt 0 ]; do
    case "$1" in
    --patch | --preset)
        [ $# -ge 2 ] || { echo "screenshots: $1 needs a value" >&2; exit 2; }
        args+=("$1" "$2"); shift 2 ;;
    --out)
        [ $# -ge 2 ] || { echo "screenshots: --out needs a folder" >&2; exit 2; }
        out="$2"; shift 2 ;;
    *)
        echo "usage: $0 [--patch FILE | --preset NAME] [--out DIR]" >&2; exit 2 ;;
    esac
done
[ ${#args[@]} -gt 0 ] || args=(--preset 900)

tool=build/release/kalvitrope-screenshots
if [ ! -x "$tool" ]; then
    cmake --preset release >/dev/null
    cmake --build --preset release --target kalvitrope-screenshots
fi
command -v Xvfb >/dev/null || { echo "screenshots: Xvfb is not installed" >&2; exit 1; }

work=$(mktemp -d)
xvfb=""
cleanup() {
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR="$work/xdg"
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || { echo "screenshots: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(tr -d '[:space:]' <"$work/display")"

rm -f "$out"/*.png 2>/dev/null || true
"$tool" "${args[@]}" --out "$out" >"$work/list"
count=0
while read -r picture; do
    if [ ! -s "$picture" ]; then
        echo "screenshots: $picture is missing or empty" >&2
        exit 1
    fi
    count=$((count + 1))
done <"$work/list"
[ "$count" -gt 0 ] || { echo "screenshots: no pictures were written" >&2; exit 1; }

# The module windows: 35 types, each full and compact, and the preset desktop.
if [ ! -x build/release/tests/test_module_window ]; then
    cmake --build --preset release --target test_module_window
fi
rm -rf "$out/modules"
scripts/module-window-shots.sh "$out/modules" >"$work/modules.log" 2>&1 ||
    { cat "$work/modules.log" >&2; echo "screenshots: module windows failed" >&2; exit 1; }
modules=0
for picture in "$out"/modules/*.png; do
    [ -s "$picture" ] || { echo "screenshots: $picture is missing or empty" >&2; exit 1; }
    modules=$((modules + 1))
done
[ -s "$out/modules/preset_desktop.png" ] ||
    { echo "screenshots: the preset desktop picture is missing" >&2; exit 1; }
[ "$modules" -ge 71 ] ||
    { echo "screenshots: only $modules module pictures (35 types full and compact, and the desktop)" >&2; exit 1; }
# Whole-screen pictures from the X server, without and with a window manager.
desktop_count=0
for wm in plain openbox; do
    dir="$out/desktop/$wm"
    rm -rf "$dir"
    mkdir -p "$dir"
    wm_pid=""
    if [ "$wm" = openbox ]; then
        command -v openbox >/dev/null || { echo "screenshots: openbox is not installed" >&2; exit 1; }
        start_openbox "$work/openbox.log"
    fi
    "$tool" --desktop --out "$dir" >"$work/desktop.list" ||
        { echo "screenshots: the desktop pictures ($wm) failed" >&2; exit 1; }
    stop_window_manager
    while read -r picture; do
        [ -s "$picture" ] || { echo "screenshots: $picture is missing or empty" >&2; exit 1; }
        desktop_count=$((desktop_count + 1))
    done <"$work/desktop.list"
done
[ "$desktop_count" -ge 2 ] || { echo "screenshots: no desktop pictures were written" >&2; exit 1; }
echo "screenshots: $count pictures in $out, $modules in $out/modules, $desktop_count in $out/desktop"
