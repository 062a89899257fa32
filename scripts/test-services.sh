#!/bin/bash
# Runs a command with the services the backend tests need: a JACK server on its dummy driver
# (48000 Hz, 128-frame periods) in a fresh runtime folder, and an X server (Xvfb, 1280 x 1024) on a
# free display of its own, exported as DISPLAY (the tests click and move its pointer; without Xvfb
# DISPLAY is unset so that they skip rather than touch a real desktop). The server has a name of its own,
# exported as JACK_DEFAULT_SERVER, so it never meets another JACK server on the machine. Exports
# KV_TEST_JACK=1 for the command, stops the server afterwards and exits with the command's status.
#   scripts/test-services.sh ctest --test-dir build --output-on-failure
set -u

if [ $# -eq 0 ]; then
    echo "usage: $0 COMMAND [ARGS...]" >&2
    exit 2
fi

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The tests play an X11 session whatever desktop they are started from.
unset WAYLAND_DISPLAY XDG_SESSION_TYPE
export XDG_RUNTIME_DIR="$work/xdg"
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
export JACK_DEFAULT_SERVER="kv-test-$$"

start_jack() {
    jackd --name "$JACK_DEFAULT_SERVER" --no-realtime -d dummy -r 48000 -p 128 >"$work/jackd.log" 2>&1 &
    jack_pid=$!
    pids+=("$jack_pid")
    jack_wait --server "$JACK_DEFAULT_SERVER" --wait --timeout 10 >/dev/null 2>&1
}
if ! start_jack; then
    # JACK counts its servers in shared memory; servers that were killed leave their entries
    # behind until the count is full. With no JACK server of any kind running those entries are
    # stale: they go, and the server is started once more.
    if grep -q "Too many servers" "$work/jackd.log" && ! pgrep -x 'jackd|jackdbus' >/dev/null; then
        kill "$jack_pid" 2>/dev/null
        wait "$jack_pid" 2>/dev/null
        echo "test-services: removing the shared memory of JACK servers that are no longer running" >&2
        find /dev/shm -maxdepth 1 -name 'jack*' -user "$(id -u)" -exec rm -rf {} + 2>/dev/null
        start_jack
    else
        false
    fi || {
        echo "test-services: the JACK server did not start:" >&2
        cat "$work/jackd.log" >&2
        exit 1
    }
fi

Xvfb_started=0
if command -v Xvfb >/dev/null 2>&1; then
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do
        [ -s "$work/display" ] && break
        sleep 0.1
    done
    if [ -s "$work/display" ]; then
        export DISPLAY=":$(tr -d '[:space:]' <"$work/display")"
        Xvfb_started=1
    fi
fi
if [ "$Xvfb_started" -eq 0 ]; then
    echo "test-services: no Xvfb; the X11 tests will be skipped" >&2
    unset DISPLAY
fi

export KV_TEST_JACK=1
"$@"
exit $?
