#!/usr/bin/env bash
# Renders one frame of the 3D mouse-status indicator off-screen into build/indicator-frame.png
# (and a few more in motion), for a person to look at. Extra arguments go to every frame, e.g.
#   scripts/indicator-frame.sh --width 600 --height 300
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build --preset release --target indicator-frame >/dev/null
tool=build/release/indicator-frame
"$tool" --out build/indicator-frame.png "$@"
"$tool" --out build/indicator-frame-moving.png --speed 900 --direction 30 --distance 400 --turn 60 "$@"
"$tool" --out build/indicator-frame-racing.png --speed 4000 --direction 200 --distance 5000 --turn -150 --fast "$@"
