#!/usr/bin/env bash
# The tests that look at the screen (test_ui's Screen.* and the module-window placement tests),
# run twice on a private Xvfb: once with no window manager and once under openbox. Each run has
# a display of its own (scripts/test-services.sh starts it). Fails when either run fails; openbox
# missing fails too, so CI cannot pass without having tried it.
#   scripts/screen-tests.sh [BUILD_DIR]
set -uo pipefail
cd "$(dirname "$0")/.."
if [ "${KV_SCREEN_INNER:-}" = 1 ]; then build=$KV_SCREEN_BUILD; else build=${1:-build/release}; fi
export KV_SCREEN_BUILD=$build
ui="$build/tests/test_ui"
windows="$build/tests/test_module_window"
for program in "$ui" "$windows"; do
    [ -x "$program" ] || { echo "screen-tests: $program is not built" >&2; exit 1; }
done
command -v openbox >/dev/null || { echo "screen-tests: openbox is not installed (scripts/install-deps.sh)" >&2; exit 1; }
command -v xsetroot >/dev/null || { echo "screen-tests: xsetroot is not installed" >&2; exit 1; }
command -v xdotool >/dev/null || { echo "screen-tests: xdotool is not installed" >&2; exit 1; }

# Runs the screen tests on the display test-services.sh gives, with the window manager named in
# $1 ("none" or "openbox") started first.
if [ "${KV_SCREEN_INNER:-}" = 1 ]; then
    wm=$1
    wm_pid=""
    . scripts/window-manager.sh
    if [ "$wm" = openbox ]; then start_openbox "$XDG_RUNTIME_DIR/openbox.log"; fi
    status=0
    "$ui" --gtest_filter='Screen.*:MainWindow.Dragging*:MainWindow.Maximising*' --gtest_brief=1 || status=1
    "$windows" --gtest_filter='ModuleWindowPlacement.*:WindowDragging.*' --gtest_brief=1 || status=1
    stop_window_manager
    exit $status
fi

failed=0
for wm in none openbox; do
    echo "screen-tests: window manager: $wm"
    if ! KV_SCREEN_INNER=1 scripts/test-services.sh "$0" "$wm"; then
        echo "screen-tests: FAILED with window manager: $wm" >&2
        failed=1
    fi
done
exit $failed
