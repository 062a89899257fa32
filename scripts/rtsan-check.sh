#!/usr/bin/env bash
# Proves the engine cycle real-time safe: builds kalvitrope-cli with RealtimeSanitizer (the
# `rtsan` preset, clang 22), then renders every built-in preset and a patch with every module
# type under a short performance (mouse, MIDI, a sound-card input, control-rate changes), and
# plays every preset for a moment on a JACK dummy server. The engine cycle is marked nonblocking,
# so any allocation, lock or blocking system call inside it stops the run with a report.
#
#   scripts/rtsan-check.sh            render and play
#   scripts/rtsan-check.sh --render   render only (no JACK needed; what CI runs)
#   scripts/rtsan-check.sh --play     play only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

render=1
play=1
case "${1:-}" in
--render) play=0 ;;
--play) render=0 ;;
"") ;;
*)
    echo "usage: $0 [--render | --play]" >&2
    exit 2
    ;;
esac

# Playing needs a JACK server: run again inside the test services (a private dummy server).
if [ "$play" -eq 1 ] && [ -z "${KV_TEST_JACK:-}" ]; then
    exec scripts/test-services.sh "$0" "$@"
fi

cmake --preset rtsan >/dev/null
cmake --build --preset rtsan
cli=$root/build/rtsan/kalvitrope-cli

# Reports name the functions on the stack, so they need a symbolizer.
symbolizer=""
for s in llvm-symbolizer-22 llvm-symbolizer; do
    if command -v "$s" >/dev/null 2>&1; then
        symbolizer=$(command -v "$s")
        break
    fi
done
if [ -z "$symbolizer" ]; then
    echo "rtsan-check: no llvm-symbolizer found (Debian package llvm)" >&2
    exit 1
fi
export RTSAN_OPTIONS="halt_on_error=true:external_symbolizer_path=$symbolizer"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=0
# Runs kalvitrope-cli under RTSan; shows its output and counts a failure.
check() {
    local what=$1
    shift
    if "$cli" "$@" >"$work/out.txt" 2>&1; then
        echo "rtsan-check: $what: $(tail -n 1 "$work/out.txt")"
    else
        echo "rtsan-check: $what FAILED:" >&2
        cat "$work/out.txt" >&2
        failed=$((failed + 1))
    fi
}

presets=$("$cli" presets | cut -d' ' -f1)
if [ -z "$presets" ]; then
    echo "rtsan-check: kalvitrope-cli lists no presets" >&2
    exit 1
fi

if [ "$render" -eq 1 ]; then
    # The first preset, rendered plainly, is the recording the sound-card input plays back.
    first=${presets%%$'\n'*}
    check "render preset $first" render --preset "$first" --seconds 0.5 --out "$work/input.wav"
    sed "s|@INPUT@|$work/input.wav|" scripts/rtsan/gestures.txt >"$work/gestures.txt"
    for p in $presets; do
        check "render preset $p with gestures" render --preset "$p" --seconds 0.5 \
            --script "$work/gestures.txt" --out "$work/preset.wav"
    done
    { cat "$work/gestures.txt"; echo '250ms set "Tune" SequenceValue C5 B4 A4 G4'; } \
        >"$work/every-module.txt"
    check "render every module type" render --patch scripts/rtsan/every-module.kvc \
        --seconds 0.5 --script "$work/every-module.txt" --out "$work/every-module.wav"
fi

if [ "$play" -eq 1 ]; then
    for p in $presets; do
        check "play preset $p on JACK" play --preset "$p" --seconds 3 --api jack
    done
fi

if [ "$failed" -gt 0 ]; then
    echo "rtsan-check: $failed run(s) failed" >&2
    exit 1
fi
echo "rtsan-check: the engine cycle stayed real-time safe"
