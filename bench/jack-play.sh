#!/bin/bash
# Real-time play on a JACK dummy server of its own (48000 Hz, 128-frame periods, real-time
# priority 10): the late cycles that `kalvitrope-cli play` reports and the XRuns the server logs
# over the first 10 s and the whole run, then the server's XRuns with a trivial client
# (jack_simple_client) in the same setup for comparison, and the scheduling of every thread.
# With ENGINE_RT=1 the engine thread asks for real-time priority too (the preference
# Preferences.RealtimePriorityForMainThread, off by default; the ticker and feeders always ask).
#   [ENGINE_RT=1] bench/jack-play.sh [CLI] [SECONDS] [PRESET]
set -u
cli=${1:-build/release/kalvitrope-cli}
seconds=${2:-60}
preset=${3:-900}

work=$(mktemp -d)
server_pid=
client_pid=
cleanup() {
    [ -n "$client_pid" ] && kill "$client_pid" 2>/dev/null
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR="$work/xdg"
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
export JACK_DEFAULT_SERVER="kv-bench-$$"
log="$work/jackd.log"

start_server() {
    jackd --name "$JACK_DEFAULT_SERVER" -R -P 10 -d dummy -r 48000 -p 128 >"$log" 2>&1 &
    server_pid=$!
    jack_wait --server "$JACK_DEFAULT_SERVER" --wait --timeout 10 >/dev/null 2>&1 || {
        echo "jack-play: the JACK server did not start" >&2
        cat "$log" >&2
        exit 1
    }
    sleep 1
}
stop_server() {
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
    server_pid=
}
xruns() { grep -c XRun "$log"; }
threads() { ps -L -o tid=,cls=,rtprio=,comm= -p "$1" | sort -k2,3 | uniq -c -f1 | sed 's/^/    /'; }

# A run of `seconds` of the command in the background: XRuns after 10 s and at the end.
measure() {
    local name=$1
    shift
    start_server
    local before
    before=$(xruns)
    "$@" >"$work/out" 2>"$work/err" &
    client_pid=$!
    sleep 5
    echo "$name: threads (count, class, real-time priority, name):"
    threads "$client_pid"
    echo "  server:"
    threads "$server_pid"
    sleep 5
    local at10
    at10=$(($(xruns) - before))
    if [ "$name" = "kalvitrope" ]; then
        wait "$client_pid"
    else
        sleep $((seconds - 10))
        kill "$client_pid" 2>/dev/null
        wait "$client_pid" 2>/dev/null
    fi
    client_pid=
    local all=$(($(xruns) - before))
    echo "$name: server XRuns: $at10 in the first 10 s, $all in $seconds s"
    [ -s "$work/out" ] && sed 's/^/  /' "$work/out"
    stop_server
}

settings=()
if [ "${ENGINE_RT:-0}" = 1 ]; then
    printf '\r\nProgramName    \tKalvitrope\r\nPreferences.RealtimePriorityForMainThread\tYes\r\n' \
        >"$work/rt.KVS"
    settings=(--settings "$work/rt.KVS")
fi
measure kalvitrope "$cli" play --preset "$preset" --seconds "$seconds" --api jack "${settings[@]}"
measure jack_simple_client jack_simple_client
