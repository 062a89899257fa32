#!/bin/bash
# Pictures of every module type's window, full and compact, into the given folder (default
# build/shots/modules). Runs the module-window test program under Xvfb.
#   scripts/module-window-shots.sh [FOLDER]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/shots/modules}
program=$root/build/release/tests/test_module_window
if [ ! -x "$program" ]; then
    echo "build the release preset first: $program is missing" >&2
    exit 1
fi
mkdir -p "$out"
KV_SHOTS_DIR=$(cd "$out" && pwd) "$root/scripts/test-services.sh" "$program" \
    --gtest_filter='ModuleWindowShots.*'
echo "module windows: $out"
