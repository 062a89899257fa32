#!/usr/bin/env bash
# Builds Kalvitrope and starts it. With an X11 display (or XWayland) the desktop program starts
# with built-in preset 900 ("Tone 440 Hz") as its last patch, so a 440 Hz tone plays at once.
# Without a display, the headless tool renders that preset for two seconds into out.wav instead
# and prints seconds, peak, RMS and the real-time factor.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    cmake --build --preset release --target kalvitrope
    cp -n resources/presets/preset_900.kvc build/release/kalvitrope_AutoSave.KVC || true
    exec ./build/release/kalvitrope -NoInstall -AutoStartOnly
fi
echo "run: no display; rendering preset 900 into out.wav with kalvitrope-cli instead"
cmake --build --preset release --target kalvitrope-cli
exec ./build/release/kalvitrope-cli render --preset 900 --seconds 2 --out out.wav
