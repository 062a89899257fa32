# Sourced by the scripts that show windows on a test display: starts openbox on $DISPLAY, its log
# in $1, and waits until it owns the window-manager selection of screen 0 (at most 5 s). Sets
# wm_pid; stop_window_manager ends it.
start_openbox() {
    openbox --sm-disable >"$1" 2>&1 &
    wm_pid=$!
    for _ in $(seq 50); do
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
        sleep 0.1
    done
    return 0
}

stop_window_manager() {
    if [ -n "${wm_pid:-}" ]; then
        kill "$wm_pid" 2>/dev/null && wait "$wm_pid" 2>/dev/null
    fi
    wm_pid=""
    return 0
}
