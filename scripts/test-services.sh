#!/bin/bash
# Runs a command with the sound services the backend tests need: a JACK server on its dummy
# driver (48000 Hz, 128-frame periods) in a fresh runtime folder. The server has a name of its own,
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

export XDG_RUNTIME_DIR="$work/xdg"
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
export JACK_DEFAULT_SERVER="kv-test-$$"

jackd --name "$JACK_DEFAULT_SERVER" --no-realtime -d dummy -r 48000 -p 128 >"$work/jackd.log" 2>&1 &
pids+=($!)
if ! jack_wait --server "$JACK_DEFAULT_SERVER" --wait --timeout 10 >/dev/null 2>&1; then
    echo "test-services: the JACK server did not start:" >&2
    cat "$work/jackd.log" >&2
    exit 1
fi

export KV_TEST_JACK=1
"$@"
exit $?
