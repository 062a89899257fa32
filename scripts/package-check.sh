#!/usr/bin/env bash
# The Debian package from start to end, on a Debian machine where it may install packages (root
# or sudo): builds it (`cmake --build --preset release --target package`), checks it with lintian
# (no errors), installs it with apt-get, runs `kalvitrope-cli --version` and a render from
# /usr/bin, starts /usr/bin/kalvitrope under a private Xvfb until its main window shows and ends it
# as the session would, validates the installed desktop entry and AppStream metadata, then removes
# the package (purge) and checks that none of its files is left. Exits non-zero on any failure.
#   scripts/package-check.sh
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
app_id=org.kalvitrope.Kalvitrope

fail() {
    echo "package-check: $*" >&2
    exit 1
}

work=$(mktemp -d)
pids=()
installed=0
cleanup() {
    local status=$? pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    # A failed check leaves no package behind.
    if [ "$installed" -eq 1 ] && dpkg-query -W kalvitrope >/dev/null 2>&1; then
        $SUDO apt-get remove --purge -y kalvitrope >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---- Build and lint ----
rm -f build/release/kalvitrope_*.deb
cmake --preset release >/dev/null
cmake --build --preset release --target package
debs=(build/release/kalvitrope_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -s "${debs[0]}" ] || fail "expected one package, found: ${debs[*]}"
deb="$PWD/${debs[0]}"
version=$(dpkg-deb --field "$deb" Version)
echo "package-check: $(basename "$deb") (version $version)"
dpkg-deb --field "$deb" Package Version Architecture Section Depends
lintian --fail-on error --display-info "$deb" || fail "lintian reports errors"

# ---- Install ----
installed=1
$SUDO apt-get install -y "$deb"
dpkg-query -W -f='${Status} ${Version}\n' kalvitrope | grep -qx "install ok installed $version" ||
    fail "kalvitrope $version is not installed"
dpkg -L kalvitrope >"$work/files"
for f in /usr/bin/kalvitrope /usr/bin/kalvitrope-cli \
    /usr/share/applications/$app_id.desktop /usr/share/metainfo/$app_id.metainfo.xml \
    /usr/share/icons/hicolor/scalable/apps/$app_id.svg /usr/share/icons/hicolor/48x48/apps/$app_id.png \
    /usr/share/man/man1/kalvitrope.1.gz /usr/share/man/man1/kalvitrope-cli.1.gz \
    /usr/share/doc/kalvitrope/copyright /usr/share/doc/kalvitrope/examples/61-kalvitrope-mice.rules; do
    grep -qx "$f" "$work/files" || fail "the package lacks $f"
done
# The mice rule is opt-in: nothing of the package lies where udev reads rules.
! grep -E '^/(usr/)?lib/udev/|^/etc/udev/' "$work/files" || fail "the package installs an active udev rule"

# ---- The headless tool from /usr/bin ----
cli_version=$(/usr/bin/kalvitrope-cli --version)
echo "$cli_version"
[[ "$cli_version" == *"v$version"* ]] || fail "kalvitrope-cli --version does not say v$version"
(cd "$work" && /usr/bin/kalvitrope-cli render --preset 900 --seconds 1 --out "$work/render.wav")
[ "$(stat -c %s "$work/render.wav")" -gt 44 ] || fail "the render wrote no sound"
for page in kalvitrope kalvitrope-cli; do
    warnings=$(man --warnings -l "/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null || true)
    [ -z "$warnings" ] || fail "man $page: $warnings"
done

# ---- Desktop integration ----
desktop-file-validate /usr/share/applications/$app_id.desktop || fail "the desktop entry is invalid"
appstreamcli validate --no-net /usr/share/metainfo/$app_id.metainfo.xml ||
    fail "the AppStream metadata is invalid"

# ---- The desktop program from /usr/bin, under Xvfb, with a home folder of its own ----
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"
export XDG_RUNTIME_DIR="$work/xdg" LANG=C.UTF-8
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
mkdir -p "$HOME" && mkdir -p -m 700 "$XDG_RUNTIME_DIR"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=":$(tr -d '[:space:]' <"$work/display")"

# English on the command line, so that the first start does not stop at the language chooser.
/usr/bin/kalvitrope -Language en >"$work/kalvitrope.log" 2>&1 &
app=$!
pids+=("$app")
# The program's visible windows, one a line: id, kind (main or dialog) and title. The main window
# is the one that is neither a dialog nor a transient of another window.
windows() {
    local w kind
    for w in $(xdotool search --onlyvisible --pid "$app" 2>/dev/null); do
        kind=main
        xprop -id "$w" _NET_WM_WINDOW_TYPE WM_TRANSIENT_FOR 2>/dev/null |
            grep -q -e _NET_WM_WINDOW_TYPE_DIALOG -e 'WM_TRANSIENT_FOR(WINDOW)' && kind=dialog
        echo "$w $kind $(xdotool getwindowname "$w" 2>/dev/null)"
    done
}
alive() {
    kill -0 "$app" 2>/dev/null || fail "kalvitrope ended early: $(cat "$work/kalvitrope.log")"
}
main=""
for _ in $(seq 300); do
    alive
    windows >"$work/windows"
    # Before the main window, only the language chooser could be due, and -Language skips it.
    if grep -q " dialog Kalvitrope$" "$work/windows"; then
        sleep 1
        grep -q " main Kalvitrope$" <(windows) ||
            fail "a copy in /usr/bin asks something before its main window (an offer to install itself?)"
    fi
    main=$(awk '$2 == "main" && $3 == "Kalvitrope" {print $1; exit}' "$work/windows")
    [ -n "$main" ] && break
    sleep 0.1
done
[ -n "$main" ] || fail "the main window did not show within 30 s; windows: $(cat "$work/windows")"
echo "package-check: the main window shows ($main)"
# The first start greets the user with example patches: "Just get on with it" (Escape).
for _ in $(seq 50); do
    alive
    welcome=$(windows | awk '$2 == "dialog" && $3 == "Welcome" {print $1; exit}')
    [ -n "$welcome" ] && break
    sleep 0.1
done
if [ -n "$welcome" ]; then
    xdotool windowfocus --sync "$welcome" && xdotool key Escape
    for _ in $(seq 50); do
        windows | grep -q " dialog Welcome" || break
        sleep 0.1
    done
fi
windows | grep -q " dialog " && fail "a box stays open: $(windows)"
# Ended as a session ends it: the program saves and exits on SIGTERM.
kill -TERM "$app"
for _ in $(seq 100); do
    kill -0 "$app" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$app" 2>/dev/null && fail "kalvitrope did not end within 10 s of SIGTERM"
status=0
wait "$app" || status=$?
[ "$status" -eq 0 ] || fail "kalvitrope ended with status $status: $(cat "$work/kalvitrope.log")"
# A copy from /usr/bin keeps its settings and autosave in the user's configuration folder.
[ -e "$XDG_CONFIG_HOME/Kalvitrope/kalvitrope.KVS" ] ||
    fail "no settings in $XDG_CONFIG_HOME/Kalvitrope: $(ls -A "$XDG_CONFIG_HOME" 2>&1)"
leftovers=$(ls /usr/bin | grep -i -e '\.KVS$' -e '\.KVC$' || true)
[ -z "$leftovers" ] || fail "the program wrote into /usr/bin: $leftovers"

# ---- Removal ----
$SUDO apt-get remove --purge -y kalvitrope
installed=0
dpkg-query -W -f='${Status}' kalvitrope 2>/dev/null | grep -q "installed" &&
    fail "kalvitrope is still installed"
left=()
while read -r f; do
    # Shared folders (/usr, /usr/share/icons/hicolor/...) stay when other packages use them.
    [ -d "$f" ] && [ ! -L "$f" ] && continue
    [ -e "$f" ] || [ -L "$f" ] && left+=("$f")
done <"$work/files"
[ ${#left[@]} -eq 0 ] || fail "files left after removal: ${left[*]}"
for d in /usr/share/doc/kalvitrope; do
    [ ! -e "$d" ] || fail "$d is left after removal"
done
echo "package-check: $(basename "$deb") builds, installs, runs and removes cleanly"
